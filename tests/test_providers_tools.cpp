#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <iterator>
#include <string>

#include "Configuration.h"
#include "Cpu.h"
#include "EventLog.h"
#include "FileItems.h"
#include "FixedDisks.h"
#include "LogicalDrives.h"
#include "Memory.h"
#include "Network.h"
#include "ProcessMonitor.h"
#include "Processes.h"
#include "Registry.h"
#include "SmallItems.h"
#include "WmiItems.h"
#include "ItemTypes.h"
#include "SystemInfo.h"
#include "Templates.h"
#include "Tools.h"
#include "Units.h"
#include "test_providers_support.h"

namespace {

void* Address(HMODULE module, const char* name) {
    return module ? reinterpret_cast<void*>(GetProcAddress(module, name)) : nullptr;
}

template <typename T>
void* AsAddress(T entry) {
    return reinterpret_cast<void*>(entry);
}

// The address as the test finds it itself: the plain name, else the K32 name, in each
// library in turn.
void* Expected(std::initializer_list<const wchar_t*> libraries, const char* name) {
    const std::string k32 = std::string("K32") + name;
    for (const wchar_t* library : libraries) {
        HMODULE module = GetModuleHandleW(library);
        if (void* p = Address(module, name)) return p;
        if (void* p = Address(module, k32.c_str())) return p;
    }
    return nullptr;
}

class Providers : public ::testing::Test {
protected:
    void SetUp() override { LoadOptionalApis(); }
    void TearDown() override { LoadOptionalApis(); }
};

}  // namespace

TEST_F(Providers, OptionalFunctionsAreTheSystemsOwn) {
    const auto& a = OptionalApis;
    EXPECT_EQ(AsAddress(a.QueryFullProcessImageNameW), Expected({L"kernel32.dll"}, "QueryFullProcessImageNameW"));
    EXPECT_EQ(AsAddress(a.GetProcessImageFileNameW),
              Expected({L"kernel32.dll", L"psapi.dll"}, "GetProcessImageFileNameW"));
    EXPECT_EQ(AsAddress(a.GetProcessImageFileNameA),
              Expected({L"kernel32.dll", L"psapi.dll"}, "GetProcessImageFileNameA"));
    EXPECT_EQ(AsAddress(a.NtQuerySystemInformation), Expected({L"ntdll.dll"}, "NtQuerySystemInformation"));
    EXPECT_EQ(AsAddress(a.GetSystemTimes), Expected({L"kernel32.dll"}, "GetSystemTimes"));
    EXPECT_EQ(AsAddress(a.GetTickCount64), Expected({L"kernel32.dll"}, "GetTickCount64"));
    EXPECT_EQ(AsAddress(a.WTSGetActiveConsoleSessionId), Expected({L"kernel32.dll"}, "WTSGetActiveConsoleSessionId"));
    EXPECT_EQ(AsAddress(a.GetCurrentProcessId), Expected({L"kernel32.dll"}, "GetCurrentProcessId"));
    EXPECT_EQ(AsAddress(a.ProcessIdToSessionId), Expected({L"kernel32.dll"}, "ProcessIdToSessionId"));
    // Every function this system has is bound.
    EXPECT_NE(a.QueryFullProcessImageNameW, nullptr);
    EXPECT_NE(a.GetProcessImageFileNameW, nullptr);
    EXPECT_NE(a.GetProcessImageFileNameA, nullptr);
    EXPECT_NE(a.NtQuerySystemInformation, nullptr);
    EXPECT_NE(a.GetSystemTimes, nullptr);
    EXPECT_NE(a.GetTickCount64, nullptr);
    EXPECT_NE(a.WTSGetActiveConsoleSessionId, nullptr);
    EXPECT_NE(a.GetCurrentProcessId, nullptr);
    EXPECT_NE(a.ProcessIdToSessionId, nullptr);
    EXPECT_NE(a.GetAdaptersAddresses, nullptr);
    EXPECT_NE(a.InetNtopW, nullptr);
}

