// The shared-area client against a running Vistrel64, and against areas the test itself
// creates in the collector's place to show the heartbeat and mapping rules.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "AreaHelpers.h"
#include "MainLoop.h"
#include "Mapping.h"
#include "ProgramEnd.h"
#include "test_providers_support.h"

namespace {

// Logs the MAP level too, and leaves the client closed and pointed at its own folder.
class MappingRun : public ::testing::Test {
protected:
    void SetUp() override {
        EndRunningCollectors();
        LogLevels = LogLevels | (1u << llMap) | (1u << llDebug);
    }
    void TearDown() override {
        StatisticsProgramStart = &StartStatisticsProgram;
        StopStatisticsProgram();
        StatisticsProgramFolder.clear();
    }
    bool Logged(const std::wstring& text) const {
        const auto lines = log.At(L"MAP");
        return std::find(lines.begin(), lines.end(), text) != lines.end();
    }
    bool LoggedStartingWith(const std::wstring& prefix) const { return CountStartingWith(prefix) > 0; }
    int CountStartingWith(const std::wstring& prefix) const {
        int n = 0;
        for (const auto& line : log.At(L"MAP"))
            if (line.rfind(prefix, 0) == 0) ++n;
        return n;
    }
    // The collector's starts that went as far as the attempts to connect.
    int Launches() const {
        return CountStartingWith(L"Mapping: ConnectServer Map Server started after ") +
               CountStartingWith(L"Mapping: ConnectServer Map Server failed after ");
    }
    LogCapture log;
};

// The collector's system area, created by the test in its place.
struct TStandInSystemArea : TStandInArea {
    TStandInSystemArea() : TStandInArea(VslSystemAreaName, VslSystemAreaSize) {}
    TVslSystemArea* Area() const { return As<TVslSystemArea>(); }
};

// A Vistrel64.exe that is no program: the shell cannot start it.
void PutNonProgram(const TempFolder& Folder) {
    ASSERT_TRUE(WriteFileBytes(Folder.File(L"Vistrel64.exe"), "not a program"));
    StatisticsProgramFolder = Folder.Path();
}

// A start of the collector that waits, once entered, until released (as the shell's own
// security warning would wait for an answer), then starts it.
HANDLE startEntered = nullptr, startRelease = nullptr;
bool HeldStart(const std::wstring& Path, UniqueHandle& Process, DWORD& Error) {
    SetEvent(startEntered);
    WaitForSingleObject(startRelease, 30000);
    return StartStatisticsProgram(Path, Process, Error);
}

// Whether Run returns within TimeoutMs; it runs on a thread of its own.
bool ReturnsWithin(const std::function<void()>& Run, DWORD TimeoutMs) {
    std::packaged_task<void()> task(Run);
    std::future<void> done = task.get_future();
    std::thread(std::move(task)).detach();
    return done.wait_for(std::chrono::milliseconds(TimeoutMs)) == std::future_status::ready;
}

}  // namespace

