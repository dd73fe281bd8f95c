// Vistrel.exe with an ini file, watched from outside through its debug log: the first
// tick's load, reloads on ini edits and window messages, pages and steady relayouts.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "Inspector.h"

namespace {

constexpr DWORD kStart = 20000;
const wchar_t kMainClass[] = L"TVistrelMainForm";

const char kOptions[] = "[options]\r\ninimonitortime=1\r\nnav=1\r\n";

}  // namespace

TEST(EndToEndMainLoop, IniEditReloadsOnceAndGathersTheNewLine) {
    IniFile ini;
    ini.Write(std::string(kOptions) + "[items]\r\nuptime=active:1,lid:first,interval:1\r\n");
    VistrelProcess v(ini.Switch());
    HWND form = WaitForWindow(v.Id(), kMainClass, kStart);
    ASSERT_NE(form, nullptr);
    ASSERT_TRUE(WaitForCount(v, L"DEBUG CheckIniFile", 1, kStart));
    ASSERT_TRUE(v.WaitForLog(L"UPTIME (first)", 10000));
    ServeMessages(2500);  // a few watcher checks of the unchanged file
    EXPECT_EQ(Count(v.LogText(), L"DEBUG CheckIniFile"), 1u) << "an unchanged ini is not reloaded";

    // A burst of writes within one check interval.
    const std::string edited = std::string(kOptions) +
                               "[items]\r\nuptime=active:1,lid:first,interval:1\r\nuptime=active:1,lid:second\r\n";
    ini.Write(edited);
    ini.Write(edited);
    // Within inimonitortime plus the tick, with slack for a slow Wine.
    ASSERT_TRUE(WaitForCount(v, L"DEBUG CheckIniFile", 2, 5000));
    EXPECT_TRUE(v.WaitForLog(L"UPTIME (second)", 5000)) << "the new line is gathered without a restart";
    ServeMessages(3000);
    EXPECT_EQ(Count(v.LogText(), L"DEBUG CheckIniFile"), 2u) << "one reload for the burst";
    Quit(v, form);
}

TEST(EndToEndMainLoop, BurstOfWindowMessagesGivesOneReload) {
    IniFile ini;
    ini.Write(std::string(kOptions) + "[items]\r\nuptime=active:1\r\n");
    VistrelProcess v(ini.Switch());
    HWND form = WaitForWindow(v.Id(), kMainClass, kStart);
    ASSERT_NE(form, nullptr);
    ASSERT_TRUE(WaitForCount(v, L"DEBUG CheckIniFile", 1, kStart));
    ServeMessages(1500);
    for (int i = 0; i < 3; ++i) {
        PostMessageW(form, WM_SETTINGCHANGE, 0, 0);
        PostMessageW(form, WM_DISPLAYCHANGE, 32, MAKELPARAM(1024, 768));
        PostMessageW(form, WM_DEVICECHANGE, 0x18 /* DBT_CONFIGCHANGED */, 0);
    }
    ASSERT_TRUE(WaitForCount(v, L"DEBUG CheckIniFile", 2, 5000));
    ServeMessages(3000);
    EXPECT_EQ(Count(v.LogText(), L"DEBUG CheckIniFile"), 2u);
    Quit(v, form);
}

TEST(EndToEndMainLoop, NoRepeatedRelayoutsWhileNothingChanges) {
    IniFile ini;
    ini.Write(std::string(kOptions) + "[items]\r\nuptime=active:1\r\ncomment=active:1,text:hello\r\n");
    VistrelProcess v(ini.Switch());
    HWND form = WaitForWindow(v.Id(), kMainClass, kStart);
    ASSERT_NE(form, nullptr);
    ASSERT_TRUE(WaitForCount(v, L"DEBUG Relayout", 1, kStart));
    ServeMessages(1500);  // the start settles
    const std::size_t settled = Count(v.LogText(), L"DEBUG Relayout");
    ServeMessages(5000);
    EXPECT_EQ(Count(v.LogText(), L"DEBUG Relayout"), settled) << "five quiet seconds, no relayout";
    Quit(v, form);
}

