// Per-process monitors for the PROCESSMEM item: one TProcessMonitor per running process
// of a watched file name, keeping the process's and the system's CPU times between two
// collections, and the memory and handle counters of its last update. Also the process
// enumeration and naming shared with the other process items.
#pragma once

#include <windows.h>
#include <psapi.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ItemTypes.h"
#include "ProcessFigures.h"
#include "ProcessIds.h"
#include "SharedAreas.h"
#include "WinHandles.h"

// ---- the platform -----------------------------------------------------------------------

// Functions this unit binds by name at start; an empty entry takes its fallback.
struct TProcessMonitorApis {
    BOOL(WINAPI* GetSystemTimes)(LPFILETIME, LPFILETIME, LPFILETIME) = nullptr;
    BOOL(WINAPI* EnumProcesses)(DWORD*, DWORD, DWORD*) = nullptr;
    BOOL(WINAPI* QueryFullProcessImageNameW)(HANDLE, DWORD, LPWSTR, PDWORD) = nullptr;
    DWORD(WINAPI* GetProcessImageFileNameW)(HANDLE, LPWSTR, DWORD) = nullptr;
    BOOL(WINAPI* GetProcessHandleCount)(HANDLE, PDWORD) = nullptr;
};
// Written by LoadProcessMonitorApis only (at start, before the collection thread runs).
extern TProcessMonitorApis ProcessMonitorApis;
void LoadProcessMonitorApis();

// One enumeration: the ids in the order the system gave them, all of them.
using TProcessIdList = std::vector<DWORD>;
// Enumerates into Ids, growing the list until it holds every id; false (Ids empty) when
// the call fails or the function is missing.
bool EnumProcessIds(TProcessIdList& Ids, TEnumProcessesFunction Enum = ::EnumProcesses);
// Whether Id is among the enumerated ids.
bool ProcessIdListed(const TProcessIdList& Ids, DWORD Id);

// The rights asked for, in order, to read a process's times, name and counters: query
// information and VM read, limited query information and VM read, and limited query
// information alone. Windows refuses VM read to an unelevated program for services,
// elevated and protected processes, and grants them limited query information, which
// suffices for their times and image names, and on current systems for their memory
// counters; what a system still refuses with it stays unread.
inline constexpr std::array<DWORD, 3> ProcessQueryAccess = {
    PROCESS_QUERY_INFORMATION | PROCESS_VM_READ,          // 0x410
    PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ,  // 0x1010
    PROCESS_QUERY_LIMITED_INFORMATION,                    // 0x1000
};
// The shape of OpenProcess.
using TOpenProcessFunction = HANDLE(WINAPI*)(DWORD Access, BOOL Inherit, DWORD ProcessId);
// Opens a process, not inheritable, with the first of ProcessQueryAccess that Open
// grants. Not valid when none is granted; the last error is then the last refusal's.
UniqueHandle OpenProcessForQuery(DWORD ProcessId, TOpenProcessFunction Open = ::OpenProcess);
// The open the process items use (OpenProcess); tests put in one that refuses as Windows
// refuses an unelevated program.
extern TOpenProcessFunction ProcessOpenFunction;

// The image-name functions tried in order; only the first one present is called.
struct TImageNameFunctions {
    BOOL(WINAPI* QueryFullProcessImageNameW)(HANDLE, DWORD, LPWSTR, PDWORD) = nullptr;
    DWORD(WINAPI* GetProcessImageFileNameW)(HANDLE, LPWSTR, DWORD) = nullptr;
    DWORD(WINAPI* GetProcessImageFileNameA)(HANDLE, LPSTR, DWORD) = nullptr;
};
// A process's file name in the 8-bit code page: "System" for ids 4 and 8; else the first
// present function of Functions (its result is not tested: a failed call leaves the name
// empty); with none present the module file name, wide then 8-bit. ErrorText receives
// the system's message when no way gave a name, else it is emptied.
std::string ProcessFileName(HANDLE Process, DWORD ProcessId, const TImageNameFunctions& Functions,
                            std::string& ErrorText);
// The part of a path after its last backslash or colon.
std::string FileNameOfPath(const std::string& Path);

// The functions this unit bound (QueryFullProcessImageNameW, GetProcessImageFileNameW).
void GetProcessName(HANDLE Process, DWORD ProcessId, std::string& ErrorText, std::string& FileName);
// The image-name functions of GetProcessName.
TImageNameFunctions ProcessMonitorNameFunctions();

// The Wanted figures of one process (TProcessFigure bits): through a handle opened with
// ProcessOpenFunction (its name through Names; ids 4 and 8 are "System"), then, when
// something wanted is missing (a refused open, a failed call, no name), completed from
// List's record of the process. Error holds the code of the first open or call that
// failed.
TProcessFigures ReadProcessFigures(DWORD ProcessId, unsigned Wanted, const TImageNameFunctions& Names,
                                   TProcessListOnDemand& List);
// The system's message for the thread's last error, 8-bit and trimmed.
std::string GetLastErrorMessage();

