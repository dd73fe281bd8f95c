#include <windows.h>

#include <gtest/gtest.h>

#include "BarMeter.h"
#include "ColorButton.h"
#include "Configuration.h"
#include "DisplayModes.h"
#include "Includes.h"
#include "ItemLines.h"
#include "ItemCharts.h"
#include "Log.h"
#include "MainFormUnit.h"
#include "StaticTextW.h"
#include "Templates.h"
#include "TestFiles.h"
#include "VrScope.h"
#include "WindowTests.h"

namespace {

TConfigItem ActiveItem(const std::wstring& display = L"") {
    TConfigItem item;
    item.Keyword = "CPUUSAGE";
    item.Active = true;
    if (!display.empty()) {
        item.Options[0].Name = L"display";
        item.Options[0].Value = Variant(display);
    }
    return item;
}

class ItemCharts : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        SetLogFileName(log.File(L"log.txt"));
        LogLevels = 0xFF;
        form = Application().CreateForm<TVistrelMainForm>();
    }
    void TearDown() override {
        for (TConfigItem& item : items) ReleaseItemScope(item);
        for (TConfigItem& item : ConfigItems) ReleaseItemControl(item);
        ConfigItems.clear();
        LogLevels = 0;
        DisplayMode = dmWindow;
        WindowTest::TearDown();
    }
    TConfigItem& Add(const std::wstring& chart, const std::wstring& display = L"") {
        items.push_back(ActiveItem(display));
        AddChart(items.back(), chart, form);
        return items.back();
    }
    std::wstring Log() { return ReadLogText(log.File(L"log.txt")); }
    TempFolder log;
    TVistrelMainForm* form = nullptr;
    std::vector<TConfigItem> items = std::vector<TConfigItem>();
};

}  // namespace

TEST(ChartOptions, Tokens) {
    struct Row { std::wstring text; std::vector<std::wstring> tokens; };
    const Row rows[] = {
        {L"bar linear 100", {L"bar", L"linear", L"100"}},
        {L"  line log 5  ", {L"line", L"log", L"5"}},
        {L"bar  100 1", {L"bar", L"", L"100", L"1"}},
        {L"", {L""}},
    };
    for (const Row& r : rows) EXPECT_EQ(ChartTokens(r.text), r.tokens) << r.text;
}

TEST(ChartOptions, FieldsByRow) {
    struct Row {
        std::wstring text;
        int type, scale;
        std::int64_t max;
        int value;
        std::int64_t level;
        int color1, value2, color2;
        bool error;
    };
    const Row rows[] = {
        {L"bar linear 100 1 80", 1, 1, 1000000, 1, 800000, 0, 0, 0, false},
        {L"BAR LOG 2.5 3", 1, 2, 25000, 3, 0, 0, 0, 0, false},
        {L"bar linear 100 1 x", 1, 1, 1000000, 1, 0, 0, 0, 0, true},
        {L"bar linear 100 1 80,5", 1, 1, 1000000, 1, 0, 0, 0, 0, true},  // "." is the separator
        {L"bar linear 100,5 1", 1, 1, -10000, 1, 0, 0, 0, 0, false},
        {L"line linear 100 1 00FF00 2 0000FF", 2, 1, 1000000, 1, 0, 0x00FF00, 2, 0x0000FF, false},
        {L"line linear 100 1", 2, 1, 1000000, 1, 0, -1, -1, -1, false},
        {L"line log abc 1 FF0000", 2, 2, -10000, 1, 0, 0xFF0000, -1, -1, false},
        {L"line linear 50 1 #FF0000 2 #0000FF", 2, 1, 500000, 1, 0, 0x0000FF, 2, 0xFF0000, false},
        {L"line linear 50 one 00FF00", 2, 1, 500000, -1, 0, 0x00FF00, -1, -1, false},
        {L"line linear 0.00004 1", 2, 1, 0, 1, 0, -1, -1, -1, false},
        {L"line linear 99999999999999999 1", 2, 1, -10000, 1, 0, -1, -1, -1, false},
        {L"pie cubic 10 2", 0, 0, 100000, 2, 0, 0, 0, 0, false},
        {L"bar  100 1", 1, 0, 1000000, 1, 0, 0, 0, 0, false},
    };
    for (const Row& r : rows) {
        TChartFields f;
        std::wstring error;
        ParseChartText(r.text, f, error);
        EXPECT_EQ(f.ChartType, r.type) << r.text;
        EXPECT_EQ(f.ChartScale, r.scale) << r.text;
        EXPECT_EQ(f.ChartMax, r.max) << r.text;
        EXPECT_EQ(f.ChartValue, r.value) << r.text;
        EXPECT_EQ(f.BarLevel, r.level) << r.text;
        EXPECT_EQ(f.ChartColor1, r.color1) << r.text;
        EXPECT_EQ(f.ChartValue2, r.value2) << r.text;
        EXPECT_EQ(f.ChartColor2, r.color2) << r.text;
        EXPECT_EQ(!error.empty(), r.error) << r.text;
    }
}

