// LOGICALDRIVES: drive selection, rows and rates on tables; the drive, space and volume
// queries against what the test reads from the system itself.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ComHandles.h"
#include "Errors.h"
#include "Includes.h"
#include "LogicalDrives.h"
#include "TimeLimits.h"
#include "Utils.h"
#include "Wmi.h"
#include "test_providers_support.h"

using namespace logical_drives;

namespace {

std::int64_t Count(const Variant& v) { return v.CurrencyCount(); }

TDiskItem Item(const std::string& name, const TDiskCounters& previous, const TDiskSample& current) {
    return TDiskItem{name, current, previous};
}

// Fixed and removable drives other than A and B, as the test finds them itself.
std::string OwnDrives() {
    std::string letters;
    const DWORD mask = GetLogicalDrives();
    for (int bit = 2; bit < 26; ++bit) {
        if (!(mask & (1u << bit))) continue;
        const char root[] = {static_cast<char>('A' + bit), ':', '\\', 0};
        const UINT type = GetDriveTypeA(root);
        if (type == DRIVE_FIXED || type == DRIVE_REMOVABLE) letters += root[0];
    }
    return letters;
}

class LogicalDrivesTest : public ::testing::Test {
protected:
    void SetUp() override { LogicalDrivesInitialization(); }
    void TearDown() override { LogicalDrivesFinalization(); }
};

TDiskSample Sample(std::int64_t timestamp, std::int64_t readBytes, std::int64_t diskTime, std::int64_t diskBase) {
    TDiskSample s;
    s.Counters.Timestamp = timestamp;
    s.Counters.ReadBytes = readBytes;
    s.Counters.DiskTime = diskTime;
    s.Counters.DiskTimeBase = diskBase;
    s.Counters.IdleTime = diskBase - diskTime;
    s.Counters.IdleTimeBase = diskBase;
    s.Frequency = 1000;
    return s;
}

}  // namespace

// ---- selection ------------------------------------------------------------------------------

TEST(LogicalDriveRules, IncludeExcludeAndMax) {
    const std::map<char, UINT> types = {{'A', DRIVE_REMOVABLE}, {'B', DRIVE_REMOVABLE}, {'C', DRIVE_FIXED},
                                        {'D', DRIVE_FIXED},     {'E', DRIVE_CDROM},     {'F', DRIVE_REMOTE},
                                        {'G', DRIVE_RAMDISK},   {'H', DRIVE_REMOVABLE}, {'Z', DRIVE_FIXED}};
    DWORD mask = 0;
    for (const auto& t : types) mask |= 1u << (t.first - 'A');
    auto type = [&](const std::string& root) { return types.at(root[0]); };
    struct Row {
        std::wstring include, exclude;
        std::int32_t max;
        std::string expected;
    } rows[] = {
        {L"", L"ab", 26, "CDHZ"},    // the defaults: no A or B, no CD, network or RAM drive
        {L"", L"", 26, "ABCDHZ"},
        {L"cd", L"ab", 26, "CD"},    // case does not matter
        {L"CD", L"c", 26, "D"},      // exclude wins
        {L"C:\\ D;", L"", 26, "CD"},  // other characters are ignored
        {L"", L"ab", 1, "C"},
        {L"", L"ab", 0, "C"},   // the count is tested once a drive is taken
        {L"", L"ab", -3, "C"},
        {L"EFG", L"", 0, ""},   // and only then
        {L"EFG", L"", 26, ""},
        {L"q", L"", 26, ""},
    };
    for (const Row& r : rows)
        EXPECT_EQ(SelectLogicalDrives(mask, r.include, r.exclude, r.max, type), r.expected) << r.include << "/" << r.exclude;
    // Once max drives are found no further letter is examined.
    std::vector<std::string> asked;
    SelectLogicalDrives(mask, L"", L"ab", 2, [&](const std::string& root) {
        asked.push_back(root);
        return types.at(root[0]);
    });
    EXPECT_EQ(asked, (std::vector<std::string>{"C:\\", "D:\\"}));
}

// ---- rows ------------------------------------------------------------------------------------

