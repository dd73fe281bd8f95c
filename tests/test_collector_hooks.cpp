// The collection thread's hooks on the window thread (count, fetch, store with the IF
// rule, report) and the threshold colours of a collected item.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "Collector.h"
#include "Configuration.h"
#include "Includes.h"
#include "ItemLines.h"
#include "Templates.h"
#include "test_providers_support.h"

// ---- the hooks ------------------------------------------------------------------------------

namespace {

class CollectorHooks : public ::testing::Test {
protected:
    void SetUp() override {
        FreeConfigItems(ConfigItems);
        CurrentPage = 1;
    }
    void TearDown() override {
        FreeConfigItems(ConfigItems);
        CurrentPage = -1;
    }
};

std::vector<std::wstring> OptionNames(const TItemOptionArray& options) {
    std::vector<std::wstring> names;
    for (const TItemOption& o : options)
        if (!o.Name.empty()) names.push_back(o.Name);
    return names;
}

}  // namespace

TEST_F(CollectorHooks, CountIsTheNumberOfItems) {
    ConfigItems.resize(3);
    std::int32_t count = -1;
    CollectorCountHook(nullptr, count);
    EXPECT_EQ(count, 3);
}

TEST_F(CollectorHooks, FetchAddsItsOptionsDroppingThoseThatDoNotFit) {
    struct Row {
        int own;                       // options of the item line
        const wchar_t* ownName;        // a name used by the line, or null
        std::vector<std::wstring> added;
    } rows[] = {
        {0, nullptr, {L"item", L"config", L"num", L"mainform", L"crc32"}},
        {16, nullptr, {L"item", L"config", L"num", L"mainform", L"crc32"}},
        {17, nullptr, {L"item", L"config", L"num", L"mainform"}},
        {18, nullptr, {L"item", L"config", L"num"}},
        {19, nullptr, {L"item", L"config"}},
        {20, nullptr, {L"item"}},
        {21, nullptr, {}},
        {20, L"ITEM", {L"item", L"config"}},  // a name already there is overwritten in place
    };
    for (const Row& r : rows) {
        FreeConfigItems(ConfigItems);
        ConfigItems.resize(2);
        TConfigItem& live = ConfigItems[1];
        live.Keyword = "TEXT";
        live.Page = 1;
        live.InstanceNo = 3;
        live.LineCrc = 0xFFFFFFFFu;
        for (int i = 0; i < r.own; ++i)
            live.Options[static_cast<std::size_t>(i)] = {L"opt" + std::to_wstring(i), Variant(L"v")};
        if (r.ownName) live.Options[0].Name = r.ownName;

        TConfigItem copy;
        CollectorFetchHook(nullptr, 1, copy);
        std::vector<std::wstring> added;
        for (const std::wstring& name : OptionNames(ConfigItems[1].Options))
            if (name.rfind(L"opt", 0) != 0) added.push_back(name);
        EXPECT_EQ(added, r.added) << r.own;
        EXPECT_EQ(copy.Keyword, "TEXT");
        EXPECT_EQ(OptionNames(copy.Options), OptionNames(ConfigItems[1].Options)) << r.own;
    }
}

TEST_F(CollectorHooks, FetchOptionValues) {
    ConfigItems.resize(2);
    ConfigItems[1].Page = 1;
    ConfigItems[1].InstanceNo = 3;
    ConfigItems[1].LineCrc = 0xFFFFFFFFu;
    TConfigItem copy;
    CollectorFetchHook(nullptr, 1, copy);
    EXPECT_EQ(GetItemOption(copy.Options, L"item", Variant()), Variant(std::int32_t{1}));
    EXPECT_EQ(GetItemOption(copy.Options, L"config", Variant()).ToInt64(),
              static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(&ConfigItems)));
    EXPECT_EQ(GetItemOption(copy.Options, L"num", Variant()), Variant(std::int32_t{3}));
    EXPECT_EQ(GetItemOption(copy.Options, L"mainform", Variant()).ToInt64(), 0);
    EXPECT_EQ(GetItemOption(copy.Options, L"crc32", Variant()), Variant(4294967295.0));
}

