#include <windows.h>

#include <wtsapi32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "EventLog.h"
#include "Includes.h"
#include "Tools.h"
#include "Utils.h"
#include "test_providers_support.h"

namespace {

// ---- a constructed EVENTLOGRECORD -----------------------------------------------------------

struct RecordSpec {
    std::uint32_t timeGenerated = 0;
    std::uint32_t eventId = 0;
    std::uint16_t eventType = 0;
    std::uint16_t category = 0;
    std::string source = "Src";
    std::string computer = "PC";
    std::vector<std::string> strings;
};

void PutU32(std::string& b, std::size_t at, std::uint32_t v) { std::memcpy(&b[at], &v, sizeof v); }
void PutU16(std::string& b, std::size_t at, std::uint16_t v) { std::memcpy(&b[at], &v, sizeof v); }

// The record as the platform lays it out: fixed part, source and computer names, the
// insertion strings, no SID and no data, padded to four bytes, length at both ends.
std::string BuildRecord(const RecordSpec& s) {
    std::string b(kEventLogRecordFixedSize, '\0');
    b += s.source + '\0' + s.computer + '\0';
    while (b.size() % 4) b += '\0';
    const std::size_t stringOffset = b.size();
    for (const std::string& text : s.strings) b += text + '\0';
    while (b.size() % 4) b += '\0';
    b.resize(b.size() + 4);
    const auto length = static_cast<std::uint32_t>(b.size());
    PutU32(b, 0, length);
    PutU32(b, 4, 0x654c664c);  // "LfLe"
    PutU32(b, 8, 7);           // record number
    PutU32(b, 12, s.timeGenerated);
    PutU32(b, 16, s.timeGenerated);
    PutU32(b, 20, s.eventId);
    PutU16(b, 24, s.eventType);
    PutU16(b, 26, static_cast<std::uint16_t>(s.strings.size()));
    PutU16(b, 28, s.category);
    PutU32(b, 36, static_cast<std::uint32_t>(stringOffset));
    PutU32(b, 48, 0);
    PutU32(b, 52, length);  // data offset: no data
    PutU32(b, length - 4, length);
    return b;
}

TEventLogRecord Parse(const std::string& bytes) {
    return ParseEventLogRecord(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

TEventLogRead ReadOf(const std::string& bytes) {
    TEventLogRead read;
    read.Ok = true;
    read.Bytes.assign(bytes.begin(), bytes.end());
    return read;
}

TIME_ZONE_INFORMATION Zone(LONG bias, LONG standardBias, LONG daylightBias) {
    TIME_ZONE_INFORMATION info{};
    info.Bias = bias;
    info.StandardBias = standardBias;
    info.DaylightBias = daylightBias;
    return info;
}

using providertest::Collected;
using providertest::Gather;

}  // namespace

// ---- time conversions ---------------------------------------------------------------------------

namespace {

// A zone with daylight saving: the standard and daylight offsets in minutes (UTC =
// local + bias) and the two changes as the system gives them (month, the n-th weekday,
// 5 = the last; the local hour of the change).
TIME_ZONE_INFORMATION ZoneWithDst(LONG bias, LONG daylightBias, WORD dstMonth, WORD dstWeek, WORD stdMonth,
                                  WORD stdWeek, WORD hour) {
    TIME_ZONE_INFORMATION info = Zone(bias, 0, daylightBias);
    info.DaylightDate = {0, dstMonth, 0, dstWeek, hour, 0, 0, 0};
    info.StandardDate = {0, stdMonth, 0, stdWeek, hour, 0, 0, 0};
    return info;
}

// Seconds since 1970 of a UTC date and time.
std::int64_t UtcSeconds(int y, int mo, int d, int h, int mi) {
    return static_cast<std::int64_t>(std::llround((EncodeDateTime(y, mo, d, h, mi, 0, 0) - 25569.0) * 86400.0));
}

}  // namespace

TEST(ProviderEventLogTime, EachRecordTimeTakesTheZonesRulesForItsDate) {
    const TIME_ZONE_INFORMATION india = Zone(-330, 0, 0), nepal = Zone(-345, 0, 0), iran = Zone(-210, 0, 0);
    // Newfoundland (UTC-3:30, daylight UTC-2:30 from the second Sunday of March to the
    // first Sunday of November, at 02:00 local).
    const TIME_ZONE_INFORMATION newfoundland = ZoneWithDst(210, -60, 3, 2, 11, 1, 2);
    // South Australia (UTC+9:30, daylight UTC+10:30 from the first Sunday of October to
    // the first Sunday of April, at 02:00 local).
    const TIME_ZONE_INFORMATION adelaide = ZoneWithDst(-570, -60, 10, 1, 4, 1, 2);
    const struct {
        const char* what;
        const TIME_ZONE_INFORMATION& zone;
        std::int64_t utc;
        double local;
    } rows[] = {
        {"UTC+5:30", india, UtcSeconds(2024, 1, 15, 12, 0), EncodeDateTime(2024, 1, 15, 17, 30, 0, 0)},
        {"UTC+5:45", nepal, UtcSeconds(2024, 7, 15, 12, 0), EncodeDateTime(2024, 7, 15, 17, 45, 0, 0)},
        {"UTC+3:30", iran, UtcSeconds(2024, 7, 15, 22, 0), EncodeDateTime(2024, 7, 16, 1, 30, 0, 0)},
        {"UTC-3:30 in winter", newfoundland, UtcSeconds(2024, 1, 15, 12, 0), EncodeDateTime(2024, 1, 15, 8, 30, 0, 0)},
        {"UTC-2:30 in summer", newfoundland, UtcSeconds(2024, 7, 15, 12, 0), EncodeDateTime(2024, 7, 15, 9, 30, 0, 0)},
        // 10 March 2024 is the second Sunday: 02:00 local standard time is 05:30 UTC.
        {"a minute before the change", newfoundland, UtcSeconds(2024, 3, 10, 5, 29),
         EncodeDateTime(2024, 3, 10, 1, 59, 0, 0)},
        {"a minute after the change", newfoundland, UtcSeconds(2024, 3, 10, 5, 31),
         EncodeDateTime(2024, 3, 10, 3, 1, 0, 0)},
        {"UTC+10:30 in the southern summer", adelaide, UtcSeconds(2024, 1, 15, 0, 0),
         EncodeDateTime(2024, 1, 15, 10, 30, 0, 0)},
        {"UTC+9:30 in the southern winter", adelaide, UtcSeconds(2024, 7, 15, 0, 0),
         EncodeDateTime(2024, 7, 15, 9, 30, 0, 0)},
        {"UTC", UtcZone(), UtcSeconds(2024, 7, 15, 0, 0), EncodeDateTime(2024, 7, 15, 0, 0, 0, 0)},
    };
    for (const auto& r : rows)
        EXPECT_NEAR(UnixTimeToZoneDateTime(r.utc, r.zone), r.local, 0.5 / 86400) << r.what;
}

TEST(ProviderEventLogTime, UnixTimeToDateTime) {
    EXPECT_DOUBLE_EQ(UnixTimeToDateTime(0, 0), 25569.0);
    EXPECT_DOUBLE_EQ(UnixTimeToDateTime(86400 + 43200, 0), 25570.5);
    EXPECT_DOUBLE_EQ(UnixTimeToDateTime(0, 2.0 / 24), 25569.0 + 2.0 / 24);
    EXPECT_DOUBLE_EQ(UnixTimeToDateTime(-86400, 0), 25568.0);
    // The current time in seconds since 1970 gives the local time of now, to the second,
    // minutes of the zone offset included.
    SYSTEMTIME utcNow{}, localNow{};
    GetSystemTime(&utcNow);
    GetLocalTime(&localNow);
    FILETIME utcFile{};
    ASSERT_TRUE(SystemTimeToFileTime(&utcNow, &utcFile));
    const LONGLONG unixSeconds =
        static_cast<LONGLONG>((static_cast<ULONGLONG>(utcFile.dwHighDateTime) << 32) | utcFile.dwLowDateTime) /
            10000000 - 11644473600LL;
    double localDays = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&localNow, &localDays));
    EXPECT_NEAR(UnixTimeToLocalDateTime(unixSeconds), localDays, 2.0 / 86400);
}

