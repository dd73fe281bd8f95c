#include <windows.h>

#include <dbt.h>
#include <gtest/gtest.h>

#include "Configuration.h"
#include "DisplayModes.h"
#include "Errors.h"
#include "Includes.h"
#include "Log.h"
#include "MainFormUnit.h"
#include "TestFiles.h"
#include "Utils.h"
#include "Variant.h"
#include "WindowTests.h"

namespace {

std::array<bool, 9> Pages(std::initializer_list<int> indexes) {
    std::array<bool, 9> a{};
    for (int i : indexes) a[static_cast<std::size_t>(i)] = true;
    return a;
}

class MainFormTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        SetLogFileName(log.File(L"log.txt"));
        LogLevels = 1;
        form = Application().CreateForm<TVistrelMainForm>();
        Application().SetMainForm(form);
    }
    void TearDown() override {
        Nav = 0;
        NavAlign = 0;
        WindowTest::TearDown();
    }
    std::wstring Log() { return ReadLogText(log.File(L"log.txt")); }
    // Pages 1, 2 and 4 named: their entries are the visible ones.
    void NamePages124() {
        for (int i = 0; i < 9; ++i) form->PopupMenu1.Items(i).Visible = (i == 0 || i == 1 || i == 3);
    }
    TempFolder log;
    TVistrelMainForm* form = nullptr;
};

}  // namespace

TEST(Navigation, PagesOneTwoAndFourNamed) {
    const auto visible = Pages({0, 1, 3});
    struct Row { int checked, tag, expected; };
    const Row rows[] = {
        {1, kNavNext, 3},  // Next from page 2 goes to page 4
        {3, kNavNext, 0},  // Next from page 4 wraps to page 1
        {0, kNavBack, 3},  // Back from page 1 wraps to page 4
        {3, kNavBack, 1},  // Back from page 4 goes to page 2
        {1, kNavHome, 0},  // Home always goes to page 1
        {3, kNavHome, 0},
    };
    for (const Row& r : rows)
        EXPECT_EQ(NavigationTarget(Pages({r.checked}), visible, r.tag), r.expected) << r.checked << " " << r.tag;
}

TEST(Navigation, EdgeCases) {
    EXPECT_EQ(NavigationTarget(Pages({}), Pages({0, 1}), kNavNext), -1);        // nothing checked
    EXPECT_EQ(NavigationTarget(Pages({0}), Pages({0}), kNavNext), 0);           // the only page stays
    EXPECT_EQ(NavigationTarget(Pages({0}), Pages({0}), kNavBack), 0);
    EXPECT_EQ(NavigationTarget(Pages({4}), Pages({}), kNavNext), 4);            // no visible page: one round, back
    EXPECT_EQ(NavigationTarget(Pages({2, 5}), Pages({2, 5, 8}), kNavNext), 5);  // the first checked entry counts
}

TEST(Logo, DimensionsAndAlignment) {
    struct Row { int setting, image, form; bool loaded; int expected; };
    const Row rows[] = {{0, 120, 300, true, 120}, {-1, 120, 300, true, 300}, {50, 120, 300, true, 50},
                        {-2, 120, 300, true, 0},  {0, 120, 300, false, 0},   {-1, 120, 300, false, 0}};
    for (const Row& r : rows) EXPECT_EQ(LogoDimension(r.setting, r.image, r.form, r.loaded), r.expected) << r.setting;
    struct AlignRow { int formWidth, width, align, x, left; };
    const AlignRow aligns[] = {{300, 100, 0, 7, 100}, {301, 100, 0, 7, 100}, {300, 100, 1, 7, 200},
                               {300, 100, 2, 0, 0},   {300, 100, 5, 7, 7},   {300, 300, 0, 0, 0}};
    for (const AlignRow& a : aligns) EXPECT_EQ(LogoLeft(a.formWidth, a.width, a.align, a.x), a.left) << a.align;
}

namespace {

// A 4 x 2 logo: its top-left colour (red) is the transparent one.
PixelImage KeyedLogo() {
    PixelImage img;
    img.Width = 4;
    img.Height = 2;
    auto px = [](std::uint8_t r, std::uint8_t g, std::uint8_t b) { return std::array<std::uint8_t, 4>{b, g, r, 255}; };
    const std::array<std::uint8_t, 4> row[8] = {px(255, 0, 0), px(0, 255, 0), px(255, 0, 0), px(0, 0, 255),
                                                px(0, 255, 0), px(0, 255, 0), px(0, 255, 0), px(0, 255, 0)};
    for (const auto& p : row) img.Pixels.insert(img.Pixels.end(), p.begin(), p.end());
    return img;
}

TBitmap& PreparedTarget(TBitmap& bmp) {
    bmp.SetSize(20, 10);  // black
    bmp.Canvas().Brush().SetColor(clWhite);
    return bmp;
}

}  // namespace

