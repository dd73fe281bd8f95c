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

SYSTEMTIME LocalNow() {
    SYSTEMTIME now;
    GetLocalTime(&now);
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

TVarArray DateTimeRow(const SYSTEMTIME& Time, bool Unix) {
    TVarArray row = {
        Variant(std::int32_t{DayOfWeek(Time.wYear, Time.wMonth, Time.wDay)}),
        Variant(std::int32_t{Time.wDay}),
        Variant(std::int32_t{Time.wMonth}),
        Variant(std::int32_t{Time.wYear}),
        Variant(std::int32_t{Time.wHour}),
        Variant(std::int32_t{Time.wMinute}),
        Variant(std::int32_t{Time.wSecond}),
    };
    if (Unix) {
        const std::uint32_t seconds =
            EncodeUnixTime(Time.wYear, Time.wMonth, Time.wDay, Time.wHour, Time.wMinute, Time.wSecond);
        row.push_back(Variant::FromCurrencyCount(CheckedMul<std::int64_t>(seconds, 10000)));
    }
    return row;
}

SYSTEMTIME TimeBefore(const SYSTEMTIME& Now, std::uint64_t ElapsedMs) {
    // FILETIME arithmetic on the local wall clock, in whole 100 ns units: no rounding, and
    // no time-zone conversion (both calls take the fields as they are).
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
    StoreSingleRow(Options, Data, Display, kDateTimeNames, DateTimeRow(LocalNow(), true), nullptr);
}

void GetBootTime(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    // One reading of the clock and the tick count, so the fields belong to one instant.
    const SYSTEMTIME now = LocalNow();
    const std::uint64_t tick = ProviderTickCount();
    StoreSingleRow(Options, Data, Display, kDateTimeNames, DateTimeRow(TimeBefore(now, tick), true), L"Boot Time: ");
}

void GetUpTime(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    StoreSingleRow(Options, Data, Display,
                   {L"days", L"hours", L"minutes", L"seconds", L"total seconds"},
                   UpTimeRow(ProviderTickCount()), L"GetUpTime: ");
}

void GetLoadTime(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    StoreSingleRow(Options, Data, Display, kDateNames, DateTimeRow(ProgramStartTime(), false), L"Load Time: ");
}

void GetTimeZone(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    TIME_ZONE_INFORMATION info{};
    const DWORD result = GetTimeZoneInformation(&info);
    if (result == TIME_ZONE_ID_INVALID) info = TIME_ZONE_INFORMATION{};
    StoreSingleRow(Options, Data, Display, {L"time zone"}, {Variant(TimeZoneText(result, info))}, L"Time Zone: ");
}
