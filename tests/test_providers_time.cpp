#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Errors.h"
#include "SystemInfo.h"
#include "Tools.h"
#include "Utils.h"
#include "test_providers_support.h"

namespace {

SYSTEMTIME At(int year, int month, int day, int hour, int minute, int second, int ms = 0) {
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(year);
    t.wMonth = static_cast<WORD>(month);
    t.wDay = static_cast<WORD>(day);
    t.wHour = static_cast<WORD>(hour);
    t.wMinute = static_cast<WORD>(minute);
    t.wSecond = static_cast<WORD>(second);
    t.wMilliseconds = static_cast<WORD>(ms);
    return t;
}

std::vector<std::int64_t> Numbers(const TVarArray& row) {
    std::vector<std::int64_t> n;
    for (const Variant& v : row) n.push_back(v.Type() == VarType::Currency ? v.CurrencyCount() : v.ToInt64());
    return n;
}

std::int64_t Unix(const SYSTEMTIME& t) {
    return EncodeUnixTime(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

// The seconds since 1970 of a UTC time, as this test computes it itself.
std::int64_t UnixOfFileTime(const FILETIME& ft) {
    ULARGE_INTEGER v;
    v.LowPart = ft.dwLowDateTime;
    v.HighPart = ft.dwHighDateTime;
    return static_cast<std::int64_t>(v.QuadPart / 10000000ull) - 11644473600ll;
}

struct Collected {
    TItemData data;
    std::wstring display;
};

Collected Gather(TGatherProc proc, const wchar_t* display = nullptr) {
    Collected c;
    TItemOptionArray options;
    if (display) options[0] = {L"display", Variant(display)};
    proc(options, c.data, c.display);
    return c;
}

// Restores the optional-function table after a test that changed it.
class ApiTable : public ::testing::Test {
protected:
    void SetUp() override { LoadOptionalApis(); }
    void TearDown() override { LoadOptionalApis(); }
};

}  // namespace

TEST(ProviderTime, DayOfWeek) {
    struct Row {
        int y, m, d, dow;
    } rows[] = {
        {1970, 1, 1, 5}, {2000, 2, 29, 3}, {2024, 3, 1, 6}, {2024, 3, 2, 7},
        {2024, 3, 3, 1}, {2023, 12, 31, 1}, {2100, 3, 1, 2}, {1899, 12, 30, 7},
    };
    for (const Row& r : rows) EXPECT_EQ(DayOfWeek(r.y, r.m, r.d), r.dow) << r.y << "-" << r.m << "-" << r.d;
}

TEST(ProviderTime, DateTimeRowFieldsAreLocalAndUnixIsUtc) {
    // A Friday; milliseconds are dropped. The same instant at UTC+1: the fields show the
    // local clock, unix counts UTC seconds (a Unix time is UTC by definition).
    const TVarArray row = DateTimeRow(At(2024, 3, 1, 14, 5, 9, 999), At(2024, 3, 1, 13, 5, 9, 999));
    EXPECT_EQ(Numbers(row), (std::vector<std::int64_t>{6, 1, 3, 2024, 14, 5, 9, 1709298309ll * 10000}));
    EXPECT_EQ(row[7].Type(), VarType::Currency);
    EXPECT_EQ(row[0].Type(), VarType::Integer);
    EXPECT_EQ(DateTimeRow(At(2024, 3, 1, 13, 5, 9)).size(), 7u);
    EXPECT_EQ(Numbers(DateTimeRow(At(1970, 1, 1, 1, 0, 0), At(1970, 1, 1, 0, 0, 0))).back(), 0);
}

TEST(ProviderTime, DateTimeRowOutsideTheUnixRangeRaises) {
    EXPECT_THROW(DateTimeRow(At(2107, 1, 1, 0, 0, 0), At(2107, 1, 1, 0, 0, 0)), EIntOverflow);
    EXPECT_THROW(DateTimeRow(At(1970, 1, 1, 0, 30, 0), At(1969, 12, 31, 23, 30, 0)), ERangeError);
    EXPECT_NO_THROW(DateTimeRow(At(1969, 12, 31, 23, 59, 59)));
}

namespace {

// Central European time: UTC+1, and UTC+2 from the last Sunday of March, 2:00, to the last
// Sunday of October, 3:00 (as the system describes a zone's yearly rule).
TIME_ZONE_INFORMATION CentralEurope() {
    TIME_ZONE_INFORMATION z{};
    z.Bias = -60;
    z.StandardDate.wMonth = 10;
    z.StandardDate.wDayOfWeek = 0;
    z.StandardDate.wDay = 5;  // the last one of the month
    z.StandardDate.wHour = 3;
    z.StandardBias = 0;
    z.DaylightDate.wMonth = 3;
    z.DaylightDate.wDayOfWeek = 0;
    z.DaylightDate.wDay = 5;
    z.DaylightDate.wHour = 2;
    z.DaylightBias = -60;
    return z;
}

// India: UTC+5:30 all year, without daylight saving time.
TIME_ZONE_INFORMATION India() {
    TIME_ZONE_INFORMATION z{};
    z.Bias = -330;
    return z;
}

std::int64_t DaysMs(std::int64_t days) { return days * 86400000; }

}  // namespace

TEST(ProviderTime, BootTimeKeepsTheClockOfTheBootAcrossADaylightSavingChange) {
    const TIME_ZONE_INFORMATION europe = CentralEurope(), india = India();
    const struct {
        const char* what;
        const TIME_ZONE_INFORMATION* zone;
        SYSTEMTIME utcNow;
        std::uint64_t uptimeMs;
        std::vector<std::int64_t> expected;  // dow, day, month, year, hour, minute, second, unix
    } rows[] = {
        // Booted in winter, read in summer: 2024-01-03 10:00 UTC was 11:00 local (not 12:00,
        // the summer clock less the uptime).
        {"winter boot, summer clock", &europe, At(2024, 7, 1, 10, 0, 0), static_cast<std::uint64_t>(DaysMs(180)),
         {4, 3, 1, 2024, 11, 0, 0, 1704276000ll * 10000}},
        // Booted in summer, read in winter: 2024-09-16 12:00 UTC was 14:00 local (not 13:00).
        {"summer boot, winter clock", &europe, At(2024, 11, 15, 12, 0, 0), static_cast<std::uint64_t>(DaysMs(60)),
         {2, 16, 9, 2024, 14, 0, 0, 1726488000ll * 10000}},
        // Both in summer: the same offset at both ends.
        {"summer boot, summer clock", &europe, At(2024, 7, 1, 10, 0, 0), 3600000,
         {2, 1, 7, 2024, 11, 0, 0, 1719824400ll * 10000}},
        // The night of the change to summer time: booted at 00:30 UTC (01:30 local), read
        // at 02:30 UTC (04:30 local), two hours later on the UTC clock.
        {"across the change itself", &europe, At(2024, 3, 31, 2, 30, 0), 7200000,
         {1, 31, 3, 2024, 1, 30, 0, 1711845000ll * 10000}},
        {"a zone without daylight saving", &india, At(2024, 7, 1, 10, 0, 0), static_cast<std::uint64_t>(DaysMs(180)),
         {4, 3, 1, 2024, 15, 30, 0, 1704276000ll * 10000}},
    };
    for (const auto& r : rows) EXPECT_EQ(Numbers(BootTimeRow(r.utcNow, r.uptimeMs, r.zone)), r.expected) << r.what;
}

TEST(ProviderTime, LocalTimeOfAnInstantFollowsTheRuleInForceThen) {
    const TIME_ZONE_INFORMATION europe = CentralEurope();
    const SYSTEMTIME winter = LocalTimeOf(At(2024, 1, 15, 12, 0, 0), &europe);
    const SYSTEMTIME summer = LocalTimeOf(At(2024, 7, 15, 12, 0, 0), &europe);
    EXPECT_EQ(winter.wHour, 13);
    EXPECT_EQ(summer.wHour, 14);
    EXPECT_EQ(summer.wDay, 15);
}

TEST(ProviderTime, UpTimeRow) {
    struct Row {
        std::uint64_t ms;
        std::vector<std::int64_t> expected;
    } rows[] = {
        {90061000, {1, 1, 1, 1, 90061 * 10000ll}},
        {90061999, {1, 1, 1, 1, 90061 * 10000ll}},
        {999, {0, 0, 0, 0, 0}},
        {0, {0, 0, 0, 0, 0}},
        {86399999, {0, 23, 59, 59, 86399 * 10000ll}},
        {4294967295ull, {49, 17, 2, 47, 4294967 * 10000ll}},  // the last tick before the 32-bit wrap
        {4294967296ull + 1000, {49, 17, 2, 48, 4294968 * 10000ll}},
    };
    for (const Row& r : rows) EXPECT_EQ(Numbers(UpTimeRow(r.ms)), r.expected) << r.ms;
    EXPECT_EQ(UpTimeRow(5000)[4].Type(), VarType::Currency);
}

TEST(ProviderTime, TimeBefore) {
    const SYSTEMTIME t = TimeBefore(At(2024, 3, 1, 0, 0, 0, 500), 1000);
    EXPECT_EQ(Numbers(DateTimeRow(t, t)), Numbers(DateTimeRow(At(2024, 2, 29, 23, 59, 59), At(2024, 2, 29, 23, 59, 59))));
    EXPECT_EQ(t.wMilliseconds, 500);
    // After the 32-bit tick count wraps, the boot time computed from it moves forward by
    // 2^32 ms (49.7 days).
    const SYSTEMTIME now = At(2024, 6, 1, 12, 0, 0);
    const std::uint64_t uptime = 60ull * 86400000ull;
    const std::int64_t moved = Unix(TimeBefore(now, uptime & 0xFFFFFFFFull)) - Unix(TimeBefore(now, uptime));
    EXPECT_EQ(moved, 4294967);
}

TEST(ProviderTime, TimeZoneText) {
    TIME_ZONE_INFORMATION info{};
    wcscpy(info.StandardName, L"Standard Zone");
    wcscpy(info.DaylightName, L"Daylight Zone");
    EXPECT_EQ(TimeZoneText(TIME_ZONE_ID_STANDARD, info), L"Standard Zone");
    EXPECT_EQ(TimeZoneText(TIME_ZONE_ID_DAYLIGHT, info), L"Daylight Zone");
    EXPECT_EQ(TimeZoneText(TIME_ZONE_ID_UNKNOWN, info), L"Standard Zone");  // no daylight saving
    EXPECT_EQ(TimeZoneText(TIME_ZONE_ID_INVALID, info), L"");
}

// ---- the routines against the platform --------------------------------------------------------

TEST(ProviderTime, GetDateTimeGivesTheLocalTimeAndUtcSeconds) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        SYSTEMTIME before, after, utcBefore, utcAfter;
        GetLocalTime(&before);
        GetSystemTime(&utcBefore);
        const Collected c = Gather(GetDateTime, L"%4-%3-%2 %5:%6:%7 %8");
        GetSystemTime(&utcAfter);
        GetLocalTime(&after);
        // The second changed meanwhile: read again.
        if (Unix(before) != Unix(after) || Unix(utcBefore) != Unix(utcAfter)) continue;
        EXPECT_EQ(Numbers(c.data.Data.at(0)), Numbers(DateTimeRow(before, utcBefore)));
        EXPECT_EQ(c.data.Names, (TWideStringArray{L"dow", L"day", L"month", L"year", L"hour", L"minute", L"second",
                                                   L"unix"}));
        EXPECT_EQ(c.display, std::to_wstring(before.wYear) + L"-" + std::to_wstring(before.wMonth) + L"-" +
                                 std::to_wstring(before.wDay) + L" " + std::to_wstring(before.wHour) + L":" +
                                 std::to_wstring(before.wMinute) + L":" + std::to_wstring(before.wSecond) + L" " +
                                 std::to_wstring(Unix(utcBefore)));
        return;
    }
    FAIL() << "the clock never held still for one read";
}

