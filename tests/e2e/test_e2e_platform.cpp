// Vistrel.exe and what the platform tells it about itself: the Windows version it reads
// through its application manifest, and the system folder a 32-bit program sees.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "Inspector.h"
#include "NativeSystemFiles.h"
#include "Utils.h"
#include "WinHandles.h"

namespace {

constexpr DWORD kStart = 20000;

// Wine's own setting of the Windows version it reports to one program (by its file name),
// made for the test's lifetime.
class ReportedWindowsVersion {
public:
    ReportedWindowsVersion(const std::wstring& program, const std::wstring& version)
        : key_(L"Software\\Wine\\AppDefaults\\" + program) {
        HKEY raw = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &raw, nullptr) !=
            ERROR_SUCCESS)
            return;
        UniqueKey key(raw);
        const auto bytes = static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t));
        made_ = RegSetValueExW(key.get(), L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                               bytes) == ERROR_SUCCESS;
    }
    ~ReportedWindowsVersion() { RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str()); }
    bool Made() const { return made_; }

private:
    std::wstring key_;
    bool made_ = false;
};

// The text after the first occurrence of prefix up to the end of its line.
std::wstring LineAfter(const std::wstring& text, const std::wstring& prefix) {
    const std::size_t at = text.find(prefix);
    if (at == std::wstring::npos) return {};
    const std::size_t from = at + prefix.size();
    return text.substr(from, text.find(L"\r\n", from) - from);
}

}  // namespace

// Windows 8.1 and later answer a program without a manifest that names them with version
// 6.2.9200; the program names every version up to 10 and 11, so it reads the true one.
TEST(EndToEndPlatform, WindowsVersionLineOnWindows10) {
    const std::wstring program = L"VistrelOnWindows10.exe";
    ReportedWindowsVersion win10(program, L"win10");
    ASSERT_TRUE(win10.Made());
    VistrelProcess v(L"/f", true, [](const TempFolder& folder) {
        WriteFileBytes(folder.File(L"vistrel.ini"), "[items]\r\nUPTIME=active:1\r\n");
    }, program);
    ASSERT_TRUE(v.WaitForLog(L"INFO  Windows Version ", kStart));
    const std::wstring version = LineAfter(v.LogText(), L"INFO  Windows Version ");
    EXPECT_EQ(version.rfind(L"10.0.", 0), 0u) << testing::PrintToString(version);
}

// wow64.dll lies only in the native system folder of 64-bit Windows (and of Wine's 64-bit
// prefix): the shipped 32-bit program, whose System32 is SysWOW64, finds it there too.
TEST(EndToEndPlatform, FileExistFindsAFileOfTheNativeSystemFolder) {
    const std::wstring file = SystemFolder() + L"\\wow64.dll";
    ASSERT_TRUE(PathExists(NativeSystemFolderForTests() + L"\\wow64.dll"));
    VistrelProcess v(L"/f", true, [&](const TempFolder& folder) {
        WriteFileBytes(folder.File(L"vistrel.ini"), "[items]\r\nFILEEXIST=active:1,file:" + WideToUtf8(file) + "\r\n");
    });
    ASSERT_TRUE(v.WaitForLog(L"DATA  GetFileExists: ", kStart));
    EXPECT_EQ(LineAfter(v.LogText(), L"DATA  GetFileExists: "), L"True") << testing::PrintToString(file);
}

// A program folder that refuses the language files (here: it has no languages folder):
// the switch e logs each file it cannot write to the debug switch's file.
TEST(EndToEndPlatform, LanguageFilesThatCannotBeWrittenAreErrorLines) {
    VistrelProcess v(L"/e");
    EXPECT_EQ(v.WaitExit(kStart), 0u);
    const std::wstring log = v.LogText();
    const std::wstring languages = v.Folder() + L"\\languages\\";
    EXPECT_NE(log.find(L"ERROR WriteEnglishLanguageFile: cannot write " + languages + L"english.ini: "), std::wstring::npos)
        << testing::PrintToString(log);
    for (const wchar_t* name : {L"arabic", L"german"})
        EXPECT_NE(log.find(L"ERROR UpdateLanguageFile: cannot write " + languages + name + L".ini: "), std::wstring::npos)
            << testing::PrintToString(std::wstring(name));
}
