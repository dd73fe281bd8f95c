#include <windows.h>
#include <winperf.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ComHandles.h"
#include "Cpu.h"
#include "CpuUsage.h"
#include "Errors.h"
#include "Includes.h"
#include "InstanceLimits.h"
#include "Tools.h"
#include "Utils.h"
#include "Wmi.h"
#include "test_providers_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::wstring kNoObject = L"Unable to locate the \"Processor\" performance object";
const std::wstring kNoCounter = L"Unable to locate the \"% of CPU usage\" performance counter";
const std::wstring kInvalid = L"Invalid performance data block";
const std::wstring kOutOfBounds = L"CPU index out of bounds";

template <typename T>
void Put(Bytes& b, std::size_t offset, const T& value) {
    ASSERT_LE(offset + sizeof(T), b.size());
    std::memcpy(b.data() + offset, &value, sizeof(T));
}
template <typename T>
void Append(Bytes& b, const T& value) {
    const std::size_t at = b.size();
    b.resize(at + sizeof(T));
    std::memcpy(b.data() + at, &value, sizeof(T));
}

SYSTEMTIME At(int second, int ms = 0) {
    SYSTEMTIME t{};
    t.wYear = 2024;
    t.wMonth = 3;
    t.wDay = 1;
    t.wHour = 12;
    t.wMinute = 0;
    t.wSecond = static_cast<WORD>(second);
    t.wMilliseconds = static_cast<WORD>(ms);
    return t;
}

std::int64_t FileTimeOf(const SYSTEMTIME& t) {
    FILETIME ft{};
    EXPECT_TRUE(SystemTimeToFileTime(&t, &ft));
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

// Layout of the fixture objects: a 64-byte object header, 40-byte counter definitions,
// then per instance a 32-byte definition (24 bytes and a 4-character name) and a counter
// block of 8 bytes plus 8 per counter, counter k at offset 8 + 8k.
constexpr std::size_t kInstanceLength = sizeof(PERF_INSTANCE_DEFINITION) + 8;

struct Layout {
    std::size_t object = 0;        // where the Processor object starts
    std::size_t firstCounter = 0;  // its first counter definition
    std::size_t firstInstance = 0; // its first instance definition
    std::size_t firstBlock = 0;    // that instance's counter block
};

// One performance object: Idle holds the instances' values of counter 6 (other counters
// get 1000 + k).
Bytes Object(DWORD titleIndex, const std::vector<DWORD>& counters, const std::vector<std::int64_t>& idle) {
    const DWORD blockLength = static_cast<DWORD>(8 + 8 * counters.size());
    PERF_OBJECT_TYPE object{};
    object.HeaderLength = sizeof(PERF_OBJECT_TYPE);
    object.DefinitionLength = static_cast<DWORD>(sizeof(PERF_OBJECT_TYPE) + counters.size() * sizeof(PERF_COUNTER_DEFINITION));
    object.TotalByteLength = static_cast<DWORD>(object.DefinitionLength + idle.size() * (kInstanceLength + blockLength));
    object.ObjectNameTitleIndex = titleIndex;
    object.NumCounters = static_cast<DWORD>(counters.size());
    object.NumInstances = static_cast<LONG>(idle.size());
    Bytes b;
    Append(b, object);
    for (std::size_t k = 0; k < counters.size(); ++k) {
        PERF_COUNTER_DEFINITION c{};
        c.ByteLength = sizeof c;
        c.CounterNameTitleIndex = counters[k];
        c.CounterSize = 8;
        c.CounterOffset = static_cast<DWORD>(8 + 8 * k);
        Append(b, c);
    }
    for (std::size_t i = 0; i < idle.size(); ++i) {
        PERF_INSTANCE_DEFINITION inst{};
        inst.ByteLength = kInstanceLength;
        inst.NameOffset = sizeof inst;
        inst.NameLength = 4;
        Append(b, inst);
        Append(b, std::uint64_t{L'0' + (i % 10)});
        PERF_COUNTER_BLOCK block{};
        block.ByteLength = blockLength;
        Append(b, block);
        Append(b, std::uint32_t{0});
        for (std::size_t k = 0; k < counters.size(); ++k)
            Append(b, counters[k] == 6 ? idle[i] : static_cast<std::int64_t>(1000 + k));
    }
    EXPECT_EQ(b.size(), object.TotalByteLength);
    return b;
}

Bytes Block(const std::vector<Bytes>& objects, const SYSTEMTIME& time) {
    PERF_DATA_BLOCK header{};
    std::memcpy(header.Signature, L"PERF", sizeof header.Signature);
    header.LittleEndian = 1;
    header.Version = 1;
    header.Revision = 1;
    header.HeaderLength = sizeof header;
    header.NumObjectTypes = static_cast<DWORD>(objects.size());
    header.SystemTime = time;
    Bytes b;
    Append(b, header);
    for (const Bytes& o : objects) b.insert(b.end(), o.begin(), o.end());
    Put(b, offsetof(PERF_DATA_BLOCK, TotalByteLength), static_cast<DWORD>(b.size()));
    return b;
}

// The usual shape: another object first, then the Processor object with a counter before
// the idle counter.
Bytes ProcessorBlock(const std::vector<std::int64_t>& idle, const SYSTEMTIME& time, Layout* layout = nullptr) {
    const Bytes other = Object(230, {6, 7}, {1, 2});
    const Bytes processor = Object(238, {5, 6, 7}, idle);
    if (layout) {
        layout->object = sizeof(PERF_DATA_BLOCK) + other.size();
        layout->firstCounter = layout->object + sizeof(PERF_OBJECT_TYPE);
        layout->firstInstance = layout->firstCounter + 3 * sizeof(PERF_COUNTER_DEFINITION);
        layout->firstBlock = layout->firstInstance + kInstanceLength;
    }
    return Block({other, processor}, time);
}

// The block's high-resolution counter and its frequency, as the platform fills them.
Bytes WithPerfCounter(Bytes b, std::int64_t perfTime, std::int64_t perfFreq) {
    Put(b, offsetof(PERF_DATA_BLOCK, PerfTime), perfTime);
    Put(b, offsetof(PERF_DATA_BLOCK, PerfFreq), perfFreq);
    return b;
}

std::wstring RaisedMessage(const Bytes& b, std::int32_t count = -1, std::size_t size = SIZE_MAX) {
    // An exact-size copy, so that a read past the end leaves the allocation.
    const Bytes exact(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(size, b.size())));
    try {
        ReadProcessorSample(exact.data(), exact.size(), count);
    } catch (const ECpuUsageError& e) {
        return e.Message();
    }
    return L"(no error)";
}

