#include "ItemOptions.h"

#include <cstddef>
#include <limits>

#include "Checked.h"
#include "ConfigItems.h"
#include "Errors.h"
#include "Utils.h"

namespace {

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

int HexDigitValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// "\," is a comma inside a value; "\&" stands for a literal ampersand, which text
// drawing wants doubled.
std::wstring ReplaceEscapes(const std::wstring& s) {
    return WideReplaceText(WideReplaceText(s, L"\\,", L",", rfReplaceAll | rfIgnoreCase), L"\\&", L"&&",
                           rfReplaceAll | rfIgnoreCase);
}

bool Escaped(const std::wstring& s, std::size_t at) { return at > 0 && s[at - 1] == L'\\'; }

// Splits a pair at its first ":" into name and value; a pair without ":" has an empty
// name (a free slot) and is all value.
void SplitPair(const std::wstring& pair, std::wstring& name, std::wstring& value) {
    const std::size_t colon = pair.find(L':');
    if (colon == std::wstring::npos) {
        name.clear();
        value = pair;
    } else {
        name = pair.substr(0, colon);
        value = pair.substr(colon + 1);
    }
}

// The blank-separated token of Text starting at Pos (up to the next blank); Pos moves
// behind that blank, or to the end.
std::wstring NextToken(const std::wstring& text, std::size_t& pos) {
    if (pos >= text.size()) return {};
    const std::size_t blank = text.find(L' ', pos);
    if (blank == std::wstring::npos) {
        std::wstring token = text.substr(pos);
        pos = text.size();
        return token;
    }
    std::wstring token = text.substr(pos, blank - pos);
    pos = blank + 1;
    return token;
}

}  // namespace

bool TryParseIntegerOption(const std::wstring& Text, std::int32_t& Value) {
    const std::wstring t = WithoutBlanksAround(Text);
    std::size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == L'+' || t[i] == L'-')) negative = t[i++] == L'-';
    if (i >= t.size()) return false;
    std::int64_t magnitude = 0;
    for (; i < t.size(); ++i) {
        if (!IsDigit(t[i])) return false;
        magnitude = magnitude * 10 + (t[i] - L'0');
        if (magnitude > 2147483648LL) return false;
    }
    const std::int64_t v = negative ? -magnitude : magnitude;
    if (v > std::numeric_limits<std::int32_t>::max()) return false;
    Value = static_cast<std::int32_t>(v);
    return true;
}

std::int32_t ParseIntegerOption(const std::wstring& Text) {
    std::int32_t v = 0;
    if (!TryParseIntegerOption(Text, v)) throw EConvertError(L"'" + Text + L"' is not a valid integer value");
    return v;
}

bool ParseBoolOption(const std::wstring& Text) {
    std::int32_t v = 0;
    if (TryParseIntegerOption(Text, v)) return v != 0;
    const std::wstring t = LowerAscii(WithoutBlanksAround(Text));
    if (t == L"true") return true;
    if (t == L"false") return false;
    throw EConvertError(L"'" + Text + L"' is not a valid boolean value");
}

bool TryParseFixedPoint(const std::wstring& Text, std::int64_t& Value) {
    const std::wstring t = WithoutBlanksAround(Text);
    std::size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == L'+' || t[i] == L'-')) negative = t[i++] == L'-';
    bool digits = false;
    std::int64_t whole = 0;
    std::size_t wholeStart = i;
    for (; i < t.size() && IsDigit(t[i]); ++i) digits = true;
    const std::size_t wholeEnd = i;
    std::int64_t fraction = 0;  // the first four decimals, as ten-thousandths
    bool roundUp = false;
    if (i < t.size() && t[i] == L'.') {
        ++i;
        int places = 0;
        for (; i < t.size() && IsDigit(t[i]); ++i, ++places) {
            digits = true;
            if (places < 4) fraction = fraction * 10 + (t[i] - L'0');
            else if (places == 4) roundUp = t[i] >= L'5';
        }
        for (; places < 4; ++places) fraction *= 10;
    }
    if (!digits || i != t.size()) return false;
    for (std::size_t k = wholeStart; k < wholeEnd; ++k) whole = CheckedAdd<std::int64_t>(CheckedMul<std::int64_t>(whole, 10), t[k] - L'0');
    std::int64_t v = CheckedAdd<std::int64_t>(CheckedMul<std::int64_t>(whole, 10000), fraction);
    if (roundUp) v = CheckedAdd<std::int64_t>(v, 1);
    Value = negative ? -v : v;
    return true;
}