TEST(LogicalDriveRules, SpaceValuesAndPercentagesToFourDecimals) {
    struct Row {
        std::int64_t total, used, free;
        std::int64_t usedPct, freePct;  // ten-thousandths
    } rows[] = {
        {3, 2, 1, 666667, 333333},
        {0, 0, 0, 0, 0},
        {1000, 250, 750, 250000, 750000},
        {7, 0, 7, 0, 1000000},
    };
    for (const Row& r : rows) {
        TLogicalDriveInfo info;
        info.Letter = 'D';
        info.FileSystem = L"NTFS";
        info.Label = L"Data";
        info.Serial = 0xFFFFFFFFu;
        info.Total = r.total;
        info.Used = r.used;
        info.Free = r.free;
        info.Available = r.free / 2;
        const TVarArray row = LogicalDriveRow(info, nullptr);
        ASSERT_EQ(row.size(), 19u);
        EXPECT_EQ(row[0], Variant(L"D"));
        EXPECT_EQ(row[1], Variant(L"NTFS"));
        EXPECT_EQ(row[2], Variant(L"Data"));
        EXPECT_EQ(Count(row[3]), 4294967295ll * 10000);  // the serial as an unsigned number
        EXPECT_EQ(Count(row[4]), r.total * 10000);
        EXPECT_EQ(Count(row[5]), r.used * 10000);
        EXPECT_EQ(Count(row[6]), r.usedPct) << r.total;
        EXPECT_EQ(Count(row[7]), r.free * 10000);
        EXPECT_EQ(Count(row[8]), r.freePct) << r.total;
        EXPECT_EQ(Count(row[9]), r.free / 2 * 10000);
        for (std::size_t i = 10; i < 19; ++i) EXPECT_TRUE(row[i].IsEmpty()) << i;
    }
}

TEST(LogicalDriveRules, RatesFromTwoSamples) {
    // Two seconds apart at 1000 counts a second.
    TDiskSample now = Sample(5000, 9000, 700, 2000);
    now.Counters.Reads = 30;
    now.Counters.WriteBytes = 4001;
    now.Counters.Writes = 3;
    now.QueueLength = 2;
    now.Counters.ReadTime = 6000;  // 5000 counts over 20 reads at 1000 a second: 0.25 s
    now.Counters.ReadTimeBase = 30;
    now.Counters.WriteTime = 7000;  // 7000 counts over one write: 7 s
    now.Counters.WriteTimeBase = 1;
    TDiskCounters before = Sample(3000, 1000, 200, 1000).Counters;
    before.ReadTime = 1000;
    before.ReadTimeBase = 10;
    const TDiskItem item = Item("C:", before, now);
    const TVarArray row = LogicalDriveRow({}, &item);
    const std::vector<std::int64_t> expected = {
        4000 * 10000,  // (9000 - 1000) / 2 read bytes
        15 * 10000,    // 30 reads / 2
        20005000,      // 4001 / 2 = 2000.5
        15000,         // 3 / 2 = 1.5
        2500,          // the seconds per read and per write between the two samples
        70000,
        2 * 10000,     // queue length
        50 * 10000,    // (700 - 200) / (2000 - 1000) = 50 %
        50 * 10000,    // idle (1300 - 800) / 1000
    };
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(Count(row.at(10 + i)), expected[i]) << i;
}

TEST(LogicalDriveRules, RatesNeedAMillisecondBetweenTheSamples) {
    struct Row {
        std::int64_t previousStamp, stamp;
        bool rates;
    } rows[] = {
        {3000, 3000, false},  // the first sample of a disk: both equal
        {3000, 3001, true},   // one millisecond at 1000 counts a second
        {3000, 3999, true},
        {3000, 4000, true},
        {4000, 3000, false},  // a counter that went backwards
    };
    for (const Row& r : rows) {
        const TDiskItem item = Item("C:", Sample(r.previousStamp, 0, 0, 0).Counters, Sample(r.stamp, 10, 10, 100));
        EXPECT_EQ(DiskRateValues(item).has_value(), r.rates) << r.stamp;
    }
    // Percentages are rounded, halves to even: 0.5 % and 1.5 % and 2.5 %.
    struct Pct {
        std::int64_t diskTime, expected;
    } pcts[] = {{5, 0}, {15, 2}, {25, 2}, {26, 3}, {1000, 100}};
    for (const Pct& p : pcts) {
        const auto values = DiskRateValues(Item("C:", Sample(0, 0, 0, 0).Counters, Sample(1000, 0, p.diskTime, 1000)));
        ASSERT_TRUE(values.has_value());
        EXPECT_EQ(Count((*values)[7]), p.expected * 10000) << p.diskTime;
    }
}

