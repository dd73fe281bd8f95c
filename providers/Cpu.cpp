// The CPU, CPUUSAGE and CPUCOUNT routines: the system times and the kernel's fallback
// figures at the top, the percentages, the filter rule and the queue length below as
// plain functions, the routines at the end.
#include "Cpu.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "Checked.h"
#include "CpuUsage.h"
#include "Includes.h"
#include "InstanceLimits.h"
#include "Log.h"
#include "OptionalApis.h"
#include "SystemInfo.h"
#include "Templates.h"
#include "Utils.h"
#include "WinApp.h"
#include "WmiItems.h"

std::atomic<std::int32_t> ProcessorCount{-1};

namespace {

// The shared previous readings: every CPU item measures from the last collection of any.
TSystemTimes previousTimes;
TNtTimes previousNtTimes;

std::uint64_t Join(const FILETIME& Time) {
    return (static_cast<std::uint64_t>(Time.dwHighDateTime) << 32) | Time.dwLowDateTime;
}

bool IsZero(const FILETIME& Time) { return Time.dwLowDateTime == 0 && Time.dwHighDateTime == 0; }

// The first part of the kernel's basic information; its size follows the pointer size
// (44 bytes for a 32-bit caller, 64 for a 64-bit one), as the kernel insists.
struct TBasicInformation {
    ULONG Reserved;
    ULONG TimerResolution;
    ULONG PageSize;
    ULONG NumberOfPhysicalPages;
    ULONG LowestPhysicalPageNumber;
    ULONG HighestPhysicalPageNumber;
    ULONG AllocationGranularity;
    ULONG_PTR MinimumUserModeAddress;
    ULONG_PTR MaximumUserModeAddress;
    ULONG_PTR ActiveProcessorsAffinityMask;
    unsigned char NumberOfProcessors;
};
static_assert(offsetof(TBasicInformation, NumberOfProcessors) == (sizeof(void*) == 4 ? 40 : 56));

constexpr ULONG kBasicInformation = 0;
constexpr ULONG kPerformanceInformation = 2;
constexpr ULONG kTimeOfDayInformation = 3;
constexpr std::size_t kPerformanceInformationSize = 312;
constexpr std::size_t kTimeOfDayInformationSize = 32;

std::optional<double> NtUsage(const TNtTimes& Previous, const TNtTimes& Now, unsigned Processors) {
    if (IsZero(Previous.Idle) || Processors == 0) return std::nullopt;
    const double idle = FileTimeToNumber(Now.Idle) - FileTimeToNumber(Previous.Idle);
    const double elapsed = FileTimeToNumber(Now.Time) - FileTimeToNumber(Previous.Time);
    if (!(elapsed > 0)) return std::nullopt;
    // The divisor is the time of day: a clock step or readings not taken at one instant
    // must not give a load below 0 or past 100.
    return std::clamp(100.0 - idle / elapsed * 100.0 / Processors, 0.0, 100.0) + 0.5;
}

// "0 %": rounded to a whole number, half away from zero.
std::wstring WholePercentText(double Value) {
    wchar_t text[64] = {};
    std::swprintf(text, 64, L"%.0f %%", std::round(Value) + 0.0);
    return text;
}

// Part x 100 div Total for Part <= Total, exact for any 64-bit counts: Part is added a
// hundred times to a quotient and a remainder below Total, so nothing can overflow.
int WholePercentOf(std::uint64_t Part, std::uint64_t Total) {
    int quotient = 0;
    std::uint64_t remainder = 0;
    for (int i = 0; i < 100; ++i) {
        if (remainder >= Total - Part) {
            remainder -= Total - Part;
            ++quotient;
        } else {
            remainder += Part;
        }
    }
    return quotient;
}

// Learns ProcessorCount from the sampler while it is unknown; false when it stays unknown.
// Tag names the calling routine in the error line.
bool LearnProcessorCount(const wchar_t* Tag) {
    if (ProcessorCount.load() == -1) {
        try {
            const int count = adCpuUsage::GetCPUCount();
            // On the NT platform the last instance is the total, not a processor.
            ProcessorCount = adCpuUsage::HasTotalInstance() ? count - 1 : count;
        } catch (const std::exception& e) {
            WriteLog(std::wstring(Tag) + L"adCpuUsage.GetCPUCount " + ExceptionMessage(e), llError);
        }
    }
    return ProcessorCount.load() != -1;
}

// The queue length of the processor statistics in WMI, queried into the item's own data
// (the rows are replaced by the CPU row afterwards; the display text is not used).
Variant ReadQueueLength(TItemData& Data) {
    TItemOptionArray options;
    options[0] = {L"namespace", Variant(L"root\\cimv2")};
    options[1] = {L"query", Variant(L"Win32_PerfFormattedData_PerfOS_System")};
    std::wstring ignored;
    GetCustomWMI(options, Data, ignored);
    return QueueLengthFrom(Data);
}

}  // namespace

