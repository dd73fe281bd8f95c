#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Canvas.h"
#include "ColorButton.h"
#include "Collector.h"
#include "Configuration.h"
#include "Errors.h"
#include "DisplayModes.h"
#include "ImageFiles.h"
#include "Includes.h"
#include "ItemCharts.h"
#include "MainFormUnit.h"
#include "NativeSystemFiles.h"
#include "SmallItems.h"
#include "StaticTextW.h"
#include "SystemInfo.h"
#include "Templates.h"
#include "TestFiles.h"
#include "Utils.h"
#include "WinApp.h"
#include "WindowTests.h"
#include "test_providers_support.h"

namespace {

using providertest::Collected;
using providertest::Gather;
using providertest::SetOption;

std::wstring WideFileText(const std::wstring& path) {
    const std::string bytes = ReadFileBytes(path);
    std::wstring text(bytes.size() / 2, L'\0');
    if (!text.empty()) std::memcpy(text.data(), bytes.data(), text.size() * 2);
    return text;
}

}  // namespace

// ---- UNREADMAIL -----------------------------------------------------------------------------

TEST(SmallItems, UnreadMailSumsEveryAccount) {
    RegFixture root(HKEY_CURRENT_USER, UniqueTestKey(L"UnreadMail"));
    RegFixture a(HKEY_CURRENT_USER, root.Path() + L"\\a@example.org");
    RegFixture b(HKEY_CURRENT_USER, root.Path() + L"\\b@example.org");
    a.SetDword(L"MessageCount", 3);
    b.SetDword(L"MessageCount", 4);
    std::int32_t total = -1;
    ASSERT_TRUE(SumUnreadMail(HKEY_CURRENT_USER, "\\" + root.Path8(), total));
    EXPECT_EQ(total, 7);
    EXPECT_FALSE(SumUnreadMail(HKEY_CURRENT_USER, root.Path8() + "\\missing", total));

    b.SetString(L"MessageCount", L"4");  // not an integer
    EXPECT_THROW(SumUnreadMail(HKEY_CURRENT_USER, root.Path8(), total), ERegistryException);
    b.SetDword(L"MessageCount", 0x7FFFFFFF);
    EXPECT_THROW(SumUnreadMail(HKEY_CURRENT_USER, root.Path8(), total), EIntOverflow);
}

namespace {

// Moves a key of the user's (with everything under it) to a test key for the fixture's
// life and puts it back afterwards, so that a test can make the key as it needs it.
class SetAsideKey {
public:
    SetAsideKey(HKEY root, std::wstring path) : root_(root), path_(std::move(path)) {
        HKEY existing = nullptr;
        if (RegOpenKeyExW(root_, path_.c_str(), 0, KEY_READ, &existing) != ERROR_SUCCESS) return;
        saved_ = std::make_unique<RegFixture>(root_, UniqueTestKey(L"SetAside"));
        HKEY copy = nullptr;
        EXPECT_EQ(RegOpenKeyExW(root_, saved_->Path().c_str(), 0, KEY_ALL_ACCESS, &copy), ERROR_SUCCESS);
        EXPECT_EQ(RegCopyTreeW(existing, nullptr, copy), ERROR_SUCCESS);
        RegCloseKey(copy);
        RegCloseKey(existing);
        EXPECT_EQ(RegDeleteTreeW(root_, path_.c_str()), ERROR_SUCCESS);
    }
    ~SetAsideKey() {
        RegDeleteTreeW(root_, path_.c_str());
        if (!saved_) return;
        HKEY back = nullptr, copy = nullptr;
        if (RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &back, nullptr) ==
                ERROR_SUCCESS &&
            RegOpenKeyExW(root_, saved_->Path().c_str(), 0, KEY_READ, &copy) == ERROR_SUCCESS)
            RegCopyTreeW(copy, nullptr, back);
        if (copy) RegCloseKey(copy);
        if (back) RegCloseKey(back);
    }
    SetAsideKey(const SetAsideKey&) = delete;
    SetAsideKey& operator=(const SetAsideKey&) = delete;
    bool HadKey() const { return saved_ != nullptr; }

private:
    HKEY root_;
    std::wstring path_;
    std::unique_ptr<RegFixture> saved_;
};

}  // namespace

TEST(SmallItems, UnreadMailItemOnTheUsersKey) {
    const wchar_t kKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\UnreadMail";
    // Whatever accounts the user has are set aside while the test makes its own.
    SetAsideKey aside(HKEY_CURRENT_USER, kKey);
    LogCapture log;
    EXPECT_EQ(Gather(GetUnreadMail, {}).display, L"");  // no key: nothing
    EXPECT_EQ(log.Count(L"DATA", L"GetUnreadMail: "), 1);
    {
        RegFixture root(HKEY_CURRENT_USER, kKey);
        RegFixture a(HKEY_CURRENT_USER, std::wstring(kKey) + L"\\one");
        RegFixture b(HKEY_CURRENT_USER, std::wstring(kKey) + L"\\two");
        a.SetDword(L"MessageCount", 3);
        b.SetDword(L"MessageCount", 4);
        Collected c = Gather(GetUnreadMail, {});
        EXPECT_EQ(c.display, L"7");
        EXPECT_EQ(c.data.Names, TWideStringArray{L"unread email"});
        EXPECT_EQ(log.Count(L"DATA", L"GetUnreadMail: 7"), 1);

        b.SetString(L"MessageCount", L"x");
        EXPECT_EQ(Gather(GetUnreadMail, OptionsOf({{L"display", L"%1 new"}})).display, L"");
        EXPECT_EQ(log.Count(L"ERROR", L"GetUnreadMail: ERegistryException Invalid data type for 'MessageCount'"), 1);
        b.Remove();
        a.Remove();
        root.Remove();
    }
}

// ---- TEXT, ENVVAR, SET ----------------------------------------------------------------------

