#include "Painting.h"

#include <algorithm>

#include "BarMeter.h"
#include "Checked.h"
#include "Collector.h"
#include "Configuration.h"
#include "DisplayModes.h"
#include "Errors.h"
#include "Gdi.h"
#include "Includes.h"
#include "ItemCharts.h"
#include "ItemControl.h"
#include "Log.h"
#include "MainFormUnit.h"
#include "ItemWatches.h"
#include "MainLoopState.h"
#include "Templates.h"
#include "Utils.h"
#include "VrScope.h"
#include "WinApp.h"
#include "WindowPlacement.h"

std::int32_t ValueColumnX = 0;
TSetupUserControlHook SetupUserControlHook = nullptr;

namespace {

constexpr UINT kDrawFlags = DT_SINGLELINE | DT_NOCLIP | DT_NOPREFIX;
constexpr UINT kRightFlags = DT_RIGHT | DT_RTLREADING;

RECT Span(int left, int right, int y, int pitch) { return RECT{left, y, right, y + pitch}; }

}  // namespace

TColumnRects ColumnRects(int Column, bool RightToLeft, int TextWidth, int ClientWidth, int ValueX, int XOffset,
                         int Y, int Pitch) {
    const int W = TextWidth, CW = ClientWidth, M = kPaintMargin, K = kPaintMargin, V = ValueX;
    const int X = Column == 1 ? XOffset : 0;
    int a, b, c, d, e, f;  // gap before (a, b), text box (c, d), gap after (e, f)
    if (!RightToLeft) {
        switch (Column) {
            case 0: a = 0, b = K + 1, c = K, d = K + W + 1, e = K + W, f = CW + 1; break;
            case 1: a = 0, b = K + X, c = K + X, d = K + X + W, e = K + X + W, f = V + 1; break;
            default: a = V, b = V + 1, c = V, d = V + W + 1, e = V + W, f = CW + 1; break;
        }
    } else {
        switch (Column) {
            case 0: a = 0, b = CW - M - W + 1, c = CW - M - W, d = CW - M + 1, e = CW - M, f = CW + 1; break;
            case 1:
                a = 0, b = V - M - W - X + 1, c = V - M - W - X, d = V - M - X + 1, e = V - M - X, f = V - M + 1;
                break;
            default: a = V, b = CW - M - W + 1, c = CW - M - W, d = CW - M + 1, e = CW - M, f = CW - M + 1; break;
        }
    }
    return TColumnRects{Span(a, b, Y, Pitch), Span(c, d, Y, Pitch), Span(e, f, Y, Pitch)};
}

void SplitKeyValue(const std::wstring& Line, std::wstring& Key, std::wstring& Value) {
    const size_t eq = Line.find(L'=');
    if (eq == std::wstring::npos) {
        Key.clear();
        Value = Line;
    } else {
        Key = Line.substr(0, eq);
        Value = Line.substr(eq + 1);
    }
}

bool ItemDrawnOnPage(const TConfigItem& Item, int Page) {
    return Item.Active && Item.Hidden == 0 && Item.Page == Page;
}

int GetTextWidth(const std::wstring& Text, int& Width) {
    Width = 0;
    if (!MainForm) return 0;
    RECT r{0, 0, 0, 0};
    const int h = MainForm->Canvas().DrawText(Text, r, DT_CALCRECT | DT_NOPREFIX);
    Width = r.right;
    return h;
}

namespace {

// Ends the item loop after a scope failure; the pass goes on with its closing steps.
struct TEndItemLoop {};

// One display pass: the position on the window, the item being drawn and the step it is
// in, for the log lines.
class TPaintPass {
public:
    explicit TPaintPass(TVistrelMainForm& form) : form_(form), canvas_(form.Canvas()) {}

    std::wstring Label = L"<none>";
    std::wstring Step = L"begin";