TEST_F(MappingRun, StartsTheCollectorRegistersANameReadsItsRecordAndStopsIt) {
    const std::wstring own = OwnFileName();
    // The first call starts Vistrel64; whether it is alive already depends on its first pass.
    ConnectServer();
    EXPECT_TRUE(LoggedStartingWith(L"Mapping: ConnectServer Map Server started after ") ||
                Logged(L"Mapping: ConnectServer Map Server failed after 10 tries"));
    ASSERT_TRUE(WaitFor([] { return ConnectServer(); }, 15000));
    const std::vector<DWORD> collectors = ProcessIdsNamed(L"Vistrel64.exe");
    ASSERT_EQ(collectors.size(), 1u);
    UniqueHandle collector(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, collectors[0]));
    ASSERT_TRUE(collector.valid());

    // Registered on the first answer, handed out after the collector's next pass.
    std::optional<TVslProcessMonitor> record;
    EXPECT_FALSE(GetProcessMonitor(own, record));
    EXPECT_FALSE(record);
    ASSERT_TRUE(WaitFor([&] { return GetProcessMonitor(own, record); }, 20000));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->ProcessId, GetCurrentProcessId());
    EXPECT_EQ(VslNameText(record->Name), own);
    EXPECT_GT(record->WorkingSetSize, 0u);
    EXPECT_TRUE(Logged(L"Mapping: GetProcessMonitor: " + own + L" True"));

    std::optional<TVslTopProcess> top;
    EXPECT_TRUE(GetTopProcessWs(top));
    ASSERT_TRUE(top);
    EXPECT_NE(top->ProcessId, 0u);
    EXPECT_TRUE(GetTopProcessPu(top));
    EXPECT_TRUE(top);

    // The slot search is case-sensitive: another spelling takes the next slot.
    std::wstring upper = own;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
    EXPECT_FALSE(GetProcessMonitor(upper, record));
    TOpenedArea system;
    ASSERT_TRUE(system.Open(VslSystemAreaName, VslSystemAreaSize));
    EXPECT_EQ(VslNameText(system.Plain<TVslSystemArea>()->MonitorNames[0]), own);
    EXPECT_EQ(VslNameText(system.Plain<TVslSystemArea>()->MonitorNames[1]), upper);

    // Stop: slots emptied, the command written, the collector ends with 0.
    StopStatisticsProgram();
    EXPECT_EQ(system.As<TVslSystemArea>()->Command, VslTerminateCommand);
    for (std::size_t i = 0; i < VslMonitorSlots; ++i) EXPECT_EQ(system.As<TVslSystemArea>()->MonitorNames[i][0], L'\0');
    EXPECT_EQ(ExitCodeAfter(collector.get(), 20000), 0u);
    EXPECT_TRUE(Logged(L"Mapping: ClearProcessMonitors"));
    EXPECT_TRUE(Logged(L"Mapping: SendTerminateCommand"));
}

TEST_F(MappingRun, MissingCollectorProgramAnswersFalseWithoutStarting) {
    TempFolder empty;
    StatisticsProgramFolder = empty.Path();
    std::optional<TVslTopProcess> top;
    std::optional<TVslProcessMonitor> record;
    EXPECT_FALSE(ConnectServer());
    EXPECT_FALSE(GetTopProcessWs(top));
    EXPECT_FALSE(top);
    EXPECT_FALSE(GetProcessMonitor(L"notepad.exe", record));
    EXPECT_TRUE(Logged(L"Mapping: GetTopProcessWs False"));
    EXPECT_TRUE(Logged(L"Mapping: GetProcessMonitor: notepad.exe False"));
    EXPECT_FALSE(LoggedStartingWith(L"Mapping: ConnectServer Map Server"));
    EXPECT_TRUE(ProcessIdsNamed(L"Vistrel64.exe").empty());
}

TEST_F(MappingRun, StaleOrFutureHeartbeatIsNotAlive) {
    TempFolder empty;
    StatisticsProgramFolder = empty.Path();
    TStandInSystemArea standIn;
    ASSERT_TRUE(standIn.View.valid());
    const std::uint32_t now = GetTickCount();
    ASSERT_GT(now, 60000u) << "the system has been running for less than a minute";

    standIn.Area()->HeartbeatTick = now - 30000;
    EXPECT_FALSE(ConnectServer());
    EXPECT_TRUE(LoggedStartingWith(L"Mapping: Heartbeat "));
    EXPECT_TRUE(Logged(L"Mapping: ConnectServer Map Server failed to start"));

    standIn.Area()->HeartbeatTick = GetTickCount() + 3000;
    EXPECT_FALSE(ConnectServer());
    EXPECT_TRUE(Logged(L"Mapping: ConnectServer Integer overflow"));
}