// What the platform's performance data holds, read by the test itself: the number of
// objects the block names, or -1 when the key gives no block.
int PlatformPerfObjectCount() {
    Bytes buffer(1 << 16);
    DWORD size = static_cast<DWORD>(buffer.size());
    DWORD type = 0;
    const LONG rc = RegQueryValueExA(HKEY_PERFORMANCE_DATA, "238", nullptr, &type, buffer.data(), &size);
    RegCloseKey(HKEY_PERFORMANCE_DATA);
    if (rc != ERROR_SUCCESS || size < sizeof(PERF_DATA_BLOCK)) return -1;
    PERF_DATA_BLOCK header;
    std::memcpy(&header, buffer.data(), sizeof header);
    return static_cast<int>(header.NumObjectTypes);
}

// The program's sampler and processor count, restored after each test.
class CpuState : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        adCpuUsage::ReplaceSampler(nullptr);
        ProcessorCount = -1;
    }
    // Installs a sampler that has taken the given blocks.
    static void InstallSampler(const std::vector<Bytes>& blocks) {
        auto sampler = std::make_unique<TCpuUsage>(true);
        for (const Bytes& b : blocks) sampler->TakeSample(b.data(), b.size());
        adCpuUsage::ReplaceSampler(std::move(sampler));
    }
};

struct Collected {
    TItemData data;
    std::wstring display;
};

Collected Gather(TGatherProc proc, const TItemOptionArray& options) {
    Collected c;
    proc(options, c.data, c.display);
    return c;
}

TItemOptionArray CpuUsageOptions(int num, const wchar_t* filter = L"") {
    TItemOptionArray options;
    options[0] = {L"num", Variant(static_cast<std::int32_t>(num))};
    options[1] = {L"filter", Variant(filter)};
    return options;
}

}  // namespace

// ---- reading a performance-data block ------------------------------------------------------

TEST(ProviderCpuPerfData, ReadsTheIdleCounterOfEveryInstanceAndTheBlockTime) {
    const Bytes b = ProcessorBlock({111, 222, 333}, At(5, 250));
    const Bytes exact(b);
    const TProcessorSample s = ReadProcessorSample(exact.data(), exact.size(), -1);
    EXPECT_EQ(s.NumInstances, 3);
    EXPECT_EQ(s.Idle, (std::vector<std::int64_t>{111, 222, 333}));
    EXPECT_EQ(s.Time, FileTimeOf(At(5, 250)));
}

TEST(ProviderCpuPerfData, CountReadsThatManyInstances) {
    const Bytes b = ProcessorBlock({111, 222, 333}, At(5));
    EXPECT_EQ(ReadProcessorSample(b.data(), b.size(), 2).Idle, (std::vector<std::int64_t>{111, 222}));
    EXPECT_EQ(ReadProcessorSample(b.data(), b.size(), 0).Idle, std::vector<std::int64_t>{});
    // More instances than the object holds lead past its end.
    EXPECT_EQ(RaisedMessage(b, 4), kInvalid);
}

TEST(ProviderCpuPerfData, ProcessorObjectFirstOrAloneIsFound) {
    const Bytes alone = Block({Object(238, {6}, {7, 8})}, At(1));
    EXPECT_EQ(ReadProcessorSample(alone.data(), alone.size(), -1).Idle, (std::vector<std::int64_t>{7, 8}));
    const Bytes first = Block({Object(238, {6}, {9}), Object(230, {6}, {1})}, At(1));
    EXPECT_EQ(ReadProcessorSample(first.data(), first.size(), -1).Idle, std::vector<std::int64_t>{9});
}

TEST(ProviderCpuPerfData, EveryTruncationRaisesInsteadOfReadingPastTheEnd) {
    const Bytes b = ProcessorBlock({111, 222, 333}, At(5));
    EXPECT_EQ(RaisedMessage(b), L"(no error)");  // exact size
    for (std::size_t size = 0; size < b.size(); ++size) EXPECT_EQ(RaisedMessage(b, -1, size), kInvalid) << size;
}