TEST(SmallItems, TextIsTheDisplayOption) {
    EXPECT_EQ(Gather(GetText, OptionsOf({{L"display", L"Hello %x%"}})).display, L"Hello %x%");
    EXPECT_EQ(Gather(GetText, OptionsOf({{L"display", L""}})).display, L"");
    Collected c = Gather(GetText, {});
    EXPECT_EQ(c.display, L"%1");
    EXPECT_TRUE(c.data.Data.empty());
}

TEST(SmallItems, EnvironmentVariable) {
    LogCapture log;
    wchar_t path[32767] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"PATH", path, 32767), 0u);
    Collected c = Gather(GetEnvVariable, OptionsOf({{L"key", L"PATH"}}));
    EXPECT_EQ(c.display, Through8Bit(path));
    EXPECT_EQ(c.data.Names, (TWideStringArray{L"var", L"value"}));
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0], TVarArray{Variant(Through8Bit(path))});

    SetEnvironmentVariableW(L"VISTREL_TEST_VAR", L"some value");
    EXPECT_EQ(Gather(GetEnvVariable, OptionsOf({{L"key", L"vistrel_test_var"}, {L"display", L"<%1>"}})).display,
              L"<some value>");
    SetEnvironmentVariableW(L"VISTREL_TEST_VAR", nullptr);
    Collected unset = Gather(GetEnvVariable, OptionsOf({{L"key", L"VISTREL_TEST_VAR"}}));
    EXPECT_EQ(unset.display, L"");
    EXPECT_TRUE(unset.data.Data.empty());
    EXPECT_EQ(log.Count(L"DATA", L"GetEnvVariable: "), 1);
}

TEST(SmallItems, SetMakesAVariable) {
    Collected c = Gather(GetSet, OptionsOf({{L"key", L"x"}, {L"value", L"5"}}));
    EXPECT_EQ(c.display, L"x=5");
    EXPECT_TRUE(c.data.Data.empty());
    EXPECT_EQ(ExpandVariables(L"[%x%]"), L"[5]");
    // The value is stored as written; its references are expanded when it is used.
    Gather(GetSet, OptionsOf({{L"key", L"y"}, {L"value", L"%x%0"}}));
    Variant stored;
    ASSERT_TRUE(UserVariables.Find(L"y", stored));
    EXPECT_EQ(stored.ToText(), L"%x%0");
    EXPECT_EQ(ExpandVariables(L"%y%"), L"50");
}

// ---- IF -------------------------------------------------------------------------------------

TEST(SmallItems, IfComparators) {
    const struct {
        const wchar_t *op, *v1, *v2;
        bool result;
    } rows[] = {
        {L"gt", L"10", L"9", true},   // numbers
        {L"cgt", L"10", L"9", true},
        {L"lt", L"10", L"9", false},
        {L"gt", L"10a", L"9a", false},  // texts: "1" sorts before "9"
        {L"eq", L"abc", L"ABC", true},
        {L"ceq", L"abc", L"ABC", false},
        {L"ne", L"abc", L"ABC", false},
        {L"cne", L"abc", L"ABC", true},
        {L"eq", L"1.00", L"1", true},
        {L"eq", L"1.0001", L"1", false},
        {L"eq", L"1.00001", L"1", true},  // compared to four decimals
        {L"ge", L"5", L"5", true},
        {L"le", L"5", L"5", true},
        {L"cle", L"b", L"a", false},
        {L"ge", L"-3", L"-2", false},
        {L"contains", L"Hello World", L"WORLD", true},
        {L"ccontains", L"Hello World", L"WORLD", false},
        {L"notcontains", L"Hello World", L"WORLD", false},
        {L"cnotcontains", L"Hello World", L"WORLD", true},
        {L"contains", L"10", L"1", true},
    };
    for (const auto& r : rows) {
        bool result = !r.result;
        ASSERT_TRUE(CompareValues(r.op, r.v1, r.v2, result)) << r.op;
        EXPECT_EQ(result, r.result) << r.op << " " << r.v1 << " " << r.v2;
    }
    bool result = false;
    for (const wchar_t* op : {L"EQ", L"", L"equals", L"c", L"cc", L"ceqq"}) EXPECT_FALSE(CompareValues(op, L"a", L"a", result)) << op;
    EXPECT_THROW(CompareValues(L"eq", L"99999999999999999999", L"1", result), EIntOverflow);
}

TEST(SmallItems, IfComparesTextsAsEightBitBytes) {
    // In the system's code page (1252 here) the euro sign is byte 0x80 and e acute 0xE9,
    // while in UTF-16 the euro sign (U+20AC) sorts after e acute (U+00E9): the bytes decide.
    const struct {
        const wchar_t *op, *v1, *v2;
        bool result;
    } rows[] = {
        {L"lt", L"\u20AC", L"\u00E9", true},
        {L"gt", L"\u20AC", L"\u00E9", false},
        {L"clt", L"\u20AC", L"\u00E9", true},
        {L"lt", L"\u0152", L"\u00FF", true},   // OE ligature 0x8C before y diaeresis 0xFF
        {L"cgt", L"\u00FF", L"\u0152", true},
        {L"eq", L"\u0152uvre", L"\u0153UVRE", true},  // the system lower-cases the 8-bit text
        {L"ceq", L"\u0152uvre", L"\u0153uvre", false},
        {L"gt", L"\u00E9", L"z", true},         // unsigned bytes: 0xE9 after "z"
    };
    for (const auto& r : rows) {
        bool result = !r.result;
        ASSERT_TRUE(CompareValues(r.op, r.v1, r.v2, result)) << r.op;
        EXPECT_EQ(result, r.result) << r.op << " " << WideToAnsi(r.v1) << " " << WideToAnsi(r.v2);
    }
}

