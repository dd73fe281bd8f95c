#include "Collector.h"

#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "ProcessIds.h"
#include "SystemProcessList.h"
#include "WinHandles.h"

namespace vistrel64 {

TVslSystemArea* SystemArea = nullptr;
TVslTopProcess* TopProcessWsArea = nullptr;
TVslTopProcess* TopProcessPuArea = nullptr;
TVslProcessMonitor (*ProcessMonitorArea)[VslMonitorSlots] = nullptr;
TProcessTable ProcessTable;

namespace {

// Handle and view of one area; both live until CloseAreas.
struct TArea {
    UniqueHandle Mapping;
    UniqueView View;
};
TArea systemArea, topWsArea, topPuArea, monitorArea;

constexpr DWORD PassInterval = 5000;

void DebugOutput(const char* Text, DWORD Error) {
    const std::string line = Text + std::to_string(Error);
    OutputDebugStringA(line.c_str());
}

// Creates or opens the area and maps Size bytes. Existed tells whether it was there.
int CreateArea(TArea& Area, const char* Name, DWORD Size, const char* ViewFailureText, bool& Existed) {
    UniqueHandle mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, Size, Name));
    const DWORD error = GetLastError();
    Existed = error == ERROR_ALREADY_EXISTS;
    if (!mapping.valid()) {
        DebugOutput("VSL64: Could not create mapping file: ", error);
        return 1;
    }
    UniqueView view(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, Size));
    if (!view.valid()) {
        DebugOutput(ViewFailureText, GetLastError());
        return 1;
    }
    Area.Mapping = std::move(mapping);
    Area.View = std::move(view);
    return 0;
}

void* ViewOf(TArea& Area) { return const_cast<void*>(Area.View.get()); }

int CreateDataArea(TArea& Area, const char* Name, DWORD Size, const char* ViewFailureText) {
    bool existed = false;
    if (CreateArea(Area, Name, Size, ViewFailureText, existed)) return 1;
    // An area that a Vistrel still holds from an ended collector keeps its contents.
    if (!existed) std::memset(ViewOf(Area), 0, Size);
    return 0;
}

// What the handle of one process gives; an entry that cannot be read stays zero.
TOpenedProcess ReadOpenedProcess(DWORD Id) {
    TOpenedProcess opened;
    TProcessStats& entry = opened.Entry;
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, Id));
    if (!process.valid()) return opened;
    PROCESS_MEMORY_COUNTERS_EX counters{};
    wchar_t image[MAX_PATH] = {};
    if (GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters)) {
        const DWORD length = GetProcessImageFileNameW(process.get(), image, MAX_PATH);
        if (length > 0) {
            entry.FileName = FileNameOfImage(std::wstring(image, length < MAX_PATH ? length : MAX_PATH));
            entry.ProcessId = Id;
            entry.WorkingSetSize = counters.WorkingSetSize;
            entry.PageFaultCount = counters.PageFaultCount;
            entry.PagefileUsage = counters.PagefileUsage;
            entry.PrivateUsage = counters.PrivateUsage;
        }
    }
    DWORD handles = 0;
    if (GetProcessHandleCount(process.get(), &handles)) {
        entry.HandleCount = handles;
        opened.HandleCountRead = true;
    }
    return opened;
}

TNtQuerySystemInformation SystemInformationFunction() {
    static const auto query = reinterpret_cast<TNtQuerySystemInformation>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    return query;
}

// The statistics of one process: its handle's, completed from the system's process list
// (read once per pass, on first need) where the handle gave nothing.
TProcessStats ReadProcess(DWORD Id, std::optional<TSystemProcessList>& List) {
    const TOpenedProcess opened = ReadOpenedProcess(Id);
    if (Id == 0 || (opened.Entry.ProcessId != 0 && opened.HandleCountRead)) return opened.Entry;
    if (!List) {
        std::vector<TListedProcess> processes;
        ReadProcessList(SystemInformationFunction(), processes);
        List.emplace(std::move(processes));
    }
    return CompleteFromList(opened, Id, List->Find(Id));
}

// The owner process id of every thread in the system; empty when no snapshot is had.
std::vector<std::uint32_t> ThreadOwners() {
    std::vector<std::uint32_t> owners;
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot.valid()) return owners;
    THREADENTRY32 thread{};
    thread.dwSize = sizeof thread;
    for (BOOL more = Thread32First(snapshot.get(), &thread); more; more = Thread32Next(snapshot.get(), &thread))
        owners.push_back(thread.th32OwnerProcessID);
    return owners;
}

}  // namespace

int EnableDebugPrivilege() {
    LUID luid{};
    if (!LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &luid)) {
        std::fprintf(stderr, "Could not acquire debug-privilege name: %lu\n", GetLastError());
        return 1;
    }
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &raw)) {
        std::fprintf(stderr, "Could not acquire process token: %lu\n", GetLastError());
        return 1;
    }
    UniqueHandle token(raw);
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = luid;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!AdjustTokenPrivileges(token.get(), FALSE, &privileges, sizeof privileges, nullptr, nullptr)) {
        std::fprintf(stderr, "Could not enable debug privilege: %lu\n", GetLastError());
        return 1;
    }
    return 0;
}

