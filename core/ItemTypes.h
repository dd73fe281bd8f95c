// The item model: one configured display item, its options and its current result,
// and the keyword table from which every configured item is copied.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "Variant.h"

using TWideStringArray = std::vector<std::wstring>;
using TVarArray = std::vector<Variant>;   // one row of an item's values
using TDataArray = std::vector<TVarArray>; // the rows; row 0 feeds the display template

// One option of an item: the name as written in the item line (case kept; an empty
// name marks a free slot) and its value.
struct TItemOption {
    std::wstring Name;
    Variant Value;
};

constexpr int kItemOptionCount = 21;
// Filled from slot 0 upwards without gaps; names are compared ignoring case.
using TItemOptionArray = std::array<TItemOption, kItemOptionCount>;

// An item's current result.
struct TItemData {
    double TimeCollected = 0;  // days since 1899-12-30
    TWideStringArray Names;
    TDataArray Data;
    TWideStringArray Lines;
};

// A gathering routine: works on its own copy of the options, fills Data and sets
// Display to the item's display text (a vertical bar separates lines). It may raise.
using TGatherProc = void (*)(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
// The gathering turn of an item: the name of the state its routine shares with other
// routines (a source, or providers whose state goes together), from its options. Items of
// one turn are gathered one at a time; an item without a turn is gathered by the
// collection thread itself, in the turn of all such items.
using TGatherTurnProc = std::wstring (*)(const TItemOptionArray& Options);

struct TThreshold {
    std::int32_t Level = 0;  // 1-based number of the tested value in each row; 0 = unused
    std::int64_t Value = 0;  // threshold x 10000; positive tests at least, negative at most
    std::int32_t Color = 0;
};

struct TLineColor {
    std::int32_t Line = 0;
    std::int32_t Color = 0;
};

class TVrScope;      // the line chart control of an item
class TItemControl;  // the button or link of a CONTROL item

// One configured item, and the shape of each keyword-table row. Copied whole between
// the window thread and the collection thread.
struct TConfigItem {
    std::string Keyword;        // upper case, at most 20 characters
    std::string ParentKeyword;  // at most 30 characters; "FIXEDDISK" for DISKIO
    TGatherProc GatherProc = nullptr;
    TGatherTurnProc TurnOf = nullptr;  // none: the collection thread's own turn
    bool AlwaysCollect = false;
    std::wstring Text;          // the label; "%1" replaced by the instance number
    std::int32_t Interval = 0;  // seconds; 0 = collect once
    std::int32_t TextOffset = 0;
    std::wstring Lid;           // language id of the label
    bool Active = false;
    std::int32_t Page = 0;      // 0..9
    std::int32_t Hidden = 0;    // 0 shown, 1 hidden by option, 2 hidden for lack of a result
    bool HideNoResult = false;
    std::int32_t Color = 0;     // Windows colour value, low byte red
    std::wstring FontFace;      // as written in the ini: UTF-16 all the way to the font
    std::int32_t FontSize = 0;
    std::int32_t LineHeight = 0;
    std::uint8_t Style = 0;     // 1 bold, 2 italic, 4 underline, 8 "w"
    std::array<TThreshold, 3> Thresholds{};
    // Chart block: carried from an old item to its new twin in one piece on a reload.
    std::uint8_t ChartType = 0;   // 0 none, 1 bar meter, 2 line chart
    std::uint8_t ChartScale = 0;  // 0 none, 1 linear, 2 logarithmic
    std::int64_t ChartMax = 0;    // x 10000; -10000 when a chart option omits it
    std::int32_t ChartValue = 0;
    std::int64_t BarLevel = 0;    // x 10000
    std::int32_t ChartColor1 = 0;
    std::int32_t ChartValue2 = 0;
    std::int32_t ChartColor2 = 0;
    TVrScope* Scope = nullptr;    // owned by the main form
    // End of the chart block.
    std::int32_t InstanceNo = 0;
    std::uint32_t LastTick = 0;   // tick count of the last collection; 0 = never
    bool Collected = false;
    std::uint32_t LineCrc = 0;    // CRC-32 of the item line: the item's identity across reloads
    TItemOptionArray Options;
    TItemData ItemData;
    TItemControl* Control = nullptr;  // owned by the main form
    std::vector<TLineColor> LineColors;
};

using TConfigArray = std::vector<TConfigItem>;

constexpr int kItemTypeCount = 63;
// The keyword table: one default record per keyword, in the order of the language file.
extern std::array<TConfigItem, kItemTypeCount> ItemTypeTable;

// Copies the first table row whose keyword equals Keyword (ASCII letters compared
// ignoring case, nothing trimmed) into Item; writes nothing when none matches.
void FindItemDefault(const std::string& Keyword, TConfigItem& Item);

// Enters a gathering routine into the table row of Keyword (providers call this at
// start-up, before any configuration is loaded).
void RegisterGatherProc(const char* Keyword, TGatherProc Proc);
// Enters the turn of Keyword's items into its table row (at start-up, as above).
void RegisterGatherTurn(const char* Keyword, TGatherTurnProc Proc);

// Sets the 63 default labels of the table (part of the configuration unit's start).
void SetDefaultItemLabels();
