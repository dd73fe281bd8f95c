// The items half of the item-line parser: instances, companions, the fields read from
// the options, the carry-over of unchanged items across a reload and the instance limits.
#include "ItemLines.h"

#include <cstddef>
#include <map>
#include <utility>
#include <vector>

#include "Checked.h"
#include "ConfigItems.h"
#include "Errors.h"
#include "Includes.h"
#include "InstanceLimits.h"
#include "ItemCharts.h"
#include "Log.h"
#include "Templates.h"
#include "Utils.h"

namespace {

constexpr std::int32_t kWhite = 16777215;

bool SameKeyword(const std::string& a, const std::string& b) { return LowerAscii(a) == LowerAscii(b); }

// The option's text, or Default when the item has no such option.
std::wstring OptionText(const TConfigItem& item, const wchar_t* name, const std::wstring& Default) {
    const Variant v = GetItemOption(item.Options, name, Variant());
    return v.IsEmpty() ? Default : v.ToText();
}

bool HasOption(const TConfigItem& item, const wchar_t* name) {
    return !GetItemOption(item.Options, name, Variant()).IsEmpty();
}

std::int32_t IntOption(const TConfigItem& item, const wchar_t* name, std::int32_t Default) {
    return HasOption(item, name) ? ParseIntegerOption(OptionText(item, name, L"")) : Default;
}

bool BoolOption(const TConfigItem& item, const wchar_t* name, bool Default) {
    return HasOption(item, name) ? ParseBoolOption(OptionText(item, name, L"")) : Default;
}

std::wstring WithInstanceNo(const std::wstring& text, std::int32_t instanceNo) {
    return WideReplaceText(text, L"%1", std::to_wstring(instanceNo), rfReplaceAll);
}

// "color": variables expanded (not for companion lines), "#RRGGBB" turned into the
// Windows order, then read as hexadecimal. A colour that reads becomes the running
// colour; the item takes the running colour either way.
void ApplyColour(TConfigItem& item, std::int32_t& colour, bool expandVariables) {
    std::wstring text = OptionText(item, L"color", L"");
    if (expandVariables) text = ExpandVariables(text);
    text = HtmlColorToBgr(text);
    if (!text.empty()) colour = HexTextToInt(text, colour);
    item.Color = colour;
}

// "font-size": points, or "n%" of the global font size (100% when n is not a number).
void ApplyFontSize(TConfigItem& item) {
    const std::wstring text = OptionText(item, L"font-size", L"");
    if (!text.empty() && text.back() == L'%') {
        std::int32_t percent = 100;
        if (!TryParseIntegerOption(text.substr(0, text.size() - 1), percent)) percent = 100;
        item.FontSize = CheckedMul<std::int32_t>(percent, FontSize) / 100;
    } else {
        item.FontSize = IntOption(item, L"font-size", FontSize);
    }
}

void ApplyThresholds(TConfigItem& item) {
    const std::wstring threshold = OptionText(item, L"threshold", L"");
    const std::wstring tcolor = OptionText(item, L"tcolor", L"");
    if (!threshold.empty() && !tcolor.empty()) ParseThreshold(item.Thresholds, L"1 " + threshold + L" " + tcolor);
    for (const wchar_t* name : {L"threshold1", L"threshold2", L"threshold3"}) {
        const std::wstring rule = OptionText(item, name, L"");
        if (!rule.empty()) ParseThreshold(item.Thresholds, rule);
    }
}

// The fields that instance lines and companion lines read alike, from "hidden" to
// "text", in this order.
void ApplyCommonFields(int index, std::int32_t& colour, bool expandColourVariables, TVistrelMainForm* form) {
    TConfigItem& item = CheckedAt(ConfigItems, index);
    item.Hidden = IntOption(item, L"hidden", item.Hidden);
    item.HideNoResult = BoolOption(item, L"hide-no-result", item.HideNoResult);
    item.Interval = IntOption(item, L"interval", item.Interval);
    item.TextOffset = IntOption(item, L"text-offset", item.TextOffset);
    item.Lid = OptionText(item, L"lid", item.Lid);
    ApplyColour(item, colour, expandColourVariables);
    ApplyFontSize(item);
    item.FontFace = OptionText(item, L"font-face", FontFace);
    ApplyThresholds(item);
    const std::wstring chart = OptionText(item, L"chart", L"");
    if (!chart.empty()) AddChart(item, chart, form);
    item.Style = static_cast<std::uint8_t>(item.Style | StyleBitsFromText(OptionText(item, L"style", L"")));
    // A label of the line's own gets the instance number just as the table's labels do.
    item.Text = WithInstanceNo(OptionText(item, L"text", item.Text), item.InstanceNo);
}

// One instance of a line: a copy of the keyword's default record with the line's options
// and the fields they give. Returns the line's count as this instance read it.
std::int32_t AddInstance(const TConfigItem& defaults, std::int32_t instanceNo, std::uint32_t crc,
                         const std::wstring& optionsText, std::int32_t& colour, TVistrelMainForm* form) {
    ConfigItems.push_back(defaults);
    const int index = CheckedCast<int>(ConfigItems.size() - 1);
    {
        TConfigItem& item = ConfigItems.back();
        item.Text = WithInstanceNo(item.Text, instanceNo);
        item.InstanceNo = instanceNo;
        item.LineCrc = crc;
    }
    ParseItemOptions(index, optionsText);

    TConfigItem& item = CheckedAt(ConfigItems, index);
    const std::int32_t count = IntOption(item, L"count", 1);
    const std::int32_t active = IntOption(item, L"active", 0);
    item.Active = item.AlwaysCollect || active > 0;
    if (active >= 0 && active <= 9) item.Page = active;
    ApplyCommonFields(index, colour, true, form);

    TConfigItem& made = CheckedAt(ConfigItems, index);
    made.Control = nullptr;
    if (made.Keyword == "CONTROL") {
        const std::int32_t type = IntOption(made, L"type", 0);
        if (type == 0) CreateItemButton(made, index, form);
        else if (type == 1) CreateItemLink(made, index, form);
    } else if (made.Keyword == "SET") {
        // A variable needs a name: an empty one would match every "%%".
        const std::wstring key = OptionText(made, L"key", L"");
        if (!key.empty()) SetVariable(key, OptionText(made, L"value", L""));
    }
    return count;
}

// The companion items of one instance (DISKIO after each FIXEDDISK), inactive, without
// options and without a line of their own.
void AddCompanions(const std::string& keyword, std::int32_t instanceNo) {
    for (const TConfigItem& row : ItemTypeTable) {
        if (row.ParentKeyword.empty() || !SameKeyword(row.ParentKeyword, keyword)) continue;
        TConfigItem companion = row;
        companion.Text = WithInstanceNo(companion.Text, instanceNo);
        companion.InstanceNo = instanceNo;
        companion.Active = false;
        ConfigItems.push_back(std::move(companion));
    }
}

// A companion line: its options go to every companion item of its keyword; a companion
// is active only while the first item of its parent keyword is.
void ApplyCompanionLine(const TConfigItem& defaults, const std::wstring& optionsText, std::int32_t& colour,
                        TVistrelMainForm* form) {
    for (std::size_t i = 0; i < ConfigItems.size(); ++i) {
        if (!SameKeyword(ConfigItems[i].Keyword, defaults.Keyword)) continue;
        const int index = CheckedCast<int>(i);
        ParseItemOptions(index, optionsText);
        TConfigItem parent;
        GetItem(defaults.ParentKeyword, parent);
        TConfigItem& item = CheckedAt(ConfigItems, index);
        const std::int32_t active = IntOption(item, L"active", 0);
        if (active >= 0 && active <= 9) item.Page = parent.Page;
        item.Active = active > 0 && parent.Active;
        ApplyCommonFields(index, colour, false, form);
    }
}

// Whether New is Old's twin: made from the same line with the same instance number, or,
// for companions (which have no line), of the same keyword and instance number.
bool IsTwin(const TConfigItem& oldItem, const TConfigItem& newItem) {
    if (oldItem.InstanceNo != newItem.InstanceNo) return false;
    const bool oldCompanion = !oldItem.ParentKeyword.empty();
    const bool newCompanion = !newItem.ParentKeyword.empty();
    if (oldCompanion != newCompanion) return false;
    if (oldCompanion) return SameKeyword(oldItem.Keyword, newItem.Keyword);
    return oldItem.LineCrc == newItem.LineCrc;
}

bool SameChartSettings(const TConfigItem& a, const TConfigItem& b) {
    return a.ChartType == b.ChartType && a.ChartScale == b.ChartScale && a.ChartMax == b.ChartMax &&
           a.ChartValue == b.ChartValue && a.BarLevel == b.BarLevel && a.ChartColor1 == b.ChartColor1 &&
           a.ChartValue2 == b.ChartValue2 && a.ChartColor2 == b.ChartColor2;
}

bool AnyActiveItem(const std::string& keyword) { return FirstActiveItem(keyword) != nullptr; }

// A disk line's "include-all"; a value that is no boolean is logged, naming the item,
// and read as false, so that it neither leaves the other lines unlimited nor stops the load.
bool IncludeAllOption(const TConfigItem& item, std::size_t Position) {
    const std::wstring text = OptionText(item, L"include-all", L"");
    if (text.empty()) return false;
    try {
        return ParseBoolOption(text);
    } catch (const std::exception&) {
        // Once per line: its instances share the option.
        if (item.InstanceNo == 0)
            WriteLog(L"SetConfig: " + ErrorPrefix() + AnsiToWide(item.Keyword) + L" item " + std::to_wstring(Position + 1) +
                         L" (" + item.Text + L"): include-all '" + text + L"' is not a boolean value; read as false",
                     llError);
        return false;
    }
}

// The count for Key, asked of Count only the first time.
template <typename Key, typename CountFn>
int CountedOnce(std::map<Key, int>& counted, const Key& key, CountFn count) {
    auto found = counted.find(key);
    if (found == counted.end()) found = counted.emplace(key, count()).first;
    return found->second;
}

// Each instance shows disk or processor number InstanceNo among those its own line's
// filter passes, so each is limited by what that filter passes. An inactive first line
// does not keep an active later one from being limited.
void LimitConfiguredInstances() {
    if (AnyActiveItem("FIXEDDISK")) {
        std::map<std::pair<std::wstring, bool>, int> counted;
        bool listed = false;
        LimitItemInstances("FIXEDDISK", [&counted, &listed](const TConfigItem& item) {
            const std::size_t position = static_cast<std::size_t>(&item - ConfigItems.data());
            const std::pair key(OptionText(item, L"filter", L""), IncludeAllOption(item, position));
            // Every load counts the drives present now, listed with the first line's
            // include-all: a drive that came since the last load (a USB disk that a filter
            // names) gets its lines.
            if (!listed) {
                RefreshDriveList(key.second);
                listed = true;
            }
            return CountedOnce(counted, key, [&key] { return CountFixedDisks(key.first, key.second); });
        });
    }
    if (AnyActiveItem("CPUUSAGE")) {
        std::map<std::wstring, int> counted;
        LimitItemInstances("CPUUSAGE", [&counted](const TConfigItem& item) {
            const std::wstring filter = OptionText(item, L"filter", L"");
            return CountedOnce(counted, filter, [&filter] { return GetCpuUsageCount(WideToAnsi(filter)); });
        });
    }
}

}  // namespace

