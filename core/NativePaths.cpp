#include "NativePaths.h"

#include <windows.h>

namespace {

struct TSystemFolders {
    bool UnderWow64 = false;
    std::wstring Windows, System;
};

std::wstring FolderOf(UINT (WINAPI* Get)(LPWSTR, UINT)) {
    wchar_t buffer[MAX_PATH + 1] = {};
    const UINT n = Get(buffer, MAX_PATH + 1);
    return n > 0 && n <= MAX_PATH ? std::wstring(buffer, n) : std::wstring();
}

const TSystemFolders& ThisProcessFolders() {
    static const TSystemFolders folders = [] {
        TSystemFolders f;
        f.UnderWow64 = RunsUnderWow64();
        if (f.UnderWow64) {
            // A 32-bit process is told the 64-bit name, "...\System32". The shared Windows
            // folder: on a terminal server GetWindowsDirectoryW answers a private one of
            // the user's, which has no Sysnative.
            f.Windows = FolderOf(GetSystemWindowsDirectoryW);
            f.System = FolderOf(GetSystemDirectoryW);
        }
        return f;
    }();
    return folders;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

std::wstring WithoutTrailingSeparators(std::wstring Folder) {
    while (!Folder.empty() && IsSeparator(Folder.back())) Folder.pop_back();
    return Folder;
}

// Whether Text starts with Prefix, ignoring case; separators of either kind match.
bool StartsWithFolder(const std::wstring& Text, const std::wstring& Prefix) {
    if (Prefix.empty() || Text.size() < Prefix.size()) return false;
    for (std::size_t i = 0; i < Prefix.size(); ++i) {
        const wchar_t a = Text[i], b = Prefix[i];
        if (IsSeparator(a) && IsSeparator(b)) continue;
        if (CompareStringOrdinal(&a, 1, &b, 1, TRUE) != CSTR_EQUAL) return false;
    }
    return true;
}

}  // namespace

std::wstring SysnativePath(const std::wstring& Path, bool UnderWow64, const std::wstring& WindowsFolder,
                           const std::wstring& SystemFolder) {
    if (!UnderWow64) return Path;
    const std::wstring system = WithoutTrailingSeparators(SystemFolder);
    const std::wstring windows = WithoutTrailingSeparators(WindowsFolder);
    if (system.empty() || windows.empty() || !StartsWithFolder(Path, system)) return Path;
    // The folder itself or something in it, not a longer name beside it ("System32x").
    if (Path.size() > system.size() && !IsSeparator(Path[system.size()])) return Path;
    return windows + L"\\Sysnative" + Path.substr(system.size());
}

bool RunsUnderWow64() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

std::wstring NativeSystemPath(const std::wstring& Path) {
    const TSystemFolders& f = ThisProcessFolders();
    return SysnativePath(Path, f.UnderWow64, f.Windows, f.System);
}

std::wstring ShellTargetPath(const std::wstring& Path, bool FoundAsWritten, bool UnderWow64,
                             const std::wstring& WindowsFolder, const std::wstring& SystemFolder) {
    if (FoundAsWritten) return Path;
    return SysnativePath(Path, UnderWow64, WindowsFolder, SystemFolder);
}

std::wstring NativeShellTarget(const std::wstring& Path) {
    const TSystemFolders& f = ThisProcessFolders();
    const bool found = !Path.empty() && GetFileAttributesW(Path.c_str()) != INVALID_FILE_ATTRIBUTES;
    return ShellTargetPath(Path, found, f.UnderWow64, f.Windows, f.System);
}
