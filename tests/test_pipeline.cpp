#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Errors.h"
#include "Includes.h"
#include "Log.h"
#include "Pipeline.h"
#include "SsExpEval.h"
#include "Templates.h"
#include "Utils.h"
#include "TestFiles.h"

namespace {

// The texts of the log's lines ("LEVEL text"), the time stamp cut off.
std::vector<std::wstring> LogTexts(const std::wstring& path) {
    const std::string bytes = ReadFileBytes(path);
    std::wstring text(bytes.size() / 2, L'\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) | (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    std::vector<std::wstring> lines;
    for (const std::wstring& line : SplitTextLines(text))
        if (line.size() > 22) lines.push_back(line.substr(22));
    return lines;
}

TItemOptionArray MakeOptions(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> pairs) {
    TItemOptionArray options;
    int i = 0;
    for (const auto& p : pairs) options.at(static_cast<std::size_t>(i++)) = {p.first, Variant(p.second)};
    return options;
}

// Gathering routines of the kinds the pipeline meets.
void FillingRoutine(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    SetFieldNames(Data.Names, {L"Name", L"Size"});
    AddDataRow(Data.Data, {Variant(L"disk"), Variant(42)}, false);
    Display = FillDisplayTemplate(GetItemOption(Options, L"display", Variant(L"%1|%2")).ToText(), Data.Data.at(0));
    // The routine's own copy: changes never reach the caller's options.
    SetItemOption(Options, L"display", Variant(L"changed"));
}

void RaisingRoutine(TItemOptionArray, TItemData& Data, std::wstring& Display) {
    AddDataRow(Data.Data, {Variant(1)}, false);
    Display = L"never used";
    throw EConvertError(L"'x' is not a valid integer value");
}

void ExpressionErrorRoutine(TItemOptionArray, TItemData&, std::wstring&) { throw EssExpressionError(L"Value expected"); }

void SilentRoutine(TItemOptionArray, TItemData&, std::wstring&) {}

void RawDisplayRoutine(TItemOptionArray Options, TItemData&, std::wstring& Display) {
    Display = GetItemOption(Options, L"display", Variant(L"")).ToText();
}

class PipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedErrorText_ = ErrorText;
        savedFunctions_ = UserFunctions;
        ErrorText = L"[Error] ";
        UserFunctions.clear();
        UserVariables.Clear();
        log_ = folder_.File(L"test.log");
        savedLevels_ = LogLevels.load();
        LogLevels = 0x01;
        ResetLogState();
        SetLogFileName(log_);
    }
    void TearDown() override {
        SetLogFileName(L"");
        LogLevels = savedLevels_;
        ResetLogState();
        ErrorText = savedErrorText_;
        UserFunctions = savedFunctions_;
        UserVariables.Clear();
    }
    std::vector<std::wstring> Log() const { return LogTexts(log_); }

    TempFolder folder_;
    std::wstring log_;

private:
    std::wstring savedErrorText_;
    std::vector<std::wstring> savedFunctions_;
    std::uint8_t savedLevels_ = 0;
};

// 2024-03-05 14:07:09.250 and its text in the en-US locale.
const double kTime = EncodeDateTime(2024, 3, 5, 14, 7, 9, 250);
const char* const kTimeText = "3/5/2024 2:07:09 PM";

TItemData SampleData() {
    TItemData d;
    d.TimeCollected = kTime;
    d.Names = {L"Name", L"Size"};
    d.Data = {{Variant(L"C:"), Variant(42)}, {Variant(L"D:"), Variant::FromCurrencyCount(125000)}};
    d.Lines = {L"C: 42", L"D: 12.5", L"end"};
    return d;
}

}  // namespace

