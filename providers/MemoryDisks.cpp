#include "MemoryDisks.h"

#include "FixedDisks.h"
#include "ItemTypes.h"
#include "MainLoop.h"
#include "Memory.h"

void RegisterMemoryDiskProviders() {
    RegisterGatherProc("PHYSICALRAM", GetPhysicalRam);
    RegisterGatherProc("VIRTUALMEMORY", GetVirtualMemory);
    RegisterGatherProc("PAGEFILE", GetPageFile);
    RegisterGatherProc("FIXEDDISK", GetFixedDisk);
    RefreshDriveListHook = RefreshDriveList;
}

void InitializeMemoryDiskProviders() {}

void FinalizeMemoryDiskProviders() { ClearDriveList(); }
