#include "Includes.h"

std::int32_t MonitorMode = 0;
std::int32_t MonitorNum = 0;
std::int32_t FormLeft = -1, FormRight = -1, FormTop = -1, FormBottom = -1;
std::int32_t FormWidth = -1;
bool CenterV = false, CenterH = false;
std::int32_t Column1Width = -1;
std::int32_t FormColor = 0;
std::wstring FontFace = L"Arial";
std::int32_t FontCharset = 1;
std::int32_t FontSize = 8;
bool FontRtl = false;
bool ClearType = false;
std::int32_t TextAlign = 0;
std::int32_t LineSpacing = 1;
std::wstring Logo;
std::int32_t LogoWidth = 0, LogoHeight = 0, LogoAlign = 0;
std::int32_t Transparency = 100;
bool ContextMenu = true;
bool AllowDrag = true;
std::wstring Language;
std::int32_t IniMonitorTime = 5;
bool Vistrel64 = false;
std::int32_t Nav = 0;
std::int32_t NavAlign = 0;
std::int32_t NavColor = 11184810;
std::wstring TextEditor;
std::int32_t InitialPage = 1;
bool WindowDragged = false;

std::wstring MainIniPath;

namespace {

// The copy the calling thread reads, when it holds one. A plain pointer: the copy itself
// is owned by the TOwnReloadedTexts that installed it.
thread_local const TReloadedTexts* ownTexts = nullptr;

}  // namespace

TReloadedTexts& LoaderTexts() {
    static TReloadedTexts texts;
    return texts;
}

const TReloadedTexts& ReloadedTexts() { return ownTexts ? *ownTexts : LoaderTexts(); }

std::shared_ptr<const TReloadedTexts> CopyReloadedTexts() { return std::make_shared<const TReloadedTexts>(ReloadedTexts()); }

TOwnReloadedTexts::TOwnReloadedTexts(std::shared_ptr<const TReloadedTexts> Texts)
    : texts_(std::move(Texts)), outer_(ownTexts) {
    if (texts_) ownTexts = texts_.get();
}

TOwnReloadedTexts::~TOwnReloadedTexts() { ownTexts = outer_; }

TReloadedValue<std::vector<std::wstring>> UserFunctions(&TReloadedTexts::UserFunctions);
TReloadedText ErrorText(&TReloadedTexts::ErrorText);
TReloadedText NoResultsText(&TReloadedTexts::NoResultsText);
TReloadedText NullResultText(&TReloadedTexts::NullResultText);
const wchar_t* const DefaultPageName = L"Main Page";
std::array<std::wstring, 10> PageNames{L"", L"Main Page"};

void ResetOptions() {
    Logo.clear();
    LogoWidth = LogoHeight = LogoAlign = 0;
    ContextMenu = true;
    Nav = 0;
    MonitorMode = MonitorNum = 0;
    TextEditor.clear();
    TextAlign = 0;
    FontRtl = false;
    LineSpacing = 1;
    Transparency = 100;
    CenterV = CenterH = false;
    InitialPage = 1;
}

void InitDefaultTexts() {
    FontFace = L"Arial";
    ErrorText = L"[Error]";
    NoResultsText = L"<n/a>";
    NullResultText = L"<null>";
    PageNames = {};
    PageNames[1] = DefaultPageName;
}

void FinalizeIncludes() {
    UserFunctions.clear();
    TextEditor.clear();
    Language.clear();
    MainIniPath.clear();
    Logo.clear();
    FontFace.clear();
    ErrorText.clear();
    NoResultsText.clear();
    NullResultText.clear();
    PageNames = {};
}

std::wstring ErrorPrefix() {
    std::wstring text = ErrorText;
    while (!text.empty() && text.back() == L' ') text.pop_back();
    return text + L" ";
}
