// The client of Vistrel64's shared areas. Platform calls (open, map, start the collector)
// at the top; the interpretation of the areas below as plain functions.
#include "Mapping.h"

#include <shellapi.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "Checked.h"
#include "Errors.h"
#include "Log.h"
#include "MainLoop.h"
#include "NativePaths.h"
#include "Utils.h"
#include "WinHandles.h"

std::wstring StatisticsProgramFolder;

namespace {

VISTREL_EXCEPTION(EMappingError, Exception)

// One area as this process holds it.
struct TAreaView {
    UniqueHandle Handle;
    UniqueView View;
    void* Data() const { return const_cast<void*>(View.get()); }
};

// Serialises the collection thread's readers and the window thread's reload and end. It
// is held only for short steps on the areas: never while the collector is being started.
std::recursive_mutex mappingLock;
TAreaView systemArea, topWsArea, topPuArea, monitorArea;

// The last launch of the collector while its outcome is pending: its process (when the
// shell handed it out) and what is known of it; whether it is under way (from its decision
// to the end of its attempts to connect: its outcome waits until then); the failed
// launches since the last that served.
UniqueHandle launchedCollector;
bool launchPending = false;
TLaunchFacts launchFacts;
bool launchInProgress = false;
TLaunchRecord launchRecord;
// Whether this program has opened or launched a collector since it last told one to end:
// only then does the terminate command go out when the system area is not held. Read
// without the lock at a forced end.
std::atomic<bool> collectorInUse{false};

volatile TVslSystemArea* SystemView() { return static_cast<volatile TVslSystemArea*>(systemArea.Data()); }

bool SystemHeld() { return systemArea.Handle.valid() && systemArea.View.valid(); }

std::wstring MessageOf(const std::exception& e) {
    if (auto v = dynamic_cast<const Exception*>(&e)) return v->Message();
    return ExceptionText(e);
}

void MapLog(const std::wstring& Text) { WriteLog(Text, llMap); }

std::wstring Widened(const std::string& s) { return AnsiToWide(s); }

// Opens the area and maps Size bytes of it; the view stays null when either fails.
void CreateMapView(TAreaView& Area, const char* Name, std::size_t Size, const wchar_t* LogTag) {
    Area.View.reset();
    Area.Handle.reset(OpenMappingFile(Name));
    if (Area.Handle.valid()) Area.View.reset(MapViewOfFile(Area.Handle.get(), FILE_MAP_ALL_ACCESS, 0, 0, Size));
    MapLog(std::wstring(L"Mapping: ") + LogTag + L": " + BoolToText(Area.View.valid()));
}

bool LaunchedCollectorEnded() {
    return launchedCollector.valid() && WaitForSingleObject(launchedCollector.get(), 0) == WAIT_OBJECT_0;
}

// Settles the pending launch once its outcome is known (AreaMissing: the collector's
// system area could not be opened just now), recording a failure or a success; a launch
// still under way waits for the end of its attempts.
void SettleLaunch(bool AreaMissing) {
    if (!launchPending || launchInProgress) return;
    TLaunchFacts facts = launchFacts;
    facts.HasProcess = launchedCollector.valid();
    facts.ProcessEnded = LaunchedCollectorEnded();
    facts.AreaMissing = AreaMissing;
    const TLaunchOutcome outcome = LaunchOutcomeOf(facts);
    if (outcome == TLaunchOutcome::Pending) return;
    launchRecord = RecordLaunchOutcome(launchRecord, outcome, GetTickCount64());
    launchPending = false;
    launchedCollector.reset();
}

// Maps the data areas that are not mapped yet (a connection made while the collector was
// in its first pass has none).
void MapMissingDataViews() {
    if (!topWsArea.View.valid()) CreateTopProcessWsMapView();
    if (!topPuArea.View.valid()) CreateTopProcessPuMapView();
    if (!monitorArea.View.valid()) CreateProcessMonitorMapView();
}

template <typename Record>
std::optional<Record> CopyOf(const TAreaView& Area) {
    if (!Area.View.valid()) return std::nullopt;
    Record r;
    std::memcpy(&r, Area.View.get(), sizeof r);
    return r;
}

bool GetTopProcess(TAreaView& Area, std::optional<TVslTopProcess>& Record, const wchar_t* LogTag) {
    Record.reset();
    // Connected without the lock held: a connection may start the collector.
    const bool result = ConnectServer();
    if (result) {
        std::lock_guard guard(mappingLock);
        Record = CopyOf<TVslTopProcess>(Area);
    }
    MapLog(std::wstring(L"Mapping: ") + LogTag + L" " + BoolToText(result));
    return result;
}

// Writes the terminate command through the system area opened by name.
void SendTerminateCommandByName() {
    TAreaView area;
    area.Handle.reset(OpenMappingFile(VslSystemAreaName));
    if (area.Handle.valid())
        area.View.reset(MapViewOfFile(area.Handle.get(), FILE_MAP_ALL_ACCESS, 0, 0, VslSystemAreaSize));
    if (area.View.valid()) static_cast<volatile TVslSystemArea*>(area.Data())->Command = VslTerminateCommand;
}

// Step 4 of a connection, once the system area is open: connected when the heartbeat is
// fresh, and then every data area not mapped yet is mapped.
bool ConnectWithSystemArea() {
    if (SystemHeld() && Heartbeat()) {
        MapMissingDataViews();
        return true;
    }
    MapLog(L"Mapping: ConnectServer Map Server failed to start");
    return false;
}

bool ThisProcessIs64Bit() { return sizeof(void*) == 8; }

// Whether a launch may begin now; when it may, it is marked as under way.
bool BeginLaunch() {
    static const bool canRun = StatisticsProgramCanRun(ThisProcessIs64Bit(), RunsUnderWow64());
    if (!canRun) {
        MapLog(L"Mapping: ConnectServer Map Server not started: 64-bit programs do not run on this Windows");
        return false;
    }
    if (launchInProgress) return false;
    // The collector's area is missing: that is why a launch is considered.
    SettleLaunch(true);
    if (!LaunchAllowed(launchPending, launchRecord, GetTickCount64())) {
        MapLog(L"Mapping: ConnectServer Map Server not started again" +
               (launchPending ? std::wstring(L": the last one still runs")
                              : L" within " + std::to_wstring(LaunchPauseMs(launchRecord.Failures) / 1000) +
                                    L" s of a failed start"));
        return false;
    }
    launchInProgress = true;
    launchPending = true;
    launchFacts = TLaunchFacts{};
    launchedCollector.reset();
    collectorInUse = true;
    return true;
}

// Ends the mark of a launch under way, however the launch ends.
struct TLaunchUnderWay {
    ~TLaunchUnderWay() {
        std::lock_guard guard(mappingLock);
        launchInProgress = false;
    }
};

}  // namespace