TEST_F(MappingRun, FreshHeartbeatWithoutDataAreasRegistersThenRecoversThroughTheErrorPath) {
    TempFolder empty;
    StatisticsProgramFolder = empty.Path();
    TStandInSystemArea standIn;
    ASSERT_TRUE(standIn.View.valid());
    standIn.Area()->HeartbeatTick = GetTickCount();

    // Connected by the fresh heartbeat, but the data areas do not exist.
    std::optional<TVslTopProcess> top;
    EXPECT_TRUE(GetTopProcessWs(top));
    EXPECT_FALSE(top);
    EXPECT_TRUE(Logged(L"Mapping: CreateTopProcessWsMapView: False"));

    std::optional<TVslProcessMonitor> record;
    EXPECT_FALSE(GetProcessMonitor(L"a.exe", record));
    EXPECT_EQ(VslNameText(standIn.Area()->MonitorNames[0]), L"a.exe");
    // The name's slot is found but its record cannot be read: logged, closed, false.
    EXPECT_FALSE(GetProcessMonitor(L"a.exe", record));
    EXPECT_FALSE(record);
    const auto errors = log.At(L"ERROR");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], L"Mapping.GetProcessMonitor: a.exe check process 0 the process monitor area is not mapped");

    // All ten slots in use: a further name is never registered.
    for (int i = 1; i < 10; ++i) VslSetName(standIn.Area()->MonitorNames[i], L"n" + std::to_wstring(i) + L".exe");
    EXPECT_FALSE(GetProcessMonitor(L"more.exe", record));
    EXPECT_EQ(FindNameSlot(*standIn.Area(), L"more.exe"), -1);

    // The terminate command reaches the area while it is held.
    EXPECT_TRUE(ConnectServer());
    SendTerminateCommand();
    EXPECT_EQ(standIn.Area()->Command, VslTerminateCommand);
}

TEST_F(MappingRun, AConnectionMadeBeforeTheFirstPassMapsTheDataAreasOnceTheHeartbeatIsFresh) {
    TempFolder empty;
    StatisticsProgramFolder = empty.Path();
    ASSERT_GT(GetTickCount(), 20000u) << "the system has been running for less than 20 s";
    // A collector that has created its areas and not yet ended its first pass.
    TStandInSystemArea standIn;
    TStandInArea ws(VslTopProcessWsAreaName, VslTopProcessAreaSize), pu(VslTopProcessPuAreaName, VslTopProcessAreaSize),
        monitors(VslProcessMonitorAreaName, VslProcessMonitorAreaSize);
    ASSERT_TRUE(standIn.View.valid() && ws.View.valid() && pu.View.valid() && monitors.View.valid());
    standIn.Area()->HeartbeatTick = 0;
    EXPECT_FALSE(ConnectServer());
    EXPECT_TRUE(Logged(L"Mapping: ConnectServer Map Server failed to start"));

    // Its first pass publishes and beats: from then on its records are used.
    VslSetName(ws.As<TVslTopProcess>()->FileName, L"first64.exe");
    ws.As<TVslTopProcess>()->WorkingSetSize = 123;
    standIn.Area()->HeartbeatTick = GetTickCount();
    std::optional<TVslTopProcess> top;
    EXPECT_TRUE(GetTopProcessWs(top));
    ASSERT_TRUE(top);
    EXPECT_EQ(VslNameText(top->FileName), L"first64.exe");
    EXPECT_TRUE(GetTopProcessPu(top));
    EXPECT_TRUE(top);

    std::optional<TVslProcessMonitor> record;
    EXPECT_FALSE(GetProcessMonitor(L"a.exe", record));
    TVslProcessMonitor written{};
    VslSetName(written.Name, L"a.exe");
    written.ThreadCount = 3;
    *monitors.As<TVslProcessMonitor>() = written;
    EXPECT_TRUE(GetProcessMonitor(L"a.exe", record));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->ThreadCount, 3u);
    EXPECT_TRUE(log.At(L"ERROR").empty());
}

TEST_F(MappingRun, TheTerminateCommandReachesTheCollectorAfterTheViewsWereClosed) {
    ASSERT_TRUE(WaitFor([] { return ConnectServer(); }, 20000));
    const std::vector<DWORD> collectors = ProcessIdsNamed(L"Vistrel64.exe");
    ASSERT_EQ(collectors.size(), 1u);
    UniqueHandle collector(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, collectors[0]));
    ASSERT_TRUE(collector.valid());
    // An error path closed the views while the collector runs on.
    CloseMapping();
    StopStatisticsProgram();
    EXPECT_EQ(ExitCodeAfter(collector.get(), 20000), 0u);
}