// The rates are per second of the time between the samples to the millisecond: 10.9 s at
// the default interval counts as 10.9 s, not 10.
TEST(LogicalDriveRules, RatesFromTheElapsedMilliseconds) {
    struct Row {
        std::int64_t frequency, elapsed, bytes, expected;  // expected: ten-thousandths a second
    } rows[] = {
        {1000, 10900, 10900, 1000 * 10000},
        {1000, 10999, 10999, 1000 * 10000},
        {10000000, 109000000, 1090, 100 * 10000},  // 10.9 s of a 10 MHz counter
        {3, 10, 3333, 1000 * 10000},                // 3333 ms: the ticks' rest in milliseconds too
        {1000, 500, 1, 2 * 10000},
    };
    for (const Row& r : rows) {
        TDiskSample before = Sample(1000, 0, 0, 1000), now = Sample(1000 + r.elapsed, r.bytes, 10, 2000);
        before.Frequency = now.Frequency = r.frequency;
        const auto values = DiskRateValues(Item("C:", before.Counters, now));
        ASSERT_TRUE(values.has_value()) << r.elapsed;
        EXPECT_EQ(Count((*values)[0]), r.expected) << r.frequency << " " << r.elapsed;
    }
    struct Span {
        std::int64_t ticks, frequency, ms;
    } spans[] = {
        {0, 1000, 0}, {999, 1000, 999}, {1, 3, 333}, {2, 3, 666}, {10, 3, 3333},
        {std::int64_t{1} << 40, 10000000, 109951162},                     // past 4 GiB of ticks
        {INT64_MAX, 10000000, INT64_MAX / 10000000 * 1000 + INT64_MAX % 10000000 * 1000 / 10000000},
    };
    for (const Span& t : spans) EXPECT_EQ(CounterMilliseconds(t.ticks, t.frequency), t.ms) << t.ticks;
}

// A counter that went back between two samples (the disk's counters started again) gives
// no rates for that step, neither negative ones nor a 32-bit counter's spike; the next
// step, from the new values, does.
TEST(LogicalDriveRules, ACounterThatWentBackGivesNoRatesForThatStep) {
    const auto withReads = [](TDiskSample s, std::int64_t reads) {
        s.Counters.Reads = reads;
        return s;
    };
    struct Row {
        const char* what;
        TDiskSample before, now;
        bool rates;
    } rows[] = {
        {"all moved on", withReads(Sample(1000, 5000, 0, 1000), 100), withReads(Sample(3000, 9000, 10, 2000), 140), true},
        {"bytes started again", Sample(1000, 5000, 0, 1000), Sample(3000, 400, 10, 2000), false},
        {"disk time went back", Sample(1000, 0, 500, 1000), Sample(3000, 0, 100, 2000), false},
        {"reads started again from zero", withReads(Sample(1000, 0, 0, 1000), 100000), withReads(Sample(3000, 0, 10, 2000), 7),
         false},
        {"reads wrapped past 2^32", withReads(Sample(1000, 0, 0, 1000), 4294967290), withReads(Sample(3000, 0, 10, 2000), 34),
         true},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(DiskCountersWentBack(r.now.Counters, r.before.Counters), !r.rates) << r.what;
        EXPECT_EQ(DiskRateValues(Item("C:", r.before.Counters, r.now)).has_value(), r.rates) << r.what;
    }
    // The 32-bit counters: a step of half their range or more went back.
    struct Step {
        std::int64_t previous, current;
        bool back;
    } steps[] = {
        {10, 10, false}, {10, 11, false}, {4294967295, 0, false}, {0, 0x7FFFFFFF, false},
        {0, 0x80000000LL, true}, {11, 10, true}, {100000, 7, true},
    };
    for (const Step& t : steps) {
        TDiskCounters before, now;
        before.WriteTimeBase = t.previous;
        now.WriteTimeBase = t.current;
        EXPECT_EQ(DiskCountersWentBack(now, before), t.back) << t.previous << " " << t.current;
    }
}

