// How many instances of FIXEDDISK and CPUUSAGE the machine can fill: the item-line
// parser switches off the instances beyond these counts. The drive list and the
// processor count behind them come with the disk and CPU items; until the processor
// count exists GetCpuUsageCount answers kNoInstanceLimit, so no instance is switched off.
#pragma once

#include <climits>
#include <string>

constexpr int kNoInstanceLimit = INT_MAX;

// The number of letters of the drive list that pass Filter; an empty list is built first,
// with drives A and B only when IncludeAll (providers/FixedDisks.cpp).
int CountFixedDisks(const std::wstring& Filter, bool IncludeAll);
// The number of processors whose number passes Filter. For now: kNoInstanceLimit.
int GetCpuUsageCount(const std::string& Filter);