TEST(SmallItems, IfReadsNumbersWithTheLocalesDecimalSeparator) {
    const struct {
        const wchar_t *op, *v1, *v2;
        wchar_t separator;
        bool result;
    } rows[] = {
        {L"eq", L"1,50", L"1,5", L',', true},    // numbers where the locale writes a comma
        {L"gt", L"10,5", L"9,75", L',', true},
        {L"eq", L"1.50", L"1.5", L',', false},   // not numbers there: compared as texts
        {L"gt", L"10.5", L"9.75", L',', false},
        {L"eq", L"1.50", L"1.5", L'.', true},
        {L"eq", L"1,50", L"1,5", L'.', false},   // and the other way round
        {L"gt", L"10", L"9", L',', true},        // whole numbers read everywhere
    };
    for (const auto& r : rows) {
        bool result = !r.result;
        ASSERT_TRUE(CompareValues(r.op, r.v1, r.v2, r.separator, result)) << r.op;
        EXPECT_EQ(result, r.result) << r.op << " " << WideToAnsi(r.v1) << " " << WideToAnsi(r.v2) << " "
                                    << static_cast<char>(r.separator);
    }
}

TEST(SmallItems, IfItemRowNameAndLog) {
    LogCapture log;
    SetVariable(L"ifvalue", L"10");
    Collected c = Gather(GetIf, OptionsOf({{L"value1", L"%ifvalue%"}, {L"value2", L"{{4+5}}"}, {L"comparator", L"gt"}}));
    EXPECT_EQ(c.data.Names, TWideStringArray{L"gt"});
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0], TVarArray{Variant(true)});
    EXPECT_EQ(c.display, L"True");
    EXPECT_EQ(log.Count(L"DATA", L"GetIf: True"), 1);

    EXPECT_EQ(Gather(GetIf, OptionsOf({{L"value1", L"1"}, {L"value2", L"2"}, {L"comparator", L"le"}})).data.Names,
              TWideStringArray{L"neqs"});
    EXPECT_EQ(Gather(GetIf, OptionsOf({{L"value1", L"1"}, {L"value2", L"2"}, {L"comparator", L"cle"}})).data.Names,
              TWideStringArray{L"neqs"});

    Collected upper = Gather(GetIf, OptionsOf({{L"value1", L"a"}, {L"value2", L"a"}, {L"comparator", L"EQ"}}));
    EXPECT_EQ(upper.display, L"");
    EXPECT_TRUE(upper.data.Data.empty());
    EXPECT_EQ(log.At(L"DATA").size(), 3u);  // no line for the unknown comparator
}

TEST(SmallItems, IfSwitchesTheNextItemThroughTheCollector) {
    TConfigItem test, next;
    test.Keyword = "IF";
    test.GatherProc = GetIf;
    test.Active = true;
    test.Options = OptionsOf({{L"value1", L"a"}, {L"value2", L"b"}, {L"comparator", L"eq"}});
    next.Keyword = "TEXT";
    next.Active = true;
    ConfigItems = {test, next};
    TConfigItem copy = ConfigItems[0];
    ASSERT_TRUE(GetItemData(copy, [] { return std::uint32_t{1000}; }));
    CollectorStoreHook(nullptr, 0, copy);
    EXPECT_FALSE(ConfigItems[1].Active);
    ConfigItems.clear();
}

// ---- CMD ------------------------------------------------------------------------------------

class CmdTest : public ::testing::Test {
protected:
    std::wstring fixture = TestBinaryDir() + L"cmd_fixture.exe";
    TempFolder dir{L"vistrel-cmd"};
};

TEST_F(CmdTest, StartsTheProgramWithItsParametersInItsDirectory) {
    LogCapture log;
    const std::wstring out = dir.File(L"out.txt");
    const std::wstring params = L"\"" + out + L"\" 7 0 second";
    const std::wstring folder = L"  " + dir.Dir() + L"  ";  // blanks around it are dropped
    Collected c = Gather(GetCmd, OptionsOf({{L"file", fixture.c_str()}, {L"parameters", params.c_str()},
                                            {L"directory", folder.c_str()}, {L"wait-time", L"20000"}}));
    EXPECT_EQ(c.data.Names, (TWideStringArray{L"execute result", L"last error", L"exit code"}));
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0].at(0), Variant(true));
    EXPECT_EQ(c.data.Data[0].at(2), Variant(std::int32_t{7}));
    // A start and a wait that both succeeded: no error, whatever the shell left behind.
    EXPECT_EQ(c.data.Data[0].at(1), Variant(std::int32_t{0}));
    EXPECT_EQ(c.display, L"True 0 7");
    EXPECT_EQ(log.Count(L"DATA", L"GetCmd: " + c.display), 1);
    const std::wstring report = WideFileText(out);
    const std::size_t nl = report.find(L'\n');
    ASSERT_NE(nl, std::wstring::npos);
    EXPECT_TRUE(SameTextIgnoreCase(report.substr(0, nl), dir.Dir())) << report;
    EXPECT_NE(report.find(params), std::wstring::npos) << report;
}

TEST(CmdWait, LastErrorTellsOfAFailedStartOrWaitOnly) {
    const struct {
        bool started, waitFailed;
        DWORD errorAfter, expected;
    } rows[] = {
        {true, false, ERROR_FILE_NOT_FOUND, 0},  // a code the shell's lookups left behind
        {true, false, ERROR_NO_ASSOCIATION, 0},
        {true, false, 0, 0},
        {true, true, ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE},  // the wait failed
        {false, false, ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND},  // the start failed
        {false, false, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    };
    for (const auto& r : rows)
        EXPECT_EQ(CmdLastError(r.started, r.waitFailed, r.errorAfter), r.expected)
            << r.started << " " << r.waitFailed << " " << r.errorAfter;
}

TEST_F(CmdTest, ExitCodeIsReducedToSixteenBits) {
    const std::wstring params = L"\"" + dir.File(L"o.txt") + L"\" 65539";
    const TCmdResult r = RunShellCommand(fixture, params, L"", SW_HIDE, 20000);
    EXPECT_TRUE(r.Started);
    EXPECT_EQ(r.ExitCode, 3);
}

TEST_F(CmdTest, ProgramStillRunningAfterTheWaitGivesStillActive) {
    const std::wstring params = L"\"" + dir.File(L"slow.txt") + L"\" 0 3000";
    Collected c = Gather(GetCmd, OptionsOf({{L"file", fixture.c_str()}, {L"parameters", params.c_str()},
                                            {L"wait-time", L"200"}}));
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0].at(0), Variant(true));
    EXPECT_EQ(c.data.Data[0].at(2), Variant(std::int32_t{259}));
    // Let it finish before its folder goes.
    ASSERT_TRUE(PumpUntil([&] { return PathExists(dir.File(L"slow.txt")); }, 20000));
    Sleep(3500);
}

