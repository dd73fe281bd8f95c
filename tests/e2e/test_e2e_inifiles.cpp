// Vistrel.exe with the ini files users write: saved by Notepad as "Unicode" (UTF-16 with a
// byte-order mark, either byte order) and with blanks around the section headers; text
// files of the file items and language files in the encodings Windows programs write.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "IniFiles.h"
#include "Inspector.h"
#include "TestFiles.h"
#include "Utils.h"

namespace {

constexpr DWORD kStart = 20000;

// Text as UTF-16 bytes with the byte-order mark.
std::string Utf16Bytes(const std::wstring& text, bool bigEndian) {
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (const wchar_t c : text) {
        const char high = static_cast<char>(c >> 8), low = static_cast<char>(c & 0xFF);
        bytes += bigEndian ? std::string{high, low} : std::string{low, high};
    }
    return bytes;
}

// A file of the program folder.
std::wstring InFolder(const VistrelProcess& v, const std::wstring& name) {
    std::wstring path = v.Folder();
    if (!path.empty() && path.back() != L'\\') path += L'\\';
    return path + name;
}

// The log file the ini's "log" option names, in the program folder.
std::wstring OwnLog(const VistrelProcess& v) { return Utf16File(InFolder(v, L"own-log.txt")); }

}  // namespace

TEST(EndToEndIniFiles, AUtf16IniWithBlanksAroundItsHeadersLoadsItsOptionsAndItems) {
    // The log option only takes effect when its section's header is recognised; the item's
    // Greek text only reads back whole when the file is decoded as UTF-16.
    const std::wstring ini = L" [options] \r\nlog=own-log.txt\r\nlog-level=all\r\nnav=0\r\n\t[items]\r\n"
                             L"TEXT=active:1,lid:greek,display:\u0395\u03bb\u03bb\u03ac\u03b4\u03b1 \u2605\r\n";
    for (const bool bigEndian : {false, true}) {
        const std::string bytes = Utf16Bytes(ini, bigEndian);
        VistrelProcess v(L"/f", false, [&](const TempFolder& folder) { WriteFileBytes(folder.File(L"vistrel.ini"), bytes); });
        const DWORD start = GetTickCount();
        while (OwnLog(v).find(L"TEXT (greek) True") == std::wstring::npos && GetTickCount() - start < kStart) Sleep(200);
        const std::wstring log = OwnLog(v);
        EXPECT_NE(log.find(L"INFO  Items Loaded: 1"), std::wstring::npos) << bigEndian;
        EXPECT_NE(log.find(L"TEXT (greek) True"), std::wstring::npos) << bigEndian;
        EXPECT_NE(log.find(L"\u0395\u03bb\u03bb\u03ac\u03b4\u03b1 \u2605"), std::wstring::npos) << bigEndian;
        EXPECT_EQ(ReadFileBytes(InFolder(v, L"vistrel.ini")), bytes) << "the file on disk was changed";
    }
}

// The file items read text files as Windows programs write them: UTF-16 with its mark
// (Notepad's "Unicode", PowerShell 5's ">"), UTF-8 with a mark, and the 8-bit code page.
TEST(EndToEndIniFiles, FileItemsReadUtf16AndMarkedUtf8Files) {
    const std::string ini = "[options]\r\nnav=0\r\n[items]\r\n"
                            "FILECONTENTS1=active:1,file:le.txt\r\n"
                            "FILE2TEXT=active:1,file:le.txt,key:colour\r\n"
                            "FILE2TEXT=active:1,file:bom.txt,key:first\r\n";
    VistrelProcess v(L"/f", true, [&](const TempFolder& folder) {
        WriteFileBytes(folder.File(L"vistrel.ini"), ini);
        WriteFileBytes(folder.File(L"le.txt"), Utf16Bytes(L"caf\u00E9 line\r\ncolour=gr\u00FCn", false));
        WriteFileBytes(folder.File(L"bom.txt"), "\xEF\xBB\xBF" "first=\xC3\xA9t\xC3\xA9\r\nsecond=2\r\n");
    });
    EXPECT_TRUE(v.WaitForLog(L"GetFileContents: caf\u00E9 line|colour=gr\u00FCn|", kStart));
    EXPECT_TRUE(v.WaitForLog(L"GetFile2Text: colour=gr\u00FCn", kStart));
    EXPECT_TRUE(v.WaitForLog(L"GetFile2Text: first=\u00E9t\u00E9", kStart));
    const std::wstring log = v.LogText();
    EXPECT_EQ(log.find(L"\xFFFD"), std::wstring::npos) << "a replacement character in the log";
}

// "/e" rebuilds a translator's language file written in the 8-bit code page: every
// translation it carries over keeps its letters.
TEST(EndToEndIniFiles, RewritingAnEightBitLanguageFileKeepsTheLettersOfItsTranslations) {
    // Code page 1252, as Wine's default locale has it: é è à ô ç ü ß °.
    const std::string french = "# Fichier fran\xE7" "ais\r\n\r\n[text]\r\nerror=[Erreur \xE9]\r\n[pages]\r\n"
                               "1=Page d'accueil \xE0 Orl\xE9" "ans\r\n[items]\r\nuptime=Dur\xE9" "e\r\n"
                               "host=Nom de l'h\xF4te\r\ncpu0=Processeur n\xB0 1 (\xE7\xE8 \xFC \xDF)\r\n";
    ASSERT_EQ(GetACP(), 1252u) << "this fixture is written in code page 1252";
    VistrelProcess v(L"/e", false, [&](const TempFolder& folder) {
        CreateDirectoryW(folder.File(L"languages").c_str(), nullptr);
        WriteFileBytes(folder.File(L"languages\\french.ini"), french);
    });
    ASSERT_EQ(v.WaitExit(kStart), 0u);
    const std::wstring path = InFolder(v, L"languages\\french.ini");
    const TInfoFile rebuilt(path);
    EXPECT_EQ(rebuilt.ReadHeader(), L"# Fichier fran\u00E7ais");
    EXPECT_EQ(rebuilt.ReadString(L"text", L"error", L""), L"[Erreur \u00E9]");
    EXPECT_EQ(rebuilt.ReadString(L"pages", L"1", L""), L"Page d'accueil \u00E0 Orl\u00E9ans");
    EXPECT_EQ(rebuilt.ReadString(L"items", L"uptime", L""), L"Dur\u00E9e");
    EXPECT_EQ(rebuilt.ReadString(L"items", L"host", L""), L"Nom de l'h\u00F4te");
    EXPECT_EQ(rebuilt.ReadString(L"items", L"cpu0", L""), L"Processeur n\u00B0 1 (\u00E7\u00E8 \u00FC \u00DF)");
    // As the file is on disk: UTF-8.
    const std::string bytes = ReadFileBytes(path);
    EXPECT_NE(bytes.find("uptime=Dur\xC3\xA9" "e\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("host=Nom de l'h\xC3\xB4te\r\n"), std::string::npos);
}
