// The process items with the ini option "vistrel64" set: their answers from the
// collector's areas (stand-in areas the test writes, then a running Vistrel64), and their
// own passes whenever the collector is not usable.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "AreaHelpers.h"
#include "Includes.h"
#include "Mapping.h"
#include "ProcessFixture.h"
#include "ProcessMonitor.h"
#include "Processes.h"
#include "TestFiles.h"
#include "Tools.h"
#include "test_providers_support.h"

namespace {

constexpr std::uint64_t kGiB = 1024ull * 1024 * 1024;

using providertest::Collected;
using providertest::Gather;

std::int64_t Count(const Variant& v) { return v.CurrencyCount() / 10000; }

class ProcessItems64 : public ::testing::Test {
protected:
    void SetUp() override {
        EndRunningCollectors();
        LoadOptionalApis();
        LoadProcessMonitorApis();
        FinalizeProcessProviders();
        Vistrel64 = true;
    }
    void TearDown() override {
        StopStatisticsProgram();
        StatisticsProgramFolder.clear();
        FinalizeProcessProviders();
        Vistrel64 = false;
    }
};

// Collects PROCESSMEM until its row holds a thread count, which only the collector's
// record gives; true once it did.
bool GatherUntilThreadsShow(const TItemOptionArray& Options, Collected& Last, DWORD TimeoutMs) {
    return WaitFor(
        [&] {
            Last = Gather(GetProcessMemory, Options);
            return !Last.data.Data.empty() && Count(Last.data.Data[0][6]) > 0;
        },
        TimeoutMs);
}

TVslTopProcess TopRecord(const wchar_t* name, DWORD id, std::uint64_t workingSet, std::uint64_t privateUsage) {
    TVslTopProcess r{};
    VslSetName(r.FileName, name);
    r.ProcessId = id;
    r.WorkingSetSize = workingSet;
    r.PrivateUsage = privateUsage;
    r.PagefileUsage = 1;
    return r;
}

}  // namespace

TEST_F(ProcessItems64, AnswersFromTheCollectorsRecordsWhileItsHeartbeatIsFresh) {
    // No collector may be started in this test: its folder holds no Vistrel64.exe.
    TempFolder empty;
    StatisticsProgramFolder = empty.Path();
    TStandInArea system(VslSystemAreaName, VslSystemAreaSize), ws(VslTopProcessWsAreaName, VslTopProcessAreaSize),
        pu(VslTopProcessPuAreaName, VslTopProcessAreaSize), monitors(VslProcessMonitorAreaName, VslProcessMonitorAreaSize);
    ASSERT_TRUE(system.View.valid() && ws.View.valid() && pu.View.valid() && monitors.View.valid());
    std::memset(system.As<void>(), 0, VslSystemAreaSize);
    system.As<TVslSystemArea>()->HeartbeatTick = GetTickCount();
    *ws.As<TVslTopProcess>() = TopRecord(L"big64.exe", 77, 6 * kGiB, 1);
    *pu.As<TVslTopProcess>() = TopRecord(L"commit64.exe", 78, 1, 5 * kGiB);
    LogCapture log;

    // TOPPROCESSMEM: the working-set record for "ws", the private-usage record for "pu".
    const Collected top = Gather(GetTopProcessMem, OptionsOf({{L"counter", L"ws"}}));
    ASSERT_EQ(top.data.Data.size(), 1u);
    EXPECT_EQ(top.data.Data[0][0], Variant(L"big64.exe"));
    EXPECT_EQ(Count(top.data.Data[0][1]), 77);
    EXPECT_EQ(Count(top.data.Data[0][2]), static_cast<std::int64_t>(6 * kGiB));
    const Collected commit = Gather(GetTopProcessMem, OptionsOf({{L"counter", L"pu"}, {L"display", L"%1 %3"}}));
    EXPECT_EQ(commit.data.Data.at(0)[0], Variant(L"commit64.exe"));
    EXPECT_EQ(Count(commit.data.Data.at(0)[2]), static_cast<std::int64_t>(5 * kGiB));
    EXPECT_EQ(log.Count(L"DATA", L"GetTopProcessMem: " + commit.display), 1);
    // Any other counter is the own pass, which compares nothing.
    const Collected other = Gather(GetTopProcessMem, OptionsOf({{L"counter", L"xx"}}));
    EXPECT_EQ(other.data.Data.at(0)[0], Variant(L""));

    // PROCESSMEM: the first collection registers the name and answers from the monitors.
    FixtureProcess fixture(16, L"procfix_area64.exe");
    ASSERT_TRUE(fixture.ready);
    const TItemOptionArray options = OptionsOf({{L"key", L"ProcFix_Area64.exe"}, {L"display", L"%7"}});
    const Collected first = Gather(GetProcessMemory, options);
    EXPECT_EQ(VslNameText(system.As<TVslSystemArea>()->MonitorNames[0]), L"ProcFix_Area64.exe");
    ASSERT_EQ(first.data.Data.size(), 1u);
    EXPECT_GT(Count(first.data.Data[0][0]), 0);
    EXPECT_EQ(Count(first.data.Data[0][4]), 0);  // private usage
    EXPECT_EQ(Count(first.data.Data[0][6]), 0);  // threads

    // The collector's next pass writes the name's record: the sums come from there, the CPU
    // share still from the monitors.
    TVslProcessMonitor record{};
    record.ProcessId = fixture.Id();
    VslSetName(record.Name, L"ProcFix_Area64.exe");
    record.WorkingSetSize = 5 * kGiB;
    record.PagefileUsage = 4 * kGiB;
    record.PageFaultCount = 9;
    record.PrivateUsage = 123456;
    record.HandleCount = 11;
    record.ThreadCount = 3;
    std::memcpy(monitors.As<TVslProcessMonitor>(), &record, sizeof record);
    const Collected second = Gather(GetProcessMemory, options);
    ASSERT_EQ(second.data.Data.size(), 1u);
    const TVarArray& row = second.data.Data[0];
    EXPECT_EQ(Count(row[0]), static_cast<std::int64_t>(5 * kGiB));
    EXPECT_EQ(Count(row[1]), static_cast<std::int64_t>(4 * kGiB));
    EXPECT_EQ(Count(row[2]), 9);
    EXPECT_GE(row[3].ToInt32(), 0);
    EXPECT_EQ(Count(row[4]), 123456);
    EXPECT_EQ(Count(row[5]), 11);
    EXPECT_EQ(Count(row[6]), 3);
    EXPECT_EQ(second.display, L"3");
    EXPECT_EQ(ProcessMonitors.Items().size(), 1u);

    // A stale heartbeat: both items gather by themselves again.
    if (GetTickCount() > 60000) {
        system.As<TVslSystemArea>()->HeartbeatTick = GetTickCount() - 30000;
        const Collected own = Gather(GetProcessMemory, options);
        ASSERT_EQ(own.data.Data.size(), 1u);
        EXPECT_EQ(Count(own.data.Data[0][6]), 0);
        EXPECT_NEAR(static_cast<double>(Count(own.data.Data[0][0])),
                    static_cast<double>(fixture.Counters().WorkingSetSize), 256.0 * 1024);
        const Collected ownTop = Gather(GetTopProcessMem, OptionsOf({{L"counter", L"ws"}}));
        EXPECT_NE(ownTop.data.Data.at(0)[0], Variant(L"big64.exe"));
    }
    EXPECT_TRUE(log.At(L"ERROR").empty());
}

