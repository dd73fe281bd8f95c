#include "WindowPlacement.h"

#include <algorithm>

#include "Checked.h"
#include "Collector.h"
#include "Configuration.h"
#include "DisplayModes.h"
#include "Includes.h"
#include "ItemControl.h"
#include "MainFormUnit.h"
#include "MainLoopState.h"
#include "TextMeasure.h"
#include "Utils.h"

RECT DisplayArea{};
std::int32_t WindowLeft = 0, WindowTop = 0;
std::int32_t WindowRight = -1, WindowBottom = -1;
std::int32_t KeyColumnWidth = 0;
TDetachControlHook DetachItemControlHook = HideItemControl;

void HideItemControl(TItemControl* Control) {
    if (Control) Control->Hide();
}

RECT ChooseDisplayArea(int MonitorMode, std::int32_t& MonitorNum, const TScreenFacts& Facts, const RECT& Previous) {
    if (MonitorMode == 1) return Facts.VirtualScreen;
    if (MonitorMode != 0) return Previous;
    if (MonitorNum == 0) return Facts.WorkArea ? *Facts.WorkArea : Previous;
    const auto count = static_cast<std::int64_t>(Facts.Monitors.size());
    if (MonitorNum < 0 || MonitorNum >= count) MonitorNum = 0;
    if (Facts.Monitors.empty()) return Previous;
    const TMonitorRect& m = Facts.Monitors.at(static_cast<size_t>(MonitorNum));
    return RECT{m.Left, m.Top, m.Left + m.Width, m.Top + m.Height};
}

TPlacement ComputePlacement(const TPlacementOptions& Options, const RECT& Area, int ContentHeight) {
    TPlacement p;
    const int h = ContentHeight;
    int width = Options.Width;
    if (Options.ScreenSaver) width = std::max<int>(Area.right - Area.left - 600, kMinScreenSaverWidth);
    p.WindowLeft = Options.Left;
    p.WindowTop = Options.Top;
    p.WindowRight = Options.Right;
    p.WindowBottom = Options.Bottom;
    if (Options.Left == -1 && Options.Right == -1) p.WindowRight = 0;
    if (Options.Top == -1 && Options.Bottom == -1) p.WindowTop = 0;
    if (width == -1) width = kDefaultWindowWidth;
    p.Width = width;

    if (Options.CenterV)
        p.WindowTop = Area.top + (Area.bottom - Area.top) / 2 - h / 2;
    else if (p.WindowTop == -1 && p.WindowBottom != -1)
        p.WindowTop = Area.bottom - p.WindowBottom - h;
    else
        p.WindowTop += Area.top;

    if (Options.CenterH)
        p.WindowLeft = Area.left + (Area.right - Area.left) / 2 - width / 2;
    else if (p.WindowLeft == -1 && p.WindowRight != -1)
        p.WindowLeft = Area.right - p.WindowRight - width;
    else
        p.WindowLeft += Area.left;

    p.WindowLeft = std::max<int>(p.WindowLeft, Area.left);
    if (Area.right - width < p.WindowLeft) p.WindowLeft = Area.right - width;
    p.WindowTop = std::max<int>(p.WindowTop, Area.top);
    if (Area.bottom - h < p.WindowTop) p.WindowTop = Area.bottom - h;
    return p;
}

void AddEnumeratedMonitor(std::vector<TMonitorRect>& Monitors, const MONITORINFO& Info) {
    // Monitors are numbered in the order the system enumerates them, the primary one
    // wherever it comes.
    const RECT& r = Info.rcMonitor;
    Monitors.push_back(TMonitorRect{r.left, r.top, r.right - r.left, r.bottom - r.top});
}

int ComputeKeyColumnWidth(int Column1Width, const TConfigArray& Items, const std::function<int(int)>& WidthOf,
                          int Current) {
    if (Column1Width > -1) return Column1Width;
    if (Items.empty()) return Current;
    int widest = 0;
    for (size_t i = 0; i < Items.size(); ++i) {
        const TConfigItem& item = Items[i];
        if (!item.Active || item.Hidden != 0 || item.Keyword == "COMMENT" || item.Keyword == "FILECONTENTS2")
            continue;
        widest = std::max(widest, WidthOf(static_cast<int>(i)));
    }
    return widest;
}

int GetKeyTextWidth(int Index) {
    if (Index < 0 || static_cast<size_t>(Index) >= ConfigItems.size() || !MainForm) return 0;
    const TConfigItem& item = ConfigItems[static_cast<size_t>(Index)];
    TCanvas& canvas = MainForm->Canvas();
    canvas.Font().SetName(item.FontFace);
    canvas.Font().SetSize(item.FontSize);
    RECT r{0, 0, 0, 0};
    canvas.DrawText(item.Text, r, DT_CALCRECT | DT_NOPREFIX);
    return r.right + 4;
}

