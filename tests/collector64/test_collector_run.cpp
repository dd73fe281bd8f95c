// Vistrel64 started for real: its areas, its passes, the name slots, the terminate
// command and a restart while the areas are still held.
#include <windows.h>

#include <psapi.h>

#include <gtest/gtest.h>

#include "AreaHelpers.h"
#include "Statistics.h"

namespace {

std::wstring ImageFileNameOf(DWORD Id) {
    UniqueHandle p(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, Id));
    if (!p.valid()) return {};
    wchar_t image[MAX_PATH] = {};
    const DWORD n = GetProcessImageFileNameW(p.get(), image, MAX_PATH);
    return vistrel64::FileNameOfImage(std::wstring(image, n));
}

}  // namespace

TEST(CollectorRun, PublishesPassesServesNameSlotsAndEndsOnCommand) {
    EndRunningCollectors();
    UniqueHandle collector = LaunchVistrel64();
    ASSERT_TRUE(collector.valid());
    ASSERT_TRUE(WaitFor([] { return AreaExists(VslProcessMonitorAreaName); }, 10000));

    TOpenedArea system, topWs, topPu, monitors;
    ASSERT_TRUE(system.Open(VslSystemAreaName, VslSystemAreaSize));
    ASSERT_TRUE(topWs.Open(VslTopProcessWsAreaName, VslTopProcessAreaSize));
    ASSERT_TRUE(topPu.Open(VslTopProcessPuAreaName, VslTopProcessAreaSize));
    ASSERT_TRUE(monitors.Open(VslProcessMonitorAreaName, VslProcessMonitorAreaSize));
    EXPECT_EQ(system.As<TVslSystemArea>()->Command, 0u);
    EXPECT_EQ(system.As<TVslSystemArea>()->Reserved, 0u);

    // First pass: a heartbeat and a top working-set record naming a live process.
    std::uint32_t beat = NextHeartbeat(system, 0);
    ASSERT_NE(beat, 0u);
    const TVslTopProcess top = Snapshot<TVslTopProcess>(topWs);
    ASSERT_NE(top.ProcessId, 0u);
    EXPECT_GT(top.WorkingSetSize, 0u);
    const std::wstring name = ImageFileNameOf(top.ProcessId);
    if (!name.empty()) {
        EXPECT_EQ(VslNameText(top.FileName), name);
    }

    // Register names while the collector sleeps; slot 5 stays free and its record kept.
    TVslSystemArea* area = system.Plain<TVslSystemArea>();
    std::wstring mixedCase = OwnFileName();
    for (std::size_t i = 0; i < mixedCase.size(); i += 2) mixedCase[i] = static_cast<wchar_t>(towupper(mixedCase[i]));
    const std::wstring withoutExtension = OwnFileName().substr(0, OwnFileName().rfind(L'.'));
    VslSetName(area->MonitorNames[0], mixedCase);
    VslSetName(area->MonitorNames[1], withoutExtension);
    VslSetName(area->MonitorNames[3], L"Vistrel64.exe");
    TVslProcessMonitor* records = monitors.Plain<TVslProcessMonitor>();
    records[5].ProcessId = 4242;
    records[5].HandleCount = 77;

    beat = NextHeartbeat(system, beat);
    const TVslProcessMonitor own = Snapshot<TVslProcessMonitor>(monitors, 0);
    EXPECT_EQ(own.ProcessId, GetCurrentProcessId());
    EXPECT_EQ(VslNameText(own.Name), mixedCase);
    EXPECT_GT(own.WorkingSetSize, 0u);
    EXPECT_GE(own.ThreadCount, 1u);
    const TVslProcessMonitor none = Snapshot<TVslProcessMonitor>(monitors, 1);
    EXPECT_EQ(none.ProcessId, 0u);
    EXPECT_EQ(none.WorkingSetSize, 0u);
    EXPECT_EQ(none.ThreadCount, 0u);
    EXPECT_EQ(VslNameText(none.Name), withoutExtension);
    EXPECT_EQ(Snapshot<TVslProcessMonitor>(monitors, 3).ProcessId, GetProcessId(collector.get()));
    EXPECT_EQ(Snapshot<TVslProcessMonitor>(monitors, 5).ProcessId, 4242u);
    EXPECT_EQ(Snapshot<TVslProcessMonitor>(monitors, 5).HandleCount, 77u);

    // A command written during the sleep: one more pass, then exit 0 without a new heartbeat.
    system.As<TVslSystemArea>()->Command = VslTerminateCommand;
    EXPECT_EQ(ExitCodeAfter(collector.get(), 20000), 0u);
    EXPECT_EQ(system.As<TVslSystemArea>()->HeartbeatTick, beat);

    // A restart while the areas are held: the words are reset, slots and records kept.
    system.As<TVslSystemArea>()->Reserved = 0xDEADu;
    UniqueHandle second = LaunchVistrel64();
    ASSERT_TRUE(second.valid());
    ASSERT_TRUE(WaitFor([&] { return system.As<TVslSystemArea>()->Command == 0; }, 10000));
    EXPECT_EQ(system.As<TVslSystemArea>()->Reserved, 0u);
    EXPECT_EQ(VslNameText(area->MonitorNames[0]), mixedCase);
    EXPECT_EQ(Snapshot<TVslProcessMonitor>(monitors, 5).ProcessId, 4242u);
    system.As<TVslSystemArea>()->Command = VslTerminateCommand;
    EXPECT_EQ(ExitCodeAfter(second.get(), 20000), 0u);
}
