// The drive-letter list of the fixed and removable drives, the space and label queries
// behind FIXEDDISK, and the FIXEDDISK gathering routine. The list is rebuilt on the
// window thread (tick and configuration load) and read on the collection thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "InstanceLimits.h"
#include "ItemTypes.h"
#include "Variant.h"

// Turns the system's critical-error boxes off for the calling thread while it lives, so
// that a drive without a medium fails quietly instead of asking the user; the previous
// mode comes back at the end. Per thread where the system has SetThreadErrorMode, since
// the window thread and the collection thread query drives at the same time.
class TCriticalErrorsOff {
public:
    TCriticalErrorsOff();
    ~TCriticalErrorsOff();
    TCriticalErrorsOff(const TCriticalErrorsOff&) = delete;
    TCriticalErrorsOff& operator=(const TCriticalErrorsOff&) = delete;

private:
    UINT previous_ = 0;
    bool perThread_ = false;
};

// ---- the drive list ---------------------------------------------------------------------

// The drives as the system reports them: the bit mask of the drives present (bit 0 = A)
// and the type of a root path ("C:\"). None: GetLogicalDrives and GetDriveTypeA. Tests
// stand in the drives of another machine.
struct TDriveQueries {
    DWORD (*Present)() = nullptr;
    UINT (*TypeOf)(const std::string& Root) = nullptr;
};
extern TDriveQueries DriveQueries;

// The upper-case letters, in alphabetical order, of the drives that were fixed or
// removable at the last rebuild. Empty until the first rebuild.
std::wstring DriveList();
// Rebuilds the list from the drives present (A and B only with IncludeAll); true when it
// differs from the previous list.
bool RefreshDriveList(bool IncludeAll);
// The Index-th (0-based) letter of the list that passes Filter, or "" when there are not
// more than Index of them. Never rebuilds the list.
std::wstring GetFixedDiskLetter(int Index, const std::wstring& Filter);
// Empties the list (program end).
void ClearDriveList();
// CountFixedDisks (InstanceLimits.h) counts the letters passing Filter, building the list
// first with IncludeAll when it is empty.

// ---- interpretation, on values ------------------------------------------------------------

// The letters of Mask (bit 0 = A) from A (IncludeAll) or C to Z whose root path
// (letter + ":\") DriveType answers DRIVE_FIXED or DRIVE_REMOVABLE for.
std::wstring BuildDriveList(DWORD Mask, bool IncludeAll, const std::function<UINT(const std::string& Root)>& DriveType);
// The letters of List that pass Filter, in the order of List. An empty filter passes all;
// otherwise a letter passes when the filter, taken as 8-bit text, holds it in the same case.
std::wstring FilterDriveLetters(const std::wstring& List, const std::wstring& Filter);
// The Index-th letter of FilterDriveLetters(List, Filter), or "".
std::wstring NthDriveLetter(const std::wstring& List, int Index, const std::wstring& Filter);

// ---- space and label ---------------------------------------------------------------------

// Total bytes of the drive at Path (a letter and ":\"), with the used, free and
// available (to this user) bytes; all four 0 when the drive cannot be queried.
std::int64_t GetDiskSpace(const std::string& Path, std::int64_t& Used, std::int64_t& Free, std::int64_t& Available);
// The volume label of drive Letter, upper-cased in the user's locale, as 8-bit text;
// "" when it cannot be read.
std::wstring GetVolumeLabel(char Letter);

// A whole number as a currency value; raises EIntOverflow beyond the currency range.
Variant WholeCurrency(std::int64_t Value);

// disk, volume, used, free, size, available, usedpct, freepct: percentages of Total,
// truncated, 0 when Total is 0.
TVarArray FixedDiskRow(const std::wstring& Letter, const std::wstring& Label, std::int64_t Total, std::int64_t Used,
                       std::int64_t Free, std::int64_t Available);

// ---- the gathering routine -------------------------------------------------------------------

// FIXEDDISK: the drive of the item's instance number ("num") among the filtered letters.
void GetFixedDisk(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