    void Run() {
        AdjustHeight();
        TakeOffUndrawnItems();
        y_ = GetLogoHeight(&form_) + (Nav == 2 ? kNavStripHeight : 0);
        try {
            for (size_t i = 0; i < ConfigItems.size(); ++i) {
                TConfigItem& item = ConfigItems[i];
                if (!item.Active || item.Hidden != 0) continue;
                if (!DrawItem(item)) return;  // no canvas to draw on: the closing steps are skipped
            }
        } catch (const TEndItemLoop&) {
        }
        SyncFileWatches();
        if (form_.HandleAllocated()) form_.Update();
        Application().ProcessMessages();
        if (DisplayMode != dmWindow && GetPriorityClass(GetCurrentProcess()) != IDLE_PRIORITY_CLASS)
            SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS);
        complete_ = true;
    }
    bool Complete() const { return complete_; }

private:
    void AdjustHeight() {
        const int h = GetContentHeight();
        if (h == form_.ClientHeight()) return;
        form_.SetClientHeight(h);
        if (CenterV) form_.SetTop(DisplayArea.top + (DisplayArea.bottom - DisplayArea.top) / 2 - h / 2);
        if (WindowBottom >= 0 && form_.ClientHeight() + WindowTop > DisplayArea.bottom)
            form_.SetTop(DisplayArea.bottom - form_.ClientHeight());
        if (Nav == 1) PlaceNavButtons(&form_);
    }

    // The controls and line charts of items this pass does not draw (another page's,
    // switched off, hidden by option or for want of a result) go off the window before
    // anything is drawn, and the pixels they covered get the background: a hidden child
    // leaves its last picture on the form, over the items that move up into its place.
    void TakeOffUndrawnItems() {
        for (TConfigItem& item : ConfigItems) {
            if (ItemDrawnOnPage(item, CurrentPage)) continue;
            if (item.Control && item.Control->Visible()) {
                const RECT covered = item.Control->BoundsRect();
                if (DetachItemControlHook) DetachItemControlHook(item.Control);
                if (canvas_.HasHandle()) canvas_.FillRect(covered);
            }
            if (item.Scope && item.Scope->Visible()) {
                // The chart's frame is drawn on the form one pixel around it.
                RECT covered = item.Scope->BoundsRect();
                InflateRect(&covered, 1, 1);
                item.Scope->SetVisible(false);
                if (canvas_.HasHandle()) canvas_.FillRect(covered);
            }
        }
    }

    int Pitch() const { return LinePitch(*item_, LineSpacing); }

    static int OptionInt(const TConfigItem& item, const wchar_t* name) {
        return GetItemOption(item.Options, name, Variant(std::int32_t{0})).ToInt32();
    }