TEST(Logo, DrawnCentredWithItsTopLeftColourTransparent) {
    TBitmap bmp;
    DrawLogoImage(PreparedTarget(bmp).Canvas(), 20, KeyedLogo(), 0, 0, 4, 2, 0);
    EXPECT_EQ(bmp.Pixel(7, 0), clWhite);  // the filled area around it
    EXPECT_EQ(bmp.Pixel(8, 0), clWhite);  // key colour: the fill shows through
    EXPECT_EQ(bmp.Pixel(9, 0), RGB(0, 255, 0));
    EXPECT_EQ(bmp.Pixel(10, 0), clWhite);
    EXPECT_EQ(bmp.Pixel(11, 0), RGB(0, 0, 255));
    EXPECT_EQ(bmp.Pixel(8, 1), RGB(0, 255, 0));
    EXPECT_EQ(bmp.Pixel(0, 1), clWhite);
    EXPECT_EQ(bmp.Pixel(0, 2), clBlack);  // below y + h nothing is filled
}

TEST(Logo, StretchedAndAlignedRightOrAtX) {
    TBitmap right;
    DrawLogoImage(PreparedTarget(right).Canvas(), 20, KeyedLogo(), 0, 0, 8, 4, 1);
    EXPECT_EQ(right.Pixel(12, 0), clWhite);
    EXPECT_EQ(right.Pixel(14, 1), RGB(0, 255, 0));
    EXPECT_EQ(right.Pixel(19, 0), RGB(0, 0, 255));
    EXPECT_EQ(right.Pixel(12, 3), RGB(0, 255, 0));
    TBitmap atX;
    DrawLogoImage(PreparedTarget(atX).Canvas(), 20, KeyedLogo(), 3, 2, 4, 2, 2);
    EXPECT_EQ(atX.Pixel(4, 2), RGB(0, 255, 0));
    EXPECT_EQ(atX.Pixel(3, 3), RGB(0, 255, 0));
    EXPECT_EQ(atX.Pixel(10, 1), clWhite);  // filled from the top, also above y
    TBitmap wide;  // a width of -1 becomes the form's width
    DrawLogoImage(PreparedTarget(wide).Canvas(), 20, KeyedLogo(), 0, 0, LogoDimension(-1, 4, 20, true), 2, 0);
    EXPECT_EQ(wide.Pixel(6, 0), RGB(0, 255, 0));
    EXPECT_EQ(wide.Pixel(19, 0), RGB(0, 0, 255));
}

TEST(Logo, TransparentPixelsOfAnAlphaLogoShowTheBackground) {
    PixelImage img;
    img.Width = 2;
    img.Height = 1;
    img.HasAlpha = true;
    img.Pixels = {255, 255, 255, 0, 0, 0, 255, 255};  // a clear pixel, then opaque red
    TBitmap bmp;
    DrawLogoImage(PreparedTarget(bmp).Canvas(), 20, img, 0, 0, 2, 1, 2);
    EXPECT_EQ(bmp.Pixel(0, 0), clWhite);
    EXPECT_EQ(bmp.Pixel(1, 0), RGB(255, 0, 0));
}

