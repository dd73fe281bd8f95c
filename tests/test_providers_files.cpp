#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "Configuration.h"
#include "Errors.h"
#include "FileItems.h"
#include "FileWatch.h"
#include "Includes.h"
#include "MainLoop.h"
#include "NativeSystemFiles.h"
#include "Pipeline.h"
#include "Templates.h"
#include "TestFiles.h"
#include "Utils.h"
#include "WindowTests.h"
#include "test_providers_support.h"

namespace {

constexpr DWORD kWait = 8000;  // a few checks of a one-second watcher under Wine

using providertest::Collected;
using providertest::Gather;
using providertest::SetOption;

FILETIME FileTimeOf(std::uint64_t v) { return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)}; }

std::uint64_t WriteTimeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA d{};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d);
    return (static_cast<std::uint64_t>(d.ftLastWriteTime.dwHighDateTime) << 32) | d.ftLastWriteTime.dwLowDateTime;
}

void SetFileTimes(const std::wstring& path, const FILETIME* access, const FILETIME* write) {
    HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetFileTime(h, nullptr, access, write);
    CloseHandle(h);
}

// The text a watch shows for a time pair, computed here from the platform's own calls.
std::wstring LocalText(std::uint64_t t) {
    FILETIME ft = FileTimeOf(t), local{};
    FileTimeToLocalFileTime(&ft, &local);
    SYSTEMTIME st{};
    FileTimeToSystemTime(&local, &st);
    return DateTimeToText(EncodeDateTime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond,
                                         st.wMilliseconds));
}

class FileWatchTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        NoResultsText = L"<n/a>";
    }
    void TearDown() override {
        WatchItems->Clear();
        WindowTest::TearDown();
    }
    // Waits until the watch's value equals the expected one.
    bool ValueBecomes(TWatchItem& w, const Variant& v) {
        return PumpUntil([&] { return w.Value() == v; }, kWait);
    }
    TempFolder dir{L"vistrel-watch"};
};

}  // namespace

// ---- interpretation ------------------------------------------------------------------------

TEST(FileWatchRules, FlagsByWatchType) {
    const struct {
        const wchar_t* type;
        std::int32_t flags;
    } rows[] = {{L"text", 0x10}, {L"TEXT", 0x10}, {L"size", 0x08}, {L"Size", 0x08}, {L"time", 0x10},
                {L"version", 0x10}, {L"0", 0}, {L"", 0}, {L"sizes", 0}};
    for (const auto& r : rows) EXPECT_EQ(WatchFlagsOf(r.type), r.flags) << r.type;
}

TEST(FileWatchRules, TimesTextInLocalTime) {
    const std::uint64_t write = 133000000000000000ull, access = 133000036000000000ull;
    EXPECT_EQ(WatchTimesText(write, access), L"W: " + LocalText(write) + L", A: " + LocalText(access));
}

TEST(FileWatchRules, FirstLineWithFullSharing) {
    TempFolder dir;
    const struct {
        std::string bytes;
        std::wstring line;
    } rows[] = {{"first\r\nsecond\r\n", L"first"}, {"only", L"only"}, {"\nsecond", L""}, {"", L""},
                {"a\rb", L"a"}, {std::string(5000, 'x') + "\ny", std::wstring(5000, L'x')}};
    for (const auto& r : rows) {
        const std::wstring f = dir.File(L"f.txt");
        ASSERT_TRUE(WriteFileBytes(f, r.bytes));
        // Held open for writing by another handle, as a log file would be.
        HANDLE held = CreateFileW(f.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        std::wstring line = L"unset";
        EXPECT_TRUE(ReadFirstLine(f, line));
        CloseHandle(held);
        EXPECT_EQ(line, r.line) << r.bytes.substr(0, 10);
    }
    std::wstring line;
    EXPECT_FALSE(ReadFirstLine(dir.File(L"missing.txt"), line));
}

TEST(FileItemRules, KeyValueLines) {
    const std::vector<std::wstring> lines = {L"name=Vistrel", L"no equals", L"Version=1=2", L"=empty key", L"NAME=again"};
    const auto all = KeyValueLines(lines, L"");
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[1].Key, L"Version");
    EXPECT_EQ(all[1].Value, L"1=2");
    EXPECT_EQ(all[2].Key, L"");
    EXPECT_EQ(all[2].Value, L"empty key");
    const auto named = KeyValueLines(lines, L"Name");
    ASSERT_EQ(named.size(), 2u);
    EXPECT_EQ(named[0].Value, L"Vistrel");
    EXPECT_EQ(named[1].Value, L"again");
    EXPECT_TRUE(KeyValueLines(lines, L"missing").empty());
}

