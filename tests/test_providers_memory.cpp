// The memory items against the system's memory status, and the page-fault rates on tables.
#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "ComHandles.h"
#include "Errors.h"
#include "Includes.h"
#include "Memory.h"
#include "Wmi.h"
#include "test_providers_support.h"

namespace {

std::vector<std::int64_t> Wholes(const TVarArray& row) {
    std::vector<std::int64_t> n;
    for (const Variant& v : row) {
        EXPECT_EQ(v.Type(), VarType::Currency);
        EXPECT_EQ(v.CurrencyCount() % 10000, 0);
        n.push_back(v.CurrencyCount() / 10000);
    }
    return n;
}

struct MemoryCase {
    const char* name;
    TGatherProc proc;
    std::vector<std::wstring> names;
    const wchar_t* tag;
    DWORDLONG MEMORYSTATUSEX::*total;
    DWORDLONG MEMORYSTATUSEX::*available;
};

const MemoryCase kMemoryCases[] = {
    {"PHYSICALRAM", GetPhysicalRam, {L"usedbytes", L"total", L"usedpct", L"freebytes", L"freepct"}, L"Physical RAM: ",
     &MEMORYSTATUSEX::ullTotalPhys, &MEMORYSTATUSEX::ullAvailPhys},
    {"VIRTUALMEMORY", GetVirtualMemory, {L"used", L"total", L"usedpct", L"free", L"freepct"}, L"Virtual Memory: ",
     &MEMORYSTATUSEX::ullTotalVirtual, &MEMORYSTATUSEX::ullAvailVirtual},
    {"PAGEFILE", GetPageFile, {L"used", L"total", L"usedpct", L"free", L"freepct"}, L"Page File: ",
     &MEMORYSTATUSEX::ullTotalPageFile, &MEMORYSTATUSEX::ullAvailPageFile},
};


}  // namespace

// ---- memory figures -------------------------------------------------------------------------

TEST(MemoryRows, UsedFreeAndTruncatedPercentages) {
    const std::int64_t gib = 1024ll * 1024 * 1024;
    struct Case {
        std::int64_t total, available;
        std::vector<std::int64_t> expected;
    } cases[] = {
        {16 * gib, 4 * gib, {12884901888, 17179869184, 75, 4294967296, 25}},
        {3, 1, {2, 3, 66, 1, 33}},
        {3, 3, {0, 3, 0, 3, 100}},
        {1, 0, {1, 1, 100, 0, 0}},
        {128ll * 1024 * gib, 127ll * 1024 * gib, {1024 * gib, 128ll * 1024 * gib, 0, 127ll * 1024 * gib, 99}},
    };
    for (const Case& c : cases) EXPECT_EQ(Wholes(MemoryRow(c.total, c.available)), c.expected) << c.total;
    // A failed memory-status call leaves a total of 0: the percentage division raises.
    EXPECT_THROW(MemoryRow(0, 0), EDivByZero);
}

TEST(MemoryItems, MatchTheSystemsMemoryStatus) {
    LogCapture log;
    for (const MemoryCase& c : kMemoryCases) {
        TItemData data;
        std::wstring display = L"leftover";
        MEMORYSTATUSEX before{};
        before.dwLength = sizeof before;
        ASSERT_TRUE(GlobalMemoryStatusEx(&before));
        c.proc(OptionsOf({{L"DISPLAY", L"%2 total, %3% used"}}), data, display);
        EXPECT_EQ(data.Names, c.names) << c.name;
        ASSERT_EQ(data.Data.size(), 1u);
        const std::vector<std::int64_t> values = Wholes(data.Data[0]);
        ASSERT_EQ(values.size(), 5u);
        // Totals do not move; the available amount does, so the row is checked in itself.
        EXPECT_EQ(values[1], static_cast<std::int64_t>(before.*c.total)) << c.name;
        EXPECT_EQ(values[0] + values[3], values[1]);
        EXPECT_EQ(values[2], values[0] * 100 / values[1]);
        EXPECT_EQ(values[4], values[3] * 100 / values[1]);
        EXPECT_NEAR(static_cast<double>(values[3]), static_cast<double>(before.*c.available),
                    static_cast<double>(before.*c.total) / 10)
            << c.name;
        EXPECT_EQ(display, data.Data[0][1].ToText() + L" total, " + data.Data[0][2].ToText() + L"% used");
        EXPECT_EQ(log.Count(L"DATA", c.tag + display), 1) << c.name;
    }
}