TEST(LogicalDriveRules, ABaseThatDidNotMoveLeavesTheRatesEmpty) {
    const TDiskCounters before = Sample(1000, 0, 0, 1000).Counters;
    TDiskSample diskBaseStill = Sample(2000, 0, 10, 1000);  // the time stamp moved, the bases did not
    EXPECT_FALSE(DiskRateValues(Item("C:", before, diskBaseStill)).has_value());
    diskBaseStill.Counters.DiskTime = 0;
    diskBaseStill.Counters.IdleTime = 0;
    EXPECT_FALSE(DiskRateValues(Item("C:", before, diskBaseStill)).has_value());
    TDiskSample idleBaseStill = Sample(2000, 0, 10, 2000);
    idleBaseStill.Counters.IdleTimeBase = before.IdleTimeBase;
    EXPECT_FALSE(DiskRateValues(Item("C:", before, idleBaseStill)).has_value());
    for (const std::int64_t frequency : {std::int64_t{0}, std::int64_t{-1000}}) {
        TDiskSample noFrequency = Sample(2000, 0, 10, 2000);
        noFrequency.Frequency = frequency;
        EXPECT_FALSE(DiskRateValues(Item("C:", before, noFrequency)).has_value()) << frequency;
    }
}

TEST(LogicalDriveRules, ADriveWithoutRatesDoesNotStopTheDrivesAfterIt) {
    // C's bases did not move between its samples; D's did.
    const std::vector<TDiskItem> history = {
        Item("C:", Sample(1000, 0, 0, 1000).Counters, Sample(3000, 500, 10, 1000)),
        Item("D:", Sample(1000, 0, 0, 1000).Counters, Sample(3000, 500, 10, 2000)),
    };
    const auto info = [](char letter) {
        TLogicalDriveInfo i;
        i.Letter = letter;
        i.Total = 100;
        return i;
    };
    TItemData data;
    std::wstring display;
    AddLogicalDriveRows("CDE", info, &history, L"%1 %11", data, display);
    ASSERT_EQ(data.Data.size(), 3u);
    for (std::size_t i = 10; i < 19; ++i) EXPECT_TRUE(data.Data[0][i].IsEmpty()) << i;
    EXPECT_EQ(Count(data.Data[1][10]), 250 * 10000);  // 500 bytes over two seconds
    EXPECT_TRUE(data.Data[2][10].IsEmpty());            // no sample for E
    EXPECT_EQ(display, L"C |D 250|E ");
}

