// PHYSICALRAM, VIRTUALMEMORY, PAGEFILE (one pair of figures each from the memory status)
// and PAGEFAULTS (rates of four raw memory counters against the previous sample).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ItemTypes.h"
#include "Variant.h"

// ---- the gathering routines -------------------------------------------------------------
void GetPhysicalRam(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetVirtualMemory(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetPageFile(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetPageFaults(TItemOptionArray Options, TItemData& Data, std::wstring& Display);

// ---- interpretation, on values ------------------------------------------------------------

// used, total, used percent, free, free percent of a total and an available amount (all
// currency, whole numbers; percentages truncate). A total of 0 raises EDivByZero.
TVarArray MemoryRow(std::int64_t Total, std::int64_t Available);

// The raw counters PageFaultsPersec, PagesPersec, PagesInputPerSec, PagesOutputPerSec.
using TPageFaultCounters = std::array<std::int64_t, 4>;
struct TPageFaultSample {
    std::int64_t Time = 0;  // whole seconds of the tick count; 0 = none yet
    TPageFaultCounters Counters{};
};

// The rates and ratios from the previous sample to Counters taken at Now (whole seconds):
// page faults, hard faults, pages input and output per second, read hit and miss ratios.
// Nothing when there is no previous sample, when Now is 0, when no whole second has
// passed (or the tick count wrapped) or when a counter went back. A page-fault rate of 0
// gives both ratios 0.
std::optional<TVarArray> PageFaultRow(const TPageFaultSample& Previous, std::int64_t Now,
                                      const TPageFaultCounters& Counters);

// The four counters (page faults, pages, pages input, pages output) from the values a
// query delivered; nothing when one of them was not delivered (empty or null).
std::optional<TPageFaultCounters> PageFaultCountersOf(const std::vector<Variant>& Values);

// The program's one previous sample (all PAGEFAULTS items share it); tests reset it.
TPageFaultSample PageFaultSample();
void SetPageFaultSample(const TPageFaultSample& Sample);
