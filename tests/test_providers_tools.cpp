#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "Configuration.h"
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

TEST(ProviderPrivilege, DebugPrivilegeIsEnabledWhenTheSystemSaysSo) {
    const bool enabled = SetPrivilege(true, "seDebugPrivilege");
    HANDLE raw = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw));
    const UniqueHandle token(raw);
    PRIVILEGE_SET set{};
    set.PrivilegeCount = 1;
    set.Control = PRIVILEGE_SET_ALL_NECESSARY;
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &set.Privilege[0].Luid));
    BOOL held = FALSE;
    ASSERT_TRUE(PrivilegeCheck(token.get(), &set, &held));
    if (enabled) {
        EXPECT_TRUE(held);
    }
    EXPECT_TRUE(SetPrivilege(false, "SeDebugPrivilege") || !enabled);
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

TEST(ProviderStartUp, UnitsRegisterTheThirteenRoutines) {
    InitializeUnits();
    struct Row {
        const char* keyword;
        TGatherProc proc;
    } rows[] = {
        {"DATETIME", GetDateTime},   {"BOOTTIME", GetBootTime}, {"UPTIME", GetUpTime},
        {"LOADTIME", GetLoadTime},   {"HOST", GetHost},         {"USER", GetUser},
        {"OEMINFO", GetOemInfo},     {"CPUTYPE", GetCpuType},   {"OSBUILD", GetOsBuild},
        {"SERVICEPACK", GetServicePack}, {"IEVERSION", GetIeVersion}, {"DIRECTX", GetDirectXVersion},
        {"TIMEZONE", GetTimeZone},
    };
    for (const Row& r : rows) {
        TConfigItem item;
        FindItemDefault(r.keyword, item);
        EXPECT_EQ(item.GatherProc, r.proc) << r.keyword;
    }
    TConfigItem comment;
    FindItemDefault("COMMENT", comment);
    EXPECT_EQ(comment.GatherProc, nullptr);
    // The start time is taken at start-up.
    const SYSTEMTIME start = ProgramStartTime();
    EXPECT_GE(start.wYear, 2000);
    FinalizeUnits();
}