// The operation counts and the average timers are unsigned 32-bit counters: between two
// samples they count modulo 2^32, so a counter that wrapped gives what it counted since
// the first sample, and the seconds per read and per write are those of the interval, not
// of the counters' whole lifetime.
TEST(LogicalDriveRules, ThirtyTwoBitCountersAreDifferencedModulo2To32) {
    struct Difference {
        std::int64_t current, previous, expected;
    } differences[] = {
        {30, 10, 20}, {10, 10, 0}, {5, 4294967291, 10}, {0, 4294967295, 1}, {4294967295, 0, 4294967295},
    };
    for (const Difference& d : differences)
        EXPECT_EQ(Counter32Difference(d.current, d.previous), d.expected) << d.current << " " << d.previous;

    struct Row {
        const char* what;
        std::int64_t reads0, reads1, readTime0, readTime1, readBase0, readBase1;
        std::int64_t readsPerSec, secPerRead;  // ten-thousandths
    } rows[] = {
        // Two seconds apart at 1000 counts a second.
        {"no wrap", 100, 140, 1000, 3000, 10, 50, 20 * 10000, 500},
        {"reads wrapped", 4294967290, 34, 1000, 3000, 4294967290, 34, 20 * 10000, 500},
        {"read time wrapped", 100, 140, 4294966296, 1000, 10, 50, 20 * 10000, 500},
        // 429 s of summed read time in the counters' life, 2 s of it over 40 reads now.
        {"a long life", 100, 140, 429000000, 429002000, 1000000, 1000040, 20 * 10000, 500},
        {"no read timed", 100, 100, 5000, 5000, 10, 10, 0, 0},
    };
    for (const Row& r : rows) {
        TDiskSample before = Sample(1000, 0, 0, 1000), now = Sample(3000, 0, 10, 2000);
        before.Counters.Reads = r.reads0;
        now.Counters.Reads = r.reads1;
        before.Counters.ReadTime = r.readTime0;
        now.Counters.ReadTime = r.readTime1;
        before.Counters.ReadTimeBase = r.readBase0;
        now.Counters.ReadTimeBase = r.readBase1;
        before.Counters.Writes = now.Counters.Writes = 4294967295;
        const auto values = DiskRateValues(Item("C:", before.Counters, now));
        ASSERT_TRUE(values.has_value()) << r.what;
        EXPECT_EQ(Count((*values)[1]), r.readsPerSec) << r.what;
        EXPECT_EQ(Count((*values)[3]), 0) << r.what << ": writes that did not move";
        EXPECT_EQ(Count((*values)[4]), r.secPerRead) << r.what;
        EXPECT_EQ(Count((*values)[5]), 0) << r.what << ": no write timed";
    }
}

TEST(LogicalDriveRules, SampleFromCounters) {
    std::array<std::int64_t, kCounterCount> v{};
    v[ciFrequency] = 1000;
    v[ciReadBytes] = 1;
    v[ciReads] = 2;
    v[ciWriteBytes] = 3;
    v[ciWrites] = 4;
    v[ciAvgRead] = 500;
    v[ciAvgReadBase] = 2;
    v[ciAvgWrite] = 7;
    v[ciAvgWriteBase] = 0;
    v[ciQueueLength] = 5;
    v[ciDiskTime] = 6;
    v[ciDiskTimeBase] = 7;
    v[ciIdleTime] = 8;
    v[ciIdleTimeBase] = 9;
    v[ciTimestamp] = 10;
    // The average timers are kept as read: their averages come from two samples.
    const TDiskSample s = DiskSampleFrom(v);
    EXPECT_EQ(s.Counters, (TDiskCounters{1, 2, 3, 4, 6, 7, 8, 9, 10, 500, 2, 7, 0}));
    EXPECT_EQ(s.Frequency, 1000);
    EXPECT_EQ(s.QueueLength, 5);

    struct Text {
        std::wstring text;
        std::int64_t value;
    } texts[] = {{L"12345678901234", 12345678901234}, {L"<empty>", 0}, {L"", 0}, {L"-5", -5}, {L"1.5", 0},
                 {L"4294967295", 4294967295}};
    for (const Text& t : texts) EXPECT_EQ(CounterValue(t.text), t.value) << t.text;
    EXPECT_EQ(std::wstring(kCounterNames[ciTimestamp]), L"Timestamp_PerfTime");
}

// ---- history ---------------------------------------------------------------------------------

TEST_F(LogicalDrivesTest, HistoryKeepsThePreviousValuesPerInstance) {
    const TDiskSample first = Sample(1000, 10, 1, 10), second = Sample(3000, 50, 5, 30), third = Sample(4000, 60, 6, 40);
    StoreDiskPerfSample("C:", first);
    ASSERT_EQ(DiskHistory().size(), 1u);
    EXPECT_EQ(DiskHistory()[0].Previous, first.Counters);  // a new disk starts without rates
    EXPECT_FALSE(DiskRateValues(DiskHistory()[0]).has_value());
    StoreDiskPerfSample("c:", second);  // names compare exactly
    StoreDiskPerfSample("C:", second);
    ASSERT_EQ(DiskHistory().size(), 2u);
    EXPECT_EQ(DiskHistory()[0].Previous, first.Counters);
    EXPECT_EQ(DiskHistory()[0].Current, second);
    StoreDiskPerfSample("C:", third);
    EXPECT_EQ(DiskHistory()[0].Previous, second.Counters);
    EXPECT_EQ(DiskHistory()[0].Current, third);
    LogicalDrivesFinalization();
    EXPECT_TRUE(DiskHistory().empty());
}