std::wstring StatisticsProgramPath() {
    std::wstring folder = StatisticsProgramFolder.empty() ? ProgramDirectory() : StatisticsProgramFolder;
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    return folder + L"Vistrel64.exe";
}

HANDLE OpenMappingFile(const std::string& Name) {
    HANDLE h = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, Name.c_str());
    const std::wstring error = GetLastErrorText();
    MapLog(L"Mapping: OpenMappingFile: " + Widened(Name) + L" : " + error);
    return h;
}

void CreateSystemMapView() {
    std::lock_guard guard(mappingLock);
    CreateMapView(systemArea, VslSystemAreaName, VslSystemAreaSize, L"CreateSystemMapView");
    if (systemArea.View.valid()) collectorInUse = true;
}

void CreateTopProcessWsMapView() {
    std::lock_guard guard(mappingLock);
    CreateMapView(topWsArea, VslTopProcessWsAreaName, VslTopProcessAreaSize, L"CreateTopProcessWsMapView");
}

void CreateTopProcessPuMapView() {
    std::lock_guard guard(mappingLock);
    CreateMapView(topPuArea, VslTopProcessPuAreaName, VslTopProcessAreaSize, L"CreateTopProcessPuMapView");
}

void CreateProcessMonitorMapView() {
    std::lock_guard guard(mappingLock);
    CreateMapView(monitorArea, VslProcessMonitorAreaName, VslProcessMonitorAreaSize, L"CreateProcessMonitorMapView");
}

