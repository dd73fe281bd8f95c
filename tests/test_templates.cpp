#include <windows.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "Errors.h"
#include "Includes.h"
#include "Log.h"
#include "Templates.h"
#include "Utils.h"

namespace {

// Captures the log in a file of its own and gives back the texts of its lines.
class LogCapture {
public:
    LogCapture() {
        wchar_t dir[MAX_PATH];
        GetTempPathW(MAX_PATH, dir);
        path_ = std::wstring(dir) + L"vistrel_templates_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                std::to_wstring(++counter_) + L".log";
        DeleteFileW(path_.c_str());
        oldLevels_ = LogLevels.load();
        LogLevels = 0x01;  // every level
        ResetLogState();
        SetLogFileName(path_);
    }
    ~LogCapture() {
        SetLogFileName(L"");
        LogLevels = oldLevels_;
        ResetLogState();
        DeleteFileW(path_.c_str());
    }
    // "LEVEL text" of every line, the time stamp cut off.
    std::vector<std::wstring> Lines() const {
        std::vector<std::wstring> lines;
        HANDLE h = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return lines;
        std::wstring text;
        wchar_t buf[4096];
        DWORD got = 0;
        while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) text.append(buf, got / sizeof(wchar_t));
        CloseHandle(h);
        for (const std::wstring& line : SplitTextLines(text)) {
            if (line.size() > 22) lines.push_back(line.substr(22));
        }
        return lines;
    }

private:
    static inline int counter_ = 0;
    std::wstring path_;
    std::uint8_t oldLevels_ = 0;
};

// Sets the shared texts and lists these tests depend on, and restores them.
class TemplatesTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedErrorText_ = ErrorText;
        savedFunctions_ = UserFunctions;
        ErrorText = L"[Error] ";
        UserFunctions.clear();
        UserVariables.Clear();
    }
    void TearDown() override {
        ErrorText = savedErrorText_;
        UserFunctions = savedFunctions_;
        UserVariables.Clear();
    }

private:
    std::wstring savedErrorText_;
    std::vector<std::wstring> savedFunctions_;
};

// Runs f on a worker thread and reports whether it came back; a hang is the fault these
// tests look for, so the limit is generous and no time is measured.
bool Ends(std::function<void()> f) {
    // Runs f on a thread of its own and waits a generous bound for it: a hang is the
    // fault, not a slow run. The platform wait is used since the test must not depend
    // on the runtime's condition variables.
    struct Job {
        std::function<void()> fn;
        std::exception_ptr error;
    };
    struct Runner {
        static DWORD WINAPI Run(void* p) {
            auto* j = static_cast<Job*>(p);
            try {
                j->fn();
            } catch (...) {
                j->error = std::current_exception();
            }
            return 0;
        }
    };
    auto* job = new Job{std::move(f), nullptr};
    HANDLE thread = CreateThread(nullptr, 0, Runner::Run, job, 0, nullptr);
    if (!thread) return false;
    const bool ended = WaitForSingleObject(thread, 60000) == WAIT_OBJECT_0;
    CloseHandle(thread);
    if (!ended) return false;  // the job stays allocated: its thread may still use it
    std::unique_ptr<Job> owned(job);
    if (owned->error) std::rethrow_exception(owned->error);
    return true;
}

std::wstring Fill(const std::wstring& tmpl, const TVarArray& row) { return FillDisplayTemplate(tmpl, row); }

std::wstring Text(const Variant& v) { return v.ToText(); }

}  // namespace

TEST_F(TemplatesTest, GetItemOptionIgnoresCaseAndFallsBackToDefault) {
    TItemOptionArray options;
    options[0] = {L"interval", Variant(L"5")};
    options[1] = {L"display", Variant(L"%1 days")};
    options[2] = {L"Set", Variant(L"v")};
    EXPECT_EQ(GetItemOption(options, L"Display", Variant(L"")).Str(), L"%1 days");
    EXPECT_EQ(GetItemOption(options, L"SET", Variant(L"")).Str(), L"v");
    EXPECT_EQ(GetItemOption(options, L"csv", Variant(L"none")).Str(), L"none");
    EXPECT_EQ(GetItemOption(options, L"", Variant(7)).ToInt32(), 7) << "free slots are no options";
}

TEST_F(TemplatesTest, SetItemOptionChangesOnlyAPresentOption) {
    TItemOptionArray options;
    options[0] = {L"Chart", Variant(L"1")};
    SetItemOption(options, L"chart", Variant(L"2"));
    EXPECT_EQ(options[0].Value.Str(), L"2");
    EXPECT_EQ(options[0].Name, L"Chart");
    SetItemOption(options, L"absent", Variant(L"3"));
    for (int i = 1; i < kItemOptionCount; ++i) EXPECT_TRUE(options[i].Name.empty() && options[i].Value.IsEmpty());
}

TEST_F(TemplatesTest, TemplatePlaceholdersHighestNumberFirst) {
    TVarArray ten;
    for (wchar_t c = L'A'; c <= L'J'; ++c) ten.push_back(Variant(std::wstring(1, c)));
    EXPECT_EQ(Fill(L"%1 of %2 (%10)", ten), L"A of B (J)");
    EXPECT_EQ(Fill(L"%1 of %2 (%10)", {Variant(L"A"), Variant(L"B")}), L"A of B (A0)");
    TVarArray twelve = ten;
    twelve.push_back(Variant(L"K"));
    twelve.push_back(Variant(L"L"));
    EXPECT_EQ(Fill(L"%12 %11 %1", twelve), L"L K A");
    EXPECT_EQ(Fill(L"%1 and %1", {Variant(L"x")}), L"x and x");
    EXPECT_EQ(Fill(L"%3 stays", {Variant(L"x")}), L"%3 stays");
    EXPECT_EQ(Fill(L"%1", {}), L"%1");
}