TEST_F(LogicalDrivesTest, TheDrivesOwnInstanceIsTaken) {
    // A volume without a letter whose name begins with the drive's letter comes first,
    // and is not taken for the drive.
    StoreDiskPerfSample("HarddiskVolume1", Sample(1, 0, 0, 0));
    StoreDiskPerfSample("_Total", Sample(2, 0, 0, 0));
    StoreDiskPerfSample("H:", Sample(3, 0, 0, 0));
    StoreDiskPerfSample("C:", Sample(4, 0, 0, 0));
    StoreDiskPerfSample("Cache", Sample(5, 0, 0, 0));
    struct Row {
        char letter;
        std::int64_t stamp;  // identifies the entry
    } rows[] = {{'H', 3}, {'C', 4}};
    for (const Row& r : rows) {
        const TDiskItem* found = FindDiskSample(DiskHistory(), r.letter);
        ASSERT_NE(found, nullptr) << r.letter;
        EXPECT_EQ(found->Current.Counters.Timestamp, r.stamp);
    }
    for (const char none : {'D', 'c', '_'}) EXPECT_EQ(FindDiskSample(DiskHistory(), none), nullptr) << none;
}

// ---- on this system ----------------------------------------------------------------------------

TEST(LogicalDriveQueries, SpaceAndVolumeMatchTheSystem) {
    for (const char letter : OwnDrives()) {
        const std::string root = std::string(1, letter) + ":\\";
        char label[261] = {}, fs[261] = {};
        DWORD serial = 0;
        GetVolumeInformationA(root.c_str(), label, sizeof label, &serial, nullptr, nullptr, fs, sizeof fs);
        std::wstring gotLabel = L"x", gotFs = L"x";
        std::uint32_t gotSerial = 1;
        GetVolumeInfo(letter, gotLabel, gotFs, gotSerial);
        EXPECT_EQ(gotLabel, AnsiToWide(label)) << static_cast<char>(letter);  // not upper-cased here
        EXPECT_EQ(gotFs, AnsiToWide(fs)) << static_cast<char>(letter);
        EXPECT_EQ(gotSerial, serial) << static_cast<char>(letter);
        ULARGE_INTEGER avail{}, total{}, totalFree{};
        std::int64_t used = 0, free = 0, available = 0;
        const std::int64_t size = GetDriveFreeSpace(root, used, free, available);
        if (GetDiskFreeSpaceExA(root.c_str(), &avail, &total, &totalFree)) {
            EXPECT_EQ(size, static_cast<std::int64_t>(total.QuadPart));
            EXPECT_EQ(used + free, size);
        }
    }
    std::wstring label = L"x", fs = L"x";
    std::uint32_t serial = 1;
    GetVolumeInfo('1', label, fs, serial);  // no such drive: empty texts, serial 0
    EXPECT_EQ(label, L"");
    EXPECT_EQ(fs, L"");
    EXPECT_EQ(serial, 0u);
}