TEST_F(PipelineTest, FillingRoutineGivesLinesAndTime) {
    TItemOptionArray options = MakeOptions({{L"Display", L"%1 is %2|%2"}});
    TItemData data;
    const double before = NowDateTime();
    ASSERT_TRUE(DoProc(FillingRoutine, options, data));
    const double after = NowDateTime();
    EXPECT_EQ(data.Lines, (TWideStringArray{L"disk is 42", L"42"}));
    EXPECT_EQ(data.Names, (TWideStringArray{L"Name", L"Size"}));
    ASSERT_EQ(data.Data.size(), 1u);
    EXPECT_GE(data.TimeCollected, before);
    EXPECT_LE(data.TimeCollected, after);
    EXPECT_EQ(options[0].Value.Str(), L"%1 is %2|%2");
    EXPECT_TRUE(Log().empty());
}

TEST_F(PipelineTest, RaisingRoutineLogsStepAndKeepsOldLines) {
    TItemData data;
    data.Lines = {L"previous"};
    EXPECT_FALSE(DoProc(RaisingRoutine, TItemOptionArray{}, data));
    EXPECT_EQ(data.Lines, TWideStringArray{L"previous"});
    EXPECT_EQ(data.Data.size(), 1u) << "what the routine set stays";
    EXPECT_GT(data.TimeCollected, 0);
    EXPECT_EQ(Log(), std::vector<std::wstring>{
                         L"ERROR DoProc: [Error] EConvertError 'x' is not a valid integer value Step:run procedure"});
}

TEST_F(PipelineTest, ErrorLinesNameTheClassAndStep) {
    struct Row {
        TGatherProc routine;
        TItemOptionArray options;
        std::wstring expected;
    } rows[] = {
        {ExpressionErrorRoutine, {}, L"ERROR DoProc: [Error] EssExpressionError Value expected Step:run procedure"},
        {RawDisplayRoutine, MakeOptions({{L"display", L"{{ddd:9}}"}}),
         L"ERROR DoProc: [Error] ERangeError Range check error Step:replacevariables"},
        {FillingRoutine, MakeOptions({{L"display", L"%1[dddd]"}}),  // "disk" is no day number
         L"ERROR DoProc: [Error] EConvertError Could not convert variant of type (String) into type (Double) "
         L"Step:run procedure"},
    };
    for (Row& r : rows) {
        DeleteFileW(log_.c_str());
        ResetLogState();
        TItemData data;
        EXPECT_FALSE(DoProc(r.routine, r.options, data));
        EXPECT_EQ(Log(), std::vector<std::wstring>{r.expected});
    }
}

TEST_F(PipelineTest, NonNumericCsvDataTypeFailsAfterTheLinesWereSplit) {
    TItemData data;
    const std::wstring csv = folder_.File(L"never.csv");
    EXPECT_FALSE(DoProc(FillingRoutine, MakeOptions({{L"csv", csv.c_str()}, {L"csvdatatype", L"lines"}}), data));
    EXPECT_EQ(data.Lines, (TWideStringArray{L"disk", L"42"}));
    EXPECT_FALSE(FileExists(csv));
    const std::vector<std::wstring> log = Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind(L"ERROR DoProc: [Error] EConvertError ", 0), 0u) << log[0];
    EXPECT_NE(log[0].find(L" Step:split lines"), std::wstring::npos) << log[0];
}

TEST_F(PipelineTest, SilentRoutineStillSetsTheVariable) {
    TItemData data;
    data.Lines = {L"old"};
    ASSERT_TRUE(DoProc(SilentRoutine, MakeOptions({{L"SET", L"Result"}}), data));
    EXPECT_TRUE(data.Lines.empty());
    Variant v;
    ASSERT_TRUE(UserVariables.Find(L"Result", v));
    EXPECT_EQ(v, Variant(L""));
}

TEST_F(PipelineTest, DisplayIsExpandedThenStoredAndSplit) {
    SetVariable(L"Where", L"{{1+1}} here|there");
    UserFunctions = {L"dbl=%1*2"};
    TItemData data;
    ASSERT_TRUE(DoProc(RawDisplayRoutine, MakeOptions({{L"display", L"%Where%|{{dbl::21}}"}, {L"set", L"Copy"}}), data));
    EXPECT_EQ(data.Lines, (TWideStringArray{L"2 here", L"there", L"42"}));
    Variant v;
    ASSERT_TRUE(UserVariables.Find(L"Copy", v));
    EXPECT_EQ(v.Str(), L"2 here|there|42");
}