TEST_F(MainFormTest, LoadLogoLogsMissingAndInvalidFilesAndShowsNoLogo) {
    LoadLogo(form, L"no-such-logo.png");
    EXPECT_TRUE(form->LogoFile.empty());
    EXPECT_EQ(GetLogoHeight(form), 0);
    EXPECT_NE(Log().find(L"ERROR LoadLogo: File not found: " + ProgramDirectory() + L"no-such-logo.png"),
              std::wstring::npos);

    const std::wstring bad = log.File(L"bad.png");
    WriteFileBytes(bad, "this is not a png");
    SetLogoHeight(form, -1);
    LoadLogo(form, bad);
    EXPECT_TRUE(form->LogoFile.empty());
    EXPECT_EQ(GetLogoHeight(form), 0) << "no logo takes no room, whatever the setting";
    EXPECT_NE(Log().find(L"ERROR LoadLogo: EInOutError"), std::wstring::npos);
    DrawLogo(form, 0, 0);  // draws nothing and raises nothing

    const std::wstring good = log.File(L"good.png");
    SavePngFile(good, KeyedLogo());
    LoadLogo(form, good);
    EXPECT_EQ(form->LogoFile, good);
    EXPECT_EQ(form->LogoImageWidth, 4);
    EXPECT_EQ(form->LogoImageHeight, 2);
    SetLogoWidth(form, 0);
    SetLogoHeight(form, 0);
    EXPECT_EQ(GetLogoWidth(form), 4);
    SetLogoWidth(form, -1);
    EXPECT_EQ(GetLogoWidth(form), form->Width());
    SetLogoAlign(form, 7);
    EXPECT_EQ(GetLogoAlign(form), -1);
    SetLogoAlign(form, 1);
    EXPECT_EQ(GetLogoAlign(form), 1);
    LoadLogo(form, L"");
    EXPECT_TRUE(form->LogoFile.empty());
}

TEST(NavStrip, Layout) {
    struct Row { int w, h, nav, align, logo; TNavLayout expected; };
    const Row rows[] = {
        {200, 300, 1, 0, 40, {276, 300, 52}},  // bottom, centred: 100 - round(48)
        {200, 300, 1, 1, 40, {276, 300, 104}},
        {200, 300, 1, 2, 40, {276, 300, 0}},
        {200, 300, 2, 0, 40, {40, 64, 52}},  // just under the logo
        {201, 300, 2, 0, 0, {0, 24, 52}},
    };
    for (const Row& r : rows) {
        const TNavLayout got = NavButtonsLayout(r.w, r.h, r.nav, r.align, r.logo, 32, 24);
        EXPECT_EQ(got.Top, r.expected.Top) << r.nav << " " << r.align;
        EXPECT_EQ(got.Bottom, r.expected.Bottom);
        EXPECT_EQ(got.BackLeft, r.expected.BackLeft);
    }
}

TEST_F(MainFormTest, NavigationButtonsAtCreationAndPlacement) {
    TVrShadowButton* buttons[3] = {form->BackButton, form->HomeButton, form->NextButton};
    const wchar_t* captions[3] = {L"3", L"g", L"4"};
    const int sizes[3] = {15, 12, 15};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(buttons[i]->Tag, i);
        EXPECT_EQ(buttons[i]->Caption(), captions[i]);
        EXPECT_EQ(buttons[i]->Font().Name(), L"Marlett");
        EXPECT_EQ(buttons[i]->Font().Size(), sizes[i]);
        EXPECT_EQ(buttons[i]->Width(), 32);
        EXPECT_EQ(buttons[i]->Height(), 24);
        EXPECT_TRUE(buttons[i]->Transparent());
        EXPECT_FALSE(buttons[i]->Visible());
    }
    form->Show();
    Nav = 1;
    NavAlign = 1;
    PlaceNavButtons(form);
    const int cw = form->ClientWidth(), ch = form->ClientHeight();
    EXPECT_EQ(form->BackButton->Left(), cw - 96);
    EXPECT_EQ(form->HomeButton->Left(), cw - 64);
    EXPECT_EQ(form->NextButton->Left(), cw - 32);
    for (auto* b : buttons) {
        EXPECT_TRUE(b->Visible());
        EXPECT_EQ(b->Top(), ch - 24);
        EXPECT_EQ(b->Cursor, crHandPoint);
        EXPECT_EQ(b->Font().Color(), NavColor);
        EXPECT_EQ(b->Brush().Style(), TBrushStyle::Clear);
    }
    Nav = 0;
    PlaceNavButtons(form);
    for (auto* b : buttons) EXPECT_FALSE(b->Visible());
    DisplayMode = dmScreenSaver;
    Nav = 1;
    PlaceNavButtons(form);
    EXPECT_EQ(Nav, 0) << "no navigation in the screen saver";
    for (auto* b : buttons) EXPECT_FALSE(b->Visible());
}

TEST_F(MainFormTest, NavButtonClickChecksTheTargetAndCallsTheHook) {
    NamePages124();
    form->PopupMenu1.SetChecked(1, true);
    std::vector<int> calls;
    form->OnPageChangeProc = [&](TVistrelMainForm* f, int index) {
        EXPECT_EQ(f, form);
        calls.push_back(index);
    };
    form->NavButtonClick(form->NextButton);
    EXPECT_TRUE(form->PopupMenu1.Items(3).Checked);
    EXPECT_FALSE(form->PopupMenu1.Items(1).Checked);
    form->NavButtonClick(form->NextButton);
    form->NavButtonClick(form->BackButton);
    form->NavButtonClick(form->HomeButton);
    EXPECT_EQ(calls, (std::vector<int>{3, 0, 3, 0}));
}

