// The per-processor sampler: the performance-data query and the kernel statistic at the
// top, the reading of a performance-data block and the usage arithmetic below.
#include "CpuUsage.h"

#include <winperf.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>

#include "Checked.h"

namespace {

constexpr std::size_t kInitialBufferSize = 8192;
constexpr std::size_t kBufferGrowth = 4096;
// A performance-data object of one processor object is a few kilobytes; an answer that
// keeps asking for more past this is not going to end.
constexpr std::size_t kMaxBufferSize = 64u << 20;

const char kStatisticValue[] = "KERNEL\\CPUUsage";

[[noreturn]] void RaiseCpuUsage(const wchar_t* Message) { throw ECpuUsageError(Message); }
[[noreturn]] void RaiseInvalidBlock() { RaiseCpuUsage(L"Invalid performance data block"); }

// A window of bytes from which structures are copied only when they lie wholly inside.
class TByteWindow {
public:
    TByteWindow(const std::uint8_t* Data, std::size_t Size) : data_(Data), size_(Size) {}

    template <typename T>
    T Read(std::size_t Offset) const {
        if (Offset > size_ || size_ - Offset < sizeof(T)) RaiseInvalidBlock();
        T value;
        std::memcpy(&value, data_ + Offset, sizeof(T));
        return value;
    }
    // The Length bytes at Offset, which must lie wholly inside.
    TByteWindow Part(std::size_t Offset, std::size_t Length) const {
        if (Offset > size_ || size_ - Offset < Length) RaiseInvalidBlock();
        return TByteWindow(data_ + Offset, Length);
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

std::size_t Advance(std::size_t Offset, DWORD Length) {
    if (Length == 0) RaiseInvalidBlock();  // would visit the same structure again
    std::size_t next;
    if (__builtin_add_overflow(Offset, static_cast<std::size_t>(Length), &next)) RaiseInvalidBlock();
    return next;
}

std::int64_t FileTimeCount(const FILETIME& Time) {
    ULARGE_INTEGER v;
    v.LowPart = Time.dwLowDateTime;
    v.HighPart = Time.dwHighDateTime;
    return static_cast<std::int64_t>(v.QuadPart);
}

// Reads one 4-byte value of a key; false when the key or value cannot be read.
bool ReadStatistic(HKEY Key, std::uint32_t& Value) {
    DWORD type = 0;
    DWORD size = sizeof Value;
    std::uint32_t value = 0;
    if (RegQueryValueExA(Key, kStatisticValue, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
        ERROR_SUCCESS)
        return false;
    Value = value;
    return true;
}

UniqueKey OpenDynDataKey(const char* Path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_DYN_DATA, Path, 0, KEY_READ, &key) != ERROR_SUCCESS) return UniqueKey();
    return UniqueKey(key);
}

}  // namespace

// ---- the platform -------------------------------------------------------------------------

bool QueryNtPlatform() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;  // 148
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExA(&info)) RaiseCpuUsage(L"Can't get the Windows version");
#pragma GCC diagnostic pop
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

TCpuUsage::TCpuUsage(bool NtPlatform) : nt_(NtPlatform), buffer_(kInitialBufferSize, 0) {}

TCpuUsage::~TCpuUsage() { ReleaseCPUData(); }

std::size_t TCpuUsage::BufferSize() const {
    const std::lock_guard<std::mutex> hold(lock_);
    return buffer_.size();
}

void TCpuUsage::CollectNt() {
    LONG rc;
    DWORD size;
    for (;;) {
        DWORD type = 0;
        size = CheckedCast<DWORD>(buffer_.size());
        rc = RegQueryValueExA(HKEY_PERFORMANCE_DATA, "238", nullptr, &type, buffer_.data(), &size);
        queried_ = true;
        if (rc != ERROR_MORE_DATA) break;
        if (buffer_.size() >= kMaxBufferSize) RaiseCpuUsage(L"Unable to read performance data");
        buffer_.resize(buffer_.size() + kBufferGrowth, 0);
    }
    // A failed query leaves the buffer as it was: reading it would repeat an old sample.
    if (rc != ERROR_SUCCESS) RaiseCpuUsage(L"Unable to read performance data");
    Absorb(buffer_.data(), std::min<std::size_t>(size, buffer_.size()));
}

void TCpuUsage::CollectStatistic() {
    if (!started_) {
        // Reading the start key's value starts the statistic.
        UniqueKey start = OpenDynDataKey("PerfStats\\StartStat");
        if (!start.valid()) RaiseCpuUsage(L"Unable to start performance monitoring");
        std::uint32_t ignored = 0;
        ReadStatistic(start.get(), ignored);
        start.reset();
        UniqueKey data = OpenDynDataKey("PerfStats\\StatData");
        if (!data.valid()) RaiseCpuUsage(L"Unable to read performance data");
        statData_ = std::move(data);
        started_ = true;
    }
    std::uint32_t value = 0;
    if (ReadStatistic(statData_.get(), value)) statistic_ = value;
}