TEST_F(PipelineTest, NoDisplayMeansNoExpansion) {
    SetVariable(L"V", L"value");
    TItemData data;
    EXPECT_TRUE(DoProc(SilentRoutine, TItemOptionArray{}, data));
    EXPECT_TRUE(DoProc(nullptr, TItemOptionArray{}, data));
    EXPECT_TRUE(Log().empty());
}

TEST_F(PipelineTest, ResultRows) {
    TDataArray rows;
    AddDataRow(rows, {Variant(1)}, true);
    AddDataRow(rows, {Variant(2), Variant(L"two")}, true);
    AddDataRow(rows, {Variant(3)}, true);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1], (TVarArray{Variant(2), Variant(L"two")}));
    AddDataRow(rows, {Variant(9), Variant(8)}, false);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (TVarArray{Variant(9), Variant(8)}));
    AddDataRow(rows, {}, false);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(rows[0].empty());

    TWideStringArray names{L"a", L"b", L"c"};
    SetFieldNames(names, {L"x"});
    EXPECT_EQ(names, TWideStringArray{L"x"});
    SetFieldNames(names, {});
    EXPECT_TRUE(names.empty());
}

TEST_F(PipelineTest, CsvValuesLayout) {
    const std::wstring path = folder_.File(L"values.csv");
    const std::string t = std::string("\"") + kTimeText + "\"";
    WriteCsv(path, SampleData(), false);
    const std::string once = "\"Time Collected\",\"Name\",\"Size\"\r\n" +
                             t + ",\"C:\",\"42\"\r\n" +
                             t + ",\"D:\",\"12.5\"\r\n";
    EXPECT_EQ(ReadFileBytes(path), once);
    TItemData changed = SampleData();
    changed.Names = {L"Other"};
    changed.Data.resize(1);
    WriteCsv(path, changed, false);
    EXPECT_EQ(ReadFileBytes(path), once + t + ",\"C:\",\"42\"\r\n") << "no second header, even for new names";
}

TEST_F(PipelineTest, CsvLinesLayout) {
    const std::wstring path = folder_.File(L"lines.csv");
    const std::string t = std::string("\"") + kTimeText + "\"";
    WriteCsv(path, SampleData(), true);
    EXPECT_EQ(ReadFileBytes(path), "\"Time Collected\",\"Name\",\"Size\"\r\n" +
                                   t + ",\"C: 42\"\r\n" + t + ",\"D: 12.5\"\r\n" + t + ",\"end\"\r\n");
}

TEST_F(PipelineTest, CsvQuotesAreDoubled) {
    const std::wstring path = folder_.File(L"quotes.csv");
    TItemData d;
    d.TimeCollected = EncodeDateTime(2024, 1, 2, 0, 0, 0, 0);  // midnight: date only
    d.Names = {L"say \"x\""};
    d.Data = {{Variant(L"he said \"hi\", twice"), Variant(), Variant::Null(), Variant(true)}};
    WriteCsv(path, d, false);
    EXPECT_EQ(ReadFileBytes(path), "\"Time Collected\",\"say \"\"x\"\"\"\r\n"
                               "\"1/2/2024\",\"he said \"\"hi\"\", twice\",\"\",\"\",\"True\"\r\n");
}

TEST_F(PipelineTest, CsvNothingToWriteAndBadPaths) {
    TItemData empty;
    empty.TimeCollected = kTime;
    empty.Names = {L"a"};
    const std::wstring path = folder_.File(L"empty.csv");
    WriteCsv(path, empty, false);
    EXPECT_EQ(ReadFileBytes(path), "\"Time Collected\",\"a\"\r\n");
    WriteCsv(path, empty, true);
    EXPECT_EQ(ReadFileBytes(path), "\"Time Collected\",\"a\"\r\n");

    WriteCsv(L"", SampleData(), false);  // no file name: nothing happens
    WriteCsv(folder_.File(L"missing\\x.csv"), SampleData(), false);
    EXPECT_FALSE(FileExists(folder_.File(L"missing\\x.csv")));
}