int CreateSystemArea() {
    bool existed = false;
    if (CreateArea(systemArea, VslSystemAreaName, VslSystemAreaSize, "VSL64: VslSystem: ", existed)) return 1;
    SystemArea = static_cast<TVslSystemArea*>(ViewOf(systemArea));
    // The name slots survive a restart: Vistrel registered them for the collector.
    SystemArea->Command = 0;
    SystemArea->Reserved = 0;
    SystemArea->HeartbeatTick = 0;
    return 0;
}

int CreateTopProcessWsArea() {
    if (CreateDataArea(topWsArea, VslTopProcessWsAreaName, VslTopProcessAreaSize, "VSL64: VslTopProcessWs: ")) return 1;
    TopProcessWsArea = static_cast<TVslTopProcess*>(ViewOf(topWsArea));
    return 0;
}

int CreateTopProcessPuArea() {
    if (CreateDataArea(topPuArea, VslTopProcessPuAreaName, VslTopProcessAreaSize, "VSL64: VslTopProcessPu: ")) return 1;
    TopProcessPuArea = static_cast<TVslTopProcess*>(ViewOf(topPuArea));
    return 0;
}

int CreateProcessMonitorArea() {
    if (CreateDataArea(monitorArea, VslProcessMonitorAreaName, VslProcessMonitorAreaSize,
                       "VSL64: VslProcessMonitors: "))
        return 1;
    ProcessMonitorArea = static_cast<TVslProcessMonitor(*)[VslMonitorSlots]>(ViewOf(monitorArea));
    return 0;
}

void CloseAreas() {
    for (TArea* area : {&systemArea, &topWsArea, &topPuArea, &monitorArea}) {
        area->Mapping.reset();
        area->View.reset();
    }
    SystemArea = nullptr;
    TopProcessWsArea = TopProcessPuArea = nullptr;
    ProcessMonitorArea = nullptr;
}

void CollectProcesses() {
    ProcessTable.clear();
    std::vector<DWORD> ids;
    if (!EnumerateProcessIds(&EnumProcesses, ids)) return;
    TProcessTable table;
    table.reserve(ids.size());
    std::optional<TSystemProcessList> list;
    for (const DWORD id : ids) table.push_back(ReadProcess(id, list));
    CountThreads(table, ThreadOwners());
    ProcessTable = std::move(table);
}

void PublishTopProcesses() { PublishTopProcesses(ProcessTable, *TopProcessWsArea, *TopProcessPuArea); }

void PublishProcessMonitors() { PublishProcessMonitors(ProcessTable, *SystemArea, *ProcessMonitorArea); }

bool TerminateRequested() {
    // Vistrel writes the word from its own process.
    return static_cast<volatile TVslSystemArea*>(SystemArea)->Command == VslTerminateCommand;
}

std::uint32_t ParentProcessIdOf(const std::string& CommandLine) {
    const std::size_t at = CommandLine.find(VslParentSwitch);
    if (at == std::string::npos) return 0;
    std::uint64_t id = 0;
    std::size_t i = at + std::strlen(VslParentSwitch);
    const std::size_t first = i;
    for (; i < CommandLine.size() && CommandLine[i] >= '0' && CommandLine[i] <= '9'; ++i) {
        id = id * 10 + static_cast<std::uint64_t>(CommandLine[i] - '0');
        if (id > 0xFFFFFFFFu) return 0;
    }
    // The number must end the switch: "/parent=12x" names no process.
    if (i == first || (i < CommandLine.size() && CommandLine[i] != ' ' && CommandLine[i] != '\t')) return 0;
    return static_cast<std::uint32_t>(id);
}

namespace {

// The Vistrel that started the collector, when the command line names one. Not valid
// when none is named, or when it may not be watched (the collector then runs until the
// terminate command). Gone tells that the named process has ended already.
UniqueHandle OpenParent(const std::string& CommandLine, bool& Gone) {
    Gone = false;
    const DWORD id = ParentProcessIdOf(CommandLine);
    if (id == 0) return UniqueHandle();
    UniqueHandle parent(OpenProcess(SYNCHRONIZE, FALSE, id));
    if (!parent.valid()) Gone = GetLastError() != ERROR_ACCESS_DENIED;
    return parent;
}

// Sleeps between passes; true when the parent ended meanwhile.
bool ParentEndedDuringSleep(const UniqueHandle& Parent) {
    if (Parent.valid()) {
        const DWORD waited = WaitForSingleObject(Parent.get(), PassInterval);
        if (waited == WAIT_OBJECT_0) return true;
        if (waited == WAIT_TIMEOUT) return false;
    }
    Sleep(PassInterval);
    return false;
}

}  // namespace

int RunCollector(const std::string& CommandLine) {
    if (EnableDebugPrivilege()) return 1;
    bool parentGone = false;
    const UniqueHandle parent = OpenParent(CommandLine, parentGone);
    if (parentGone) return 0;
    if (CreateSystemArea() || CreateTopProcessWsArea() || CreateTopProcessPuArea() || CreateProcessMonitorArea())
        return 1;
    while (true) {
        CollectProcesses();
        PublishTopProcesses();
        PublishProcessMonitors();
        if (TerminateRequested()) break;
        static_cast<volatile TVslSystemArea*>(SystemArea)->HeartbeatTick = GetTickCount();
        if (ParentEndedDuringSleep(parent)) break;
    }
    CloseAreas();
    return 0;
}

}  // namespace vistrel64
