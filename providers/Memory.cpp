// The memory items: three figures pairs from GlobalMemoryStatusEx and the page-fault rates.
#include "Memory.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cmath>

#include "Checked.h"
#include "Errors.h"
#include "FixedDisks.h"
#include "Includes.h"
#include "Log.h"
#include "Pipeline.h"
#include "SystemInfo.h"
#include "Templates.h"
#include "Wmi.h"

namespace {

// Used only on the collection thread, by one routine at a time.
TPageFaultSample previousSample;

MEMORYSTATUSEX MemoryStatus() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;  // 64
    // A failed call leaves zeros, and the percentage division then raises.
    GlobalMemoryStatusEx(&status);
    return status;
}

void StoreMemoryRow(const TItemOptionArray& Options, TItemData& Data, std::wstring& Display, const wchar_t* UsedName,
                    const wchar_t* FreeName, DWORDLONG Total, DWORDLONG Available, const wchar_t* LogTag) {
    Display.clear();
    const TVarArray row = MemoryRow(CheckedCast<std::int64_t>(Total), CheckedCast<std::int64_t>(Available));
    StoreSingleRow(Options, Data, Display, {UsedName, L"total", L"usedpct", FreeName, L"freepct"}, row, LogTag);
}

std::int64_t DivTruncating(std::int64_t Numerator, std::int64_t Denominator) {
    if (Denominator == 0) throw EDivByZero(L"Division by zero");
    if (Denominator == -1) return CheckedSub<std::int64_t>(0, Numerator);
    return Numerator / Denominator;
}

// A real truncated towards zero; one beyond 64 bits raises instead of wrapping.
std::int64_t TruncToInt64(double Value) {
    const double t = std::trunc(Value);
    if (!(t > -9.2e18 && t < 9.2e18)) throw EInvalidOp(L"Invalid floating point operation");
    return static_cast<std::int64_t>(t);
}

// A / B as the floating-point unit traps it: x / 0 and 0 / 0 raise.
double Divide(double A, double B) {
    if (B == 0) {
        if (A == 0) throw EInvalidOp(L"Invalid floating point operation");
        throw EZeroDivide(L"Floating point division by zero");
    }
    return A / B;
}

}  // namespace

// ---- interpretation -------------------------------------------------------------------------

TVarArray MemoryRow(std::int64_t Total, std::int64_t Available) {
    const std::int64_t used = CheckedSub(Total, Available);
    return {WholeCurrency(used), WholeCurrency(Total), WholeCurrency(DivTruncating(CheckedMul<std::int64_t>(used, 100), Total)),
            WholeCurrency(Available), WholeCurrency(DivTruncating(CheckedMul<std::int64_t>(Available, 100), Total))};
}

std::optional<TVarArray> PageFaultRow(const TPageFaultSample& Previous, std::int64_t Now,
                                      const TPageFaultCounters& Counters) {
    if (Now == 0 || Previous.Time == 0 || Now <= Previous.Time) return std::nullopt;
    // A counter that went back (a 32-bit counter that wrapped, a reset) gives no rate
    // for this interval rather than a negative one.
    for (std::size_t i = 0; i < Counters.size(); ++i)
        if (Counters[i] < Previous.Counters[i]) return std::nullopt;
    const double seconds = static_cast<double>(Now - Previous.Time);
    std::array<std::int64_t, 4> rates{};
    for (std::size_t i = 0; i < rates.size(); ++i)
        rates[i] = TruncToInt64(static_cast<double>(CheckedSub(Counters[i], Previous.Counters[i])) / seconds);
    // No page fault in the interval: nothing to take a ratio of, and nothing wrong.
    std::int64_t hit = 0, miss = 0;
    if (rates[0] != 0) {
        const double r1 = static_cast<double>(rates[0]), r2 = static_cast<double>(rates[1]);
        hit = std::max<std::int64_t>(0, TruncToInt64(Divide(r1 - r2, r1) * 100));
        miss = std::max<std::int64_t>(0, TruncToInt64(Divide(r2, r1) * 100));
    }
    return TVarArray{WholeCurrency(rates[0]), WholeCurrency(rates[1]), WholeCurrency(rates[2]),
                     WholeCurrency(rates[3]), WholeCurrency(hit),      WholeCurrency(miss)};
}

std::optional<TPageFaultCounters> PageFaultCountersOf(const std::vector<Variant>& Values) {
    TPageFaultCounters counters{};
    if (Values.size() < counters.size()) return std::nullopt;
    for (std::size_t i = 0; i < counters.size(); ++i) {
        if (Values[i].IsEmpty() || Values[i].IsNull()) return std::nullopt;
        counters[i] = Values[i].ToInt64();
    }
    return counters;
}

TPageFaultSample PageFaultSample() { return previousSample; }
void SetPageFaultSample(const TPageFaultSample& Sample) { previousSample = Sample; }

// ---- the routines -----------------------------------------------------------------------------

void GetPhysicalRam(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    const MEMORYSTATUSEX status = MemoryStatus();
    StoreMemoryRow(Options, Data, Display, L"usedbytes", L"freebytes", status.ullTotalPhys, status.ullAvailPhys,
                   L"Physical RAM: ");
}

void GetVirtualMemory(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    const MEMORYSTATUSEX status = MemoryStatus();
    StoreMemoryRow(Options, Data, Display, L"used", L"free", status.ullTotalVirtual, status.ullAvailVirtual,
                   L"Virtual Memory: ");
}

void GetPageFile(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    const MEMORYSTATUSEX status = MemoryStatus();
    StoreMemoryRow(Options, Data, Display, L"used", L"free", status.ullTotalPageFile, status.ullAvailPageFile,
                   L"Page File: ");
}

void GetPageFaults(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    const std::wstring display = GetItemOption(Options, L"display", Variant(L"%1")).ToText();
    try {
        std::vector<Variant> values;
        WmiQueryVal("root\\cimv2", "select * from Win32_PerfRawData_PerfOS_Memory",
                    {"PageFaultsPersec", "PagesPersec", "PagesInputPerSec", "PagesOutputPerSec"}, values);
        // A query that delivered no object (or not every counter) is no sample: nothing is
        // shown and the previous sample stays, so the next real one measures from it.
        if (const std::optional<TPageFaultCounters> counters = PageFaultCountersOf(values)) {
            const std::int64_t now = GetTickCount() / 1000;
            if (const std::optional<TVarArray> row = PageFaultRow(previousSample, now, *counters)) {
                SetFieldNames(Data.Names, {L"page faults", L"hard faults", L"pages input per sec",
                                           L"pages output per sec", L"read hit ratio", L"read miss ratio"});
                AddDataRow(Data.Data, *row, false);
                Display = FillDisplayTemplate(display, *row);
            }
            previousSample = {static_cast<std::int64_t>(GetTickCount() / 1000), *counters};
        }
    } catch (const std::exception& e) {
        WriteLog(L"GetPageFaults: " + ErrorText + WmiErrorMessage(e) + L" : " + Display, llError);
    }
    WriteLog(L"GetPageFaults: " + Display, llData);
}
