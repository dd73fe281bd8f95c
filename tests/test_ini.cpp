// The ini reader against small fixture files written into a fresh temporary folder.
#include <gtest/gtest.h>

#include "Errors.h"
#include "IniFiles.h"
#include "TestFiles.h"
#include "Utils.h"
#include "WinHandles.h"


namespace {

class IniReader : public ::testing::Test {
protected:
    // A reader of a file holding exactly these bytes.
    TInfoFile File(const std::string& bytes, const std::wstring& name = L"test.ini") {
        const std::wstring path = dir_ / name;
        EXPECT_TRUE(WriteFileBytes(path, bytes));
        return TInfoFile(path);
    }
    TempFolder dir_{L"vslini"};
};

TEST_F(IniReader, SectionAndKeyIgnoreLetterCase) {
    const TInfoFile f = File("[Options]\r\nFont-Size=9\r\ncenterv=1\r\n");
    EXPECT_EQ(f.ReadValue(L"options", L"font-size", L"x").Text, L"9");
    EXPECT_EQ(f.ReadInteger(L"options", L"font-size", 0), 9);
    EXPECT_TRUE(f.ReadBool(L"options", L"CENTERV", false));
    EXPECT_TRUE(f.SectionExists(L"options"));
    EXPECT_TRUE(f.SectionExists(L"OPTIONS"));
    EXPECT_FALSE(f.SectionExists(L"items"));
}

TEST_F(IniReader, ReadSectionIgnoresTheHeaderCase) {
    struct Row {
        const char* header;
        const wchar_t* asked;
    };
    const Row rows[] = {
        {"[Items]", L"items"},         {"[ITEMS]", L"items"},         {"[items]", L"ITEMS"},
        {"[iTeMs]", L"Items"},         {"[Functions]", L"functions"}, {"[Screen-Saver]", L"screen-saver"},
    };
    for (const Row& r : rows) {
        const TInfoFile f =
            File(std::string("[options]\r\nnav=1\r\n") + r.header + "\r\nUPTIME=active:1\r\n[x]\r\nX=1\r\n");
        EXPECT_EQ(f.ReadSection(r.asked), TWideStringArray{L"UPTIME=active:1"}) << r.header;
    }
    // Keys keep their letter case; only the header is matched loosely.
    EXPECT_EQ(File("[Items]\r\nUpTime=active:1\r\n").ReadSection(L"items"), TWideStringArray{L"UpTime=active:1"});
    EXPECT_TRUE(File("[Item]\r\nUPTIME=active:1\r\n").ReadSection(L"items").empty());
}

TEST_F(IniReader, KeyMustBeFollowedAtOnceByEquals) {
    const TInfoFile f = File("[options]\r\nfont-size = 9\r\nlogo= a.png \r\n");
    EXPECT_EQ(f.ReadInteger(L"options", L"font-size", 8), 8);
    EXPECT_EQ(f.ReadValue(L"options", L"font-size", L"d").Line, -1);
    // The value is the rest of the line, untrimmed.
    EXPECT_EQ(f.ReadString(L"options", L"logo", L""), L" a.png ");
}

TEST_F(IniReader, ValueCarriesItsLineNumber) {
    const TInfoFile f = File("# c\r\n[a]\r\nx=1\r\n[b]\r\nx=2\r\ny=3\r\ny=4\r\n[b]\r\nz=5\r\n");
    const TIniValue v = f.ReadValue(L"b", L"y", L"d");
    EXPECT_EQ(v.Text, L"3");  // a key twice in a section gives its first value
    EXPECT_EQ(v.Line, 5);
    EXPECT_EQ(f.ReadString(L"b", L"x", L"d"), L"2");
    // Only the first section of a name is searched.
    const TIniValue z = f.ReadValue(L"b", L"z", L"d");
    EXPECT_EQ(z.Text, L"d");
    EXPECT_EQ(z.Line, -1);
    // A key of the next section is not found in this one.
    EXPECT_EQ(f.ReadString(L"a", L"y", L"d"), L"d");
}

TEST_F(IniReader, LfOnlyFileReadsLikeCrLf) {
    const TInfoFile f = File("[options]\nfont-size=11\nlogo=a.png\n[items]\nUPTIME=active:1\n");
    EXPECT_EQ(f.ReadInteger(L"options", L"font-size", 8), 11);
    EXPECT_EQ(f.ReadString(L"options", L"logo", L""), L"a.png");
    EXPECT_EQ(f.ReadSection(L"items"), TWideStringArray{L"UPTIME=active:1"});
    EXPECT_TRUE(f.SectionExists(L"items"));
}

TEST_F(IniReader, MixedLineEndsAndLoneCr) {
    const TInfoFile f = File("[options]\r\na=1\nb=2\rc=3\r\n");
    EXPECT_EQ(f.ReadString(L"options", L"a", L""), L"1");
    // A lone CR does not end a line: it stays in the value.
    EXPECT_EQ(f.ReadString(L"options", L"b", L""), L"2\rc=3");
    EXPECT_EQ(f.ReadString(L"options", L"c", L"d"), L"d");
}

TEST_F(IniReader, ByteOrderMarkIsDropped) {
    const TInfoFile f = File("\xEF\xBB\xBF[options]\r\nfont-size=12\r\n[items]\r\nHOST=active:1\r\n");
    EXPECT_EQ(f.ReadInteger(L"options", L"font-size", 8), 12);
    EXPECT_TRUE(f.SectionExists(L"options"));
    EXPECT_EQ(f.ReadSection(L"items"), TWideStringArray{L"HOST=active:1"});
    EXPECT_EQ(f.ReadHeader(), L"");
}

TEST_F(IniReader, Utf16FilesWithTheirByteOrderMarkAreRead) {
    // Notepad's "Unicode" (little-endian) and "Unicode big endian"; the file stays as it is.
    const std::wstring text = L"[options]\r\nfont-size=12\r\n[items]\r\nTEXT=display:\u0395\u03bb\u03bb\u03ac\u03b4\u03b1 \u2605\r\n";
    for (const bool bigEndian : {false, true}) {
        std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
        for (const wchar_t c : text) {
            const char high = static_cast<char>(c >> 8), low = static_cast<char>(c & 0xFF);
            bytes += bigEndian ? std::string{high, low} : std::string{low, high};
        }
        const TInfoFile f = File(bytes, bigEndian ? L"be.ini" : L"le.ini");
        EXPECT_EQ(f.ReadInteger(L"options", L"font-size", 8), 12) << bigEndian;
        EXPECT_TRUE(f.SectionExists(L"items")) << bigEndian;
        EXPECT_EQ(f.ReadSection(L"items"), TWideStringArray{L"TEXT=display:\u0395\u03bb\u03bb\u03ac\u03b4\u03b1 \u2605"})
            << bigEndian;
        EXPECT_EQ(ReadFileBytes(dir_ / (bigEndian ? L"be.ini" : L"le.ini")), bytes) << "the file was changed";
    }
}

TEST_F(IniReader, BlanksAroundASectionHeaderAreIgnored) {
    const TInfoFile f = File("[options] \r\nnav=2\r\n \t[items]\r\nHOST=active:1\r\n  [text]\t\r\nnone=-\r\n");
    EXPECT_EQ(f.ReadInteger(L"options", L"nav", 0), 2);
    EXPECT_TRUE(f.SectionExists(L"options"));
    EXPECT_TRUE(f.SectionExists(L"items"));
    // A header with blanks before it also ends the section above it.
    EXPECT_EQ(f.ReadSection(L"items"), TWideStringArray{L"HOST=active:1"});
    EXPECT_EQ(f.ReadString(L"text", L"none", L""), L"-");
    EXPECT_EQ(f.ReadString(L"options", L"HOST", L"absent"), L"absent");
}

TEST_F(IniReader, ByteOrderMarkBeforeItemsSection) {
    const TInfoFile f = File("\xEF\xBB\xBF[items]\r\nHOST=active:1\r\n");
    EXPECT_EQ(f.ReadSection(L"items"), TWideStringArray{L"HOST=active:1"});
    EXPECT_EQ(f.ReadString(L"items", L"host", L""), L"active:1");
}

TEST_F(IniReader, ReadColor) {
    struct Row {
        const char* value;
        std::int32_t expected;
    };
    const Row rows[] = {
        {"00FF00", 65280},    {"FF0000", 16711680}, {"ffffff", 16777215}, {"#00FF00", -7},
        {"00FF0", -7},        {"", -7},             {"0G00FF", 255},      {"zzzzzz", 0},
        {"12 456", 0x120056}, {"0000FF ", -7},
    };
    for (const Row& r : rows) {
        const TInfoFile f = File(std::string("[options]\r\nformcolor=") + r.value + "\r\n");
        EXPECT_EQ(f.ReadColor(L"options", L"formcolor", -7), r.expected) << r.value;
    }
    EXPECT_EQ(File("[options]\r\n").ReadColor(L"options", L"formcolor", -7), -7);
}

TEST_F(IniReader, ReadBool) {
    struct Row {
        const char* value;
        bool deflt;
        bool expected;
    };
    const Row rows[] = {
        {"", true, true},     {"", false, false},   {"0", true, false},  {"1", false, true},
        {"yes", true, true},  {"yes", false, false}, {"256", false, true}, {"512", false, true},
        {"-1", false, true},  {"$10", false, true},  {"2", false, true},   {" 0", true, false},
    };
    for (const Row& r : rows) {
        const TInfoFile f = File(std::string("[options]\r\nflag=") + r.value + "\r\n");
        EXPECT_EQ(f.ReadBool(L"options", L"flag", r.deflt), r.expected) << r.value << " default " << r.deflt;
    }
    EXPECT_TRUE(File("[options]\r\n").ReadBool(L"options", L"flag", true));
}

TEST_F(IniReader, ReadInteger) {
    struct Row {
        const char* value;
        std::int32_t expected;
    };
    const Row rows[] = {
        {"12", 12},          {"-5", -5},           {"+7", 7},           {"$1F", 31},
        {"0x1f", 31},        {" 7", 7},            {"7 ", -99},         {"abc", -99},
        {"", -99},           {"1.5", -99},         {"2147483647", 2147483647},
        {"2147483648", -99}, {"-2147483648", INT32_MIN},                {"$FFFFFFFF", -1},
        {"$100000000", -99}, {"$", -99},           {"-", -99},
    };
    for (const Row& r : rows) {
        const TInfoFile f = File(std::string("[options]\r\nn=") + r.value + "\r\n");
        EXPECT_EQ(f.ReadInteger(L"options", L"n", -99), r.expected) << r.value;
    }
}

TEST_F(IniReader, ReadSectionDropsBlankAndCommentLines) {
    const TInfoFile f = File(
        "[functions]\r\n\r\n# a comment\r\navg=(%1+%2)/2\r\n #kept\r\n   \r\nsq=%1*%1\r\n[pages]\r\n1=Main\r\n");
    const TWideStringArray expected = {L"avg=(%1+%2)/2", L" #kept", L"   ", L"sq=%1*%1"};
    EXPECT_EQ(f.ReadSection(L"functions"), expected);
    EXPECT_EQ(f.ReadSection(L"pages"), TWideStringArray{L"1=Main"});
}

TEST_F(IniReader, EmptySectionBeforeAnother) {
    const TInfoFile f = File("[items]\r\n[pages]\r\n1=Main\r\n");
    EXPECT_TRUE(f.ReadSection(L"items").empty());
}

TEST_F(IniReader, LastLineWithoutLineEnd) {
    const TInfoFile f = File("[items]\r\nHOST=active:1\r\nUSER=active:1");
    EXPECT_EQ(f.ReadSection(L"items"), (TWideStringArray{L"HOST=active:1", L"USER=active:1"}));
    EXPECT_EQ(f.ReadString(L"items", L"user", L""), L"active:1");
}

TEST_F(IniReader, ReadHeader) {
    struct Row {
        const char* content;
        const wchar_t* expected;
    };
    const Row rows[] = {
        {"# one\r\n# two\r\n# three\r\n[options]\r\n", L"# one\r\n# two\r\n# three"},
        {"# one\r\n\r\n\r\n[text]\r\n", L"# one"},
        {"# one\n# two\n\n[text]\n", L"# one\r\n# two"},
        {"[options]\r\nx=1\r\n", L""},
        {"\r\n[options]\r\n", L""},
        {"# only a comment\r\n", L"# only a comment"},
        {"#  \r\n  \r\n[a]\r\n", L"#  \r\n  "},
        {"# see [a] below\r\n[a]\r\n", L"# see [a] below"},
        {"", L""},
    };
    for (const Row& r : rows) EXPECT_EQ(File(r.content).ReadHeader(), r.expected) << r.content;
}

TEST_F(IniReader, MissingFileGivesDefaults) {
    const TInfoFile f(dir_ / L"missing.ini");
    EXPECT_EQ(f.ReadString(L"options", L"logo", L"d"), L"d");
    EXPECT_EQ(f.ReadValue(L"options", L"logo", L"d").Line, -1);
    EXPECT_EQ(f.ReadInteger(L"options", L"n", 4), 4);
    EXPECT_EQ(f.ReadColor(L"options", L"c", 5), 5);
    EXPECT_TRUE(f.ReadBool(L"options", L"b", true));
    EXPECT_TRUE(f.ReadSection(L"items").empty());
    EXPECT_EQ(f.ReadHeader(), L"");
    EXPECT_THROW(f.SectionExists(L"options"), EInOutError);
}

TEST_F(IniReader, EmptyFileGivesDefaults) {
    const TInfoFile f = File("");
    EXPECT_EQ(f.ReadString(L"options", L"logo", L"d"), L"d");
    EXPECT_FALSE(f.SectionExists(L"options"));
}

TEST_F(IniReader, AFileThatIsNotUtf8IsReadInTheSystemCodePage) {
    // What "echo ... > file" and older editors write: every letter is one byte.
    const std::string bytes = "[text]\r\nerror=Fehler \xE4\xF6\xFC\r\n[pages]\r\n1=Acc\xE8s\r\n";
    const TInfoFile f = File(bytes);
    EXPECT_EQ(f.ReadString(L"text", L"error", L"d"), AnsiToWide("Fehler \xE4\xF6\xFC"));
    EXPECT_EQ(f.ReadSection(L"pages"), TWideStringArray{AnsiToWide("1=Acc\xE8s")});
    EXPECT_TRUE(f.SectionExists(L"pages"));
    if (GetACP() == 1252) EXPECT_EQ(f.ReadString(L"pages", L"1", L""), L"Acc\u00E8s");
    // One valid UTF-8 letter does not make the file UTF-8 when another byte is not.
    const TInfoFile mixed = File("[text]\r\na=\xC3\xA4\r\nb=\xE4\r\n", L"mixed.ini");
    EXPECT_EQ(mixed.ReadString(L"text", L"a", L""), AnsiToWide("\xC3\xA4"));
    EXPECT_EQ(mixed.ReadString(L"text", L"b", L""), AnsiToWide("\xE4"));
}

TEST_F(IniReader, Utf8TextIsDecoded) {
    const TInfoFile f = File("[pages]\r\n1=Hauptseite \xC3\xA4\xE2\x82\xAC\r\n");
    EXPECT_EQ(f.ReadString(L"pages", L"1", L""), L"Hauptseite \u00E4\u20AC");
}

TEST_F(IniReader, LongFilesAreReadWhole) {
    std::string big = "[options]\r\n";
    for (int i = 0; i < 2500; ++i) big += "k" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
    big += "[items]\r\n";
    for (int i = 0; i < 1500; ++i) big += "TEXT=active:1,text:" + std::to_string(i) + "\r\n";
    const TInfoFile f = File(big);
    EXPECT_EQ(f.ReadInteger(L"options", L"k2499", -1), 2499);
    EXPECT_EQ(f.ReadValue(L"options", L"k2499", L"").Line, 2500);
    const TWideStringArray items = f.ReadSection(L"items");
    ASSERT_EQ(items.size(), 1500u);
    EXPECT_EQ(items.back(), L"TEXT=active:1,text:1499");
}

TEST_F(IniReader, PathsOutsideTheCodePage) {
    const std::wstring folder = dir_ / L"\u041A\u043E\u043D\u0444\u0438\u0433_\u6570\u636E";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring path = folder + L"\\\u00FCber \u0394.ini";
    ASSERT_TRUE(WriteFileBytes(path, "[options]\r\nfont-size=10\r\n"));
    const TInfoFile f(path);
    EXPECT_EQ(f.ReadInteger(L"options", L"font-size", 8), 10);
    EXPECT_TRUE(f.SectionExists(L"options"));
}

TEST_F(IniReader, ReadsAFileAnotherProgramHoldsOpenForWriting) {
    const std::wstring path = dir_ / L"open.ini";
    ASSERT_TRUE(WriteFileBytes(path, "[options]\r\nnav=2\r\n"));
    UniqueHandle writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer.valid());
    EXPECT_EQ(TInfoFile(path).ReadInteger(L"options", L"nav", 0), 2);
}

TEST(IniText, TryIniToInt32RejectsTrailingText) {
    std::int32_t v = 0;
    EXPECT_FALSE(TryIniToInt32(L"12px", v));
    EXPECT_TRUE(TryIniToInt32(L"-$10", v));
    EXPECT_EQ(v, -16);
}

}  // namespace
