// The ids of the running processes, in a list that grows to hold all the system reports.
// Shared by Vistrel's process items and by Vistrel64.
#pragma once

#include <windows.h>

#include <cstddef>
#include <vector>

// The shape of EnumProcesses: fills up to Bytes bytes of ids and reports the bytes used.
using TEnumProcessesFunction = BOOL(WINAPI*)(DWORD* Ids, DWORD Bytes, DWORD* Used);

// The list starts at this many ids and doubles while the system fills it to the last
// byte (its only sign that ids were left out), up to the last size.
inline constexpr std::size_t FirstProcessIdCapacity = 1024;
inline constexpr std::size_t LastProcessIdCapacity = std::size_t{1} << 20;

// Every process id Enum reports, in its order. False (Ids empty) when the call fails.
inline bool EnumerateProcessIds(TEnumProcessesFunction Enum, std::vector<DWORD>& Ids) {
    Ids.clear();
    if (!Enum) return false;
    std::vector<DWORD> ids(FirstProcessIdCapacity);
    while (true) {
        const DWORD capacity = static_cast<DWORD>(ids.size() * sizeof(DWORD));
        DWORD used = 0;
        if (!Enum(ids.data(), capacity, &used)) return false;
        if (used < capacity || ids.size() >= LastProcessIdCapacity) {
            ids.resize((used < capacity ? used : capacity) / sizeof(DWORD));
            Ids = std::move(ids);
            return true;
        }
        ids.assign(ids.size() * 2, 0);
    }
}
