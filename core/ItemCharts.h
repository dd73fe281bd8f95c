// Charts and user controls of items: this is where the line chart of an item with a
// "chart" option and the button or link of a CONTROL item are made and released.
// The chart and control widgets do not exist yet: AddChart, CreateItemButton and
// CreateItemLink make nothing for now, so no item has a chart or a control until this
// unit makes them. The release routines already give every chart and control exactly
// one owner: the live item in ConfigItems that holds it (copies handed to the collection
// thread only look at the pointers).
#pragma once

#include <string>

#include "ItemTypes.h"

class TVistrelMainForm;

// Frees a line-chart control. Set by the unit that owns the chart controls (the main
// form); called only when set.
using TReleaseScopeHook = void (*)(TVrScope* Scope);
extern TReleaseScopeHook ReleaseItemScopeHook;

// Fills the item's chart fields from its "chart" option and makes, keeps or releases its
// line-chart control (owned by Form). For now: no chart is made and nothing changes.
void AddChart(TConfigItem& Item, const std::wstring& ChartText, TVistrelMainForm* Form);

// The user control of a CONTROL item: a button ("type" 0) or a link ("type" 1), made
// only when ItemIndex lies within ConfigItems. For now: no control is made.
void CreateItemButton(TConfigItem& Item, int ItemIndex, TVistrelMainForm* Form);
void CreateItemLink(TConfigItem& Item, int ItemIndex, TVistrelMainForm* Form);

// Frees the item's line chart (through ReleaseItemScopeHook) and clears the pointer, so
// it is freed once.
void ReleaseItemScope(TConfigItem& Item);
// Frees the item's user control (through ReleaseItemControlHook) and clears the pointer.
void ReleaseItemControl(TConfigItem& Item);
