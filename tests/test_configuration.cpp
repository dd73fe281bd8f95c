// Loading of the main ini file and the language file into the option globals, with
// fixture files in a fresh temporary program folder.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "Configuration.h"
#include "IniFiles.h"
#include "Includes.h"
#include "Log.h"
#include "OutputPaths.h"
#include "Units.h"
#include "Utils.h"
#include "TestFiles.h"
#include "WinHandles.h"


namespace {

// Every option global back to its value at program start.
void ResetAllGlobals() {
    MonitorMode = MonitorNum = 0;
    FormLeft = FormRight = FormTop = FormBottom = -1;
    FormWidth = -1;
    CenterV = CenterH = false;
    Column1Width = -1;
    FormColor = 0;
    FontCharset = 1;
    FontSize = 8;
    FontRtl = ClearType = false;
    TextAlign = 0;
    LineSpacing = 1;
    Logo.clear();
    LogoWidth = LogoHeight = LogoAlign = 0;
    Transparency = 100;
    ContextMenu = AllowDrag = true;
    Language.clear();
    IniMonitorTime = 5;
    Vistrel64 = false;
    Nav = NavAlign = 0;
    NavColor = 11184810;
    TextEditor.clear();
    InitialPage = 1;
    WindowDragged = false;
    MainIniPath.clear();
    UserFunctions.clear();
    InitDefaultTexts();
    LogLevels = 0;
    EventLogLevels = 0;
    SetLogFileName(L"");
}

// The log file's lines (UTF-16 without a byte-order mark, CR LF).
std::vector<std::wstring> LogLines(const std::wstring& path) {
    const std::string bytes = ReadFileBytes(path);
    std::wstring text(bytes.size() / 2, L'\0');
    std::memcpy(text.data(), bytes.data(), text.size() * 2);
    std::vector<std::wstring> lines = SplitTextLines(text);
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

int CountContaining(const std::vector<std::wstring>& lines, const std::wstring& part) {
    int n = 0;
    for (const auto& l : lines)
        if (l.find(part) != std::wstring::npos) ++n;
    return n;
}

class ConfigLoad : public ::testing::Test {
protected:
    void SetUp() override {
        InitializeUnits();
        ResetAllGlobals();
        SetProgramArguments({});
        ConfigItems.clear();
    }
    void TearDown() override {
        SetProgramArguments({});
        SetLogFileName(L"");
        LogLevels = 0;
        FreeConfigItems(ConfigItems);
        FinalizeUnits();
    }
    std::wstring Write(const std::wstring& name, const std::string& bytes) {
        const std::wstring path = dir_ / name;
        EXPECT_TRUE(WriteFileBytes(path, bytes));
        return path;
    }
    bool Load(const std::string& bytes, TOptionsFile kind = TOptionsFile::Main) {
        return LoadOptions(Write(L"opts.ini", bytes), kind, VistrelExe());
    }
    static std::wstring VistrelExe() { return ProgramDirectory() + L"Vistrel.exe"; }

    TempFolder dir_{L"vslcfg"};
};

const char kAllOptions[] =
    "[options]\r\n"
    "monitor-mode=2\r\nmonitor-num=1\r\nleft=10\r\nright=20\r\ntop=30\r\nbottom=40\r\nwidth=300\r\n"
    "centerv=1\r\ncenterh=1\r\ncolumn1width=120\r\nformcolor=102030\r\nfont-face=Tahoma\r\n"
    "font-charset=0\r\nfont-size=11\r\nfont-rtl=1\r\ncleartype=1\r\ntext-align=1\r\nline-spacing=3\r\n"
    "logo=logo.png\r\nlogo-width=64\r\nlogo-height=32\r\nlogo-align=2\r\ntransparency=70\r\n"
    "contextmenu=0\r\nallowdrag=0\r\nlanguage=languages\\german.ini\r\ninimonitortime=9\r\nvistrel64=1\r\n"
    "nav=1\r\nnav-align=2\r\nnav-color=00FF00\r\ntext-editor=notepad.exe\r\ninitial-page=2\r\n";

TEST_F(ConfigLoad, EveryOptionKeyIsRead) {
    ASSERT_TRUE(Load(kAllOptions));
    EXPECT_EQ(MonitorMode, 2);
    EXPECT_EQ(MonitorNum, 1);
    EXPECT_EQ(FormLeft, 10);
    EXPECT_EQ(FormRight, 20);
    EXPECT_EQ(FormTop, 30);
    EXPECT_EQ(FormBottom, 40);
    EXPECT_EQ(FormWidth, 300);
    EXPECT_TRUE(CenterV);
    EXPECT_TRUE(CenterH);
    EXPECT_EQ(Column1Width, 120);
    EXPECT_EQ(FormColor, 0x102030);
    EXPECT_EQ(FontFace, L"Tahoma");
    EXPECT_EQ(FontCharset, 0);
    EXPECT_EQ(FontSize, 11);
    EXPECT_TRUE(FontRtl);
    EXPECT_TRUE(ClearType);
    EXPECT_EQ(TextAlign, 1);
    EXPECT_EQ(LineSpacing, 3);
    EXPECT_EQ(Logo, L"logo.png");
    EXPECT_EQ(LogoWidth, 64);
    EXPECT_EQ(LogoHeight, 32);
    EXPECT_EQ(LogoAlign, 2);
    EXPECT_EQ(Transparency, 70);
    EXPECT_FALSE(ContextMenu);
    EXPECT_FALSE(AllowDrag);
    EXPECT_EQ(Language, L"languages\\german.ini");
    EXPECT_EQ(IniMonitorTime, 9);
    EXPECT_TRUE(Vistrel64);
    EXPECT_EQ(Nav, 1);
    EXPECT_EQ(NavAlign, 2);
    EXPECT_EQ(NavColor, 0x00FF00);
    EXPECT_EQ(TextEditor, L"notepad.exe");
    EXPECT_EQ(InitialPage, 2);
}

TEST_F(ConfigLoad, KeysAFileDoesNotNameAreLeftAlone) {
    ASSERT_TRUE(Load(kAllOptions));
    // A second file without those keys keeps every value of the first.
    ASSERT_TRUE(Load("[options]\r\n[text]\r\n"));
    EXPECT_EQ(MonitorMode, 2);
    EXPECT_EQ(FormLeft, 10);
    EXPECT_EQ(FormBottom, 40);
    EXPECT_EQ(FormWidth, 300);
    EXPECT_TRUE(CenterV);
    EXPECT_EQ(Column1Width, 120);
    EXPECT_EQ(FormColor, 0x102030);
    EXPECT_EQ(FontFace, L"Tahoma");
    EXPECT_EQ(FontSize, 11);
    EXPECT_TRUE(ClearType);
    EXPECT_EQ(LineSpacing, 3);
    EXPECT_EQ(Logo, L"logo.png");
    EXPECT_EQ(Transparency, 70);
    EXPECT_FALSE(ContextMenu);
    EXPECT_FALSE(AllowDrag);
    EXPECT_EQ(IniMonitorTime, 9);
    EXPECT_TRUE(Vistrel64);
    EXPECT_EQ(NavColor, 0x00FF00);
    EXPECT_EQ(TextEditor, L"notepad.exe");
    EXPECT_EQ(InitialPage, 2);
}

TEST_F(ConfigLoad, BadValuesLeaveTheGlobals) {
    ASSERT_TRUE(Load("[options]\r\nwidth=wide\r\nformcolor=#102030\r\nnav-color=GG0000\r\ncenterv=yes\r\n"));
    EXPECT_EQ(FormWidth, -1);
    EXPECT_EQ(FormColor, 0);
    EXPECT_EQ(NavColor, 0x0000);  // six characters: the pair that is not hexadecimal counts 0
    EXPECT_FALSE(CenterV);
}

TEST_F(ConfigLoad, FontSizeHasAFloorOfSix) {
    struct Row {
        const char* value;
        std::int32_t expected;
    };
    const Row rows[] = {{"4", 6}, {"6", 6}, {"-3", 6}, {"7", 7}, {"big", 8}};
    for (const Row& r : rows) {
        FontSize = 8;
        ASSERT_TRUE(Load(std::string("[options]\r\nfont-size=") + r.value + "\r\n"));
        EXPECT_EQ(FontSize, r.expected) << r.value;
    }
}

TEST_F(ConfigLoad, DraggedWindowKeepsItsPlace) {
    WindowDragged = true;
    FormLeft = 111;
    ASSERT_TRUE(Load(kAllOptions));
    EXPECT_EQ(FormLeft, 111);
    EXPECT_EQ(FormRight, -1);
    EXPECT_EQ(FormTop, -1);
    EXPECT_EQ(FormBottom, -1);
    EXPECT_EQ(FormWidth, 300);
}

TEST_F(ConfigLoad, LogLevelWords) {
    struct Row {
        const wchar_t* value;
        std::uint8_t expected;
    };
    const Row rows[] = {
        {L"debugonerror", 32},          // "error" inside "debugonerror" does not count
        {L"debug,error", 2},            // words are separated by blanks
        {L"all", 255},
        {L"error all", 255},
        {L"  ERROR  ", 2},
        {L"debug error info data warn map", 95},
        {L"info debugonerror", 36},
        {L"error debugonerror", 34},
        {L"map", 64},
        {L"error,map", 64},
        {L"", 0},
        {L"none", 0},
    };
    for (const Row& r : rows) EXPECT_EQ(ParseLogLevelWords(r.value), r.expected) << r.value;
}

TEST_F(ConfigLoad, EventLogLevelWords) {
    struct Row {
        const wchar_t* value;
        std::uint8_t expected;
    };
    const Row rows[] = {
        {L"error info warn", 22}, {L"Warn", 16}, {L"debug", 0}, {L"debugonerror", 0}, {L"all", 0}, {L"", 0},
    };
    for (const Row& r : rows) EXPECT_EQ(ParseEventLogLevelWords(r.value), r.expected) << r.value;
}

TEST_F(ConfigLoad, LogAndLogLevelFromTheFile) {
    const std::wstring log = dir_ / L"vistrel.log";
    ASSERT_TRUE(Load("[options]\r\nlog=" + WideToUtf8(log) + "\r\nlog-level=debugonerror\r\n"));
    EXPECT_EQ(GetLogFileName(), log);
    EXPECT_EQ(LogLevels.load(), 32);
    // log-level is read only with a non-empty log key.
    LogLevels = 5;
    ASSERT_TRUE(Load("[options]\r\nlog-level=all\r\n"));
    EXPECT_EQ(LogLevels.load(), 5);
    EXPECT_EQ(GetLogFileName(), log);
}

// Whatever folder Windows started the program in (a screen saver starts in the system
// folder), a log named without a folder goes beside the program.
TEST_F(ConfigLoad, LogNamedWithoutAFolderGoesBesideTheProgram) {
    const std::wstring name = L"vistrel-own-" + std::to_wstring(GetCurrentProcessId()) + L".log";
    ASSERT_TRUE(Load("[options]\r\nlog=" + WideToUtf8(name) + "\r\n"));
    EXPECT_EQ(GetLogFileName(), ProgramDirectory() + name);
    SetLogFileName(L"");
    DeleteFileW((ProgramDirectory() + name).c_str());
}

TEST_F(ConfigLoad, EventLogLevelsComeOnlyFromTheMainFile) {
    ASSERT_TRUE(Load("[options]\r\neventlog-level=error warn\r\n"));
    EXPECT_EQ(EventLogLevels.load(), 18);
    ASSERT_TRUE(Load("[options]\r\nnav=1\r\n", TOptionsFile::Language));
    EXPECT_EQ(EventLogLevels.load(), 18);
    ASSERT_TRUE(Load("[options]\r\neventlog-level=info\r\n", TOptionsFile::Language));
    EXPECT_EQ(EventLogLevels.load(), 18);
    // The main file sets them afresh, also to nothing.
    ASSERT_TRUE(Load("[options]\r\nnav=1\r\n"));
    EXPECT_EQ(EventLogLevels.load(), 0);
}

TEST_F(ConfigLoad, ErrorTextEndsInOneBlank) {
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(Load("[options]\r\n"));
    EXPECT_EQ(ErrorText, L"[Error] ");
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(Load("[text]\r\nerror=[Fehler]\r\n"));
    EXPECT_EQ(ErrorText, L"[Fehler] ");
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(Load("[text]\r\nerror=[x]   \r\n"));
    EXPECT_EQ(ErrorText, L"[x] ");
    ASSERT_TRUE(Load("[options]\r\n"));
    EXPECT_EQ(ErrorText, L"[x] ");
}

TEST_F(ConfigLoad, SharedTexts) {
    ASSERT_TRUE(Load("[text]\r\nnoresults=-\r\nnull-result=(nichts)\r\n"));
    EXPECT_EQ(NoResultsText, L"-");
    EXPECT_EQ(NullResultText, L"(nichts)");
    ASSERT_TRUE(Load("[text]\r\n"));
    EXPECT_EQ(NoResultsText, L"-");
    EXPECT_EQ(NullResultText, L"(nichts)");
}

TEST_F(ConfigLoad, PagesRule) {
    ASSERT_TRUE(Load("[pages]\r\n3=Network\r\n"));
    EXPECT_EQ(PageNames.at(1), L"Main Page");
    EXPECT_EQ(PageNames.at(2), L"");
    EXPECT_EQ(PageNames.at(3), L"Network");
    for (int n = 4; n <= 9; ++n) EXPECT_EQ(PageNames.at(n), L"") << n;

    ASSERT_TRUE(Load("[pages]\r\n1=Start\r\n2=Disks\r\n"));
    EXPECT_EQ(PageNames.at(1), L"Start");
    EXPECT_EQ(PageNames.at(3), L"");
    // Without a "pages" section the names stay.
    ASSERT_TRUE(Load("[options]\r\n"));
    EXPECT_EQ(PageNames.at(1), L"Start");
    EXPECT_EQ(PageNames.at(2), L"Disks");
    // An empty page 1 becomes the default name.
    ASSERT_TRUE(Load("[pages]\r\n1=\r\n"));
    EXPECT_EQ(PageNames.at(1), L"Main Page");
    EXPECT_EQ(PageNames.at(2), L"");
}

TEST_F(ConfigLoad, UserFunctionsOnlyFromAFunctionsSection) {
    ASSERT_TRUE(Load("[functions]\r\navg=(%1+%2)/2\r\n# note\r\ngb=%1/1073741824\r\n"));
    EXPECT_EQ(UserFunctions, (std::vector<std::wstring>{L"avg=(%1+%2)/2", L"gb=%1/1073741824"}));
    ASSERT_TRUE(Load("[options]\r\n"));
    EXPECT_EQ(UserFunctions.size(), 2u);
    ASSERT_TRUE(Load("[functions]\r\n"));
    EXPECT_TRUE(UserFunctions.empty());
}

TEST_F(ConfigLoad, ScreenSaverSection) {
    const std::string both = "[options]\r\nnav=1\r\n[screen-saver]\r\nnav=2\r\n";
    SetProgramArguments({L"/s"});
    ASSERT_TRUE(Load(both));
    EXPECT_EQ(Nav, 2);
    // With the switch and no screen-saver section, the options section is read.
    ASSERT_TRUE(Load("[options]\r\nnav=3\r\n"));
    EXPECT_EQ(Nav, 3);
    SetProgramArguments({});
    ASSERT_TRUE(Load(both));
    EXPECT_EQ(Nav, 1);
}

TEST_F(ConfigLoad, MissingFileIsNotRead) {
    Nav = 4;
    EXPECT_FALSE(LoadOptions(dir_ / L"none.ini", TOptionsFile::Main, VistrelExe()));
    EXPECT_EQ(Nav, 4);
}

TEST_F(ConfigLoad, UnreadableFileIsLoggedAndNotRead) {
    const std::wstring log = dir_ / L"err.log";
    SetLogFileName(log);
    LogLevels = 2;
    const std::wstring path = Write(L"locked.ini", "[options]\r\nnav=2\r\n");
    UniqueHandle lock(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock.valid());
    EXPECT_FALSE(LoadOptions(path, TOptionsFile::Main, VistrelExe()));
    EXPECT_EQ(Nav, 0);
    const auto lines = LogLines(log);
    EXPECT_EQ(CountContaining(lines, L"ERROR _LoadOptions:[Error] EInOutError "), 1);
}

TEST_F(ConfigLoad, VersionLines) {
    const std::wstring log = dir_ / L"info.log";
    SetLogFileName(log);
    LogLevels = 4;
    ASSERT_TRUE(Load("[options]\r\n"));
    LogVersionLines(ProgramDirectory() + L"version_fixture.exe");
    const auto lines = LogLines(log);
    EXPECT_EQ(CountContaining(lines, L"INFO  Vistrel version " VISTREL_VERSION_TEXT), 1);
    EXPECT_EQ(CountContaining(lines, L"INFO  Vistrel version 10.0.19041.1"), 1);
    EXPECT_EQ(CountContaining(lines, L"INFO  Windows Version "), 2);
}

TEST_F(ConfigLoad, ReloadWithLanguageFileLogsVersionsTwice) {
    const std::wstring log = dir_ / L"twice.log";
    Write(L"vistrel.ini",
          "[options]\r\nlog=" + WideToUtf8(log) + "\r\nlog-level=info\r\nlanguage=languages\\german.ini\r\n");
    ASSERT_TRUE(CreateDirectoryW((dir_ / L"languages").c_str(), nullptr));
    Write(L"languages\\german.ini", "[pages]\r\n1=Hauptseite\r\n");
    ASSERT_TRUE(LoadIniFile(dir_.Path(), VistrelExe()));
    ASSERT_TRUE(LoadLanguageFile(dir_.Path(), VistrelExe()));
    EXPECT_EQ(PageNames.at(1), L"Hauptseite");
    const auto lines = LogLines(log);
    EXPECT_EQ(CountContaining(lines, L"Vistrel version " VISTREL_VERSION_TEXT), 2);
    EXPECT_EQ(CountContaining(lines, L"Windows Version "), 2);
}

TEST_F(ConfigLoad, SampleIsCopiedWhenTheIniIsMissing) {
    const std::string sample = "[options]\r\nnav=1\r\n";
    Write(L"vistrel-sample.ini", sample);
    ASSERT_TRUE(LoadIniFile(dir_.Path(), VistrelExe()));
    EXPECT_EQ(MainIniPath, dir_.Path() + L"vistrel.ini");
    EXPECT_EQ(ReadFileBytes(dir_ / L"vistrel.ini"), sample);
    EXPECT_EQ(Nav, 1);
}

TEST_F(ConfigLoad, ASampleThatCannotBeCopiedIsLoggedNamingBothFiles) {
    const std::wstring log = dir_ / L"copy.log";
    SetLogFileName(log);
    LogLevels = 2;
    const std::wstring sample = Write(L"vistrel-sample.ini", "[options]\r\nnav=1\r\n");
    // Held open without sharing, as a folder the user may not write to refuses the copy.
    UniqueHandle holder(CreateFileW(sample.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder.valid());
    EXPECT_FALSE(LoadIniFile(dir_.Path(), VistrelExe()));
    EXPECT_FALSE(PathExists(dir_ / L"vistrel.ini"));
    EXPECT_EQ(CountContaining(LogLines(log), L"ERROR LoadIniFile: [Error] " + dir_.Path() + L"vistrel.ini cannot be made from " +
                                                 sample + L": error "),
              1);
}

TEST_F(ConfigLoad, SampleNeverOverwritesAnExistingIni) {
    Write(L"vistrel-sample.ini", "[options]\r\nnav=1\r\n");
    Write(L"vistrel.ini", "[options]\r\nnav=2\r\n");
    ASSERT_TRUE(LoadIniFile(dir_.Path(), VistrelExe()));
    EXPECT_EQ(ReadFileBytes(dir_ / L"vistrel.ini"), "[options]\r\nnav=2\r\n");
    EXPECT_EQ(Nav, 2);
}

TEST_F(ConfigLoad, NoIniAndNoSample) {
    Nav = 3;
    EXPECT_FALSE(LoadIniFile(dir_.Path(), VistrelExe()));
    EXPECT_EQ(MainIniPath, dir_.Path() + L"vistrel.ini");
    EXPECT_FALSE(PathExists(dir_ / L"vistrel.ini"));
    EXPECT_EQ(Nav, 3);
}

TEST_F(ConfigLoad, IniSwitchWithABareNameFindsTheProgramFolder) {
    Write(L"other.ini", "[options]\r\nnav=2\r\n");
    SetProgramArguments({L"/INI=other.ini"});
    ASSERT_TRUE(LoadIniFile(dir_.Path(), VistrelExe()));
    EXPECT_EQ(MainIniPath, dir_.Path() + L"other.ini");
    EXPECT_EQ(Nav, 2);
}

TEST_F(ConfigLoad, IniSwitchWithAFullPath) {
    TempFolder elsewhere(L"vslcfg2");
    const std::wstring path = elsewhere / L"my.ini";
    ASSERT_TRUE(WriteFileBytes(path, "[options]\r\nnav=5\r\n"));
    SetProgramArguments({L"-ini=" + path});
    ASSERT_TRUE(LoadIniFile(dir_.Path(), VistrelExe()));
    EXPECT_EQ(MainIniPath, path);
    EXPECT_EQ(Nav, 5);
}

// A relative path typed on the command line means the folder it was typed in: the folder
// the program was started in, named whole from then on (an editor started for it in
// another folder opens the same file).
TEST_F(ConfigLoad, IniSwitchWithARelativePathMeansTheStartFolder) {
    const std::wstring name = L"vistrel-typed-" + std::to_wstring(GetCurrentProcessId()) + L".ini";
    const std::wstring typed = StartFolder() + L"\\" + name;
    ASSERT_TRUE(WriteFileBytes(typed, "[options]\r\nnav=4\r\n"));
    Write(name, "[options]\r\nnav=1\r\n");  // the same name in the program folder
    SetProgramArguments({L"/ini=" + name});
    const bool loaded = LoadIniFile(dir_.Path(), VistrelExe());
    DeleteFileW(typed.c_str());
    ASSERT_TRUE(loaded);
    EXPECT_EQ(MainIniPath, typed);
    EXPECT_EQ(Nav, 4);
}

TEST_F(ConfigLoad, IniSwitchNamingNothing) {
    const std::wstring log = dir_ / L"nothing.log";
    SetLogFileName(log);
    LogLevels = 2;
    MainIniPath = L"before";
    SetProgramArguments({L"/ini=nothing.ini"});
    Write(L"vistrel-sample.ini", "[options]\r\n");
    EXPECT_FALSE(LoadIniFile(dir_.Path(), VistrelExe()));
    EXPECT_EQ(CountContaining(LogLines(log), L"ERROR LoadIniFile: [Error] the ini file nothing.ini does not exist"), 1);
    EXPECT_EQ(MainIniPath, L"before");
    EXPECT_FALSE(PathExists(dir_ / L"vistrel.ini"));
}

TEST_F(ConfigLoad, IniSwitchNamingNothingIsReportedOnceToTheEventLog) {
    // A plain start has no log file open: the event log is where the user can see it.
    SetLogFileName(L"");
    LogLevels = 0;
    EventLogLevels = 0;
    std::vector<std::pair<std::uint16_t, std::wstring>> seen;
    SetEventLogSink([&](std::uint16_t type, const std::wstring& text) { seen.push_back({type, text}); });
    SetProgramArguments({L"/ini=no-such-file.ini"});
    EXPECT_FALSE(LoadIniFile(dir_.Path(), VistrelExe()));
    EXPECT_FALSE(LoadIniFile(dir_.Path(), VistrelExe()));  // a reload tries again, silently
    SetEventLogSink(nullptr);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(seen[0].second, L"LoadIniFile: [Error] the ini file no-such-file.ini does not exist");
}

TEST_F(ConfigLoad, FirstArgumentNamingAFile) {
    TempFolder elsewhere(L"vslcfg3");
    const std::wstring path = elsewhere / L"first.ini";
    ASSERT_TRUE(WriteFileBytes(path, "[options]\r\nnav=6\r\n"));
    SetProgramArguments({path, L"/f"});
    ASSERT_TRUE(LoadIniFile(dir_.Path(), VistrelExe()));
    EXPECT_EQ(MainIniPath, path);
    EXPECT_EQ(Nav, 6);
    // An argument that names no file is passed over.
    SetProgramArguments({L"/f"});
    Write(L"vistrel.ini", "[options]\r\nnav=7\r\n");
    ASSERT_TRUE(LoadIniFile(dir_.Path(), VistrelExe()));
    EXPECT_EQ(Nav, 7);
}

TEST_F(ConfigLoad, WidePathsForTheProgramFolder) {
    const std::wstring folder = dir_ / L"\u0393\u03B5\u03B9\u03AC \u4E16\u754C";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(folder + L"\\vistrel-sample.ini", "[options]\r\nnav=2\r\nlanguage=lang.ini\r\n"));
    ASSERT_TRUE(WriteFileBytes(folder + L"\\lang.ini", "[pages]\r\n2=Zwei\r\n"));
    ASSERT_TRUE(LoadIniFile(folder + L"\\", VistrelExe()));
    EXPECT_EQ(MainIniPath, folder + L"\\vistrel.ini");
    EXPECT_EQ(Nav, 2);
    ASSERT_TRUE(LoadLanguageFile(folder + L"\\", VistrelExe()));
    EXPECT_EQ(PageNames.at(2), L"Zwei");
}

// What one load of a main ini file gives: options, texts, pages, functions and items.
struct LoadedConfig {
    std::int32_t Nav = 0, FontSize = 0;
    std::wstring NoResults, Page2;
    std::vector<std::wstring> Functions, Items;
};

// The fixture ini with its section headers spelled as given, in this order: options,
// screen-saver, text, pages, functions, items.
std::string HeaderSpelledIni(const std::array<const char*, 6>& h) {
    return std::string(h[0]) + "\r\nnav=1\r\nfont-size=11\r\n" + h[1] + "\r\nnav=3\r\n" + h[2] +
           "\r\nnoresults=-\r\n" + h[3] + "\r\n2=Disks\r\n" + h[4] + "\r\navg=(%1+%2)/2\r\n" + h[5] +
           "\r\nUPTIME=active:1,lid:up\r\nTEXT=active:2,count:2,text:T %1\r\n";
}

TEST_F(ConfigLoad, SectionHeadersInAnyLetterCase) {
    using Headers = std::array<const char*, 6>;
    const Headers lower = {"[options]", "[screen-saver]", "[text]", "[pages]", "[functions]", "[items]"};
    const Headers rows[] = {
        {"[OPTIONS]", "[SCREEN-SAVER]", "[TEXT]", "[PAGES]", "[FUNCTIONS]", "[ITEMS]"},
        {"[Options]", "[Screen-Saver]", "[Text]", "[Pages]", "[Functions]", "[Items]"},
        {"[options]", "[screen-saver]", "[text]", "[pages]", "[Functions]", "[ITEMS]"},
        {"[Options]", "[Screen-saver]", "[text]", "[Pages]", "[functions]", "[items]"},
    };
    const auto load = [this](const Headers& headers, bool screenSaver) {
        ResetAllGlobals();
        FreeConfigItems(ConfigItems);
        SetProgramArguments(screenSaver ? std::vector<std::wstring>{L"/s"} : std::vector<std::wstring>{});
        Write(L"vistrel.ini", HeaderSpelledIni(headers));
        EXPECT_TRUE(LoadIniFile(dir_.Path(), VistrelExe()));
        LoadItems(nullptr);
        LoadedConfig c;
        c.Nav = Nav;
        c.FontSize = FontSize;
        c.NoResults = NoResultsText;
        c.Page2 = PageNames.at(2);
        c.Functions = UserFunctions;
        for (const TConfigItem& item : ConfigItems)
            c.Items.push_back(AnsiToWide(item.Keyword) + L"|" + item.Text + L"|" + std::to_wstring(item.Active) + L"|" +
                              std::to_wstring(item.Page));
        return c;
    };
    for (const bool screenSaver : {false, true}) {
        const LoadedConfig expected = load(lower, screenSaver);
        // The lower-case file itself loads everything.
        EXPECT_EQ(expected.Nav, screenSaver ? 3 : 1);
        EXPECT_EQ(expected.FontSize, screenSaver ? 8 : 11);
        EXPECT_EQ(expected.NoResults, L"-");
        EXPECT_EQ(expected.Page2, L"Disks");
        EXPECT_EQ(expected.Functions, std::vector<std::wstring>{L"avg=(%1+%2)/2"});
        EXPECT_EQ(expected.Items,
                  (std::vector<std::wstring>{L"UPTIME|Up Time|1|1", L"TEXT|T 0|1|2", L"TEXT|T 1|1|2"}));
        for (const Headers& row : rows) {
            const LoadedConfig got = load(row, screenSaver);
            const std::string label = std::string(row[0]) + row[1] + row[4] + row[5] + (screenSaver ? " /s" : "");
            EXPECT_EQ(got.Nav, expected.Nav) << label;
            EXPECT_EQ(got.FontSize, expected.FontSize) << label;
            EXPECT_EQ(got.NoResults, expected.NoResults) << label;
            EXPECT_EQ(got.Page2, expected.Page2) << label;
            EXPECT_EQ(got.Functions, expected.Functions) << label;
            EXPECT_EQ(got.Items, expected.Items) << label;
        }
    }
}

// A switch's name inside another argument's value does not make it that switch: the log
// file of "/debug=" in a folder named my-ini is never taken as the main ini.
TEST_F(ConfigLoad, IniInsideAnotherSwitchValueIsNotTheIni) {
    TempFolder logs(L"vslcfg-logs");
    const std::wstring folder = logs / L"my-ini";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring log = folder + L"\\v.log";
    ASSERT_TRUE(WriteFileBytes(log, "[options]\r\nnav=9\r\n"));  // the log exists, as after a first run
    Write(L"vistrel.ini", "[options]\r\nnav=2\r\n");
    Write(L"other.ini", "[options]\r\nnav=4\r\n");

    SetProgramArguments({L"/debug=" + log});
    ASSERT_TRUE(LoadIniFile(dir_.Path(), VistrelExe()));
    EXPECT_EQ(MainIniPath, dir_.Path() + L"vistrel.ini");
    EXPECT_EQ(Nav, 2);

    SetProgramArguments({L"-debug=" + log, L"/ini=other.ini"});
    ASSERT_TRUE(LoadIniFile(dir_.Path(), VistrelExe()));
    EXPECT_EQ(MainIniPath, dir_.Path() + L"other.ini");
    EXPECT_EQ(Nav, 4);
}

TEST_F(ConfigLoad, LanguageOptionIsClearedByEachMainLoad) {
    Language = L"languages\\french.ini";
    Write(L"vistrel.ini", "[options]\r\nnav=1\r\n");
    ASSERT_TRUE(LoadIniFile(dir_.Path(), VistrelExe()));
    EXPECT_TRUE(Language.empty());
    EXPECT_FALSE(LoadLanguageFile(dir_.Path(), VistrelExe()));
}

TEST_F(ConfigLoad, LanguageFileAsGivenOrInTheProgramFolder) {
    TempFolder elsewhere(L"vslcfg4");
    const std::wstring full = elsewhere / L"full.ini";
    ASSERT_TRUE(WriteFileBytes(full, "[text]\r\nnoresults=k.A.\r\n"));
    Language = full;
    ASSERT_TRUE(LoadLanguageFile(dir_.Path(), VistrelExe()));
    EXPECT_EQ(NoResultsText, L"k.A.");
    EXPECT_EQ(LanguageFilePath, full);
    Write(L"rel.ini", "[text]\r\nnoresults=n.v.\r\n");
    Language = L"rel.ini";
    ASSERT_TRUE(LoadLanguageFile(dir_.Path(), VistrelExe()));
    EXPECT_EQ(NoResultsText, L"n.v.");
    EXPECT_EQ(LanguageFilePath, dir_.Path() + L"rel.ini");
    // A file that is not there leaves no path behind for the menu and the watcher.
    Language = L"missing.ini";
    EXPECT_FALSE(LoadLanguageFile(dir_.Path(), VistrelExe()));
    EXPECT_EQ(LanguageFilePath, L"");
}

TConfigItem MakeItem(const char* keyword, int instance = 0, const wchar_t* lid = L"",
                     const wchar_t* textOption = nullptr) {
    TConfigItem item;
    FindItemDefault(keyword, item);
    item.InstanceNo = instance;
    item.Text = WideReplaceText(item.Text, L"%1", std::to_wstring(instance), rfReplaceAll);
    item.Lid = lid;
    if (textOption) {
        item.Options[0] = {L"Text", Variant(std::wstring(textOption))};
        item.Text = textOption;
    }
    return item;
}

TEST_F(ConfigLoad, LabelsFromALanguageFile) {
    ConfigItems.push_back(MakeItem("CPUUSAGE", 0, L"cpu1"));
    ConfigItems.push_back(MakeItem("UPTIME"));
    ConfigItems.push_back(MakeItem("FIXEDDISK", 1));
    ConfigItems.push_back(MakeItem("HOST", 0, L"", L"My machine"));
    ConfigItems.push_back(MakeItem("USER", 0, L"who", L"Logged on"));
    ConfigItems.push_back(MakeItem("TEXT", 2, L"", L"Disk %1"));
    ConfigItems.push_back(MakeItem("DATETIME"));
    const std::string lang =
        "[items]\r\ncpu1=Prozessor 1\r\nUpTime=Betriebszeit\r\nfixeddisk=Festplatte %1\r\nhost=Rechner\r\n"
        "who=Benutzer\r\ntext=Text\r\n";
    ASSERT_TRUE(Load(lang, TOptionsFile::Language));
    EXPECT_EQ(ConfigItems[0].Text, L"Prozessor 1");    // by language id
    EXPECT_EQ(ConfigItems[1].Text, L"Betriebszeit");   // by keyword, any letter case
    EXPECT_EQ(ConfigItems[2].Text, L"Festplatte 1");   // %1 is the instance number
    EXPECT_EQ(ConfigItems[3].Text, L"My machine");     // its own text is kept
    EXPECT_EQ(ConfigItems[4].Text, L"Benutzer");       // a language id applies over its own text
    EXPECT_EQ(ConfigItems[5].Text, L"Disk 2");         // its own text, %1 filled in
    EXPECT_EQ(ConfigItems[6].Text, L"Date/Time");      // nothing for it: the label stays
}

TEST_F(ConfigLoad, LidWithoutALineKeepsTheLabel) {
    ConfigItems.push_back(MakeItem("UPTIME", 0, L"up2"));
    ASSERT_TRUE(Load("[items]\r\nuptime=Betriebszeit\r\n", TOptionsFile::Language));
    EXPECT_EQ(ConfigItems[0].Text, L"Up Time");
}

TEST_F(ConfigLoad, LanguageFileWithByteOrderMarkAndLfLines) {
    ConfigItems.push_back(MakeItem("UPTIME"));
    ASSERT_TRUE(Load("\xEF\xBB\xBF[items]\nuptime=Betriebszeit\n[text]\nerror=[Fehler]\n", TOptionsFile::Language));
    EXPECT_EQ(ConfigItems[0].Text, L"Betriebszeit");
    EXPECT_EQ(ErrorText, L"[Fehler] ");
}

// A control that records its release.
int releasedControls = 0;
void CountRelease(TItemControl*) { ++releasedControls; }

TEST_F(ConfigLoad, FreeConfigItems) {
    TConfigArray items(2);
    items[0].Control = reinterpret_cast<TItemControl*>(&items);
    items[0].Options[0] = {L"display", Variant(L"%1")};
    items[0].ItemData.Lines = {L"a"};
    items[0].ItemData.Names = {L"n"};
    items[0].ItemData.Data = {{Variant(1)}};
    items[0].ItemData.TimeCollected = 45000;
    ReleaseItemControlHook = CountRelease;
    releasedControls = 0;
    TConfigItem copy = items[0];
    FreeConfigItems(items);
    ReleaseItemControlHook = nullptr;
    EXPECT_TRUE(items.empty());
    EXPECT_EQ(releasedControls, 1);

    ClearItemData(copy);
    EXPECT_TRUE(copy.ItemData.Lines.empty());
    EXPECT_TRUE(copy.ItemData.Names.empty());
    EXPECT_TRUE(copy.ItemData.Data.empty());
    EXPECT_EQ(copy.ItemData.TimeCollected, 0);
}

// The shipped sample: every item line names a keyword, and its options load.
TEST_F(ConfigLoad, SampleConfiguration) {
    const std::wstring sample = AnsiToWide(VISTREL_TEST_SOURCE_DIR) + L"/vistrel-sample.ini";
    ASSERT_TRUE(FileExists(sample));
    const TInfoFile ini(sample);
    EXPECT_FALSE(ini.ReadHeader().empty());
    const TWideStringArray items = ini.ReadSection(L"items");
    ASSERT_GE(items.size(), 10u);
    std::set<std::string> keywords;
    std::set<std::wstring> pages;
    bool colour = false, threshold = false, function = false;
    for (const auto& line : items) {
        const std::size_t eq = line.find(L'=');
        ASSERT_NE(eq, std::wstring::npos) << WideToUtf8(line);
        TConfigItem row;
        FindItemDefault(WideToAnsi(line.substr(0, eq)), row);
        EXPECT_FALSE(row.Keyword.empty()) << WideToUtf8(line);
        keywords.insert(row.Keyword);
        const std::size_t active = line.find(L"active:");
        if (active != std::wstring::npos) pages.insert(line.substr(active + 7, 1));
        colour = colour || line.find(L"color:#") != std::wstring::npos;
        threshold = threshold || line.find(L"threshold") != std::wstring::npos;
        function = function || line.find(L"{{") != std::wstring::npos;
    }
    for (const char* k : {"COMMENT", "DATETIME", "HOST", "USER", "UPTIME", "PHYSICALRAM", "FIXEDDISK", "CPUUSAGE"})
        EXPECT_EQ(keywords.count(k), 1u) << k;
    EXPECT_TRUE(keywords.count("NETWORKINTERFACES") || keywords.count("ALLIPADDRESS"));
    EXPECT_TRUE(pages.count(L"1") && pages.count(L"2"));
    EXPECT_TRUE(colour);
    EXPECT_TRUE(threshold);
    EXPECT_TRUE(function);

    ASSERT_TRUE(LoadOptions(sample, TOptionsFile::Main, VistrelExe()));
    EXPECT_FALSE(UserFunctions.empty());
    EXPECT_FALSE(PageNames.at(2).empty());
    EXPECT_EQ(ErrorText.back(), L' ');
}

}  // namespace