TEST_F(CmdTest, NegativeWaitTimeDoesNotWaitForever) {
    const std::wstring params = L"\"" + dir.File(L"late.txt") + L"\" 0 2000";
    Collected c = Gather(GetCmd, OptionsOf({{L"file", fixture.c_str()}, {L"parameters", params.c_str()},
                                            {L"wait-time", L"-1"}}));
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0].at(2), Variant(std::int32_t{259}));  // not waited for: still running
    ASSERT_TRUE(PumpUntil([&] { return PathExists(dir.File(L"late.txt")); }, 20000));
    Sleep(2500);
}

// A program that lies only in the native system folder (wsl.exe, ssh.exe, bash.exe on
// 64-bit Windows), started from a 32-bit program.
TEST_F(CmdTest, StartsAProgramOfTheNativeSystemFolder) {
    NativeSystemFile program(L"cmd.exe", ReadFileBytes(fixture));
    ASSERT_TRUE(program.Made());
    const std::wstring params = L"\"" + dir.File(L"native.txt") + L"\" 9";
    Collected c = Gather(GetCmd, OptionsOf({{L"file", program.Path().c_str()}, {L"parameters", params.c_str()},
                                            {L"wait-time", L"20000"}}));
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0].at(0), Variant(true));
    EXPECT_EQ(c.data.Data[0].at(2), Variant(std::int32_t{9}));
    EXPECT_TRUE(PathExists(dir.File(L"native.txt")));
}

// The working folder as the started program sees it: the system folder, given as the
// folder of a 64-bit program (the system's own command interpreter) started from a 32-bit
// one, is the real system folder for it; a folder that only the native system folder
// holds is reached through Sysnative by a 32-bit program.
TEST_F(CmdTest, TheStartedProgramWorksInTheFolderItWasGiven) {
    const std::wstring out = dir.File(L"cwd.txt");
    const std::wstring params = L"/c cd > \"" + out + L"\"";
    Collected c = Gather(GetCmd, OptionsOf({{L"file", (SystemFolder() + L"\\cmd.exe").c_str()},
                                            {L"parameters", params.c_str()},
                                            {L"directory", SystemFolder().c_str()},
                                            {L"wait-time", L"20000"}}));
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0].at(0), Variant(true));
    std::string shown = ReadFileBytes(out);
    while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r' || shown.back() == ' ')) shown.pop_back();
    EXPECT_EQ(LowerAscii(shown), LowerAscii(WideToUtf8(SystemFolder())));

    const std::wstring folder = NativeSystemFolderForTests() + L"\\vistrel-test-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring named = SystemFolder() + folder.substr(folder.find_last_of(L'\\'));
    const std::wstring report = dir.File(L"report.txt");
    Collected d = Gather(GetCmd, OptionsOf({{L"file", fixture.c_str()}, {L"parameters", (L"\"" + report + L"\" 0").c_str()},
                                            {L"directory", named.c_str()}, {L"wait-time", L"20000"}}));
    RemoveDirectoryW(folder.c_str());
    ASSERT_EQ(d.data.Data.size(), 1u);
    EXPECT_EQ(d.data.Data[0].at(0), Variant(true));
    const std::wstring text = WideFileText(report);
    EXPECT_TRUE(SameTextIgnoreCase(text.substr(0, text.find(L'\n')), NativeSystemPath(named))) << text;
}

namespace {

// A document type of the test's own, registered for the test's lifetime, whose "open"
// handler is the command fixture: it writes the command line the shell built, with the
// document's path as the shell was handed it, to Report. Registered in the classes root
// itself: Wine's shell does not read the user's classes (Software\Classes of the user).
class FixtureDocumentType {
public:
    explicit FixtureDocumentType(const std::wstring& Report)
        : extension_(L".vistrel-doc-" + std::to_wstring(GetCurrentProcessId())),
          progId_(L"VistrelTestDocument" + std::to_wstring(GetCurrentProcessId())) {
        const std::wstring command = L"\"" + TestBinaryDir() + L"cmd_fixture.exe\" \"" + Report + L"\" 0 0 \"%1\"";
        made_ = SetDefault(extension_, progId_) && SetDefault(progId_ + L"\\shell\\open\\command", command);
    }
    ~FixtureDocumentType() {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, extension_.c_str());
        RegDeleteTreeW(HKEY_CLASSES_ROOT, progId_.c_str());
    }
    FixtureDocumentType(const FixtureDocumentType&) = delete;
    FixtureDocumentType& operator=(const FixtureDocumentType&) = delete;
    bool Made() const { return made_; }
    const std::wstring& Extension() const { return extension_; }

private:
    static bool SetDefault(const std::wstring& path, const std::wstring& value) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
            ERROR_SUCCESS)
            return false;
        const UniqueKey owned(key);
        return RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    std::wstring extension_, progId_;
    bool made_ = false;
};

// Whether the handler's report holds the path, quoted, as the shell was handed it.
::testing::AssertionResult HandlerGotPath(const std::wstring& Report, const std::wstring& Path) {
    const std::wstring text = WideFileText(Report);
    if (LowerAscii(text).find(LowerAscii(L"\"" + Path + L"\"")) != std::wstring::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the handler got: " << WideToUtf8(text);
}

}  // namespace