TEST(ChartOptions, ColourOption) {
    struct Row { std::wstring value; std::int32_t expected; };
    const Row rows[] = {{L"", 7}, {L"228822", 0x228822}, {L"#112233", 0x332211}, {L"green", 7}, {L"#12", 7}};
    for (const Row& r : rows) {
        TItemOptionArray options;
        if (!r.value.empty()) {
            options[0].Name = L"Button-Color";
            options[0].Value = Variant(r.value);
        }
        EXPECT_EQ(GetItemColorOption(options, L"button-color", 7), r.expected) << r.value;
    }
}

TEST_F(ItemCharts, BarMeterAppendsChartToTheDisplay) {
    TConfigItem& bar = Add(L"bar linear 100 1 80", L"CPU %1");
    EXPECT_EQ(bar.ChartType, 1);
    EXPECT_EQ(bar.ChartMax, 1000000);
    EXPECT_EQ(bar.BarLevel, 800000);
    EXPECT_EQ(bar.Scope, nullptr);
    EXPECT_EQ(GetItemOption(bar.Options, L"display", Variant()).ToText(), L"CPU %1 %chart%");
    TConfigItem& kept = Add(L"bar linear 100 1", L"%chart% CPU");
    EXPECT_EQ(GetItemOption(kept.Options, L"display", Variant()).ToText(), L"%chart% CPU");
    TConfigItem& none = Add(L"bar linear 100 1");
    EXPECT_TRUE(GetItemOption(none.Options, L"display", Variant()).IsEmpty());
}

TEST_F(ItemCharts, InvalidBarLevelIsLogged) {
    TConfigItem& bar = Add(L"bar linear 100 1 x");
    EXPECT_EQ(bar.BarLevel, 0);
    EXPECT_NE(Log().find(L"AddChart: " + ErrorText + L"'x' is not a valid floating point value : CPUUSAGE Invalid threshold value x"),
              std::wstring::npos)
        << Log();
}

TEST_F(ItemCharts, LineChartMakesAScopeWithTwoChannels) {
    TConfigItem& line = Add(L"line linear 100 1 00FF00 2 0000FF");
    ASSERT_NE(line.Scope, nullptr);
    TVrScope& scope = *line.Scope;
    ASSERT_EQ(scope.Channels().Count(), 2);
    EXPECT_EQ(scope.Channels().Items(0).Color(), 65280);
    EXPECT_EQ(scope.Channels().Items(1).Color(), 255);
    EXPECT_EQ(scope.MaxValue(), 100);
    EXPECT_EQ(scope.BaseOffset(), 0);
    EXPECT_EQ(scope.Parent(), form);
    EXPECT_FALSE(scope.Visible());  // painting shows it
    EXPECT_FALSE(scope.AutoUpdate());
    EXPECT_FALSE(scope.Threaded());
    const TColor back = form->Canvas().Brush().Color();
    EXPECT_EQ(scope.Color(), back);
    EXPECT_EQ(scope.GridColor(), back);
    EXPECT_EQ(scope.BaseColor(), back);
}

// A maximum past the int range (8 GiB here) scales the chart instead of stopping it: the
// scope is made, its update bracket is closed, and the rest of the item line still counts.
TEST_F(ItemCharts, LineChartMaximumPastTheIntRange) {
    TConfigItem& line = Add(L"line linear 8589934592 1 00FF00");
    ASSERT_NE(line.Scope, nullptr);
    EXPECT_EQ(line.ChartMax, 85899345920000);
    EXPECT_EQ(line.Scope->MaxValue(), ScopeMaxValue(line.ChartMax));
    EXPECT_GT(line.Scope->MaxValue(), 1000000000);
    EXPECT_EQ(line.Scope->UpdateCount(), 0) << "the chart repaints again";
    EXPECT_EQ(Log().find(L"rror"), std::wstring::npos) << Log();

    SetConfig({L"CPUUSAGE=active:1,chart:line linear 5000000000 1 00FF00,style:w,text:Big"}, form);
    ASSERT_EQ(ConfigItems.size(), 1u);
    TConfigItem& item = ConfigItems[0];
    ASSERT_NE(item.Scope, nullptr);
    EXPECT_EQ(item.Scope->UpdateCount(), 0);
    EXPECT_EQ(item.Style & 8, 8) << "the style after the chart option";
    EXPECT_EQ(item.Text, L"Big") << "the label after the chart option";
    ReleaseItemScope(item);
    FreeConfigItems(ConfigItems);
}