// ---- the platform -------------------------------------------------------------------------

double GetCpuUsageNt() {
    const auto query = OptionalApis.NtQuerySystemInformation;
    if (!query) return 0;
    TBasicInformation basic{};
    std::array<std::uint8_t, kTimeOfDayInformationSize> timeOfDay{};
    std::array<std::uint8_t, kPerformanceInformationSize> performance{};
    if (query(kBasicInformation, &basic, sizeof basic, nullptr) != 0) return 0;
    if (query(kTimeOfDayInformation, timeOfDay.data(), timeOfDay.size(), nullptr) != 0) return 0;
    if (query(kPerformanceInformation, performance.data(), performance.size(), nullptr) != 0) return 0;
    TNtTimes now;
    std::memcpy(&now.Time, timeOfDay.data() + 8, sizeof now.Time);
    std::memcpy(&now.Idle, performance.data(), sizeof now.Idle);

    double result = 0;
    if (const std::optional<double> usage = NtUsage(previousNtTimes, now, basic.NumberOfProcessors)) {
        result = *usage;
        WriteLog(L"CPU Times: " + WholePercentText(result), llData);
    }
    previousNtTimes = now;
    return result;
}

int _GetCpuTimes(int& Kernel) {
    int result = 0;
    int kernel = 0;
    const auto getSystemTimes = OptionalApis.GetSystemTimes;
    if (!getSystemTimes) {
        WriteLog(L"Unable to find \"GetSystemTimes\" in kernel32.dll. Trying \"NtQuerySystemInformation\".", llDebug);
        try {
            result = TruncToInt(GetCpuUsageNt());
        } catch (const std::exception& e) {
            WriteLog(L"_GetCpuTimes: " + ErrorText + ExceptionMessage(e), llError);
        }
    } else {
        FILETIME idle{}, kernelTime{}, user{};
        if (getSystemTimes(&idle, &kernelTime, &user)) {
            const TCpuPercent percent = NextCpuPercent(previousTimes, {Join(idle), Join(kernelTime), Join(user)});
            result = percent.Cpu;
            kernel = percent.Kernel;
        }
    }
    WriteLog(L"_GetCpuTimes:  : " + std::to_wstring(result), llData);
    Kernel = kernel;
    return result;
}

// ---- the interpretation -------------------------------------------------------------------

double FileTimeToNumber(const FILETIME& Time) {
    return static_cast<std::int32_t>(Time.dwHighDateTime) * 4294967296.0 + static_cast<double>(Time.dwLowDateTime);
}

TCpuPercent CpuTimesPercent(const TSystemTimes& Previous, const TSystemTimes& Now) {
    if (Previous.Idle == 0) return {};
    const std::uint64_t idle = CheckedSub(Now.Idle, Previous.Idle);
    const std::uint64_t kernel = CheckedSub(Now.Kernel, Previous.Kernel);
    const std::uint64_t user = CheckedSub(Now.User, Previous.User);
    // The kernel time includes the idle time.
    const std::uint64_t total = CheckedAdd(kernel, user);
    if (total == 0) return {};
    // The three counts are not read at one instant, so between two readings the idle time
    // can grow by more than the kernel time: such a share counts as 0, never as an error.
    const std::uint64_t busy = idle < total ? total - idle : 0;
    const std::uint64_t kernelBusy = idle < kernel ? kernel - idle : 0;
    return {WholePercentOf(busy, total), WholePercentOf(kernelBusy, total)};
}

TCpuPercent NextCpuPercent(TSystemTimes& Previous, const TSystemTimes& Now) {
    TCpuPercent percent;
    try {
        percent = CpuTimesPercent(Previous, Now);
    } catch (const std::exception& e) {
        WriteLog(L"_GetCpuTimes: " + ErrorText + ExceptionMessage(e), llError);
    }
    // Even a reading that gave no percentage starts the next interval, so one step
    // backwards costs one interval and not every one until the counts catch up.
    Previous = Now;
    return percent;
}

