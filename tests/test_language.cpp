// The language-file generator in a temporary program folder, with the fixture
// tests/fixtures/languages/german.ini as an old translation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "Configuration.h"
#include "InfoFiles.h"
#include "Includes.h"
#include "Log.h"
#include "Units.h"
#include "Utils.h"
#include "TestFiles.h"
#include "WinHandles.h"
#include "test_providers_support.h"


namespace {

const std::string kUmlautU = "\xC3\xBC";  // u with diaeresis, in UTF-8

std::string FixtureGerman() {
    return ReadFileBytes(AnsiToWide(VISTREL_TEST_SOURCE_DIR) + L"/tests/fixtures/languages/german.ini");
}

class LanguageFiles : public ::testing::Test {
protected:
    void SetUp() override {
        InitializeUnits();
        ASSERT_TRUE(CreateDirectoryW(Languages().c_str(), nullptr));
    }
    void TearDown() override {
        FreeConfigItems(ConfigItems);
        FinalizeUnits();
    }
    std::wstring Languages() const { return dir_ / L"languages"; }
    std::wstring LanguageFile(const std::wstring& name) const { return Languages() + L"\\" + name; }
    static std::wstring VistrelExe() { return ProgramDirectory() + L"Vistrel.exe"; }
    void Generate() { GenerateLanguageFiles(dir_.Path(), VistrelExe()); }
    // The file's lines; every line must end in CR LF.
    std::vector<std::string> Lines(const std::wstring& name) {
        const std::string bytes = ReadFileBytes(LanguageFile(name));
        std::vector<std::string> lines = SplitCrLf(bytes);
        EXPECT_EQ(lines.back(), "") << "the last line ends in CR LF";
        lines.pop_back();
        for (const auto& l : lines) EXPECT_EQ(l.find('\n'), std::string::npos) << "a line feed without CR: " << l;
        return lines;
    }

