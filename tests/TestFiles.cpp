#include "TestFiles.h"

#include <atomic>
#include <stdexcept>
#include <vector>

#include "Utils.h"
#include "WinHandles.h"

namespace {

void RemoveTree(const std::wstring& dir) {
    WIN32_FIND_DATAW fd;
    UniqueFindHandle find(FindFirstFileW((dir + L"\\*").c_str(), &fd));
    if (find.valid()) {
        do {
            const std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring full = dir + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(full);
            else {
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(find.get(), &fd));
    }
    find.reset();
    RemoveDirectoryW(dir.c_str());
}

}  // namespace

TempFolder::TempFolder(const std::wstring& tag) {
    static std::atomic<int> counter{0};
    wchar_t base[MAX_PATH + 1];
    GetTempPathW(MAX_PATH, base);
    for (int attempt = 0;; ++attempt) {
        path_ = std::wstring(base) + tag + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(counter++);
        if (CreateDirectoryW(path_.c_str(), nullptr)) break;
        if (attempt > 1000) throw std::runtime_error("cannot create a temporary folder");
    }
    pathWithSlash_ = path_ + L"\\";
}

TempFolder::~TempFolder() { RemoveTree(path_); }

std::string ReadFileBytes(const std::wstring& path) {
    UniqueHandle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!f.valid()) return {};
    std::string out;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(f.get(), buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
    return out;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    // Readers may hold the file meanwhile (a configuration watcher reads its times).
    UniqueHandle f(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
    if (!f.valid()) return false;
    DWORD written = 0;
    if (bytes.empty()) return true;
    return WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
}

bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::string> SplitCrLf(const std::string& bytes) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t at = bytes.find("\r\n"); at != std::string::npos; at = bytes.find("\r\n", from)) {
        lines.push_back(bytes.substr(from, at - from));
        from = at + 2;
    }
    lines.push_back(bytes.substr(from));
    return lines;
}

std::wstring TestBinaryDir() { return ProgramDirectory(); }

DWORD RunProcess(const std::wstring& commandLine, DWORD timeoutMs) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::vector<wchar_t> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back(L'\0');
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        throw std::runtime_error("cannot start a test process");
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 999);
        return 999;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return code;
}