TEST_F(LogicalDrivesTest, ItemReportsTheSystemsDrives) {
    LogCapture log;
    const std::string drives = OwnDrives();
    ASSERT_FALSE(drives.empty());
    TItemData data;
    data.Data = {{Variant(L"old")}, {Variant(L"old")}, {Variant(L"old")}};
    data.Data.resize(30, {Variant(L"old")});
    std::wstring display;
    GetLogicalDrives2(OptionsOf({{L"display", L"%1 %2 %5"}, {L"diskio", L"0"}}), data, display);
    ASSERT_EQ(data.Names.size(), 19u);
    EXPECT_EQ(data.Names[0], L"drive");
    EXPECT_EQ(data.Names[18], L"pct idle time");
    ASSERT_EQ(data.Data.size(), drives.size());
    std::wstring expected;
    for (std::size_t i = 0; i < drives.size(); ++i) {
        const TVarArray& row = data.Data[i];
        ASSERT_EQ(row.size(), 19u);
        EXPECT_EQ(row[0], Variant(std::wstring(1, static_cast<wchar_t>(drives[i]))));
        std::wstring label, fs;
        std::uint32_t serial;
        GetVolumeInfo(drives[i], label, fs, serial);
        EXPECT_EQ(row[1], Variant(fs));
        EXPECT_EQ(row[2], Variant(label));
        EXPECT_EQ(Count(row[3]), static_cast<std::int64_t>(serial) * 10000);
        for (std::size_t k = 10; k < 19; ++k) EXPECT_TRUE(row[k].IsEmpty());
        if (i) expected += L"|";
        expected += row[0].ToText() + L" " + fs + L" " + row[4].ToText();
    }
    EXPECT_EQ(display, expected);
    EXPECT_EQ(log.At(L"DATA"), std::vector<std::wstring>{L"GetLogicalDrives2: " + display});
    EXPECT_TRUE(log.At(L"ERROR").empty());

    // "max" 1 and an include that names nothing present.
    GetLogicalDrives2(OptionsOf({{L"max", L"1"}, {L"diskio", L"0"}}), data, display);
    ASSERT_EQ(data.Data.size(), 1u);
    EXPECT_EQ(display, std::wstring(1, static_cast<wchar_t>(drives[0])));
    GetLogicalDrives2(OptionsOf({{L"include", L"ab"}, {L"diskio", L"0"}}), data, display);
    EXPECT_TRUE(data.Data.empty());
    EXPECT_EQ(display, L"");
    EXPECT_EQ(data.Names.size(), 19u);  // names are set whether or not a drive is found
    EXPECT_EQ(log.Count(L"DATA", L"GetLogicalDrives2: "), 1);
}

TEST_F(LogicalDrivesTest, ADriveWhoseBaseDidNotMoveShowsNoRatesAndTheOthersFollow) {
    ComInitialization com;  // as on the collection thread
    LogCapture log;
    const std::string drives = OwnDrives();
    ASSERT_GE(drives.size(), 1u);
    // A sample for the first drive whose base did not move while its time stamp did.
    const char first = drives.front();
    TDiskSample broken = Sample(1000, 0, 0, 1000);
    StoreDiskPerfSample(std::string(1, first) + ":", broken);
    broken.Counters.Timestamp = 5000;
    broken.Counters.DiskTime = 10;
    broken.Counters.IdleTime = 0;
    StoreDiskPerfSample(std::string(1, first) + ":", broken);
    TItemData data;
    std::wstring display;
    // diskio on, with the history as built taken for this collection's sample.
    GatherLogicalDrives(OptionsOf({{L"diskio", L"1"}}), data, display, [] { return DiskHistory(); });
    ASSERT_EQ(data.Data.size(), drives.size());
    for (std::size_t i = 10; i < 19; ++i) EXPECT_TRUE(data.Data[0][i].IsEmpty()) << i;
    std::wstring lines;
    for (const char c : drives) lines += std::wstring(lines.empty() ? L"" : L"|") + static_cast<wchar_t>(c);
    EXPECT_EQ(display, lines);
    EXPECT_TRUE(log.At(L"ERROR").empty());
    EXPECT_EQ(log.Count(L"DATA", L"GetLogicalDrives2: " + display), 1);
}