TEST(MemoryItems, DefaultTemplateShowsTheFirstValue) {
    TItemData data;
    std::wstring display;
    GetPhysicalRam(TItemOptionArray{}, data, display);
    ASSERT_EQ(data.Data.size(), 1u);
    EXPECT_EQ(display, data.Data[0][0].ToText());
}

// ---- page-fault rates -----------------------------------------------------------------------

TEST(PageFaultRates, RatesAndRatiosAgainstThePreviousSample) {
    struct Case {
        TPageFaultSample previous;
        std::int64_t now;
        TPageFaultCounters counters;
        std::vector<std::int64_t> expected;
    } cases[] = {
        // r1 = 1000, r2 = 50: hit 95, miss 5.
        {{100, {0, 0, 0, 0}}, 101, {1000, 50, 30, 20}, {1000, 50, 30, 20, 95, 5}},
        // Over two seconds, rates truncate: 2001 / 2 = 1000.
        {{100, {1000, 0, 10, 10}}, 102, {3001, 101, 15, 12}, {1000, 50, 2, 1, 95, 5}},
        // More hard faults than faults: the hit ratio stays at 0.
        {{5, {0, 0, 0, 0}}, 6, {100, 250, 0, 0}, {100, 250, 0, 0, 0, 250}},
        // No page fault in the interval: rates 0, and no ratio to take.
        {{1, {5, 0, 0, 0}}, 2, {5, 0, 7, 7}, {0, 0, 7, 7, 0, 0}},
        {{1, {5, 0, 0, 0}}, 2, {5, 3, 7, 7}, {0, 3, 7, 7, 0, 0}},
        // Counters that did not move at all.
        {{1, {5, 2, 7, 7}}, 3, {5, 2, 7, 7}, {0, 0, 0, 0, 0, 0}},
        // Truncation towards zero of the ratios: 2 / 3 = 66.6.. -> 66, 1 / 3 -> 33.
        {{7, {0, 0, 0, 0}}, 8, {3, 1, 0, 0}, {3, 1, 0, 0, 66, 33}},
    };
    for (const Case& c : cases) {
        const std::optional<TVarArray> row = PageFaultRow(c.previous, c.now, c.counters);
        ASSERT_TRUE(row.has_value()) << c.now;
        EXPECT_EQ(Wholes(*row), c.expected) << c.now;
    }
}

TEST(PageFaultRates, NoRowWithoutAWholeSecondOrAPreviousSample) {
    const TPageFaultCounters counters{10, 1, 1, 1};
    struct Case {
        std::int64_t previousTime, now;
    } cases[] = {{0, 10}, {10, 0}, {10, 10}, {4000000, 5}};  // the last: the tick count wrapped
    for (const Case& c : cases)
        EXPECT_FALSE(PageFaultRow({c.previousTime, {0, 0, 0, 0}}, c.now, counters).has_value()) << c.now;
}

TEST(PageFaultRates, ACounterThatWentBackGivesNoRowNeverANegativeRate) {
    // A 32-bit counter that wrapped, or one that was reset: any of the four.
    const TPageFaultSample previous{5, {1000, 100, 50, 50}};
    for (std::size_t i = 0; i < 4; ++i) {
        TPageFaultCounters counters{2000, 200, 60, 60};
        counters[i] = previous.Counters[i] - 1;
        EXPECT_FALSE(PageFaultRow(previous, 6, counters).has_value()) << i;
    }
}