// A document under the system folder that this process finds there (as Windows holds
// compmgmt.msc in both views) goes to its handler as written: the handler may be a 64-bit
// program, which has no Sysnative.
TEST_F(CmdTest, ADocumentOfTheSystemFolderGoesToItsHandlerAsWritten) {
    const std::wstring report = dir.File(L"handler.txt");
    const FixtureDocumentType type(report);
    ASSERT_TRUE(type.Made());
    const SystemFileInBothViews document(L"console" + type.Extension(), "document");
    ASSERT_TRUE(document.Made());
    Collected c = Gather(GetCmd, OptionsOf({{L"file", document.Path().c_str()}, {L"wait-time", L"20000"}}));
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0].at(0), Variant(true));
    ASSERT_TRUE(PumpUntil([&] { return !ReadFileBytes(report).empty(); }, 20000));
    EXPECT_TRUE(HandlerGotPath(report, document.Path()));
}

TEST_F(CmdTest, MissingFileIsAFalseStartWithItsError) {
    const std::wstring missing = dir.File(L"no-such-program.exe");
    Collected c = Gather(GetCmd, OptionsOf({{L"file", missing.c_str()}, {L"wait-time", L"100"}}));
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0].at(0), Variant(false));
    EXPECT_EQ(c.data.Data[0].at(1), Variant(std::int32_t{ERROR_FILE_NOT_FOUND}));
    EXPECT_EQ(c.data.Data[0].at(2), Variant(std::int32_t{0}));
}

// ---- CORETEMP -------------------------------------------------------------------------------

namespace {

void PutU32(TCoreTempBlock& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}
void PutFloat(TCoreTempBlock& b, std::size_t at, float f) {
    std::uint32_t v;
    std::memcpy(&v, &f, 4);
    PutU32(b, at, v);
}
// cpus x cores entries of temperatures (or distances), with TjMax per processor.
TCoreTempBlock Block(std::uint32_t cpus, std::uint32_t cores, const std::vector<float>& temps,
                     const std::vector<std::uint32_t>& tjMax = {}, bool fahrenheit = false, bool distance = false) {
    TCoreTempBlock b{};
    PutU32(b, 1536, cores);
    PutU32(b, 1540, cpus);
    for (std::size_t i = 0; i < temps.size(); ++i) PutFloat(b, 1544 + 4 * i, temps[i]);
    for (std::size_t i = 0; i < tjMax.size(); ++i) PutU32(b, 1024 + 4 * i, tjMax[i]);
    b.at(2684) = fahrenheit;
    b.at(2685) = distance;
    return b;
}

}  // namespace

TEST(CoreTemp, InterpretsTheBlock) {
    const struct {
        TCoreTempBlock block;
        std::int32_t highest;
        const wchar_t* unit;
    } rows[] = {
        {Block(1, 4, {41.5f, 55.9f, 40, 39}), 55, L"C"},
        {Block(2, 2, {30, 31, 32, 70.2f}), 70, L"C"},       // core 1 of processor 1 is entry 3
        {Block(1, 2, {150.0f, 120.0f}, {}, true), 150, L"F"},
        {Block(1, 2, {-5, -10}), 0, L"C"},                   // the highest starts at 0
        // Distance mode: TjMax of the core's processor less the distance.
        {Block(1, 2, {30, 10}, {100, 90}, false, true), 90, L"C"},  // the second entry is no core's
        {Block(1, 8, {40, 38, 35, 36, 12, 30, 33, 31}, {100}, false, true), 88, L"C"},  // core 4 is hottest
        {Block(2, 2, {30, 20, 5, 10}, {90, 80}, false, true), 75, L"C"},  // processor 1 has its own TjMax
        {Block(1, 129, std::vector<float>(129, 50.0f), {95}, false, true), 45, L"C"},
        {Block(128, 2, std::vector<float>(256, 1.0f), std::vector<std::uint32_t>(128, 60), false, true), 59, L"C"},
        {Block(1, 256, std::vector<float>(256, 20.0f)), 20, L"C"},  // every entry in use
    };
    for (const auto& r : rows) {
        const TCoreTempReading reading = InterpretCoreTemp(r.block);
        EXPECT_EQ(reading.Highest, r.highest);
        EXPECT_EQ(reading.Unit, r.unit);
    }
    EXPECT_THROW(InterpretCoreTemp(Block(0, 4, {})), ERangeError);
    EXPECT_THROW(InterpretCoreTemp(Block(1, 0, {})), ERangeError);
    EXPECT_THROW(InterpretCoreTemp(Block(1, 257, {})), ERangeError);
    EXPECT_THROW(InterpretCoreTemp(Block(65536, 65536, {})), ERangeError);  // the product is what counts
    EXPECT_THROW(InterpretCoreTemp(Block(1, 257, {}, {100}, false, true)), ERangeError);
    EXPECT_THROW(InterpretCoreTemp(Block(129, 1, {}, {}, false, true)), ERangeError);  // 128 TjMax entries
    EXPECT_THROW(InterpretCoreTemp(Block(1, 1, {3e9f})), EIntOverflow);
}