TEST(ProviderCpuPerfData, WrongCountsLengthsAndOffsetsRaise) {
    Layout at;
    const Bytes good = ProcessorBlock({111, 222, 333}, At(5), &at);
    const std::size_t objectTotal = at.object + offsetof(PERF_OBJECT_TYPE, TotalByteLength);
    const std::size_t counter6 = at.firstCounter + sizeof(PERF_COUNTER_DEFINITION);
    struct Row {
        const char* what;
        std::size_t offset;
        std::uint32_t value;
        std::wstring message;
    } rows[] = {
        {"no objects", offsetof(PERF_DATA_BLOCK, NumObjectTypes), 0, kNoObject},
        {"only the first object named", offsetof(PERF_DATA_BLOCK, NumObjectTypes), 1, kNoObject},
        {"header length past the end", offsetof(PERF_DATA_BLOCK, HeaderLength), 0xFFFFFFF0, kInvalid},
        {"first object of length 0", sizeof(PERF_DATA_BLOCK) + offsetof(PERF_OBJECT_TYPE, TotalByteLength), 0, kInvalid},
        {"first object overshoots", sizeof(PERF_DATA_BLOCK) + offsetof(PERF_OBJECT_TYPE, TotalByteLength), 0xFFFFFFFF,
         kInvalid},
        {"other title index", at.object + offsetof(PERF_OBJECT_TYPE, ObjectNameTitleIndex), 239, kNoObject},
        {"processor object longer than the block", objectTotal, 0x10000, kInvalid},
        {"processor object shorter than its header", objectTotal, 8, kInvalid},
        {"processor object cut before its instances", objectTotal, 64 + 3 * 40 + 10, kInvalid},
        {"negative instance count", at.object + offsetof(PERF_OBJECT_TYPE, NumInstances), 0xFFFFFFFF, kInvalid},
        {"no idle counter", counter6 + offsetof(PERF_COUNTER_DEFINITION, CounterNameTitleIndex), 8, kNoCounter},
        {"counter count 1", at.object + offsetof(PERF_OBJECT_TYPE, NumCounters), 1, kNoCounter},
        {"counter definition overshoots", at.firstCounter + offsetof(PERF_COUNTER_DEFINITION, ByteLength), 0xFFFFFF00,
         kInvalid},
        {"counter definition of length 0", at.firstCounter + offsetof(PERF_COUNTER_DEFINITION, ByteLength), 0, kInvalid},
        {"counter header past the object", at.object + offsetof(PERF_OBJECT_TYPE, HeaderLength), 0x7FFFFFFF, kInvalid},
        {"counter offset past its block", counter6 + offsetof(PERF_COUNTER_DEFINITION, CounterOffset), 28, kInvalid},
        {"counter offset huge", counter6 + offsetof(PERF_COUNTER_DEFINITION, CounterOffset), 0xFFFFFFFC, kInvalid},
        {"instances past the object", at.object + offsetof(PERF_OBJECT_TYPE, DefinitionLength), 0xFFFF, kInvalid},
        {"instance of length 0", at.firstInstance + offsetof(PERF_INSTANCE_DEFINITION, ByteLength), 0, kInvalid},
        {"instance overshoots", at.firstInstance + offsetof(PERF_INSTANCE_DEFINITION, ByteLength), 0xFFFFFFFF, kInvalid},
        {"counter block of length 0", at.firstBlock, 0, kInvalid},
        {"counter block overshoots", at.firstBlock, 0x10000, kInvalid},
        {"invalid time", offsetof(PERF_DATA_BLOCK, SystemTime) + offsetof(SYSTEMTIME, wMonth), 13, kInvalid},
    };
    for (const Row& r : rows) {
        Bytes b = good;
        if (r.offset + 4 <= offsetof(PERF_DATA_BLOCK, SystemTime) + sizeof(SYSTEMTIME) &&
            r.offset >= offsetof(PERF_DATA_BLOCK, SystemTime))
            Put(b, r.offset, static_cast<WORD>(r.value));
        else
            Put(b, r.offset, r.value);
        EXPECT_EQ(RaisedMessage(b), r.message) << r.what;
    }
}

TEST(ProviderCpuPerfData, ObjectCountsBeyondTheObjectsRaise) {
    // Without a Processor object the walk goes on past the last object.
    Layout at;
    for (const DWORD count : {DWORD{3}, DWORD{0xFFFFFFFF}}) {
        Bytes b = ProcessorBlock({1, 2}, At(5), &at);
        Put(b, at.object + offsetof(PERF_OBJECT_TYPE, ObjectNameTitleIndex), DWORD{239});
        Put(b, offsetof(PERF_DATA_BLOCK, NumObjectTypes), count);
        EXPECT_EQ(RaisedMessage(b), kInvalid) << count;
    }
}

TEST(ProviderCpuPerfData, HeaderWithoutObjectsAsWineGivesIt) {
    // 96 bytes: the 88-byte header and a system name, no objects.
    Bytes b = Block({}, At(0));
    b.resize(96, 0);
    Put(b, offsetof(PERF_DATA_BLOCK, TotalByteLength), DWORD{96});
    Put(b, offsetof(PERF_DATA_BLOCK, HeaderLength), DWORD{96});
    EXPECT_EQ(RaisedMessage(b), kNoObject);
}

// ---- the sampler --------------------------------------------------------------------------

