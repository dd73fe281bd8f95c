// A helper process for the process-item tests, started from a copy with a name of the
// test's choosing.
#pragma once

#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestFiles.h"
#include "WinHandles.h"

// A copy of process_fixture.exe named ExeName, started for one test: it holds Megabytes of
// touched memory until it is stopped (or the fixture object ends). Tests that run side by
// side give their copies different names, so that none counts another's processes.
class FixtureProcess {
public:
    FixtureProcess(unsigned megabytes, const std::wstring& exeName) {
        static int counter = 0;
        const std::wstring tag = L"vistrel-procfix-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(++counter);
        stop_.reset(CreateEventW(nullptr, TRUE, FALSE, (tag + L"-stop").c_str()));
        ready_.reset(CreateEventW(nullptr, TRUE, FALSE, (tag + L"-ready").c_str()));
        const std::wstring exe = folder_.File(exeName);
        if (!CopyFileW((TestBinaryDir() + L"process_fixture.exe").c_str(), exe.c_str(), FALSE)) return;
        std::wstring command = L"\"" + exe + L"\" " + tag + L"-stop " + tag +
                               L"-ready " + std::to_wstring(megabytes);
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        std::vector<wchar_t> line(command.begin(), command.end());
        line.push_back(L'\0');
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return;
        process_.reset(pi.hProcess);
        UniqueHandle thread(pi.hThread);
        id_ = pi.dwProcessId;
        const HANDLE waits[2] = {ready_.get(), process_.get()};
        ready = WaitForMultipleObjects(2, waits, FALSE, 60000) == WAIT_OBJECT_0;
    }
    ~FixtureProcess() { Stop(); }
    void Stop() {
        if (!process_.valid()) return;
        SetEvent(stop_.get());
        if (WaitForSingleObject(process_.get(), 30000) != WAIT_OBJECT_0) TerminateProcess(process_.get(), 1);
        process_.reset();
    }
    DWORD Id() const { return id_; }
    // The counters as this test reads them itself.
    PROCESS_MEMORY_COUNTERS Counters() const {
        PROCESS_MEMORY_COUNTERS c{};
        c.cb = sizeof c;
        EXPECT_TRUE(GetProcessMemoryInfo(process_.get(), &c, sizeof c));
        return c;
    }
    DWORD Handles() const {
        DWORD n = 0;
        GetProcessHandleCount(process_.get(), &n);
        return n;
    }
    bool ready = false;

private:
    TempFolder folder_{L"vistrel-procfix"};
    UniqueHandle stop_, ready_, process_;
    DWORD id_ = 0;
};