void SendTerminateCommand() {
    std::lock_guard guard(mappingLock);
    MapLog(L"Mapping: SendTerminateCommand");
    // A launch that came to nothing before now counts as failed; one that ends because it
    // is told to end now (a reload) does not.
    SettleLaunch(false);
    if (launchPending) {
        launchFacts.ToldToEnd = true;
        SettleLaunch(false);
    }
    if (SystemHeld()) {
        SystemView()->Command = VslTerminateCommand;
    } else if (collectorInUse) {
        // The views were closed after an error or a stale heartbeat while the collector may
        // still run: reach it through its area by name.
        SendTerminateCommandByName();
    }
    collectorInUse = false;
}

void SignalStatisticsProgramEnd() {
    MapLog(L"Mapping: SendTerminateCommand");
    if (collectorInUse) SendTerminateCommandByName();
}

void CloseMapping() {
    std::lock_guard guard(mappingLock);
    WriteLog(L"Mapping: CloseMapping", llDebug);
    for (TAreaView* area : {&systemArea, &topWsArea, &topPuArea, &monitorArea}) area->Handle.reset();
    for (TAreaView* area : {&systemArea, &topWsArea, &topPuArea, &monitorArea}) area->View.reset();
}

bool Heartbeat() {
    std::lock_guard guard(mappingLock);
    if (!systemArea.View.valid()) return false;
    const std::uint32_t age = HeartbeatAge(GetTickCount(), SystemView()->HeartbeatTick);
    if (age > HeartbeatMaxAge) MapLog(L"Mapping: Heartbeat " + std::to_wstring(age));
    const bool alive = age <= HeartbeatMaxAge;
    if (alive) {
        // A collector this program launched has served once a fresh heartbeat is seen; and
        // a collector that serves, however late it came up, ends the run of failed starts.
        if (launchPending) launchFacts.Served = true;
        SettleLaunch(false);
        if (!launchPending) launchRecord = TLaunchRecord{};
    }
    return alive;
}

bool ConnectServer() {
    MapLog(L"Mapping: ConnectServer");
    try {
        {
            std::lock_guard guard(mappingLock);
            if (SystemHeld()) {
                if (Heartbeat()) {
                    MapMissingDataViews();
                    return true;
                }
                CloseMapping();
            }
            CreateSystemMapView();
            if (systemArea.Handle.valid()) return ConnectWithSystemArea();
        }
        // Start Vistrel64 without holding the lock, so that neither a reload nor the
        // program's end waits for the shell.
        const std::wstring path = StatisticsProgramPath();
        if (!FileExists(path)) return false;
        {
            std::lock_guard guard(mappingLock);
            if (!BeginLaunch()) return false;
        }
        const TLaunchUnderWay underWay;
        UniqueHandle process;
        DWORD error = 0;
        const bool started = StatisticsProgramStart(path, process, error);
        {
            std::lock_guard guard(mappingLock);
            launchedCollector = std::move(process);
            launchFacts.Started = started;
            if (!started) {
                // Nothing to wait for: no attempts to connect follow.
                launchInProgress = false;
                SettleLaunch(true);
                WriteLog(L"Mapping: ConnectServer Map Server could not be started: " + path + L": error " +
                             std::to_wstring(error) + L" " + SystemErrorText(error),
                         llError);
                return false;
            }
        }
        constexpr int attempts = 10;
        int attempt = 1;
        for (; attempt <= attempts; ++attempt) {
            Sleep(10);
            std::lock_guard guard(mappingLock);
            CreateSystemMapView();
            if (systemArea.Handle.valid()) break;
        }
        std::lock_guard guard(mappingLock);
        launchInProgress = false;
        if (attempt > attempts) {
            MapLog(L"Mapping: ConnectServer Map Server failed after " + std::to_wstring(attempts) + L" tries");
            // A collector whose process runs may still come up; one without a process
            // that the shell handed out is not seen again.
            SettleLaunch(true);
            CloseMapping();
            return false;
        }
        MapLog(L"Mapping: ConnectServer Map Server started after " + std::to_wstring(attempt) + L" tries");
        const bool connected = ConnectWithSystemArea();
        SettleLaunch(false);
        return connected;
    } catch (const std::exception& e) {
        MapLog(L"Mapping: ConnectServer " + MessageOf(e));
        return false;
    }
}

