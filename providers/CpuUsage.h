// The load of each logical processor: samples of the idle counter (counter 6) of the
// performance data's Processor object (title index 238), two successive samples giving a
// busy fraction per processor; on Windows outside the NT line, the kernel's CPU-usage
// statistic under HKEY_DYN_DATA instead.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "Errors.h"
#include "WinHandles.h"

VISTREL_EXCEPTION(ECpuUsageError, Exception)

// Title indexes of the Processor object and of its idle-time counter.
constexpr DWORD kProcessorObjectIndex = 238;
constexpr DWORD kIdleCounterIndex = 6;

// One sample of the Processor object, as read from a performance-data block.
struct TProcessorSample {
    std::int32_t NumInstances = 0;   // the object's own instance count
    std::vector<std::int64_t> Idle;  // the idle counter of each instance read, in order
    std::int64_t Time = 0;           // the block's system time in 100-ns units since 1601
    std::int64_t PerfTime = 0;       // the block's high-resolution counter, which no clock step moves
    std::int64_t PerfFreq = 0;       // its counts per second; 0 when the block gives none
};

// True when the system clock was stepped between two samples: WallElapsed (100-ns units
// of the sample times) departs from the interval the high-resolution counter measured
// (PerfElapsed counts at PerfFreq a second) by more than a tenth of it, and by more than
// 100 ms. Without a usable counter (frequency or interval not above 0) nothing is known
// and the answer is false.
bool ClockSteppedBetween(std::int64_t WallElapsed, std::int64_t PerfElapsed, std::int64_t PerfFreq);

// Reads the Processor object of a performance-data block of Size bytes: the idle counter
// of its first Count instances, or of all its instances when Count is negative. Every
// structure is read only inside the block and inside the object that holds it.
// Raises ECpuUsageError: "Unable to locate the "Processor" performance object",
// "Unable to locate the "% of CPU usage" performance counter", or "Invalid performance
// data block" when the block is truncated, a length or offset leads outside it, a length
// is too small to move on, or the object's instance count is negative.
TProcessorSample ReadProcessorSample(const std::uint8_t* Data, std::size_t Size, std::int32_t Count);

// The sampler: the last two samples and the instance count, fixed by the first sample.
// Every operation holds the sampler's lock, so the window thread and the collection thread
// never sample at once.
class TCpuUsage {
public:
    explicit TCpuUsage(bool NtPlatform);
    ~TCpuUsage();
    TCpuUsage(const TCpuUsage&) = delete;
    TCpuUsage& operator=(const TCpuUsage&) = delete;

    // NT: the Processor object's instance count (one per logical processor, one for the
    // total), sampling first while it is unknown. Elsewhere 1.
    int GetCPUCount();
    // Takes one sample from the platform.
    void CollectCPUData();
    // The busy fraction (1.0 = fully busy) of one instance over the last two samples, held
    // to 0 .. 1; 0 until two samples are taken, when the sample time did not move forward,
    // or when the system clock was stepped between the two samples.
    double GetCPUUsageByIndex(int Index);
    // Stops the kernel statistic when it was started and lets go of the performance data.
    void ReleaseCPUData();

    // Takes one sample from a performance-data block (what CollectCPUData does with the
    // block the platform gives). A block that raises changes nothing.
    void TakeSample(const std::uint8_t* Data, std::size_t Size);

    bool NtPlatform() const { return nt_; }
    // The size of the buffer the performance data is read into.
    std::size_t BufferSize() const;

private:
    void Collect();
    void CollectNt();
    void CollectStatistic();
    void Absorb(const std::uint8_t* Data, std::size_t Size);

    mutable std::mutex lock_;
    const bool nt_;
    std::vector<std::uint8_t> buffer_;
    bool queried_ = false;  // the performance data was opened
    std::int32_t count_ = -1;
    std::vector<std::int64_t> current_, previous_;
    std::int64_t currentTime_ = 0, previousTime_ = 0;
    std::int64_t currentPerfTime_ = 0, previousPerfTime_ = 0;
    std::int64_t currentPerfFreq_ = 0, previousPerfFreq_ = 0;
    int samples_ = 0;  // how many samples are held (at most 2)
    // Outside the NT line.
    bool started_ = false;
    UniqueKey statData_;
    std::uint32_t statistic_ = 0;
};

// True when the system reports the NT platform; raises ECpuUsageError "Can't get the
// Windows version" when it cannot be asked.
bool QueryNtPlatform();

// The program's one sampler, made on first use.
namespace adCpuUsage {
int GetCPUCount();
void CollectCPUData();
double GetCPUUsageByIndex(int Index);
// Does nothing when the sampler was never made.
void ReleaseCPUData();
// True on the NT platform, where the last instance is the total of all processors.
bool HasTotalInstance();
// Puts Sampler in place of the program's sampler (null: the next use makes a fresh one),
// so that the routines can be run on samples read from blocks of one's own.
void ReplaceSampler(std::unique_ptr<TCpuUsage> Sampler);
}  // namespace adCpuUsage