TEST(FileItemRules, DumpTimeStampAndFileName) {
    const struct {
        double when;
        const wchar_t* stamp;
    } rows[] = {{EncodeDateTime(2026, 12, 9, 8, 5, 7, 0), L"20261209080507"},
                {EncodeDateTime(2026, 12, 9, 8, 5, 7, 999), L"20261209080507"},  // seconds truncated
                {EncodeDateTime(2000, 2, 29, 23, 59, 59, 0), L"20000229235959"},
                {EncodeDateTime(1999, 12, 31, 0, 0, 0, 0), L"19991231000000"}};
    for (const auto& r : rows) EXPECT_EQ(DumpTimeStamp(r.when), r.stamp);
    EXPECT_THROW(DumpTimeStamp(-1), EConvertError);

    TConfigItem item;
    item.Keyword = "UPTIME";
    item.ItemData.TimeCollected = EncodeDateTime(2026, 12, 9, 8, 5, 7, 0);
    EXPECT_EQ(DumpFileName(L"d\\", item), L"d\\UPTIME_20261209080507.csv");
    item.Lid = L"up";
    EXPECT_EQ(DumpFileName(L"d\\", item), L"d\\up_20261209080507.csv");
}

TEST(FileItemRules, DumpFileNamesAreSafeForTheFileSystem) {
    // A language id is free text: whatever it holds, the file stays one file in the dump
    // folder (no other folder, no stream of another file, no invalid name).
    const struct {
        const wchar_t* lid;
        const wchar_t* name;
    } rows[] = {
        {L"cpu load", L"cpu load"},
        {L"..\\..\\escape", L".._.._escape"},
        {L"C:\\Windows\\x", L"C__Windows_x"},
        {L"disk:free", L"disk_free"},  // not the stream "free" of a file "disk"
        {L"a/b*c?d\"e<f>g|h", L"a_b_c_d_e_f_g_h"},
        {L"tab\there\nnew", L"tab_here_new"},
        {L"caf\u00E9 \u4E2D", L"caf\u00E9 \u4E2D"},
    };
    TConfigItem item;
    item.Keyword = "UPTIME";
    item.ItemData.TimeCollected = EncodeDateTime(2026, 12, 9, 8, 5, 7, 0);
    for (const auto& r : rows) {
        EXPECT_EQ(SafeFileNamePart(r.lid), r.name);
        item.Lid = r.lid;
        EXPECT_EQ(DumpFileName(L"d\\", item), std::wstring(L"d\\") + r.name + L"_20261209080507.csv");
    }
}

TEST(FileItemRules, ResolveProgramFile) {
    TempFolder dir;
    WriteFileBytes(dir.File(L"here.txt"), "x");
    EXPECT_EQ(ResolveProgramFile(dir.File(L"here.txt"), L"C:\\elsewhere\\"), dir.File(L"here.txt"));
    EXPECT_EQ(ResolveProgramFile(L"here.txt", dir.Path()), dir.Path() + L"here.txt");
    EXPECT_EQ(ResolveProgramFile(L"gone.txt", dir.Path()), L"gone.txt");
    EXPECT_EQ(ResolveProgramFile(L"", dir.Path()), L"");  // the folder itself is no file
}

TEST(FileItemRules, ForceDirectoriesMakesEveryLevel) {
    TempFolder dir;
    const std::wstring deep = dir.File(L"a\\b\\c\\");
    EXPECT_TRUE(ForceDirectories(deep));
    EXPECT_TRUE(PathExists(dir.File(L"a\\b\\c")));
    EXPECT_TRUE(ForceDirectories(deep));  // already there
    WriteFileBytes(dir.File(L"file"), "x");
    EXPECT_FALSE(ForceDirectories(dir.File(L"file\\sub")));  // a file in the way
    RemoveDirectoryW(dir.File(L"a\\b\\c").c_str());
    RemoveDirectoryW(dir.File(L"a\\b").c_str());
    RemoveDirectoryW(dir.File(L"a").c_str());
}

// ---- FILECONTENTS, FILEEXIST, FILE2TEXT -----------------------------------------------------