bool GetTopProcessWs(std::optional<TVslTopProcess>& Record) {
    return GetTopProcess(topWsArea, Record, L"GetTopProcessWs");
}

bool GetTopProcessPu(std::optional<TVslTopProcess>& Record) {
    return GetTopProcess(topPuArea, Record, L"GetTopProcessPu");
}

bool GetProcessMonitor(const std::wstring& Name, std::optional<TVslProcessMonitor>& Record) {
    Record.reset();
    bool result = false;
    std::wstring step = L"connect";
    try {
        // Connected without the lock held: a connection may start the collector.
        if (ConnectServer()) {
            std::lock_guard guard(mappingLock);
            step = L"check monitors pSystemView";
            if (!systemArea.View.valid()) return false;
            step = L"check monitors list";
            // The slots as they stand now; the collector only reads them.
            TVslSystemArea system;
            std::memcpy(&system, systemArea.View.get(), sizeof system);
            const int slot = FindNameSlot(system, Name);
            if (slot < 0) {
                step = L"request";
                const int registered = RegisterNameSlot(system, Name);
                if (registered >= 0)
                    std::memcpy(static_cast<TVslSystemArea*>(systemArea.Data())->MonitorNames[registered],
                                system.MonitorNames[registered], sizeof system.MonitorNames[registered]);
            } else {
                step = L"check process " + std::to_wstring(slot);
                if (!monitorArea.View.valid()) throw EMappingError(L"the process monitor area is not mapped");
                TVslProcessMonitor record;
                std::memcpy(&record, static_cast<const TVslProcessMonitor*>(monitorArea.View.get()) + slot, sizeof record);
                if (MonitorRecordIsFor(record, Name)) {
                    step = L"results";
                    Record = record;
                    result = true;
                }
            }
        }
    } catch (const std::exception& e) {
        WriteLog(L"Mapping.GetProcessMonitor: " + Name + L" " + step + L" " + MessageOf(e), llError);
        CloseMapping();
        Record.reset();
        return false;
    }
    MapLog(L"Mapping: GetProcessMonitor: " + Name + L" " + BoolToText(result));
    return result;
}

void ClearProcessMonitors() {
    std::lock_guard guard(mappingLock);
    MapLog(L"Mapping: ClearProcessMonitors");
    if (!systemArea.View.valid()) return;
    for (std::size_t i = 0; i < VslMonitorSlots; ++i) SystemView()->MonitorNames[i][0] = L'\0';
}

void StopStatisticsProgram() {
    std::lock_guard guard(mappingLock);
    ClearProcessMonitors();
    SendTerminateCommand();
    CloseMapping();
}

void RegisterMappingProviders() {
    StopStatisticsProgramHook = &StopStatisticsProgram;
    SignalStatisticsProgramEndHook = &SignalStatisticsProgramEnd;
}

bool StartStatisticsProgram(const std::wstring& Path, UniqueHandle& Process, DWORD& Error) {
    const std::wstring parameters = AnsiToWide(VslParentSwitch) + std::to_wstring(GetCurrentProcessId());
    SHELLEXECUTEINFOW sei = StatisticsProgramStartInfo(Path, parameters);
    const bool started = ShellExecuteExW(&sei) != FALSE;
    Error = started ? 0 : GetLastError();
    Process.reset(started ? sei.hProcess : nullptr);
    return started;
}

TStatisticsProgramStart StatisticsProgramStart = &StartStatisticsProgram;

// ---------------------------------------------------------------------------------------
// Interpretation

