#include <windows.h>

#include <shellapi.h>

#include <gtest/gtest.h>

#include "Errors.h"
#include "TestFiles.h"
#include "Utils.h"

TEST(Crc32, KnownValues) {
    EXPECT_EQ(StringCrc32(""), 0u);
    EXPECT_EQ(StringCrc32("abc"), 0x352441C2u);
    EXPECT_EQ(StringCrc32("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
    // Letter case changes the identity of an item line.
    EXPECT_NE(StringCrc32("UPTIME=color:FF0000"), StringCrc32("uptime=color:FF0000"));
}

TEST(LeapYear, Table) {
    const struct { unsigned year; bool leap; } rows[] = {
        {1900, false}, {2000, true}, {2024, true}, {2023, false}, {2100, false}, {1972, true}};
    for (auto r : rows) EXPECT_EQ(IsLeapYear(r.year), r.leap) << r.year;
}

TEST(UnixTime, Table) {
    const struct { std::uint16_t y, mo, d, h, mi, s; std::uint32_t expected; } rows[] = {
        {1970, 1, 1, 0, 0, 0, 0u},
        {2000, 3, 1, 0, 0, 0, 951868800u},
        {2024, 2, 29, 12, 30, 15, 1709209815u},
        {2038, 1, 19, 3, 14, 8, 2147483648u},  // past the signed 32-bit limit, still fine
        {2106, 2, 7, 6, 28, 15, 4294967295u},
    };
    for (auto r : rows) EXPECT_EQ(EncodeUnixTime(r.y, r.mo, r.d, r.h, r.mi, r.s), r.expected) << r.y;
}

TEST(UnixTime, OverflowRaisesInsteadOfWrapping) {
    EXPECT_THROW(EncodeUnixTime(2106, 2, 7, 6, 28, 16), EIntOverflow);
    EXPECT_THROW(EncodeUnixTime(2200, 1, 1, 0, 0, 0), EIntOverflow);
}

class CmdLine : public ::testing::Test {
protected:
    void TearDown() override { SetProgramArguments({}); }
};

TEST_F(CmdLine, HasSwitch) {
    const struct { std::vector<std::wstring> args; bool expected; } rows[] = {
        {{L"-F"}, true},   {{L"/f"}, true},      {{L"/fx"}, false}, {{L"/f=1"}, false},
        {{L"f"}, false},   {{L"x", L"/F"}, true}, {{}, false},
    };
    for (const auto& r : rows) {
        SetProgramArguments(r.args);
        EXPECT_EQ(HasCmdLineSwitch("f"), r.expected) << (r.args.empty() ? "(none)" : WideToUtf8(r.args.back()));
    }
}

TEST_F(CmdLine, SwitchValue) {
    struct Row {
        std::vector<std::wstring> args;
        const char* name;
        const wchar_t* expected;
    };
    const Row rows[] = {
        {{L"/INI=D:\\Data\\My.ini"}, "ini", L"D:\\Data\\My.ini"},  // the value keeps its case
        {{L"-ini=a.ini"}, "ini", L"a.ini"},
        {{L"/ini"}, "ini", L""},
        {{}, "ini", L""},
        // The value starts after the first "=".
        {{L"x", L"-debug=C:\\log=1.txt"}, "debug", L"C:\\log=1.txt"},
        // A switch opens its argument: a name inside another argument's value is no switch.
        {{L"/debug=C:\\logs\\my-ini\\v.log"}, "ini", L""},
        {{L"/debug=C:\\logs\\my-ini\\v.log", L"/ini=b.ini"}, "ini", L"b.ini"},
        {{L"/ini=C:\\x-debug\\v.ini"}, "debug", L""},
        {{L"x/ini=c.ini"}, "ini", L""},
        {{L"--ini=c.ini"}, "ini", L""},
        {{L"/initial=c.ini"}, "ini", L""},
        {{L"/ini:c.ini"}, "ini", L""},
    };
    for (const Row& r : rows) {
        SetProgramArguments(r.args);
        EXPECT_EQ(GetCmdLineSwitchValue(r.name), r.expected)
            << r.name << " in " << (r.args.empty() ? "(none)" : WideToUtf8(r.args.front()));
    }
}

TEST(WideReplace, Flags) {
    const struct { const wchar_t *src, *pat, *with; unsigned flags; const wchar_t* expected; } rows[] = {
        {L"a%1b%1", L"%1", L"x", rfReplaceAll, L"axbx"},
        {L"a%1b%1", L"%1", L"x", 0, L"axb%1"},
        {L"XYZ", L"y", L"-", rfIgnoreCase, L"X-Z"},
        {L"XYZ", L"y", L"-", 0, L"XYZ"},
        {L"aAaA", L"a", L"b", rfReplaceAll | rfIgnoreCase, L"bbbb"},
        // A replacement that holds the pattern ends: the search resumes behind it.
        {L"%x%", L"%x%", L"[%x%]", rfReplaceAll, L"[%x%]"},
        {L"aa", L"a", L"aa", rfReplaceAll, L"aaaa"},
        // An empty pattern leaves the text alone.
        {L"abc", L"", L"x", rfReplaceAll, L"abc"},
        {L"", L"a", L"x", rfReplaceAll, L""},
    };
    for (auto r : rows) EXPECT_EQ(WideReplaceText(r.src, r.pat, r.with, r.flags), r.expected) << r.src;
}

TEST(ColourTexts, HtmlAndTriple) {
    EXPECT_EQ(HtmlColorToBgr(L"#FF8000"), L"0080FF");
    EXPECT_EQ(HtmlColorToBgr(L"FF8000"), L"FF8000");
    EXPECT_EQ(HtmlColorToBgr(L"#FF800"), L"#FF800");
    EXPECT_EQ(FormatByteTriple(0xFF8000), L"FF8000");
    EXPECT_EQ(FormatByteTriple(0x010203), L"010203");
    EXPECT_EQ(FormatByteTriple(static_cast<std::int32_t>(0xAB0A0B0C)), L"0A0B0C");
    EXPECT_EQ(BoolToText(true), L"True");
    EXPECT_EQ(BoolToText(false), L"False");
}

TEST(Utf8Lines, Splitting) {
    TempFolder dir;
    const struct { std::string bytes; std::vector<std::wstring> lines; } rows[] = {
        {"one\r\ntwo\nthree", {L"one", L"two", L"three"}},
        {"one\r\n", {L"one", L""}},
        {"one\rtwo", {L"one\rtwo"}},
        {"a\r\r\nb", {L"a\r", L"b"}},
        {"", {}},
        {"\xEF\xBB\xBFhead", {L"head"}},  // the byte-order mark goes
        {"gr\xC3\xBC\xC3\x9F", {L"gr\u00FC\u00DF"}},
        {std::string("\xFF\xFEo\0n\0\r\0\n\0t\0w\0", 14), {L"on", L"tw"}},
        {std::string("\xFE\xFF\0o\0n\0\n\0\xE9", 10), {L"on", L"\u00E9"}},
        {"\xFF\xFE", {}},  // a mark and nothing else
    };
    int n = 0;
    for (const auto& r : rows) {
        const std::wstring path = dir.File(L"f" + std::to_wstring(n++) + L".txt");
        WriteFileBytes(path, r.bytes);
        EXPECT_EQ(ReadUtf8FileLines(path), r.lines) << r.bytes;
    }
    EXPECT_TRUE(ReadUtf8FileLines(dir.File(L"missing.txt")).empty());
}

// What a text file's bytes are taken for: a byte-order mark decides, else valid UTF-8,
// else the system's 8-bit code page.
TEST(TextFiles, EncodingOfTheBytes) {
    using E = TTextEncoding;
    const struct {
        std::string bytes;
        E encoding;
        std::size_t mark;
    } rows[] = {
        {"", E::Utf8, 0},
        {"plain ascii\r\n", E::Utf8, 0},
        {"\xEF\xBB\xBF", E::Utf8, 3},                        // a lone mark
        {"\xEF\xBB\xBF\xE9t\xE9", E::Utf8, 3},               // the mark decides
        {"\xEF\xBB", E::AnsiCodePage, 0},                    // a mark cut short
        {"\xFF\xFE", E::Utf16LittleEndian, 2},
        {"\xFF\xFEx", E::Utf16LittleEndian, 2},              // odd length
        {"\xFE\xFF", E::Utf16BigEndian, 2},
        {"\xFF", E::AnsiCodePage, 0},
        {"caf\xC3\xA9", E::Utf8, 0},                         // a sequence that ends the file
        {"caf\xC3", E::AnsiCodePage, 0},                      // ... cut short
        {"caf\xE9 line", E::AnsiCodePage, 0},                 // an 8-bit letter
        {"\xC0\xAF", E::AnsiCodePage, 0},                     // an overlong "/"
        {"\xE0\x80\xAF", E::AnsiCodePage, 0},                 // an overlong three-byte form
        {"\xED\xA0\x80", E::AnsiCodePage, 0},                 // a surrogate
        {"\xF4\x90\x80\x80", E::AnsiCodePage, 0},             // past U+10FFFF
        {"\xF0\x9F\x98\x80", E::Utf8, 0},                     // U+1F600
        {"\xF0\x9F\x98", E::AnsiCodePage, 0},                 // ... cut short
        {"a\x80" "b", E::AnsiCodePage, 0},                    // a lone continuation byte
        {"\xF8\x88\x80\x80\x80", E::AnsiCodePage, 0},         // five-byte forms are not UTF-8
    };
    for (const auto& r : rows) {
        const TTextLayout layout = DetectTextEncoding(r.bytes);
        EXPECT_EQ(layout.Encoding, r.encoding) << testing::PrintToString(r.bytes);
        EXPECT_EQ(layout.MarkSize, r.mark) << testing::PrintToString(r.bytes);
    }
}

TEST(TextFiles, DecodedText) {
    const struct {
        std::string bytes;
        std::wstring text;
    } rows[] = {
        {"", L""},
        {"\xEF\xBB\xBF", L""},
        {"\xFF\xFE", L""},
        {"\xFE\xFF", L""},
        {"\xEF\xBB\xBF" "first=\xC3\xA9t\xC3\xA9", L"first=\u00E9t\u00E9"},
        {"first=\xC3\xA9t\xC3\xA9", L"first=\u00E9t\u00E9"},
        // UTF-16, exact size, in both byte orders
        {std::string("\xFF\xFE" "c\0a\0f\0\xE9\0", 10), L"caf\u00E9"},
        {std::string("\xFE\xFF" "\0c\0a\0f\0\xE9", 10), L"caf\u00E9"},
        {std::string("\xFF\xFE" "=\xD8\0\xDE", 6), L"\xD83D\xDE00"},  // a surrogate pair
        // an odd last byte and a pair cut short stand as replacement characters
        {std::string("\xFF\xFE" "a\0b", 5), L"a\xFFFD"},
        {std::string("\xFF\xFE" "a\0=\xD8", 6), L"a\xFFFD"},
        {std::string("\xFF\xFE" "\0\xDE" "a\0", 6), L"\xFFFD" L"a"},
        // a mark inside the text is a character of it
        {"a\xEF\xBB\xBF", L"a\xFEFF"},
    };
    for (const auto& r : rows) EXPECT_EQ(DecodeTextBytes(r.bytes), r.text) << testing::PrintToString(r.bytes);
    // Bytes that are not UTF-8 are the system's 8-bit code page, every byte a letter.
    for (const std::string bytes : {"caf\xE9 gr\xFCn", "\xC0\xAF", "caf\xC3"}) {
        EXPECT_EQ(DecodeTextBytes(bytes), AnsiToWide(bytes)) << testing::PrintToString(bytes);
        EXPECT_EQ(DecodeTextBytes(bytes).find(L'\xFFFD'), std::wstring::npos) << testing::PrintToString(bytes);
    }
    if (GetACP() == 1252) EXPECT_EQ(DecodeTextBytes("caf\xE9 gr\xFCn"), L"caf\u00E9 gr\u00FCn");
}

TEST(Utf8Lines, ManyLinesAllKept) {
    TempFolder dir;
    std::string text;
    for (int i = 0; i < 2500; ++i) text += std::to_string(i) + "\n";
    WriteFileBytes(dir.File(L"big.txt"), text);
    const auto lines = ReadUtf8FileLines(dir.File(L"big.txt"));
    ASSERT_EQ(lines.size(), 2501u);
    EXPECT_EQ(lines[2499], L"2499");
    EXPECT_EQ(lines[2500], L"");
}

TEST(Environment, ExpandsWholeTextBeyondBuffer) {
    const std::wstring value(400, L'v');
    SetEnvironmentVariableW(L"VISTREL_TEST_LONG", value.c_str());
    EXPECT_EQ(ExpandEnvironmentText(L"<%VISTREL_TEST_LONG%>"), L"<" + value + L">");
    SetEnvironmentVariableW(L"VISTREL_TEST_SHORT", L"abc");
    EXPECT_EQ(ExpandEnvironmentText(L"%VISTREL_TEST_SHORT%\\x"), L"abc\\x");
    EXPECT_EQ(ExpandEnvironmentText(L"%VISTREL_NOT_SET_ANYWHERE%"), L"%VISTREL_NOT_SET_ANYWHERE%");
}

TEST(SystemErrors, TextOfLastError) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    const std::wstring text = GetLastErrorText();
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text.back(), L'\n');
    EXPECT_NE(text.back(), L' ');
    EXPECT_EQ(text, SystemErrorText(ERROR_FILE_NOT_FOUND));
}