TEST(FileItems, FileContentsShowsEachLine) {
    LogCapture log;
    TempFolder dir;
    WriteFileBytes(dir.File(L"three.txt"), "one\r\ntwo\nthr\xC3\xA9");
    WriteFileBytes(dir.File(L"ended.txt"), "one\r\n");
    WriteFileBytes(dir.File(L"empty.txt"), "");
    SetVariable(L"fcdir", dir.Dir());
    Collected c = Gather(GetFileContents, OptionsOf({{L"file", L"%fcdir%\\three.txt"}}));
    EXPECT_EQ(c.display, L"one|two|thr\u00E9|");
    EXPECT_TRUE(c.data.Data.empty());
    EXPECT_TRUE(c.data.Names.empty());
    TWideStringArray lines;
    SplitDisplayLine(c.display, lines);
    EXPECT_EQ(lines.size(), 3u);
    EXPECT_EQ(log.Count(L"DATA", L"GetFileContents: one|two|thr\u00E9|"), 1);

    // A line break at the end gives one more, empty, line.
    EXPECT_EQ(Gather(GetFileContents, OptionsOf({{L"file", L"%fcdir%\\ended.txt"}})).display, L"one||");
    EXPECT_EQ(Gather(GetFileContents, OptionsOf({{L"file", L"%fcdir%\\empty.txt"}})).display, L"");
    EXPECT_EQ(Gather(GetFileContents, OptionsOf({{L"file", L"%fcdir%\\missing.txt"}})).display, ErrorText);
}

namespace {

// Text as UTF-16 bytes after the byte-order mark of that order.
std::string Utf16WithMark(const std::wstring& text, bool bigEndian) {
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (const wchar_t c : text) {
        const char high = static_cast<char>(c >> 8), low = static_cast<char>(c & 0xFF);
        bytes += bigEndian ? std::string{high, low} : std::string{low, high};
    }
    return bytes;
}

}  // namespace

// Text files as Windows programs write them: Notepad's "Unicode", PowerShell 5's ">" and
// "reg export" (UTF-16 with its mark), "UTF-8 with BOM", and "echo ... > file" (the 8-bit
// code page).
TEST(FileItems, FileItemsReadTextFilesInEveryWindowsEncoding) {
    LogCapture log;
    TempFolder dir;
    const std::wstring text = L"caf\u00E9 line\r\ncolour=gr\u00FCn\r\n";
    WriteFileBytes(dir.File(L"le.txt"), Utf16WithMark(text, false));
    WriteFileBytes(dir.File(L"be.txt"), Utf16WithMark(text, true));
    WriteFileBytes(dir.File(L"bom.txt"), "\xEF\xBB\xBF" "first=\xC3\xA9t\xC3\xA9\r\nsecond=2\r\n");
    WriteFileBytes(dir.File(L"ansi.txt"), "caf\xE9 line\r\ncolour=gr\xFCn\r\n");
    for (const wchar_t* name : {L"le.txt", L"be.txt"}) {
        const std::wstring path = dir.File(name);
        EXPECT_EQ(Gather(GetFileContents, OptionsOf({{L"file", path.c_str()}})).display, L"caf\u00E9 line|colour=gr\u00FCn||")
            << WideToUtf8(name);
        const Collected c = Gather(GetFile2Text, OptionsOf({{L"file", path.c_str()}, {L"key", L"colour"}}));
        EXPECT_EQ(c.display, L"colour=gr\u00FCn") << WideToUtf8(name);
        EXPECT_EQ(c.data.Data, (TDataArray{{Variant(L"colour"), Variant(L"gr\u00FCn")}})) << WideToUtf8(name);
    }
    EXPECT_EQ(log.Count(L"DATA", L"GetFileContents: caf\u00E9 line|colour=gr\u00FCn||"), 2);
    const std::wstring bom = dir.File(L"bom.txt");
    EXPECT_EQ(Gather(GetFile2Text, OptionsOf({{L"file", bom.c_str()}, {L"key", L"first"}})).display, L"first=\u00E9t\u00E9");
    EXPECT_EQ(Gather(GetFileContents, OptionsOf({{L"file", bom.c_str()}})).display, L"first=\u00E9t\u00E9|second=2||");
    const std::wstring ansi = dir.File(L"ansi.txt");
    EXPECT_EQ(Gather(GetFileContents, OptionsOf({{L"file", ansi.c_str()}})).display,
              AnsiToWide("caf\xE9 line|colour=gr\xFCn||"));
    EXPECT_EQ(Gather(GetFile2Text, OptionsOf({{L"file", ansi.c_str()}, {L"key", L"colour"}})).display,
              AnsiToWide("colour=gr\xFCn"));
    if (GetACP() == 1252)
        EXPECT_EQ(Gather(GetFileContents, OptionsOf({{L"file", ansi.c_str()}})).display, L"caf\u00E9 line|colour=gr\u00FCn||");
}

