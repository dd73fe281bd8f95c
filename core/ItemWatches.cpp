#include "ItemWatches.h"

#include "ConfigItems.h"
#include "Templates.h"

void (*RebuildFileWatchesHook)(const std::vector<TFileWatchEntry>& Entries) = nullptr;
void (*RebuildRegWatchesHook)(const std::vector<TRegWatchEntry>& Entries) = nullptr;
std::vector<TFileWatchName> (*ListFileWatchesHook)() = nullptr;
void (*RenameFileWatchHook)(std::size_t Index, const std::wstring& FileName) = nullptr;

namespace {

std::wstring OptionText(const TItemOptionArray& options, const wchar_t* name, const wchar_t* fallback) {
    return GetItemOption(options, name, Variant(std::wstring(fallback))).ToText();
}

}  // namespace

std::vector<TFileWatchEntry> FileWatchEntries(const TConfigArray& Items) {
    std::vector<TFileWatchEntry> entries;
    for (const TConfigItem& item : Items) {
        if (item.Keyword != "FILE" || !item.Active) continue;
        entries.push_back({item.Text, OptionText(item.Options, L"file", L""), item.LineCrc, item.Interval,
                           OptionText(item.Options, L"type", L"0")});
    }
    return entries;
}

std::vector<TRegWatchEntry> RegWatchEntries(const TConfigArray& Items) {
    std::vector<TRegWatchEntry> entries;
    for (const TConfigItem& item : Items) {
        if (item.Keyword != "REGISTRY" || !item.Active) continue;
        entries.push_back({item.Text, OptionText(item.Options, L"key", L""), OptionText(item.Options, L"tree", L"0") == L"1"});
    }
    return entries;
}

void SetupWatches() {
    // The lists are rebuilt whole on every reload.
    const std::vector<TFileWatchEntry> files = FileWatchEntries(ConfigItems);
    const std::vector<TRegWatchEntry> keys = RegWatchEntries(ConfigItems);
    if (RebuildFileWatchesHook) RebuildFileWatchesHook(files);
    if (RebuildRegWatchesHook) RebuildRegWatchesHook(keys);
}

std::vector<TFileWatchRename> FileWatchRenames(const TConfigArray& Items, const std::vector<TFileWatchName>& Watches,
                                               const std::function<std::wstring(const std::wstring&)>& Expand) {
    std::vector<std::wstring> names;
    names.reserve(Watches.size());
    for (const TFileWatchName& w : Watches) names.push_back(w.FileName);
    std::vector<TFileWatchRename> renames;
    for (std::size_t i = Items.size(); i-- > 0;) {
        const TConfigItem& item = Items[i];
        for (std::size_t w = Watches.size(); w-- > 0;) {
            if (Watches[w].ItemId != item.LineCrc) continue;
            const std::wstring expanded = Expand(OptionText(item.Options, L"file", L""));
            if (expanded == names[w]) continue;
            names[w] = expanded;
            renames.push_back({w, expanded});
        }
    }
    return renames;
}

void SyncFileWatches() {
    if (!ListFileWatchesHook) return;
    const std::vector<TFileWatchName> watches = ListFileWatchesHook();
    for (const TFileWatchRename& r : FileWatchRenames(ConfigItems, watches, ExpandVariables))
        if (RenameFileWatchHook) RenameFileWatchHook(r.Index, r.FileName);
}