TEST(CoreTemp, ReadsTheNamedAreaAndNothingWithoutIt) {
    LogCapture log;
    TCoreTempBlock block{};
    EXPECT_FALSE(ReadCoreTempData(block));
    EXPECT_EQ(Gather(GetCoreTemp, {}).display, L"");

    // An area under the monitoring program's name, made here.
    const TCoreTempBlock published = Block(1, 2, {47.0f, 63.5f}, {}, true);
    UniqueHandle mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                            static_cast<DWORD>(kCoreTempBlockSize), kCoreTempMappingName));
    ASSERT_TRUE(mapping.valid());
    {
        void* view = MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, kCoreTempBlockSize);
        ASSERT_NE(view, nullptr);
        std::memcpy(view, published.data(), kCoreTempBlockSize);
        UnmapViewOfFile(view);
    }
    ASSERT_TRUE(ReadCoreTempData(block));
    EXPECT_EQ(block, published);
    Collected c = Gather(GetCoreTemp, OptionsOf({{L"display", L"%1 %2"}}));
    EXPECT_EQ(c.display, L"63 F");
    EXPECT_EQ(c.data.Names, TWideStringArray{L"temp"});
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0], (TVarArray{Variant(std::int32_t{63}), Variant(L"F")}));
    EXPECT_EQ(log.Count(L"DATA", L"CoreTemp: 63 F"), 1);
    mapping.reset();
    EXPECT_FALSE(ReadCoreTempData(block));

    // A smaller area: whether a view of a whole block may reach past its end into the
    // area's last page (which the system fills with zeros) is the system's to decide, and
    // is asked here first. Where it may, the block holds the area's bytes and zeros after
    // them; where it may not, the read fails and leaves the caller's block as it was.
    UniqueHandle small(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 100, kCoreTempMappingName));
    ASSERT_TRUE(small.valid());
    {
        void* view = MapViewOfFile(small.get(), FILE_MAP_WRITE, 0, 0, 100);
        ASSERT_NE(view, nullptr);
        std::memset(view, 0x5A, 100);
        UnmapViewOfFile(view);
    }
    void* probe = MapViewOfFile(small.get(), FILE_MAP_READ, 0, 0, kCoreTempBlockSize);
    const bool systemMapsPastTheEnd = probe != nullptr;
    if (probe) UnmapViewOfFile(probe);
    TCoreTempBlock expected;
    expected.fill(7);
    if (systemMapsPastTheEnd) {
        expected.fill(0);
        std::fill_n(expected.begin(), 100, std::uint8_t{0x5A});
    }
    block.fill(7);
    EXPECT_EQ(ReadCoreTempData(block), systemMapsPastTheEnd);
    EXPECT_EQ(block, expected);
}

// ---- SNAPSHOT -------------------------------------------------------------------------------

TEST(Snapshot, ColourAndComposition) {
    EXPECT_EQ(SnapshotColor(L"#112233", 5), 0x332211);
    EXPECT_EQ(SnapshotColor(L"332211", 5), 0x332211);
    EXPECT_EQ(SnapshotColor(L"xyz", 5), 5);
    EXPECT_EQ(SnapshotColor(L"", 5), 5);

    PixelImage back = SolidImage(4, 3, 0x0000FF);  // red
    EXPECT_EQ(back.Pixels.at(2), 255);
    EXPECT_EQ(back.Pixels.at(0), 0);
    PixelImage window = SolidImage(2, 2, 0x00FF00);
    std::fill(window.Pixels.begin(), window.Pixels.begin() + 4, 0);  // (0,0) black: see-through
    DrawTransparent(back, window, 3, 2);                             // only (3,2) lands inside
    auto at = [&](int x, int y) { return back.Pixels.at(static_cast<std::size_t>((y * 4 + x) * 4 + 1)); };
    EXPECT_EQ(at(3, 2), 0);   // (0,0) of the window: black, background stays red
    DrawTransparent(back, window, 2, 1);
    EXPECT_EQ(at(2, 1), 0);   // black
    EXPECT_EQ(at(3, 1), 255); // green drawn
    EXPECT_EQ(at(2, 2), 255);
    EXPECT_EQ(at(1, 1), 0);
    DrawTransparent(back, window, -1, -1);  // clipped at the top-left
    EXPECT_EQ(at(0, 0), 255);
    DrawTransparent(back, window, 10, 10);  // wholly outside: nothing
    EXPECT_THROW(SolidImage(0, 5, 0), EInOutError);
    EXPECT_THROW(WriteSnapshot(L"x.bmp", back), EInOutError);
}

class SnapshotTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        RegisterSmallItemProviders();
        // Borderless, as on the desktop: a window-mode form keeps the system's minimum
        // size, and the pictures below are computed for a 40 x 30 window.
        DisplayMode = dmDesktop;
        form = Application().CreateForm<TVistrelMainForm>();
        Application().SetMainForm(form);
        MainForm = form;
        form->SetColor(0);
        form->SetBounds(0, 0, 40, 30);
        form->Show();
        PumpFor(30);
        // Something on the window's canvas: black with a white square (a repaint of the
        // form may draw over it; the tests compare with their own copy of the window).
        TCanvas& canvas = form->Canvas();
        canvas.Brush().SetColor(0);
        canvas.FillRect(RECT{0, 0, 40, 30});
        canvas.Brush().SetColor(0xFFFFFF);
        canvas.FillRect(RECT{10, 5, 20, 15});
        GdiFlush();
    }
    void TearDown() override {
        MainForm = nullptr;
        WindowTest::TearDown();
    }
    TItemOptionArray Options(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> pairs) {
        TItemOptionArray o = OptionsOf(pairs);
        SetOption(o, L"mainform", Variant(static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(&MainForm))));
        return o;
    }
    static std::uint32_t Pixel(const PixelImage& i, int x, int y) {
        const std::uint8_t* p = &i.Pixels.at(static_cast<std::size_t>((y * i.Width + x) * 4));
        return p[2] | (p[1] << 8) | (p[0] << 16);  // as BBGGRR
    }
    TVistrelMainForm* form = nullptr;
    TempFolder dir{L"vistrel-snap"};
};

TEST_F(SnapshotTest, PngOverAColourDecodesBack) {
    LogCapture log;
    const std::wstring out = dir.File(L"shot.PNG");
    Collected c = Gather(GetSnapshot, Options({{L"outfile", out.c_str()}, {L"bgcolor", L"#0000FF"},
                                               {L"width", L"60"}, {L"left", L"5"}, {L"top", L"2"}}));
    EXPECT_EQ(c.display, out + L" written");
    EXPECT_EQ(log.Count(L"DATA", L"GetSnapshot: "), 1);
    const PixelImage back = LoadPngFile(out);
    EXPECT_EQ(back.Width, 60);
    EXPECT_EQ(back.Height, 30);  // the window's height
    // What the test itself copies from the window, drawn at (5, 2) over blue (BBGGRR
    // FF0000), black pixels left out.
    TBitmap own;
    own.SetSize(40, 30);
    BitBlt(own.DC(), 0, 0, 40, 30, form->Canvas().Handle(), 0, 0, SRCCOPY);
    int drawn = 0;
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 60; ++x) {
            std::uint32_t expected = 0xFF0000;
            const int wx = x - 5, wy = y - 2;
            if (wx >= 0 && wx < 40 && wy >= 0 && wy < 30 && own.Pixel(wx, wy) != 0) {
                expected = own.Pixel(wx, wy);
                ++drawn;
            }
            ASSERT_EQ(Pixel(back, x, y), expected) << x << "," << y;
        }
    EXPECT_GT(drawn, 0);
}