TEST(FileItems, FileContentsFindsAFileBesideTheProgram) {
    const std::wstring name = L"vistrel-contents-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    const std::wstring beside = ProgramDirectory() + name;
    ASSERT_TRUE(WriteFileBytes(beside, "beside"));
    const std::wstring shown = Gather(GetFileContents, OptionsOf({{L"file", name.c_str()}})).display;
    const std::wstring text = Gather(GetFile2Text, OptionsOf({{L"file", name.c_str()}})).display;
    DeleteFileW(beside.c_str());
    EXPECT_EQ(shown, L"beside|");
    EXPECT_EQ(text, L"");  // found, but no key=value line in it
}

TEST(FileItems, FileExistsTellsAFileFromAFolderOrNothing) {
    TempFolder dir;
    WriteFileBytes(dir.File(L"there.txt"), "x");
    const struct {
        std::wstring path;
        bool exists;
    } rows[] = {{dir.File(L"there.txt"), true}, {dir.File(L"gone.txt"), false}, {dir.Dir(), false}, {L"", false}};
    for (const auto& r : rows) {
        Collected c = Gather(GetFileExists, OptionsOf({{L"file", r.path.c_str()}}));
        EXPECT_EQ(c.data.Names, TWideStringArray{L"exists"});
        ASSERT_EQ(c.data.Data.size(), 1u);
        EXPECT_EQ(c.data.Data[0], TVarArray{Variant(r.exists)}) << r.path;
        EXPECT_EQ(c.display, r.exists ? L"True" : L"False");
    }
}

// A 32-bit program on 64-bit Windows: files named in the system folder are those of the
// native one, also those that exist only there.
TEST(FileItems, FileItemsReadTheNativeSystemFolder) {
    NativeSystemFile text(L"lines.txt", "alpha=1\r\nbeta=2");
    ASSERT_TRUE(text.Made());
    const std::wstring wow64 = SystemFolder() + L"\\wow64.dll";
    for (const std::wstring& path : {wow64, text.Path()}) {
        Collected c = Gather(GetFileExists, OptionsOf({{L"file", path.c_str()}}));
        EXPECT_EQ(c.display, L"True") << testing::PrintToString(path);
    }
    EXPECT_EQ(Gather(GetFileContents, OptionsOf({{L"file", text.Path().c_str()}})).display, L"alpha=1|beta=2|");
    EXPECT_EQ(Gather(GetFile2Text, OptionsOf({{L"file", text.Path().c_str()}, {L"key", L"BETA"}})).display,
              L"beta=2");
}

TEST(FileItems, File2TextMatchesTheKeyIgnoringCaseAndReplacesItsRows) {
    LogCapture log;
    TempFolder dir;
    const std::wstring f = dir.File(L"settings.ini");
    WriteFileBytes(f, "colour=green\r\nsize=10\r\n[section]\r\n");
    const TItemOptionArray options = OptionsOf({{L"file", f.c_str()}, {L"key", L"COLOUR"}});
    Collected c;
    GetFile2Text(options, c.data, c.display);
    GetFile2Text(options, c.data, c.display);  // collected twice: still one row
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0], (TVarArray{Variant(L"colour"), Variant(L"green")}));
    EXPECT_EQ(c.data.Names, (TWideStringArray{L"key", L"value"}));
    EXPECT_EQ(c.display, L"colour=green");

    c = Gather(GetFile2Text, OptionsOf({{L"file", f.c_str()}}));
    EXPECT_EQ(c.data.Data.size(), 2u);
    EXPECT_EQ(c.display, L"colour=green|size=10");
    EXPECT_EQ(log.Count(L"DATA", L"GetFile2Text: colour=green|size=10"), 1);

    Collected missing = Gather(GetFile2Text, OptionsOf({{L"file", dir.File(L"gone.ini").c_str()}}));
    EXPECT_EQ(missing.display, L"");
    EXPECT_TRUE(missing.data.Names.empty());
}

TEST(FileItems, File2TextEmptiesItsRowsWhenTheFileDisappears) {
    TempFolder dir;
    const std::wstring f = dir.File(L"state.ini");
    WriteFileBytes(f, "mode=on\r\nlevel=3\r\n");
    const TItemOptionArray options = OptionsOf({{L"file", f.c_str()}});
    Collected c;
    GetFile2Text(options, c.data, c.display);
    ASSERT_EQ(c.data.Data.size(), 2u);
    ASSERT_TRUE(DeleteFileW(f.c_str()));
    GetFile2Text(options, c.data, c.display);
    EXPECT_EQ(c.display, L"");
    EXPECT_TRUE(c.data.Data.empty());  // nothing stale reaches the CSV file or the thresholds
    WriteFileBytes(f, "mode=off\r\n");
    GetFile2Text(options, c.data, c.display);
    EXPECT_EQ(c.data.Data, (TDataArray{{Variant(L"mode"), Variant(L"off")}}));
}

