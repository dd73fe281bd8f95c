// The memory and disk family: PHYSICALRAM, VIRTUALMEMORY, PAGEFILE, PAGEFAULTS
// (Memory.cpp), FIXEDDISK and the drive list (FixedDisks.cpp), LOGICALDRIVES
// (LogicalDrives.cpp).
#pragma once

// Enters the family's routines into ItemTypeTable and gives the main loop its drive-list
// refresh.
void RegisterMemoryDiskProviders();
// Program start: the logical-drives history starts empty.
void InitializeMemoryDiskProviders();
// Program end: the drive list and the logical-drives history are emptied.
void FinalizeMemoryDiskProviders();