TEST_F(MainFormTest, PageEntryActsOnlyWithItsHook) {
    TMenuItem& page3 = form->PopupMenu1.Items(2);
    form->PageClick(page3);
    EXPECT_TRUE(form->PopupMenu1.Items(0).Checked) << "without the hook nothing changes";
    int got = -1;
    form->OnPageChangeProc = [&](TVistrelMainForm*, int index) { got = index; };
    form->PageClick(page3);
    EXPECT_EQ(got, 2);
    EXPECT_TRUE(page3.Checked);
    EXPECT_FALSE(form->PopupMenu1.Items(0).Checked);
}

TEST_F(MainFormTest, MenuModel) {
    const wchar_t* names[] = {L"Page11", L"Page21", L"Page31", L"Page41", L"Page51", L"Page61", L"Page71", L"Page81",
                              L"Page91", L"N1", L"Refresh1", L"Configuration1", L"Language1", L"ReadMe1", L"Quit1"};
    ASSERT_EQ(form->PopupMenu1.Count(), 15);
    for (int i = 0; i < 15; ++i) EXPECT_EQ(form->PopupMenu1.Items(i).Name, names[i]);
    EXPECT_EQ(form->PopupMenu1.Items(0).Caption, L"Page &1");
    EXPECT_EQ(form->PopupMenu1.Items(8).Caption, L"Page &9");
    EXPECT_TRUE(form->PopupMenu1.Items(9).IsSeparator());
    EXPECT_EQ(form->PopupMenu1.Items(14).Caption, L"&Quit");
    EXPECT_THROW(form->PopupMenu1.Items(15), ERangeError);
    // The native menu holds the visible entries with their state.
    NamePages124();
    form->PopupMenu1.Items(kLanguageEntry).Enabled = false;
    HMENU menu = form->PopupMenu1.BuildNativeMenu();
    EXPECT_EQ(GetMenuItemCount(menu), 3 + 6);
    EXPECT_TRUE(GetMenuState(menu, 1, MF_BYCOMMAND) & MF_CHECKED);
    EXPECT_FALSE(GetMenuState(menu, 2, MF_BYCOMMAND) & MF_CHECKED);
    EXPECT_EQ(GetMenuState(menu, 3, MF_BYCOMMAND), static_cast<UINT>(-1)) << "page 3 is not in the menu";
    EXPECT_TRUE(GetMenuState(menu, kLanguageEntry + 1, MF_BYCOMMAND) & MF_GRAYED);
    MENUITEMINFOW mi{};
    mi.cbSize = sizeof mi;
    mi.fMask = MIIM_FTYPE;
    GetMenuItemInfoW(menu, 1, FALSE, &mi);
    EXPECT_TRUE(mi.fType & MFT_RADIOCHECK);
    DestroyMenu(menu);
}

TEST_F(MainFormTest, RightClickOpensTheMenuWhoseEntriesAct) {
    form->Show();
    PumpFor(100);
    int page = -1, paints = 0;
    form->OnPageChangeProc = [&](TVistrelMainForm*, int index) { page = index; };
    form->OnPaintProc = [&] { ++paints; };
    PumpFor(100);
    // The key waits in the queue; the menu's own loop takes it.
    PostMessageW(form->Handle(), WM_CHAR, L'2', 0);
    SendMessageW(form->Handle(), WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(5, 5));
    EXPECT_EQ(page, 1);
    EXPECT_TRUE(form->PopupMenu1.Items(1).Checked);
    const int before = paints;
    PostMessageW(form->Handle(), WM_CHAR, L'r', 0);
    SendMessageW(form->Handle(), WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(5, 5));
    PumpFor(100);
    EXPECT_GT(paints, before) << "Refresh repaints the form";
    PostMessageW(form->Handle(), WM_CHAR, L'q', 0);
    SendMessageW(form->Handle(), WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(5, 5));
    EXPECT_TRUE(Application().Terminated());
    EXPECT_NE(Log().find(L"DEBUG Termination Requested"), std::wstring::npos);
}