TEST_F(CollectorHooks, FetchSkipsOtherPagesAndBadIndexes) {
    ConfigItems.resize(2);
    ConfigItems[0].Keyword = "TEXT";
    ConfigItems[0].Page = 2;
    ConfigItems[1].Keyword = "SET";
    ConfigItems[1].Page = 2;
    ConfigItems[1].AlwaysCollect = true;

    TConfigItem copy;
    CollectorFetchHook(nullptr, 0, copy);
    EXPECT_TRUE(copy.Keyword.empty());
    EXPECT_TRUE(OptionNames(ConfigItems[0].Options).empty());

    CollectorFetchHook(nullptr, 1, copy);
    EXPECT_EQ(copy.Keyword, "SET");

    // An index outside the items: fetch leaves the copy cleared, store changes and logs
    // nothing. The stored copy is an IF item whose false value would switch the item
    // after the index off.
    ConfigItems[0].Active = true;
    ConfigItems[1].Active = true;
    LogCapture log;
    for (std::int32_t bad : {-1, -2, 2, 3, 1000}) {
        TConfigItem none;
        CollectorFetchHook(nullptr, bad, none);
        EXPECT_TRUE(none.Keyword.empty()) << bad;
        TConfigItem work;
        work.Keyword = "IF";
        work.ItemData.Data = {{Variant(false)}};
        work.ItemData.Lines = {L"stored"};
        work.Collected = true;
        work.LastTick = 77;
        CollectorStoreHook(nullptr, bad, work);
    }
    for (const TConfigItem& item : ConfigItems) {
        EXPECT_TRUE(item.Active) << item.Keyword;
        EXPECT_TRUE(item.ItemData.Lines.empty()) << item.Keyword;
        EXPECT_FALSE(item.Collected) << item.Keyword;
        EXPECT_EQ(item.LastTick, 0u) << item.Keyword;
    }
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(CollectorHooks, StoreReplacesOnlyTheResultFields) {
    ConfigItems.resize(1);
    TConfigItem& live = ConfigItems[0];
    live.Keyword = "TEXT";
    live.Text = L"label";
    live.Color = 5;
    live.Interval = 7;
    live.Options[0] = {L"display", Variant(L"%1")};

    TConfigItem work;
    work.Keyword = "OTHER";
    work.Text = L"changed";
    work.Color = 9;
    work.Interval = 1;
    work.ItemData.TimeCollected = 45000.5;
    work.ItemData.Names = {L"a"};
    work.ItemData.Data = {{Variant(std::int32_t{1})}};
    work.ItemData.Lines = {L"one"};
    work.Collected = true;
    work.LastTick = 1234;
    work.Hidden = 2;
    work.LineColors = {{0, 255}};
    CollectorStoreHook(nullptr, 0, work);

    EXPECT_EQ(live.ItemData.TimeCollected, 45000.5);
    EXPECT_EQ(live.ItemData.Names, TWideStringArray{L"a"});
    EXPECT_EQ(live.ItemData.Lines, TWideStringArray{L"one"});
    EXPECT_EQ(live.ItemData.Data.size(), 1u);
    EXPECT_TRUE(live.Collected);
    EXPECT_EQ(live.LastTick, 1234u);
    EXPECT_EQ(live.Hidden, 2);
    ASSERT_EQ(live.LineColors.size(), 1u);
    EXPECT_EQ(live.LineColors[0].Color, 255);
    EXPECT_EQ(live.Keyword, "TEXT");
    EXPECT_EQ(live.Text, L"label");
    EXPECT_EQ(live.Color, 5);
    EXPECT_EQ(live.Interval, 7);
    EXPECT_TRUE(live.Options[1].Name.empty());
}

TEST_F(CollectorHooks, IfRule) {
    struct Row {
        const char* keyword;
        TDataArray rows;
        bool before;
        bool after;
    } rows[] = {
        {"IF", {{Variant(false)}}, true, false},
        {"IF", {{Variant(true)}}, false, true},
        {"IF", {{Variant(std::int32_t{0})}}, true, false},
        {"IF", {{Variant(std::int32_t{2})}}, false, true},
        {"IF", {{Variant(L"True")}}, false, true},
        {"IF", {{Variant(L"false")}}, true, false},
        {"IF", {{Variant(L"maybe")}}, true, true},   // no boolean: unchanged
        {"IF", {{Variant(L"maybe")}}, false, false},
        {"IF", TDataArray{TVarArray{}}, true, true},  // first row without values
        {"IF", {}, false, false},                    // no rows
        {"If", {{Variant(false)}}, true, true},      // the keyword is compared exactly
        {"TEXT", {{Variant(false)}}, true, true},
    };
    for (const Row& r : rows) {
        FreeConfigItems(ConfigItems);
        ConfigItems.resize(2);
        ConfigItems[1].Active = r.before;
        TConfigItem work;
        work.Keyword = r.keyword;
        work.ItemData.Data = r.rows;
        CollectorStoreHook(nullptr, 0, work);
        EXPECT_EQ(ConfigItems[1].Active, r.after) << r.keyword << " " << r.rows.size();
    }
    // The last item has no next item to switch.
    FreeConfigItems(ConfigItems);
    ConfigItems.resize(1);
    ConfigItems[0].Active = true;
    TConfigItem work;
    work.Keyword = "IF";
    work.ItemData.Data = {{Variant(false)}};
    CollectorStoreHook(nullptr, 0, work);
    EXPECT_TRUE(ConfigItems[0].Active);
}

TEST_F(CollectorHooks, ReportLogsKeywordLidAndResult) {
    LogCapture log;
    TConfigItem uptime, host;
    uptime.Keyword = "UPTIME";
    uptime.Options[0] = {L"LID", Variant(L"up1")};
    host.Keyword = "HOST";
    CollectorReportHook(nullptr, uptime, L"True");
    CollectorReportHook(nullptr, host, L"False");
    EXPECT_EQ(log.At(L"DATA"), (std::vector<std::wstring>{L"UPTIME (up1) True", L"HOST () False"}));
}

// ---- threshold colours -------------------------------------------------------------------------

namespace {

TThreshold Rule(std::int32_t level, double value, std::int32_t color) {
    return {level, static_cast<std::int64_t>(value * 10000), color};
}

using Pairs = std::vector<std::pair<std::int32_t, std::int32_t>>;

Pairs ColorsFor(const char* keyword, const wchar_t* display, TDataArray rows, std::array<TThreshold, 3> rules,
                TWideStringArray names = {}) {
    TConfigItem item;
    item.Keyword = keyword;
    if (display) item.Options[0] = {L"display", Variant(display)};
    item.ItemData.Data = std::move(rows);
    item.ItemData.Names = std::move(names);
    item.Thresholds = rules;
    ApplyThresholdColors(item);
    Pairs pairs;
    for (const TLineColor& c : item.LineColors) pairs.push_back({c.Line, c.Color});
    return pairs;
}

Variant I(std::int32_t v) { return Variant(v); }

}  // namespace

TEST(CollectorThresholds, Table) {
    struct Row {
        const char* name;
        const char* keyword;
        const wchar_t* display;
        TDataArray rows;
        std::array<TThreshold, 3> rules;
        TWideStringArray names;
        Pairs expected;
    } rows[] = {
        {"two lines per row, value 2 met in row 1", "TEXT", L"%1|%2", {{I(0), I(0)}, {I(0), I(9)}},
         {Rule(2, 5, 7), {}, {}}, {}, {{3, 7}}},
        {"default display %1", "TEXT", nullptr, {{I(6)}}, {Rule(1, 5, 1), {}, {}}, {}, {{0, 1}}},
        {"level 3 on rows of three", "TEXT", L"%1 %2 %3", {{I(0), I(0), I(8)}}, {Rule(3, 5, 2), {}, {}}, {}, {{0, 2}}},
        {"level 3 on rows of two is skipped", "TEXT", L"%1 %2 %3", {{I(9), I(9)}}, {Rule(3, 5, 2), {}, {}}, {}, {}},
        {"-5 met by 5 and below", "TEXT", L"%1", {{I(4)}, {I(5)}, {I(6)}}, {Rule(1, -5, 3), {}, {}}, {},
         {{0, 3}, {1, 3}}},
        {"5 met by 5 and above", "TEXT", L"%1", {{I(4)}, {I(5)}, {I(6)}}, {Rule(1, 5, 3), {}, {}}, {},
         {{1, 3}, {2, 3}}},
        {"0 never", "TEXT", L"%1", {{I(0)}, {I(-1)}, {I(1)}}, {Rule(1, 0, 3), {}, {}}, {}, {}},
        {"level 0 unused", "TEXT", L"%1", {{I(9)}}, {Rule(0, 5, 3), {}, {}}, {}, {}},
        {"third rule first, rows in order", "TEXT", L"%1", {{I(10)}, {I(20)}},
         {Rule(1, 5, 1), Rule(1, 15, 2), Rule(1, 1, 3)}, {}, {{0, 3}, {1, 3}, {1, 2}, {0, 1}, {1, 1}}},
        {"non-numeric text never meets", "TEXT", L"%1", {{Variant(L"high")}, {Variant(L"7")}},
         {Rule(1, 5, 1), Rule(1, -5, 2), {}}, {}, {{1, 1}}},
        {"empty and null values", "TEXT", L"%1", {{Variant()}, {Variant::Null()}}, {Rule(1, -5, 1), {}, {}}, {}, {}},
        {"currency values", "TEXT", L"%1", {{Variant::FromCurrency(5.5)}}, {Rule(1, 5.5, 1), {}, {}}, {}, {{0, 1}}},
        {"tag not in the template", "TEXT", L"%1", {{I(1), I(9)}}, {Rule(2, 5, 1), {}, {}}, {}, {}},
        {"tag after two bars", "TEXT", L"a|b|%1", {{I(9)}, {I(9)}}, {Rule(1, 5, 1), {}, {}}, {}, {{2, 1}, {5, 1}}},
        {"WMI tags by value name", "WMI", L"x|Load=%2|Name", {{I(9), I(9)}}, {Rule(1, 5, 4), Rule(2, 5, 5), {}},
         {L"Name", L"Load"}, {{1, 5}, {2, 4}}},
        {"WMI rule without a name adds nothing", "WMI", L"%1", {{I(9), I(9)}}, {Rule(2, 5, 4), {}, {}}, {L"Name"}, {}},
        {"fractional threshold", "TEXT", L"%1", {{Variant(2.5)}, {Variant(2.4)}}, {Rule(1, 2.5, 6), {}, {}}, {},
         {{0, 6}}},
    };
    for (const Row& r : rows)
        EXPECT_EQ(ColorsFor(r.keyword, r.display, r.rows, r.rules, r.names), r.expected) << r.name;
}
