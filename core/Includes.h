// Run-time option globals and the shared texts. The configuration loader writes them on
// the window thread; painting, the main form and the collector read them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

extern std::int32_t MonitorMode;   // "monitor-mode"
extern std::int32_t MonitorNum;    // "monitor-num"
extern std::int32_t FormLeft, FormRight, FormTop, FormBottom;  // "left", "right", "top", "bottom"
extern std::int32_t FormWidth;     // "width"
extern bool CenterV, CenterH;      // "centerv", "centerh"
extern std::int32_t Column1Width;  // "column1width"
extern std::int32_t FormColor;     // "formcolor"
extern std::wstring FontFace;      // "font-face"
extern std::int32_t FontCharset;   // "font-charset"
extern std::int32_t FontSize;      // "font-size"
extern bool FontRtl;               // "font-rtl"
extern bool ClearType;             // "cleartype"
extern std::int32_t TextAlign;     // "text-align"
extern std::int32_t LineSpacing;   // "line-spacing"
extern std::wstring Logo;          // "logo"
extern std::int32_t LogoWidth, LogoHeight, LogoAlign;  // "logo-width", "logo-height", "logo-align"
extern std::int32_t Transparency;  // "transparency", percent
extern bool ContextMenu;           // "contextmenu"
extern bool AllowDrag;             // "allowdrag"
extern std::wstring Language;      // "language"
extern std::int32_t IniMonitorTime;  // "inimonitortime", seconds
extern bool Vistrel64;             // "vistrel64"
extern std::int32_t Nav;           // "nav"
extern std::int32_t NavAlign;      // "nav-align"
extern std::int32_t NavColor;      // "nav-color"
extern std::wstring TextEditor;    // "text-editor"
extern std::int32_t InitialPage;   // "initial-page"
extern bool WindowDragged;         // the window was dragged in this run

extern std::wstring MainIniPath;   // the main ini file found by the last load

// The texts and the user functions that every load of the configuration rewrites. The
// loader writes them on the window thread. A thread that may outlive its stop, such as
// the collection thread during a reload, must not read them while they change: it takes
// a copy when it starts and reads only that copy (TOwnReloadedTexts).
struct TReloadedTexts {
    std::wstring ErrorText = L"[Error]";
    std::wstring NoResultsText = L"<n/a>";
    std::wstring NullResultText = L"<null>";
    std::vector<std::wstring> UserFunctions;
};

// A copy of the values as the calling thread sees them now.
std::shared_ptr<const TReloadedTexts> CopyReloadedTexts();

// While it lives, the calling thread reads Texts in place of the loader's values. Made and
// destroyed on the same thread; they nest.
class TOwnReloadedTexts {
public:
    explicit TOwnReloadedTexts(std::shared_ptr<const TReloadedTexts> Texts);
    ~TOwnReloadedTexts();
    TOwnReloadedTexts(const TOwnReloadedTexts&) = delete;
    TOwnReloadedTexts& operator=(const TOwnReloadedTexts&) = delete;

private:
    std::shared_ptr<const TReloadedTexts> texts_;
    const TReloadedTexts* outer_;
};

// The values the calling thread reads: its own copy while it holds one, else the loader's.
const TReloadedTexts& ReloadedTexts();
// The loader's values (window thread).
TReloadedTexts& LoaderTexts();

// One of the reloaded values, read as the calling thread sees it and written to the
// loader's values. Reads as a plain T.
template <typename T>
class TReloadedValue {
public:
    constexpr explicit TReloadedValue(T TReloadedTexts::*Member) : member_(Member) {}
    TReloadedValue(const TReloadedValue&) = delete;

    const T& get() const { return ReloadedTexts().*member_; }
    operator const T&() const { return get(); }
    TReloadedValue& operator=(T Value) {
        LoaderTexts().*member_ = std::move(Value);
        return *this;
    }
    TReloadedValue& operator=(const TReloadedValue& Other) { return *this = T(Other.get()); }
    void clear() { LoaderTexts().*member_ = T(); }
    bool empty() const { return get().empty(); }
    auto size() const { return get().size(); }
    auto begin() const { return get().begin(); }
    auto end() const { return get().end(); }
    const auto& back() const { return get().back(); }
    friend bool operator==(const TReloadedValue& A, const T& B) { return A.get() == B; }

private:
    T TReloadedTexts::*member_;
};

using TReloadedText = TReloadedValue<std::wstring>;

inline std::wstring operator+(const TReloadedText& A, const std::wstring& B) { return A.get() + B; }
inline std::wstring operator+(const TReloadedText& A, const wchar_t* B) { return A.get() + B; }
inline std::wstring operator+(const std::wstring& A, const TReloadedText& B) { return A + B.get(); }
inline std::wstring operator+(std::wstring&& A, const TReloadedText& B) { return std::move(A) + B.get(); }
inline std::wstring operator+(const wchar_t* A, const TReloadedText& B) { return A + B.get(); }

extern TReloadedValue<std::vector<std::wstring>> UserFunctions;  // "functions" lines, name=expression
extern TReloadedText ErrorText;       // prefix of error log lines and error values
// ErrorText followed by exactly one blank, before the first load as after it.
std::wstring ErrorPrefix();
extern TReloadedText NoResultsText;   // line shown for an item without result
extern TReloadedText NullResultText;  // text of a null value
extern const wchar_t* const DefaultPageName;
extern std::array<std::wstring, 10> PageNames;  // pages 1..9; entry 0 unused

// Restores the options that every reload starts from.
void ResetOptions();
// Sets the initial font face and shared texts (start of the program).
void InitDefaultTexts();
void FinalizeIncludes();