TEST_F(SnapshotTest, JpegOverAPngBackground) {
    PixelImage green = SolidImage(50, 40, 0x00FF00);
    const std::wstring in = dir.File(L"back.png"), out = dir.File(L"shot.jpg");
    SavePngFile(in, green);
    Collected c = Gather(GetSnapshot, Options({{L"infile", in.c_str()}, {L"outfile", out.c_str()}}));
    EXPECT_EQ(c.display, out + L" written");
    const PixelImage shot = LoadJpegFile(out);
    EXPECT_EQ(shot.Width, 50);
    EXPECT_EQ(shot.Height, 40);
    auto close = [](std::uint32_t a, std::uint32_t b) {
        for (int s = 0; s < 24; s += 8)
            if (std::abs(static_cast<int>((a >> s) & 0xFF) - static_cast<int>((b >> s) & 0xFF)) > 40) return false;
        return true;
    };
    EXPECT_TRUE(close(Pixel(shot, 45, 35), 0x00FF00)) << std::hex << Pixel(shot, 45, 35);  // beyond the window
}

// Whatever folder the program was started in, a picture named without a folder goes beside
// the program.
TEST_F(SnapshotTest, OutfileNamedWithoutAFolderGoesBesideTheProgram) {
    wchar_t saved[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.Dir().c_str()));
    const std::wstring name = L"vistrel-shot-" + std::to_wstring(GetCurrentProcessId()) + L".png";
    Collected c = Gather(GetSnapshot, Options({{L"outfile", name.c_str()}}));
    SetCurrentDirectoryW(saved);
    EXPECT_EQ(c.display, name + L" written");
    EXPECT_FALSE(PathExists(dir.File(name))) << "written to the current folder";
    EXPECT_TRUE(PathExists(ProgramDirectory() + name));
    DeleteFileW((ProgramDirectory() + name).c_str());
}

TEST_F(SnapshotTest, UnknownTypeAndMissingWindowGiveTheErrorText) {
    LogCapture log;
    const std::wstring out = dir.File(L"shot.bmp");
    Collected c = Gather(GetSnapshot, Options({{L"outfile", out.c_str()}}));
    EXPECT_EQ(c.display, ErrorText + L"Unknown file type, .bmp");
    EXPECT_EQ(log.Count(L"ERROR", L"GetSnapshot: " + ErrorText + L"Unknown file type, .bmp"), 1);
    EXPECT_EQ(log.Count(L"DATA", L"GetSnapshot: "), 1);
    EXPECT_FALSE(PathExists(out));

    // A "mainform" number of the item line's own is not followed.
    Collected foreign = Gather(GetSnapshot, OptionsOf({{L"outfile", dir.File(L"x.png").c_str()}, {L"mainform", L"4096"}}));
    EXPECT_EQ(foreign.display, ErrorText + L"No main window");
    MainForm = nullptr;
    EXPECT_EQ(Gather(GetSnapshot, Options({{L"outfile", dir.File(L"x.png").c_str()}})).display,
              ErrorText + L"No main window");
}

// ---- CONTROL --------------------------------------------------------------------------------

class UserControlTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        form = Application().CreateForm<TVistrelMainForm>();
        Application().SetMainForm(form);
        MainForm = form;
        form->SetBounds(0, 0, 300, 100);
        form->Show();
        PumpFor(30);
    }
    void TearDown() override {
        for (TConfigItem& i : ConfigItems) ReleaseItemControl(i);
        ConfigItems.clear();
        MainForm = nullptr;
        WindowTest::TearDown();
    }
    TConfigItem& AddControl(const wchar_t* type) {
        TConfigItem item;
        item.Keyword = "CONTROL";
        item.Active = true;
        item.FontFace = L"Arial";
        item.FontSize = 10;
        item.Options = OptionsOf({{L"type", type}, {L"display", L"Go %who%"}, {L"uri", L"%target%"}, {L"args", L"-x"}});
        ConfigItems.push_back(item);
        return ConfigItems.back();
    }
    TVistrelMainForm* form = nullptr;
};

TEST_F(UserControlTest, ButtonTakesItsCaptionSizeAndRightEdge) {
    SetVariable(L"who", L"R&&D & Q&A");
    SetVariable(L"target", L"C:\\some\\file.txt");
    TConfigItem& item = AddControl(L"0");
    item.Color = 0xFFFFFF;
    CreateItemButton(item, 0, form);
    ASSERT_NE(item.Control, nullptr);
    SetupUserControl(item, form, 20, 70, 295, false);
    auto* button = dynamic_cast<TColorButton*>(item.Control);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->CaptionW(), L"Go R&&D & Q&A");
    EXPECT_EQ(button->Hint(), L"C:\\some\\file.txt");
    EXPECT_TRUE(button->Visible());
    EXPECT_TRUE(static_cast<bool>(button->OnClick));
    // The caption measured in the item's font on the form's canvas, as the button draws
    // it: every "&" is a character.
    TCanvas& canvas = form->Canvas();
    canvas.Font().SetName(L"Arial");
    canvas.Font().SetSize(10);
    RECT r{0, 0, 0, 0};
    canvas.DrawText(L"Go R&&D & Q&A", r, DT_CALCRECT | DT_NOPREFIX);
    // On the button's face the whole caption shows: its ink stays inside the bevel.
    TBitmap face;
    face.SetSize(button->Width(), button->Height());
    button->PaintTo(face.Canvas());
    int right = -1;
    for (int y = 0; y < face.Height(); ++y)
        for (int x = 0; x < face.Width(); ++x)
            if (face.Pixel(x, y) == RGB(255, 255, 255)) right = std::max(right, x);
    EXPECT_GT(right, 0);
    EXPECT_LT(right, button->Width() - button->BevelSize() - 1);
    EXPECT_EQ(button->Left(), 70);
    EXPECT_EQ(button->Top(), 20);
    EXPECT_EQ(button->Width(), r.right + 4);
    EXPECT_EQ(button->Height(), r.bottom + 1);

    SetupUserControl(item, form, 20, 70, 295, true);
    EXPECT_EQ(button->Left() + button->Width(), 295);
}

