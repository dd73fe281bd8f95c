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
#include <thread>
#include <vector>

#include "Inspector.h"

namespace {

constexpr DWORD kStart = 20000;
const wchar_t kMainClass[] = L"TVistrelMainForm";
const wchar_t kEnd[] = L"FinalizeUnits Complete.";
const wchar_t kLeftRunning[] =
    L"EndProgram: a gathering routine is still running; the program ends without finalising its units";

// An HTTP server on 127.0.0.1 that takes each request and answers it after DelayMs, or
// never while DelayMs is INFINITE (the connection is then held until the server goes).
class SlowServer {
public:
    explicit SlowServer(DWORD delayMs) : delayMs_(delayMs) {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        int len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        listen(listener_, 8);
        thread_ = std::thread([this] { Serve(); });
    }
    ~SlowServer() {
        stop_ = true;
        thread_.join();
        for (SOCKET s : held_) closesocket(s);
        closesocket(listener_);
        WSACleanup();
    }
    SlowServer(const SlowServer&) = delete;
    SlowServer& operator=(const SlowServer&) = delete;
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    int Requests() const { return requests_; }

private:
    void Serve() {
        while (!stop_) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(listener_, &set);
            timeval wait{0, 50000};
            if (select(0, &set, nullptr, nullptr, &wait) != 1) continue;
            const SOCKET client = accept(listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET) continue;
            char buffer[1024];
            recv(client, buffer, sizeof buffer, 0);
            ++requests_;
            held_.push_back(client);
            if (delayMs_ == INFINITE) continue;
            for (DWORD waited = 0; waited < delayMs_ && !stop_; waited += 50) Sleep(50);
            const std::string answer = "HTTP/1.0 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\nslow";
            send(client, answer.data(), static_cast<int>(answer.size()), 0);
            shutdown(client, SD_SEND);
        }
    }

    DWORD delayMs_;
    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::vector<SOCKET> held_;
    std::thread thread_;
};

// Vistrel.exe with one HTTPGET item on the server, collected every second.
std::function<void(const TempFolder&)> HttpIni(const SlowServer& server) {
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
            SlowServer server(1500);
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
        SlowServer server(INFINITE);
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