void AddConfItem(const std::wstring& Line, std::int32_t& Colour, TVistrelMainForm* Form) {
    if (Line.empty() || Line[0] == L'#') return;
    const std::uint32_t crc = StringCrc32(WideToAnsi(Line));
    // A line without "=" is a keyword without options.
    const std::size_t equals = Line.find(L'=');
    const std::wstring keyword = Line.substr(0, equals);
    const std::wstring optionsText = equals == std::wstring::npos ? std::wstring() : Line.substr(equals + 1);

    TConfigItem defaults;
    FindItemDefault(WideToAnsi(keyword), defaults);
    if (defaults.Keyword.empty()) return;  // unknown keywords are ignored without a word

    try {
        if (!defaults.ParentKeyword.empty()) {
            ApplyCompanionLine(defaults, optionsText, Colour, Form);
        } else {
            // The count is read by each instance, so a count below 1 still makes one. A
            // count past the bound would fill the memory with copies: it stops the line.
            std::int32_t count = 1;
            for (std::int32_t i = 0; i < count; i = CheckedAdd<std::int32_t>(i, 1)) {
                count = AddInstance(defaults, i, crc, optionsText, Colour, Form);
                if (count > kMaxInstancesPerLine)
                    throw ERangeError(L"count:" + std::to_wstring(count) + L" is more than " +
                                      std::to_wstring(kMaxInstancesPerLine) + L" instances");
                AddCompanions(defaults.Keyword, i);
            }
        }
    } catch (const Exception& e) {
        WriteLog(L"AddConfItem: " + ErrorText + e.Message(), llError);
    } catch (const std::exception& e) {
        WriteLog(L"AddConfItem: " + ErrorText + ExceptionText(e), llError);
    }
    WriteLog(L"AddConfItem: " + optionsText, llDebug);
}