void TCpuUsage::Collect() {
    if (nt_)
        CollectNt();
    else
        CollectStatistic();
}

void TCpuUsage::CollectCPUData() {
    const std::lock_guard<std::mutex> hold(lock_);
    Collect();
}

int TCpuUsage::GetCPUCount() {
    const std::lock_guard<std::mutex> hold(lock_);
    if (!nt_) return 1;
    if (count_ < 0) Collect();
    return count_;
}

double TCpuUsage::GetCPUUsageByIndex(int Index) {
    const std::lock_guard<std::mutex> hold(lock_);
    if (!nt_) {
        if (Index != 0) RaiseCpuUsage(L"CPU index out of bounds");
        if (!started_) Collect();
        return statistic_ / 100.0;
    }
    if (count_ < 0) Collect();
    if (Index < 0 || Index >= count_) RaiseCpuUsage(L"CPU index out of bounds");
    // The divisor is wall-clock time: a clock set back or stepped forward between the
    // samples gives no usage rather than a wild one.
    if (samples_ < 2 || currentTime_ <= previousTime_) return 0;
    const auto i = static_cast<std::size_t>(Index);
    const std::int64_t idle = CheckedSub(current_.at(i), previous_.at(i));
    const std::int64_t elapsed = CheckedSub(currentTime_, previousTime_);
    std::int64_t perfElapsed = 0;
    if (previousPerfFreq_ == currentPerfFreq_ &&
        !__builtin_sub_overflow(currentPerfTime_, previousPerfTime_, &perfElapsed) &&
        ClockSteppedBetween(elapsed, perfElapsed, currentPerfFreq_))
        return 0;
    // The idle counter and the sample time are not read at one instant: a fraction just
    // outside 0 .. 1 is held to it.
    return std::clamp(1.0 - static_cast<double>(idle) / static_cast<double>(elapsed), 0.0, 1.0);
}

void TCpuUsage::ReleaseCPUData() {
    const std::lock_guard<std::mutex> hold(lock_);
    if (queried_) {
        // Closing the predefined key lets the system unload the performance providers.
        RegCloseKey(HKEY_PERFORMANCE_DATA);
        queried_ = false;
    }
    if (!started_) return;
    started_ = false;
    statData_.reset();
    // Reading the stop key's value stops the statistic.
    const UniqueKey stop = OpenDynDataKey("PerfStats\\StopStat");
    std::uint32_t ignored = 0;
    if (stop.valid()) ReadStatistic(stop.get(), ignored);
}

void TCpuUsage::TakeSample(const std::uint8_t* Data, std::size_t Size) {
    const std::lock_guard<std::mutex> hold(lock_);
    Absorb(Data, Size);
}

// ---- the interpretation -------------------------------------------------------------------

void TCpuUsage::Absorb(const std::uint8_t* Data, std::size_t Size) {
    TProcessorSample sample = ReadProcessorSample(Data, Size, count_);
    if (count_ < 0) {
        count_ = sample.NumInstances;
        current_.assign(static_cast<std::size_t>(count_), 0);
        previous_.assign(static_cast<std::size_t>(count_), 0);
    }
    previous_ = std::move(current_);
    current_ = std::move(sample.Idle);
    previousTime_ = currentTime_;
    currentTime_ = sample.Time;
    previousPerfTime_ = currentPerfTime_;
    currentPerfTime_ = sample.PerfTime;
    previousPerfFreq_ = currentPerfFreq_;
    currentPerfFreq_ = sample.PerfFreq;
    samples_ = std::min(samples_ + 1, 2);
}

