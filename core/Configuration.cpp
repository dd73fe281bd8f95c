#include "Configuration.h"

#include <windows.h>

#include <mutex>
#include <vector>

#include "Checked.h"
#include "DisplayState.h"
#include "Errors.h"
#include "IniFiles.h"
#include "Includes.h"
#include "ItemLines.h"
#include "Log.h"
#include "MainFormUnit.h"
#include "OutputPaths.h"
#include "TextMeasure.h"
#include "Utils.h"

std::wstring MeasuringText;
std::wstring LanguageFilePath;

namespace {

struct TLevelWord {
    const wchar_t* Word;
    std::uint8_t Bit;
};

constexpr TLevelWord kLogLevelWords[] = {
    {L"debug ", 1}, {L"error ", 2}, {L"info ", 4}, {L"data ", 8},
    {L"warn ", 16}, {L"debugonerror ", 32}, {L"map", 64},
};
constexpr TLevelWord kEventLogLevelWords[] = {{L"error ", 2}, {L"info ", 4}, {L"warn ", 16}};

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Whether Word occurs in Text at the start of a word: not directly behind a letter, so
// "error " is not found inside "debugonerror ".
bool HasLevelWord(const std::wstring& text, const std::wstring& word) {
    for (std::size_t at = text.find(word); at != std::wstring::npos; at = text.find(word, at + 1)) {
        if (at == 0 || !IsCharAlphaW(text[at - 1])) return true;
    }
    return false;
}

// Lower-cased, blank-trimmed value with one blank appended, so the last word ends in a
// blank like the others.
std::wstring LevelText(const std::wstring& value) { return LowerText(WithoutBlanksAround(value)) + L" "; }

std::wstring KeywordText(const std::string& keyword) { return AnsiToWide(keyword); }

bool HasTextOption(const TConfigItem& item) {
    for (const auto& opt : item.Options)
        if (!opt.Name.empty() && SameTextIgnoreCase(opt.Name, L"text")) return true;
    return false;
}

std::wstring WithoutOneTrailingBlank(const std::wstring& s) {
    if (!s.empty() && s.back() == L' ') return s.substr(0, s.size() - 1);
    return s;
}

std::wstring TrimTrailingBlanks(std::wstring s) {
    while (!s.empty() && IsBlank(s.back())) s.pop_back();
    return s;
}

void ReadWindowOptions(const TInfoFile& ini, const std::wstring& sec) {
    MonitorMode = ini.ReadInteger(sec, L"monitor-mode", MonitorMode);
    MonitorNum = ini.ReadInteger(sec, L"monitor-num", MonitorNum);
    // A window the user has dragged keeps its place across reloads.
    if (!WindowDragged) {
        FormLeft = ini.ReadInteger(sec, L"left", FormLeft);
        FormRight = ini.ReadInteger(sec, L"right", FormRight);
        FormTop = ini.ReadInteger(sec, L"top", FormTop);
        FormBottom = ini.ReadInteger(sec, L"bottom", FormBottom);
    }
    FormWidth = ini.ReadInteger(sec, L"width", FormWidth);
    CenterV = ini.ReadBool(sec, L"centerv", CenterV);
    CenterH = ini.ReadBool(sec, L"centerh", CenterH);
    Column1Width = ini.ReadInteger(sec, L"column1width", Column1Width);
    FormColor = ini.ReadColor(sec, L"formcolor", FormColor);
    FontFace = ini.ReadString(sec, L"font-face", FontFace);
    FontCharset = ini.ReadInteger(sec, L"font-charset", FontCharset);
    FontSize = ini.ReadInteger(sec, L"font-size", FontSize);
    if (FontSize < 6) FontSize = 6;
    FontRtl = ini.ReadBool(sec, L"font-rtl", FontRtl);
    ClearType = ini.ReadBool(sec, L"cleartype", ClearType);
    TextAlign = ini.ReadInteger(sec, L"text-align", TextAlign);
    LineSpacing = ini.ReadInteger(sec, L"line-spacing", LineSpacing);
    Logo = ini.ReadString(sec, L"logo", Logo);
    LogoWidth = ini.ReadInteger(sec, L"logo-width", LogoWidth);
    LogoHeight = ini.ReadInteger(sec, L"logo-height", LogoHeight);
    LogoAlign = ini.ReadInteger(sec, L"logo-align", LogoAlign);
    Transparency = ini.ReadInteger(sec, L"transparency", Transparency);
    ContextMenu = ini.ReadBool(sec, L"contextmenu", ContextMenu);
    AllowDrag = ini.ReadBool(sec, L"allowdrag", AllowDrag);
    Language = ini.ReadString(sec, L"language", Language);
    IniMonitorTime = ini.ReadInteger(sec, L"inimonitortime", IniMonitorTime);
    Vistrel64 = ini.ReadBool(sec, L"vistrel64", Vistrel64);
    Nav = ini.ReadInteger(sec, L"nav", Nav);
    NavAlign = ini.ReadInteger(sec, L"nav-align", NavAlign);
    NavColor = ini.ReadColor(sec, L"nav-color", NavColor);
    TextEditor = ini.ReadString(sec, L"text-editor", TextEditor);
    InitialPage = ini.ReadInteger(sec, L"initial-page", InitialPage);
}

void ReadTexts(const TInfoFile& ini) {
    NoResultsText = ini.ReadString(L"text", L"noresults", NoResultsText);
    NullResultText = ini.ReadString(L"text", L"null-result", NullResultText);
    // ErrorText carries one separating blank; the default is the current text without it,
    // so the text ends in exactly one blank however many loads run.
    ErrorText = TrimTrailingBlanks(ini.ReadString(L"text", L"error", WithoutOneTrailingBlank(ErrorText))) + L" ";
}

}  // namespace

