// The four named shared-memory areas that Vistrel64 publishes and Vistrel reads: their
// names, sizes and byte layouts. Both programs include this header; nothing else defines
// them.
//
// Each area is a paging-file mapping created by Vistrel64 in the local namespace. All
// integers are little-endian and the records are packed, so the 64-bit fields lie on
// 4-byte boundaries only. Text is UTF-16, zero-terminated inside its fixed field: a name
// field holds at most 99 units and a zero unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

static_assert(sizeof(wchar_t) == 2, "the name fields hold UTF-16 units");

// Units of every name field (text and its terminating zero).
inline constexpr std::size_t VslNameUnits = 100;
// The longest name a field holds whole.
inline constexpr std::size_t VslMaxNameLength = VslNameUnits - 1;
// Name slots in the system area, and monitor records in the monitor area.
inline constexpr std::size_t VslMonitorSlots = 10;

// The value of Command that tells Vistrel64 to end after its current pass.
inline constexpr std::uint32_t VslTerminateCommand = 1;

// Vistrel starts Vistrel64 with this switch followed by its own process id in decimal;
// Vistrel64 ends by itself once that process has ended.
inline constexpr char VslParentSwitch[] = "/parent=";

// Mapping names (8-bit: both sides use the A functions).
inline constexpr char VslSystemAreaName[] = "VslSystemArea";
inline constexpr char VslTopProcessWsAreaName[] = "VslTopProcessWsArea";
inline constexpr char VslTopProcessPuAreaName[] = "VslTopProcessPuArea";
inline constexpr char VslProcessMonitorAreaName[] = "VslProcessMonitorArea";

#pragma pack(push, 1)

// "VslSystemArea". Vistrel64 writes Command (0 at its start), Reserved and HeartbeatTick;
// Vistrel writes Command (VslTerminateCommand) and fills and empties the name slots.
struct TVslSystemArea {
    std::uint32_t Command;
    std::uint32_t Reserved;
    // GetTickCount at the end of the last completed pass; 0 until the first one ends.
    std::uint32_t HeartbeatTick;
    // Process file names with extension to watch; a slot whose first unit is 0 is free.
    wchar_t MonitorNames[VslMonitorSlots][VslNameUnits];
};

// "VslTopProcessWsArea" and "VslTopProcessPuArea": the process with the largest working
// set, and the one with the largest private usage.
struct TVslTopProcess {
    wchar_t FileName[VslNameUnits];  // image file name without its path
    std::uint32_t ProcessId;
    std::uint64_t WorkingSetSize;  // bytes
    std::uint64_t PageFaultCount;  // a 32-bit counter widened
    std::uint64_t PagefileUsage;   // commit charge, bytes
    std::uint64_t PrivateUsage;    // bytes
};

// Record i of "VslProcessMonitorArea" belongs to name slot i: sums over all processes of
// that file name.
struct TVslProcessMonitor {
    std::uint32_t ProcessId;       // the last matching process in enumeration order; 0 when none
    wchar_t Name[VslNameUnits];    // the slot's text as Vistrel wrote it
    std::uint64_t WorkingSetSize;
    std::uint64_t PageFaultCount;
    std::uint64_t PagefileUsage;
    std::uint64_t PrivateUsage;
    std::uint32_t HandleCount;     // modulo 2^32
    std::uint32_t ThreadCount;     // modulo 2^32
};

#pragma pack(pop)

// The monitor area: ten records back to back.
using TVslProcessMonitorArray = TVslProcessMonitor[VslMonitorSlots];

inline constexpr std::size_t VslSystemAreaSize = 2012;
inline constexpr std::size_t VslTopProcessAreaSize = 236;
inline constexpr std::size_t VslProcessMonitorAreaSize = 2440;

static_assert(sizeof(TVslSystemArea) == VslSystemAreaSize);
static_assert(offsetof(TVslSystemArea, HeartbeatTick) == 8);
static_assert(offsetof(TVslSystemArea, MonitorNames) == 12);
static_assert(sizeof(TVslTopProcess) == VslTopProcessAreaSize);
static_assert(offsetof(TVslTopProcess, ProcessId) == 200);
static_assert(offsetof(TVslTopProcess, WorkingSetSize) == 204);
static_assert(offsetof(TVslTopProcess, PageFaultCount) == 212);
static_assert(offsetof(TVslTopProcess, PagefileUsage) == 220);
static_assert(offsetof(TVslTopProcess, PrivateUsage) == 228);
static_assert(sizeof(TVslProcessMonitor) == 244);
static_assert(offsetof(TVslProcessMonitor, Name) == 4);
static_assert(offsetof(TVslProcessMonitor, WorkingSetSize) == 204);
static_assert(offsetof(TVslProcessMonitor, PageFaultCount) == 212);
static_assert(offsetof(TVslProcessMonitor, PagefileUsage) == 220);
static_assert(offsetof(TVslProcessMonitor, PrivateUsage) == 228);
static_assert(offsetof(TVslProcessMonitor, HandleCount) == 236);
static_assert(offsetof(TVslProcessMonitor, ThreadCount) == 240);
static_assert(sizeof(TVslProcessMonitorArray) == VslProcessMonitorAreaSize);

// A name field's text: up to its first zero unit, and never beyond the field (a field
// that another process filled without a zero gives all its units).
inline std::wstring VslNameText(const wchar_t (&Field)[VslNameUnits]) {
    std::size_t n = 0;
    while (n < VslNameUnits && Field[n] != L'\0') ++n;
    return std::wstring(Field, n);
}

// Fills a name field with Text's first VslMaxNameLength units and zeros behind them.
inline void VslSetName(wchar_t (&Field)[VslNameUnits], const std::wstring& Text) {
    const std::size_t n = Text.size() < VslMaxNameLength ? Text.size() : VslMaxNameLength;
    for (std::size_t i = 0; i < VslNameUnits; ++i) Field[i] = i < n ? Text[i] : L'\0';
}