TEST_F(MainFormTest, RightClickOpensNothingWhenNotAllowed) {
    form->Show();
    int page = -1;
    form->OnPageChangeProc = [&](TVistrelMainForm*, int index) { page = index; };
    form->PopupAllowed = false;
    PostMessageW(form->Handle(), WM_CHAR, L'2', 0);  // would choose page 2 if a menu opened
    SendMessageW(form->Handle(), WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(5, 5));
    PumpFor(50);
    EXPECT_EQ(page, -1);
}

TEST_F(MainFormTest, HooksRunOnlyWhenSetAndNotTerminating) {
    int timer1 = 0, settings = 0, display = 0, moved = 0, config = 0, volume = 0;
    HWND h = form->Handle();
    // Unset hooks are simply not called.
    SendMessageW(h, WM_TIMER, kTimer1, 0);
    SendMessageW(h, WM_SETTINGCHANGE, 0, 0);
    form->OnTimer1Proc = [&] { ++timer1; };
    form->OnSettingChangeProc = [&](TVistrelMainForm*) { ++settings; };
    form->OnDisplayChangeProc = [&](TVistrelMainForm*) { ++display; };
    form->OnWindowMovedProc = [&](TVistrelMainForm* f) { moved += f == form; };
    form->OnDeviceConfigProc = [&] { ++config; };
    form->OnVolumeChangeProc = [&](TVistrelMainForm*, PDEV_BROADCAST_HDR header, UINT event) {
        volume += header->dbch_devicetype == DBT_DEVTYP_VOLUME && event == DBT_DEVICEARRIVAL;
    };
    DEV_BROADCAST_VOLUME volumeHeader{sizeof(DEV_BROADCAST_VOLUME), DBT_DEVTYP_VOLUME, 0, 0x4, 0};
    DEV_BROADCAST_HDR portHeader{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_PORT, 0};
    auto sendAll = [&] {
        SendMessageW(h, WM_TIMER, kTimer1, 0);
        SendMessageW(h, WM_TIMER, kTimer2, 0);  // timer 2's hook is never filled
        SendMessageW(h, WM_SETTINGCHANGE, 0, 0);
        SendMessageW(h, WM_DISPLAYCHANGE, 32, 0);
        SendMessageW(h, WM_EXITSIZEMOVE, 0, 0);
        SendMessageW(h, WM_DEVICECHANGE, DBT_CONFIGCHANGED, 0);
        SendMessageW(h, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volumeHeader));
        SendMessageW(h, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&portHeader));
    };
    sendAll();
    EXPECT_EQ(timer1, 1);
    EXPECT_EQ(settings, 1);
    EXPECT_EQ(display, 1);
    EXPECT_EQ(moved, 1);
    EXPECT_EQ(config, 1);
    EXPECT_EQ(volume, 1);
    Application().Terminate();
    sendAll();
    EXPECT_EQ(timer1 + settings + display + moved + config + volume, 6);
}

namespace {

// Two pages: the first committed and readable, the second reserved only, so a record
// placed at the first page's end cannot be read past it.
class PageEdge {
public:
    PageEdge() {
        SYSTEM_INFO info{};
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        base_ = static_cast<char*>(VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE, PAGE_NOACCESS));
        if (base_) VirtualAlloc(base_, page_, MEM_COMMIT, PAGE_READWRITE);
    }
    ~PageEdge() {
        if (base_) VirtualFree(base_, 0, MEM_RELEASE);
    }
    PageEdge(const PageEdge&) = delete;
    PageEdge& operator=(const PageEdge&) = delete;
    // A record ending exactly at the readable page's end.
    template <typename T>
    T* AtEnd() {
        return reinterpret_cast<T*>(base_ + page_ - sizeof(T));
    }
    void* Unreadable() { return base_ + page_; }

private:
    std::size_t page_ = 0;
    char* base_ = nullptr;
};

}  // namespace