void InitializeConfiguration() {
    SetDefaultItemLabels();
    MeasuringText = L"ABCDEFGHIJKLMNOPQRSTUVWXYZ";
}

void FinalizeConfiguration() {
    FreeConfigItems(ConfigItems);
    MeasuringText.clear();
    for (auto& row : ItemTypeTable) row.Text.clear();
}

std::uint8_t ParseLogLevelWords(const std::wstring& Value) {
    const std::wstring text = LevelText(Value);
    if (HasLevelWord(text, L"all ")) return 255;
    std::uint8_t levels = 0;
    for (const auto& w : kLogLevelWords)
        if (HasLevelWord(text, w.Word)) levels = static_cast<std::uint8_t>(levels | w.Bit);
    return levels;
}

std::uint8_t ParseEventLogLevelWords(const std::wstring& Value) {
    const std::wstring text = LevelText(Value);
    std::uint8_t levels = 0;
    for (const auto& w : kEventLogLevelWords)
        if (HasLevelWord(text, w.Word)) levels = static_cast<std::uint8_t>(levels | w.Bit);
    return levels;
}

void LogVersionLines(const std::wstring& ProgramFile) {
    WriteLog(L"Vistrel version " + GetFileVersionText(ProgramFile), llInfo);
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);  // 148 bytes: the record without the service-pack numbers
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const BOOL ok = GetVersionExA(&info);
#pragma GCC diagnostic pop
    if (ok) {
        WriteLog(L"Windows Version " + std::to_wstring(info.dwMajorVersion) + L"." + std::to_wstring(info.dwMinorVersion) +
                     L"." + std::to_wstring(info.dwBuildNumber) + L" " + AnsiToWide(info.szCSDVersion),
                 llInfo);
    }
}

std::wstring ItemLabelFrom(const TInfoFile& Ini, const TConfigItem& Item) {
    std::wstring label = Item.Text;
    if (!Item.Lid.empty()) {
        label = Ini.ReadString(L"items", Item.Lid, Item.Text);
    } else if (!HasTextOption(Item)) {
        // A label the user wrote on the item line is not replaced by a keyword's label.
        label = Ini.ReadString(L"items", KeywordText(Item.Keyword), Item.Text);
    }
    return WideReplaceText(label, L"%1", std::to_wstring(Item.InstanceNo), rfReplaceAll);
}

bool LoadOptions(const std::wstring& Path, TOptionsFile Kind, const std::wstring& ProgramFile) {
    if (!FileExists(Path)) return false;
    try {
        const TInfoFile ini(Path);
        const std::wstring sec =
            HasCmdLineSwitch("s") && ini.SectionExists(L"screen-saver") ? L"screen-saver" : L"options";
        ReadWindowOptions(ini, sec);
        ReadTexts(ini);

        for (auto& item : ConfigItems) item.Text = ItemLabelFrom(ini, item);

        const std::wstring log = ini.ReadString(sec, L"log", L"");
        if (!log.empty()) {
            // Named without a folder, it goes beside the program, wherever it was started.
            SetLogFileName(ConfiguredOutputPath(log));
            LogLevels = ParseLogLevelWords(ini.ReadString(sec, L"log-level", L""));
        }

        LogVersionLines(ProgramFile);

        // A language file's load leaves the event-log levels of the main file alone.
        if (Kind == TOptionsFile::Main) EventLogLevels = ParseEventLogLevelWords(ini.ReadString(sec, L"eventlog-level", L""));

        if (ini.SectionExists(L"pages")) {
            for (int n = 1; n <= 9; ++n) PageNames.at(n) = ini.ReadString(L"pages", std::to_wstring(n), L"");
        }
        if (PageNames.at(1).empty()) PageNames.at(1) = DefaultPageName;

        if (ini.SectionExists(L"functions")) UserFunctions = ini.ReadSection(L"functions");
        return true;
    } catch (const std::exception& e) {
        WriteLog(L"_LoadOptions:" + ErrorText + ExceptionText(e), llError);
        return false;
    }
}

namespace {

// True the first time a missing ini file of this name is reported.
bool FirstReportOfMissingIni(const std::wstring& Named) {
    static std::mutex lock;
    static std::wstring reported;
    std::lock_guard guard(lock);
    if (Named == reported) return false;
    reported = Named;
    return true;
}

}  // namespace

bool LoadIniFile() { return LoadIniFile(ProgramDirectory(), ProgramFilePath()); }

