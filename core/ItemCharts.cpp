#include "ItemCharts.h"

#include "Configuration.h"

TReleaseScopeHook ReleaseItemScopeHook = nullptr;

// No chart widget exists yet: a "chart" option is kept in the item's options and
// leaves the chart fields as the keyword table has them (no chart).
void AddChart(TConfigItem& /*Item*/, const std::wstring& /*ChartText*/, TVistrelMainForm* /*Form*/) {}

// No button or link widget exists yet: a CONTROL item has no control.
void CreateItemButton(TConfigItem& /*Item*/, int /*ItemIndex*/, TVistrelMainForm* /*Form*/) {}
void CreateItemLink(TConfigItem& /*Item*/, int /*ItemIndex*/, TVistrelMainForm* /*Form*/) {}

void ReleaseItemScope(TConfigItem& Item) {
    if (Item.Scope && ReleaseItemScopeHook) ReleaseItemScopeHook(Item.Scope);
    Item.Scope = nullptr;
}

void ReleaseItemControl(TConfigItem& Item) {
    if (Item.Control && ReleaseItemControlHook) ReleaseItemControlHook(Item.Control);
    Item.Control = nullptr;
}
