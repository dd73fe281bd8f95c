// The configuration unit: configured items, loading of the ini files.
#pragma once

#include <string>

#include "ItemTypes.h"

extern TConfigArray ConfigItems;
// The text whose height gives each item's line height.
extern std::wstring MeasuringText;

// Start of the configuration unit: the table's labels and the unit's texts.
void InitializeConfiguration();
// End of the configuration unit: frees the configured items.
void FinalizeConfiguration();
