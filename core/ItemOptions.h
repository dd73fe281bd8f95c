// The options half of the item-line parser: an options text split into the 21 option
// slots of an item, threshold rules, and the readers of option values (numbers, booleans,
// fixed-point values, colours, style letters). Window thread only.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "ItemTypes.h"
#include "Variant.h"

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