// ---- record parsing ------------------------------------------------------------------------------

TEST(ProviderEventLogRecord, ParsesTheFixedPartNamesAndStrings) {
    RecordSpec spec;
    spec.timeGenerated = 1700000000;
    spec.eventId = 0xC0001234;
    spec.eventType = EVENTLOG_WARNING_TYPE;
    spec.category = 9;
    spec.source = "Service Control Manager";
    spec.computer = "HOST-1";
    spec.strings = {"one", "two words", "three"};
    const TEventLogRecord r = Parse(BuildRecord(spec));
    EXPECT_EQ(r.TimeGenerated, 1700000000u);
    EXPECT_EQ(r.EventID, 0xC0001234u);
    EXPECT_EQ(r.EventType, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(r.EventCategory, 9);
    EXPECT_EQ(r.SourceName, L"Service Control Manager");
    EXPECT_EQ(r.ComputerName, L"HOST-1");
    EXPECT_EQ(r.Strings, (std::vector<std::wstring>{L"one", L"two words", L"three"}));
}

TEST(ProviderEventLogRecord, NamesAreEightBitText) {
    RecordSpec spec;
    spec.source = "Caf\xE9";
    spec.strings = {"\xE9t\xE9"};
    const TEventLogRecord r = Parse(BuildRecord(spec));
    EXPECT_EQ(r.SourceName, AnsiToWide("Caf\xE9"));
    EXPECT_EQ(r.Strings.at(0), AnsiToWide("\xE9t\xE9"));
}

TEST(ProviderEventLogRecord, ReadsOnlyTheFirstOfSeveralRecordsAndAcceptsTheExactSize) {
    RecordSpec first;
    first.source = "First";
    RecordSpec second;
    second.source = "Second";
    const std::string one = BuildRecord(first);
    EXPECT_EQ(Parse(one).SourceName, L"First");  // buffer exactly one record long
    EXPECT_EQ(Parse(one + BuildRecord(second)).SourceName, L"First");
}

TEST(ProviderEventLogRecord, RecordsThatDoNotFitRaise) {
    RecordSpec spec;
    spec.strings = {"alpha", "beta"};
    const std::string good = BuildRecord(spec);
    const auto length = static_cast<std::uint32_t>(good.size());
    const std::size_t stringsAt = kEventLogRecordFixedSize + 8;  // "Src\0PC\0" padded to 8

    auto with = [&](auto change) {
        std::string b = good;
        change(b);
        return b;
    };
    struct Row {
        const char* what;
        std::string bytes;
    } rows[] = {
        {"empty", std::string()},
        {"fixed part cut", good.substr(0, kEventLogRecordFixedSize - 1)},
        {"one byte short of its length", good.substr(0, good.size() - 1)},
        {"length below the fixed part", with([](std::string& b) { PutU32(b, 0, 20); })},
        {"length beyond the bytes", with([&](std::string& b) { PutU32(b, 0, length + 4); })},
        {"huge length", with([](std::string& b) { PutU32(b, 0, 0xFFFFFFFF); })},
        {"string offset past the record", with([&](std::string& b) { PutU32(b, 36, length); })},
        {"string offset far away", with([](std::string& b) { PutU32(b, 36, 0x7FFFFFF0); })},
        {"string offset inside the fixed part", with([](std::string& b) { PutU32(b, 36, 8); })},
        {"more strings than present", with([](std::string& b) { PutU16(b, 26, 400); })},
        // Names that run to the end of the record without their NUL.
        {"source without end",
         with([&](std::string& b) {
             b.resize(kEventLogRecordFixedSize + 3);
             std::memcpy(&b[kEventLogRecordFixedSize], "Src", 3);
             PutU32(b, 0, static_cast<std::uint32_t>(b.size()));
         })},
        {"computer without end",
         with([&](std::string& b) {
             b.resize(kEventLogRecordFixedSize + 6);
             PutU32(b, 0, static_cast<std::uint32_t>(b.size()));
         })},
        {"last string without end",
         with([&](std::string& b) {
             const std::size_t end = stringsAt + 6 + 4;  // "alpha\0" and "beta" with no NUL
             b.resize(end);
             PutU32(b, 0, static_cast<std::uint32_t>(end));
         })},
    };
    for (const Row& r : rows) EXPECT_THROW(Parse(r.bytes), EEventLogRecordError) << r.what;
    EXPECT_THROW(ParseEventLogRecord(nullptr, 100), EEventLogRecordError);
    EXPECT_NO_THROW(Parse(good));
}

TEST(ProviderEventLogRecord, AStringOffsetIsIgnoredWithoutStrings) {
    RecordSpec spec;
    std::string b = BuildRecord(spec);
    PutU32(b, 36, 0xFFFFFFFF);
    EXPECT_TRUE(Parse(b).Strings.empty());
}

// ---- the row -------------------------------------------------------------------------------------

TEST(ProviderEventLogRow, FieldsInOrder) {
    TEventLogRecord r;
    r.TimeGenerated = 86400;  // 2 January 1970, midnight UTC
    r.EventID = 0x80010005;
    r.EventType = 4;
    r.EventCategory = 2;
    r.SourceName = L"Src";
    r.ComputerName = L"PC";
    r.Strings = {L"a", L"b", L"c"};
    EXPECT_EQ(kEventLogNames, (std::vector<std::wstring>{L"datetime", L"eventid", L"eventtype", L"taskcategory",
                                                         L"sourcename", L"computername", L"eventdata"}));
    const TVarArray row = EventLogRow(r, UtcZone());
    const TVarArray expected = {Variant(DateTimeToText(25570.0)), Variant(std::int32_t{5}), Variant(std::int32_t{4}),
                                Variant(std::int32_t{2}),         Variant(L"Src"),          Variant(L"PC"),
                                Variant(L"a b c")};
    EXPECT_EQ(row, expected);
    EXPECT_EQ(row[0].ToText(), L"1/2/1970");

    r.Strings.clear();
    EXPECT_EQ(EventLogRow(r, UtcZone()).at(6), Variant(L""));
    EXPECT_EQ(EventLogRow(r, Zone(-180, 0, 0)).at(0), Variant(DateTimeToText(25570.0 + 3.0 / 24)));
}

TEST(ProviderEventLogRow, TimesPastTheSignedRangeStayInTheFuture) {
    TEventLogRecord r;
    r.TimeGenerated = 0x80000000u;  // 19 January 2038, 03:14:08 UTC
    EXPECT_EQ(EventLogRow(r, UtcZone()).at(0).ToText(), DateTimeToText(EncodeDateTime(2038, 1, 19, 3, 14, 8, 0)));
}

TEST(ProviderEventLogRow, StoreReadSuccessFillsTheRowAndTemplate) {
    RecordSpec spec;
    spec.eventId = 1001;
    spec.source = "App";
    spec.strings = {"x", "y"};
    TItemData data;
    std::wstring display;
    StoreEventLogRead(OptionsOf({{L"display", L"%5 %2: %7"}}), ReadOf(BuildRecord(spec)), UtcZone(), data, display);
    EXPECT_EQ(data.Names, kEventLogNames);
    ASSERT_EQ(data.Data.size(), 1u);
    EXPECT_EQ(display, L"App 1001: x y");
}

TEST(ProviderEventLogRow, StoreReadFailureShowsTheSystemsTextWithoutRow) {
    TItemData data;
    data.Names = {L"earlier"};
    data.Data = {{Variant(L"row")}};
    std::wstring display;
    TEventLogRead read;
    read.Error = ERROR_INSUFFICIENT_BUFFER;  // a newest record past the largest read
    StoreEventLogRead(OptionsOf({}), read, UtcZone(), data, display);
    EXPECT_EQ(display, ErrorText + SystemErrorText(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(SystemErrorText(ERROR_INSUFFICIENT_BUFFER).empty());
    EXPECT_EQ(data.Names, TWideStringArray{L"earlier"});
    EXPECT_EQ(data.Data.size(), 1u);
}

// ---- reading the newest record ----------------------------------------------------------------

namespace {

// A scripted ReadEventLogA: each call answers the next step; a step that fits the buffer
// gives the record, one that does not asks for its size.
struct ScriptedLog {
    std::vector<std::string> records;  // the newest record as each call finds it
    std::vector<DWORD> sizes;          // the buffer size of each call
    DWORD failWith = 0;                // a failure other than a small buffer
    TEventLogReader Reader() {
        return [this](void* Buffer, DWORD Size, DWORD& BytesRead, DWORD& Needed, DWORD& Error) {
            sizes.push_back(Size);
            if (failWith) {
                Error = failWith;
                return false;
            }
            const std::string& r = records.at(std::min(sizes.size(), records.size()) - 1);
            if (r.size() > Size) {
                Needed = static_cast<DWORD>(r.size());
                Error = ERROR_INSUFFICIENT_BUFFER;
                return false;
            }
            std::memcpy(Buffer, r.data(), r.size());
            BytesRead = static_cast<DWORD>(r.size());
            return true;
        };
    }
};

std::string RecordOfSize(std::size_t atLeast, const std::string& source = "Security") {
    RecordSpec spec;
    spec.source = source;
    spec.strings = {std::string(atLeast, 'x')};
    return BuildRecord(spec);
}

}  // namespace

TEST(ProviderEventLogRead, ARecordThatFitsIsReadOnce) {
    ScriptedLog log;
    log.records = {RecordOfSize(100)};
    const TEventLogRead read = ReadNewestEventLogRecord(log.Reader());
    ASSERT_TRUE(read.Ok);
    EXPECT_EQ(log.sizes, std::vector<DWORD>{kEventLogReadBufferSize});
    EXPECT_EQ(read.Bytes.size(), log.records[0].size());
}

TEST(ProviderEventLogRead, ALargerRecordIsReadAgainWithTheSizeAsked) {
    // Security records commonly pass 1024 bytes.
    for (const std::size_t size : {std::size_t{1100}, std::size_t{5000}, std::size_t{0x70000}}) {
        ScriptedLog log;
        log.records = {RecordOfSize(size)};
        const TEventLogRead read = ReadNewestEventLogRecord(log.Reader());
        ASSERT_TRUE(read.Ok) << size;
        const auto needed = static_cast<DWORD>(log.records[0].size());
        EXPECT_EQ(log.sizes, (std::vector<DWORD>{kEventLogReadBufferSize, needed}));
        EXPECT_EQ(read.Bytes.size(), needed);
        EXPECT_EQ(Parse(std::string(read.Bytes.begin(), read.Bytes.end())).Strings.at(0).size(), size);

        TItemData data;
        std::wstring display;
        StoreEventLogRead(OptionsOf({{L"display", L"%5"}}), read, UtcZone(), data, display);
        EXPECT_EQ(display, L"Security");
        EXPECT_EQ(data.Data.size(), 1u);
    }
}

TEST(ProviderEventLogRead, TheRereadIsBounded) {
    // Past the largest read the system accepts: no second read, the error stands.
    ScriptedLog huge;
    huge.records = {std::string(kEventLogMaxRecordSize + 1, 'r')};
    TEventLogRead read = ReadNewestEventLogRecord(huge.Reader());
    EXPECT_FALSE(read.Ok);
    EXPECT_EQ(read.Error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(read.Bytes.empty());
    EXPECT_EQ(huge.sizes.size(), 1u);

    // A newest record that keeps growing between the reads: a few reads, then the error.
    ScriptedLog growing;
    for (std::size_t i = 0; i < 10; ++i) growing.records.push_back(RecordOfSize(2000 + 500 * i));
    read = ReadNewestEventLogRecord(growing.Reader());
    EXPECT_FALSE(read.Ok);
    EXPECT_EQ(read.Error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(growing.sizes.size(), static_cast<std::size_t>(kEventLogReadAttempts));

    // One that grew once is read on the third try.
    ScriptedLog once;
    once.records = {RecordOfSize(2000), RecordOfSize(3000)};
    read = ReadNewestEventLogRecord(once.Reader());
    ASSERT_TRUE(read.Ok);
    EXPECT_EQ(once.sizes.size(), 3u);

    // Any other failure is not retried.
    ScriptedLog failing;
    failing.failWith = ERROR_EVENTLOG_FILE_CORRUPT;
    read = ReadNewestEventLogRecord(failing.Reader());
    EXPECT_FALSE(read.Ok);
    EXPECT_EQ(read.Error, static_cast<DWORD>(ERROR_EVENTLOG_FILE_CORRUPT));
    EXPECT_EQ(failing.sizes.size(), 1u);
}

TEST(ProviderEventLogRow, StoreReadOfABadRecordRaisesAndLeavesTheItem) {
    TItemData data;
    std::wstring display;
    std::string bytes = BuildRecord(RecordSpec{});
    bytes.resize(30);
    EXPECT_THROW(StoreEventLogRead(OptionsOf({}), ReadOf(bytes), UtcZone(), data, display), EEventLogRecordError);
    EXPECT_TRUE(data.Data.empty());
    EXPECT_TRUE(display.empty());
}

// ---- the routine on the platform -----------------------------------------------------------------

TEST(ProviderEventLog, WithoutLogOptionNothingAtAll) {
    LogCapture log;
    const Collected c = Gather(GetEventLog, OptionsOf({{L"display", L"%1"}}));
    EXPECT_EQ(c.display, L"");
    EXPECT_TRUE(c.data.Data.empty());
    EXPECT_TRUE(log.Lines().empty());
}

TEST(ProviderEventLog, AnEmptyOrUnopenableLogGivesNoRowAndNoLogLine) {
    // The platform's answer decides: a log that opens and holds no record, or one that
    // does not open, both end without a row.
    HANDLE h = OpenEventLogA(nullptr, "Application");
    DWORD count = 0;
    const bool empty = !h || !GetNumberOfEventLogRecords(h, &count) || count == 0;
    if (h) CloseEventLog(h);
    if (!empty) GTEST_SKIP() << "the Application log holds records here";
    LogCapture log;
    const Collected c = Gather(GetEventLog, OptionsOf({{L"log", L"Application"}}));
    EXPECT_EQ(c.display, L"");
    EXPECT_TRUE(c.data.Data.empty());
    EXPECT_TRUE(log.Lines().empty());
}

// ---- sessions ------------------------------------------------------------------------------------

TEST(ProviderSessions, StationNamesOfAList) {
    char console[] = "Console";
    char rdp[] = "RDP-Tcp#3";
    WTS_SESSION_INFOA list[3] = {};
    list[0].SessionId = 1;
    list[0].pWinStationName = console;
    list[1].SessionId = 2;
    list[1].pWinStationName = nullptr;  // a missing name reads as empty
    list[2].SessionId = 3;
    list[2].pWinStationName = rdp;
    EXPECT_EQ(StationNames(list, 3), (std::vector<std::wstring>{L"Console", L"", L"RDP-Tcp#3"}));
    EXPECT_EQ(StationNames(list, 0), std::vector<std::wstring>{});
    EXPECT_EQ(StationNames(nullptr, 5), std::vector<std::wstring>{});
}

TEST(ProviderSessions, JoinStationNames) {
    struct Row {
        std::vector<std::wstring> names;
        std::wstring expected;
    } rows[] = {
        {{}, L""},
        {{L"Console"}, L"Console"},
        {{L"Services", L"Console"}, L"Services, Console"},
        {{L""}, L""},
        {{L"", L""}, L", "},
        {{L"a", L"", L"b"}, L"a, , b"},
    };
    for (const Row& r : rows) EXPECT_EQ(JoinStationNames(r.names), r.expected);
}

TEST(ProviderSessions, RowsAndIds) {
    EXPECT_EQ(TSSessionsRow(2, L"Services, Console"),
              (TVarArray{Variant(std::int32_t{2}), Variant(L"Services, Console")}));
    EXPECT_EQ(IdValue(7), Variant::FromCurrencyCount(70000));
    EXPECT_EQ(IdValue(0xFFFFFFFE), Variant::FromCurrencyCount(std::int64_t{0xFFFFFFFE} * 10000));
    EXPECT_FALSE(ConsoleSessionRow(0xFFFFFFFF).has_value());
    ASSERT_TRUE(ConsoleSessionRow(0).has_value());
    EXPECT_EQ(*ConsoleSessionRow(1), TVarArray{IdValue(1)});
}

TEST(ProviderSessions, TSSessionsWithoutATerminalServerShowsNoSessions) {
    // Wine has no terminal server: the local server does not open, and the item shows
    // the count 0 and no names (the names and counts of a list are built by the functions
    // tested above).
    HANDLE server = WTSOpenServerA(nullptr);
    if (server) WTSCloseServer(server);
    ASSERT_EQ(server, nullptr) << "this system has a terminal server";
    LogCapture log;
    const Collected c = Gather(GetTSSessions, OptionsOf({{L"display", L"%1 [%2]"}}));
    EXPECT_EQ(c.data.Names, TWideStringArray{L"ts sessions"});
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0], (TVarArray{Variant(std::int32_t{0}), Variant(L"")}));
    EXPECT_EQ(c.display, L"0 []");
    EXPECT_EQ(log.At(L"DATA"), std::vector<std::wstring>{L"GetTSSessions: 0 []"});
}

class ProviderSessionIds : public ::testing::Test {
protected:
    void SetUp() override { LoadOptionalApis(); }
    void TearDown() override { LoadOptionalApis(); }
};

namespace {
DWORD WINAPI NoConsoleSession() { return 0xFFFFFFFF; }
DWORD WINAPI ConsoleSessionSeven() { return 7; }
// A process id past the signed 32-bit range, and the session it is in.
DWORD WINAPI ProcessIdFixture() { return 4000000000u; }
DWORD sessionAskedFor = 0;
BOOL WINAPI SessionOfTheFixtureProcess(DWORD ProcessId, DWORD* SessionId) {
    sessionAskedFor = ProcessId;
    *SessionId = 3;
    return TRUE;
}
BOOL WINAPI SessionQueryFails(DWORD, DWORD*) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}
}  // namespace

TEST_F(ProviderSessionIds, ConsoleSession) {
    LogCapture log;
    OptionalApis.WTSGetActiveConsoleSessionId = ConsoleSessionSeven;
    const Collected c = Gather(GetSessionID, OptionsOf({{L"display", L"<%1>"}}));
    EXPECT_EQ(c.data.Names, (TWideStringArray{L"var", L"sessionid"}));
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0], TVarArray{Variant::FromCurrencyCount(70000)});
    EXPECT_EQ(c.display, L"<7>");
    EXPECT_EQ(log.At(L"DATA"), std::vector<std::wstring>{L"GetSessionID: <7>"});
}