TEST_F(ProcessItems64, ARunningCollectorGivesThreadsAndTheLargestProcess) {
    FixtureProcess fixture(384, L"procfix_run64.exe");
    ASSERT_TRUE(fixture.ready);
    const TItemOptionArray options = OptionsOf({{L"key", L"procfix_run64.exe"}});
    // The first collections start Vistrel64 and register the name; once its pass has
    // written the record, the thread count shows where the values come from.
    Collected c;
    ASSERT_TRUE(GatherUntilThreadsShow(options, c, 40000));
    const TVarArray& row = c.data.Data[0];
    EXPECT_EQ(Count(row[6]), 1);  // the fixture's one thread
    EXPECT_NEAR(static_cast<double>(Count(row[0])), static_cast<double>(fixture.Counters().WorkingSetSize),
                1024.0 * 1024);
    EXPECT_FALSE(ProcessIdsNamed(L"Vistrel64.exe").empty());

    // Other tests' processes may be larger: the record names the largest, at least ours.
    const Collected top = Gather(GetTopProcessMem, OptionsOf({{L"counter", L"ws"}}));
    ASSERT_EQ(top.data.Data.size(), 1u);
    EXPECT_NE(top.data.Data[0][0], Variant(L""));
    EXPECT_GE(Count(top.data.Data[0][2]), static_cast<std::int64_t>(384) * 1024 * 1024);
}

TEST_F(ProcessItems64, TopProcessMemAloneStartsTheCollectorAndUsesItsRecordsFromItsFirstPass) {
    LogCapture log;
    const TItemOptionArray ws = OptionsOf({{L"counter", L"ws"}});
    // The collector's area holds a record no process has: an answer naming it came from there.
    TOpenedArea area;
    const bool fromRecord = WaitFor(
        [&] {
            Gather(GetTopProcessMem, ws);
            if (!area.View.valid() && !area.Open(VslTopProcessWsAreaName, VslTopProcessAreaSize)) return false;
            *area.Plain<TVslTopProcess>() = TopRecord(L"marker64.exe", 4242, 9 * kGiB, 1);
            const Collected c = Gather(GetTopProcessMem, ws);
            return c.data.Data.size() == 1 && c.data.Data[0][0] == Variant(L"marker64.exe");
        },
        40000);
    EXPECT_TRUE(fromRecord);

    // PROCESSMEM, collected after it, registers its name and gets its record without an error.
    FixtureProcess fixture(16, L"procfix_after_top64.exe");
    ASSERT_TRUE(fixture.ready);
    const TItemOptionArray options = OptionsOf({{L"key", L"procfix_after_top64.exe"}});
    Collected c;
    EXPECT_TRUE(GatherUntilThreadsShow(options, c, 20000));
    EXPECT_TRUE(log.At(L"ERROR").empty());
}