// ---- DATADUMP -------------------------------------------------------------------------------

class DataDumpTest : public ::testing::Test {
protected:
    void TearDown() override {
        ConfigItems.clear();
        SetCurrentDirectoryW(saved_.c_str());
    }
    TItemOptionArray Options(const wchar_t* dirOption) {
        TItemOptionArray options = OptionsOf({{L"dir", dirOption}});
        SetOption(options, L"config",
                  Variant(static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(&ConfigItems))));
        return options;
    }
    static TConfigItem CollectedItem(const char* keyword, const wchar_t* lid, double when, bool active = true) {
        TConfigItem item;
        item.Keyword = keyword;
        item.Lid = lid;
        item.Active = active;
        item.ItemData.TimeCollected = when;
        item.ItemData.Names = {L"value"};
        item.ItemData.Data = {{Variant(std::int32_t{42})}};
        return item;
    }
    std::wstring saved_ = [] {
        wchar_t buf[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, buf);
        return std::wstring(buf);
    }();
};

// A relative folder lies beside the program, whatever folder the program was started in
// (a screen saver starts in the system folder, where the user may not write).
TEST_F(DataDumpTest, RelativeDirWritesOneFilePerCollectedItemBesideTheProgram) {
    LogCapture log;
    TempFolder current;
    ASSERT_TRUE(SetCurrentDirectoryW(current.Dir().c_str()));
    const std::wstring top = L"vistrel-dumps-" + std::to_wstring(GetCurrentProcessId());
    const auto file = [&](const std::wstring& name) { return ProgramDirectory() + name; };
    const double when = EncodeDateTime(2026, 12, 9, 8, 5, 7, 0);
    ConfigItems = {CollectedItem("UPTIME", L"up", when), CollectedItem("HOST", L"", when),
                   CollectedItem("USER", L"off", when, false), CollectedItem("DATETIME", L"never", 0),
                   CollectedItem("DATADUMP", L"self", when)};
    Collected c;
    GetDataDump(Options((top + L"\\today").c_str()), c.data, c.display);
    EXPECT_FALSE(PathExists(current.File(top))) << "made in the current folder";
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0].at(0), Variant(std::int32_t{2}));
    EXPECT_TRUE(c.data.Data[0].at(1).IsString());
    EXPECT_EQ(c.data.Names, (TWideStringArray{L"items written", L"time written"}));
    EXPECT_EQ(c.display, L"2");
    const std::wstring up = file(top + L"\\today\\up_20261209080507.csv");
    // The item's data as the pipeline's own CSV writer puts it.
    WriteCsv(current.File(L"expected.csv"), ConfigItems[0].ItemData, false);
    const std::string once = ReadFileBytes(current.File(L"expected.csv"));
    ASSERT_FALSE(once.empty());
    EXPECT_EQ(ReadFileBytes(up), once);
    EXPECT_TRUE(PathExists(file(top + L"\\today\\HOST_20261209080507.csv")));
    // Dumped again without a new collection: the same file gets the row once more.
    GetDataDump(Options((top + L"\\today\\").c_str()), c.data, c.display);
    WriteCsv(current.File(L"expected.csv"), ConfigItems[0].ItemData, false);
    EXPECT_EQ(ReadFileBytes(up), ReadFileBytes(current.File(L"expected.csv")));
    EXPECT_EQ(log.Count(L"DATA", L"GetDataDump: 2"), 2);
    DeleteFileW(up.c_str());
    DeleteFileW(current.File(L"expected.csv").c_str());
    DeleteFileW(file(top + L"\\today\\HOST_20261209080507.csv").c_str());
    RemoveDirectoryW(file(top + L"\\today").c_str());
    RemoveDirectoryW(file(top).c_str());
}