TEST(DeviceChange, VolumeHeaderIsReadOnlyWhenWholeAndReadable) {
    PageEdge edge, otherEdge;
    DEV_BROADCAST_VOLUME& atEnd = *edge.AtEnd<DEV_BROADCAST_VOLUME>();
    atEnd = {sizeof(DEV_BROADCAST_VOLUME), DBT_DEVTYP_VOLUME, 0, 0x8, 0};
    auto* hdrAtEnd = otherEdge.AtEnd<DEV_BROADCAST_HDR>();
    *hdrAtEnd = {sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_VOLUME, 0};
    DEV_BROADCAST_VOLUME stackVolume{sizeof(DEV_BROADCAST_VOLUME), DBT_DEVTYP_VOLUME, 0, 0x4, 0};
    DEV_BROADCAST_VOLUME port{sizeof(DEV_BROADCAST_VOLUME), DBT_DEVTYP_PORT, 0, 0, 0};
    DEV_BROADCAST_VOLUME sizeZero{0, DBT_DEVTYP_VOLUME, 0, 0x4, 0};
    struct Row {
        const char* name;
        const void* header;
        DWORD size;  // written into the header first when not 0
        bool volume;
    };
    const Row rows[] = {
        {"none", nullptr, 0, false},
        {"unreadable memory", edge.Unreadable(), 0, false},
        {"a small number", reinterpret_cast<const void*>(std::uintptr_t{1}), 0, false},
        {"a whole volume record", &stackVolume, 0, true},
        {"a whole volume record at the end of readable memory", &atEnd, 0, true},
        {"a volume record claiming more than can be read", &atEnd, 4096, false},
        {"a volume header too short for the record", hdrAtEnd, 0, false},
        {"a size of 0", &sizeZero, 0, false},
        {"another device type", &port, 0, false},
    };
    for (const Row& r : rows) {
        if (r.size) const_cast<DEV_BROADCAST_HDR*>(static_cast<const DEV_BROADCAST_HDR*>(r.header))->dbch_size = r.size;
        EXPECT_EQ(IsVolumeHeader(static_cast<const DEV_BROADCAST_HDR*>(r.header), ReadableBytes), r.volume) << r.name;
    }
}

TEST_F(MainFormTest, DeviceChangeWithABadHeaderIsIgnored) {
    int volume = 0;
    form->OnVolumeChangeProc = [&](TVistrelMainForm*, PDEV_BROADCAST_HDR, UINT) { ++volume; };
    PageEdge edge;
    const HWND h = form->Handle();
    for (WPARAM event : {WPARAM{DBT_DEVICEARRIVAL}, WPARAM{DBT_DEVICEREMOVECOMPLETE}}) {
        SendMessageW(h, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(edge.Unreadable()));
        SendMessageW(h, WM_DEVICECHANGE, event, 1);
        SendMessageW(h, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(edge.AtEnd<DEV_BROADCAST_HDR>()));
    }
    EXPECT_EQ(volume, 0);
    DEV_BROADCAST_VOLUME whole{sizeof(DEV_BROADCAST_VOLUME), DBT_DEVTYP_VOLUME, 0, 0x4, 0};
    SendMessageW(h, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&whole));
    EXPECT_EQ(volume, 1);
}

TEST_F(MainFormTest, AltF4IsSwallowedOutsideTheScreenSaver) {
    WORD key = VK_F4;
    form->FormKeyDown(key, ssAlt);
    EXPECT_EQ(key, 0);
    key = VK_F4;
    form->FormKeyDown(key, 0);
    EXPECT_EQ(key, VK_F4);
    key = 'A';
    form->FormKeyDown(key, ssAlt);
    EXPECT_EQ(key, 'A');
}

TEST(ScreenSaverMoves, OnlyAMoveToANewPositionIsAMovement) {
    const struct {
        std::vector<POINT> moves;
        int movements;
    } rows[] = {
        {{}, 0},
        {{{5, 5}}, 0},                                   // the first only sets the position
        {{{5, 5}, {5, 5}, {5, 5}}, 0},                   // moves without movement
        {{{5, 5}, {6, 5}}, 1},
        {{{5, 5}, {5, 6}, {5, 6}, {5, 5}}, 2},           // back to an earlier position moves too
        {{{-1200, 40}, {-1200, 40}, {300, 40}}, 1},      // a monitor left of the primary one
    };
    for (const auto& r : rows) {
        std::optional<POINT> last;
        int movements = 0;
        for (const POINT& p : r.moves) movements += PointerMoved(last, p) ? 1 : 0;
        EXPECT_EQ(movements, r.movements) << r.moves.size() << " moves";
        if (!r.moves.empty()) {
            EXPECT_EQ(last->x, r.moves.back().x);
        }
    }
}