TEST_F(PipelineTest, UnwritableCsvStillCountsAsSuccess) {
    const std::wstring locked = folder_.File(L"locked.csv");
    HANDLE h = CreateFileW(locked.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const wchar_t* paths[] = {L"missing\\dir\\x.csv", L"locked.csv", L""};
    for (const wchar_t* p : paths) {
        const std::wstring csv = *p ? folder_.File(p) : folder_.File(L"");  // the last one names the folder
        TItemData data;
        EXPECT_TRUE(DoProc(FillingRoutine, MakeOptions({{L"csv", csv.c_str()}}), data)) << csv;
        EXPECT_EQ(data.Lines.size(), 2u);
    }
    CloseHandle(h);
    EXPECT_EQ(ReadFileBytes(locked), "");
    EXPECT_TRUE(Log().empty());
}

TEST_F(PipelineTest, DoProcWritesCsvInBothLayouts) {
    const std::wstring values = folder_.File(L"v.csv");
    const std::wstring lines = folder_.File(L"l.csv");
    TItemData data;
    ASSERT_TRUE(DoProc(FillingRoutine, MakeOptions({{L"csv", values.c_str()}}), data));
    const std::string t = "\"" + WideToAnsi(DateTimeToText(data.TimeCollected)) + "\"";
    EXPECT_EQ(ReadFileBytes(values), "\"Time Collected\",\"Name\",\"Size\"\r\n" + t + ",\"disk\",\"42\"\r\n");
    ASSERT_TRUE(DoProc(FillingRoutine, MakeOptions({{L"display", L"a|b|c"}, {L"CSV", lines.c_str()}, {L"csvdatatype", L"1"}}), data));
    const std::string t2 = "\"" + WideToAnsi(DateTimeToText(data.TimeCollected)) + "\"";
    EXPECT_EQ(ReadFileBytes(lines), "\"Time Collected\",\"Name\",\"Size\"\r\n" + t2 + ",\"a\"\r\n" + t2 + ",\"b\"\r\n" + t2 + ",\"c\"\r\n");
}

// Whatever folder Windows started the program in (a screen saver starts in the system
// folder), a CSV file named without a folder goes beside the program.
TEST_F(PipelineTest, CsvNamedWithoutAFolderGoesBesideTheProgram) {
    wchar_t saved[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(folder_.Dir().c_str()));
    const std::wstring name = L"vistrel-relative-" + std::to_wstring(GetCurrentProcessId()) + L".csv";
    const std::wstring beside = ProgramDirectory() + name;
    TItemData data;
    const bool collected = DoProc(FillingRoutine, MakeOptions({{L"csv", name.c_str()}}), data);
    SetCurrentDirectoryW(saved);
    EXPECT_TRUE(collected);
    EXPECT_FALSE(FileExists(folder_.File(name))) << "written to the current folder";
    EXPECT_TRUE(FileExists(beside));
    DeleteFileW(beside.c_str());
}

TEST_F(PipelineTest, CsvValueTexts) {
    struct Row {
        Variant value;
        const char* expected;
    } rows[] = {
        {Variant(), ""},
        {Variant::Null(), ""},
        {Variant(std::int16_t{-5}), "-5"},
        {Variant(-123456), "-123456"},
        {Variant(std::uint8_t{255}), "255"},
        {Variant(std::int64_t{-9000000000}), "-9000000000"},
        {Variant(true), "True"},
        {Variant(false), "False"},
        {Variant(1.5f), "1.5"},
        {Variant(2.0 / 3.0), "0.666666666666667"},
        {Variant(1e-7), "1E-7"},
        {Variant::FromCurrencyCount(-125000), "-12.5"},
        {Variant::FromDate(kTime), kTimeText},
        {Variant(L"plain \"text\""), "plain \"text\""},
        {Variant(L"caf\u00e9 \u20ac \u2603"), "caf\xe9 \x80 ?"},  // code page 1252; a snowman it cannot hold
    };
    for (const Row& r : rows) EXPECT_EQ(VariantToCsvText(r.value), r.expected) << r.expected;
}