double NtUsagePercent(const TNtTimes& Previous, const TNtTimes& Now, unsigned Processors) {
    return NtUsage(Previous, Now, Processors).value_or(0.0);
}

int TruncToInt(double Value) {
    const double t = std::trunc(Value);
    if (!std::isfinite(t) || t < static_cast<double>(INT_MIN) || t > static_cast<double>(INT_MAX)) RaiseRangeError();
    return static_cast<int>(t);
}

bool PassesCpuFilter(int N, const std::string& Filter) {
    return Filter.empty() || Filter.find(std::to_string(N)) != std::string::npos;
}

int NthPassingProcessor(int N, int Count, const std::string& Filter) {
    if (N < 0) return -1;
    for (int i = 0; i < Count; ++i)
        if (PassesCpuFilter(i, Filter) && N-- == 0) return i;
    return -1;
}

int CountPassingProcessors(int Count, const std::string& Filter) {
    if (Filter.empty()) return Count < 0 ? 0 : Count;
    int n = 0;
    for (int i = 0; i < Count; ++i)
        if (PassesCpuFilter(i, Filter)) ++n;
    return n;
}

Variant QueueLengthFrom(const TItemData& Data) {
    const Variant none = Variant::FromCurrencyCount(0);
    if (Data.Data.empty()) return none;
    const TVarArray& row = Data.Data.front();
    for (std::size_t i = 0; i < Data.Names.size() && i < row.size(); ++i) {
        if (LowerText(Data.Names[i]) != L"processorqueuelength") continue;
        try {
            const Variant& value = row[i];
            if (value.Type() == VarType::Currency) return value;
            return Variant::FromCurrency(value.ToDouble());
        } catch (const std::exception&) {
            return none;  // null, text that is no number, or beyond the currency range
        }
    }
    return none;
}

int GetCpuUsageCount(const std::string& Filter) {
    if (!LearnProcessorCount(L"GetCpuUsageCount: ")) return 0;
    return CountPassingProcessors(ProcessorCount.load(), Filter);
}

// ---- the routines ---------------------------------------------------------------------------

void GetCpuTimes(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    const Variant queue = ReadQueueLength(Data);
    int kernel = 0;
    const int cpu = _GetCpuTimes(kernel);
    StoreSingleRow(Options, Data, Display, {L"cpu", L"kernel", L"queue"},
                   {Variant(static_cast<std::int32_t>(cpu)), Variant(static_cast<std::int32_t>(kernel)), queue},
                   L"GetCpuTimes: ");
}

void GetCpuUsage(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    const std::int32_t num = GetItemOption(Options, L"num", Variant(std::int32_t{0})).ToInt32();
    const std::string filter = WideToAnsi(GetItemOption(Options, L"filter", Variant(L"")).ToText());
    if (!LearnProcessorCount(L"GetCpuUsage: ")) return;
    // Only the first instance samples; every instance reads the last two samples.
    if (num == 0) adCpuUsage::CollectCPUData();
    // Instance n shows the n-th processor that passes the filter, so that the instances
    // the filter allows are the processors it names, whichever number they start at.
    const int processor = NthPassingProcessor(num, ProcessorCount.load(), filter);
    if (processor < 0) return;
    const int usage = TruncToInt(adCpuUsage::GetCPUUsageByIndex(processor) * 100);
    StoreSingleRow(Options, Data, Display, {L"usage"}, {Variant(static_cast<std::int32_t>(usage))}, L"GetCpuUsage: ");
}

void GetCpuCount(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    if (!LearnProcessorCount(L"GetCpuCount: ")) return;
    StoreSingleRow(Options, Data, Display, {L"count"}, {Variant(static_cast<std::int32_t>(ProcessorCount.load()))},
                   L"GetCpuCount: ");
}

void RegisterCpuProviders() {
    RegisterGatherProc("CPU", GetCpuTimes);
    // It asks WMI for the queue length; the times it keeps only it uses.
    RegisterGatherTurn("CPU", WmiGatherTurn);
    RegisterGatherProc("CPUUSAGE", GetCpuUsage);
    RegisterGatherProc("CPUCOUNT", GetCpuCount);
}
