// Vistrel.exe with the ini files users write: saved by Notepad as "Unicode" (UTF-16 with a
// byte-order mark, either byte order) and with blanks around the section headers.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

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