TEST_F(Providers, BoundFunctionsWork) {
    const auto& a = OptionalApis;
    EXPECT_EQ(a.GetCurrentProcessId(), GetCurrentProcessId());
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    const std::wstring exe = LowerText(module);
    const std::wstring exeName = exe.substr(exe.rfind(L'\\') + 1);

    wchar_t image[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    ASSERT_TRUE(a.QueryFullProcessImageNameW(GetCurrentProcess(), 0, image, &size));
    EXPECT_EQ(LowerText(image), exe);

    wchar_t device[MAX_PATH] = {};
    ASSERT_GT(a.GetProcessImageFileNameW(GetCurrentProcess(), device, MAX_PATH), 0u);
    const std::wstring devicePath = LowerText(device);
    EXPECT_EQ(devicePath.substr(devicePath.rfind(L'\\') + 1), exeName);
    char device8[MAX_PATH] = {};
    EXPECT_GT(a.GetProcessImageFileNameA(GetCurrentProcess(), device8, MAX_PATH), 0u);

    DWORD session = 12345;
    EXPECT_TRUE(a.ProcessIdToSessionId(GetCurrentProcessId(), &session));
    EXPECT_NE(session, 12345u);

    const ULONGLONG before = GetTickCount64();
    const ULONGLONG tick = a.GetTickCount64();
    EXPECT_GE(tick, before);

    IN_ADDR address{};
    address.S_un.S_addr = htonl(0x7F000001);
    wchar_t text[32] = {};
    ASSERT_NE(a.InetNtopW(AF_INET, &address, text, 32), nullptr);
    EXPECT_STREQ(text, L"127.0.0.1");
}

TEST_F(Providers, ProcessFunctionsAreFoundUnderTheirK32Names) {
    // A kernel32 that exports only "K32..." names: the second name is tried.
    const TOptionalApiSpec spec{{"VistrelNoSuchName", "K32GetProcessImageFileNameW"}, {L"kernel32.dll", nullptr}, false,
                                nullptr};
    UniqueLibrary loaded;
    EXPECT_EQ(reinterpret_cast<void*>(BindOptionalApi(spec, loaded)),
              Address(GetModuleHandleW(L"kernel32.dll"), "K32GetProcessImageFileNameW"));
    EXPECT_FALSE(loaded.valid());
    for (std::size_t row : {1u, 2u}) {
        EXPECT_STREQ(OptionalApiSpecs[row].Names[1], (std::string("K32") + OptionalApiSpecs[row].Names[0]).c_str());
        EXPECT_STREQ(OptionalApiSpecs[row].Libraries[1], L"psapi.dll");
    }
}

TEST_F(Providers, LibraryThatCannotBeLoadedLogsItsMessage) {
    LogCapture log;
    const TOptionalApiSpec spec{{"Anything", nullptr}, {L"vistrel-no-such-library.dll", nullptr}, true,
                                L"Anything not available"};
    UniqueLibrary loaded;
    EXPECT_EQ(BindOptionalApi(spec, loaded), nullptr);
    EXPECT_FALSE(loaded.valid());
    EXPECT_EQ(log.At(L"INFO"), std::vector<std::wstring>{L"Anything not available"});
}

TEST_F(Providers, LibraryLoadedForAFunctionStaysLoadedWhileBound) {
    const wchar_t* library = L"dbghelp.dll";
    if (GetModuleHandleW(library)) GTEST_SKIP() << "dbghelp.dll is already loaded";
    LogCapture log;
    UniqueLibrary loaded;
    const TOptionalApiSpec found{{"ImagehlpApiVersion", nullptr}, {library, nullptr}, true, L"not available"};
    EXPECT_NE(BindOptionalApi(found, loaded), nullptr);
    EXPECT_TRUE(loaded.valid());
    EXPECT_NE(GetModuleHandleW(library), nullptr);
    loaded.reset();

    // A library that loads but lacks the function: no entry and no log line.
    const TOptionalApiSpec missing{{"VistrelNoSuchName", nullptr}, {library, nullptr}, true, L"not available"};
    EXPECT_EQ(BindOptionalApi(missing, loaded), nullptr);
    EXPECT_FALSE(loaded.valid());
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(Providers, MissingFunctionsLeaveEmptyEntriesWithoutLogging) {
    LogCapture log;
    const TOptionalApiSpec spec{{"VistrelNoSuchName", nullptr}, {L"kernel32.dll", nullptr}, false, nullptr};
    UniqueLibrary loaded;
    EXPECT_EQ(BindOptionalApi(spec, loaded), nullptr);
    EXPECT_TRUE(log.Lines().empty());
}

TEST(ProviderPrivilege, UnknownPrivilegeFailsAndStartUpGoesOn) {
    EXPECT_FALSE(SetPrivilege(true, "SeVistrelNoSuchPrivilege"));
    InitializeProviders();
    EXPECT_NE(OptionalApis.GetTickCount64, nullptr);
    FinalizeProviders();
}

namespace {

// Whether the process's token holds the debug privilege enabled, as the system says.
bool DebugPrivilegeHeld() {
    HANDLE raw = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw));
    const UniqueHandle token(raw);
    PRIVILEGE_SET set{};
    set.PrivilegeCount = 1;
    set.Control = PRIVILEGE_SET_ALL_NECESSARY;
    EXPECT_TRUE(LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &set.Privilege[0].Luid));
    BOOL held = FALSE;
    EXPECT_TRUE(PrivilegeCheck(token.get(), &set, &held));
    return held != FALSE;
}

}  // namespace

