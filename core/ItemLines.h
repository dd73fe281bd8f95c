// The item-line parser: turns the lines of the "items" section into ConfigItems.
// Each line is a keyword, "=", then "name:value" pairs separated by ","; the keyword's
// default record is copied from ItemTypeTable, the pairs become the item's options and
// some of them its fields. Everything here runs on the window thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "ItemOptions.h"
#include "ItemTypes.h"

class TVistrelMainForm;

// Rebuilds ConfigItems from the item lines. The old items are moved out first; their
// user controls are released, each unchanged item hands its state (last collection,
// result, chart with its history) to its twin among the new items, the charts of the
// others are released, and the instances of FIXEDDISK and CPUUSAGE are limited to what
// the machine has. Form (may be none) owns the line-chart controls that items make.
void SetConfig(const TWideStringArray& Lines, TVistrelMainForm* Form);

// The most instances one item line may make.
constexpr std::int32_t kMaxInstancesPerLine = 1000;

// Appends the items of one line: the instances and, after each, its companion items; a
// companion line (DISKIO) applies its options to the companions already made. Colour is
// the running colour: taken by items without "color", replaced by a line that has one.
// Errors are logged; the items made before an error stay.
void AddConfItem(const std::wstring& Line, std::int32_t& Colour, TVistrelMainForm* Form);

// Copies the first configured item of Keyword (ignoring case) into Item; Item is an
// empty record when there is none. True when one was found.
bool GetItem(const std::string& Keyword, TConfigItem& Item);

// The first active configured item of Keyword (ignoring case), or none.
const TConfigItem* FirstActiveItem(const std::string& Keyword);

// Switches off the instances of Keyword numbered Limit and above within their line, and
// the companion items that follow them. LimitOf gives each instance its own limit.
void LimitItemInstances(const std::string& Keyword, int Limit);
void LimitItemInstances(const std::string& Keyword, const std::function<int(const TConfigItem&)>& LimitOf);

// Hands the state of the old items to their twins among the new ones. A twin is made
// from the same line (same LineCrc) and has the same InstanceNo; companion items, which
// have no line of their own, pair by keyword and InstanceNo. Pairing is one to one, in
// order, so two identical lines keep one state each. A twin takes LastTick and
// ItemData, and the chart block with its control when its chart settings are the same
// (a chart control it made itself is released first); the old item gives the control
// up. Chart controls still held by old items are not touched here.
void CarryOverItemState(TConfigArray& OldItems, TConfigArray& NewItems);