TEST_F(TemplatesTest, TemplateValueTexts) {
    struct Row {
        Variant value;
        const wchar_t* expected;
    } rows[] = {
        {Variant(std::int32_t{-42}), L"-42"},
        {Variant(std::int16_t{7}), L"7"},
        {Variant(std::uint8_t{200}), L"200"},
        {Variant(std::int64_t{1} << 40), L"1099511627776"},
        {Variant(1.5), L"1.5"},
        {Variant(0.1), L"0.1"},
        {Variant(1.0 / 3.0), L"0.333333333333333"},
        {Variant::FromCurrencyCount(35000), L"3.5"},
        {Variant::FromCurrencyCount(3333), L"0.3333"},
        {Variant(true), L"True"},
        {Variant(false), L"False"},
        {Variant(), L""},
        {Variant::Null(), L""},
        {Variant::FromDate(EncodeDateTime(2024, 3, 5, 14, 7, 9, 0)), L"3/5/2024 2:07:09 PM"},
        {Variant::FromDate(EncodeDateTime(2024, 3, 5, 0, 0, 0, 0)), L"3/5/2024"},
    };
    for (const Row& r : rows) EXPECT_EQ(Fill(L"[%1]", {r.value}), std::wstring(L"[") + r.expected + L"]");
}

TEST_F(TemplatesTest, TemplateFormatCodes) {
    struct Row {
        const wchar_t* tmpl;
        TVarArray values;
        const wchar_t* expected;
    } rows[] = {
        {L"%1[2.0d]:%2[2.0d] %1[2.0p]", {Variant(7), Variant(5)}, L"07:05 am"},
        {L"%1[2.0a]", {Variant(0)}, L"12"},
        {L"%1[2.0a]", {Variant(13)}, L"01"},
        {L"%1[2.0a]", {Variant(24)}, L"12"},
        {L"%1[2.0a]", {Variant(11)}, L"11"},
        {L"%1[1.0p]", {Variant(12)}, L"pm"},
        {L"%1[1.0p]", {Variant(25)}, L"am"},
        {L"%1[1.0P]", {Variant(11)}, L"AM"},
        {L"%1[1.0P]", {Variant(24)}, L"PM"},
        {L"%1[1.1b]", {Variant(1536)}, L"1.5Ki"},
        {L"%1[1.1b]", {Variant(512)}, L"512.0"},
        {L"%1[1.1b]", {Variant::FromCurrency(3758096384.0)}, L"3.5Gi"},
        {L"%1[1.1b]", {Variant(1099511627776.0 * 2)}, L"2.0Ti"},
        {L"%1[1.2G]", {Variant(2500000000.0)}, L"2.50"},
        {L"%1[1.1B]", {Variant(2500)}, L"2.5K"},
        {L"%1[1.1B]", {Variant(999)}, L"999.0"},
        {L"%1[1.1k]", {Variant(L"2048")}, L"2048"},
        {L"%1[1.1m]", {Variant(1572864)}, L"1.5"},
        {L"%1[8.8x]", {Variant(255)}, L"000000FF"},
        {L"%1[1.2n]", {Variant(12345.678)}, L"12,345.68"},
        {L"%1[ddd]", {Variant(1)}, L"Sun"},
        {L"%1[b:Yes:No] %2[b:Yes:No] %3[b:Yes:No]", {Variant(true), Variant(1), Variant(L"1")}, L"Yes Yes Yes"},
        {L"%1[b:Yes:No] %2[b:Yes:No] %3[b:Yes:No]", {Variant(0), Variant(2), Variant(false)}, L"No No No"},
        {L"%1[b:Yes]", {Variant(1)}, L"1"},
        {L"%1[bit:4:On:Off] %2[bit:4:On:Off]", {Variant(6), Variant(4)}, L"On On"},
        {L"%1[bit:4:On:Off] %2[bit:4:On:Off]", {Variant(3), Variant(0)}, L"Off Off"},
        {L"%1[bit:0:On:Off] %2[bit:4:On]", {Variant(6), Variant(6)}, L"6 6"},
        {L"%1[10.2f]", {Variant(1.5)}, L"1.5"},
        {L"%1[]", {Variant(7)}, L"7"},
        {L"%1[2.0d]%1[2.0d]", {Variant(3)}, L"0303"},
    };
    for (const Row& r : rows) EXPECT_EQ(Fill(r.tmpl, r.values), r.expected) << r.tmpl;
}

TEST_F(TemplatesTest, TemplateRangeErrorReachesTheCaller) {
    EXPECT_THROW(Fill(L"%1[ddd]", {Variant(8)}), ERangeError);
    EXPECT_THROW(Fill(L"%1[mmm]", {Variant(0)}), ERangeError);
}

