// Run-time option globals and the shared texts. The configuration loader writes them on
// the window thread; painting, the main form and the collector read them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
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
extern std::vector<std::wstring> UserFunctions;  // lines of the "functions" section, name=expression

extern std::wstring ErrorText;       // prefix of error log lines and error values
extern std::wstring NoResultsText;   // line shown for an item without result
extern std::wstring NullResultText;  // text of a null value
extern const wchar_t* const DefaultPageName;
extern std::array<std::wstring, 10> PageNames;  // pages 1..9; entry 0 unused

// Restores the options that every reload starts from.
void ResetOptions();
// Sets the initial font face and shared texts (start of the program).
void InitDefaultTexts();
void FinalizeIncludes();