TEST_F(MappingRun, ACollectorThisProgramNeverUsedIsNotToldToEnd) {
    UniqueHandle collector = LaunchVistrel64();
    ASSERT_TRUE(collector.valid());
    ASSERT_TRUE(WaitFor([] { return AreaExists(VslSystemAreaName); }, 10000));
    TOpenedArea system;
    ASSERT_TRUE(system.Open(VslSystemAreaName, VslSystemAreaSize));
    StopStatisticsProgram();
    EXPECT_EQ(system.As<TVslSystemArea>()->Command, 0u);
    system.As<TVslSystemArea>()->Command = VslTerminateCommand;
    EXPECT_EQ(ExitCodeAfter(collector.get(), 20000), 0u);
}

TEST_F(MappingRun, AStartThatComesToNothingIsNotRepeatedWithinTenSeconds) {
    // The area's name is taken by another kind of object: every collector started ends at once.
    UniqueHandle taken(CreateEventA(nullptr, TRUE, FALSE, VslSystemAreaName));
    ASSERT_TRUE(taken.valid());
    const ULONGLONG end = GetTickCount64() + 3000;
    while (GetTickCount64() < end) {
        EXPECT_FALSE(ConnectServer());
        Sleep(100);
    }
    const auto lines = log.At(L"MAP");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), L"Mapping: ConnectServer Map Server failed after 10 tries"), 1);
    EXPECT_TRUE(LoggedStartingWith(L"Mapping: ConnectServer Map Server not started again"));
}

TEST_F(MappingRun, AStartThatFailsIsLoggedAndNoAttemptToConnectFollows) {
    TempFolder folder;
    PutNonProgram(folder);
    EXPECT_FALSE(ConnectServer());
    const auto errors = log.At(L"ERROR");
    ASSERT_EQ(errors.size(), 1u);
    // The line names the file and the system's error.
    EXPECT_EQ(errors[0].rfind(L"Mapping: ConnectServer Map Server could not be started: " + folder.File(L"Vistrel64.exe") +
                                  L": error " + std::to_wstring(ERROR_BAD_EXE_FORMAT) + L" ",
                              0),
              0u)
        << errors[0];
    EXPECT_EQ(Launches(), 0);
    EXPECT_EQ(CountStartingWith(L"Mapping: CreateSystemMapView: "), 1);
    // Nor is it started again within ten seconds.
    EXPECT_FALSE(ConnectServer());
    EXPECT_TRUE(LoggedStartingWith(L"Mapping: ConnectServer Map Server not started again within 10 s"));
    EXPECT_EQ(log.At(L"ERROR").size(), 1u);
}

TEST_F(MappingRun, ACollectorThatEndsBeforeItsFirstHeartbeatIsAFailedStart) {
    ASSERT_GT(GetTickCount(), 20000u) << "the system has been running for less than 20 s";
    TempFolder folder;
    ASSERT_TRUE(CopyFileW((TestBinaryDir() + L"short_lived_collector.exe").c_str(),
                          folder.File(L"Vistrel64.exe").c_str(), FALSE));
    StatisticsProgramFolder = folder.Path();
    // Connections as often as the collection thread makes them, for longer than the stand-in
    // lives: its area is opened while it runs, and it ends with its heartbeat still 0.
    const ULONGLONG end = GetTickCount64() + 5000;
    while (GetTickCount64() < end) {
        EXPECT_FALSE(ConnectServer());
        Sleep(100);
    }
    EXPECT_TRUE(Logged(L"Mapping: CreateSystemMapView: True"));
    EXPECT_EQ(Launches(), 1);
    EXPECT_TRUE(LoggedStartingWith(L"Mapping: ConnectServer Map Server not started again within 10 s"));
}