TEST(ProviderCpuSampler, UsageOverTheLastTwoSamples) {
    TCpuUsage sampler(true);
    const std::int64_t second = 10000000;  // 100-ns units
    const Bytes first = ProcessorBlock({1000, 5000, 9000, 6000}, At(1));
    sampler.TakeSample(first.data(), first.size());
    EXPECT_EQ(sampler.GetCPUCount(), 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(sampler.GetCPUUsageByIndex(i), 0.0) << "one sample only";

    // Idle the whole second, never idle, a quarter idle, half idle.
    const Bytes next = ProcessorBlock({1000 + second, 5000, 9000 + second / 4, 6000 + second / 2}, At(2));
    sampler.TakeSample(next.data(), next.size());
    const double expected[] = {0.0, 1.0, 0.75, 0.5};
    for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(sampler.GetCPUUsageByIndex(i), expected[i]) << i;
    EXPECT_EQ(TruncToInt(sampler.GetCPUUsageByIndex(2) * 100), 75);

    // The next sample measures from the one before.
    const Bytes third = ProcessorBlock({1000 + 2 * second, 5000 + second, 9000 + second / 4, 6000 + second}, At(4));
    sampler.TakeSample(third.data(), third.size());
    const double expected2[] = {0.5, 0.5, 1.0, 0.75};
    for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(sampler.GetCPUUsageByIndex(i), expected2[i]) << i;
}

TEST(ProviderCpuSampler, SameOrEarlierSampleTimeGivesZero) {
    for (const SYSTEMTIME& later : {At(1), At(0)}) {
        TCpuUsage sampler(true);
        const Bytes a = ProcessorBlock({0, 0}, At(1));
        const Bytes b = ProcessorBlock({1, 1}, later);
        sampler.TakeSample(a.data(), a.size());
        sampler.TakeSample(b.data(), b.size());
        EXPECT_EQ(sampler.GetCPUUsageByIndex(0), 0.0) << later.wSecond;
    }
}

TEST(ProviderCpuSampler, UsageStaysBetweenNoneAndAll) {
    // The idle counter and the sample time are not read at one instant: idle a little
    // past the interval, or a counter that stepped back, stays within 0 .. 100 %.
    const std::int64_t second = 10000000;
    TCpuUsage sampler(true);
    const Bytes a = ProcessorBlock({0, 5 * second, 0}, At(1));
    const Bytes b = ProcessorBlock({second + second / 10, 5 * second - 1000, second / 2}, At(2));
    sampler.TakeSample(a.data(), a.size());
    sampler.TakeSample(b.data(), b.size());
    EXPECT_EQ(sampler.GetCPUUsageByIndex(0), 0.0);
    EXPECT_EQ(sampler.GetCPUUsageByIndex(1), 1.0);
    EXPECT_DOUBLE_EQ(sampler.GetCPUUsageByIndex(2), 0.5);
}

TEST(ProviderCpuSampler, NoUsageAcrossAClockStep) {
    const std::int64_t second = 10000000;
    const std::int64_t freq = 3579545;  // counts a second of the high-resolution counter
    struct Row {
        const char* what;
        SYSTEMTIME later;
        std::int64_t counted;  // counts of the high-resolution counter between the samples
        double expected;       // busy fraction of a processor idle for one second
    } rows[] = {
        {"clocks agree", At(3), 2 * freq, 0.5},
        {"within a tenth", At(3, 150), 2 * freq, 1.0 - 1.0 / 2.15},
        {"clock stepped forward", At(30), 2 * freq, 0.0},
        {"clock stepped back, still later", At(2), 2 * freq, 0.0},
        {"no counter frequency", At(30), 0, 1.0 - 1.0 / 29},
    };
    for (const Row& r : rows) {
        TCpuUsage sampler(true);
        const Bytes a = WithPerfCounter(ProcessorBlock({0, 0}, At(1)), 1000, r.counted ? freq : 0);
        const Bytes b = WithPerfCounter(ProcessorBlock({second, second}, r.later), 1000 + r.counted, r.counted ? freq : 0);
        sampler.TakeSample(a.data(), a.size());
        sampler.TakeSample(b.data(), b.size());
        EXPECT_DOUBLE_EQ(sampler.GetCPUUsageByIndex(0), r.expected) << r.what;
    }
    // The next interval, without a step, measures again.
    TCpuUsage sampler(true);
    const Bytes a = WithPerfCounter(ProcessorBlock({0}, At(1)), 0, freq);
    const Bytes b = WithPerfCounter(ProcessorBlock({second}, At(40)), 2 * freq, freq);
    const Bytes c = WithPerfCounter(ProcessorBlock({second + second / 2}, At(42)), 4 * freq, freq);
    sampler.TakeSample(a.data(), a.size());
    sampler.TakeSample(b.data(), b.size());
    EXPECT_EQ(sampler.GetCPUUsageByIndex(0), 0.0);
    sampler.TakeSample(c.data(), c.size());
    EXPECT_DOUBLE_EQ(sampler.GetCPUUsageByIndex(0), 0.75);
}

TEST(ProviderCpuSampler, ClockSteppedBetween) {
    const std::int64_t second = 10000000;
    struct Row {
        std::int64_t wall, counted, freq;
        bool stepped;
    } rows[] = {
        {2 * second, 2000, 1000, false},
        {2 * second + second / 10, 2000, 1000, false},  // 100 ms: not more than the floor
        {2 * second + second / 4, 2000, 1000, true},
        {2 * second - second / 4, 2000, 1000, true},
        {3600 * second, 2000, 1000, true},
        {3600 * second + second, 3600000, 1000, false},  // a second in an hour: a tenth is far off
        {3600 * second, 2000, 0, false},                 // no counter
        {3600 * second, 0, 1000, false},                 // a counter that did not move
        {3600 * second, -5, 1000, false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(ClockSteppedBetween(r.wall, r.counted, r.freq), r.stepped) << r.wall << " " << r.counted;
}

TEST(ProviderCpuSampler, IndexOutsideTheInstancesRaises) {
    TCpuUsage sampler(true);
    const Bytes a = ProcessorBlock({0, 0, 0}, At(1));
    sampler.TakeSample(a.data(), a.size());
    for (int i : {-1, 3, 1000}) {
        try {
            sampler.GetCPUUsageByIndex(i);
            ADD_FAILURE() << i;
        } catch (const ECpuUsageError& e) {
            EXPECT_EQ(e.Message(), kOutOfBounds) << i;
        }
    }
}

TEST(ProviderCpuSampler, InstanceCountIsFixedByTheFirstSampleAndBadBlocksChangeNothing) {
    const std::int64_t second = 10000000;
    TCpuUsage sampler(true);
    Bytes bad = ProcessorBlock({0, 0}, At(1));
    Put(bad, offsetof(PERF_DATA_BLOCK, NumObjectTypes), DWORD{0});
    EXPECT_THROW(sampler.TakeSample(bad.data(), bad.size()), ECpuUsageError);

    const Bytes a = ProcessorBlock({0, 0}, At(1));
    const Bytes b = ProcessorBlock({second / 2, second, 77}, At(2));  // a third instance appeared
    sampler.TakeSample(a.data(), a.size());
    sampler.TakeSample(b.data(), b.size());
    EXPECT_EQ(sampler.GetCPUCount(), 2);
    EXPECT_DOUBLE_EQ(sampler.GetCPUUsageByIndex(0), 0.5);

    // A block that raises leaves the last two samples as they were.
    EXPECT_THROW(sampler.TakeSample(bad.data(), bad.size()), ECpuUsageError);
    const Bytes fewer = ProcessorBlock({1}, At(3));
    EXPECT_THROW(sampler.TakeSample(fewer.data(), fewer.size()), ECpuUsageError);
    EXPECT_DOUBLE_EQ(sampler.GetCPUUsageByIndex(0), 0.5);
    EXPECT_DOUBLE_EQ(sampler.GetCPUUsageByIndex(1), 0.0);
}

TEST(ProviderCpuSampler, PerformanceDataQueryOfThePlatform) {
    // The real query: its block is read as any other, and a block without the Processor
    // object raises that, with the buffer kept at its size.
    const int objects = PlatformPerfObjectCount();
    ASSERT_GE(objects, 0) << "the performance-data key gives no block";
    TCpuUsage sampler(true);
    if (objects == 0) {
        try {
            sampler.CollectCPUData();
            ADD_FAILURE() << "no error";
        } catch (const ECpuUsageError& e) {
            EXPECT_EQ(e.Message(), kNoObject);
        }
        EXPECT_THROW(sampler.GetCPUCount(), ECpuUsageError);
        EXPECT_EQ(sampler.BufferSize(), 8192u);
    } else {
        sampler.CollectCPUData();
        EXPECT_GT(sampler.GetCPUCount(), 1);
    }
    sampler.ReleaseCPUData();
    sampler.ReleaseCPUData();  // a second release finds nothing to do
}

TEST(ProviderCpuSampler, KernelStatisticOutsideTheNtLine) {
    TCpuUsage sampler(false);
    EXPECT_FALSE(sampler.NtPlatform());
    EXPECT_EQ(sampler.GetCPUCount(), 1);
    try {
        sampler.GetCPUUsageByIndex(1);
        ADD_FAILURE() << "no error";
    } catch (const ECpuUsageError& e) {
        EXPECT_EQ(e.Message(), kOutOfBounds);
    }
    // The dynamic-data key the statistic lives under; where it is missing, starting fails.
    HKEY key = nullptr;
    const bool present = RegOpenKeyExA(HKEY_DYN_DATA, "PerfStats\\StartStat", 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (key) RegCloseKey(key);
    if (!present) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                sampler.GetCPUUsageByIndex(0);
                ADD_FAILURE() << "no error";
            } catch (const ECpuUsageError& e) {
                EXPECT_EQ(e.Message(), L"Unable to start performance monitoring");
            }
        }
    }
    sampler.ReleaseCPUData();
}

TEST(ProviderCpuSampler, PlatformIsNtHere) {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ASSERT_TRUE(GetVersionExA(&info));
#pragma GCC diagnostic pop
    EXPECT_EQ(QueryNtPlatform(), info.dwPlatformId == VER_PLATFORM_WIN32_NT);
}

// ---- system times -------------------------------------------------------------------------

TEST(ProviderCpuTimes, PercentagesFromTwoReadings) {
    const std::uint64_t base = 50000000;
    const std::uint64_t big = 1ull << 62;
    struct Row {
        const char* what;
        TSystemTimes previous, now;
        int cpu, kernel;
    } rows[] = {
        {"first reading", {0, 0, 0}, {600, 800, 400}, 0, 0},
        {"half busy, a sixth in kernel", {base, base, base}, {base + 600, base + 800, base + 400}, 50, 16},
        {"no time passed", {base, base, base}, {base, base, base}, 0, 0},
        {"all idle", {base, base, base}, {base + 900, base + 900, base}, 0, 0},
        {"all user", {base, base, base}, {base, base, base + 700}, 100, 0},
        {"all kernel", {base, base, base}, {base, base + 700, base}, 100, 100},
        {"truncated", {base, base, base}, {base + 2, base + 3, base}, 33, 33},
        {"huge counts", {big, big, big}, {big + big / 2, big + big, big}, 50, 50},
        // Idle, kernel and user are not read at one instant: the idle time can grow by more
        // than the kernel time, or by more than kernel and user together.
        {"idle beyond the kernel time", {base, base, base}, {base + 20, base + 10, base + 30}, 50, 0},
        {"idle beyond the whole time", {base, base, base}, {base + 20, base + 10, base}, 0, 0},
        {"idle as long as the kernel time", {base, base, base}, {base + 10, base + 10, base + 30}, 75, 0},
    };
    for (const Row& r : rows) {
        const TCpuPercent p = CpuTimesPercent(r.previous, r.now);
        EXPECT_EQ(p.Cpu, r.cpu) << r.what;
        EXPECT_EQ(p.Kernel, r.kernel) << r.what;
    }
}

TEST(ProviderCpuTimes, CountsGoingBackwardsRaise) {
    const std::uint64_t base = 50000000;
    const TSystemTimes previous{base, base, base};
    const TSystemTimes rows[] = {
        {base - 1, base + 10, base},   // idle wrapped
        {base, base - 1, base + 10},   // kernel wrapped
        {base, base + 10, base - 1},   // user wrapped
        {base, base + base + 10, std::numeric_limits<std::uint64_t>::max()},  // total past 64 bits
    };
    for (const TSystemTimes& now : rows) EXPECT_THROW(CpuTimesPercent(previous, now), EIntOverflow);
}

TEST(ProviderCpuTimes, ReadingThatWentBackwardsCostsOneInterval) {
    LogCapture log;
    const std::uint64_t base = 50000000;
    TSystemTimes previous;
    struct Step {
        TSystemTimes now;
        int cpu, kernel;
    } steps[] = {
        {{base, base, base}, 0, 0},                          // first
        {{base + 600, base + 800, base + 400}, 50, 16},
        {{base, base + 800, base + 400}, 0, 0},              // idle went back: logged
        {{base + 100, base + 900, base + 500}, 50, 0},       // measured from the bad reading
    };
    for (const Step& s : steps) {
        const TCpuPercent p = NextCpuPercent(previous, s.now);
        EXPECT_EQ(p.Cpu, s.cpu);
        EXPECT_EQ(p.Kernel, s.kernel);
        EXPECT_EQ(previous.Idle, s.now.Idle);
    }
    EXPECT_EQ(log.At(L"ERROR"), std::vector<std::wstring>{L"_GetCpuTimes: " + ErrorText + L"Integer overflow"});
}

TEST(ProviderCpuTimes, IdleTimeBeyondTheKernelTimeIsNoError) {
    LogCapture log;
    const std::uint64_t base = 50000000;
    TSystemTimes previous{base, base, base};
    const TCpuPercent p = NextCpuPercent(previous, {base + 1000, base + 990, base + 1010});
    EXPECT_EQ(p.Cpu, 50);
    EXPECT_EQ(p.Kernel, 0);
    EXPECT_EQ(previous.Idle, base + 1000);
    EXPECT_TRUE(log.At(L"ERROR").empty());
}

TEST(ProviderCpuTimes, FromTheSystemTimes) {
    LoadOptionalApis();
    ASSERT_NE(OptionalApis.GetSystemTimes, nullptr);
    LogCapture log;
    int kernel = -1;
    _GetCpuTimes(kernel);  // starts the interval, whatever ran before
    Sleep(20);
    const int cpu = _GetCpuTimes(kernel);
    EXPECT_GE(cpu, 0);
    EXPECT_LE(cpu, 100);
    EXPECT_GE(kernel, 0);
    EXPECT_LE(kernel, cpu);
    const std::vector<std::wstring> data = log.At(L"DATA");
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[1], L"_GetCpuTimes:  : " + std::to_wstring(cpu));
    EXPECT_TRUE(log.At(L"ERROR").empty());
}