TEST(ProviderTime, GetDateTimeLogsNothing) {
    LogCapture log;
    Gather(GetDateTime);
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(ApiTable, GetBootTimeIsNowMinusTheUptime) {
    ASSERT_NE(OptionalApis.GetTickCount64, nullptr);
    LogCapture log;
    FILETIME nowFt;
    GetSystemTimeAsFileTime(&nowFt);
    const ULONGLONG tick = GetTickCount64();
    const std::int64_t expected = UnixOfFileTime(nowFt) - static_cast<std::int64_t>(tick / 1000);

    const Collected c = Gather(GetBootTime, L"%8");
    ASSERT_EQ(c.data.Data.size(), 1u);
    const std::int64_t got = c.data.Data[0][7].CurrencyCount() / 10000;
    EXPECT_LE(std::llabs(got - expected), 1) << got << " " << expected;
    EXPECT_EQ(c.data.Names.size(), 8u);
    EXPECT_EQ(log.At(L"DATA"), std::vector<std::wstring>{L"Boot Time: " + c.display});
}

TEST_F(ApiTable, GetBootTimeWithoutGetTickCount64UsesTheThirtyTwoBitCount) {
    OptionalApis.GetTickCount64 = nullptr;
    FILETIME nowFt;
    GetSystemTimeAsFileTime(&nowFt);
    const DWORD tick = GetTickCount();
    const std::int64_t expected = UnixOfFileTime(nowFt) - static_cast<std::int64_t>(tick / 1000);
    const Collected c = Gather(GetBootTime);
    EXPECT_LE(std::llabs(c.data.Data.at(0)[7].CurrencyCount() / 10000 - expected), 1);
}

TEST_F(ApiTable, GetUpTimeCountsTheTicks) {
    LogCapture log;
    const ULONGLONG before = GetTickCount64() / 1000;
    const Collected c = Gather(GetUpTime, L"%1d %2:%3:%4 (%5)");
    const ULONGLONG after = GetTickCount64() / 1000;
    ASSERT_EQ(c.data.Data.size(), 1u);
    const std::vector<std::int64_t> n = Numbers(c.data.Data[0]);
    const std::int64_t total = n[4] / 10000;
    EXPECT_GE(total, static_cast<std::int64_t>(before));
    EXPECT_LE(total, static_cast<std::int64_t>(after));
    EXPECT_EQ(n[0] * 86400 + n[1] * 3600 + n[2] * 60 + n[3], total);
    EXPECT_EQ(c.data.Names, (TWideStringArray{L"days", L"hours", L"minutes", L"seconds", L"total seconds"}));
    EXPECT_EQ(log.At(L"DATA"), std::vector<std::wstring>{L"GetUpTime: " + c.display});
}

TEST_F(ApiTable, GetUpTimeWithoutGetTickCount64) {
    OptionalApis.GetTickCount64 = nullptr;
    const DWORD before = GetTickCount() / 1000;
    const Collected c = Gather(GetUpTime);
    const DWORD after = GetTickCount() / 1000;
    const std::int64_t total = c.data.Data.at(0)[4].CurrencyCount() / 10000;
    EXPECT_GE(total, before);
    EXPECT_LE(total, after);
}

TEST(ProviderTime, GetLoadTimeShowsTheStartTimeForTheWholeRun) {
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    InitializeProviders();
    GetLocalTime(&after);
    LogCapture log;
    const Collected first = Gather(GetLoadTime, L"%4-%3-%2 %5:%6:%7");
    ASSERT_EQ(first.data.Data.size(), 1u);
    const std::vector<std::int64_t> n = Numbers(first.data.Data[0]);
    ASSERT_EQ(n.size(), 7u);
    const SYSTEMTIME shown = At(static_cast<int>(n[3]), static_cast<int>(n[2]), static_cast<int>(n[1]),
                                static_cast<int>(n[4]), static_cast<int>(n[5]), static_cast<int>(n[6]));
    EXPECT_GE(Unix(shown), Unix(before));
    EXPECT_LE(Unix(shown), Unix(after));
    EXPECT_EQ(n[0], DayOfWeek(shown.wYear, shown.wMonth, shown.wDay));
    EXPECT_EQ(first.data.Names, (TWideStringArray{L"dow", L"day", L"month", L"year", L"hour", L"minute", L"second"}));
    EXPECT_EQ(log.At(L"DATA"), std::vector<std::wstring>{L"Load Time: " + first.display});

    Sleep(1100);
    const Collected later = Gather(GetLoadTime, L"%4-%3-%2 %5:%6:%7");
    EXPECT_EQ(later.display, first.display);
    FinalizeProviders();
}

TEST(ProviderTime, GetTimeZoneNamesTheZoneInForce) {
    LogCapture log;
    TIME_ZONE_INFORMATION info{};
    const DWORD rc = GetTimeZoneInformation(&info);
    std::wstring expected;
    if (rc == TIME_ZONE_ID_DAYLIGHT) expected = info.DaylightName;
    else if (rc != TIME_ZONE_ID_INVALID) expected = info.StandardName;
    expected = AnsiToWide(WideToAnsi(expected));

    const Collected c = Gather(GetTimeZone);
    EXPECT_EQ(c.display, expected);
    EXPECT_EQ(c.data.Names, TWideStringArray{L"time zone"});
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0][0], Variant(expected));
    EXPECT_EQ(log.At(L"DATA"), std::vector<std::wstring>{L"Time Zone: " + expected});
}
