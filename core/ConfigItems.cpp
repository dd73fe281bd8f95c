#include "ConfigItems.h"

TConfigArray ConfigItems;
TReleaseControlHook ReleaseItemControlHook = nullptr;

void ClearItemData(TConfigItem& Item) {
    Item.ItemData.Names.clear();
    Item.ItemData.Data.clear();
    Item.ItemData.Lines.clear();
    Item.ItemData.TimeCollected = 0;
}

void FreeConfigItems(TConfigArray& Items) {
    for (auto& item : Items) {
        if (item.Control && ReleaseItemControlHook) ReleaseItemControlHook(item.Control);
        item.Control = nullptr;
        item.Options = TItemOptionArray{};
        ClearItemData(item);
    }
    Items.clear();
}