TEST(ProviderPrivilege, DebugPrivilegeIsEnabledAndDisabled) {
    // The test account holds the debug privilege (under Wine every token holds every
    // privilege), so switching it must succeed both ways and the token must follow; the
    // name is looked up ignoring case.
    EXPECT_TRUE(SetPrivilege(false, "SeDebugPrivilege"));
    EXPECT_FALSE(DebugPrivilegeHeld());
    EXPECT_TRUE(SetPrivilege(true, "seDebugPrivilege"));
    EXPECT_TRUE(DebugPrivilegeHeld());
    EXPECT_TRUE(SetPrivilege(false, "SEDEBUGPRIVILEGE"));
    EXPECT_FALSE(DebugPrivilegeHeld());
    // Start-up enables it.
    InitializeProviders();
    EXPECT_TRUE(DebugPrivilegeHeld());
    FinalizeProviders();
    LoadOptionalApis();
}

TEST(ProviderStartUp, FinalizeEmptiesTheTableAndTheVariables) {
    InitializeProviders();
    SetVariable(L"x", L"1");
    ASSERT_GT(UserVariables.Count(), 0u);
    FinalizeProviders();
    EXPECT_EQ(UserVariables.Count(), 0u);
    EXPECT_EQ(OptionalApis.GetTickCount64, nullptr);
    EXPECT_EQ(OptionalApis.InetNtopW, nullptr);
}