TEST(FileVersion, FromResourceAndWithout) {
    EXPECT_EQ(GetFileVersionText(TestBinaryDir() + L"version_fixture.exe"), L"10.0.19041.1");
    EXPECT_EQ(GetFileVersionText(TestBinaryDir() + L"Vistrel.exe"), Utf8ToWide(VISTREL_VERSION_TEXT));
    TempFolder dir;
    WriteFileBytes(dir.File(L"plain.txt"), "no resource here");
    const std::wstring text = GetFileVersionText(dir.File(L"plain.txt"));
    EXPECT_FALSE(text.empty());
    EXPECT_FALSE(iswdigit(text[0])) << text;
}

// One command-line argument, as CommandLineToArgvW (and the C runtime) split it again.
TEST(Utils, QuotedArgumentIsReadBackWhole) {
    const std::wstring texts[] = {
        L"C:\\My Settings\\vistrel.ini",
        L"plain",
        L"",
        L"a \"quoted\" word",
        L"C:\\folder with blanks\\",  // a trailing backslash must not escape the closing quote
        L"back\\\"slash quote",
        L"two\\\\ backslashes",
    };
    for (const std::wstring& text : texts) {
        const std::wstring line = L"editor.exe " + QuotedArgument(text);
        int argc = 0;
        LPWSTR* argv = CommandLineToArgvW(line.c_str(), &argc);
        ASSERT_NE(argv, nullptr);
        EXPECT_EQ(argc, 2) << line;
        if (argc == 2) {
            EXPECT_EQ(std::wstring(argv[1]), text) << line;
        }
        LocalFree(argv);
    }
    EXPECT_EQ(QuotedArgument(L"C:\\My Settings\\vistrel.ini"), L"\"C:\\My Settings\\vistrel.ini\"");
}