// The template cases that would repeat without end if the search began again at the
// start of the text each time.
TEST_F(TemplatesTest, EveryTemplateEnds) {
    struct Row {
        const wchar_t* tmpl;
        TVarArray values;
        const wchar_t* expected;
    } rows[] = {
        {L"<%1>", {Variant(L"%1")}, L"<%1>"},
        {L"%1 %1", {Variant(L"%1%1")}, L"%1%1 %1%1"},
        {L"%2", {Variant(L"A"), Variant(L"%2")}, L"%2"},
        {L"%2", {Variant(L"A"), Variant(L"%1")}, L"A"},  // a lower placeholder in a value is filled
        {L"x%1[", {Variant(5)}, L"x5["},
        {L"%1[2.0d", {Variant(5)}, L"5[2.0d"},
        {L"%1[2.0d %1", {Variant(5)}, L"5[2.0d 5"},
        {L"%1[b:%1:no]", {Variant(1)}, L"%1"},
    };
    for (const Row& r : rows) {
        std::wstring got;
        ASSERT_TRUE(Ends([&] { got = Fill(r.tmpl, r.values); })) << r.tmpl;
        EXPECT_EQ(got, r.expected) << r.tmpl;
    }
}

TEST_F(TemplatesTest, FormatCodesByRule) {
    struct Row {
        const char* code;
        Variant value;
        const wchar_t* expected;
    } rows[] = {
        {"2.0d", Variant(7), L"07"},
        {"5.2d", Variant(7), L"00007"},
        {"1.0d", Variant(-7), L"-7"},
        {"3.0d", Variant(-7), L"-007"},
        {"2.0d", Variant(7.6), L"08"},
        {"2.0d", Variant(L"12"), L"12"},
        {"4.1x", Variant(255), L"00FF"},
        {"1.0x", Variant(-1), L"FFFFFFFF"},
        {"1.1f", Variant(3.14159), L"3.1"},
        {"5.1f", Variant(3.14159), L"  3.1"},
        {"1.0f", Variant(2.4), L"2"},
        {"1.2f", Variant(0.125), L"0.13"},
        {"1.3f", Variant(-1.5), L"-1.500"},
        {"1.1f", Variant(L"2.25"), L"2.3"},
        {"9.0n", Variant(1234567.0), L"1,234,567"},
        {"1.2n", Variant(-999.5), L"-999.50"},
        {"1.2f", Variant(1e20), L"1E20"},
        {"1.1k", Variant(1536), L"1.5"},
        {"1.1g", Variant(1073741824.0), L"1.0"},
        {"1.1t", Variant::FromCurrency(1099511627776.0), L"1.0"},
        {"1.3K", Variant(1234), L"1.234"},
        {"1.1M", Variant(2500000), L"2.5"},
        {"1.1T", Variant(3e12), L"3.0"},
        {"1.1B", Variant(2.5e9), L"2.5G"},
        {"1.1B", Variant(4e12), L"4.0T"},
        {"1.1B", Variant(-5000), L"-5000.0"},
        {"1.1b", Variant(std::int16_t{1024}), L"1.0Ki"},
        {"1.1b", Variant(std::uint8_t{100}), L"100.0"},
        {"1.1b", Variant(3145728.0f), L"3.0Mi"},
        {"yy", Variant(2024), L"24"},
        {"yyyy", Variant(2024), L"2024"},
        {"yyyy", Variant(5), L"   5"},
        {"dddd", Variant(7), L"Saturday"},
        {"ddd", Variant(2), L"Mon"},
        {"mmm", Variant(1), L"Jan"},
        {"mmmm", Variant(12), L"December"},
        {"B:Yes:No", Variant(1), L"Yes"},
        {"b:Yes:No:Maybe", Variant(0), L"No:Maybe"},
        {"b::empty", Variant(1.0), L""},
        {"b:Yes:No", Variant(L" 1 "), L"Yes"},
        {"b:Yes:No", Variant(L"1.0"), L"Yes"},
        {"b:Yes:No", Variant(), L"No"},
        {"b:Yes:No", Variant::Null(), L"No"},
        {"b:Yes:No", Variant::FromCurrencyCount(10000), L"Yes"},
        {"BIT:1:odd:even", Variant(7), L"odd"},
        {"bit:1:odd:even:more", Variant(8), L"even"},
        {"bit:2:On:Off", Variant(true), L"On"},
        {"bit:2:On:Off", Variant(6.9), L"On"},
    };
    for (const Row& r : rows) EXPECT_EQ(Text(FormatDisplayValue(r.code, r.value)), r.expected) << r.code;
}

TEST_F(TemplatesTest, CodesThatLeaveTheValueUnchanged) {
    struct Row {
        const char* code;
        Variant value;
    } rows[] = {
        {"10.2f", Variant(1.5)},                 // longer than four characters
        {"", Variant(1.5)},
        {"abcz", Variant(3)},                    // no rule for the letter
        {"1.1k", Variant(L"2048")},              // a number held as text does not scale
        {"1.1b", Variant(std::int64_t{4096})},   // nor does a 64-bit integer
        {"1.1K", Variant::FromDate(2.0)},
        {"b:Yes", Variant(1)},
        {"bit:0:On:Off", Variant(6)},
        {"bit:4:On", Variant(6)},
        {"bit:4::Off", Variant(6)},
        {"bit:x:On:Off", Variant(6)},
        {"bit:4:On:Off", Variant(L"6")},         // text is not a numeric kind
        {"bit:4:On:Off", Variant(std::int64_t{6})},
    };
    for (const Row& r : rows) EXPECT_EQ(FormatDisplayValue(r.code, r.value), r.value) << r.code;
}

