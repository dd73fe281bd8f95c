// Charts and user controls of items: the chart fields of an item with a "chart" option
// and its line chart, and the button or link of a CONTROL item. Every chart and control
// has exactly one owner: the live item in ConfigItems that holds it (copies handed to
// the collection thread only look at the pointers). Window thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ItemTypes.h"

class TVistrelMainForm;
class TWinControl;

// Frees a line chart. Deletes it unless replaced (tests count releases).
using TReleaseScopeHook = void (*)(TVrScope* Scope);
extern TReleaseScopeHook ReleaseItemScopeHook;
// The default release routines: delete the widget. This unit installs the control one as
// ReleaseItemControlHook (ConfigItems) when the program starts.
void DeleteItemScope(TVrScope* Scope);
void DeleteItemControl(TItemControl* Control);

// The chart fields a "chart" option gives (chart type, scale, maximum, values, level and
// colours), over the fields the item has. Numbers read with "." as the decimal
// separator; colour tokens are hexadecimal BBGGRR or "#RRGGBB".
struct TChartFields {
    std::uint8_t ChartType = 0;
    std::uint8_t ChartScale = 0;
    std::int64_t ChartMax = 0;
    std::int32_t ChartValue = 0;
    std::int64_t BarLevel = 0;
    std::int32_t ChartColor1 = 0;
    std::int32_t ChartValue2 = 0;
    std::int32_t ChartColor2 = 0;
};
TChartFields ChartFieldsOf(const TConfigItem& Item);
void SetChartFields(TConfigItem& Item, const TChartFields& Fields);
// Parses the chart option text into Fields. A bar level that is not a number sets Error
// to the reason (the level stays 0).
void ParseChartText(const std::wstring& Text, TChartFields& Fields, std::wstring& Error);
// The blank-separated tokens of a chart text (trimmed; two blanks make an empty token).
std::vector<std::wstring> ChartTokens(const std::wstring& Text);
// A line chart is made for these fields.
bool NeedsLineChart(const TConfigItem& Item);

// Fills the item's chart fields from its "chart" option and makes, keeps or releases its
// line chart, a child of Form (no chart is made without a form). An inactive item only
// loses its chart.
void AddChart(TConfigItem& Item, const std::wstring& ChartText, TVistrelMainForm* Form);

// An option read as a colour: "#RRGGBB" or hexadecimal BBGGRR; Default when absent or
// not a colour.
std::int32_t GetItemColorOption(const TItemOptionArray& Options, const std::wstring& Name, std::int32_t Default);

// The user control of a CONTROL item: a button ("type" 0) or a link ("type" 1), a hidden
// child of Form, made only when ItemIndex lies within ConfigItems and there is a form.
void CreateItemButton(TConfigItem& Item, int ItemIndex, TVistrelMainForm* Form);
void CreateItemLink(TConfigItem& Item, int ItemIndex, TVistrelMainForm* Form);

// Frees the item's line chart (through ReleaseItemScopeHook) and clears the pointer, so
// it is freed once.
void ReleaseItemScope(TConfigItem& Item);
// Frees the item's user control (through ReleaseItemControlHook) and clears the pointer.
void ReleaseItemControl(TConfigItem& Item);
