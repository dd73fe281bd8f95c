#include "ItemCharts.h"

#include "BarMeter.h"
#include "Checked.h"
#include "ColorButton.h"
#include "ConfigItems.h"
#include "DisplayState.h"
#include "Errors.h"
#include "Includes.h"
#include "ItemOptions.h"
#include "Log.h"
#include "MainFormUnit.h"
#include "StaticTextW.h"
#include "Templates.h"
#include "Utils.h"
#include "VrScope.h"

void DeleteItemScope(TVrScope* Scope) { delete Scope; }
void DeleteItemControl(TItemControl* Control) { delete Control; }

TReleaseScopeHook ReleaseItemScopeHook = DeleteItemScope;

namespace {

// The controls made here are freed here: freeing the configured items releases them
// through ReleaseItemControlHook, which starts out empty.
const bool kControlHookInstalled = [] {
    if (!ReleaseItemControlHook) ReleaseItemControlHook = DeleteItemControl;
    return true;
}();

constexpr std::int32_t kButtonColor = 0x228822;
constexpr std::int32_t kLinkHoverBack = 0x909090;
constexpr std::int32_t kLinkHoverText = 0x22FF22;

std::wstring Token(const std::vector<std::wstring>& tokens, std::size_t n) {
    return n < tokens.size() ? tokens[n] : std::wstring();
}

std::int32_t IntegerToken(const std::wstring& text) {
    std::int32_t v = -1;
    return TryParseIntegerOption(text, v) ? v : -1;
}

std::int32_t ColourToken(const std::wstring& text) { return HexTextToInt(HtmlColorToBgr(text), -1); }

std::wstring TrimControls(const std::wstring& text) {
    std::size_t b = 0, e = text.size();
    while (b < e && text[b] <= L' ') ++b;
    while (e > b && text[e - 1] <= L' ') --e;
    return text.substr(b, e - b);
}

std::wstring OptionText(const TItemOptionArray& options, const wchar_t* name, const std::wstring& Default) {
    const Variant v = GetItemOption(options, name, Variant());
    return v.IsEmpty() ? Default : v.ToText();
}

unsigned FontStyleOf(std::uint8_t bits) {
    unsigned s = 0;
    if (bits & 1) s |= fsBold;
    if (bits & 2) s |= fsItalic;
    if (bits & 4) s |= fsUnderline;
    return s;
}

// One update bracket of a chart: it is closed however the block is left, so a chart is
// never left frozen.
class TScopeUpdate {
public:
    explicit TScopeUpdate(TVrScope& scope) : scope_(scope) { scope_.BeginUpdate(); }
    ~TScopeUpdate() {
        try {
            scope_.EndUpdate();
        } catch (...) {
            // Closing repaints the chart; a repaint that fails here comes again with the
            // next display pass.
        }
    }
    TScopeUpdate(const TScopeUpdate&) = delete;
    TScopeUpdate& operator=(const TScopeUpdate&) = delete;

private:
    TVrScope& scope_;
};

bool IndexInItems(int index) { return index >= 0 && static_cast<std::size_t>(index) < ConfigItems.size(); }

}  // namespace

std::vector<std::wstring> ChartTokens(const std::wstring& Text) {
    std::vector<std::wstring> tokens;
    const std::wstring t = TrimControls(Text) + L" ";
    std::size_t start = 0;
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (t[i] != L' ') continue;
        tokens.push_back(t.substr(start, i - start));
        start = i + 1;
    }
    return tokens;
}

TChartFields ChartFieldsOf(const TConfigItem& Item) {
    return {Item.ChartType, Item.ChartScale, Item.ChartMax, Item.ChartValue,
            Item.BarLevel, Item.ChartColor1, Item.ChartValue2, Item.ChartColor2};
}

void SetChartFields(TConfigItem& Item, const TChartFields& F) {
    Item.ChartType = F.ChartType;
    Item.ChartScale = F.ChartScale;
    Item.ChartMax = F.ChartMax;
    Item.ChartValue = F.ChartValue;
    Item.BarLevel = F.BarLevel;
    Item.ChartColor1 = F.ChartColor1;
    Item.ChartValue2 = F.ChartValue2;
    Item.ChartColor2 = F.ChartColor2;
}

void ParseChartText(const std::wstring& Text, TChartFields& F, std::wstring& Error) {
    Error.clear();
    const std::vector<std::wstring> tokens = ChartTokens(Text);
    const std::wstring type = LowerAscii(Token(tokens, 0));
    if (type == L"bar") F.ChartType = 1;
    else if (type == L"line") F.ChartType = 2;
    const std::wstring scale = LowerAscii(Token(tokens, 1));
    if (scale == L"linear") F.ChartScale = 1;
    else if (scale == L"log") F.ChartScale = 2;
    F.ChartMax = -10000;
    F.ChartValue = -1;
    try {
        std::int64_t max = 0;
        if (TryParseFixedPoint(Token(tokens, 2), max)) F.ChartMax = max;
    } catch (const Exception&) {
        // A maximum out of range is no maximum.
    }
    F.ChartValue = IntegerToken(Token(tokens, 3));
    if (F.ChartType == 1) {
        F.BarLevel = 0;
        const std::wstring level = Token(tokens, 4);
        if (!level.empty()) {
            try {
                std::int64_t v = 0;
                if (!TryParseFixedPoint(level, v))
                    throw EConvertError(L"'" + level + L"' is not a valid floating point value");
                F.BarLevel = v;
            } catch (const Exception& e) {
                Error = e.Message();
            }
        }
    } else if (F.ChartType == 2) {
        F.ChartColor1 = ColourToken(Token(tokens, 4));
        F.ChartValue2 = IntegerToken(Token(tokens, 5));
        F.ChartColor2 = ColourToken(Token(tokens, 6));
    }
}