const TConfigItem* FirstActiveItem(const std::string& Keyword) {
    for (const TConfigItem& item : ConfigItems)
        if (item.Active && SameKeyword(item.Keyword, Keyword)) return &item;
    return nullptr;
}

bool GetItem(const std::string& Keyword, TConfigItem& Item) {
    Item = TConfigItem{};
    try {
        for (const TConfigItem& item : ConfigItems) {
            if (SameKeyword(item.Keyword, Keyword)) {
                Item = item;
                return true;
            }
        }
    } catch (const std::exception& e) {
        Item = TConfigItem{};
        WriteLog(L"GetItem " + AnsiToWide(Keyword) + L" " + ExceptionText(e), llError);
    }
    return false;
}

void LimitItemInstances(const std::string& Keyword, int Limit) {
    LimitItemInstances(Keyword, [Limit](const TConfigItem&) { return Limit; });
}

void LimitItemInstances(const std::string& Keyword, const std::function<int(const TConfigItem&)>& LimitOf) {
    TConfigItem first;
    GetItem(Keyword, first);
    bool withinLimit = true;  // of the instance before the item at hand
    for (TConfigItem& item : ConfigItems) {
        if (SameKeyword(item.Keyword, Keyword)) {
            // Instances count per line: every line's numbering starts at 0.
            withinLimit = item.InstanceNo < LimitOf(item);
            item.Active = item.Active && withinLimit;
        } else if (!item.ParentKeyword.empty() && SameKeyword(item.ParentKeyword, Keyword)) {
            // The companion that follows instance k shares its fate.
            item.Active = item.Active && first.Active && withinLimit;
        }
    }
}