// Codes are configuration text: anything the formatter does not understand is an error
// of its own, never text handed to printf (where "%n" would write memory).
TEST_F(TemplatesTest, MalformedNumberCodesRaise) {
    const char* codes[] = {"%n%n", "2x2f", "a.1f", "1.af", "-.-d", "%s%d", "*.*f", "1:2n"};
    for (const char* code : codes) EXPECT_THROW(FormatDisplayValue(code, Variant(1.5)), EConvertError) << code;
    EXPECT_THROW(FormatDisplayValue("2.0d", Variant(L"abc")), EConvertError);
    EXPECT_THROW(FormatDisplayValue("1.1f", Variant(L"abc")), EConvertError);
    EXPECT_THROW(FormatDisplayValue("dddd", Variant(0)), ERangeError);
    EXPECT_THROW(FormatDisplayValue("mmmm", Variant(13)), ERangeError);
}

TEST_F(TemplatesTest, BooleanAndBitCodeTextsKeepEveryScript) {
    struct Row {
        const wchar_t* tmpl;
        Variant value;
        const wchar_t* expected;
    } rows[] = {
        {L"%1[b:\u039d\u03b1\u03b9:\u038c\u03c7\u03b9]", Variant(true), L"\u039d\u03b1\u03b9"},      // Greek
        {L"%1[b:\u039d\u03b1\u03b9:\u038c\u03c7\u03b9]", Variant(false), L"\u038c\u03c7\u03b9"},
        {L"%1[bit:4:\u0412\u043a\u043b:\u0412\u044b\u043a\u043b]", Variant(5), L"\u0412\u043a\u043b"},  // Cyrillic
        {L"%1[BIT:2:\u2714:\u2718]", Variant(5), L"\u2718"},                                               // symbols
        {L"%1[b:\u4e2d:\u65e0]", Variant(1), L"\u4e2d"},
    };
    for (const Row& r : rows) EXPECT_EQ(FillDisplayTemplate(r.tmpl, {r.value}), r.expected) << WideToUtf8(r.tmpl);
}

TEST_F(TemplatesTest, BooleanAndBitCodeErrorsGiveTheErrorText) {
    LogCapture log;
    // Text that is no number is not ordered against 1: it is an error.
    EXPECT_EQ(Text(FormatDisplayValue("b:Yes:No", Variant(L"abc"))), L"[Error] ");
    EXPECT_EQ(Text(FormatDisplayValue("b:Yes:No", Variant(L""))), L"[Error] ");
    // A value beyond 32 bits.
    EXPECT_EQ(Text(FormatDisplayValue("bit:4:On:Off", Variant(5e9))), L"[Error] ");
    const std::vector<std::wstring> expected(3, L"ERROR FormatDisplayValue: [Error] ");
    EXPECT_EQ(log.Lines(), expected);
}

TEST_F(TemplatesTest, IsNumericVariantByKind) {
    EXPECT_TRUE(IsNumericVariant(Variant(std::int16_t{1})));
    EXPECT_TRUE(IsNumericVariant(Variant(1)));
    EXPECT_TRUE(IsNumericVariant(Variant(1.0f)));
    EXPECT_TRUE(IsNumericVariant(Variant(1.0)));
    EXPECT_TRUE(IsNumericVariant(Variant::FromCurrencyCount(1)));
    EXPECT_TRUE(IsNumericVariant(Variant(true)));
    EXPECT_TRUE(IsNumericVariant(Variant(std::uint8_t{1})));
    EXPECT_FALSE(IsNumericVariant(Variant(std::int64_t{1})));
    EXPECT_FALSE(IsNumericVariant(Variant::FromDate(1)));
    EXPECT_FALSE(IsNumericVariant(Variant(L"1")));
    EXPECT_FALSE(IsNumericVariant(Variant()));
    EXPECT_FALSE(IsNumericVariant(Variant::Null()));
}

TEST_F(TemplatesTest, SetVariableKeepsFirstCaseAndOrder) {
    SetVariable(L"Name", L"one");
    SetVariable(L"name", L"two");  // names differ under exact comparison
    SetVariable(L"Name", L"three");
    const std::vector<TUserVariable> vars = UserVariables.Snapshot();
    ASSERT_EQ(vars.size(), 2u);
    EXPECT_EQ(vars[0].Name, L"Name");
    EXPECT_EQ(vars[0].Value, Variant(L"three"));
    EXPECT_EQ(vars[1].Name, L"name");
    EXPECT_EQ(vars[1].Value, Variant(L"two"));
    Variant v;
    EXPECT_TRUE(UserVariables.Find(L"name", v));
    EXPECT_EQ(v.Str(), L"two");
    EXPECT_FALSE(UserVariables.Find(L"NAME", v));
}

TEST_F(TemplatesTest, ExpandVariables) {
    EXPECT_EQ(ExpandVariables(L"%Name%"), L"%Name%") << "no variables";
    SetVariable(L"Name", L"Bob");
    SetVariable(L"Sum", L"{{2+3}}");
    SetVariable(L"Outer", L"<%Inner%>");
    SetVariable(L"Inner", L"in");
    SetVariable(L"Later", L"%Name%!");
    struct Row {
        const wchar_t* text;
        const wchar_t* expected;
    } rows[] = {
        {L"%Name% and %NAME%", L"Bob and Bob"},
        {L"only %NAME%", L"only %NAME%"},
        {L"%Sum%", L"5"},
        {L"%Outer%", L"<in>"},
        {L"%Later%", L"Bob!"},
        {L"%nosuch% %Name%", L"%nosuch% Bob"},
        {L"100%", L"100%"},
        {L"", L""},
    };
    for (const Row& r : rows) EXPECT_EQ(ExpandVariables(r.text), r.expected) << r.text;
}

