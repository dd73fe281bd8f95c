// The optional Windows functions: the ones not every Windows version exports, bound by
// name once at start. The gathering routines read the table; the providers' start and end
// fill and empty it.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <array>
#include <cstddef>
#include <vector>

#include "WinHandles.h"

// Functions that not every Windows version exports, bound once at start. An empty entry
// means the function is missing: each user tests its entry and takes its own fallback.
struct TOptionalApis {
    BOOL(WINAPI* QueryFullProcessImageNameW)(HANDLE, DWORD, LPWSTR, PDWORD) = nullptr;
    DWORD(WINAPI* GetProcessImageFileNameW)(HANDLE, LPWSTR, DWORD) = nullptr;
    DWORD(WINAPI* GetProcessImageFileNameA)(HANDLE, LPSTR, DWORD) = nullptr;
    LONG(WINAPI* NtQuerySystemInformation)(ULONG, PVOID, ULONG, PULONG) = nullptr;
    BOOL(WINAPI* GetSystemTimes)(LPFILETIME, LPFILETIME, LPFILETIME) = nullptr;
    ULONGLONG(WINAPI* GetTickCount64)() = nullptr;
    DWORD(WINAPI* WTSGetActiveConsoleSessionId)() = nullptr;
    DWORD(WINAPI* GetCurrentProcessId)() = nullptr;
    BOOL(WINAPI* ProcessIdToSessionId)(DWORD, DWORD*) = nullptr;
    ULONG(WINAPI* GetAdaptersAddresses)(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES, PULONG) = nullptr;
    PCWSTR(WSAAPI* InetNtopW)(INT, const VOID*, PWSTR, size_t) = nullptr;
};
// Written only by LoadOptionalApis (at start, before any other thread exists) and by
// UnloadOptionalApis (at the end); read from any thread in between.
extern TOptionalApis OptionalApis;

// Where LoadOptionalApis looks up a function: the names tried in order in each library in
// order, among the modules already loaded; with LoadMissing, a library not loaded yet is
// loaded by name (and kept loaded while its function is bound). Message is logged at INFO
// when that library cannot be loaded.
struct TOptionalApiSpec {
    const char* Names[2];
    const wchar_t* Libraries[2];
    bool LoadMissing;
    const wchar_t* Message;
};

// The table's rows in the order they are bound.
extern const std::array<TOptionalApiSpec, 11> OptionalApiSpecs;

// The address of one row's function, or null; LoadedLibrary receives the library that
// had to be loaded for it (left empty when the function came from a loaded module or was
// not found).
FARPROC BindOptionalApi(const TOptionalApiSpec& Spec, UniqueLibrary& LoadedLibrary);

// Binds every row of Specs in order: the addresses (null where none was found); the
// libraries that had to be loaded for them are added to Libraries, to be kept while the
// functions may be called.
template <std::size_t N>
std::array<FARPROC, N> BindOptionalApis(const std::array<TOptionalApiSpec, N>& Specs,
                                        std::vector<UniqueLibrary>& Libraries) {
    std::array<FARPROC, N> found{};
    for (std::size_t i = 0; i < N; ++i) {
        UniqueLibrary loaded;
        found[i] = BindOptionalApi(Specs[i], loaded);
        if (loaded.valid()) Libraries.push_back(std::move(loaded));
    }
    return found;
}

// Stores a bound address in a table entry of its function's type.
template <typename T>
void AssignOptionalApi(T& Entry, FARPROC Address) {
    Entry = reinterpret_cast<T>(reinterpret_cast<void*>(Address));
}

// Fills OptionalApis.
void LoadOptionalApis();
// Empties OptionalApis and releases the libraries loaded for it.
void UnloadOptionalApis();