TEST_F(MainFormTest, ScreenSaverEndsOnTheSixthMoveOrAnyKey) {
    std::vector<UINT> halts;
    SetHaltProc([&](UINT code) { halts.push_back(code); });
    int ends = 0;
    SetProgramEndProc([&] { ++ends; });
    DisplayMode = dmScreenSaver;
    form->ResetScreenSaverMoves();
    // The first move only sets the position; moves to where the pointer already is never
    // count, however many.
    for (int i = 0; i < 6; ++i) form->FormMouseMove(0, i, 0);
    for (int i = 0; i < 20; ++i) form->FormMouseMove(0, 5, 0);
    EXPECT_TRUE(halts.empty());
    EXPECT_EQ(form->MouseMoveCount, 5);
    form->FormMouseMove(0, 9, 9);
    EXPECT_EQ(halts, std::vector<UINT>{0});
    EXPECT_EQ(ends, 1) << "the units' finalisation runs";
    WORD key = 'X';
    form->FormKeyDown(key, 0);
    EXPECT_EQ(halts.size(), 2u);
    EXPECT_EQ(ends, 1) << "and only once";
    DisplayMode = dmWindow;
    for (int i = 0; i < 10; ++i) form->FormMouseMove(0, i, 0);
    EXPECT_EQ(halts.size(), 2u);
}

namespace {

class TThrower : public TWinControl {
public:
    std::wstring ClassName() const override { return L"TThrower"; }

protected:
    LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override {
        if (msg == WM_USER + 7) throw EConvertError(L"bad value");
        if (msg == WM_USER + 8) throw std::out_of_range("index");
        return TWinControl::WndProc(msg, wp, lp);
    }
};

}  // namespace

TEST_F(MainFormTest, ExceptionInAWindowProcedureReachesAppException) {
    EXPECT_TRUE(static_cast<bool>(Application().OnException)) << "the form installs the handler";
    std::vector<UINT> halts;
    SetHaltProc([&](UINT code) { halts.push_back(code); });
    bool ended = false;
    SetProgramEndProc([&] { ended = true; });
    auto thrower = Application().CreateForm<TThrower>();
    SendMessageW(thrower->Handle(), WM_USER + 7, 0, 0);
    EXPECT_NE(Log().find(L"ERROR Application Exception: Class=TThrower EConvertError, Msg=bad value"),
              std::wstring::npos);
    EXPECT_EQ(halts, std::vector<UINT>{1});
    EXPECT_TRUE(ended);
    SendMessageW(thrower->Handle(), WM_USER + 8, 0, 0);
    EXPECT_NE(Log().find(L"Class=TThrower ERangeError, Msg=Range check error"), std::wstring::npos);
}

// The manual's entry tells the user in a message box of its own (see test_manual.cpp).
TEST_F(MainFormTest, ShellCallsOnMissingFilesAreLoggedNotModal) {
    form->IniFileName = log.File(L"missing.ini");
    form->Configuration1Click();
    EXPECT_NE(Log().find(L"ERROR Configuration1Click: " + log.File(L"missing.ini")), std::wstring::npos);
    form->LanguageFileName = log.File(L"missing-language.ini");
    form->Language1Click();
    EXPECT_NE(Log().find(L"ERROR Language1Click: "), std::wstring::npos);
}

// An editor other than Notepad gets the ini or language path as one argument, blanks
// and all.
TEST_F(MainFormTest, EditorGetsThePathAsOneArgument) {
    TempFolder folder(L"vistrel editor test");
    const std::wstring report = folder.File(L"editor.txt");
    SetEnvironmentVariableW(L"VISTREL_EDITOR_OUT", report.c_str());
    TextEditor = TestBinaryDir() + L"editor_fixture.exe";
    struct Row {
        const wchar_t* what;
        std::wstring file;
        void (TVistrelMainForm::*click)();
    };
    const Row rows[] = {
        {L"configuration", folder.File(L"my settings.ini"), &TVistrelMainForm::Configuration1Click},
        {L"language", folder.File(L"deutsch lang.ini"), &TVistrelMainForm::Language1Click},
    };
    for (const Row& r : rows) {
        DeleteFileW(report.c_str());
        WriteFileBytes(r.file, "[options]\r\n");
        form->IniFileName = form->LanguageFileName = r.file;
        (form->*r.click)();
        std::string bytes;
        const DWORD start = GetTickCount();
        while ((bytes = ReadFileBytes(report)).empty() && GetTickCount() - start < 15000) Sleep(50);
        Sleep(100);  // the editor closes its report
        const std::wstring text = ReadLogText(report);
        EXPECT_EQ(text, L"1\n" + r.file + L"\n") << r.what;
    }
    TextEditor.clear();
    SetEnvironmentVariableW(L"VISTREL_EDITOR_OUT", nullptr);
    EXPECT_EQ(Log().find(L"ERROR"), std::wstring::npos) << Log();
}

