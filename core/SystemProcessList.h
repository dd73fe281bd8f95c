// The system's process list: what NtQuerySystemInformation(SystemProcessInformation)
// answers in one call for every running process, without opening any of them. Windows
// refuses an unelevated program even limited query rights for some processes (services,
// the System process, protected ones); the list still holds their name, id, CPU times,
// memory counters, handle and thread count. Shared by Vistrel's process items and by
// Vistrel64.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One process of the list. Times in 100-ns units, sizes in bytes.
struct TListedProcess {
    std::uint32_t ProcessId = 0;
    // The image file name without its folder ("svchost.exe", "System", "Memory
    // Compression"); empty for the idle process and for a name the record does not hold
    // within the list.
    std::wstring ImageName;
    std::uint64_t UserTime = 0, KernelTime = 0;
    std::uint64_t WorkingSetSize = 0, PagefileUsage = 0, PrivatePageCount = 0;
    std::uint32_t PageFaultCount = 0, HandleCount = 0, ThreadCount = 0;
};

// The two shapes of a record: pointer-sized fields are 4 bytes in a 32-bit process (also
// under WOW64, whose ntdll hands the 32-bit shape) and 8 bytes in a 64-bit one.
enum class TProcessListLayout { Bits32, Bits64 };
inline constexpr TProcessListLayout NativeProcessListLayout =
    sizeof(void*) == 8 ? TProcessListLayout::Bits64 : TProcessListLayout::Bits32;

// Where the fields this program reads lie in a record of one layout.
struct TProcessRecordFields {
    std::size_t NextEntryOffset, NumberOfThreads, UserTime, KernelTime;
    std::size_t ImageNameLength, ImageNameBuffer, UniqueProcessId, HandleCount;
    std::size_t PageFaultCount, WorkingSetSize, PagefileUsage, PrivatePageCount;
    std::size_t PointerSize;  // of the name pointer, the process id and the sizes
    std::size_t RecordSize;   // the fixed part, before the record's thread entries
};
const TProcessRecordFields& ProcessRecordFieldsOf(TProcessListLayout Layout);

// Reads the chain of records in Size bytes at Bytes, which the process that asked for the
// list saw at address Base (the name pointers point there). Starts at the first record
// and follows NextEntryOffset until it is 0. Stops before a record whose fixed part does
// not fit in the buffer, and after one whose next offset is shorter than a record or
// leads past the end. A name whose pointer and length do not lie within the buffer (or
// whose length is odd) is left empty; a record whose id does not fit 32 bits is skipped.
std::vector<TListedProcess> ParseProcessList(const std::uint8_t* Bytes, std::size_t Size, std::uint64_t Base,
                                             TProcessListLayout Layout);

// The shape of NtQuerySystemInformation.
using TNtQuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

// Asks Query for the list, growing the buffer while the call answers that it is too
// small, and parses it in the layout of this process. False (Processes empty) when Query
// is missing or the call fails.
bool ReadProcessList(TNtQuerySystemInformation Query, std::vector<TListedProcess>& Processes);

// The processes of one list by id.
class TSystemProcessList {
public:
    TSystemProcessList() = default;
    explicit TSystemProcessList(std::vector<TListedProcess> Processes);
    // The record of the process, or null when the list holds none.
    const TListedProcess* Find(std::uint32_t ProcessId) const;
    const std::vector<TListedProcess>& Processes() const { return processes_; }

private:
    std::vector<TListedProcess> processes_;  // sorted by id
};