bool LoadIniFile(const std::wstring& ProgramDir, const std::wstring& ProgramFile) {
    // A language file is loaded only when this load names one.
    Language.clear();
    std::wstring path = GetCmdLineSwitchValue("ini");
    if (path.empty()) {
        const auto& args = ProgramArguments();
        if (!args.empty() && FileExists(CommandLinePath(args.front()))) path = args.front();
    }
    if (path.empty()) {
        path = ProgramDir + L"vistrel.ini";
        const std::wstring sample = ProgramDir + L"vistrel-sample.ini";
        // Never over an existing file: CopyFileW refuses when the target exists.
        if (!FileExists(path) && FileExists(sample) && !CopyFileW(sample.c_str(), path.c_str(), TRUE)) {
            const DWORD error = GetLastError();
            WriteLog(L"LoadIniFile: " + ErrorPrefix() + path + L" cannot be made from " + sample + L": error " +
                         std::to_wstring(error) + L" " + SystemErrorText(error),
                     llError);
        }
    } else {
        const std::wstring named = path;
        // Typed on the command line: a relative name means where it was typed; else the
        // program's folder.
        path = CommandLinePath(named);
        if (!FileExists(path)) path = ProgramDir + named;
        if (!FileExists(path)) {
            const std::wstring message = L"LoadIniFile: " + ErrorPrefix() + L"the ini file " + named + L" does not exist";
            WriteLog(message, llError);
            // Without /debug no log is open at start and the window stays empty: the event
            // log says it, once for the file named (every reload tries the file again).
            if (!(EventLogLevels.load() & (1u << llError)) && FirstReportOfMissingIni(named))
                ReportToEventLog(EVENTLOG_ERROR_TYPE, message);
            return false;
        }
    }
    MainIniPath = path;
    WriteLog(L"Ini File: " + path, llInfo);
    return LoadOptions(path, TOptionsFile::Main, ProgramFile);
}

bool LoadLanguageFile() { return LoadLanguageFile(ProgramDirectory(), ProgramFilePath()); }

std::wstring ResolveLanguageFile(const std::wstring& Language, const std::wstring& ProgramDir) {
    if (Language.empty()) return {};
    if (FileExists(Language)) return Language;
    const std::wstring inProgramDir = ProgramDir + Language;
    if (FileExists(inProgramDir)) return inProgramDir;
    return {};
}

bool LoadLanguageFile(const std::wstring& ProgramDir, const std::wstring& ProgramFile) {
    LanguageFilePath = ResolveLanguageFile(Language, ProgramDir);
    if (LanguageFilePath.empty()) return false;
    const std::int32_t charset = FontCharset;
    const bool read = LoadOptions(LanguageFilePath, TOptionsFile::Language, ProgramFile);
    // The lines were measured in the main file's character set; a language file that
    // names another one has them measured again in the set that paints.
    if (FontCharset != charset) {
        try {
            MeasureItemLineHeights(ConfigItems, PaintingCharsetOf(MainForm));
        } catch (const std::exception& e) {
            WriteLog(L"LoadLanguageFile:" + ErrorText + ExceptionText(e), llError);
        }
    }
    return read;
}

std::uint8_t PaintingCharsetOf(TVistrelMainForm* Form) {
    return PaintingCharset(FontCharset, Form ? Form->Canvas().Font().Charset() : kDefaultCharset);
}

void MeasureItemLineHeights(TConfigArray& Items, std::uint8_t Charset) {
    // Items mostly share a few fonts: each face and size is measured once.
    struct Measured {
        std::wstring Face;
        std::int32_t Size;
        int Height;
    };
    std::vector<Measured> known;
    for (TConfigItem& item : Items) {
        int height = -1;
        for (const Measured& m : known)
            if (m.Face == item.FontFace && m.Size == item.FontSize) height = m.Height;
        if (height < 0) {
            height = MeasureTextHeight(MeasuringText, item.FontFace, item.FontSize, 0, Charset);
            known.push_back({item.FontFace, item.FontSize, height});
        }
        item.LineHeight = CheckedAdd<std::int32_t>(height, LineSpacing);
    }
}

void LoadItems(TVistrelMainForm* Form) {
    try {
        const TWideStringArray lines = TInfoFile(MainIniPath).ReadSection(L"items");
        if (lines.empty()) {
            WriteLog(L"LoadItems: Error reading items", llError);
            return;
        }
        SetConfig(lines, Form);
        MeasureItemLineHeights(ConfigItems, PaintingCharsetOf(Form));
    } catch (const std::exception& e) {
        WriteLog(L"LoadItems:" + ErrorText + ExceptionText(e), llError);
    }
}

void LoadFallbackItem() {
    WriteLog(L"CheckIniFile: Error loading config items", llError);
    SetConfig({L"comment=active:1,text:Error loading config items"}, nullptr);
    // Measured like every other item, so the line is readable.
    try {
        MeasureItemLineHeights(ConfigItems, PaintingCharsetOf(MainForm));
    } catch (const std::exception& e) {
        WriteLog(L"LoadFallbackItem:" + ErrorText + ExceptionText(e), llError);
    }
}