TEST(ProviderStartUp, EveryKeywordButCommentIsBoundToItsRoutine) {
    // The keyword table after the program's start-up, row by row in table order: each
    // keyword's gathering routine and default interval. COMMENT alone gathers nothing.
    InitializeUnits();
    struct Row {
        const char* keyword;
        TGatherProc proc;
        std::int32_t interval;
    } rows[] = {
        {"COMMENT", nullptr, 0},
        {"FILE", GetFileWatch, 0},
        {"REGISTRY", GetRegistryWatch, 0},
        {"EVENTLOG", GetEventLog, 0},
        {"DATETIME", GetDateTime, 1},
        {"TIMEZONE", GetTimeZone, 0},
        {"HOST", GetHost, 0},
        {"USER", GetUser, 0},
        {"BOOTTIME", GetBootTime, 0},
        {"UPTIME", GetUpTime, 1},
        {"LOADTIME", GetLoadTime, 0},
        {"OEMINFO", GetOemInfo, 0},
        {"CPUTYPE", GetCpuType, 0},
        {"CPUCOUNT", GetCpuCount, 0},
        {"CORETEMP", GetCoreTemp, 10},
        {"DISPLAYCONTROLLER", GetDisplayController, 0},
        {"CPU", GetCpuTimes, 2},
        {"CPUUSAGE", GetCpuUsage, 2},
        {"PROCESSCOUNT", GetProcessCount, 5},
        {"TOPPROCESSCPU", GetTopProcessCpu, 2},
        {"TOPPROCESSMEM", GetTopProcessMem, 2},
        {"TOPPROCESSPF", GetTopProcessPf, 2},
        {"PROCESSMEM", GetProcessMemory, 5},
        {"OSBUILD", GetOsBuild, 0},
        {"SERVICEPACK", GetServicePack, 0},
        {"IEVERSION", GetIeVersion, 0},
        {"DIRECTX", GetDirectXVersion, 0},
        {"PHYSICALRAM", GetPhysicalRam, 5},
        {"VIRTUALMEMORY", GetVirtualMemory, 5},
        {"PAGEFILE", GetPageFile, 5},
        {"PAGEFAULTS", GetPageFaults, 2},
        {"NETWORKINTERFACES", GetNetworkInterface, 30},
        {"ALLIPADDRESS", GetAllNetworkIp, 30},
        {"DNSSERVER", GetDnsServer, 30},
        {"PROXY", GetNetworkProxy, 60},
        {"DOMAIN", GetDomainName, 30},
        {"DOMAINCONTROLLER", GetDomainController, 30},
        {"NETCONNECTIONS", GetNetConnections, 5},
        {"NETPACKETS", GetNetPackets, 2},
        {"NETPACKETSRATE", GetIPStatisticsRate, 2},
        {"HTTPGET", GetHttpGet, 60},
        {"LOGICALDRIVES", GetLogicalDrives2, 10},
        {"FIXEDDISK", GetFixedDisk, 10},
        {"DISKIO", GetDiskIO, 10},
        {"TSSESSIONS", GetTSSessions, 30},
        {"UNREADMAIL", GetUnreadMail, 0},
        {"ENVVAR", GetEnvVariable, 0},
        {"FILEEXIST", GetFileExists, 0},
        {"TEXT", GetText, 0},
        {"WMI", GetCustomWMI, 0},
        {"FILECONTENTS1", GetFileContents, 0},
        {"FILECONTENTS2", GetFileContents, 0},
        {"DATADUMP", GetDataDump, 0},
        {"REG", GetRegistry, 0},
        {"REGEXIST", GetRegistryExists, 0},
        {"FILE2TEXT", GetFile2Text, 0},
        {"SESSIONID", GetSessionID, 0},
        {"RDSSESSIONID", GetRdsSessionID, 0},
        {"SET", GetSet, 1},
        {"IF", GetIf, 1},
        {"CONTROL", GetControl, 0},
        {"SNAPSHOT", GetSnapshot, 60},
        {"CMD", GetCmd, 0},
    };
    ASSERT_EQ(ItemTypeTable.size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& r = rows[i];
        EXPECT_EQ(ItemTypeTable[i].Keyword, r.keyword) << i;
        TConfigItem item;
        FindItemDefault(r.keyword, item);
        EXPECT_EQ(item.Keyword, r.keyword);
        EXPECT_EQ(item.GatherProc, r.proc) << r.keyword;
        EXPECT_EQ(item.Interval, r.interval) << r.keyword;
    }
    // The start time is taken at start-up.
    const SYSTEMTIME start = ProgramStartTime();
    EXPECT_GE(start.wYear, 2000);
    FinalizeUnits();
}
