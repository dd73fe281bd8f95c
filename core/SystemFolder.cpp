#include "SystemFolder.h"

#include <windows.h>

#include "Utils.h"

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

struct TSystemFolderFacts {
    bool Wow64 = false;
    std::wstring SystemDir;
};

TSystemFolderFacts ReadSystemFolderFacts() {
    TSystemFolderFacts facts;
    BOOL wow64 = FALSE;
    facts.Wow64 = IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
    wchar_t buffer[MAX_PATH + 1];
    const UINT length = GetSystemDirectoryW(buffer, MAX_PATH + 1);
    if (length > 0 && length <= MAX_PATH) facts.SystemDir.assign(buffer, length);
    return facts;
}

}  // namespace

std::wstring ThroughSysnative(const std::wstring& Path, const std::wstring& SystemDir, bool Wow64) {
    if (!Wow64) return Path;
    std::wstring dir = SystemDir;
    while (!dir.empty() && IsSeparator(dir.back())) dir.pop_back();
    const std::size_t cut = dir.find_last_of(L"\\/");
    // A system folder without a parent folder ("C:", "System32") names no Sysnative.
    if (cut == std::wstring::npos || cut == 0) return Path;
    // Below the folder: its path, a separator and at least one character more.
    if (Path.size() <= dir.size() + 1 || !IsSeparator(Path[dir.size()])) return Path;
    std::wstring head = Path.substr(0, dir.size()), wanted = dir;
    for (wchar_t& c : head)
        if (c == L'/') c = L'\\';
    for (wchar_t& c : wanted)
        if (c == L'/') c = L'\\';
    if (LowerAscii(head) != LowerAscii(wanted)) return Path;
    return dir.substr(0, cut + 1) + L"Sysnative" + Path.substr(dir.size());
}

std::wstring NativeSystemPath(const std::wstring& Path) {
    static const TSystemFolderFacts facts = ReadSystemFolderFacts();
    return ThroughSysnative(Path, facts.SystemDir, facts.Wow64);
}