TEST_F(TemplatesTest, VariableChainsWithinTheNestingDepthResolve) {
    // Listed last to first, so each value is met only through the one before it.
    for (int i = 6; i >= 1; --i) SetVariable(L"C" + std::to_wstring(i), i == 6 ? L"end" : L"%C" + std::to_wstring(i + 1) + L"%.");
    EXPECT_EQ(ExpandVariables(L"%C1%"), L"end.....");
}

namespace {

// A text as "<literal part><one reference left>": the part before the last "%name%" and
// that reference; the reference is empty when the text does not end in one.
std::pair<std::wstring, std::wstring> LiteralAndReferenceLeft(const std::wstring& text) {
    if (text.size() < 2 || text.back() != L'%') return {text, L""};
    const std::size_t open = text.rfind(L'%', text.size() - 2);
    if (open == std::wstring::npos) return {text, L""};
    return {text.substr(0, open), text.substr(open)};
}

bool RepeatsOf(const std::wstring& text, const std::wstring& unit) {
    if (text.empty() || text.size() % unit.size() != 0) return false;
    for (std::size_t at = 0; at < text.size(); at += unit.size())
        if (text.compare(at, unit.size(), unit) != 0) return false;
    return true;
}

}  // namespace

TEST_F(TemplatesTest, SelfReferringVariablesEnd) {
    SetVariable(L"Self", L"%Self%");
    SetVariable(L"Grow", L"a%GROW%");
    SetVariable(L"GROW", L"b%Grow%");
    SetVariable(L"Ping", L"%Pong%");
    SetVariable(L"Pong", L"%Ping%");
    SetVariable(L"Wide", L"%Wide%%Wide%%Wide%%Wide%%Wide%%Wide%%Wide%%Wide%%Wide%%Wide%");
    const wchar_t* texts[] = {L"%Self%", L"%Grow%", L"%grow%", L"%GROW% %Grow%", L"%Ping% %Pong%", L"%Wide%"};
    std::map<std::wstring, std::wstring> got;
    for (const wchar_t* text : texts) ASSERT_TRUE(Ends([&] { got[text] = ExpandVariables(text); })) << text;

    // A variable that is its own value stays a reference to itself.
    EXPECT_EQ(got[L"%Self%"], L"%Self%");
    // No variable is named in this letter case: nothing to expand.
    EXPECT_EQ(got[L"%grow%"], L"%grow%");
    // Two variables that name each other: each value is expanded within the nesting
    // bound, so the text holds their letters in turn and ends with one reference left.
    const auto [letters, left] = LiteralAndReferenceLeft(got[L"%Grow%"]);
    EXPECT_TRUE(RepeatsOf(letters, L"ab")) << got[L"%Grow%"];
    EXPECT_GE(letters.size(), 2u * kMaxVariableNesting);
    EXPECT_LT(letters.size(), 4096u) << "the nested expansions are bounded";
    EXPECT_TRUE(left == L"%Grow%" || left == L"%GROW%") << left;
    // Once "%Grow%" is found, its expansion replaces the reference in every letter case.
    EXPECT_EQ(got[L"%GROW% %Grow%"], got[L"%Grow%"] + L" " + got[L"%Grow%"]);
    // Variables whose values are only each other's reference leave references only.
    const std::wstring pingPong = got[L"%Ping% %Pong%"];
    EXPECT_TRUE(pingPong == L"%Ping% %Ping%" || pingPong == L"%Ping% %Pong%" || pingPong == L"%Pong% %Ping%" ||
                pingPong == L"%Pong% %Pong%")
        << WideToUtf8(pingPong);
    // A value that would multiply the text past its bound leaves the text as it was.
    EXPECT_EQ(got[L"%Wide%"], L"%Wide%");
}

TEST_F(TemplatesTest, VariablesUsedFromTwoThreads) {
    // The writer gives V1 the values 1, 51, 101, ..., 1951 in turn. A reader sees the
    // reference before the first write and afterwards only whole values the writer set,
    // never an older one after a newer.
    std::thread writer([] {
        for (int i = 0; i < 2000; ++i) SetVariable(L"V" + std::to_wstring(i % 50), std::to_wstring(i));
    });
    long last = 0;
    for (int i = 0; i < 500; ++i) {
        const std::wstring got = ExpandVariables(L"%V1%");
        if (got == L"%V1%") {
            EXPECT_EQ(last, 0) << "the reference came back after a value";
            continue;
        }
        wchar_t* end = nullptr;
        const long value = std::wcstol(got.c_str(), &end, 10);
        ASSERT_TRUE(!got.empty() && *end == L'\0') << "not a whole value: " << WideToUtf8(got);
        EXPECT_EQ(value % 50, 1) << value;
        EXPECT_GE(value, last) << "an older value after a newer one";
        EXPECT_LE(value, 1951);
        last = value;
    }
    writer.join();
    EXPECT_EQ(UserVariables.Count(), 50u);
    EXPECT_EQ(ExpandVariables(L"%V49%"), L"1999");
    EXPECT_EQ(ExpandVariables(L"%V1%"), L"1951");
}

