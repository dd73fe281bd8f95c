// Vistrel.exe and what the platform tells it about itself: the Windows version it reads
// through its application manifest, and the system folder a 32-bit program sees.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "Inspector.h"
#include "TestFiles.h"
#include "Utils.h"
#include "WinHandles.h"

namespace {

constexpr DWORD kStart = 20000;

// Wine's own setting of the Windows version it reports to one program (by its file name),
// made for the test's lifetime.
class ReportedWindowsVersion {
public:
    ReportedWindowsVersion(const std::wstring& program, const std::wstring& version)
        : key_(L"Software\\Wine\\AppDefaults\\" + program) {
        HKEY raw = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &raw, nullptr) !=
            ERROR_SUCCESS)
            return;
        UniqueKey key(raw);
        const auto bytes = static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t));
        made_ = RegSetValueExW(key.get(), L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                               bytes) == ERROR_SUCCESS;
    }
    ~ReportedWindowsVersion() { RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str()); }
    bool Made() const { return made_; }

private:
    std::wstring key_;
    bool made_ = false;
};

// The text after the first occurrence of prefix up to the end of its line.
std::wstring LineAfter(const std::wstring& text, const std::wstring& prefix) {
    const std::size_t at = text.find(prefix);
    if (at == std::wstring::npos) return {};
    const std::size_t from = at + prefix.size();
    return text.substr(from, text.find(L"\r\n", from) - from);
}

}  // namespace

// Windows 8.1 and later answer a program without a manifest that names them with version
// 6.2.9200; the program names every version up to 10 and 11, so it reads the true one.
TEST(EndToEndPlatform, WindowsVersionLineOnWindows10) {
    const std::wstring program = L"VistrelOnWindows10.exe";
    ReportedWindowsVersion win10(program, L"win10");
    ASSERT_TRUE(win10.Made());
    VistrelProcess v(L"/f", true, [](const TempFolder& folder) {
        WriteFileBytes(folder.File(L"vistrel.ini"), "[items]\r\nUPTIME=active:1\r\n");
    }, program);
    ASSERT_TRUE(v.WaitForLog(L"INFO  Windows Version ", kStart));
    const std::wstring version = LineAfter(v.LogText(), L"INFO  Windows Version ");
    EXPECT_EQ(version.rfind(L"10.0.", 0), 0u) << testing::PrintToString(version);
}

namespace {

// A file made in the 64-bit system folder for the test's lifetime, past the redirection
// that a 32-bit process meets there.
class FileIn64BitSystemFolder {
public:
    explicit FileIn64BitSystemFolder(const std::wstring& name) {
        wchar_t folder[MAX_PATH] = {};
        GetSystemDirectoryW(folder, MAX_PATH);
        path_ = std::wstring(folder) + L"\\" + name;
        void* redirection = nullptr;
        const bool off = Wow64DisableWow64FsRedirection(&redirection) != FALSE;
        made_ = WriteFileBytes(path_, "64-bit only\r\n");
        if (off) Wow64RevertWow64FsRedirection(redirection);
    }
    ~FileIn64BitSystemFolder() {
        void* redirection = nullptr;
        const bool off = Wow64DisableWow64FsRedirection(&redirection) != FALSE;
        DeleteFileW(path_.c_str());
        if (off) Wow64RevertWow64FsRedirection(redirection);
    }
    const std::wstring& Path() const { return path_; }
    bool Made() const { return made_; }

private:
    std::wstring path_;
    bool made_ = false;
};

}  // namespace

// On 64-bit Windows the 32-bit program's file calls under the system folder are redirected
// to the 32-bit one; FILEEXIST still finds a file that only the 64-bit folder holds.
TEST(EndToEndPlatform, FileExistSeesTheSixtyFourBitSystemFolder) {
    const FileIn64BitSystemFolder file(L"vistrel-64bit-only.txt");
    ASSERT_TRUE(file.Made());
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    if (wow64) {
        // What this 32-bit test sees there by itself: the redirected, 32-bit folder.
        EXPECT_EQ(GetFileAttributesW(file.Path().c_str()), INVALID_FILE_ATTRIBUTES) << "not redirected here";
    }
    const std::string ini = "[items]\r\nFILEEXIST=active:1,file:" + WideToUtf8(file.Path()) + "\r\n";
    VistrelProcess v(L"/f", true, [&](const TempFolder& folder) { WriteFileBytes(folder.File(L"vistrel.ini"), ini); });
    ASSERT_TRUE(v.WaitForLog(L"DATA  GetFileExists: ", kStart));
    EXPECT_EQ(LineAfter(v.LogText(), L"DATA  GetFileExists: "), L"True") << (wow64 ? "a 32-bit program" : "a 64-bit one");
}

// A program folder that refuses the language files (here: it has no languages folder):
// the switch e logs each file it cannot write to the debug switch's file.
TEST(EndToEndPlatform, LanguageFilesThatCannotBeWrittenAreErrorLines) {
    VistrelProcess v(L"/e");
    EXPECT_EQ(v.WaitExit(kStart), 0u);
    const std::wstring log = v.LogText();
    const std::wstring languages = v.Folder() + L"\\languages\\";
    for (const wchar_t* name : {L"english", L"arabic", L"german"}) {
        const std::wstring file = languages + name + L".ini";
        const std::size_t at = log.find(L" " + file + L" cannot be written: error ");
        ASSERT_NE(at, std::wstring::npos) << testing::PrintToString(file) << "\n" << testing::PrintToString(log);
        const std::size_t lineEnd = log.rfind(L"\r\n", at);
        const std::size_t begin = lineEnd == std::wstring::npos ? 0 : lineEnd + 2;
        const std::wstring line = log.substr(begin, at - begin);
        EXPECT_NE(line.find(L" ERROR GenerateLanguageFiles: "), std::wstring::npos) << testing::PrintToString(line);
    }
}
