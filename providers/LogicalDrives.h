// LOGICALDRIVES: one display line and one row of 19 values per fixed or removable drive
// (letter, file system, label, serial, sizes and percentages and, with "diskio", transfer
// and operation rates, average times, queue length and busy/idle percentages from two
// successive samples of the raw disk counters that WMI publishes). The module keeps its
// own history of disk-counter samples for the whole run.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ItemTypes.h"
#include "Variant.h"

namespace logical_drives {

// The raw cumulative counters of one logical disk that rates are taken from.
struct TDiskCounters {
    std::int64_t ReadBytes = 0;     // DiskReadBytesPerSec
    std::int64_t Reads = 0;         // DiskReadsPerSec
    std::int64_t WriteBytes = 0;    // DiskWriteBytesPerSec
    std::int64_t Writes = 0;        // DiskWritesPerSec
    std::int64_t DiskTime = 0;      // PercentDiskTime
    std::int64_t DiskTimeBase = 0;  // PercentDiskTime_Base
    std::int64_t IdleTime = 0;      // PercentIdleTime
    std::int64_t IdleTimeBase = 0;  // PercentIdleTime_Base
    std::int64_t Timestamp = 0;     // Timestamp_PerfTime
    std::int64_t ReadTime = 0;      // AvgDiskSecPerRead: time of all reads, in counter ticks
    std::int64_t ReadTimeBase = 0;  // AvgDiskSecPerRead_Base: the reads timed
    std::int64_t WriteTime = 0;     // AvgDiskSecPerWrite
    std::int64_t WriteTimeBase = 0; // AvgDiskSecPerWrite_Base
    bool operator==(const TDiskCounters&) const = default;
};

// One sampling of one logical disk.
struct TDiskSample {
    TDiskCounters Counters;
    std::int64_t Frequency = 0;    // Frequency_PerfTime
    std::int64_t QueueLength = 0;  // CurrentDiskQueueLength
    bool operator==(const TDiskSample&) const = default;
};

// This module's disk-counter record: the latest sample and the counters before it.
struct TDiskItem {
    std::string Name;  // the WMI instance name, for example "C:"
    TDiskSample Current;
    TDiskCounters Previous;
};

// The counters read for one instance, in the order CollectDiskCounters reads them.
enum TCounterIndex : std::size_t {
    ciFrequency, ciReadBytes, ciReads, ciWriteBytes, ciWrites, ciAvgRead, ciAvgReadBase, ciAvgWrite,
    ciAvgWriteBase, ciQueueLength, ciDiskTime, ciDiskTimeBase, ciIdleTime, ciIdleTimeBase, ciTimestamp,
    kCounterCount
};
extern const std::array<const wchar_t*, kCounterCount> kCounterNames;

// The sample of one instance's counters, as they were read.
TDiskSample DiskSampleFrom(const std::array<std::int64_t, kCounterCount>& Values);

// Current - Previous of an unsigned 32-bit counter, modulo 2^32: a counter that wrapped
// between the two samples still gives what it counted since the first.
std::int64_t Counter32Difference(std::int64_t Current, std::int64_t Previous);

// A counter's text as a 64-bit integer; 0 when the text is not a whole number.
std::int64_t CounterValue(const std::wstring& Text);

// The module's history, kept from start to end of the program; entries are appended when
// an instance name is first seen and never removed.
const std::vector<TDiskItem>& DiskHistory();
void ClearDiskHistory();

// The first entry, in list order, that is drive Letter's own instance (Letter and ":", as
// "C:"); null when none.
const TDiskItem* FindDiskSample(const std::vector<TDiskItem>& History, char Letter);

// The whole milliseconds of Ticks counter ticks at Frequency ticks a second (both above
// 0), without overflow for any 64-bit count.
std::int64_t CounterMilliseconds(std::int64_t Ticks, std::int64_t Frequency);

// Whether a counter went back between two samples (the disk's counters started again,
// say): a 64-bit counter that is smaller now, or a 32-bit one whose step, counted modulo
// 2^32, is half the range or more (a counter that wrapped moved on by far less).
bool DiskCountersWentBack(const TDiskCounters& Current, const TDiskCounters& Previous);

// Values 11 to 19 of a drive's row from its sample: nothing when the samples are less
// than one millisecond apart (or the first sample of a disk), when the counter frequency
// is not above 0, when a counter went back, or when a base that the percentages divide by
// did not move. Rates are per second of the time between the samples, in whole
// milliseconds. The operation rates and the seconds per read and per write come from the
// 32-bit counters' differences between the two samples (modulo 2^32); the seconds per
// read are 0 when no read was timed in between, and likewise for writes.
std::optional<std::array<Variant, 9>> DiskRateValues(const TDiskItem& Item);

}  // namespace logical_drives

