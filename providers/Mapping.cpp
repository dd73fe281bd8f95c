// The client of Vistrel64's shared areas. Platform calls (open, map, start the collector)
// at the top; the interpretation of the areas below as plain functions.
#include "Mapping.h"

#include <shellapi.h>

#include <cstring>
#include <mutex>

#include "Checked.h"
#include "Errors.h"
#include "Log.h"
#include "MainLoop.h"
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

// Serialises the collection thread's readers and the window thread's reload and end.
std::recursive_mutex mappingLock;
TAreaView systemArea, topWsArea, topPuArea, monitorArea;

// The collector this program launched last, while it may still be running, and whether
// its areas were opened since; the time of the last launch that came to nothing.
UniqueHandle launchedCollector;
bool launchedCollectorServed = false;
std::optional<std::uint64_t> lastFailedLaunch;
// Whether this program has opened or launched a collector since it last told one to end:
// only then does the terminate command go out when the system area is not held.
bool collectorInUse = false;

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

// Starts the collector hidden, without any message box of the shell's own, naming this
// process as the one whose end ends it too. False when the shell could not start it;
// Process receives the collector's process handle when the shell gives one.
bool StartStatisticsProgram(const std::wstring& Path, UniqueHandle& Process) {
    const std::wstring parameters = AnsiToWide(VslParentSwitch) + std::to_wstring(GetCurrentProcessId());
    SHELLEXECUTEINFOW sei{};
    sei.cbSize = sizeof sei;
    sei.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOCLOSEPROCESS;
    sei.lpVerb = L"open";
    sei.lpFile = Path.c_str();
    sei.lpParameters = parameters.c_str();
    sei.nShow = SW_HIDE;
    const bool started = ShellExecuteExW(&sei) != FALSE;
    Process.reset(started ? sei.hProcess : nullptr);
    return started;
}

bool LaunchedCollectorRunning() {
    return launchedCollector.valid() && WaitForSingleObject(launchedCollector.get(), 0) == WAIT_TIMEOUT;
}

// Forgets a launched collector that has ended; one that ended before its areas were
// opened is a failed launch.
void NoteLaunchedCollectorEnd() {
    if (!launchedCollector.valid() || LaunchedCollectorRunning()) return;
    if (!launchedCollectorServed) lastFailedLaunch = GetTickCount64();
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
    std::lock_guard guard(mappingLock);
    Record.reset();
    bool result = false;
    if (ConnectServer()) {
        Record = CopyOf<TVslTopProcess>(Area);
        result = true;
    }
    MapLog(std::wstring(L"Mapping: ") + LogTag + L" " + BoolToText(result));
    return result;
}

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
    if (systemArea.View.valid()) {
        collectorInUse = true;
        if (launchedCollector.valid()) launchedCollectorServed = true;
    }
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
    if (SystemHeld()) {
        SystemView()->Command = VslTerminateCommand;
    } else if (collectorInUse) {
        // The views were closed after an error or a stale heartbeat while the collector may
        // still run: reach it through its area by name.
        TAreaView area;
        area.Handle.reset(OpenMappingFile(VslSystemAreaName));
        if (area.Handle.valid())
            area.View.reset(MapViewOfFile(area.Handle.get(), FILE_MAP_ALL_ACCESS, 0, 0, VslSystemAreaSize));
        if (area.View.valid()) static_cast<volatile TVslSystemArea*>(area.Data())->Command = VslTerminateCommand;
    }
    collectorInUse = false;
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
    return age <= HeartbeatMaxAge;
}

bool ConnectServer() {
    std::lock_guard guard(mappingLock);
    MapLog(L"Mapping: ConnectServer");
    try {
        if (SystemHeld()) {
            if (Heartbeat()) {
                MapMissingDataViews();
                return true;
            }
            CloseMapping();
        }
        CreateSystemMapView();
        if (!systemArea.Handle.valid()) {
            const std::wstring path = StatisticsProgramPath();
            if (!FileExists(path)) return false;
            NoteLaunchedCollectorEnd();
            const bool running = LaunchedCollectorRunning();
            if (!LaunchAllowed(running, lastFailedLaunch, GetTickCount64())) {
                MapLog(L"Mapping: ConnectServer Map Server not started again" +
                       (running ? std::wstring(L": the last one still runs")
                                : L" within " + std::to_wstring(LaunchRetryDelayMs / 1000) + L" s of a failed start"));
                return false;
            }
            launchedCollectorServed = false;
            collectorInUse = true;
            if (!StartStatisticsProgram(path, launchedCollector)) lastFailedLaunch = GetTickCount64();
            constexpr int attempts = 10;
            int attempt = 1;
            for (; attempt <= attempts; ++attempt) {
                Sleep(10);
                CreateSystemMapView();
                if (systemArea.Handle.valid()) break;
            }
            if (attempt > attempts) {
                MapLog(L"Mapping: ConnectServer Map Server failed after " + std::to_wstring(attempts) + L" tries");
                NoteLaunchedCollectorEnd();
                CloseMapping();
                return false;
            }
            MapLog(L"Mapping: ConnectServer Map Server started after " + std::to_wstring(attempt) + L" tries");
        }
        if (SystemHeld() && Heartbeat()) {
            MapMissingDataViews();
            return true;
        }
        MapLog(L"Mapping: ConnectServer Map Server failed to start");
        return false;
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
    std::lock_guard guard(mappingLock);
    Record.reset();
    bool result = false;
    std::wstring step = L"connect";
    try {
        if (ConnectServer()) {
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

void RegisterMappingProviders() { StopStatisticsProgramHook = &StopStatisticsProgram; }

// ---------------------------------------------------------------------------------------
// Interpretation

std::uint32_t HeartbeatAge(std::uint32_t NowTick, std::uint32_t BeatTick) {
    return CheckedSub<std::uint32_t>(NowTick / 1000, BeatTick / 1000);
}

bool LaunchAllowed(bool LaunchedRunning, std::optional<std::uint64_t> LastFailure, std::uint64_t NowTick) {
    if (LaunchedRunning) return false;
    // A clock that reads earlier than the failure (it cannot, but a wrong reading must not
    // stop the launches for good) allows the launch.
    return !LastFailure || NowTick < *LastFailure || NowTick - *LastFailure >= LaunchRetryDelayMs;
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