TProcessorSample ReadProcessorSample(const std::uint8_t* Data, std::size_t Size, std::int32_t Count) {
    const TByteWindow block(Data, Size);
    const auto header = block.Read<PERF_DATA_BLOCK>(0);

    // The objects follow the block's header, each TotalByteLength after the one before.
    std::size_t objectOffset = header.HeaderLength;
    bool found = false;
    PERF_OBJECT_TYPE object{};
    for (DWORD i = 0; i < header.NumObjectTypes && !found; ++i) {
        object = block.Read<PERF_OBJECT_TYPE>(objectOffset);
        if (object.ObjectNameTitleIndex == kProcessorObjectIndex)
            found = true;
        else
            objectOffset = Advance(objectOffset, object.TotalByteLength);
    }
    if (!found) RaiseCpuUsage(L"Unable to locate the \"Processor\" performance object");
    if (object.TotalByteLength < sizeof(PERF_OBJECT_TYPE)) RaiseInvalidBlock();
    const TByteWindow objectBytes = block.Part(objectOffset, object.TotalByteLength);
    if (object.NumInstances < 0) RaiseInvalidBlock();
    const std::int32_t count = Count < 0 ? object.NumInstances : Count;

    // The counter definitions follow the object's header.
    std::size_t counterOffset = object.HeaderLength;
    bool counterFound = false;
    PERF_COUNTER_DEFINITION counter{};
    for (DWORD i = 0; i < object.NumCounters && !counterFound; ++i) {
        counter = objectBytes.Read<PERF_COUNTER_DEFINITION>(counterOffset);
        if (counter.CounterNameTitleIndex == kIdleCounterIndex)
            counterFound = true;
        else
            counterOffset = Advance(counterOffset, counter.ByteLength);
    }
    if (!counterFound) RaiseCpuUsage(L"Unable to locate the \"% of CPU usage\" performance counter");

    // Each instance: its definition, then its counter block, then the next instance.
    TProcessorSample sample;
    sample.NumInstances = object.NumInstances;
    sample.Idle.reserve(static_cast<std::size_t>(count));
    std::size_t instanceOffset = object.DefinitionLength;
    for (std::int32_t i = 0; i < count; ++i) {
        const auto instance = objectBytes.Read<PERF_INSTANCE_DEFINITION>(instanceOffset);
        if (instance.ByteLength < sizeof(PERF_INSTANCE_DEFINITION)) RaiseInvalidBlock();
        const std::size_t blockOffset = Advance(instanceOffset, instance.ByteLength);
        const auto counters = objectBytes.Read<PERF_COUNTER_BLOCK>(blockOffset);
        // The value must lie inside the instance's own counter block.
        if (counter.CounterOffset > counters.ByteLength ||
            counters.ByteLength - counter.CounterOffset < sizeof(std::int64_t))
            RaiseInvalidBlock();
        const TByteWindow countersBytes = objectBytes.Part(blockOffset, counters.ByteLength);
        sample.Idle.push_back(countersBytes.Read<std::int64_t>(counter.CounterOffset));
        instanceOffset = Advance(blockOffset, counters.ByteLength);
    }

    FILETIME time{};
    if (!SystemTimeToFileTime(&header.SystemTime, &time)) RaiseInvalidBlock();
    sample.Time = FileTimeCount(time);
    sample.PerfTime = header.PerfTime.QuadPart;
    sample.PerfFreq = header.PerfFreq.QuadPart;
    return sample;
}

bool ClockSteppedBetween(std::int64_t WallElapsed, std::int64_t PerfElapsed, std::int64_t PerfFreq) {
    if (PerfFreq <= 0 || PerfElapsed <= 0) return false;
    const long double steady = static_cast<long double>(PerfElapsed) * 1e7L / static_cast<long double>(PerfFreq);
    const long double drift = std::fabs(static_cast<long double>(WallElapsed) - steady);
    return drift > 1e6L && drift > steady / 10;
}

// ---- the program's sampler ------------------------------------------------------------------

namespace {

std::unique_ptr<TCpuUsage>& UnitSampler() {
    static std::unique_ptr<TCpuUsage> sampler;
    return sampler;
}
std::mutex& UnitLock() {
    static std::mutex lock;
    return lock;
}

TCpuUsage& Sampler() {
    const std::lock_guard<std::mutex> hold(UnitLock());
    std::unique_ptr<TCpuUsage>& sampler = UnitSampler();
    if (!sampler) sampler = std::make_unique<TCpuUsage>(QueryNtPlatform());
    return *sampler;
}

}  // namespace

namespace adCpuUsage {

int GetCPUCount() { return Sampler().GetCPUCount(); }
void CollectCPUData() { Sampler().CollectCPUData(); }
double GetCPUUsageByIndex(int Index) { return Sampler().GetCPUUsageByIndex(Index); }
bool HasTotalInstance() { return Sampler().NtPlatform(); }

void ReplaceSampler(std::unique_ptr<TCpuUsage> Replacement) {
    std::unique_ptr<TCpuUsage> old;
    {
        const std::lock_guard<std::mutex> hold(UnitLock());
        old = std::exchange(UnitSampler(), std::move(Replacement));
    }
}

void ReleaseCPUData() {
    TCpuUsage* sampler;
    {
        const std::lock_guard<std::mutex> hold(UnitLock());
        sampler = UnitSampler().get();
    }
    if (sampler) sampler->ReleaseCPUData();
}

}  // namespace adCpuUsage