    // Returns false when there is nothing to draw on.
    bool DrawItem(TConfigItem& item) {
        item_ = &item;
        Label = L"id:" + AnsiToWide(item.Keyword) + L" (" + item.Lid + L")";
        if (item.Page != CurrentPage) return true;  // its chart and control are off the window
        Step = L"update display";
        ValueColumnX = CheckedAdd(CheckedAdd(kPaintMargin, KeyColumnWidth), kPaintMargin);
        color_ = item.Color;

        Step = L"prepare canvas";
        if (!canvas_.HasHandle()) return false;
        TFont& font = canvas_.Font();
        font.SetColor(color_);
        unsigned style = 0;
        if (item.Style & 1) style |= fsBold;
        if (item.Style & 2) style |= fsItalic;
        if (item.Style & 4) style |= fsUnderline;
        font.SetStyle(style);
        font.SetSize(item.FontSize);
        font.SetName(item.FontFace);
        if (!ClearType) SetFontQuality(canvas_, false);
        else if (font.Quality() == NONANTIALIASED_QUALITY) font.SetQuality(DEFAULT_QUALITY);

        const bool itemRtl = OptionInt(item, L"text-align") == 1;
        const bool rtl = FontRtl || TextAlign == 1 || itemRtl;
        const int cw = form_.ClientWidth();
        if (item.Keyword == "COMMENT") {
            DrawTextColumn(0, 0, FontRtl || itemRtl, ExpandVariables(item.Text));
            y_ += Pitch();
        } else if (item.Keyword == "FILECONTENTS2") {
            for (const std::wstring& line : item.ItemData.Lines) {
                DrawTextColumn(0, 0, FontRtl || itemRtl, line);
                y_ += Pitch();
            }
        } else if (item.Keyword == "FILE2TEXT") {
            const bool hideKey = OptionInt(item, L"hide-key") != 0;
            for (const std::wstring& line : item.ItemData.Lines) {
                std::wstring key, value;
                SplitKeyValue(line, key, value);
                if (!hideKey) DrawTextColumn(1, 0, FontRtl || itemRtl, key);
                DrawTextColumn(2, 0, FontRtl, value);
                y_ += Pitch();
            }
        } else if (item.Keyword == "CONTROL") {
            if (item.Collected) {
                canvas_.FillRect(RECT{0, y_, cw, y_ + Pitch()});
                if (item.Style & 8) {
                    PlaceUserControl(item, y_, kPaintMargin, cw - kPaintMargin);
                } else {
                    DrawTextColumn(1, item.TextOffset, rtl, ExpandVariables(item.Text));
                    DrawTextColumn(2, 0, FontRtl || TextAlign == 1, L"");
                    PlaceUserControl(item, y_, ValueColumnX, cw - kPaintMargin);
                }
            }
            y_ += Pitch();
        } else {
            WriteResults(item, rtl);
        }
        if (item.ChartType == 2 && item.Scope) {
            Step = L"draw scope";
            LineChart(item);
        }
        item.Collected = false;
        return true;
    }

    void PlaceUserControl(TConfigItem& item, int top, int left, int right) {
        if (SetupUserControlHook) SetupUserControlHook(item, &form_, top, left, right, FontRtl);
    }

    void WriteResults(TConfigItem& item, bool rtl) {
        Step = L"write results";
        size_t barRow = 0;
        const auto& lines = item.ItemData.Lines;
        for (size_t l = 0; l < lines.size(); ++l) {
            if (l == 0) DrawTextColumn(1, item.TextOffset, rtl, ExpandVariables(item.Text));
            else DrawTextColumn(1, item.TextOffset, FontRtl || TextAlign == 1, L"");
            for (const TLineColor& lc : item.LineColors)
                if (static_cast<size_t>(lc.Line) == l && lc.Line >= 0) canvas_.Font().SetColor(lc.Color);
            const std::wstring& line = lines[l];
            const size_t chart = line.find(L"%chart%");
            DrawTextColumn(2, 0, false, chart == std::wstring::npos ? line : line.substr(0, chart));
            canvas_.Font().SetColor(color_);
            if (chart != std::wstring::npos) {
                // A line without its own data row has no value to show: it gets no bar.
                if (item.ChartType == 1 && barRow < item.ItemData.Data.size()) {
                    Step = L"bar meter";
                    BarMeter(item, item.ItemData.Data[barRow], line.substr(0, chart));
                }
                ++barRow;
            }
            y_ += Pitch();
        }
    }

    void BarMeter(const TConfigItem& item, const TVarArray& row, const std::wstring& before) {
        std::int64_t value = 0;
        if (item.ChartValue >= 1 && static_cast<size_t>(item.ChartValue) <= row.size())
            value = VariantToFixed(row[static_cast<size_t>(item.ChartValue) - 1]);
        if (item.ChartScale == 2 && value > 0) value = FixedLog2(value);
        const std::wstring colours =
            ExpandVariables(GetItemOption(item.Options, L"bar-colors", Variant(std::wstring())).ToText());
        int xOffset = 0;
        GetTextWidth(before, xOffset);
        const int percent = BarPercent(value, item.ChartMax);
        const int level = BarPercent(item.BarLevel, item.ChartMax);
        PlaceBarMeter(canvas_, form_.ClientWidth(), ValueColumnX, y_, item.LineHeight, xOffset, percent, level,
                      color_, colours);
    }