TEST(ProviderCpuTimes, FallbackThroughTheKernelWithoutGetSystemTimes) {
    LoadOptionalApis();
    ASSERT_NE(OptionalApis.NtQuerySystemInformation, nullptr);
    OptionalApis.GetSystemTimes = nullptr;
    LogCapture log;
    LogLevels = 1;  // every level, DEBUG included
    int kernel = -1;
    _GetCpuTimes(kernel);
    EXPECT_EQ(kernel, 0);
    Sleep(50);
    const int cpu = _GetCpuTimes(kernel);
    EXPECT_EQ(kernel, 0);
    EXPECT_EQ(log.Count(L"DEBUG", L"Unable to find \"GetSystemTimes\" in kernel32.dll. Trying \"NtQuerySystemInformation\"."),
              2);
    // The second reading spans time, so it gives a percentage and logs it.
    int logged = 0;
    for (const std::wstring& line : log.At(L"DATA"))
        if (line.rfind(L"CPU Times: ", 0) == 0) ++logged;
    EXPECT_EQ(logged, 1);
    EXPECT_EQ(log.At(L"DATA").back(), L"_GetCpuTimes:  : " + std::to_wstring(cpu));

    OptionalApis.NtQuerySystemInformation = nullptr;
    EXPECT_EQ(GetCpuUsageNt(), 0.0);
    LoadOptionalApis();
}