TEST_F(TemplatesTest, UserFunctionCalls) {
    UserFunctions = {L"avg=(%1+%2)/2", L"sq=%1*%1", L"inc= %1+1", L"half=%1/2", L"empty=", L"AvG=99"};
    struct Row {
        const wchar_t* text;
        const wchar_t* expected;
    } rows[] = {
        {L"{{2*3.5}}", L"7"},
        {L"{{1.2f:1/3}}", L"0.33"},
        {L"{{1/3}}", L"0.3333"},
        {L"{{2/3}}", L"0.6667"},
        {L"{{avg::3:4}}", L"3.5"},
        {L"{{avg:1.1f:3:4}}", L"3.5"},
        {L"{{AVG::3:4}}", L"3.5"},
        {L"{{half:2.0d:7}}", L"04"},
        {L"a {{1+1}} b {{half::5}} c", L"a 2 b 2.5 c"},
        {L"{{2+3", L"{{2+3"},
        {L"{{2+3 {{1+1}}", L"[Error] "},  // calls do not nest: the inner text is "2+3 {{1+1"
        {L"x }} {{4}}", L"x }} 4"},
        {L"{{7}}}", L"7}"},
        {L"{{nosuch::1}}", L"[Error] "},
        {L"{{empty::1}}", L"[Error] "},
        {L"{{sq::3}}", L"[Error] "},
        {L"{{avg:1.1f}}", L"[Error] "},  // one colon: format "avg", expression "1.1f"
    };
    for (const Row& r : rows) EXPECT_EQ(ExpandUserFunctions(r.text), r.expected) << r.text;
}

TEST_F(TemplatesTest, UserFunctionErrorsAndTheirLogLines) {
    UserFunctions = {L"inc= %1+1"};
    struct Row {
        const wchar_t* text;
        bool logged;
    } rows[] = {
        {L"{{nosuch::1}}", false},
        {L"{{1/0}}", true},
        {L"{{}}", true},
        {L"{{1+}}", true},
        {L"{{foo(}}", true},
        {L"{{inc::3}}", true},  // a blank before the first token
    };
    for (const Row& r : rows) {
        LogCapture log;
        EXPECT_EQ(ExpandUserFunctions(r.text), L"[Error] ") << r.text;
        const std::vector<std::wstring> expected =
            r.logged ? std::vector<std::wstring>{L"ERROR EvaluateUserFunction: [Error] "} : std::vector<std::wstring>{};
        EXPECT_EQ(log.Lines(), expected) << r.text;
    }
}

// An error text that holds a call, or a result that does, is not evaluated again.
TEST_F(TemplatesTest, ExpansionOfCallsEnds) {
    ErrorText = L"{{1+}} ";
    std::wstring got;
    ASSERT_TRUE(Ends([&] { got = ExpandUserFunctions(L"{{1+}}|{{2}}"); }));
    EXPECT_EQ(got, L"{{1+}} |2");
    ErrorText = L"{{";
    ASSERT_TRUE(Ends([&] { got = ExpandUserFunctions(L"{{1+}}}}"); }));
    EXPECT_EQ(got, L"{{}}");
    SetVariable(L"Loop", L"{{1+}}");
    ErrorText = L"%Loop%";
    ASSERT_TRUE(Ends([&] { got = ExpandVariables(L"%Loop%"); }));
    EXPECT_EQ(got, L"%Loop%");
}

TEST_F(TemplatesTest, EmptyResultGivesTheInnerText) {
    ErrorText = L"";
    EXPECT_EQ(ExpandUserFunctions(L"<{{1+}}>"), L"<1+>");
    EXPECT_EQ(CallUserFunction(L"nosuch::1"), L"nosuch::1");
}

TEST_F(TemplatesTest, FormatErrorsOfCallsReachTheCaller) {
    EXPECT_THROW(ExpandUserFunctions(L"{{ddd:9}}"), ERangeError);
}

TEST_F(TemplatesTest, ExtractTokenSteps) {
    std::size_t pos = 0;
    const std::wstring text = L"avg::3:4";
    EXPECT_EQ(ExtractToken(text, pos), L"avg");
    EXPECT_EQ(pos, 4u);
    EXPECT_EQ(ExtractToken(text, pos), L"");
    EXPECT_EQ(pos, 5u);
    EXPECT_EQ(ExtractToken(text, pos), L"3");
    EXPECT_EQ(ExtractToken(text, pos), L"4");
    EXPECT_EQ(pos, text.size() + 1);
    EXPECT_EQ(ExtractToken(text, pos), L"");
    EXPECT_EQ(pos, text.size() + 1);
    pos = 0;
    EXPECT_EQ(ExtractToken(L"", pos), L"");
    EXPECT_EQ(pos, 1u);
}

TEST_F(TemplatesTest, EvaluateUserFunctionArguments) {
    UserFunctions = {L"f=%1-%2", L"twelve=%12+%1"};
    EXPECT_EQ(EvaluateUserFunction(L"f", "", {L"10", L"4"}), L"6");
    EXPECT_EQ(EvaluateUserFunction(L"F", "1.1f", {L"10", L"4"}), L"6.0");
    std::vector<std::wstring> args;
    for (int i = 1; i <= 12; ++i) args.push_back(std::to_wstring(i * 10));
    EXPECT_EQ(EvaluateUserFunction(L"twelve", "", args), L"130");
    EXPECT_EQ(EvaluateUserFunction(L"", "", {L"(1+2)*3"}), L"9");
    EXPECT_EQ(EvaluateUserFunction(L"f", "", {}), L"[Error] ");
}

