// The PROCESSMEM monitors' arithmetic: CPU shares between two updates, sums over the
// processes of one name, and the row they make.
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <limits>
#include <vector>

#include "Checked.h"
#include "ProcessMonitor.h"

namespace {

std::int64_t CurrencyOf(const Variant& v) { return v.CurrencyCount(); }

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kGiB = 1024 * kMiB;

}  // namespace

TEST(ProcessMonitorCpu, ShareSinceThePreviousUpdate) {
    auto monitor = [](std::uint64_t total, std::uint64_t prevTotal, std::uint64_t sysUser, std::uint64_t prevSysUser,
                      std::uint64_t sysKernel, std::uint64_t prevSysKernel, std::uint64_t tick, std::uint64_t prevTick) {
        TProcessMonitor m;
        m.TotalTime = total;
        m.PrevTotalTime = prevTotal;
        m.SystemUserTime = sysUser;
        m.PrevSystemUserTime = prevSysUser;
        m.SystemKernelTime = sysKernel;
        m.PrevSystemKernelTime = prevSysKernel;
        m.TickTime = tick;
        m.PrevTickTime = prevTick;
        return m;
    };
    struct Row {
        const char* what;
        TProcessMonitor m;
        std::int32_t expected;
    } rows[] = {
        {"one update only", monitor(500, 0, 100, 0, 100, 0, 0, 0), 0},
        {"25 of 100", monitor(125, 100, 150, 100, 1050, 1000, 0, 0), 25},
        {"24.5 rounds up", monitor(149, 100, 200, 100, 1000, 900, 0, 0), 25},
        {"24.4 rounds down", monitor(1244, 1000, 1500, 1000, 1500, 1000, 0, 0), 24},
        {"a process clock behind the system's gives 0", monitor(100, 200, 200, 100, 200, 100, 0, 0), 0},
        {"ticks: against elapsed time, so above 100 with two processors", monitor(3000, 1000, 0, 0, 0, 0, 11000, 10000), 200},
        {"ticks win over system times", monitor(1100, 1000, 150, 100, 1050, 1000, 1000, 500), 20},
        // The tick count wrapped between the updates: elapsed ticks went backwards.
        {"ticks across a wrap give 0, never a negative share",
         monitor(2000000000000ull, 0, 0, 0, 0, 0, 5000, 4294967000ull * 10000), 0},
        {"a process clock behind on the tick path gives 0", monitor(1000, 3000, 0, 0, 0, 0, 11000, 10000), 0},
    };
    for (const Row& r : rows) EXPECT_EQ(r.m.CpuPercent(), r.expected) << r.what;

    // Two updates within one clock tick (two items of one name collected back to back):
    // no time elapsed, no share, and no failure.
    EXPECT_EQ(monitor(150, 100, 100, 100, 1000, 1000, 0, 0).CpuPercent(), 0);
    EXPECT_EQ(monitor(100, 100, 100, 100, 1000, 1000, 0, 0).CpuPercent(), 0);
    EXPECT_EQ(monitor(150, 100, 0, 0, 0, 0, 500, 500).CpuPercent(), 0);
}

TEST(ProcessMonitorStats, SumsAndTheirOverflow) {
    TProcessMonitor a, b;
    a.WorkingSetSize = 1000;
    a.PagefileUsage = 300;
    a.PageFaultCount = 7;
    a.HandleCount = 20;
    b.WorkingSetSize = 24;
    b.PagefileUsage = 1;
    b.PageFaultCount = 3;
    b.HandleCount = 5;
    TProcessStats sum;
    AddProcessStats(sum, a, 10);
    AddProcessStats(sum, b, 15);
    EXPECT_EQ(sum.WorkingSetSize, 1024u);
    EXPECT_EQ(sum.PagefileUsage, 301u);
    EXPECT_EQ(sum.PageFaultCount, 10u);
    EXPECT_EQ(sum.HandleCount, 25u);
    EXPECT_EQ(sum.CpuPercent, 25);

    // Only a sum past 64 bits does not fit: it raises and leaves the sums as they were.
    TProcessMonitor huge;
    huge.WorkingSetSize = std::numeric_limits<std::uint64_t>::max();
    EXPECT_THROW(AddProcessStats(sum, huge, 0), EIntOverflow);
    EXPECT_EQ(sum.WorkingSetSize, 1024u);
    EXPECT_EQ(sum.CpuPercent, 25);
}

TEST(ProcessMonitorStats, SumsOfOneNamePass4GiB) {
    // Each process fits 32 bits, as the shipped 32-bit program reads them; their sums do not.
    const struct {
        const char* what;
        int processes;
        std::uint64_t workingSet, pagefile;
        DWORD faults, handles;
    } rows[] = {
        {"two of 3 GiB", 2, 3 * kGiB, 3 * kGiB, 3000000000u, 7},
        {"three of 4 GiB - 1", 3, 4 * kGiB - 1, 2 * kGiB, 0xFFFFFFFFu, 0xFFFFFFFFu},
        {"one hundred of 1 GiB", 100, kGiB, kGiB, 2000000000u, 100000},
    };
    for (const auto& r : rows) {
        TProcessMonitor m;
        m.WorkingSetSize = r.workingSet;
        m.PagefileUsage = r.pagefile;
        m.PageFaultCount = r.faults;
        m.HandleCount = r.handles;
        TProcessStats sum;
        for (int i = 0; i < r.processes; ++i) AddProcessStats(sum, m, 1);
        const auto n = static_cast<std::uint64_t>(r.processes);
        EXPECT_EQ(sum.WorkingSetSize, n * r.workingSet) << r.what;
        EXPECT_EQ(sum.PagefileUsage, n * r.pagefile) << r.what;
        EXPECT_EQ(sum.PageFaultCount, n * r.faults) << r.what;
        EXPECT_EQ(sum.HandleCount, n * r.handles) << r.what;
        EXPECT_EQ(sum.CpuPercent, r.processes) << r.what;
        // The row carries the sums whole.
        TProcessMemoryValues values;
        values.WorkingSetSize = sum.WorkingSetSize;
        values.HandleCount = sum.HandleCount;
        const TVarArray row = ProcessMemoryRow(values, sum.CpuPercent);
        EXPECT_EQ(CurrencyOf(row[0]), static_cast<std::int64_t>(n * r.workingSet) * 10000) << r.what;
        EXPECT_EQ(CurrencyOf(row[5]), static_cast<std::int64_t>(n * r.handles) * 10000) << r.what;
    }
}

TEST(ProcessMemoryRowTest, FieldsAndTypes) {
    TProcessMemoryValues v;
    v.WorkingSetSize = 6 * 1024 * kMiB;  // more than 32 bits
    v.PagefileUsage = 2;
    v.PageFaultCount = 3;
    v.PrivateUsage = 4;
    v.HandleCount = 5;
    v.ThreadCount = 6;
    const TVarArray row = ProcessMemoryRow(v, 17);
    ASSERT_EQ(row.size(), 7u);
    EXPECT_EQ(CurrencyOf(row[0]), static_cast<std::int64_t>(6 * 1024 * kMiB) * 10000);
    EXPECT_EQ(row[3], Variant(std::int32_t{17}));
    const std::int64_t rest[] = {CurrencyOf(row[1]), CurrencyOf(row[2]), CurrencyOf(row[4]), CurrencyOf(row[5]),
                                 CurrencyOf(row[6])};
    EXPECT_EQ(std::vector<std::int64_t>(std::begin(rest), std::end(rest)),
              (std::vector<std::int64_t>{20000, 30000, 40000, 50000, 60000}));
}
