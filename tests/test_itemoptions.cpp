// The options half of the item-line parser: options text into the 21 option slots,
// the readers of option values, and threshold rules.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "OptionSlots.h"
#include "Errors.h"
#include "ItemLines.h"
#include "Templates.h"

namespace {

// ---- options text into slots ----

TEST(ItemOptionsText, PairsEscapesAndBlanks) {
    using P = std::vector<std::pair<std::wstring, std::wstring>>;
    struct Row {
        const wchar_t* text;
        P expected;
    };
    const Row rows[] = {
        {L"active:1,text:Up\\, since", {{L"active", L"1"}, {L"text", L"Up, since"}}},
        {L"active:1,text:Tom \\& Jerry", {{L"active", L"1"}, {L"text", L"Tom && Jerry"}}},
        {L"display:%1\\,%2,x:1", {{L"display", L"%1,%2"}, {L"x", L"1"}}},
        // A pair is trimmed whole, so a value in the middle keeps its leading blank; the
        // last pair has name and value trimmed.
        {L" a:1 , b: 2 ,c: 3 ", {{L"a", L"1"}, {L"b", L" 2"}, {L"c", L"3"}}},
        {L"text:a:b,x:y", {{L"text", L"a:b"}, {L"x", L"y"}}},
        {L"path:c\\:\\dir", {{L"path", L"c\\:\\dir"}}},
        // Only the first colon of a pair separates name and value; an escaped colon
        // alone does not make a pair.
        {L"text\\:x", {}},
        {L"count:2,foo", {{L"count", L"2"}}},
        // Text before the first pair lands in a slot without a name, which the next
        // option takes over.
        {L"foo,count:2", {{L"count", L"2"}}},
        {L"a,b,count:2,x:1", {{L"count", L"2"}, {L"x", L"1"}}},
        {L"Text:x,TEXT:y", {{L"TEXT", L"y"}}},
        {L"", {}},
        {L"nocolon", {}},
        {L"x:", {{L"x", L""}}},
    };
    for (const Row& r : rows) {
        TItemOptionArray options;
        ParseItemOptions(options, r.text);
        EXPECT_EQ(Slots(options), r.expected) << r.text;
    }
}

TEST(ItemOptionsText, NamesKeepTheirCaseAndMatchIgnoringIt) {
    TItemOptionArray options;
    ParseItemOptions(options, L"Display:%1,Interval:5");
    EXPECT_EQ(options[0].Name, L"Display");
    EXPECT_EQ(Opt(options, L"display"), L"%1");
    EXPECT_EQ(Opt(options, L"INTERVAL"), L"5");
    EXPECT_TRUE(options[0].Value.IsString());
}

TEST(ItemOptionsText, TwentyOneSlotsThenNewNamesAreDropped) {
    std::wstring text;
    for (int n = 0; n < 22; ++n) text += (n ? L"," : L"") + std::wstring(L"o") + std::to_wstring(n) + L":" + std::to_wstring(n);
    TItemOptionArray options;
    ParseItemOptions(options, text);
    EXPECT_EQ(Opt(options, L"o20"), L"20");
    EXPECT_EQ(Opt(options, L"o21"), L"<absent>");
    // A name already present is still updated when every slot is used.
    SetConfigItemOption(options, L"O3", Variant(L"new"));
    EXPECT_EQ(options[3].Name, L"O3");
    EXPECT_EQ(Opt(options, L"o3"), L"new");
}

// ---- value readers ----

TEST(ItemOptionValues, IntegerRule) {
    struct Row {
        const wchar_t* text;
        bool ok;
        std::int32_t value;
    };
    const Row rows[] = {
        {L"2", true, 2},          {L" 2", true, 2},       {L"2 ", true, 2},        {L"+3", true, 3},
        {L"-4", true, -4},        {L"  -4  ", true, -4},  {L"007", true, 7},       {L"2147483647", true, 2147483647},
        {L"-2147483648", true, INT32_MIN},                {L"2147483648", false, 0}, {L"99999999999999999999", false, 0},
        {L"- 4", false, 0},       {L"+-4", false, 0},     {L"1.5", false, 0},      {L"abc", false, 0},
        {L"", false, 0},          {L" ", false, 0},       {L"-", false, 0},        {L"$10", false, 0},
        {L"0x10", false, 0},      {L"1 2", false, 0},
    };
    for (const Row& r : rows) {
        std::int32_t v = 12345;
        EXPECT_EQ(TryParseIntegerOption(r.text, v), r.ok) << r.text;
        if (r.ok) {
            EXPECT_EQ(v, r.value) << r.text;
            EXPECT_EQ(ParseIntegerOption(r.text), r.value) << r.text;
        } else {
            EXPECT_EQ(v, 12345) << r.text;
            EXPECT_THROW(ParseIntegerOption(r.text), EConvertError) << r.text;
        }
    }
}

TEST(ItemOptionValues, Booleans) {
    EXPECT_TRUE(ParseBoolOption(L"1"));
    EXPECT_TRUE(ParseBoolOption(L" -2"));
    EXPECT_TRUE(ParseBoolOption(L"True"));
    EXPECT_TRUE(ParseBoolOption(L"TRUE "));
    EXPECT_FALSE(ParseBoolOption(L"0"));
    EXPECT_FALSE(ParseBoolOption(L"false"));
    EXPECT_THROW(ParseBoolOption(L"yes"), EConvertError);
    EXPECT_THROW(ParseBoolOption(L""), EConvertError);
}

TEST(ItemOptionValues, FixedPointTimesTenThousand) {
    struct Row {
        const wchar_t* text;
        bool ok;
        std::int64_t value;
    };
    const Row rows[] = {
        {L"80", true, 800000},       {L"80.5", true, 805000},   {L"-80.5", true, -805000},  {L"+2", true, 20000},
        {L".5", true, 5000},         {L"7.", true, 70000},      {L"1.23456", true, 12346},  {L"1.23454", true, 12345},
        {L"0.00005", true, 1},       {L"0.00004", true, 0},     {L"-0.00005", true, -1},    {L"0", true, 0},
        {L"922337203685477.5807", true, INT64_MAX},
        {L"abc", false, 0},          {L"1e3", false, 0},        {L".", false, 0},           {L"-", false, 0},
        {L"1.2.3", false, 0},        {L"", false, 0},           {L"1,5", false, 0},
    };
    for (const Row& r : rows) {
        std::int64_t v = -1;
        EXPECT_EQ(TryParseFixedPoint(r.text, v), r.ok) << r.text;
        if (r.ok) {
            EXPECT_EQ(v, r.value) << r.text;
        }
    }
    std::int64_t v = 0;
    EXPECT_THROW(TryParseFixedPoint(L"922337203685478", v), EIntOverflow);
}

TEST(ItemOptionValues, HexAndStyle) {
    EXPECT_EQ(HexTextToInt(L"0000FF", 7), 255);
    EXPECT_EQ(HexTextToInt(L"ff00", 7), 0xFF00);
    EXPECT_EQ(HexTextToInt(L"FFFFFFFF", 7), -1);
    EXPECT_EQ(HexTextToInt(L"100000000", 7), 7);
    EXPECT_EQ(HexTextToInt(L"#FF0000", 7), 7);
    EXPECT_EQ(HexTextToInt(L"", 7), 7);
    EXPECT_EQ(HexTextToInt(L"zz", 7), 7);

    struct Row {
        const wchar_t* text;
        std::uint8_t bits;
    };
    const Row rows[] = {{L"b", 1}, {L"I", 2}, {L"u", 4}, {L"W", 8}, {L"BI", 3}, {L"underline", 6}, {L"", 0}, {L"xyz", 0}, {L"biuw", 15}};
    for (const Row& r : rows) EXPECT_EQ(StyleBitsFromText(r.text), r.bits) << r.text;
}

// ---- thresholds ----

TEST(ItemThresholds, RulesFromText) {
    struct Rule {
        std::int32_t level;
        std::int64_t value;
        std::int32_t color;
    };
    struct Row {
        std::vector<const wchar_t*> texts;
        std::vector<Rule> expected;  // the three rules after all texts
    };
    const Row rows[] = {
        {{L"1 80 #FF0000"}, {{1, 800000, 255}, {0, 0, 0}, {0, 0, 0}}},
        {{L"1 80 #FF0000", L"1 90 00FF00"}, {{1, 900000, 0x00FF00}, {0, 0, 0}, {0, 0, 0}}},
        {{L"1 80 FF", L"2 -50.5 FF00"}, {{1, 800000, 255}, {2, -505000, 0xFF00}, {0, 0, 0}}},
        {{L"2 80.5 FF"}, {{2, 805000, 255}, {0, 0, 0}, {0, 0, 0}}},
        // An empty token (missing, or two blanks in a row) leaves the rules alone.
        {{L"1 80"}, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}},
        {{L"1  80 FF"}, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}},
        {{L""}, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}},
        // A colour that is not hexadecimal is white; a value that is not a number is 0.
        {{L"1 80 zz"}, {{1, 800000, 16777215}, {0, 0, 0}, {0, 0, 0}}},
        {{L"1 lots FF"}, {{1, 0, 255}, {0, 0, 0}, {0, 0, 0}}},
        {{L"1 80 FF extra"}, {{1, 800000, 255}, {0, 0, 0}, {0, 0, 0}}},
        // Three rules of other levels: the fourth is dropped.
        {{L"1 1 1", L"2 2 2", L"3 3 3", L"4 4 4"}, {{1, 10000, 1}, {2, 20000, 2}, {3, 30000, 3}}},
    };
    for (const Row& r : rows) {
        std::array<TThreshold, 3> rules{};
        for (const wchar_t* t : r.texts) ParseThreshold(rules, t);
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(rules[k].Level, r.expected[k].level) << r.texts.back() << " rule " << k;
            EXPECT_EQ(rules[k].Value, r.expected[k].value) << r.texts.back() << " rule " << k;
            EXPECT_EQ(rules[k].Color, r.expected[k].color) << r.texts.back() << " rule " << k;
        }
    }
}

}  // namespace
