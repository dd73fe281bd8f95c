// Vistrel64 started for real: its areas, its passes, the name slots, the terminate
// command, a restart while the areas are still held, its end after its parent's and a
// start that fails.
#include <windows.h>

#include <psapi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "AreaHelpers.h"
#include "Collector.h"
#include "ProcessFixture.h"
#include "Statistics.h"

namespace {

std::wstring ImageFileNameOf(DWORD Id) {
    UniqueHandle p(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, Id));
    if (!p.valid()) return {};
    wchar_t image[MAX_PATH] = {};
    const DWORD n = GetProcessImageFileNameW(p.get(), image, MAX_PATH);
    return vistrel64::FileNameOfImage(std::wstring(image, n));
}

// A program run to its end under this test as its debugger: its exit code and the texts
// it wrote as debug output.
struct TDebuggedRun {
    DWORD ExitCode = STILL_ACTIVE;
    std::vector<std::string> Output;
};

TDebuggedRun RunUnderDebugger(std::wstring CommandLine, DWORD TimeoutMs) {
    TDebuggedRun run;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, CommandLine.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                        nullptr, &si, &pi))
        return run;
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    const ULONGLONG end = GetTickCount64() + TimeoutMs;
    while (GetTickCount64() < end) {
        DEBUG_EVENT e{};
        if (!WaitForDebugEvent(&e, 500)) continue;
        DWORD status = DBG_CONTINUE;
        switch (e.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            UniqueHandle(e.u.CreateProcessInfo.hFile).reset();
            break;
        case LOAD_DLL_DEBUG_EVENT:
            UniqueHandle(e.u.LoadDll.hFile).reset();
            break;
        case OUTPUT_DEBUG_STRING_EVENT: {
            std::string text(e.u.DebugString.nDebugStringLength, '\0');
            SIZE_T read = 0;
            ReadProcessMemory(process.get(), e.u.DebugString.lpDebugStringData, text.data(), text.size(), &read);
            text.resize(read);
            text.resize(std::strlen(text.c_str()));
            run.Output.push_back(text);
            break;
        }
        case EXCEPTION_DEBUG_EVENT:
            if (e.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) status = DBG_EXCEPTION_NOT_HANDLED;
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            run.ExitCode = e.u.ExitProcess.dwExitCode;
            ContinueDebugEvent(e.dwProcessId, e.dwThreadId, DBG_CONTINUE);
            return run;
        default:
            break;
        }
        ContinueDebugEvent(e.dwProcessId, e.dwThreadId, status);
    }
    return run;  // the program ends with its debugger
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

TEST(CollectorCommandLine, TheParentSwitchNamesTheProcessToOutlive) {
    const struct {
        const char* commandLine;
        std::uint32_t parent;
    } rows[] = {
        {"", 0},
        {"/parent=1234", 1234},
        {"  /parent=1234\t", 1234},
        {"x /parent=77 y", 77},
        {"/parent=4294967295", 4294967295u},
        {"/parent=4294967296", 0},
        {"/parent=", 0},
        {"/parent=0", 0},
        {"/parent=12x", 0},
        {"/parent=-5", 0},
        {"/Parent=5", 0},
        {"-parent=5", 0},
    };
    for (const auto& r : rows) EXPECT_EQ(vistrel64::ParentProcessIdOf(r.commandLine), r.parent) << r.commandLine;
}

TEST(CollectorRun, EndsOnceTheProcessThatStartedItHasEnded) {
    EndRunningCollectors();
    FixtureProcess parent(0, L"procfix_parent64.exe");
    ASSERT_TRUE(parent.ready);
    UniqueHandle collector = LaunchVistrel64(L"/parent=" + std::to_wstring(parent.Id()));
    ASSERT_TRUE(collector.valid());
    ASSERT_TRUE(WaitFor([] { return AreaExists(VslSystemAreaName); }, 10000));
    TOpenedArea system;
    ASSERT_TRUE(system.Open(VslSystemAreaName, VslSystemAreaSize));

    // While its parent runs it serves pass after pass.
    const std::uint32_t first = NextHeartbeat(system, 0);
    ASSERT_NE(first, 0u);
    EXPECT_NE(NextHeartbeat(system, first), first);
    EXPECT_EQ(WaitForSingleObject(collector.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    parent.Stop();
    EXPECT_EQ(ExitCodeAfter(collector.get(), 30000), 0u);
    EXPECT_EQ(system.As<TVslSystemArea>()->Command, 0u);  // ended without the terminate command
    TerminateProcess(collector.get(), 1);                  // when it did not end
}

TEST(CollectorRun, ATakenAreaNameEndsTheStartWithCode1AndSaysWhy) {
    EndRunningCollectors();
    // Another kind of object holds the system area's name.
    UniqueHandle taken(CreateEventA(nullptr, TRUE, FALSE, VslSystemAreaName));
    ASSERT_TRUE(taken.valid());
    const TDebuggedRun run = RunUnderDebugger(L"\"" + TestBinaryDir() + L"Vistrel64.exe\"", 30000);
    EXPECT_EQ(run.ExitCode, 1u);
    EXPECT_EQ(run.Output, std::vector<std::string>{"VSL64: Could not create mapping file: 6"});
    EXPECT_FALSE(AreaExists(VslTopProcessWsAreaName));
}