TEST(EndToEndMainLoop, PageChangeCollectsTheNewPageAtOnce) {
    IniFile ini;
    ini.Write(std::string(kOptions) +
              "initial-page=12\r\n[pages]\r\n1=&Main\r\n2=&Second\r\n[items]\r\n"
              "uptime=active:1,lid:one\r\nuptime=active:2,lid:two,interval:3600\r\n");  // active gives the page
    VistrelProcess v(ini.Switch());
    HWND form = WaitForWindow(v.Id(), kMainClass, kStart);
    ASSERT_NE(form, nullptr);
    ASSERT_TRUE(v.WaitForLog(L"UPTIME (one)", kStart)) << "initial-page outside 1..9 shows page 1";
    ServeMessages(1500);
    EXPECT_EQ(Count(v.LogText(), L"UPTIME (two)"), 0u) << "another page is not collected";
    PostMessageW(form, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(10, 10));
    PostMessageW(form, WM_RBUTTONUP, 0, MAKELPARAM(10, 10));
    HWND menu = WaitForWindow(v.Id(), L"#32768", 10000);
    ASSERT_NE(menu, nullptr);
    PostMessageW(menu, WM_CHAR, L's', 0);
    EXPECT_TRUE(v.WaitForLog(L"UPTIME (two)", 5000)) << "the new page's items are due at once";
    EXPECT_TRUE(v.Running());
    Quit(v, form);
}

TEST(EndToEndMainLoop, SectionHeadersInAnyLetterCaseLoadTheirItems) {
    IniFile ini;
    // The IF item compares a user function's result: true only when "[Functions]" was read.
    ini.Write("[Options]\r\ninimonitortime=1\r\nnav=1\r\n[Functions]\r\navg=(%1+%2)/2\r\n[ITEMS]\r\n"
              "uptime=active:1,lid:mixed\r\n"
              "if=active:1,value1:{{avg::40:44}},comparator:eq,value2:42,display:average is 42 %1\r\n");
    VistrelProcess v(ini.Switch());
    HWND form = WaitForWindow(v.Id(), kMainClass, kStart);
    ASSERT_NE(form, nullptr);
    EXPECT_TRUE(v.WaitForLog(L"UPTIME (mixed)", kStart)) << "the items are read";
    EXPECT_TRUE(v.WaitForLog(L"GetIf: average is 42 True", 5000)) << "the user function is read";
    const std::wstring log = v.LogText();
    EXPECT_EQ(Count(log, L"Error reading items"), 0u);
    EXPECT_EQ(Count(log, L"Error loading config items"), 0u);
    Quit(v, form);
}

TEST(EndToEndMainLoop, DebugLogInAFolderNamedLikeTheIniSwitchIsNotTheIni) {
    IniFile ini;
    ini.Write(std::string(kOptions) + "[items]\r\nuptime=active:1,lid:chosen\r\n");
    TempFolder logs{L"vistrel-e2e-logs"};
    const std::wstring folder = logs.File(L"my-ini");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring log = folder + L"\\v.log";
    ASSERT_TRUE(WriteFileBytes(log, ""));  // left by an earlier run
    VistrelProcess v(ini.Switch(), log);
    HWND form = WaitForWindow(v.Id(), kMainClass, kStart);
    ASSERT_NE(form, nullptr);
    EXPECT_TRUE(v.WaitForLog(L"UPTIME (chosen)", kStart)) << "the ini switch's file is loaded";
    const std::wstring text = v.LogText();
    EXPECT_NE(text.find(L"Ini File: " + ini.path), std::wstring::npos);
    EXPECT_EQ(Count(text, L"Error loading config items"), 0u);
    Quit(v, form);
}
