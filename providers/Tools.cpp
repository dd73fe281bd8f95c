#include "Tools.h"

#include "Cpu.h"
#include "CpuUsage.h"
#include "EventLog.h"
#include "FileItems.h"
#include "Log.h"
#include "Mapping.h"
#include "MemoryDisks.h"
#include "Network.h"
#include "Processes.h"
#include "Registry.h"
#include "SmallItems.h"
#include "SystemInfo.h"
#include "Templates.h"
#include "WinHandles.h"
#include "WmiItems.h"

namespace {
SYSTEMTIME startTime{};
}  // namespace

bool SetPrivilege(bool Enable, const std::string& PrivilegeName) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &raw)) return false;
    const UniqueHandle token(raw);
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    if (!LookupPrivilegeValueA(nullptr, PrivilegeName.c_str(), &privileges.Privileges[0].Luid)) return false;
    privileges.Privileges[0].Attributes = Enable ? SE_PRIVILEGE_ENABLED : 0;
    SetLastError(ERROR_SUCCESS);
    AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
    return GetLastError() == ERROR_SUCCESS;
}

SYSTEMTIME ProgramStartTime() { return startTime; }

void InitializeProviders() {
    // An account without the privilege simply runs without it.
    SetPrivilege(true, "seDebugPrivilege");
    LoadOptionalApis();
    GetLocalTime(&startTime);
    InitializeMemoryDiskProviders();
}

void FinalizeProviders() {
    FinalizeProcessProviders();
    FinalizeFileProviders();
    StopStatisticsProgram();
    FinalizeRegistryWatches();
    adCpuUsage::ReleaseCPUData();
    UserVariables.Clear();
    ClearDiskIoSamples();
    ResetNetworkProviders();
    UnloadOptionalApis();
    FinalizeMemoryDiskProviders();
}

void RegisterProviders() {
    RegisterSystemInfoProviders();
    RegisterProcessProviders();
    RegisterMappingProviders();
    RegisterEventLogProviders();
    RegisterRegistryProviders();
    RegisterMemoryDiskProviders();
    RegisterCpuProviders();
    RegisterWmiProviders();
    RegisterFileProviders();
    RegisterSmallItemProviders();
    RegisterNetworkProviders();
}