TEST_F(DataDumpTest, OneFileThatFailsDoesNotStopTheRest) {
    LogCapture log;
    TempFolder dir;
    const double when = EncodeDateTime(2026, 12, 9, 8, 5, 7, 0);
    // A folder where the second item's file would go: that file cannot be written.
    ASSERT_TRUE(CreateDirectoryW(dir.File(L"blocked_20261209080507.csv").c_str(), nullptr));
    ConfigItems = {CollectedItem("UPTIME", L"badtime", 3.0e6),  // no date: no file name
                   CollectedItem("HOST", L"blocked", when), CollectedItem("USER", L"", when),
                   CollectedItem("DATETIME", L"..\\out", when)};
    Collected c;
    GetDataDump(Options(dir.Dir().c_str()), c.data, c.display);
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0].at(0), Variant(std::int32_t{2}));  // the files written
    EXPECT_EQ(c.display, L"2");
    EXPECT_TRUE(PathExists(dir.File(L"USER_20261209080507.csv")));
    // The id's path separators became part of the name: the file is in the dump folder.
    EXPECT_TRUE(PathExists(dir.File(L".._out_20261209080507.csv")));
    const std::vector<std::wstring> errors = log.At(L"ERROR");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], L"GetDataDump: " + ErrorText + L"Invalid date : badtime");
    EXPECT_EQ(errors[1].rfind(L"GetDataDump: " + ErrorText, 0), 0u);
    EXPECT_NE(errors[1].find(L"blocked_20261209080507.csv"), std::wstring::npos);
    EXPECT_EQ(log.Count(L"DATA", L"GetDataDump: 2"), 1);
    DeleteFileW(dir.File(L"USER_20261209080507.csv").c_str());
    DeleteFileW(dir.File(L".._out_20261209080507.csv").c_str());
    RemoveDirectoryW(dir.File(L"blocked_20261209080507.csv").c_str());
}

TEST_F(DataDumpTest, FolderThatCannotBeMadeIsLoggedAndNothingIsSet) {
    LogCapture log;
    TempFolder dir;
    WriteFileBytes(dir.File(L"blocker"), "x");
    const std::wstring target = dir.File(L"blocker\\sub");
    Collected c;
    GetDataDump(Options(target.c_str()), c.data, c.display);
    EXPECT_EQ(c.display, L"");
    EXPECT_TRUE(c.data.Data.empty());
    EXPECT_EQ(log.Count(L"ERROR", L"DoDataDump: Failed to create directory: " + target + L"\\"), 1);
}

TEST_F(DataDumpTest, EmptyDirOrAForeignItemArrayFails) {
    Collected c;
    EXPECT_THROW(GetDataDump(Options(L""), c.data, c.display), EInOutError);
    TempFolder dir;
    // An address that is not the configured items is never read.
    TItemOptionArray options = OptionsOf({{L"dir", dir.Dir().c_str()}, {L"config", L"12345"}});
    EXPECT_THROW(GetDataDump(options, c.data, c.display), EConvertError);
}

// ---- file watches ---------------------------------------------------------------------------

TEST_F(FileWatchTest, SizeWatchShowsZeroThenTheSizeAndFollowsAChange) {
    LogCapture log;
    const std::wstring f = dir.File(L"size.txt");
    WriteFileBytes(f, "12345");
    TWatchItem w(L"Size", 7, 1, L"size", f);
    EXPECT_EQ(w.Value(), Variant::FromCurrencyCount(0));  // before the first check
    ASSERT_TRUE(ValueBecomes(w, Variant::FromCurrencyCount(5 * 10000)));
    EXPECT_TRUE(w.Changed());
    WriteFileBytes(f, "1234567890");
    ASSERT_TRUE(ValueBecomes(w, Variant::FromCurrencyCount(10 * 10000)));
    EXPECT_GE(log.Count(L"DATA", L"File Notify: [Size] 10"), 1);
    DeleteFileW(f.c_str());
    ASSERT_TRUE(ValueBecomes(w, Variant(NoResultsText)));
}

TEST_F(FileWatchTest, TimeWatchReportsAWriteButNotAnAccessAlone) {
    const std::wstring f = dir.File(L"time.txt");
    WriteFileBytes(f, "x");
    TWatchItem w(L"Time", 8, 1, L"time", f);
    EXPECT_EQ(w.Value(), Variant(NoResultsText));  // no write time before the first check
    ASSERT_TRUE(PumpUntil([&] { return w.Value() != Variant(NoResultsText); }, kWait));
    const std::wstring first = w.Value().ToText();
    EXPECT_EQ(first.rfind(L"W: " + LocalText(WriteTimeOf(f)), 0), 0u) << first;

    const FILETIME access = FileTimeOf(WriteTimeOf(f) + 3600ull * 10000000);
    SetFileTimes(f, &access, nullptr);
    PumpFor(2500);
    EXPECT_EQ(w.Value().ToText(), first);

    const FILETIME write = FileTimeOf(WriteTimeOf(f) + 7200ull * 10000000);
    SetFileTimes(f, nullptr, &write);
    ASSERT_TRUE(PumpUntil([&] { return w.Value().ToText() != first; }, kWait));
    EXPECT_EQ(w.Value().ToText().rfind(L"W: " + LocalText(WriteTimeOf(f)), 0), 0u);
}

