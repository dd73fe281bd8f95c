// The memory items against the system's memory status, and the page-fault rates on tables.
#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "Errors.h"
#include "Memory.h"
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
        // Counters that went backwards (a failed query gave zeros) give negative rates.
        {{5, {1000, 100, 0, 0}}, 6, {0, 0, 0, 0}, {-1000, -100, 0, 0, 90, 10}},
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

TEST(PageFaultRates, ANoFaultIntervalRaisesInTheRatios) {
    EXPECT_THROW(PageFaultRow({1, {5, 0, 0, 0}}, 2, {5, 0, 7, 7}), EInvalidOp);     // 0 / 0
    EXPECT_THROW(PageFaultRow({1, {5, 0, 0, 0}}, 2, {5, 3, 7, 7}), EZeroDivide);  // x / 0
    // Rates beyond the currency range raise instead of wrapping.
    EXPECT_THROW(PageFaultRow({1, {-(1ll << 62), 0, 0, 0}}, 2, {1ll << 62, 0, 0, 0}), Exception);
}
