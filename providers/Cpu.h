// Gathering routines for the processor load: CPU (total and kernel share of all
// processors since the previous collection, and the processor queue length), CPUUSAGE
// (one logical processor, by instance number) and CPUCOUNT (the number of logical
// processors), and the processor count behind the CPUUSAGE instance limit.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "ItemTypes.h"
#include "Variant.h"

// The number of logical processors; -1 until learned from the sampler, then fixed.
extern std::atomic<std::int32_t> ProcessorCount;

// ---- the gathering routines -------------------------------------------------------------
void GetCpuTimes(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetCpuUsage(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetCpuCount(TItemOptionArray Options, TItemData& Data, std::wstring& Display);

// Enters the three routines into ItemTypeTable.
void RegisterCpuProviders();

// ---- the platform -----------------------------------------------------------------------

// The total CPU percent since the previous call, and in Kernel the kernel-mode percent (0
// on the fallback path). Never raises: errors are logged, and a first call or a failed
// reading gives 0.
int _GetCpuTimes(int& Kernel);
// The fallback through NtQuerySystemInformation: the total CPU percent since the previous
// call plus 0.5, or 0 when it cannot compute one.
double GetCpuUsageNt();

// ---- the interpretation, on values --------------------------------------------------------

// A FILETIME as high part (signed) x 4294967296 + low part (unsigned).
double FileTimeToNumber(const FILETIME& Time);

// The system's idle, kernel (idle included) and user times, in 100-ns units.
struct TSystemTimes {
    std::uint64_t Idle = 0;
    std::uint64_t Kernel = 0;
    std::uint64_t User = 0;
};
struct TCpuPercent {
    int Cpu = 0;
    int Kernel = 0;
};
// The busy and kernel-mode percentages (truncated, each within 0 to 100) from Previous
// to Now; 0 and 0 when Previous is the first reading (idle 0) or no time passed. An idle
// time that grew beyond the busy or kernel time gives that share 0. A count that went
// backwards raises EIntOverflow.
TCpuPercent CpuTimesPercent(const TSystemTimes& Previous, const TSystemTimes& Now);

// One reading of _GetCpuTimes: the percentages from Previous to Now, 0 and 0 when they
// cannot be computed (logged at ERROR as "_GetCpuTimes: " + ErrorText + the message).
// Now always becomes Previous, so a reading that went backwards costs one interval.
TCpuPercent NextCpuPercent(TSystemTimes& Previous, const TSystemTimes& Now);

// The fallback's readings.
struct TNtTimes {
    FILETIME Idle{};  // the idle process's time
    FILETIME Time{};  // the system's time of day
};
// 100 - idle share of the elapsed time x 100 / Processors + 0.5, from Previous to Now;
// 0 when Previous is the first reading (idle 0), no time passed or Processors is 0.
double NtUsagePercent(const TNtTimes& Previous, const TNtTimes& Now, unsigned Processors);

// A number truncated toward zero, raising ERangeError when it is not finite or does not
// fit an int.
int TruncToInt(double Value);

// Whether processor N passes a CPUUSAGE filter: every N under an empty filter, else when
// N's decimal text occurs anywhere in the filter text.
bool PassesCpuFilter(int N, const std::string& Filter);
// How many of the processors 0 .. Count - 1 pass Filter.
int CountPassingProcessors(int Count, const std::string& Filter);
// The processor that CPUUSAGE instance N shows: the N-th (from 0) of the processors
// 0 .. Count - 1 that pass Filter; -1 when there are not more than N of them.
int NthPassingProcessor(int N, int Count, const std::string& Filter);

// The queue length in the rows a processor-statistics WMI query left: the value of the
// first field of the first row named "processorqueuelength" (any case), as currency; 0
// when there is no row or field, or the value is not a number.
Variant QueueLengthFrom(const TItemData& Data);
