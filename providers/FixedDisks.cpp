// FIXEDDISK and the drive-letter list it shares with the instance limits, the main loop's
// tick and DISKIO.
#include "FixedDisks.h"

#include <mutex>

#include "Checked.h"
#include "Log.h"
#include "Pipeline.h"
#include "SystemInfo.h"
#include "Templates.h"
#include "Utils.h"

namespace {

using SetThreadErrorModeProc = BOOL(WINAPI*)(DWORD, LPDWORD);

// Windows 7 and later; older systems only have the process-wide mode.
SetThreadErrorModeProc ThreadErrorModeApi() {
    static const SetThreadErrorModeProc proc = [] {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        FARPROC p = kernel ? GetProcAddress(kernel, "SetThreadErrorMode") : nullptr;
        return reinterpret_cast<SetThreadErrorModeProc>(reinterpret_cast<void*>(p));
    }();
    return proc;
}

// The list is replaced whole under the lock; readers copy it under the same lock, so a
// reader sees either the old or the new list.
std::mutex driveListLock;
std::wstring driveList;

// True when List differs from the list held; the list held becomes List.
bool ReplaceDriveList(const std::wstring& List) {
    const std::lock_guard<std::mutex> guard(driveListLock);
    const bool changed = List != driveList;
    driveList = List;
    return changed;
}

}  // namespace

TDriveQueries DriveQueries;

TCriticalErrorsOff::TCriticalErrorsOff() {
    if (SetThreadErrorModeProc proc = ThreadErrorModeApi()) {
        DWORD old = 0;
        if (proc(SEM_FAILCRITICALERRORS, &old)) {
            previous_ = old;
            perThread_ = true;
            return;
        }
    }
    previous_ = SetErrorMode(SEM_FAILCRITICALERRORS);
}

TCriticalErrorsOff::~TCriticalErrorsOff() {
    if (perThread_)
        ThreadErrorModeApi()(previous_, nullptr);
    else
        SetErrorMode(previous_);
}

// ---- the drive list ---------------------------------------------------------------------

std::wstring DriveList() {
    const std::lock_guard<std::mutex> guard(driveListLock);
    return driveList;
}

bool RefreshDriveList(bool IncludeAll) {
    const TDriveQueries queries = DriveQueries;
    std::wstring list;
    {
        const TCriticalErrorsOff quiet;
        const DWORD mask = queries.Present ? queries.Present() : GetLogicalDrives();
        list = BuildDriveList(mask, IncludeAll, [&queries](const std::string& root) {
            return queries.TypeOf ? queries.TypeOf(root) : GetDriveTypeA(root.c_str());
        });
    }
    return ReplaceDriveList(list);
}

int CountFixedDisks(const std::wstring& Filter, bool IncludeAll) {
    if (DriveList().empty()) RefreshDriveList(IncludeAll);
    return static_cast<int>(FilterDriveLetters(DriveList(), Filter).size());
}

std::wstring GetFixedDiskLetter(int Index, const std::wstring& Filter) {
    return NthDriveLetter(DriveList(), Index, Filter);
}

void ClearDriveList() { ReplaceDriveList(std::wstring()); }

// ---- interpretation -----------------------------------------------------------------------

std::wstring BuildDriveList(DWORD Mask, bool IncludeAll, const std::function<UINT(const std::string& Root)>& DriveType) {
    std::wstring list;
    for (int bit = IncludeAll ? 0 : 2; bit < 26; ++bit) {
        if (!(Mask & (DWORD{1} << bit))) continue;
        const char letter = static_cast<char>('A' + bit);
        const UINT type = DriveType(std::string(1, letter) + ":\\");
        if (type == DRIVE_FIXED || type == DRIVE_REMOVABLE) list += static_cast<wchar_t>(letter);
    }
    return list;
}

std::wstring FilterDriveLetters(const std::wstring& List, const std::wstring& Filter) {
    if (Filter.empty()) return List;
    const std::string filter = WideToAnsi(Filter);
    std::wstring passed;
    for (const wchar_t letter : List)
        if (letter < 0x80 && filter.find(static_cast<char>(letter)) != std::string::npos) passed += letter;
    return passed;
}

std::wstring NthDriveLetter(const std::wstring& List, int Index, const std::wstring& Filter) {
    const std::wstring passed = FilterDriveLetters(List, Filter);
    if (Index < 0 || static_cast<std::size_t>(Index) >= passed.size()) return {};
    return passed.substr(static_cast<std::size_t>(Index), 1);
}

// ---- space and label ---------------------------------------------------------------------

std::int64_t GetDiskSpace(const std::string& Path, std::int64_t& Used, std::int64_t& Free, std::int64_t& Available) {
    Used = Free = Available = 0;
    ULARGE_INTEGER available{}, total{}, totalFree{};
    bool ok;
    {
        const TCriticalErrorsOff quiet;
        ok = GetDiskFreeSpaceExA(Path.c_str(), &available, &total, &totalFree) != 0;
    }
    if (!ok) return 0;
    const auto t = CheckedCast<std::int64_t>(total.QuadPart);
    const auto f = CheckedCast<std::int64_t>(totalFree.QuadPart);
    const auto a = CheckedCast<std::int64_t>(available.QuadPart);
    Free = f;
    Used = CheckedSub(t, f);
    Available = a;
    return t;
}

std::wstring GetVolumeLabel(char Letter) {
    char label[261] = {};
    const std::string root = std::string(1, Letter) + ":\\";
    bool ok;
    {
        const TCriticalErrorsOff quiet;
        ok = GetVolumeInformationA(root.c_str(), label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0) != 0;
    }
    if (!ok) return {};
    label[sizeof label - 1] = '\0';
    const DWORD length = static_cast<DWORD>(strnlen(label, sizeof label));
    CharUpperBuffA(label, length);
    return AnsiToWide(std::string(label, length));
}

Variant WholeCurrency(std::int64_t Value) { return Variant::FromCurrencyCount(CheckedMul<std::int64_t>(Value, 10000)); }

TVarArray FixedDiskRow(const std::wstring& Letter, const std::wstring& Label, std::int64_t Total, std::int64_t Used,
                       std::int64_t Free, std::int64_t Available) {
    std::int64_t usedPct = 0, freePct = 0;
    if (Total > 0) {
        usedPct = CheckedMul<std::int64_t>(Used, 100) / Total;
        freePct = CheckedMul<std::int64_t>(Free, 100) / Total;
    }
    return {Variant(Letter),        Variant(Label),           WholeCurrency(Used),    WholeCurrency(Free),
            WholeCurrency(Total),   WholeCurrency(Available), WholeCurrency(usedPct), WholeCurrency(freePct)};
}

// ---- the gathering routine -------------------------------------------------------------------

void GetFixedDisk(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    const std::int32_t num = GetItemOption(Options, L"num", Variant(std::int32_t{0})).ToInt32();
    const std::wstring filter = GetItemOption(Options, L"filter", Variant(L"")).ToText();
    const std::wstring letter = GetFixedDiskLetter(num, filter);
    if (letter.empty()) return;
    std::int64_t used = 0, free = 0, available = 0;
    const std::int64_t total = GetDiskSpace(WideToAnsi(letter) + ":\\", used, free, available);
    const std::wstring label = GetVolumeLabel(static_cast<char>(letter[0]));
    StoreSingleRow(Options, Data, Display, {L"disk", L"volume", L"used", L"free", L"size", L"available", L"usedpct", L"freepct"},
                   FixedDiskRow(letter, label, total, used, free, available), L"Fixed Disk: ");
}
