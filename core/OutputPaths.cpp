#include "OutputPaths.h"

#include <windows.h>

#include "Utils.h"

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

std::wstring Joined(const std::wstring& Folder, const std::wstring& Path) {
    if (Folder.empty()) return Path;
    return IsSeparator(Folder.back()) ? Folder + Path : Folder + L"\\" + Path;
}

std::wstring CurrentFolder() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (n == 0) return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            return buffer;
        }
        buffer.resize(n);  // n counts the terminator when the buffer was too small
    }
}

}  // namespace

bool NamesItsFolder(const std::wstring& Path) {
    if (Path.empty()) return false;
    if (IsSeparator(Path[0])) return true;                      // "\x", "\\server\share", "\\?\"
    return Path.size() >= 2 && IsDriveLetter(Path[0]) && Path[1] == L':';  // "C:\x", "C:x"
}

std::wstring ResolveOutputPath(const std::wstring& Path, const std::wstring& ProgramFolder,
                               const std::wstring& StartFolder, TPathSource Source) {
    if (Path.empty() || NamesItsFolder(Path)) return Path;
    return Joined(Source == TPathSource::CommandLine ? StartFolder : ProgramFolder, Path);
}

const std::wstring& StartFolder() {
    static const std::wstring folder = CurrentFolder();
    return folder;
}

std::wstring ConfiguredOutputPath(const std::wstring& Path) {
    return ResolveOutputPath(Path, ProgramDirectory(), StartFolder(), TPathSource::Configuration);
}

std::wstring CommandLinePath(const std::wstring& Path) {
    return ResolveOutputPath(Path, ProgramDirectory(), StartFolder(), TPathSource::CommandLine);
}
