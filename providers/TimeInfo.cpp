// The clock routines: DATETIME, BOOTTIME, UPTIME, LOADTIME and TIMEZONE.
#include "SystemInfo.h"

#include "Checked.h"
#include "Log.h"
#include "Pipeline.h"
#include "Templates.h"
#include "Tools.h"
#include "Utils.h"

namespace {

const std::vector<std::wstring> kDateNames = {L"dow", L"day", L"month", L"year", L"hour", L"minute", L"second"};
const std::vector<std::wstring> kDateTimeNames = {L"dow",  L"day",    L"month",  L"year",
                                                  L"hour", L"minute", L"second", L"unix"};

SYSTEMTIME SystemNow() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    return now;
}

constexpr std::uint64_t kFileTimeUnitsPerMs = 10000;  // FILETIME counts 100 ns

}  // namespace

// ---- interpretation ---------------------------------------------------------------------

int DayOfWeek(int Year, int Month, int Day) {
    static const int offsets[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (Month < 1 || Month > 12) throw ERangeError(L"Range check error");
    const int y = Month < 3 ? Year - 1 : Year;
    const int sunday0 = (y + y / 4 - y / 100 + y / 400 + offsets[Month - 1] + Day) % 7;
    return sunday0 + 1;
}

TVarArray DateTimeRow(const SYSTEMTIME& Local, const std::optional<SYSTEMTIME>& Utc) {
    TVarArray row = {
        Variant(std::int32_t{DayOfWeek(Local.wYear, Local.wMonth, Local.wDay)}),
        Variant(std::int32_t{Local.wDay}),
        Variant(std::int32_t{Local.wMonth}),
        Variant(std::int32_t{Local.wYear}),
        Variant(std::int32_t{Local.wHour}),
        Variant(std::int32_t{Local.wMinute}),
        Variant(std::int32_t{Local.wSecond}),
    };
    if (Utc) {
        const std::uint32_t seconds =
            EncodeUnixTime(Utc->wYear, Utc->wMonth, Utc->wDay, Utc->wHour, Utc->wMinute, Utc->wSecond);
        row.push_back(Variant::FromCurrencyCount(CheckedMul<std::int64_t>(seconds, 10000)));
    }
    return row;
}

SYSTEMTIME TimeBefore(const SYSTEMTIME& Now, std::uint64_t ElapsedMs) {
    // FILETIME arithmetic in whole 100 ns units: no rounding, and no time-zone conversion
    // (both calls take the fields as they are).
    FILETIME ft;
    if (!SystemTimeToFileTime(&Now, &ft)) RaiseLastOSError(L"SystemTimeToFileTime");
    ULARGE_INTEGER value;
    value.LowPart = ft.dwLowDateTime;
    value.HighPart = ft.dwHighDateTime;
    value.QuadPart = CheckedSub<std::uint64_t>(value.QuadPart, CheckedMul(ElapsedMs, kFileTimeUnitsPerMs));
    ft.dwLowDateTime = value.LowPart;
    ft.dwHighDateTime = value.HighPart;
    SYSTEMTIME result;
    if (!FileTimeToSystemTime(&ft, &result)) RaiseLastOSError(L"FileTimeToSystemTime");
    return result;
}

SYSTEMTIME LocalTimeOf(const SYSTEMTIME& Utc, const TIME_ZONE_INFORMATION* Zone) {
    SYSTEMTIME local;
    if (!SystemTimeToTzSpecificLocalTime(Zone, &Utc, &local))
        RaiseLastOSError(L"SystemTimeToTzSpecificLocalTime");
    return local;
}

TVarArray BootTimeRow(const SYSTEMTIME& UtcNow, std::uint64_t UptimeMs, const TIME_ZONE_INFORMATION* Zone) {
    // Subtracted on the UTC clock, which has no daylight-saving steps, then shown in the
    // local time of that instant.
    const SYSTEMTIME boot = TimeBefore(UtcNow, UptimeMs);
    return DateTimeRow(LocalTimeOf(boot, Zone), boot);
}

TVarArray UpTimeRow(std::uint64_t TickMs) {
    const std::uint64_t s = TickMs / 1000;
    const std::uint64_t days = s / 86400;
    std::uint64_t r = s % 86400;
    const std::uint64_t hours = r / 3600;
    r %= 3600;
    return {
        Variant(CheckedCast<std::int32_t>(days)),
        Variant(CheckedCast<std::int32_t>(hours)),
        Variant(CheckedCast<std::int32_t>(r / 60)),
        Variant(CheckedCast<std::int32_t>(r % 60)),
        Variant::FromCurrencyCount(CheckedMul<std::int64_t>(CheckedCast<std::int64_t>(s), 10000)),
    };
}

std::uint64_t ProviderTickCount() {
    if (auto tick64 = OptionalApis.GetTickCount64) return tick64();
    return GetTickCount();
}

std::wstring TimeZoneText(DWORD Result, const TIME_ZONE_INFORMATION& Info) {
    switch (Result) {
    case TIME_ZONE_ID_UNKNOWN:   // a zone without daylight saving: only the standard name is right
    case TIME_ZONE_ID_STANDARD:
        return Through8Bit(Info.StandardName);
    case TIME_ZONE_ID_DAYLIGHT:
        return Through8Bit(Info.DaylightName);
    default:
        return {};
    }
}

// ---- the routines -----------------------------------------------------------------------

void GetDateTime(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    // One reading of the clock: the local fields and unix tell of the same instant.
    const SYSTEMTIME now = SystemNow();
    StoreSingleRow(Options, Data, Display, kDateTimeNames, DateTimeRow(LocalTimeOf(now, nullptr), now), nullptr);
}

void GetBootTime(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    // One reading of the clock and the tick count, so the fields belong to one instant.
    const SYSTEMTIME now = SystemNow();
    const std::uint64_t tick = ProviderTickCount();
    StoreSingleRow(Options, Data, Display, kDateTimeNames, BootTimeRow(now, tick, nullptr), L"Boot Time: ");
}

void GetUpTime(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    StoreSingleRow(Options, Data, Display,
                   {L"days", L"hours", L"minutes", L"seconds", L"total seconds"},
                   UpTimeRow(ProviderTickCount()), L"GetUpTime: ");
}

void GetLoadTime(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    StoreSingleRow(Options, Data, Display, kDateNames, DateTimeRow(ProgramStartTime()), L"Load Time: ");
}

void GetTimeZone(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    TIME_ZONE_INFORMATION info{};
    const DWORD result = GetTimeZoneInformation(&info);
    if (result == TIME_ZONE_ID_INVALID) info = TIME_ZONE_INFORMATION{};
    StoreSingleRow(Options, Data, Display, {L"time zone"}, {Variant(TimeZoneText(result, info))}, L"Time Zone: ");
}
