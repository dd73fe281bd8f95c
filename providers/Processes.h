// Gathering routines for the running processes: TOPPROCESSCPU, PROCESSCOUNT,
// TOPPROCESSMEM and TOPPROCESSPF (PROCESSMEM lives in ProcessMonitor). Two of them keep
// per-process histories between collections. A process that refuses to be opened, or
// has no image to be named by, is read from the system's process list.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ItemTypes.h"
#include "ProcessMonitor.h"

// ---- the gathering routines -------------------------------------------------------------
void GetTopProcessCpu(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetProcessCount(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetTopProcessMem(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetTopProcessPf(TItemOptionArray Options, TItemData& Data, std::wstring& Display);

// Enters the four routines and PROCESSMEM into ItemTypeTable and binds the functions of
// the process monitors.
void RegisterProcessProviders();
// At program end: empties both histories and the process monitors.
void FinalizeProcessProviders();

// The file name of a process through the image-name functions bound at start.
void GetProcessImageName(HANDLE Process, DWORD ProcessId, std::wstring& ErrorText, std::string& FileName);

// ---- CPU shares -------------------------------------------------------------------------

// One process of the CPU history; process id 0 marks a free entry. Times in 100-ns units.
struct TProcessItem {
    std::string Name;
    DWORD ProcessId = 0;
    std::uint64_t PrevProcessUser = 0, PrevProcessKernel = 0, PrevSystemUser = 0, PrevSystemKernel = 0;
    long double CpuPercent = 0;
};
// Shared by every TOPPROCESSCPU item; entries are reused, never removed.
extern std::vector<TProcessItem> ProcessCpuHistory;

// Records one sample: an entry of that id gets the share of all processors' time since
// its previous sample; a new process takes the first free entry (or a new one) with share
// 0. A known id now sampled under another name belongs to a new process and starts
// afresh in its entry. Answers the entry's index.
std::size_t StoreProcessCpuSample(std::vector<TProcessItem>& History, const std::string& Name, DWORD ProcessId,
                                  std::uint64_t ProcessUser, std::uint64_t ProcessKernel, std::uint64_t SystemUser,
                                  std::uint64_t SystemKernel);
// Frees every entry whose process is not among Ids (name emptied, share 0, times kept).
void PruneProcessCpuHistory(std::vector<TProcessItem>& History, const TProcessIdList& Ids);
// The first named entry with the largest share above 0, or -1.
long long TopCpuEntry(const std::vector<TProcessItem>& History);

// ---- page faults ------------------------------------------------------------------------

struct TProcessItemPf {
    std::string Name;
    DWORD ProcessId = 0;
    long double Current = 0, Previous = 0;
};
// Shared by every TOPPROCESSPF item; entries of ended processes are removed.
extern std::vector<TProcessItemPf> ProcessPfHistory;

// previous := current, current := Count for the entry of that id; a new process is
// appended with both counts equal (it starts at 0 faults). A known id now sampled under
// another name starts afresh the same way.
void StoreProcessPfSample(std::vector<TProcessItemPf>& History, const std::string& Name, DWORD ProcessId,
                          DWORD Count);
// Removes every entry whose process is not among Ids.
void PruneProcessPfHistory(std::vector<TProcessItemPf>& History, const TProcessIdList& Ids);
// The first named entry with the largest difference above 0, or -1.
long long TopPfEntry(const std::vector<TProcessItemPf>& History);

// ---- memory -----------------------------------------------------------------------------

// The counters of one process of the own pass.
struct TProcessMemorySample {
    std::string Name;
    DWORD ProcessId = 0;
    std::uint64_t WorkingSetSize = 0, PagefileUsage = 0;
};
// The answer of TOPPROCESSMEM: empty name, 0 and 0 when nothing was found.
struct TTopProcess {
    std::string Name;
    DWORD ProcessId = 0;
    std::uint64_t Value = 0;
};
// The first named sample with the largest working set ("ws") or page-file usage ("pu");
// any other counter compares nothing. A sample without a name is never the answer, as in
// the CPU and page-fault histories.
TTopProcess TopMemoryOf(const std::vector<TProcessMemorySample>& Samples, const std::wstring& Counter);
// The collector's top record: its file name (at most its 100 units), id, and working set
// or private usage.
TTopProcess TopProcessOfRecord(const TVslTopProcess& Record, bool WorkingSet);
// process (text), pid (currency), mem (currency).
TVarArray TopProcessMemRow(const TTopProcess& Top);