void CarryOverItemState(TConfigArray& OldItems, TConfigArray& NewItems) {
    std::vector<bool> taken(NewItems.size(), false);
    for (TConfigItem& oldItem : OldItems) {
        for (std::size_t n = 0; n < NewItems.size(); ++n) {
            if (taken[n] || !IsTwin(oldItem, NewItems[n])) continue;
            taken[n] = true;
            TConfigItem& twin = NewItems[n];
            twin.LastTick = oldItem.LastTick;
            twin.ItemData = std::move(oldItem.ItemData);
            oldItem.ItemData = TItemData{};
            // The chart goes with its history only to a twin that asks for the same chart.
            // (A chart the twin made itself is released in favour of the old one.)
            if (oldItem.Scope && SameChartSettings(oldItem, twin)) {
                if (twin.Scope != oldItem.Scope) ReleaseItemScope(twin);
                twin.Scope = oldItem.Scope;
                oldItem.Scope = nullptr;
            }
            break;
        }
    }
}

void SetConfig(const TWideStringArray& Lines, TVistrelMainForm* Form) {
    try {
        // The old items leave ConfigItems whole; their user controls go at once (the new
        // items make their own), their charts and results wait for the carry-over.
        TConfigArray oldItems = std::move(ConfigItems);
        ConfigItems = TConfigArray{};
        for (TConfigItem& item : oldItems) ReleaseItemControl(item);

        std::int32_t colour = kWhite;
        for (const std::wstring& line : Lines) AddConfItem(line, colour, Form);

        CarryOverItemState(oldItems, ConfigItems);
        for (TConfigItem& item : oldItems) ReleaseItemScope(item);
        FreeConfigItems(oldItems);

        LimitConfiguredInstances();
        WriteLog(L"Items Loaded: " + std::to_wstring(ConfigItems.size()), llInfo);
    } catch (const Exception& e) {
        WriteLog(L"SetConfig: SetConfig " + ErrorText + e.Message(), llError);
    } catch (const std::exception& e) {
        WriteLog(L"SetConfig: SetConfig " + ErrorText + ExceptionText(e), llError);
    }
}