TEST(ProviderCpuTimes, KernelFallbackArithmetic) {
    auto ft = [](std::uint64_t v) {
        FILETIME f;
        f.dwLowDateTime = static_cast<DWORD>(v);
        f.dwHighDateTime = static_cast<DWORD>(v >> 32);
        return f;
    };
    // Below 2^53, where the doubles hold every count exactly.
    const std::uint64_t t0 = 0x12300000000ull + 77, i0 = 5000000;
    struct Row {
        const char* what;
        TNtTimes previous, now;
        unsigned processors;
        double expected;
    } rows[] = {
        {"first reading", {ft(0), ft(t0)}, {ft(i0), ft(t0 + 1000)}, 1, 0},
        {"half idle on one", {ft(i0), ft(t0)}, {ft(i0 + 500), ft(t0 + 1000)}, 1, 50.5},
        {"one of two idle", {ft(i0), ft(t0)}, {ft(i0 + 1000), ft(t0 + 1000)}, 2, 50.5},
        {"both idle", {ft(i0), ft(t0)}, {ft(i0 + 2000), ft(t0 + 1000)}, 2, 0.5},
        {"never idle", {ft(i0), ft(t0)}, {ft(i0), ft(t0 + 1000)}, 4, 100.5},
        {"no time passed", {ft(i0), ft(t0)}, {ft(i0 + 10), ft(t0)}, 1, 0},
        {"clock set back", {ft(i0), ft(t0)}, {ft(i0 + 10), ft(t0 - 1000)}, 1, 0},
        {"no processors", {ft(i0), ft(t0)}, {ft(i0 + 500), ft(t0 + 1000)}, 0, 0},
        // The time of day stepped back, or the readings straddle one: held to 0 .. 100.
        {"idle past the interval", {ft(i0), ft(t0)}, {ft(i0 + 3000), ft(t0 + 1000)}, 1, 0.5},
        {"idle went back", {ft(i0), ft(t0)}, {ft(i0 - 3000), ft(t0 + 1000)}, 2, 100.5},
    };
    for (const Row& r : rows) EXPECT_DOUBLE_EQ(NtUsagePercent(r.previous, r.now, r.processors), r.expected) << r.what;
}

TEST(ProviderCpuTimes, FileTimeToNumberReadsTheHighPartSigned) {
    struct Row {
        DWORD high, low;
        double expected;
    } rows[] = {
        {0, 0, 0.0},
        {0, 0xFFFFFFFF, 4294967295.0},
        {1, 0, 4294967296.0},
        {1, 5, 4294967301.0},
        {0xFFFFFFFF, 0, -4294967296.0},
        {0x80000000, 0, -9223372036854775808.0},
    };
    for (const Row& r : rows) {
        FILETIME f;
        f.dwHighDateTime = r.high;
        f.dwLowDateTime = r.low;
        EXPECT_EQ(FileTimeToNumber(f), r.expected) << r.high << ":" << r.low;
    }
}

TEST(ProviderCpuTimes, TruncationToWholePercent) {
    struct Row {
        double value;
        int expected;
    } rows[] = {{50.9, 50}, {100.5, 100}, {0.5, 0}, {-0.5, 0}, {-7.9, -7}, {2147483647.0, 2147483647}};
    for (const Row& r : rows) EXPECT_EQ(TruncToInt(r.value), r.expected) << r.value;
    for (double bad : {std::nan(""), double(INFINITY), -double(INFINITY), 2147483648.0, -2147483649.0})
        EXPECT_THROW(TruncToInt(bad), ERangeError) << bad;
}

// ---- filter, count and queue --------------------------------------------------------------