std::uint32_t HeartbeatAge(std::uint32_t NowTick, std::uint32_t BeatTick) {
    return CheckedSub<std::uint32_t>(NowTick / 1000, BeatTick / 1000);
}

SHELLEXECUTEINFOW StatisticsProgramStartInfo(const std::wstring& Path, const std::wstring& Parameters) {
    SHELLEXECUTEINFOW sei{};
    sei.cbSize = sizeof sei;
    sei.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOZONECHECKS | SEE_MASK_NOCLOSEPROCESS;
    sei.lpVerb = L"open";
    sei.lpFile = Path.c_str();
    sei.lpParameters = Parameters.c_str();
    sei.nShow = SW_HIDE;
    return sei;
}

bool StatisticsProgramCanRun(bool ProcessIs64Bit, bool RunsUnderWow64) { return ProcessIs64Bit || RunsUnderWow64; }

TLaunchOutcome LaunchOutcomeOf(const TLaunchFacts& Facts) {
    if (!Facts.Started) return TLaunchOutcome::Failed;
    if (Facts.Served) return TLaunchOutcome::Served;
    if (Facts.ToldToEnd) return TLaunchOutcome::Withdrawn;
    if (Facts.HasProcess) return Facts.ProcessEnded ? TLaunchOutcome::Failed : TLaunchOutcome::Pending;
    return Facts.AreaMissing ? TLaunchOutcome::Failed : TLaunchOutcome::Pending;
}

TLaunchRecord RecordLaunchOutcome(TLaunchRecord Record, TLaunchOutcome Outcome, std::uint64_t NowTick) {
    if (Outcome == TLaunchOutcome::Served) return TLaunchRecord{};
    if (Outcome == TLaunchOutcome::Failed) {
        if (Record.Failures < UINT32_MAX) ++Record.Failures;
        Record.LastFailure = NowTick;
    }
    return Record;
}

std::uint64_t LaunchPauseMs(std::uint32_t Failures) {
    if (Failures == 0) return 0;
    std::uint64_t pause = LaunchFirstPauseMs;
    for (std::uint32_t i = 1; i < Failures && pause < LaunchLongestPauseMs; ++i) pause *= 2;
    return pause < LaunchLongestPauseMs ? pause : LaunchLongestPauseMs;
}

bool LaunchAllowed(bool LaunchPending, const TLaunchRecord& Record, std::uint64_t NowTick) {
    if (LaunchPending) return false;
    if (!Record.LastFailure) return true;
    // A clock that reads earlier than the failure (it cannot, but a wrong reading must not
    // stop the launches for good) allows the launch.
    return NowTick < *Record.LastFailure || NowTick - *Record.LastFailure >= LaunchPauseMs(Record.Failures);
}

int FindNameSlot(const TVslSystemArea& Area, const std::wstring& Name) {
    // An empty name would find a free slot.
    if (Name.empty()) return -1;
    for (std::size_t i = 0; i < VslMonitorSlots; ++i)
        if (VslNameText(Area.MonitorNames[i]) == Name) return static_cast<int>(i);
    return -1;
}

int RegisterNameSlot(TVslSystemArea& Area, const std::wstring& Name) {
    // A longer name would be cut in its slot, never found there again and registered
    // anew on every call until all slots were taken.
    if (Name.empty() || Name.size() > VslMaxNameLength) return -1;
    for (std::size_t i = 0; i < VslMonitorSlots; ++i)
        if (Area.MonitorNames[i][0] == L'\0') {
            VslSetName(Area.MonitorNames[i], Name);
            return static_cast<int>(i);
        }
    return -1;
}

namespace {
std::string LowerAnsi(std::string s) {
    if (!s.empty()) CharLowerBuffA(s.data(), static_cast<DWORD>(s.size()));
    return s;
}
}  // namespace

bool MonitorRecordIsFor(const TVslProcessMonitor& Record, const std::wstring& Name) {
    return LowerAnsi(WideToAnsi(VslNameText(Record.Name))) == LowerAnsi(WideToAnsi(Name));
}