TEST_F(ItemCharts, SecondChannelWithoutColourKeepsItsDefault) {
    TConfigItem& line = Add(L"line linear 100 1 #FF0000 2");
    ASSERT_NE(line.Scope, nullptr);
    EXPECT_EQ(line.Scope->Channels().Items(0).Color(), 0x0000FF);
    EXPECT_EQ(line.Scope->Channels().Items(1).Color(), clYellow);
}

TEST_F(ItemCharts, IncompleteLineChartsMakeNoScope) {
    for (const wchar_t* text : {L"line linear 100 1", L"line log abc 1 FF0000", L"line linear 100 x 00FF00",
                                L"line 100 1 00FF00"}) {
        EXPECT_EQ(Add(text).Scope, nullptr) << text;
    }
}

TEST_F(ItemCharts, NoFormNoScope) {
    items.push_back(ActiveItem());
    AddChart(items.back(), L"line linear 100 1 00FF00", nullptr);
    EXPECT_EQ(items.back().ChartType, 2);
    EXPECT_EQ(items.back().Scope, nullptr);
}

TEST_F(ItemCharts, InactiveItemKeepsEmptyFieldsAndLosesItsScope) {
    TConfigItem& line = Add(L"line linear 100 1 00FF00");
    ASSERT_NE(line.Scope, nullptr);
    line.Active = false;
    AddChart(line, L"line linear 100 1 00FF00", form);
    EXPECT_EQ(line.Scope, nullptr);
    TConfigItem off;
    off.Keyword = "CPUUSAGE";
    AddChart(off, L"bar linear 100 1 80", form);
    EXPECT_EQ(off.ChartType, 0);
    EXPECT_EQ(off.ChartMax, 0);
    EXPECT_EQ(off.BarLevel, 0);
}

TEST_F(ItemCharts, AgainKeepsTheScopeAndABarReleasesIt) {
    TConfigItem& line = Add(L"line linear 100 1 00FF00");
    TVrScope* first = line.Scope;
    ASSERT_NE(first, nullptr);
    first->AddValue(0, 5);
    AddChart(line, L"line linear 200 1 0000FF", form);
    EXPECT_EQ(line.Scope, first);
    EXPECT_EQ(first->MaxValue(), 200);
    EXPECT_EQ(first->Channels().Items(0).Color(), 0x0000FF);
    EXPECT_TRUE(first->Channels().Items(0).Values().empty());  // a new maximum clears
    AddChart(line, L"bar linear 100 1", form);
    EXPECT_EQ(line.Scope, nullptr);
}

TEST_F(ItemCharts, ButtonFromItemOptions) {
    ConfigItems.resize(1);
    TConfigItem& item = ConfigItems[0];
    item.Keyword = "CONTROL";
    item.FontFace = L"Arial";
    item.FontSize = 10;
    item.Color = 0x123456;
    item.Style = 1 | 4;
    item.Options[0] = {L"uri", Variant(std::wstring(L"notepad.exe"))};
    CreateItemButton(item, 0, form);
    auto* button = dynamic_cast<TColorButton*>(item.Control);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->Tag, 0);
    EXPECT_EQ(button->Color(), 0x228822);
    EXPECT_EQ(button->Hint(), L"notepad.exe");
    EXPECT_TRUE(button->ShowHint());
    EXPECT_EQ(button->Font().Name(), L"Arial");
    EXPECT_EQ(button->Font().Size(), 9);
    EXPECT_EQ(button->Font().Color(), 0x123456);
    EXPECT_EQ(button->Font().Style(), fsBold | fsUnderline);
    EXPECT_EQ(button->Alignment(), TButtonAlignment::alMiddleCenter);
    EXPECT_EQ(button->ButtonStyle(), bsAutoSize | bsCenter | bsStretch);
    EXPECT_EQ(button->Spacing(), -2);
    EXPECT_EQ(button->Cursor, crHandPoint);
    EXPECT_EQ(button->Parent(), form);
    EXPECT_FALSE(button->Visible());
}

// The font name of a CONTROL line, in a script outside the system code page, reaches the
// GDI font of its button or link unchanged.
TEST_F(ItemCharts, ControlFontNameOutsideTheCodePage) {
    const std::wstring face = L"\u6E38\u30B4\u30B7\u30C3\u30AF";
    for (const wchar_t* type : {L"0", L"1"}) {
        SetConfig({L"CONTROL=active:1,type:" + std::wstring(type) + L",font-face:" + face}, form);
        ASSERT_EQ(ConfigItems.size(), 1u);
        TFont* font = nullptr;
        if (auto* button = dynamic_cast<TColorButton*>(ConfigItems[0].Control)) font = &button->Font();
        if (auto* link = dynamic_cast<TStaticTextW*>(ConfigItems[0].Control)) font = &link->Font();
        ASSERT_NE(font, nullptr) << type;
        EXPECT_EQ(font->Name(), face) << type;
        LOGFONTW lf{};
        ASSERT_NE(GetObjectW(font->Handle(), sizeof lf, &lf), 0) << type;
        EXPECT_EQ(std::wstring(lf.lfFaceName), face) << type;
    }
}