    TempFolder dir_{L"vsllang"};
};

TEST_F(LanguageFiles, EnglishReferenceFile) {
    Generate();
    const std::string bytes = ReadFileBytes(LanguageFile(L"english.ini"));
    ASSERT_FALSE(bytes.empty());
    EXPECT_NE(bytes.compare(0, 3, "\xEF\xBB\xBF"), 0);
    const std::vector<std::string> lines = Lines(L"english.ini");
    ASSERT_EQ(lines.size(), 88u);
    EXPECT_EQ(lines[0], "# Vistrel v" VISTREL_VERSION_TEXT);
    EXPECT_EQ(lines[1], "# English language reference file.");
    EXPECT_EQ(lines[4], "# defined in the main vistrel.ini file.");
    const std::vector<std::string> sections = {lines[5], lines[6], lines[7], lines[8]};
    EXPECT_EQ(sections, (std::vector<std::string>{"", "[options]", "", "[text]"}));
    EXPECT_EQ(lines[9], "noresults=<n/a>");
    EXPECT_EQ(lines[10], "error=[error]");
    EXPECT_EQ(lines[11], "null-result=<null>");
    EXPECT_EQ(lines[13], "[pages]");
    EXPECT_EQ(lines[14], "1=Main Page");
    EXPECT_EQ(lines[19], "6=Tools");
    EXPECT_EQ(lines[22], "9=");
    EXPECT_EQ(lines[24], "[items]");
    EXPECT_EQ(lines[25], "comment=Comment");
    EXPECT_EQ(lines[42], "cpuusage=CPU %1");
    EXPECT_EQ(lines[68], "diskio=Disk IO");
    EXPECT_EQ(lines[87], "cmd=Command");
}

TEST_F(LanguageFiles, RebuildKeepsHeaderTranslationsAndLanguageIdLabels) {
    ASSERT_TRUE(WriteFileBytes(LanguageFile(L"german.ini"), FixtureGerman()));
    Generate();
    const std::vector<std::string> lines = Lines(L"german.ini");
    // Three header lines, an empty line, then 82 lines of the layout and two labels.
    ASSERT_EQ(lines.size(), 3u + 1 + 82 + 2);
    EXPECT_EQ(lines[0], "# Vistrel - deutsche Sprachdatei.");
    EXPECT_EQ(lines[1], "# \xC3\x9C" "bersetzt von einer freundlichen Person.");
    EXPECT_EQ(lines[2], "# Korrekturen bitte an den Autor.");
    EXPECT_EQ(lines[3], "");
    EXPECT_EQ(lines[4], "[options]");
    EXPECT_EQ(lines[5], "");  // the old options are not carried over
    EXPECT_EQ(lines[6], "[text]");
    EXPECT_EQ(lines[7], "noresults=<k.A.>");
    EXPECT_EQ(lines[8], "error=[Fehler]");
    EXPECT_EQ(lines[9], "null-result=<null>");
    EXPECT_EQ(lines[11], "[pages]");
    EXPECT_EQ(lines[12], "1=Hauptseite");
    EXPECT_EQ(lines[14], "3=Netzwerk");
    EXPECT_EQ(lines[15], "4=Hardware");
    EXPECT_EQ(lines[18], "7=");
    EXPECT_EQ(lines[22], "[items]");
    EXPECT_EQ(lines[23], "comment=Comment");
    auto itemLine = [&](const std::string& key) {
        for (std::size_t i = 23; i < 23 + 63; ++i)
            if (lines[i].compare(0, key.size() + 1, key + "=") == 0) return lines[i];
        return std::string("<missing>");
    };
    EXPECT_EQ(itemLine("uptime"), "uptime=Betriebszeit");
    EXPECT_EQ(itemLine("host"), "host=Rechnername");
    EXPECT_EQ(itemLine("physicalram"), "physicalram=Arbeitsspeicher");
    EXPECT_EQ(itemLine("fixeddisk"), "fixeddisk=Festplatte %1");
    EXPECT_EQ(itemLine("user"), "user=User");
    EXPECT_EQ(lines[23 + 62], "cmd=Command");
    // Labels keyed by a language id follow, each key once, the first value kept.
    EXPECT_EQ(lines[86], "cpu1=Prozessor 1");
    EXPECT_EQ(lines[87], "freier-platz=Freier Speicher f" + kUmlautU + "r Daten");
}

TEST_F(LanguageFiles, RebuiltFileGivesLabelsByLanguageId) {
    ASSERT_TRUE(WriteFileBytes(LanguageFile(L"german.ini"), FixtureGerman()));
    ASSERT_TRUE(UpdateLanguageFile(dir_.Path(), L"german"));
    TConfigItem cpu, up;
    FindItemDefault("CPUUSAGE", cpu);
    cpu.Lid = L"cpu1";
    FindItemDefault("UPTIME", up);
    ConfigItems = {cpu, up};
    ASSERT_TRUE(LoadOptions(LanguageFile(L"german.ini"), TOptionsFile::Language, VistrelExe()));
    EXPECT_EQ(ConfigItems[0].Text, L"Prozessor 1");
    EXPECT_EQ(ConfigItems[1].Text, L"Betriebszeit");
    EXPECT_EQ(PageNames.at(3), L"Netzwerk");
    EXPECT_EQ(ErrorText, L"[Fehler] ");
}

TEST_F(LanguageFiles, MissingLanguageFilesAreBuiltFromEnglish) {
    Generate();
    for (const wchar_t* name : LanguageNames) {
        const std::vector<std::string> lines = Lines(std::wstring(name) + L".ini");
        ASSERT_EQ(lines.size(), 82u) << WideToUtf8(name);
        EXPECT_EQ(lines[0], "[options]");
        EXPECT_EQ(lines[18], "[items]");
        EXPECT_EQ(lines[19], "comment=Comment");
        EXPECT_EQ(lines[81], "cmd=Command");
    }
}

TEST_F(LanguageFiles, SecondRunLeavesEveryFileByteIdentical) {
    ASSERT_TRUE(WriteFileBytes(LanguageFile(L"german.ini"), FixtureGerman()));
    // An LF-only file with a byte-order mark is read the same as a Windows-written one.
    ASSERT_TRUE(WriteFileBytes(LanguageFile(L"french.ini"),
                           "\xEF\xBB\xBF# fran\xC3\xA7" "ais\n\n[pages]\n1=Page principale\n[items]\nuptime=Dur\xC3\xA9" "e\n"
                           "cpu0=Processeur\n"));
    Generate();
    std::vector<std::string> first;
    std::vector<std::wstring> names = {L"english"};
    for (const wchar_t* n : LanguageNames) names.push_back(n);
    for (const auto& n : names) first.push_back(ReadFileBytes(LanguageFile(n + L".ini")));
    Generate();
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(ReadFileBytes(LanguageFile(names[i] + L".ini")), first[i]) << WideToUtf8(names[i]);
    EXPECT_FALSE(PathExists(LanguageFile(L"tmp")));

    const std::vector<std::string> french = Lines(L"french.ini");
    ASSERT_EQ(french.size(), 84u + 1);
    EXPECT_EQ(french[0], "# fran\xC3\xA7" "ais");
    EXPECT_EQ(french[1], "");
    EXPECT_EQ(french[2], "[options]");
    EXPECT_EQ(french[10], "1=Page principale");
    EXPECT_EQ(french[84], "cpu0=Processeur");
}

TEST_F(LanguageFiles, TranslationsOfAnEightBitFileKeepTheirLetters) {
    // A translator's file in the system's 8-bit code page: header, texts, pages, keyword
    // labels and labels by language id, each with letters beyond ASCII.
    const std::string old = "# Fichier fran\xE7" "ais\r\n\r\n[text]\r\nerror=[Erreur \xE9]\r\n[pages]\r\n"
                            "1=Page d'accueil \xE0 Orl\xE9" "ans\r\n[items]\r\nuptime=Dur\xE9" "e de fonctionnement\r\n"
                            "host=Nom de l'h\xF4te\r\ncpu0=Processeur n\xB0 1 (\xE7\xE0 \xFC \xDF)\r\n";
    ASSERT_TRUE(WriteFileBytes(LanguageFile(L"french.ini"), old));
    ASSERT_TRUE(UpdateLanguageFile(dir_.Path(), L"french"));
    const TInfoFile rebuilt(LanguageFile(L"french.ini"));
    EXPECT_EQ(rebuilt.ReadHeader(), AnsiToWide("# Fichier fran\xE7" "ais"));
    EXPECT_EQ(rebuilt.ReadString(L"text", L"error", L""), AnsiToWide("[Erreur \xE9]"));
    EXPECT_EQ(rebuilt.ReadString(L"pages", L"1", L""), AnsiToWide("Page d'accueil \xE0 Orl\xE9" "ans"));
    EXPECT_EQ(rebuilt.ReadString(L"items", L"uptime", L""), AnsiToWide("Dur\xE9" "e de fonctionnement"));
    EXPECT_EQ(rebuilt.ReadString(L"items", L"host", L""), AnsiToWide("Nom de l'h\xF4te"));
    EXPECT_EQ(rebuilt.ReadString(L"items", L"cpu0", L""), AnsiToWide("Processeur n\xB0 1 (\xE7\xE0 \xFC \xDF)"));
    // Written as UTF-8, the letters stay the same the next time too.
    const std::string once = ReadFileBytes(LanguageFile(L"french.ini"));
    EXPECT_EQ(once.find('\xE9'), std::string::npos) << "the rebuilt file is UTF-8";
    ASSERT_TRUE(UpdateLanguageFile(dir_.Path(), L"french"));
    EXPECT_EQ(ReadFileBytes(LanguageFile(L"french.ini")), once);
    if (GetACP() == 1252) {
        const std::vector<std::string> lines = Lines(L"french.ini");
        EXPECT_EQ(lines[0], "# Fichier fran\xC3\xA7" "ais");
        EXPECT_NE(std::find(lines.begin(), lines.end(), "uptime=Dur\xC3\xA9" "e de fonctionnement"), lines.end());
    }
}

TEST_F(LanguageFiles, NoTmpIsLeftBehind) {
    ASSERT_TRUE(WriteFileBytes(LanguageFile(L"tmp"), "left over from before"));
    Generate();
    EXPECT_FALSE(PathExists(LanguageFile(L"tmp")));
    EXPECT_TRUE(PathExists(LanguageFile(L"german.ini")));
}

TEST_F(LanguageFiles, FailedReplaceKeepsTheOldFile) {
    const std::string old = FixtureGerman();
    ASSERT_TRUE(WriteFileBytes(LanguageFile(L"german.ini"), old));
    {
        // Another program holds the file open and does not allow it to be replaced.
        const std::wstring path = LanguageFile(L"german.ini");
        UniqueHandle holder(
            CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder.valid());
        const std::wstring log = dir_ / L"replace.log";
        SetLogFileName(log);
        LogLevels = 2;
        EXPECT_FALSE(UpdateLanguageFile(dir_.Path(), L"german"));
        SetLogFileName(L"");
        LogLevels = 0;
        // The failure names the file.
        const std::string bytes = ReadFileBytes(log);
        std::wstring text(bytes.size() / 2, L'\0');
        std::memcpy(text.data(), bytes.data(), text.size() * 2);
        EXPECT_NE(text.find(L"ERROR GenerateLanguageFiles: [Error] " + path + L" cannot be written: error "),
                  std::wstring::npos)
            << testing::PrintToString(text);
        EXPECT_FALSE(PathExists(LanguageFile(L"tmp")));
        // The generator goes on with the other files.
        Generate();
    }
    EXPECT_EQ(ReadFileBytes(LanguageFile(L"german.ini")), old);
    EXPECT_TRUE(PathExists(LanguageFile(L"italian.ini")));
    EXPECT_TRUE(PathExists(LanguageFile(L"english.ini")));
    EXPECT_FALSE(PathExists(LanguageFile(L"tmp")));
}

TEST_F(LanguageFiles, MissingLanguagesFolderWritesNothing) {
    ASSERT_TRUE(RemoveDirectoryW(Languages().c_str()));
    EXPECT_FALSE(WriteEnglishLanguageFile(dir_.Path(), VistrelExe()));
    EXPECT_FALSE(UpdateLanguageFile(dir_.Path(), L"german"));
    Generate();
    EXPECT_FALSE(PathExists(Languages()));
}

namespace {

// Whether the ERROR lines hold, for each file, exactly one line of the generator that
// names it and the reason, and no other line.
::testing::AssertionResult OneErrorLineEach(const std::vector<std::wstring>& errors,
                                            const std::vector<std::wstring>& files) {
    for (const std::wstring& file : files) {
        int n = 0;
        for (const std::wstring& line : errors)
            if (line.rfind(L"GenerateLanguageFiles: ", 0) == 0 && line.find(file + L" cannot be written: error ") != std::wstring::npos)
                ++n;
        if (n != 1) return ::testing::AssertionFailure() << n << " lines for " << testing::PrintToString(file);
    }
    if (errors.size() != files.size()) return ::testing::AssertionFailure() << errors.size() << " ERROR lines";
    return ::testing::AssertionSuccess();
}

}  // namespace

// A program folder the user may not write to (Program Files) refuses every write: each
// file that is not written is an ERROR line naming it and the reason.
TEST_F(LanguageFiles, EveryFileNotWrittenIsAnErrorLineThatNamesIt) {
    {
        LogCapture log;
        ASSERT_TRUE(RemoveDirectoryW(Languages().c_str()));
        Generate();
        std::vector<std::wstring> expected = {LanguageFile(L"english.ini")};
        for (const wchar_t* name : LanguageNames) expected.push_back(LanguageFile(std::wstring(name) + L".ini"));
        EXPECT_TRUE(OneErrorLineEach(log.At(L"ERROR"), expected));
    }
    {
        // One file held open by another program: only that one fails.
        LogCapture log;
        ASSERT_TRUE(CreateDirectoryW(Languages().c_str(), nullptr));
        const std::wstring path = LanguageFile(L"german.ini");
        ASSERT_TRUE(WriteFileBytes(path, FixtureGerman()));
        UniqueHandle holder(
            CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder.valid());
        Generate();
        EXPECT_TRUE(OneErrorLineEach(log.At(L"ERROR"), {path}));
        EXPECT_TRUE(PathExists(LanguageFile(L"english.ini")));
    }
}

TEST_F(LanguageFiles, ProgramFolderOutsideTheCodePage) {
    const std::wstring folder = dir_ / L"\u0420\u0443\u0441 \u4E2D\u6587";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\languages").c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(folder + L"\\languages\\german.ini", FixtureGerman()));
    GenerateLanguageFiles(folder + L"\\", VistrelExe());
    EXPECT_EQ(SplitCrLf(ReadFileBytes(folder + L"\\languages\\english.ini")).size(), 88u + 1);
    const std::vector<std::string> german = SplitCrLf(ReadFileBytes(folder + L"\\languages\\german.ini"));
    ASSERT_EQ(german.size(), 88u + 1);
    EXPECT_EQ(german[86], "cpu1=Prozessor 1");
}

TEST_F(LanguageFiles, ReferenceLinesFollowTheKeywordTable) {
    const TWideStringArray items = ItemReferenceLines();
    ASSERT_EQ(items.size(), 63u);
    EXPECT_EQ(items[9], L"uptime=Up Time");
    EXPECT_EQ(items[62], L"cmd=Command");
    EXPECT_EQ(EnglishLanguageLines(L"1.2.3.4").size(), 88u);
}

}  // namespace