TEST_F(FileWatchTest, TextAndVersionWatches) {
    const std::wstring f = dir.File(L"text.txt");
    WriteFileBytes(f, "first line\r\nsecond\r\n");
    TWatchItem text(L"Text", 1, 1, L"Text", f);
    EXPECT_EQ(text.Value(), Variant(L"first line"));  // filled at creation
    const FILETIME later = FileTimeOf(WriteTimeOf(f) + 60ull * 10000000);
    WriteFileBytes(f, "new line\r\n");
    SetFileTimes(f, nullptr, &later);
    ASSERT_TRUE(ValueBecomes(text, Variant(L"new line")));
    WriteFileBytes(f, "");
    ASSERT_TRUE(ValueBecomes(text, Variant(NoResultsText)));  // an empty value shows as no result

    const std::wstring exe = TestBinaryDir() + L"version_fixture.exe";
    TWatchItem version(L"Version", 2, 1, L"version", exe);
    EXPECT_EQ(version.Value(), Variant(GetFileVersionText(exe)));
}

// A driver's version, or any file of the native system folder, watched from a 32-bit
// program on 64-bit Windows.
TEST_F(FileWatchTest, WatchesReachTheNativeSystemFolder) {
    const std::wstring exe = TestBinaryDir() + L"version_fixture.exe";
    const std::string bytes = ReadFileBytes(exe);
    NativeSystemFile copy(L"version.sys", bytes);
    ASSERT_TRUE(copy.Made());
    TWatchItem version(L"Version", 1, 1, L"version", copy.Path());
    EXPECT_EQ(version.Value(), Variant(GetFileVersionText(exe)));
    EXPECT_NE(version.Value(), Variant(NoResultsText));
    TWatchItem size(L"Size", 2, 1, L"size", copy.Path());
    EXPECT_TRUE(ValueBecomes(size, Variant::FromCurrencyCount(static_cast<std::int64_t>(bytes.size()) * 10000)));
}

TEST_F(FileWatchTest, OtherTypeReportsASizeChangeWithItsValueUnchanged) {
    LogCapture log;
    const std::wstring f = dir.File(L"other.txt");
    WriteFileBytes(f, "abc");
    TWatchItem w(L"Other", 3, 1, L"0", f);
    EXPECT_EQ(w.Value(), Variant(NoResultsText));
    ASSERT_TRUE(PumpUntil([&] { return log.Count(L"DATA", L"File Notify: [Other] <n/a>") >= 2; }, kWait));
    const int before = log.Count(L"DATA", L"File Notify: [Other] <n/a>");
    WriteFileBytes(f, "abcdef");
    ASSERT_TRUE(PumpUntil([&] { return log.Count(L"DATA", L"File Notify: [Other] <n/a>") > before; }, kWait));
    EXPECT_EQ(w.Value(), Variant(NoResultsText));
}

TEST_F(FileWatchTest, GetFileWatchReadsTheWatchOfItsItem) {
    LogCapture log;
    const std::wstring a = dir.File(L"a.txt"), b = dir.File(L"b.txt");
    WriteFileBytes(a, "alpha\r\n");
    WriteFileBytes(b, "beta\r\n");
    RebuildFileWatches({{L"A", a, 11, 1, L"text"}, {L"B", b, 22, 1, L"text"}, {L"B2", a, 22, 1, L"text"}});
    ASSERT_EQ(WatchItems->Count(), 3u);

    TItemOptionArray options = OptionsOf({{L"file", b.c_str()}, {L"display", L"[%1] %2"}});
    SetOption(options, L"crc32", Variant(22.0));
    Collected c = Gather(GetFileWatch, options);
    EXPECT_EQ(c.display, L"[" + b + L"] beta");  // the first watch of the item
    EXPECT_EQ(c.data.Names, (TWideStringArray{L"file name", L"data"}));
    EXPECT_EQ(log.Count(L"DATA", L"GetFileWatch: [" + b + L"] beta"), 1);

    TItemOptionArray unknown = OptionsOf({{L"file", b.c_str()}});
    SetOption(unknown, L"crc32", Variant(99.0));
    Collected none = Gather(GetFileWatch, unknown);
    EXPECT_EQ(none.display, L"");
    EXPECT_TRUE(none.data.Data.empty());

    // Rebuilt: the old watches go, the list holds the new ones only.
    RebuildFileWatches({{L"C", a, 33, 1, L"size"}});
    ASSERT_EQ(WatchItems->Count(), 1u);
    EXPECT_EQ(Gather(GetFileWatch, options).display, L"");
}