    static bool IsChartNumber(const Variant& v) {
        switch (v.Type()) {
            case VarType::SmallInt:
            case VarType::Integer:
            case VarType::Single:
            case VarType::Double:
            case VarType::Currency:
            case VarType::Byte: return true;
            default: return false;
        }
    }

    void FeedChannel(TConfigItem& item, int valueNo, int channel, const std::wstring& name) {
        Step = name;
        const TVarArray& row = item.ItemData.Data.at(0);
        if (valueNo <= 0 || static_cast<size_t>(valueNo) > row.size()) return;
        const Variant& v = row[static_cast<size_t>(valueNo) - 1];
        if (!IsChartNumber(v)) return;
        Step = name + L" property value";
        std::int64_t value = VariantToFixed(v);
        Step = name + L" log value";
        if (item.ChartScale == 2 && value > 0) value = FixedLog2(value);
        Step = name + L" apply value";
        item.Scope->AddValue(channel, ScopeValue(value, item.ChartMax));
    }

    void LineChart(TConfigItem& item) {
        const int cw = form_.ClientWidth();
        const int pitch = Pitch();
        if (item.Collected && cw - ValueColumnX > 10) {
            TVrScope& scope = *item.Scope;
            Step = L"scope dimensions";
            const int left = ValueColumnX + 1, top = y_ + 1;
            const int height = 2 * item.LineHeight + LineSpacing - 5;
            const int width = cw - ValueColumnX - kPaintMargin - 2;
            WriteLog(L"UpdateEntries: Scope " + std::to_wstring(left) + L" " + std::to_wstring(top) + L" " +
                         std::to_wstring(width) + L" " + std::to_wstring(height),
                     llDebug);
            Step = L"scope position";
            try {
                scope.SetBounds(left, top, width, height);
                const TColor back = DisplayMode == dmDesktop ? clBlack : FormColor;
                scope.SetColor(back);
                scope.SetGridColor(back);
                scope.SetBaseColor(back);
                canvas_.Brush().SetColor(form_.Color());
                canvas_.FillRect(RECT{0, y_, ValueColumnX, y_ + 2 * pitch + 1});
                canvas_.FillRect(RECT{ValueColumnX, y_, cw, y_ + 2 * pitch + 1});
                // Attaching an attached scope again would repaint the form and start
                // another relayout.
                if (!scope.Visible()) scope.SetVisible(true);
                WriteLog(L"UpdateEntries: Scope Done", llDebug);
            } catch (const Exception& e) {
                RebuildScope(item, e.Message());
            } catch (const std::exception& e) {
                RebuildScope(item, AnsiToWide(e.what()));
            }
            if (!item.ItemData.Data.empty()) {
                scope.BeginUpdate();
                FeedChannelLogged(item, item.ChartValue, 0, L"channel 1", L"UpdateEntries: ");
                FeedChannelLogged(item, item.ChartValue2, 1, L"channel 2", L"UpdateEntries: Invalid Scope Data ");
                scope.EndUpdate();
            }
            DrawSeparator(scope.Top() + scope.Height());
            const TColor savedBrush = canvas_.Brush().Color();
            canvas_.Brush().SetColor(color_);
            canvas_.Brush().SetStyle(TBrushStyle::Clear);
            canvas_.Pen().SetColor(color_);
            canvas_.RoundRect(scope.Left() - 1, scope.Top() - 1, scope.Left() + scope.Width() + 1,
                              scope.Top() + scope.Height() + 1, 6, 6);
            canvas_.Brush().SetColor(savedBrush);
            canvas_.Brush().SetStyle(TBrushStyle::Solid);
        }
        y_ += 2 * pitch;
    }