TEST_F(ItemCharts, ControlsOnlyForIndexesWithinTheItems) {
    ConfigItems.resize(1);
    TConfigItem item;
    CreateItemButton(item, 1, form);
    EXPECT_EQ(item.Control, nullptr);
    CreateItemLink(item, -1, form);
    EXPECT_EQ(item.Control, nullptr);
    CreateItemLink(item, 0, nullptr);
    EXPECT_EQ(item.Control, nullptr);
}

TEST_F(ItemCharts, LinkFromItemOptions) {
    struct Row { std::wstring style; bool hasStyle; std::uint8_t bits; unsigned font; };
    const Row rows[] = {{L"", false, 4, fsUnderline}, {L"bi", true, 3, fsBold | fsItalic}, {L"BUw", true, 8, 0},
                        {L"uw", true, 12, fsUnderline}};
    ConfigItems.resize(1);
    for (const Row& r : rows) {
        TConfigItem& item = ConfigItems[0];
        ReleaseItemControl(item);
        item = TConfigItem();
        item.FontFace = L"Arial";
        item.FontSize = 10;
        item.Color = 0x0000FF;
        item.Style = 1;
        if (r.hasStyle) item.Options[0] = {L"style", Variant(r.style)};
        item.Options[1] = {L"hover-color", Variant(std::wstring(L"#102030"))};
        CreateItemLink(item, 0, form);
        auto* link = dynamic_cast<TStaticTextW*>(item.Control);
        ASSERT_NE(link, nullptr);
        EXPECT_EQ(item.Style, r.bits) << r.style;
        EXPECT_EQ(link->Font().Style(), r.font) << r.style;
        EXPECT_EQ(link->Font().Size(), 10);
        EXPECT_EQ(link->HoverTextColor, 0x302010);
        EXPECT_EQ(link->HoverBackColor, 0x909090);
        EXPECT_EQ(link->TextColor, 0x0000FF);
        EXPECT_EQ(link->Cursor, crHandPoint);
    }
}

TEST_F(ItemCharts, LinkBackgroundIsTheFormColourButOnTheDesktop) {
    struct Row { std::uint8_t mode; std::int32_t back; };
    const Row rows[] = {{dmWindow, 0x445566}, {dmScreenSaver, 0x445566}, {dmDesktop, 0}};
    const std::int32_t saved = FormColor;
    FormColor = 0x445566;
    ConfigItems.resize(1);
    for (const Row& r : rows) {
        DisplayMode = r.mode;
        ReleaseItemControl(ConfigItems[0]);
        CreateItemLink(ConfigItems[0], 0, form);
        auto* link = dynamic_cast<TStaticTextW*>(ConfigItems[0].Control);
        ASSERT_NE(link, nullptr);
        EXPECT_EQ(link->BackColor, r.back) << int(r.mode);
    }
    FormColor = saved;
}

TEST_F(ItemCharts, ReleasedControlsAreDeleted) {
    EXPECT_EQ(ReleaseItemControlHook, &DeleteItemControl);
    EXPECT_EQ(ReleaseItemScopeHook, &DeleteItemScope);
}

TEST_F(ItemCharts, ItemLinesMakeChartsAndControlsThroughTheForm) {
    const std::vector<std::wstring> lines = {L"CPUUSAGE=active:1,chart:line linear 100 1 00FF00",
                                             L"CONTROL=active:1,type:0,display:Go", L"CONTROL=active:1,type:1",
                                             L"CPUUSAGE=active:0,chart:line linear 100 1 00FF00",
                                             L"CONTROL=active:1,type:5"};
    SetConfig(lines, form);
    ASSERT_EQ(ConfigItems.size(), 5u);
    EXPECT_EQ(ConfigItems[4].Control, nullptr) << "a type that is neither button nor link";
    TVrScope* scope = ConfigItems[0].Scope;
    ASSERT_NE(scope, nullptr);
    EXPECT_NE(dynamic_cast<TColorButton*>(ConfigItems[1].Control), nullptr);
    EXPECT_NE(dynamic_cast<TStaticTextW*>(ConfigItems[2].Control), nullptr);
    EXPECT_EQ(ConfigItems[3].Scope, nullptr);
    EXPECT_EQ(ConfigItems[3].ChartType, 0);
    // A reload keeps the unchanged line's chart and makes the controls afresh.
    SetConfig(lines, form);
    EXPECT_EQ(ConfigItems[0].Scope, scope);
    EXPECT_NE(ConfigItems[1].Control, nullptr);
    for (TConfigItem& item : ConfigItems) ReleaseItemScope(item);
    FreeConfigItems(ConfigItems);
}
