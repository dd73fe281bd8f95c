// The configured items: the one global item array, owned by the configuration loader on
// the window thread, and the routines that empty it. The units that build, chart and
// draw the items share this array; none of them needs the loader for it.
#pragma once

#include "ItemTypes.h"

extern TConfigArray ConfigItems;

// Releases the user control of a CONTROL item. Set by the unit that makes the controls;
// called only when set.
using TReleaseControlHook = void (*)(TItemControl* Control);
extern TReleaseControlHook ReleaseItemControlHook;

// Releases the item's result (names, rows, lines) and sets its collection time to zero.
void ClearItemData(TConfigItem& Item);
// For every item: releases its user control, clears its options and its result; then
// empties the array. Line charts (Scope) are not released here.
void FreeConfigItems(TConfigArray& Items);
