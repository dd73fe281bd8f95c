// Helpers for tests that meet a running Vistrel64 through the real shared areas: start it,
// map its areas from outside, wait for its passes, end every collector left running.
#pragma once

#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "SharedAreas.h"
#include "TestFiles.h"
#include "WinHandles.h"

// Polls Condition every 50 ms for up to TimeoutMs; true once it held.
inline bool WaitFor(const std::function<bool()>& Condition, DWORD TimeoutMs) {
    const ULONGLONG end = GetTickCount64() + TimeoutMs;
    while (true) {
        if (Condition()) return true;
        if (GetTickCount64() > end) return false;
        Sleep(50);
    }
}

// One area opened and mapped from the test's side.
struct TOpenedArea {
    UniqueHandle Handle;
    UniqueView View;
    bool Open(const char* Name, std::size_t Size) {
        Handle.reset(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, Name));
        if (Handle.valid()) View.reset(MapViewOfFile(Handle.get(), FILE_MAP_ALL_ACCESS, 0, 0, Size));
        return View.valid();
    }
    template <typename T>
    volatile T* As() const { return static_cast<volatile T*>(const_cast<void*>(View.get())); }
    template <typename T>
    T* Plain() const { return static_cast<T*>(const_cast<void*>(View.get())); }
};

// One area created by the test in the collector's place.
struct TStandInArea {
    UniqueHandle Handle;
    UniqueView View;
    TStandInArea(const char* Name, std::size_t Size) {
        Handle.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(Size), Name));
        if (Handle.valid()) View.reset(MapViewOfFile(Handle.get(), FILE_MAP_ALL_ACCESS, 0, 0, Size));
    }
    template <typename T>
    T* As() const { return static_cast<T*>(const_cast<void*>(View.get())); }
};

// A copy of what a mapped record holds now.
template <typename T>
T Snapshot(const TOpenedArea& Area, std::size_t Index = 0) {
    T r;
    std::memcpy(&r, static_cast<const T*>(Area.View.get()) + Index, sizeof r);
    return r;
}

inline bool AreaExists(const char* Name) {
    UniqueHandle h(OpenFileMappingA(FILE_MAP_READ, FALSE, Name));
    return h.valid();
}

// The ids of running processes of one file name.
inline std::vector<DWORD> ProcessIdsNamed(const std::wstring& FileName) {
    std::vector<DWORD> ids;
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) return ids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry))
        if (_wcsicmp(entry.szExeFile, FileName.c_str()) == 0) ids.push_back(entry.th32ProcessID);
    return ids;
}

// Tells every collector still running to end and waits until the areas are gone.
inline void EndRunningCollectors() {
    const bool gone = WaitFor(
        [] {
            TOpenedArea system;
            if (!system.Open(VslSystemAreaName, VslSystemAreaSize)) return !AreaExists(VslSystemAreaName);
            system.As<TVslSystemArea>()->Command = VslTerminateCommand;
            return false;
        },
        20000);
    ASSERT_TRUE(gone) << "a collector did not end";
    for (DWORD id : ProcessIdsNamed(L"Vistrel64.exe")) {
        UniqueHandle p(OpenProcess(SYNCHRONIZE, FALSE, id));
        if (p.valid()) WaitForSingleObject(p.get(), 10000);
    }
}

// Starts the built Vistrel64.exe with Arguments; the process handle, or none.
inline UniqueHandle LaunchVistrel64(const std::wstring& Arguments = L"") {
    std::wstring commandLine = L"\"" + TestBinaryDir() + L"Vistrel64.exe\"";
    if (!Arguments.empty()) commandLine += L" " + Arguments;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return UniqueHandle();
    CloseHandle(pi.hThread);
    return UniqueHandle(pi.hProcess);
}

// Waits for the heartbeat to change from Previous; the new value (Previous on timeout).
inline std::uint32_t NextHeartbeat(const TOpenedArea& System, std::uint32_t Previous, DWORD TimeoutMs = 15000) {
    std::uint32_t beat = Previous;
    WaitFor(
        [&] {
            beat = System.As<TVslSystemArea>()->HeartbeatTick;
            return beat != Previous;
        },
        TimeoutMs);
    return beat;
}

// The exit code once the process ended within TimeoutMs, else STILL_ACTIVE.
inline DWORD ExitCodeAfter(HANDLE Process, DWORD TimeoutMs) {
    if (WaitForSingleObject(Process, TimeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(Process, &code);
    return code;
}

// This test program's own file name.
inline std::wstring OwnFileName() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p = path;
    return p.substr(p.find_last_of(L"\\/") + 1);
}
