#include "InstanceLimits.h"

// Placeholder until the processor count exists: no limit. CountFixedDisks lives with the
// drive list (providers/FixedDisks.cpp).
int GetCpuUsageCount(const std::string& /*Filter*/) { return kNoInstanceLimit; }
