#include "InstanceLimits.h"

// Placeholder until the drive list exists: no limit. GetCpuUsageCount is in providers/Cpu.cpp.
int CountFixedDisks(const std::wstring& /*Filter*/, bool /*IncludeAll*/) { return kNoInstanceLimit; }