TEST(ProviderCpuFilter, ProcessorNumbersPassingAFilter) {
    struct Row {
        int count;
        const char* filter;
        int expected;
    } rows[] = {
        {8, "", 8}, {8, "0,1", 2}, {8, "10", 2}, {8, "2", 1}, {8, "x", 0}, {8, "7 6 5", 3},
        {16, "10", 3}, {16, "1", 1}, {0, "", 0}, {0, "0", 0}, {-1, "", 0},
    };
    for (const Row& r : rows) EXPECT_EQ(CountPassingProcessors(r.count, r.filter), r.expected) << r.count << r.filter;
    EXPECT_TRUE(PassesCpuFilter(0, ""));
    EXPECT_TRUE(PassesCpuFilter(1, "10"));
    EXPECT_TRUE(PassesCpuFilter(0, "10"));
    EXPECT_FALSE(PassesCpuFilter(2, "10"));
    EXPECT_TRUE(PassesCpuFilter(12, "cpu12"));
}

TEST(ProviderCpuFilter, InstancesShowTheProcessorsAFilterNames) {
    struct Row {
        int n, count;
        const char* filter;
        int expected;
    } rows[] = {
        {0, 8, "", 0}, {7, 8, "", 7}, {8, 8, "", -1}, {-1, 8, "", -1},
        {0, 8, "2", 2}, {1, 8, "2", -1},                 // a filter that skips processors 0 and 1
        {0, 8, "3,5", 3}, {1, 8, "3,5", 5}, {2, 8, "3,5", -1},
        {0, 8, "10", 0}, {1, 8, "10", 1},
        {0, 0, "", -1}, {0, -1, "", -1},
    };
    for (const Row& r : rows)
        EXPECT_EQ(NthPassingProcessor(r.n, r.count, r.filter), r.expected) << r.n << " " << r.filter;
}

TEST(ProviderCpuQueue, QueueLengthFromTheWmiRow) {
    auto data = [](std::vector<std::wstring> names, TVarArray row) {
        TItemData d;
        d.Names = std::move(names);
        d.Data.push_back(std::move(row));
        return d;
    };
    struct Row {
        const char* what;
        TItemData data;
        std::int64_t expected;  // ten-thousandths
    } rows[] = {
        {"no rows", TItemData{}, 0},
        {"double", data({L"Caption", L"ProcessorQueueLength"}, {Variant(L"x"), Variant(3.0)}), 30000},
        {"any case", data({L"PROCESSORQUEUELENGTH"}, {Variant(std::int32_t{7})}), 70000},
        {"first of two", data({L"processorqueuelength", L"ProcessorQueueLength"}, {Variant(1.5), Variant(9.0)}), 15000},
        {"no such field", data({L"Threads"}, {Variant(4.0)}), 0},
        {"null", data({L"ProcessorQueueLength"}, {Variant::Null()}), 0},
        {"not a number", data({L"ProcessorQueueLength"}, {Variant(L"many")}), 0},
        {"numeric text", data({L"ProcessorQueueLength"}, {Variant(L"2")}), 20000},
        {"beyond currency", data({L"ProcessorQueueLength"}, {Variant(1e300)}), 0},
        {"row shorter than names", data({L"a", L"ProcessorQueueLength"}, {Variant(1.0)}), 0},
    };
    for (const Row& r : rows) {
        const Variant q = QueueLengthFrom(r.data);
        ASSERT_EQ(q.Type(), VarType::Currency) << r.what;
        EXPECT_EQ(q.CurrencyCount(), r.expected) << r.what;
    }
}

// ---- the routines -------------------------------------------------------------------------

TEST_F(CpuState, CpuRowCpuKernelQueueAndItsDisplay) {
    LoadOptionalApis();
    const ComInitialization com;
    ASSERT_TRUE(com.ok());
    // The queue length as the test reads it from WMI itself (0 when WMI has no object).
    std::string queueText;
    std::int32_t queue = 0;
    WmiQueryStr("root\\cimv2", "select * from Win32_PerfFormattedData_PerfOS_System", "ProcessorQueueLength",
                queueText, queue);
    LogCapture log;
    TItemOptionArray options;
    options[0] = {L"display", Variant(L"%1|%2|%3")};
    Gather(GetCpuTimes, options);  // starts the interval
    const Collected c = Gather(GetCpuTimes, options);
    EXPECT_EQ(c.data.Names, (TWideStringArray{L"cpu", L"kernel", L"queue"}));
    ASSERT_EQ(c.data.Data.size(), 1u);
    const TVarArray& row = c.data.Data[0];
    ASSERT_EQ(row.size(), 3u);
    EXPECT_EQ(row[0].Type(), VarType::Integer);
    EXPECT_EQ(row[1].Type(), VarType::Integer);
    EXPECT_GE(row[0].ToInt32(), row[1].ToInt32());
    ASSERT_EQ(row[2].Type(), VarType::Currency);
    EXPECT_EQ(row[2].CurrencyCount(), std::int64_t{queue} * 10000);
    EXPECT_EQ(c.display, row[0].ToText() + L"|" + row[1].ToText() + L"|" + row[2].ToText());
    const std::vector<std::wstring> data = log.At(L"DATA");
    ASSERT_FALSE(data.empty());
    EXPECT_EQ(data.back(), L"GetCpuTimes: " + c.display);
    EXPECT_EQ(data.at(data.size() - 2), L"_GetCpuTimes:  : " + row[0].ToText());
    // The query ran through the WMI item routine, whose display text is not shown.
    EXPECT_EQ(data.at(data.size() - 3).rfind(L"GetCustomWMI: lid:", 0), 0u);
    EXPECT_TRUE(log.At(L"ERROR").empty());
}