std::int32_t HexTextToInt(const std::wstring& Text, std::int32_t Default) {
    const std::wstring t = WithoutBlanksAround(Text);
    if (t.empty() || t.size() > 8) return Default;
    std::uint32_t v = 0;
    for (wchar_t c : t) {
        const int d = HexDigitValue(c);
        if (d < 0) return Default;
        v = (v << 4) | static_cast<std::uint32_t>(d);
    }
    return static_cast<std::int32_t>(v);
}

std::uint8_t StyleBitsFromText(const std::wstring& Text) {
    const std::wstring t = LowerAscii(Text);
    std::uint8_t bits = 0;
    if (t.find(L'b') != std::wstring::npos) bits |= 1;
    if (t.find(L'i') != std::wstring::npos) bits |= 2;
    if (t.find(L'u') != std::wstring::npos) bits |= 4;
    if (t.find(L'w') != std::wstring::npos) bits |= 8;
    return bits;
}

void SetConfigItemOption(TItemOptionArray& Options, const std::wstring& Name, const Variant& Value) {
    const std::wstring wanted = LowerText(Name);
    for (TItemOption& slot : Options) {
        if (slot.Name.empty() || LowerText(slot.Name) == wanted) {
            slot.Name = Name;
            slot.Value = Value;
            return;
        }
    }
}

void SetConfigItemOption(int Index, const std::wstring& Name, const Variant& Value) {
    SetConfigItemOption(CheckedAt(ConfigItems, Index).Options, Name, Value);
}

void ParseItemOptions(TItemOptionArray& Options, const std::wstring& Text) {
    std::wstring text = Text;
    bool colonSeen = false;
    while (!text.empty()) {
        // Find the next pair: a colon of its own, then the separator behind it. Commas
        // before the first colon belong to a pair without a name, which the latest of
        // them ends.
        colonSeen = false;
        std::size_t separator = std::wstring::npos;
        for (std::size_t at = 0; at < text.size(); ++at) {
            const wchar_t c = text[at];
            if (c == L':' && !colonSeen && !Escaped(text, at)) colonSeen = true;
            else if (c == L',' && !Escaped(text, at)) separator = at;
            if (colonSeen && separator != std::wstring::npos) break;
        }
        if (!colonSeen || separator == std::wstring::npos) break;
        std::wstring name, value;
        SplitPair(ReplaceEscapes(WithoutBlanksAround(text.substr(0, separator))), name, value);
        SetConfigItemOption(Options, name, Variant(value));
        text.erase(0, separator + 1);
    }
    // The last pair, which no separator ends.
    text = ReplaceEscapes(text);
    if (!text.empty() && colonSeen) {
        std::wstring name, value;
        SplitPair(text, name, value);
        SetConfigItemOption(Options, WithoutBlanksAround(name), Variant(WithoutBlanksAround(value)));
    }
}

void ParseItemOptions(int Index, const std::wstring& Text) {
    ParseItemOptions(CheckedAt(ConfigItems, Index).Options, Text);
}

void ParseThreshold(std::array<TThreshold, 3>& Rules, const std::wstring& Text) {
    const std::wstring text = Text + L" ";
    std::size_t pos = 0;
    const std::wstring levelToken = NextToken(text, pos);
    const std::wstring valueToken = NextToken(text, pos);
    const std::wstring colourToken = HtmlColorToBgr(NextToken(text, pos));
    if (levelToken.empty() || valueToken.empty() || colourToken.empty()) return;

    std::int32_t level = 0;
    if (!TryParseIntegerOption(levelToken, level)) level = 0;
    for (TThreshold& rule : Rules) {
        if (rule.Level == 0 || (level > 0 && rule.Level == level)) {
            std::int64_t value = 0;
            if (!TryParseFixedPoint(valueToken, value)) value = 0;
            rule.Level = level;
            rule.Value = value;
            rule.Color = HexTextToInt(colourToken, 16777215);
            return;
        }
    }
}