    void FeedChannelLogged(TConfigItem& item, int valueNo, int channel, const std::wstring& name,
                           const std::wstring& prefix) {
        std::wstring message;
        try {
            FeedChannel(item, valueNo, channel, name);
            return;
        } catch (const Exception& e) {
            message = e.Message();
        } catch (const std::exception& e) {
            message = AnsiToWide(e.what());
        }
        WriteLog(prefix + Label + L" " + Step + L". " + message, llError);
        item.Scope->EndUpdate();
        ClearItemData(item);
        throw TEndItemLoop{};
    }

    void RebuildScope(TConfigItem& item, const std::wstring& message) {
        WriteLog(L"UpdateEntries: " + Label + message, llError);
        WriteLog(L"UpdateEntries: " + Label + L" Rebuilding scope.", llError);
        // The broken scope is released (not only forgotten) so that it does not stay on
        // the form; AddChart makes the new one.
        ReleaseItemScope(item);
        AddChart(item, GetItemOption(item.Options, L"chart", Variant(std::wstring())).ToText(), &form_);
        throw TEndItemLoop{};
    }

    void DrawTextColumn(int column, int xOffset, bool rightToLeft, const std::wstring& text) {
        int w = 0;
        GetTextWidth(text, w);
        const TColumnRects r =
            ColumnRects(column, rightToLeft, w, form_.ClientWidth(), ValueColumnX, xOffset, y_, Pitch());
        // All three parts are filled before the text is drawn: a letter that leans past
        // its measured width (the last one of "Processor", italics) keeps its ink instead
        // of being filled over by the gap after it.
        canvas_.FillRect(r.GapBefore);
        canvas_.FillRect(r.TextBox);
        canvas_.FillRect(r.GapAfter);
        RECT box = r.TextBox;
        canvas_.DrawText(text, box, kDrawFlags | (rightToLeft ? kRightFlags : 0));
        DrawSeparator(y_ + item_->LineHeight - 1);
    }

    void DrawSeparator(int y) {
        if (!(item_->Style & 8)) return;
        canvas_.Pen().SetColor(color_);
        canvas_.MoveTo(kPaintMargin, y);
        canvas_.LineTo(form_.ClientWidth() - kPaintMargin, y);
    }

    TVistrelMainForm& form_;
    TCanvas& canvas_;
    TConfigItem* item_ = nullptr;
    TColor color_ = 0;
    int y_ = 0;
    bool complete_ = false;
};

}  // namespace

void UpdateEntries(std::uint8_t) {
    if (Updating) return;
    Updating = 1;
    // The pass serves window messages: a page chosen meanwhile is drawn by the relayout of
    // the next tick, so its request outlives the end of this pass.
    const std::int32_t pageAtStart = CurrentPage;
    std::wstring label = L"<none>", step = L"begin", message;
    bool failed = false, complete = false;
    try {
        if (MainForm) {
            TPaintPass pass(*MainForm);
            try {
                pass.Run();
                complete = pass.Complete();
            } catch (...) {
                label = pass.Label;
                step = pass.Step;
                throw;
            }
        }
    } catch (const Exception& e) {
        failed = true;
        message = e.Message();
    } catch (const std::exception& e) {
        failed = true;
        message = AnsiToWide(e.what());
    }
    Updating = 0;
    RelayoutPending = CurrentPage != pageAtStart ? 1 : 0;
    if (failed) WriteLog(L"UpdateEntries: " + ErrorText + label + L" " + step + L" " + message, llError);
    else if (complete) {
        WriteLog(L"UpdateEntries Complete.", llDebug);
        // The live GDI objects whenever a pass leaves a different number than the last one
        // logged, so a debug log shows growth (and leaks) without a line every second.
        static long lastLogged = -1;
        if (const long live = LiveGdiObjects(); live != lastLogged) {
            lastLogged = live;
            WriteLog(L"GDI objects: " + std::to_wstring(live), llDebug);
        }
    }
}