TEST_F(CpuState, EightProcessorsAndTheirTotal) {
    const std::int64_t second = 10000000;
    std::vector<std::int64_t> first(9, 0), next(9, 0);
    for (int i = 0; i < 9; ++i) next[i] = second * i / 8;  // processor i idle i/8 of the time
    InstallSampler({ProcessorBlock(first, At(1)), ProcessorBlock(next, At(2))});
    LogCapture log;

    const Collected count = Gather(GetCpuCount, {});
    EXPECT_EQ(count.display, L"8");
    EXPECT_EQ(count.data.Names, TWideStringArray{L"count"});
    EXPECT_EQ(ProcessorCount.load(), 8);
    EXPECT_EQ(log.Count(L"DATA", L"GetCpuCount: 8"), 1);

    for (int num = 1; num < 8; ++num) {
        const Collected c = Gather(GetCpuUsage, CpuUsageOptions(num));
        EXPECT_EQ(c.display, std::to_wstring(100 * (8 - num) / 8)) << num;
        EXPECT_EQ(c.data.Names, TWideStringArray{L"usage"});
        EXPECT_EQ(log.Count(L"DATA", L"GetCpuUsage: " + c.display), 1) << num;
    }
    // Beyond the processors, and numbers the filter does not pass: nothing.
    for (const auto& [num, filter] : std::vector<std::pair<int, const wchar_t*>>{
             {8, L""}, {9, L""}, {-1, L""}, {3, L"0,1"}, {2, L"10"}}) {
        const Collected c = Gather(GetCpuUsage, CpuUsageOptions(num, filter));
        EXPECT_EQ(c.display, L"") << num;
        EXPECT_TRUE(c.data.Data.empty()) << num;
    }
    EXPECT_EQ(Gather(GetCpuUsage, CpuUsageOptions(1, L"10")).display, L"87");
    // A filter that does not start at processor 0: each instance shows one it names.
    EXPECT_EQ(Gather(GetCpuUsage, CpuUsageOptions(1, L"3,5")).display, L"37");
    EXPECT_EQ(Gather(GetCpuUsage, CpuUsageOptions(1, L"cpu 6 7")).display, L"12");
    EXPECT_EQ(GetCpuUsageCount("3,5"), 2);
    EXPECT_EQ(GetCpuUsageCount(""), 8);
    EXPECT_EQ(GetCpuUsageCount("0,1"), 2);
    EXPECT_EQ(GetCpuUsageCount("10"), 2);
    EXPECT_TRUE(log.At(L"ERROR").empty());
}

TEST_F(CpuState, FirstInstanceSamplesFromThePlatform) {
    // Instance 0 takes the new sample itself: the platform's error reaches the pipeline.
    InstallSampler({ProcessorBlock({0, 0, 0}, At(1))});
    ProcessorCount = 2;
    if (PlatformPerfObjectCount() != 0) GTEST_SKIP() << "the platform's performance data has objects";
    try {
        Gather(GetCpuUsage, CpuUsageOptions(0));
        ADD_FAILURE() << "no error";
    } catch (const ECpuUsageError& e) {
        EXPECT_EQ(e.Message(), kNoObject);
    }
}

TEST_F(CpuState, ProcessorCountThatCannotBeLearned) {
    if (PlatformPerfObjectCount() != 0) GTEST_SKIP() << "the platform's performance data has objects";
    LogCapture log;
    EXPECT_EQ(Gather(GetCpuCount, {}).display, L"");
    EXPECT_EQ(Gather(GetCpuUsage, CpuUsageOptions(0)).display, L"");
    EXPECT_EQ(GetCpuUsageCount(""), 0);
    EXPECT_EQ(GetCpuUsageCount("0"), 0);
    EXPECT_EQ(ProcessorCount.load(), -1);  // tried again on every call
    EXPECT_EQ(log.At(L"ERROR"), (std::vector<std::wstring>{
                                    L"GetCpuCount: adCpuUsage.GetCPUCount " + kNoObject,
                                    L"GetCpuUsage: adCpuUsage.GetCPUCount " + kNoObject,
                                    L"GetCpuUsageCount: adCpuUsage.GetCPUCount " + kNoObject,
                                    L"GetCpuUsageCount: adCpuUsage.GetCPUCount " + kNoObject,
                                }));
    EXPECT_TRUE(log.At(L"DATA").empty());
}

TEST_F(CpuState, RoutinesAreInTheKeywordTable) {
    RegisterProviders();
    for (const auto& [keyword, proc, interval] : std::vector<std::tuple<const char*, TGatherProc, int>>{
             {"CPU", GetCpuTimes, 2}, {"CPUUSAGE", GetCpuUsage, 2}, {"CPUCOUNT", GetCpuCount, 0}}) {
        TConfigItem item;
        FindItemDefault(keyword, item);
        EXPECT_EQ(item.GatherProc, proc) << keyword;
        EXPECT_EQ(item.Interval, interval) << keyword;
    }
}

TEST_F(CpuState, FinalizeReleasesTheSampler) {
    // The kernel statistic of Windows outside the NT line, read from keys made here under
    // the dynamic-data key (the platform's registry keeps them like any other keys). While
    // the statistic runs, a usage query gives the value read when it was started; once the
    // providers' finalisation has stopped it, the next query starts it again and reads the
    // value afresh.
    RegFixture startKey(HKEY_DYN_DATA, L"PerfStats\\StartStat");
    RegFixture dataKey(HKEY_DYN_DATA, L"PerfStats\\StatData");
    RegFixture stopKey(HKEY_DYN_DATA, L"PerfStats\\StopStat");
    startKey.SetDword(L"KERNEL\\CPUUsage", 0);
    stopKey.SetDword(L"KERNEL\\CPUUsage", 0);
    dataKey.SetDword(L"KERNEL\\CPUUsage", 30);
    adCpuUsage::ReplaceSampler(std::make_unique<TCpuUsage>(false));
    EXPECT_DOUBLE_EQ(adCpuUsage::GetCPUUsageByIndex(0), 0.30);
    dataKey.SetDword(L"KERNEL\\CPUUsage", 70);
    EXPECT_DOUBLE_EQ(adCpuUsage::GetCPUUsageByIndex(0), 0.30) << "the running statistic is not read again";

    FinalizeProviders();
    FinalizeProviders();  // nothing left to stop
    LoadOptionalApis();
    EXPECT_DOUBLE_EQ(adCpuUsage::GetCPUUsageByIndex(0), 0.70) << "the stopped statistic starts afresh";
    adCpuUsage::ReleaseCPUData();
}