TEST_F(ProviderSessionIds, NoConsoleSessionOrNoFunctionGivesNothing) {
    LogCapture log;
    OptionalApis.WTSGetActiveConsoleSessionId = NoConsoleSession;
    Collected c = Gather(GetSessionID, OptionsOf({}));
    EXPECT_TRUE(c.data.Data.empty());
    EXPECT_EQ(c.display, L"");
    OptionalApis.WTSGetActiveConsoleSessionId = nullptr;
    c = Gather(GetSessionID, OptionsOf({}));
    EXPECT_TRUE(c.data.Data.empty());
    EXPECT_EQ(c.display, L"");
    EXPECT_EQ(log.Count(L"DATA", L"GetSessionID: "), 2);
}

TEST_F(ProviderSessionIds, ProcessSession) {
    LogCapture log;
    OptionalApis.GetCurrentProcessId = ProcessIdFixture;
    OptionalApis.ProcessIdToSessionId = SessionOfTheFixtureProcess;
    sessionAskedFor = 0;
    const Collected c = Gather(GetRdsSessionID, OptionsOf({{L"display", L"%1/%2"}}));
    EXPECT_EQ(sessionAskedFor, 4000000000u) << "the session of the process's own id is asked for";
    EXPECT_EQ(c.data.Names, (TWideStringArray{L"var", L"processid", L"sessionid"}));
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0], (TVarArray{Variant::FromCurrencyCount(std::int64_t{4000000000} * 10000),
                                         Variant::FromCurrencyCount(30000)}));
    EXPECT_EQ(c.display, L"4000000000/3");
    EXPECT_EQ(log.At(L"DATA"), std::vector<std::wstring>{L"GetSessionID: 4000000000/3"});
}

TEST_F(ProviderSessionIds, ProcessSessionUnavailable) {
    LogCapture log;
    OptionalApis.ProcessIdToSessionId = SessionQueryFails;
    Collected c = Gather(GetRdsSessionID, OptionsOf({}));
    EXPECT_TRUE(c.data.Data.empty());
    EXPECT_EQ(c.display, L"");
    OptionalApis.ProcessIdToSessionId = nullptr;
    c = Gather(GetRdsSessionID, OptionsOf({}));
    EXPECT_TRUE(c.data.Data.empty());
    EXPECT_EQ(log.Count(L"DATA", L"GetSessionID: "), 2);
}