// ---- the monitors -----------------------------------------------------------------------

// One watched process. Times are in 100-ns units.
struct TProcessMonitor {
    std::string Name;
    DWORD ProcessId = 0;
    std::uint64_t KernelTime = 0, UserTime = 0, TotalTime = 0;
    std::uint64_t PrevKernelTime = 0, PrevUserTime = 0, PrevTotalTime = 0;
    std::uint64_t SystemKernelTime = 0, SystemUserTime = 0, SystemIdleTime = 0;  // kernel includes idle
    std::uint64_t TickTime = 0;  // GetTickCount x 10000, when the system times are not usable
    std::uint64_t PrevSystemKernelTime = 0, PrevSystemUserTime = 0, PrevSystemIdleTime = 0;
    std::uint64_t PrevTickTime = 0;
    std::uint64_t WorkingSetSize = 0, PagefileUsage = 0;
    DWORD PageFaultCount = 0, HandleCount = 0;

    // Reads the system times, the process times and the counters (their codes unused);
    // empties the unit's error text first. What the process refuses comes from List.
    void Update(TProcessListOnDemand& List);
    // Reads the process's handle count and memory counters, through its handle or else
    // from List: 0, or the error code when neither gave the counters (they then stay).
    DWORD UpdateMemory(TProcessListOnDemand& List);
    // The share of CPU time since the previous update in percent, rounded half up: of
    // elapsed time when the tick fallback has run twice, else of all processors' time;
    // 0 before the second update and when no time elapsed since the previous one; never
    // below 0 (a tick count that wrapped, a process clock behind the system's).
    std::int32_t CpuPercent() const;
};

// Previous := current system times, then new ones from GetSystemTimes; 0, or the error
// code after which the tick fallback was used.
DWORD UpdateSystemTimes(TProcessMonitor& Monitor);
// Previous := current process times, then new ones, through the process's handle or else
// from List; 0 or the error code (times kept).
DWORD UpdateProcessTimes(TProcessMonitor& Monitor, TProcessListOnDemand& List);

// Sums over the monitors of one name: 64-bit in every build, since the processes of one
// name pass 4 GiB together long before one of them does.
struct TProcessStats {
    std::int32_t CpuPercent = 0;
    std::uint64_t WorkingSetSize = 0, PagefileUsage = 0;
    std::uint64_t PageFaultCount = 0, HandleCount = 0;
};
// Adds one monitor's counters and CPU share to Sum; a sum that does not fit raises
// EIntOverflow and leaves Sum as it was.
void AddProcessStats(TProcessStats& Sum, const TProcessMonitor& Monitor, std::int32_t CpuPercent);

// A process seen by one enumeration; Name is empty when neither its handle nor the
// system's list named it.
struct TNamedProcess {
    DWORD ProcessId = 0;
    std::string Name;
};

// The monitors in order of creation.
class TProcessMonitors {
public:
    // The index of the first monitor with that id; a new monitor is appended when none.
    std::size_t AddProcess(const std::string& Name, DWORD ProcessId);
    // Frees every monitor with that id; the others keep their order.
    void RemoveProcess(DWORD ProcessId);
    // Updates every monitor of the name (ASCII letters compared ignoring case) and sums
    // its values.
    TProcessStats GetProcessStats(const std::string& Name, TProcessListOnDemand& List);
    // Adds monitors for the processes of Name and removes those of processes that are
    // gone (of every name), from the last monitor to the first. A process id now held by
    // a process of another name counts as gone: its monitor watched a process that ended.
    void ApplyEnumeration(const std::string& Name, const std::vector<TNamedProcess>& Processes);

    std::vector<TProcessMonitor>& Items() { return items_; }
    void Clear() { items_.clear(); }

private:
    std::vector<TProcessMonitor> items_;
};

// Used by the collection thread only.
extern TProcessMonitors ProcessMonitors;
// What the last TProcessMonitor::Update recorded of its failures.
extern std::string ProcessMonitorErrorText;

// Enumerates the processes and brings Monitors in step with those of Name; a process
// that cannot be opened or named is named from List.
void RefreshList(TProcessMonitors& Monitors, const std::string& Name, TProcessListOnDemand& List);

// The values of one PROCESSMEM row, from the monitors or from the collector's record.
struct TProcessMemoryValues {
    std::uint64_t WorkingSetSize = 0, PagefileUsage = 0, PageFaultCount = 0, PrivateUsage = 0;
    std::uint64_t HandleCount = 0, ThreadCount = 0;
};
// The sums of the collector's record of one name.
TProcessMemoryValues ProcessMemoryValuesOf(const TVslProcessMonitor& Record);
// working set, page file usage, page faults (currency), cpu (integer), private usage,
// handles, threads (currency).
TVarArray ProcessMemoryRow(const TProcessMemoryValues& Values, std::int32_t CpuPercent);

// The PROCESSMEM routine.
void GetProcessMemory(TItemOptionArray Options, TItemData& Data, std::wstring& Display);

// At program end: frees the monitors and the error text.
void FinalizeProcessMonitors();