bool NeedsLineChart(const TConfigItem& Item) {
    return Item.ChartType == 2 && Item.ChartScale != 0 && Item.ChartMax != -10000 && Item.ChartValue != -1 &&
           Item.ChartColor1 != -1;
}

void AddChart(TConfigItem& Item, const std::wstring& ChartText, TVistrelMainForm* Form) {
    if (!Item.Active) {
        ReleaseItemScope(Item);
        return;
    }
    TChartFields fields = ChartFieldsOf(Item);
    std::wstring error;
    ParseChartText(ChartText, fields, error);
    SetChartFields(Item, fields);
    if (!error.empty())
        WriteLog(L"AddChart: " + ErrorText + error + L" : " + Utf8ToWide(Item.Keyword) + L" Invalid threshold value " +
                     Token(ChartTokens(ChartText), 4),
                 llError);

    if (Item.ChartType == 1) {
        const std::wstring display = OptionText(Item.Options, L"display", L"");
        if (display.find(L"%chart%") == std::wstring::npos) SetItemOption(Item.Options, L"display", display + L" %chart%");
    }
    if (!NeedsLineChart(Item) || !Form) {
        ReleaseItemScope(Item);
        return;
    }
    if (!Item.Scope) {
        auto* scope = new TVrScope(Form);
        Item.Scope = scope;
        scope->SetThreaded(false);
        scope->SetAutoUpdate(false);
        scope->SetColor(Form->Color());
        scope->Channels().Add();
        scope->Channels().Add();
    }
    TVrScope& scope = *Item.Scope;
    // A channel without a colour of its own keeps its default.
    if (Item.ChartValue != -1 && Item.ChartColor1 != -1) scope.Channels().Items(0).SetColor(Item.ChartColor1);
    if (Item.ChartValue2 != -1 && Item.ChartColor2 != -1) scope.Channels().Items(1).SetColor(Item.ChartColor2);
    const TScopeUpdate update(scope);
    scope.SetBaseOffset(0);
    // A maximum past the int range scales the chart; painting scales the values alike.
    scope.SetMaxValue(ScopeMaxValue(Item.ChartMax));
    const TColor back = Form->Canvas().Brush().Color();
    scope.SetColor(back);
    scope.SetGridColor(back);
    scope.SetBaseColor(back);
}

std::int32_t GetItemColorOption(const TItemOptionArray& Options, const std::wstring& Name, std::int32_t Default) {
    const std::wstring text = HtmlColorToBgr(OptionText(Options, Name.c_str(), L""));
    return text.empty() ? Default : HexTextToInt(text, Default);
}

void CreateItemButton(TConfigItem& Item, int ItemIndex, TVistrelMainForm* Form) {
    if (!IndexInItems(ItemIndex) || !Form) return;
    auto* button = new TColorButton(Form);
    Item.Control = button;
    button->Tag = ItemIndex;
    button->SetColor(GetItemColorOption(Item.Options, L"button-color", kButtonColor));
    button->SetHint(OptionText(Item.Options, L"uri", L""));
    button->SetShowHint(true);
    TFont& font = button->Font();
    font.SetName(Item.FontFace);
    font.SetSize(CheckedMul<std::int32_t>(Item.FontSize, 90) / 100);
    font.SetColor(Item.Color);
    font.SetStyle(FontStyleOf(Item.Style));
    button->SetAlignment(TButtonAlignment::alMiddleCenter);
    button->SetButtonStyle(bsAutoSize | bsCenter | bsStretch);
    button->SetSpacing(-2);
    button->Cursor = crHandPoint;
}

void CreateItemLink(TConfigItem& Item, int ItemIndex, TVistrelMainForm* Form) {
    if (!IndexInItems(ItemIndex) || !Form) return;
    const std::int32_t hoverText = GetItemColorOption(Item.Options, L"hover-color", kLinkHoverText);
    const std::int32_t hoverBack = GetItemColorOption(Item.Options, L"button-color", kLinkHoverBack);
    const std::wstring style = OptionText(Item.Options, L"style", L"u");
    std::uint8_t bits = 0;
    if (style.find(L'b') != std::wstring::npos) bits |= 1;
    if (style.find(L'i') != std::wstring::npos) bits |= 2;
    if (style.find(L'u') != std::wstring::npos) bits |= 4;
    if (style.find(L'w') != std::wstring::npos) bits |= 8;
    Item.Style = bits;

    auto* link = new TStaticTextW(Form);
    Item.Control = link;
    link->Tag = ItemIndex;
    link->Cursor = crHandPoint;
    link->Font().SetName(Item.FontFace);
    link->Font().SetSize(Item.FontSize);
    link->ClearType = ClearType;
    link->Font().SetStyle(FontStyleOf(bits));
    link->TextColor = Item.Color;
    link->HoverTextColor = hoverText;
    link->HoverBackColor = hoverBack;
    // Only the desktop window keys black out; elsewhere black would show as a box.
    link->BackColor = DisplayMode == dmDesktop ? 0 : FormColor;
}

void ReleaseItemScope(TConfigItem& Item) {
    if (Item.Scope && ReleaseItemScopeHook) ReleaseItemScopeHook(Item.Scope);
    Item.Scope = nullptr;
}

void ReleaseItemControl(TConfigItem& Item) {
    if (Item.Control && ReleaseItemControlHook) ReleaseItemControlHook(Item.Control);
    Item.Control = nullptr;
}