TEST_F(MappingRun, AStartUnderWayHoldsUpNeitherTheForcedEndNorTheReload) {
    TempFolder folder;
    PutNonProgram(folder);
    const UniqueHandle entered(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    startEntered = entered.get();
    startRelease = release.get();
    StatisticsProgramStart = &HeldStart;
    RegisterMappingProviders();

    // The collection thread's connection waits in the start of the collector.
    std::thread collection([] { ConnectServer(); });
    ASSERT_EQ(WaitForSingleObject(entered.get(), 10000), WAIT_OBJECT_0);
    // The collector's area is there meanwhile.
    TStandInSystemArea standIn;
    ASSERT_TRUE(standIn.View.valid());
    const struct {
        const char* what;
        std::function<void()> run;
    } ways[] = {
        {"the forced end", [] { DefaultProgramEndSteps().StopStatisticsProgram(); }},
        {"a reload", [] { StopStatisticsProgramHook(); }},
    };
    for (const auto& way : ways) {
        standIn.Area()->Command = 0;
        EXPECT_TRUE(ReturnsWithin(way.run, 5000)) << way.what;
        EXPECT_EQ(standIn.Area()->Command, VslTerminateCommand) << way.what;
    }
    SetEvent(release.get());
    collection.join();
}

namespace {
// A start that the shell reports without handing out the process (as when the file is
// passed to a program that runs already): nothing comes of it here.
int processlessStarts = 0;
bool ProcesslessStart(const std::wstring&, UniqueHandle& Process, DWORD& Error) {
    ++processlessStarts;
    Process.reset();
    Error = 0;
    return true;
}
}  // namespace

TEST_F(MappingRun, AStartWithoutAProcessThatComesToNothingIsAFailedStart) {
    TempFolder folder;
    PutNonProgram(folder);
    processlessStarts = 0;
    StatisticsProgramStart = &ProcesslessStart;
    EXPECT_FALSE(ConnectServer());
    EXPECT_TRUE(Logged(L"Mapping: ConnectServer Map Server failed after 10 tries"));
    EXPECT_FALSE(ConnectServer());
    EXPECT_EQ(processlessStarts, 1);
    EXPECT_TRUE(Logged(L"Mapping: ConnectServer Map Server not started again within 10 s of a failed start"));
    {
        // A collector comes up late after all and serves: the failed start is forgiven, and
        // once it has gone the next one is started at once.
        TStandInSystemArea standIn;
        ASSERT_TRUE(standIn.View.valid());
        standIn.Area()->HeartbeatTick = GetTickCount();
        EXPECT_TRUE(ConnectServer());
        CloseMapping();
    }
    EXPECT_FALSE(ConnectServer());
    EXPECT_EQ(processlessStarts, 2);
}

TEST_F(MappingRun, AReloadBeforeTheFirstHeartbeatDoesNotHoldUpTheNextStart) {
    ASSERT_GT(GetTickCount(), 20000u) << "the system has been running for less than 20 s";
    TempFolder folder;
    ASSERT_TRUE(CopyFileW((TestBinaryDir() + L"short_lived_collector.exe").c_str(),
                          folder.File(L"Vistrel64.exe").c_str(), FALSE));
    StatisticsProgramFolder = folder.Path();
    // Started, and not yet alive: its heartbeat stays 0.
    EXPECT_FALSE(ConnectServer());
    EXPECT_EQ(Launches(), 1);
    ASSERT_EQ(ProcessIdsNamed(L"Vistrel64.exe").size(), 1u);
    // A reload tells it to end; the stand-in ends (as a collector told to end does) before
    // it has ever beaten.
    StopStatisticsProgram();
    ASSERT_TRUE(WaitFor([] { return ProcessIdsNamed(L"Vistrel64.exe").empty(); }, 20000));
    // The next connection starts a collector at once: the reload's end of the last one is
    // no failed start.
    EXPECT_FALSE(ConnectServer());
    EXPECT_EQ(Launches(), 2);
    EXPECT_FALSE(LoggedStartingWith(L"Mapping: ConnectServer Map Server not started again"));
}