TEST_F(FileWatchTest, SyncRepointsAWatchWhenItsExpandedFileChanges) {
    const std::wstring a = dir.File(L"a.txt"), b = dir.File(L"b.txt");
    WriteFileBytes(a, "alpha\r\n");
    WriteFileBytes(b, "beta\r\n");
    TConfigItem item;
    item.Keyword = "FILE";
    item.Active = true;
    item.LineCrc = 44;
    item.Interval = 1;
    item.Text = L"Watched";
    item.Options = OptionsOf({{L"file", L"%watchfile%"}, {L"type", L"text"}});
    SetVariable(L"watchfile", a);
    ConfigItems = {item};
    InstallFileWatchHooks();
    SetupWatches();
    ASSERT_EQ(WatchItems->Count(), 1u);
    TWatchItem* w = WatchItems->GetItem(0);
    EXPECT_EQ(w->FileName(), L"%watchfile%");  // made with the option as written
    SyncFileWatches();
    EXPECT_EQ(w->FileName(), a);
    EXPECT_FALSE(w->Changed());
    ASSERT_TRUE(ValueBecomes(*w, Variant(L"alpha")));

    SetVariable(L"watchfile", b);
    SyncFileWatches();
    EXPECT_EQ(w->FileName(), b);
    EXPECT_EQ(w->Notifier().FileName(), b);
    ASSERT_TRUE(ValueBecomes(*w, Variant(L"beta")));
    EXPECT_EQ(WatchItems->GetItem(1), nullptr);
    ConfigItems.clear();
}

namespace {

// Stands in for a file call on a share that went away: a check of a name holding
// "gone-share" does not return until released.
HANDLE shareBack = nullptr;
std::atomic<int> stuckChecks{0};
void StuckOnGoneShare(const std::wstring& Name) {
    if (Name.find(L"gone-share") == std::wstring::npos || !shareBack) return;
    ++stuckChecks;
    WaitForSingleObject(shareBack, 20000);
}

std::atomic<int> servedWhileFreeing{0};
DWORD CountServes() {
    ++servedWhileFreeing;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE)) DispatchMessageW(&msg);
    return QS_PAINT;
}

}  // namespace

// Watches stuck on a share that went away are ended together at a reload: one bound for
// them all, however many there are, and the window is served meanwhile.
TEST_F(FileWatchTest, StuckWatchesAreFreedTogetherWithinOneBound) {
    constexpr int kStuck = 6;
    constexpr DWORD kBound = 1000;
    shareBack = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    stuckChecks = 0;
    servedWhileFreeing = 0;
    TChangeNotify2::BeforeCheck = StuckOnGoneShare;
    TChangeNotify2::StopWaitMs = kBound;
    TChangeNotify2::ServeWhileFreeing = CountServes;
    for (int i = 0; i < kStuck; ++i)
        WatchItems->Add(L"Gone " + std::to_wstring(i), L"\\\\server\\gone-share\\f" + std::to_wstring(i) + L".txt",
                        L"size", 1, static_cast<std::uint32_t>(i));
    ASSERT_TRUE(PumpUntil([] { return stuckChecks == kStuck; }, kWait));
    LogCapture log;
    const DWORD start = GetTickCount();
    WatchItems->Clear();
    const DWORD took = GetTickCount() - start;
    EXPECT_EQ(WatchItems->Count(), 0u);
    EXPECT_LT(took, 3 * kBound) << "the watchers were waited for one after another";
    EXPECT_GE(took + 50, kBound) << "the bound was not waited for";
    EXPECT_GE(servedWhileFreeing.load(), 1) << "the window was not served while they were waited for";
    EXPECT_EQ(log.At(L"WARN").size(), static_cast<std::size_t>(kStuck));
    SetEvent(shareBack);
    // Once their calls return, the threads end and free their watchers.
    PumpFor(500);
    TChangeNotify2::BeforeCheck = nullptr;
    TChangeNotify2::StopWaitMs = 3000;
    TChangeNotify2::ServeWhileFreeing = nullptr;
    CloseHandle(shareBack);
    shareBack = nullptr;
}