namespace {

BOOL CALLBACK CollectMonitor(HMONITOR monitor, HDC, LPRECT, LPARAM data) {
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    if (GetMonitorInfoW(monitor, &info)) AddEnumeratedMonitor(*reinterpret_cast<std::vector<TMonitorRect>*>(data), info);
    return TRUE;
}

TScreenFacts ReadScreenFacts() {
    TScreenFacts f;
    const int x = GetSystemMetrics(SM_XVIRTUALSCREEN), y = GetSystemMetrics(SM_YVIRTUALSCREEN);
    f.VirtualScreen = RECT{x, y, x + GetSystemMetrics(SM_CXVIRTUALSCREEN), y + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
    RECT work{};
    if (SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) f.WorkArea = work;
    EnumDisplayMonitors(nullptr, nullptr, CollectMonitor, reinterpret_cast<LPARAM>(&f.Monitors));
    return f;
}

void ApplyGlobalFont(TFont& font) {
    if (font.Size() == FontSize && font.Name() == FontFace && font.Charset() == FontCharset) return;
    font.SetName(FontFace);
    font.SetSize(FontSize);
    font.SetCharset(PaintingCharset(FontCharset, font.Charset()));
}

}  // namespace

int LinePitch(const TConfigItem& Item, int LineSpacing) { return CheckedAdd(Item.LineHeight, LineSpacing); }

int ContentHeightOf(const TConfigArray& Items, int Page, int LogoHeight, int Nav, int LineSpacing) {
    int h = LogoHeight;
    for (const TConfigItem& item : Items) {
        if (!item.Active || item.Hidden != 0 || item.Page != Page) continue;
        const int pitch = LinePitch(item, LineSpacing);
        const int lines = item.Keyword == "COMMENT" ? 1 : CheckedCast<int>(item.ItemData.Lines.size());
        h = CheckedAdd(h, CheckedMul(lines, pitch));
        if (item.ChartType == 2 && item.Scope) h = CheckedAdd(h, CheckedMul(2, pitch));
    }
    if (Nav > 0) h = CheckedAdd(h, kNavStripHeight);
    return h;
}

int GetContentHeight() {
    const int logo = MainForm ? GetLogoHeight(MainForm) : 0;
    return ContentHeightOf(ConfigItems, CurrentPage, logo, Nav, LineSpacing);
}

void PlaceWindow() {
    if (!MainForm) return;
    TVistrelMainForm& form = *MainForm;
    const TScreenFacts facts = ReadScreenFacts();
    DisplayArea = ChooseDisplayArea(MonitorMode, MonitorNum, facts, DisplayArea);

    ApplyGlobalFont(form.Canvas().Font());
    const int h = GetContentHeight();

    TPlacementOptions options;
    options.Left = FormLeft;
    options.Right = FormRight;
    options.Top = FormTop;
    options.Bottom = FormBottom;
    options.Width = FormWidth;
    options.CenterH = CenterH;
    options.CenterV = CenterV;
    options.ScreenSaver = DisplayMode == dmScreenSaver;
    const TPlacement p = ComputePlacement(options, DisplayArea, h);
    FormWidth = p.Width;
    if (FontSize < 6) FontSize = 8;
    WindowLeft = p.WindowLeft;
    WindowTop = p.WindowTop;
    WindowRight = p.WindowRight;
    WindowBottom = p.WindowBottom;

    KeyColumnWidth = ComputeKeyColumnWidth(Column1Width, ConfigItems, GetKeyTextWidth, KeyColumnWidth);

    const bool unchanged = form.Top() == WindowTop && form.Left() == WindowLeft &&
                           form.ClientWidth() == FormWidth && form.ClientHeight() == h;
    if (!unchanged) {
        if (DetachItemControlHook)
            for (TConfigItem& item : ConfigItems)
                if (item.Control) DetachItemControlHook(item.Control);
        if (DisplayMode != dmWindow) {
            const int frame = form.Width() - form.ClientWidth();
            form.SetBounds(WindowLeft - frame, WindowTop, form.Width(), form.Height());
        }
        form.SetClientWidth(FormWidth);
        form.SetClientHeight(h);
        if (!Updating) form.Canvas().FillRect(form.ClientRect());
    }

    if (DisplayMode == dmWindow || DisplayMode == dmScreenSaver) {
        form.SetColor(FormColor);
        form.Repaint();
        // A move or size of the saver's form may have put it beneath the black one.
        RaiseScreenSaverForms();
    } else if (!Updating) {
        TCanvas& canvas = form.Canvas();
        if (canvas.HasHandle()) {
            SelectedObject brush(canvas.Handle(), canvas.Brush().Handle());
            ExtFloodFill(canvas.Handle(), 1, 1, 0, FLOODFILLSURFACE);
        }
        SetBackdrop(FormColor, Transparency);
    }
}
