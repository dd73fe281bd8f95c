#include "MemoryDisks.h"

#include "FixedDisks.h"
#include "ItemTypes.h"
#include "LogicalDrives.h"
#include "MainLoop.h"
#include "Memory.h"
#include "Wmi.h"

void RegisterMemoryDiskProviders() {
    RegisterGatherProc("PHYSICALRAM", GetPhysicalRam);
    RegisterGatherProc("VIRTUALMEMORY", GetVirtualMemory);
    RegisterGatherProc("PAGEFILE", GetPageFile);
    RegisterGatherProc("PAGEFAULTS", GetPageFaults);
    RegisterGatherProc("LOGICALDRIVES", GetLogicalDrives2);
    RegisterGatherProc("FIXEDDISK", GetFixedDisk);
    // Both ask WMI, and keep samples only they use.
    RegisterGatherTurn("PAGEFAULTS", WmiGatherTurn);
    RegisterGatherTurn("LOGICALDRIVES", WmiGatherTurn);
    RefreshDriveListHook = RefreshDriveList;
}

void InitializeMemoryDiskProviders() { LogicalDrivesInitialization(); }

void FinalizeMemoryDiskProviders() {
    ClearDriveList();
    LogicalDrivesFinalization();
}
