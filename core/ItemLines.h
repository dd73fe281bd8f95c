// The item-line parser: turns the lines of the "items" section into ConfigItems.
// Each line is a keyword, "=", then "name:value" pairs separated by ","; the keyword's
// default record is copied from ItemTypeTable, the pairs become the item's options and
// some of them its fields. Everything here runs on the window thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "ItemTypes.h"
#include "Variant.h"

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

// Stores every "name:value" pair of an options text into ConfigItems[Index]. "\," is a
// comma inside a value and "\&" becomes "&&" (a literal ampersand for text drawing).
void ParseItemOptions(int Index, const std::wstring& Text);
void ParseItemOptions(TItemOptionArray& Options, const std::wstring& Text);

// Stores one option into ConfigItems[Index]: the first slot that is free or holds the
// same name (ignoring case) takes the name as given and the value; with all 21 slots
// holding other names the option is dropped. The collection thread's fetch stores its
// own options through this as well.
void SetConfigItemOption(int Index, const std::wstring& Name, const Variant& Value);
void SetConfigItemOption(TItemOptionArray& Options, const std::wstring& Name, const Variant& Value);

// Fills one threshold rule from "level value colour" (blank-separated): the first rule
// that is unused or, for a level above 0, has the same level. Value may have decimals
// and is stored times 10000 (rounded); the colour is "#RRGGBB" or hexadecimal in the
// Windows order. A text with an empty token, or three rules of other levels, changes
// nothing.
void ParseThreshold(std::array<TThreshold, 3>& Rules, const std::wstring& Text);

// Copies the first configured item of Keyword (ignoring case) into Item; Item is an
// empty record when there is none. True when one was found.
bool GetItem(const std::string& Keyword, TConfigItem& Item);

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

// The one number reader of integer item options: optional blanks, an optional "+" or
// "-" directly before the digits, decimal digits, optional blanks (a value in the middle
// of a line keeps its leading blank). Anything else, or a number outside 32 bits, raises
// EConvertError ("'x' is not a valid integer value").
std::int32_t ParseIntegerOption(const std::wstring& Text);
// The same rule without raising: false when Text is not such a number.
bool TryParseIntegerOption(const std::wstring& Text, std::int32_t& Value);
// A boolean option: an integer by the rule above (0 false, any other true), or "true"
// or "false" in any letter case; anything else raises EConvertError.
bool ParseBoolOption(const std::wstring& Text);
// A decimal number with an optional fraction ("80", "-80.5", ".5") times 10000, rounded
// half away from zero. False when Text is not such a number; EIntOverflow when the result
// does not fit 64 bits.
bool TryParseFixedPoint(const std::wstring& Text, std::int64_t& Value);
// Up to eight hexadecimal digits (blanks around them allowed) as a 32-bit value;
// Default when Text is not that.
std::int32_t HexTextToInt(const std::wstring& Text, std::int32_t Default);
// The style bits of a style text: "b" bold 1, "i" italic 2, "u" underline 4, "w" 8, each
// letter in any case and anywhere in the text.
std::uint8_t StyleBitsFromText(const std::wstring& Text);