TEST_F(UserControlTest, LinkTakesItsTargetArgumentsAndDirection) {
    SetVariable(L"who", L"away");
    SetVariable(L"target", L"https://example.org/");
    TConfigItem& item = AddControl(L"1");
    CreateItemLink(item, 0, form);
    ASSERT_NE(item.Control, nullptr);
    SetupUserControl(item, form, 40, 5, 250, true);
    auto* link = dynamic_cast<TStaticTextW*>(item.Control);
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->WideCaption(), L"Go away");
    EXPECT_EQ(link->LinkTarget, L"https://example.org/");
    EXPECT_EQ(link->LinkParameters, L"-x");
    EXPECT_EQ(link->Hint(), L"https://example.org/");
    EXPECT_TRUE(link->RightToLeft());
    EXPECT_GT(link->Width(), 1);
    EXPECT_EQ(link->Top(), 40);
    EXPECT_EQ(link->Left() + link->Width(), 250);
    EXPECT_TRUE(link->Visible());
}

// A click on a button or a link whose target cannot be opened is logged by the main
// form: the target, its arguments and the shell's error number.
TEST_F(UserControlTest, AFailedClickIsLoggedWithTheShellsError) {
    LogCapture log;
    AddControl(L"0");
    AddControl(L"1");
    for (int i = 0; i < 2; ++i) {
        TConfigItem& item = ConfigItems[static_cast<std::size_t>(i)];
        SetItemOption(item.Options, L"uri", Variant(std::wstring(L"C:\\vistrel-missing-target.txt")));
        if (i == 0) CreateItemButton(item, i, form);
        else CreateItemLink(item, i, form);
        ASSERT_NE(item.Control, nullptr);
        SetupUserControl(item, form, 30 * i, 5, 295, false);
        SendMessageW(item.Control->Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
        SendMessageW(item.Control->Handle(), WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
    }
    EXPECT_EQ(log.Count(L"ERROR", L"Control Error: uri: C:\\vistrel-missing-target.txt Args: -x Error: 2"), 2);
    EXPECT_EQ(log.At(L"ERROR").size(), 2u);
}

TEST_F(UserControlTest, ItemWithoutControlIsLeftAlone) {
    TConfigItem& item = AddControl(L"0");
    EXPECT_NO_THROW(SetupUserControl(item, form, 0, 0, 100, false));
    EXPECT_EQ(item.Control, nullptr);
}

TEST_F(UserControlTest, ButtonClickStartsTheTarget) {
    TempFolder dir;
    const std::wstring out = dir.File(L"clicked.txt");
    const std::wstring fixture = TestBinaryDir() + L"cmd_fixture.exe";
    SetVariable(L"who", L"run");
    SetVariable(L"target", fixture);
    TConfigItem& item = AddControl(L"0");
    SetItemOption(item.Options, L"uri", Variant(fixture));
    SetItemOption(item.Options, L"args", Variant(L"\"" + out + L"\" 0"));
    CreateItemButton(item, 0, form);
    SetupUserControl(item, form, 0, 0, 100, false);
    ASSERT_TRUE(item.Control->OnClick);
    item.Control->OnClick(item.Control);
    EXPECT_TRUE(PumpUntil([&] { return PathExists(out) && !ReadFileBytes(out).empty(); }, 20000));
    Sleep(300);
}

// A document under the system folder that this process finds there goes to its handler as
// written: the handler may be a 64-bit program, without Sysnative.
TEST_F(UserControlTest, ButtonClickStartsTheHandlerOfASystemFolderDocumentWithItsPathAsWritten) {
    LogCapture log;
    TempFolder dir;
    const std::wstring report = dir.File(L"handler.txt");
    const FixtureDocumentType type(report);
    ASSERT_TRUE(type.Made());
    const SystemFileInBothViews document(L"console" + type.Extension(), "document");
    ASSERT_TRUE(document.Made());
    TConfigItem& item = AddControl(L"0");
    SetItemOption(item.Options, L"uri", Variant(document.Path()));
    SetItemOption(item.Options, L"args", Variant(L""));
    CreateItemButton(item, 0, form);
    SetupUserControl(item, form, 0, 0, 100, false);
    ASSERT_TRUE(item.Control->OnClick);
    item.Control->OnClick(item.Control);
    EXPECT_TRUE(log.At(L"ERROR").empty());
    ASSERT_TRUE(PumpUntil([&] { return !ReadFileBytes(report).empty(); }, 20000));
    EXPECT_TRUE(HandlerGotPath(report, document.Path()));
    Sleep(300);
}

// A program that lies only in the native system folder, started from a 32-bit program.
TEST_F(UserControlTest, ButtonClickStartsAProgramOfTheNativeSystemFolder) {
    LogCapture log;
    TempFolder dir;
    const std::wstring out = dir.File(L"clicked.txt");
    NativeSystemFile program(L"control.exe", ReadFileBytes(TestBinaryDir() + L"cmd_fixture.exe"));
    ASSERT_TRUE(program.Made());
    TConfigItem& item = AddControl(L"0");
    SetItemOption(item.Options, L"uri", Variant(program.Path()));
    SetItemOption(item.Options, L"args", Variant(L"\"" + out + L"\" 0"));
    CreateItemButton(item, 0, form);
    SetupUserControl(item, form, 0, 0, 100, false);
    ASSERT_TRUE(item.Control->OnClick);
    item.Control->OnClick(item.Control);
    EXPECT_TRUE(log.At(L"ERROR").empty());
    EXPECT_TRUE(PumpUntil([&] { return PathExists(out) && !ReadFileBytes(out).empty(); }, 20000));
    Sleep(300);
}