TEST(PageFaultRates, RatesBeyondTheCurrencyRangeRaise) {
    EXPECT_THROW(PageFaultRow({1, {-(1ll << 62), 0, 0, 0}}, 2, {1ll << 62, 0, 0, 0}), Exception);
}

TEST(PageFaultRates, CountersOnlyWhenTheQueryDeliveredAllFour) {
    using V = std::vector<Variant>;
    EXPECT_EQ(PageFaultCountersOf(V{Variant(std::int32_t{1}), Variant(std::int64_t{4294967295}),
                                    Variant(std::int32_t{3}), Variant(std::int32_t{4})}),
              (TPageFaultCounters{1, 4294967295, 3, 4}));
    const V undelivered[] = {
        V{},                                                                                   // no object
        V(4),                                                                                  // all empty
        V{Variant(std::int32_t{1}), Variant(), Variant(std::int32_t{3}), Variant(std::int32_t{4})},
        V{Variant(std::int32_t{1}), Variant(std::int32_t{2}), Variant(std::int32_t{3}), Variant::Null()},
        V{Variant(std::int32_t{1}), Variant(std::int32_t{2}), Variant(std::int32_t{3})},
    };
    for (const V& values : undelivered) EXPECT_FALSE(PageFaultCountersOf(values).has_value()) << values.size();
}

// ---- PAGEFAULTS on this system ----------------------------------------------------------------
// The memory counters class answers no object here: every collection finds no sample.

namespace {

class PageFaultsLive : public ::testing::Test {
protected:
    void SetUp() override {
        SetPageFaultSample({});
        std::vector<Variant> values;
        WmiQueryVal("root\\cimv2", "select * from Win32_PerfRawData_PerfOS_Memory",
                    {"PageFaultsPersec", "PagesPersec", "PagesInputPerSec", "PagesOutputPerSec"}, values);
        for (const Variant& v : values)
            if (!v.IsEmpty()) GTEST_SKIP() << "the platform publishes the memory counters";
    }
    void TearDown() override { SetPageFaultSample({}); }
    ComInitialization com_;
};

}  // namespace

TEST_F(PageFaultsLive, NoObjectIsNoSampleAndNoError) {
    LogCapture log;
    TItemData data;
    std::wstring display = L"leftover";
    GetPageFaults(TItemOptionArray{}, data, display);
    EXPECT_EQ(display, L"");
    EXPECT_TRUE(data.Names.empty());
    EXPECT_TRUE(data.Data.empty());
    EXPECT_EQ(PageFaultSample().Time, 0);  // still none
    EXPECT_EQ(log.At(L"DATA"), std::vector<std::wstring>{L"GetPageFaults: "});
    EXPECT_TRUE(log.At(L"ERROR").empty());
}

TEST_F(PageFaultsLive, AQueryThatDeliversNothingKeepsThePreviousSample) {
    // A real sample taken before: a collection without counters shows nothing, logs no
    // error, and leaves the sample for the next real one (no negative rate, no spike).
    LogCapture log;
    const TPageFaultSample previous{GetTickCount() / 1000 - 1, {1000, 50, 30, 20}};
    SetPageFaultSample(previous);
    for (int i = 0; i < 2; ++i) {
        TItemData data;
        std::wstring display;
        GetPageFaults(OptionsOf({{L"display", L"%1/s %5%"}}), data, display);
        EXPECT_TRUE(data.Data.empty());
        EXPECT_EQ(display, L"");
    }
    EXPECT_EQ(PageFaultSample().Time, previous.Time);
    EXPECT_EQ(PageFaultSample().Counters, previous.Counters);
    EXPECT_EQ(log.At(L"DATA"), (std::vector<std::wstring>{L"GetPageFaults: ", L"GetPageFaults: "}));
    EXPECT_TRUE(log.At(L"ERROR").empty());
}