// A counter query that fails (a WMI time-out, disabled disk counters, an OLE error) costs
// the rates only: every drive is listed with its space values and empty rate columns, the
// error is logged, and no rate of an earlier pair of samples is shown again.
TEST_F(LogicalDrivesTest, AFailedCounterQueryStillListsEveryDrive) {
    ComInitialization com;
    const std::string drives = OwnDrives();
    ASSERT_GE(drives.size(), 1u);
    // A good pair of samples for the first drive, from an earlier collection.
    const std::string first = std::string(1, drives.front()) + ":";
    StoreDiskPerfSample(first, Sample(1000, 0, 0, 1000));
    StoreDiskPerfSample(first, Sample(5000, 8000, 10, 2000));
    struct Row {
        const char* what;
        std::vector<TDiskItem> (*sample)();
        bool rates;
        const wchar_t* error;
    } rows[] = {
        {"the query gives no object in time",
         []() -> std::vector<TDiskItem> { throw ETimeLimit(L"WMI gave no object within 20 s"); }, false,
         L"GetLogicalDrives2: [Error]WMI gave no object within 20 s : "},
        {"the query fails", []() -> std::vector<TDiskItem> { throw EOleError(L"Class not registered"); }, false,
         L"GetLogicalDrives2: [Error]Class not registered : "},
        {"nothing was sampled (WMI could not be asked)", [] { return std::vector<TDiskItem>(); }, false, nullptr},
        {"the first drive was sampled", [] { return DiskHistory(); }, true, nullptr},
    };
    for (const Row& r : rows) {
        LogCapture log;
        TItemData data;
        std::wstring display;
        GatherLogicalDrives(OptionsOf({{L"display", L"%1 %11"}}), data, display, r.sample);
        ASSERT_EQ(data.Data.size(), drives.size()) << r.what;
        for (std::size_t i = 0; i < drives.size(); ++i) {
            const TVarArray& row = data.Data[i];
            EXPECT_EQ(row[0], Variant(std::wstring(1, static_cast<wchar_t>(drives[i])))) << r.what;
            EXPECT_FALSE(row[4].IsEmpty()) << r.what << ": the space values are there";
            const bool rates = r.rates && i == 0;
            for (std::size_t k = 10; k < 19; ++k) EXPECT_EQ(row[k].IsEmpty(), !rates) << r.what << " " << k;
        }
        if (r.rates) {
            EXPECT_EQ(Count(data.Data[0][10]), 2000 * 10000) << "8000 bytes over four seconds";
        }
        EXPECT_EQ(log.At(L"ERROR"), r.error ? std::vector<std::wstring>{r.error} : std::vector<std::wstring>{})
            << r.what;
        EXPECT_EQ(log.At(L"DATA"), std::vector<std::wstring>{L"GetLogicalDrives2: " + display}) << r.what;
    }
}

// ---- disk counters from WMI -------------------------------------------------------------------

TEST(LogicalDriveRules, CounterTextReadsInt32TypesUnsigned) {
    auto property = [](VARTYPE vt, long cim, std::int64_t n, const wchar_t* text = nullptr) {
        TWmiProperty p;
        p.CimType = cim;
        VARIANT& v = *p.Value.get();
        v.vt = vt;
        if (vt == VT_I4) v.lVal = static_cast<LONG>(n);
        if (vt == VT_I2) v.iVal = static_cast<SHORT>(n);
        if (vt == VT_BSTR) v.bstrVal = SysAllocString(text);
        return p;
    };
    struct Row {
        TWmiProperty property;
        std::wstring text;
    };
    std::vector<Row> rows;
    rows.push_back({property(VT_I4, kCimUInt32, -1), L"4294967295"});
    rows.push_back({property(VT_I4, kCimSInt32, -2), L"4294967294"});
    rows.push_back({property(VT_I4, kCimUInt32, 123), L"123"});
    rows.push_back({property(VT_I2, kCimSInt16, 7), L"7"});
    rows.push_back({property(VT_BSTR, kCimUInt64, 0, L"12345678901234"), L"12345678901234"});
    rows.push_back({property(VT_NULL, kCimUInt32, 0), L"<empty>"});
    for (const Row& r : rows) EXPECT_EQ(DiskCounterText(r.property), r.text) << r.text;
    // A 64-bit value beyond 32 bits does not fit the reading.
    EXPECT_THROW(DiskCounterText(property(VT_BSTR, kCimSInt64, 0, L"8589934592")), Exception);
}

TEST_F(LogicalDrivesTest, CollectingFromAnEmptyCounterClassStoresNothing) {
    ComInitialization com;
    LogCapture log;
    StoreDiskPerfSample("C:", Sample(1000, 0, 0, 1000));
    EXPECT_TRUE(CollectDiskCounters().empty());  // the class answers no object here
    ASSERT_EQ(DiskHistory().size(), 1u);
    EXPECT_EQ(DiskHistory()[0].Current, Sample(1000, 0, 0, 1000));
    EXPECT_TRUE(log.At(L"ERROR").empty());
}