TEST_F(TemplatesTest, SplitDisplayLineTable) {
    struct Row {
        const wchar_t* text;
        TWideStringArray lines;
    } rows[] = {
        {L"a|b|", {L"a", L"b"}},
        {L"", {}},
        {L"a||b", {L"a", L"", L"b"}},
        {L"a|", {L"a"}},
        {L"|a", {L"", L"a"}},
        {L"|", {L""}},
        {L"abc", {L"abc"}},
        {L"a|b|c", {L"a", L"b", L"c"}},
    };
    for (const Row& r : rows) {
        TWideStringArray lines{L"old"};
        SplitDisplayLine(r.text, lines);
        EXPECT_EQ(lines, r.lines) << r.text;
    }
}

namespace {

// The user's number format for a test's lifetime; the system's own again afterwards.
class NumberFormatFor {
public:
    NumberFormatFor(wchar_t decimal, wchar_t thousand) {
        NumberFormat f;
        f.DecimalSeparator = decimal;
        f.ThousandSeparator = thousand;
        SetLocaleNumberFormat(f);
    }
    ~NumberFormatFor() { RefreshLocaleNumberFormat(); }
};

}  // namespace

TEST_F(TemplatesTest, NumbersInTheUsersFormatGoIntoTheEvaluatorInItsNotation) {
    const struct {
        const wchar_t* text;
        wchar_t decimal;
        const wchar_t* expected;
    } rows[] = {
        {L"2,5", L',', L"2.5"},
        {L"-0,25", L',', L"-0.25"},
        {L" 12,75 ", L',', L" 12.75 "},
        {L"3", L',', L"3"},
        {L"2.5", L',', L"2.5"},      // already the evaluator's notation
        {L"1,2,3", L',', L"1,2,3"},  // not one number
        {L",5", L',', L",5"},
        {L"5,", L',', L"5,"},
        {L"2,5*2", L',', L"2,5*2"},  // an expression, not a number
        {L"abc", L',', L"abc"},
        {L"2,5", L'.', L"2,5"},      // in a locale with a decimal point nothing changes
        {L"2\u066b5", L'\u066b', L"2.5"},
        {L"10.0.0.1", L',', L"10.0.0.1"},  // an address and a version are no numbers
        {L"6.1.7601", L',', L"6.1.7601"},
        {L"1.234,5", L',', L"1.234,5"},    // thousands separators: not one plain number
        {L"512/1024", L'/', L"512/1024"},  // a separator that is an operator: a division
        {L"2/5", L'/', L"2/5"},
        {L"2-5", L'-', L"2-5"},
        {L"2+5", L'+', L"2+5"},
        {L"2*5", L'*', L"2*5"},
        {L"2^5", L'^', L"2^5"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(ExpressionNumberText(r.text, r.decimal), r.expected) << WideToUtf8(r.text);
    const struct {
        const wchar_t* text;
        std::size_t at;
        bool inside;
    } calls[] = {
        {L"{{%v%}}", 2, true}, {L"a %v% {{b}}", 2, false}, {L"{{a}} %v%", 6, false},
        {L"{{a %v%", 4, false}, {L"{{half::%v%}} x", 8, true}, {L"%v%", 0, false},
    };
    for (const auto& c : calls) EXPECT_EQ(InsideUserFunctionCall(c.text, c.at), c.inside) << WideToUtf8(c.text);
}

TEST_F(TemplatesTest, UserFunctionsInALocaleWithADecimalComma) {
    const NumberFormatFor comma(L',', L'.');
    UserFunctions = {L"half=%1/2", L"avg=(%1+%2)/2"};
    SetVariable(L"v", ExpandUserFunctions(L"{{5/2}}"));
    EXPECT_EQ(ExpandVariables(L"%v%"), L"2,5") << "a variable holds the user's format";
    const std::wstring line = L"A {{5/2}} B %v% C {{half::%v%}} D {{half::3}}";
    EXPECT_EQ(ExpandUserFunctions(ExpandVariables(line)), L"A 2,5 B 2,5 C 1,25 D 1,5");
    // An argument the user wrote in the format, a variable inside an inline expression, a
    // template value inside a call.
    EXPECT_EQ(ExpandUserFunctions(L"{{avg::2,5:3,5}}"), L"3");
    EXPECT_EQ(ExpandUserFunctions(ExpandVariables(L"{{%v%*2}} {{Max(%v%,1)}}")), L"5 2,5");
    EXPECT_EQ(ExpandUserFunctions(FillDisplayTemplate(L"%1 {{%1*2}}", {Variant(1.25)})), L"1,25 2,5");
    UserFunctions.clear();
}

TEST_F(TemplatesTest, NumbersFromEverySourceGoIntoACalculationWithADecimalPoint) {
    const NumberFormatFor comma(L',', L'.');
    UserFunctions = {L"twice=%1*2", L"same=%1"};
    const struct {
        const wchar_t* tmpl;
        Variant value;
        const wchar_t* shown;
    } rows[] = {
        {L"{{%1*2}}", Variant(L"2,5"), L"5"},                       // a text value
        {L"{{twice::%1}}", Variant(L"2,5"), L"5"},
        {L"{{%1[1.1f]*2}}", Variant(2.5), L"5"},                    // a formatted value
        {L"{{%1[1.2K]*2}}", Variant(std::int32_t{2500}), L"5"},
        {L"{{%1[1.1n]*2}}", Variant(2.5), L"5"},
        {L"{{%1*2}}", Variant(2.5), L"5"},                          // number values
        {L"{{%1*2}}", Variant::FromCurrencyCount(25000), L"5"},
        {L"{{%1*2}}", Variant(2.5f), L"5"},
        {L"%1 {{%1*2}} %1[1.1f]", Variant(L"2,5"), L"2,5 5 2,5"},  // outside a call: the user's format
        {L"{{%1}}", Variant(L"1.234,5"), L"[Error] "},              // not one plain number
    };
    for (const auto& r : rows)
        EXPECT_EQ(ExpandUserFunctions(FillDisplayTemplate(r.tmpl, {r.value})), r.shown) << WideToUtf8(r.tmpl);
    // A text that is not one plain number reaches the calculation as it is.
    EXPECT_EQ(FillDisplayTemplate(L"{{same::%1}} {{%2}}", {Variant(L"10.0.0.1"), Variant(L"6.1.7601")}),
              L"{{same::10.0.0.1}} {{6.1.7601}}");
    for (const wchar_t* text : {L"10.0.0.1", L"6.1.7601"}) {
        SetVariable(L"address", text);
        EXPECT_EQ(ExpandVariables(L"%address% {{%address%}}"), std::wstring(text) + L" {{" + text + L"}}");
        EXPECT_EQ(ExpandVariables(L"{{same::%address%}}"), std::wstring(L"{{same::") + text + L"}}");
    }
    // Read with the thousands point dropped, the address would be the number 10001.
    EXPECT_EQ(EvaluateUserFunction(L"same", "", {L"10.0.0.1"}), L"[Error] ");
}

TEST_F(TemplatesTest, ADecimalSeparatorThatIsAnOperatorIsNeverConverted) {
    // Windows' Persian format writes 0.5 as "0/5".
    const NumberFormatFor persian(L'/', L',');
    UserFunctions = {L"f=%1"};
    EXPECT_EQ(ExpandUserFunctions(L"{{f::512/1024}}"), L"0/5");
    EXPECT_EQ(ExpandUserFunctions(L"{{512/1024}}"), L"0/5");
    SetVariable(L"ratio", L"512/1024");
    EXPECT_EQ(ExpandUserFunctions(ExpandVariables(L"{{%ratio%*2}}")), L"1");
    // A number value goes in as a number: "2/5*2" would be a division.
    EXPECT_EQ(ExpandUserFunctions(FillDisplayTemplate(L"{{%1*2}} %1", {Variant(2.5)})), L"5 2/5");
    EXPECT_EQ(ExpandUserFunctions(FillDisplayTemplate(L"{{%1*2}}", {Variant::FromCurrencyCount(25000)})), L"5");
}

namespace {

unsigned short ControlWord() {
    unsigned short cw;
    __asm__ __volatile__("fnstcw %0" : "=m"(cw) : : "memory");
    return cw;
}

void SetControlWord(unsigned short cw) { __asm__ __volatile__("fldcw %0" : : "m"(cw) : "memory"); }

}  // namespace

TEST_F(TemplatesTest, FormattedRealsRoundTheSameWhateverTheThreadsPrecision) {
    // The doubles nearest 0.15, 0.35, 0.015 and 0.045 lie just below those halves
    // (0.1499999999999999944...): rounded they give 0.1, 0.3, 0.01 and 0.04. At the 53-bit
    // precision a new thread starts with, the product of the fraction and the scale
    // rounds up to the half and the last digit with it.
    const NumberFormatFor point(L'.', L',');
    const struct {
        const char* code;
        double value;
        const wchar_t* text;
    } rows[] = {
        {"1.1f", 0.15, L"0.1"}, {"1.1f", 0.35, L"0.3"}, {"1.2f", 0.015, L"0.01"}, {"1.2n", 0.045, L"0.04"},
        {"1.1f", -0.15, L"-0.1"}, {"1.2f", 2.5, L"2.50"},
    };
    constexpr unsigned short PrecisionBits = 0x0300;
    for (const unsigned short precision : {0x0200, 0x0300}) {
        std::vector<std::wstring> got;
        unsigned short forced = 0, after = 0;
        ASSERT_TRUE(Ends([&] {
            forced = static_cast<unsigned short>((ControlWord() & ~PrecisionBits) | precision);
            SetControlWord(forced);
            for (const auto& r : rows) got.push_back(FormatDisplayValue(r.code, Variant(r.value)).ToText());
            after = ControlWord();
        }));
        for (std::size_t i = 0; i < std::size(rows); ++i)
            EXPECT_EQ(got[i], rows[i].text) << rows[i].code << " " << rows[i].value << " at precision " << precision;
        EXPECT_EQ(after, forced) << "the thread's control word was not restored";
    }
}

TEST_F(TemplatesTest, UserFunctionResultsAreRoundedAtTheEvaluatorsPrecisionOnEveryThread) {
    // 9/800 is 0.01125 and a little more at the evaluator's 64-bit precision: four decimals
    // give 0.0113. Rounded at the 53-bit precision a new thread starts with, the product
    // becomes 112.5 exactly and rounds to even: 0.0112.
    const NumberFormatFor point(L'.', L',');
    std::wstring onWorker;
    ASSERT_TRUE(Ends([&] { onWorker = EvaluateUserFunction(L"", "", {L"9/800"}); }));
    EXPECT_EQ(onWorker, L"0.0113");
    EXPECT_EQ(EvaluateUserFunction(L"", "", {L"9/800"}), L"0.0113");
}
