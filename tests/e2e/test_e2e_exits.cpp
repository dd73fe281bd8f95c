// Vistrel.exe ended while an item's gathering routine is in flight (an HTTP source that
// answers slowly, or never), each way a user or the system ends it: the routine returns
// before the program finalises anything, and one that does not return in time leaves the
// program to end at once, still within a few seconds.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "HttpTestServer.h"
#include "Inspector.h"

namespace {

constexpr DWORD kStart = 20000;
const wchar_t kMainClass[] = L"TVistrelMainForm";
const wchar_t kEnd[] = L"FinalizeUnits Complete.";
const wchar_t kLeftRunning[] =
    L"EndProgram: a gathering routine is still running; the program ends without finalising its units";

// Vistrel.exe with one HTTPGET item on the server, collected every second.
std::function<void(const TempFolder&)> HttpIni(const LocalServer& server) {
    const std::string ini = "[items]\r\nhttpget=active:1,interval:1,source:" + server.Url() + "\r\n";
    return [ini](const TempFolder& folder) { WriteFileBytes(folder.File(L"vistrel.ini"), ini); };
}

bool WaitUntil(const std::function<bool()>& condition, DWORD ms) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start >= ms) return false;
        ServeMessages(20);
    }
    return true;
}

struct WayOut {
    const char* name;
    const wchar_t* switches;
    std::function<void(VistrelProcess&, HWND form)> run;
};

std::vector<WayOut> WaysOut() {
    return {
        {"a close request", L"/f", [](VistrelProcess&, HWND form) { PostMessageW(form, WM_CLOSE, 0, 0); }},
        {"the screen saver's key", L"/s",
         [](VistrelProcess& v, HWND) { PostMessageW(WindowsOf(v.Id(), L"TBlankForm", true).at(0), WM_KEYDOWN, 'A', 0); }},
        {"the end of the session", L"/f",
         [](VistrelProcess& v, HWND) {
             SendMessageTimeoutW(WindowsOf(v.Id(), L"TApplication", false).at(0), WM_ENDSESSION, TRUE, 0,
                                 SMTO_NORMAL, 5000, nullptr);
         }},
    };
}

}  // namespace

TEST(EndToEndExits, TheRoutineInFlightReturnsBeforeTheProgramFinalises) {
    for (const WayOut& way : WaysOut()) {
        for (int run = 0; run < 2; ++run) {
            LocalServer server([&server](SOCKET client, const std::atomic<bool>& stop) {
                for (DWORD waited = 0; waited < 1500 && !stop; waited += 50) Sleep(50);  // 1.5 s late
                server.SendAll(client, HttpResponse("slow"), stop);
            });
            VistrelProcess v(way.switches, true, HttpIni(server));
            HWND form = WaitForWindow(v.Id(), kMainClass, kStart);
            ASSERT_NE(form, nullptr) << way.name;
            ASSERT_TRUE(WaitUntil([&] { return server.Requests() > 0; }, kStart)) << way.name;
            ServeMessages(200);  // the request is in flight; its answer comes in 1.3 s
            way.run(v, form);
            EXPECT_EQ(v.WaitExit(10000), 0u) << way.name;
            const std::wstring log = v.LogText();
            const std::size_t gathered = log.rfind(L"Http Get: slow");
            const std::size_t end = log.find(kEnd);
            ASSERT_NE(end, std::wstring::npos) << way.name;
            EXPECT_NE(gathered, std::wstring::npos) << way.name << ": the routine in flight returned";
            EXPECT_LT(gathered, end) << way.name << ": before the units were finalised";
            EXPECT_EQ(log.find(kLeftRunning), std::wstring::npos) << way.name;
        }
    }
}

TEST(EndToEndExits, ARoutineThatDoesNotReturnLeavesTheProgramToEndAtOnce) {
    for (const WayOut& way : WaysOut()) {
        LocalServer server("", true);  // never answers
        VistrelProcess v(way.switches, true, HttpIni(server));
        HWND form = WaitForWindow(v.Id(), kMainClass, kStart);
        ASSERT_NE(form, nullptr) << way.name;
        ASSERT_TRUE(WaitUntil([&] { return server.Requests() > 0; }, kStart)) << way.name;
        const DWORD start = GetTickCount();
        way.run(v, form);
        EXPECT_EQ(v.WaitExit(10000), 0u) << way.name;
        EXPECT_LT(GetTickCount() - start, 6000u) << way.name << ": the stop's bound, not the source's time-outs";
        const std::wstring log = v.LogText();
        EXPECT_NE(log.find(kLeftRunning), std::wstring::npos) << way.name;
        EXPECT_EQ(log.find(kEnd), std::wstring::npos) << way.name << ": nothing the routine uses was finalised";
    }
}

TEST(EndToEndExits, ASourceThatNeverAnswersLetsAnIniEditReloadAndACloseRequestEnd) {
    LocalServer server("", true);
    IniFile ini;
    const std::string options = "[options]\r\ninimonitortime=1\r\n[items]\r\n";
    const std::string lines = "uptime=active:1,lid:up,interval:1\r\nhttpget=active:1,source:" + server.Url() + "\r\n";
    ini.Write(options + lines);
    VistrelProcess v(ini.Switch());
    HWND form = WaitForWindow(v.Id(), kMainClass, kStart);
    ASSERT_NE(form, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return server.Requests() > 0; }, kStart));
    ServeMessages(1500);  // the fetch hangs
    ASSERT_EQ(Count(v.LogText(), L"DEBUG CheckIniFile"), 1u);

    DWORD start = GetTickCount();
    ini.Write(options + "uptime=active:1,lid:new\r\n" + lines);
    ASSERT_TRUE(WaitForCount(v, L"DEBUG CheckIniFile", 2, 10000)) << "the edit reloads within 10 s";
    // The new configuration is gathered at once, beside the held fetch, which keeps its
    // source: the source's item says so and waits for it.
    EXPECT_TRUE(v.WaitForLog(L"UPTIME (new)", 10000)) << "and the new line is gathered";
    EXPECT_LT(GetTickCount() - start, 10000u);
    EXPECT_TRUE(v.WaitForLog(L"HTTPGET () not collected: a gathering routine of the same source", 10000));
    EXPECT_EQ(v.LogText().find(L"TCollector: waiting"), std::wstring::npos);
    // Painting goes on after the reload.
    const std::size_t painted = Count(v.LogText(), L"DEBUG UpdateEntries Complete.");
    EXPECT_TRUE(WaitForCount(v, L"DEBUG UpdateEntries Complete.", painted + 3, 5000));

    start = GetTickCount();
    PostMessageW(form, WM_CLOSE, 0, 0);
    EXPECT_EQ(v.WaitExit(10000), 0u);
    EXPECT_LT(GetTickCount() - start, 6000u) << "a close request ends the program within 6 s";
}