// ---- the gathering routine and its platform queries -----------------------------------------

void GetLogicalDrives2(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
// The whole LOGICALDRIVES collection with the disk counters sampled by SampleCounters,
// which answers the history entries it refreshed. Rates come only from those: when the
// sampling fails (it raises, or refreshes nothing) the error is logged and every drive is
// still listed with its space values, its rate columns empty.
void GatherLogicalDrives(const TItemOptionArray& Options, TItemData& Data, std::wstring& Display,
                         const std::function<std::vector<logical_drives::TDiskItem>()>& SampleCounters);

// Total bytes of the drive at RootPath, with used, free and available bytes; all 0 when
// it cannot be queried.
std::int64_t GetDriveFreeSpace(const std::string& RootPath, std::int64_t& Used, std::int64_t& Free,
                               std::int64_t& Available);
// Label and file-system name (8-bit texts) and serial number of drive Letter; empty texts
// and 0 for a drive without a medium.
void GetVolumeInfo(char Letter, std::wstring& Label, std::wstring& FileSystem, std::uint32_t& Serial);
// Samples the raw counters of every logical disk WMI reports into the history; answers
// copies of the entries it refreshed (none when WMI could not be asked).
std::vector<logical_drives::TDiskItem> CollectDiskCounters();
// Records one instance's sample: the current values move to the previous ones; a new
// instance starts with both equal, so its first collection gives no rates. Answers a copy
// of the instance's entry.
logical_drives::TDiskItem StoreDiskPerfSample(const std::string& Name, const logical_drives::TDiskSample& Sample);

void LogicalDrivesInitialization();
void LogicalDrivesFinalization();

// ---- interpretation, on values ------------------------------------------------------------

struct TWmiProperty;
// A disk counter's text: integer types other than uint64 as the unsigned 32-bit reading
// of the value (a counter above 2147483647 that WMI hands over as a negative number keeps
// its value); all others as the WMI layer writes them.
std::wstring DiskCounterText(const TWmiProperty& Property);

// The 19 field names of every LOGICALDRIVES collection.
extern const std::array<const wchar_t*, 19> kLogicalDriveFields;

// Whether Letter is reported: Include empty or holding it, and Exclude not holding it
// (both upper-cased before comparing; other characters are ignored).
bool LogicalDriveTaken(char Letter, const std::wstring& Include, const std::wstring& Exclude);
// The letters, A to Z, of Mask's drives that are taken and fixed or removable, at most Max;
// the count is tested after each drive taken, so a Max of 0 or below gives the first one.
std::string SelectLogicalDrives(DWORD Mask, const std::wstring& Include, const std::wstring& Exclude, std::int32_t Max,
                                const std::function<UINT(const std::string& Root)>& DriveType);

struct TLogicalDriveInfo {
    char Letter = 'C';
    std::wstring FileSystem, Label;
    std::uint32_t Serial = 0;
    std::int64_t Total = 0, Used = 0, Free = 0, Available = 0;
};
// The row of one drive: values 1 to 10 from Info, 11 to 19 from Sample when it gives
// rates, else empty.
TVarArray LogicalDriveRow(const TLogicalDriveInfo& Info, const logical_drives::TDiskItem* Sample);
// Appends one row and one display line ("|" between lines) per letter: its values from
// Info, its rates from History when given.
void AddLogicalDriveRows(const std::string& Letters, const std::function<TLogicalDriveInfo(char Letter)>& Info,
                         const std::vector<logical_drives::TDiskItem>* History, const std::wstring& Template,
                         TItemData& Data, std::wstring& Display);
