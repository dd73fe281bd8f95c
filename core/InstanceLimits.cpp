#include "InstanceLimits.h"

// Placeholders until the drive list and the processor count exist: no limit.
int CountFixedDisks(const std::wstring& /*Filter*/, bool /*IncludeAll*/) { return kNoInstanceLimit; }
int GetCpuUsageCount(const std::string& /*Filter*/) { return kNoInstanceLimit; }