TEST_F(MainFormTest, UserControlClickLogsATargetThatCannotBeOpened) {
    TConfigItem item;
    item.Options[0] = {L"URI", Variant(log.File(L"nothing.exe"))};
    item.Options[1] = {L"args", Variant(L"-x")};
    ConfigItems = {TConfigItem{}, item};
    TWinControl* control = form->HomeButton;
    control->Tag = 1;
    form->UserControlClick(control);
    EXPECT_NE(Log().find(L"ERROR Control Error: uri: " + log.File(L"nothing.exe") + L" Args: -x Error: "),
              std::wstring::npos);
    ConfigItems.clear();
}

TEST_F(MainFormTest, TimerHighlightsTheButtonUnderTheCursorWhileItCanHaveChanged) {
    form->SetBounds(100, 100, 300, 200);
    form->Show();
    Nav = 1;
    PlaceNavButtons(form);
    PumpFor(50);
    const auto solid = [](TVrShadowButton* b) { return b->Brush().Style() == TBrushStyle::Solid; };
    const auto centre = [](TVrShadowButton* b) { return b->ClientToScreen({b->Width() / 2, b->Height() / 2}); };
    // Placed under a resting cursor: the next tick finds it.
    const POINT home = centre(form->HomeButton);
    ASSERT_TRUE(SetCursorPos(home.x, home.y));
    EXPECT_TRUE(form->NavHighlightCheckDue());
    SendMessageW(form->Handle(), WM_TIMER, kTimer1, 0);
    EXPECT_TRUE(solid(form->HomeButton));
    EXPECT_FALSE(solid(form->NextButton));
    // The cursor leaves: the tick clears the highlight, and while nothing is highlighted and
    // nothing moved the ticks leave the cursor alone.
    ASSERT_TRUE(SetCursorPos(5, 5));
    SendMessageW(form->Handle(), WM_TIMER, kTimer1, 0);
    EXPECT_FALSE(solid(form->HomeButton));
    EXPECT_FALSE(form->NavHighlightCheckDue());
    // A move over a button highlights it and the ticks watch it again.
    form->NavButtonMouseMove(form->NextButton);
    EXPECT_TRUE(solid(form->NextButton));
    EXPECT_TRUE(form->NavHighlightCheckDue());
    SendMessageW(form->Handle(), WM_TIMER, kTimer1, 0);
    EXPECT_FALSE(solid(form->NextButton));
    EXPECT_FALSE(form->NavHighlightCheckDue());
    // The form moves under the cursor: the next tick looks again.
    const POINT next = centre(form->NextButton);
    form->SetBounds(120, 100, 300, 200);
    EXPECT_TRUE(form->NavHighlightCheckDue());
    ASSERT_TRUE(SetCursorPos(next.x + 20, next.y));
    SendMessageW(form->Handle(), WM_TIMER, kTimer1, 0);
    EXPECT_TRUE(solid(form->NextButton));
}

TEST(RegionalSettings, OnlyTheIntlAreaIsAChangeOfTheRegionalFormat) {
    EXPECT_TRUE(IsRegionalSettingsChange(L"intl"));
    EXPECT_TRUE(IsRegionalSettingsChange(L"Intl"));
    EXPECT_FALSE(IsRegionalSettingsChange(L"Environment"));
    EXPECT_FALSE(IsRegionalSettingsChange(L"intlx"));
    EXPECT_FALSE(IsRegionalSettingsChange(nullptr));
}

TEST_F(MainFormTest, ARegionalFormatChangeRefreshesTheNumberSeparators) {
    // A separator that differs from the system's, as the format was before the user changed it.
    const NumberFormat system = LocaleNumberFormat();
    NumberFormat before = system;
    before.DecimalSeparator = system.DecimalSeparator == L',' ? L'.' : L',';
    SetLocaleNumberFormat(before);
    SendMessageW(form->Handle(), WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Environment"));
    EXPECT_EQ(LocaleNumberFormat().DecimalSeparator, before.DecimalSeparator) << "another area changed nothing";
    SendMessageW(form->Handle(), WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"intl"));
    EXPECT_EQ(LocaleNumberFormat().DecimalSeparator, system.DecimalSeparator);
    EXPECT_EQ(Variant(2.5).ToText(), std::wstring(L"2") + system.DecimalSeparator + L"5");
}
