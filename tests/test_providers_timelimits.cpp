// Gathering routines whose platform calls wait without a timeout of their own
// (DOMAINCONTROLLER, REG and REGEXIST on a remote host) and CMD's wait: none holds the
// collection thread past the item's time limit. The blocking calls are stand-ins for
// NetGetDCName and RegConnectRegistry that wait until the test lets them go.
#include <winsock2.h>
#include <windows.h>
#include <lm.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "GatheringTurns.h"
#include "Includes.h"
#include "Network.h"
#include "Registry.h"
#include "SmallItems.h"
#include "TestFiles.h"
#include "TimeLimits.h"
#include "Tools.h"
#include "Utils.h"
#include "WindowTests.h"
#include "test_providers_support.h"

namespace {

using providertest::Collected;

// Held shut while a test wants the stand-ins to block; opened before the test ends, so
// that every left-behind call finishes.
UniqueHandle gate(CreateEventW(nullptr, TRUE, FALSE, nullptr));
std::wstring connectedHost;

std::atomic<int> dcNameCalls{0};

NET_API_STATUS WINAPI BlockingDcName(LPCWSTR, LPCWSTR, LPBYTE* Name) {
    ++dcNameCalls;
    WaitForSingleObject(gate.get(), 30000);
    *Name = nullptr;
    return 2453;  // NERR_DCNotFound
}

NET_API_STATUS WINAPI NamedDcName(LPCWSTR, LPCWSTR, LPBYTE* Name) {
    const wchar_t name[] = L"\\\\DC1";
    if (NetApiBufferAllocate(sizeof name, reinterpret_cast<void**>(Name)) != NERR_Success) return 8;
    std::memcpy(*Name, name, sizeof name);
    return NERR_Success;
}

LONG WINAPI BlockingConnect(LPCWSTR, HKEY, PHKEY) {
    WaitForSingleObject(gate.get(), 30000);
    return ERROR_BAD_NETPATH;
}

// A "remote" registry that is this computer's own.
LONG WINAPI LocalConnect(LPCWSTR Host, HKEY Root, PHKEY Remote) {
    connectedHost = Host;
    return RegOpenKeyExW(Root, L"", 0, KEY_READ, Remote);
}

class BlockedCalls : public ::testing::Test {
protected:
    void SetUp() override {
        InitDefaultTexts();
        ResetEvent(gate.get());
        before_ = RunningAbandonableCalls();
        ForgetGivenUpSources();
    }
    void TearDown() override {
        SetEvent(gate.get());
        EXPECT_TRUE(PumpUntil([&] { return RunningAbandonableCalls() <= before_; }, 20000))
            << "a left-behind call never ended";
    }
    LogCapture log_;
    int before_ = 0;
};

std::wstring Hklm(const RegFixture& key, const std::wstring& value) {
    return L"HKEY_LOCAL_MACHINE\\" + key.Path() + L"\\" + value;
}

}  // namespace

// ---- DOMAINCONTROLLER -------------------------------------------------------------------------

TEST_F(BlockedCalls, DomainControllerThatNeverAnswersFailsAtTheItemsTimeLimit) {
    Collected c;
    {
        const TItemTimeLimit limit(300);
        GatherDomainController(OptionsOf({}), c.data, c.display, BlockingDcName);
    }
    EXPECT_EQ(WaitForSingleObject(gate.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the call is still blocked";
    EXPECT_EQ(c.display, L"");
    EXPECT_TRUE(c.data.Data.empty());
    // The wait named is what was left of the item's limit when the call began.
    const std::wstring late = L"GetDomainController: " + ErrorText + L"NetGetDCName gave no answer within ";
    const auto errors = log_.At(L"ERROR");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].substr(0, late.size()), late) << WideToUtf8(errors[0]);
    const int ms = _wtoi(errors[0].substr(late.size()).c_str());
    EXPECT_TRUE(ms > 0 && ms <= 300 && errors[0].ends_with(L" ms : ")) << WideToUtf8(errors[0]);
    EXPECT_EQ(log_.At(L"DATA"), std::vector<std::wstring>{L"GetDomainController: "});
}

// A lookup that still runs after it was given up is not started again by the next
// collections: they show the same error at once, and the lookup is made again once the
// late one has ended and the back-off (here the item's interval of 200 ms) has passed.
TEST_F(BlockedCalls, DomainControllerStillLookingIsNotAskedAgain) {
    const TItemInterval interval(200);
    dcNameCalls = 0;
    for (int collection = 0; collection < 3; ++collection) {
        Collected c;
        const TItemTimeLimit limit(300);
        GatherDomainController(OptionsOf({}), c.data, c.display, BlockingDcName);
        EXPECT_TRUE(c.data.Data.empty()) << collection;
    }
    EXPECT_EQ(dcNameCalls, 1) << "a lookup was started beside the one still running";
    const auto errors = log_.At(L"ERROR");
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[1], errors[0]);
    EXPECT_EQ(errors[2], errors[0]);

    SetEvent(gate.get());
    ASSERT_TRUE(PumpUntil([&] { return RunningAbandonableCalls() <= before_; }, 20000));
    Sleep(400);
    Collected again;
    GatherDomainController(OptionsOf({}), again.data, again.display, BlockingDcName);
    EXPECT_EQ(dcNameCalls, 2);
    EXPECT_EQ(again.data.Data.size(), 1u) << "the answer of the new lookup is shown";
}

TEST_F(BlockedCalls, DomainControllerThatAnswersInTimeIsShown) {
    Collected c;
    GatherDomainController(OptionsOf({{L"display", L"dc=%1"}}), c.data, c.display, NamedDcName);
    EXPECT_EQ(c.display, L"dc=\\\\DC1");
    EXPECT_TRUE(log_.At(L"ERROR").empty());
}

// ---- REG and REGEXIST on a remote host -------------------------------------------------------

TEST_F(BlockedCalls, RemoteRegistryThatNeverAnswersCountsAsUnreachable) {
    RegFixture key(HKEY_LOCAL_MACHINE, UniqueTestKey(L"SlowHost"));
    key.SetString(L"Name", L"here");
    Collected reg, exists;
    {
        const TItemTimeLimit limit(300);
        GatherRegistry(OptionsOf({{L"value", Hklm(key, L"Name").c_str()}, {L"host", L"slowhost"}}), reg.data,
                       reg.display, BlockingConnect);
    }
    {
        const TItemTimeLimit limit(300);
        GatherRegistryExists(OptionsOf({{L"value", Hklm(key, L"Name").c_str()}, {L"host", L"slowhost"}}),
                             exists.data, exists.display, BlockingConnect);
    }
    ASSERT_EQ(reg.data.Data.size(), 1u);
    EXPECT_EQ(reg.data.Data[0][0], Variant(ErrorText + L"Can't connect to host"));
    ASSERT_EQ(exists.data.Data.size(), 1u);
    EXPECT_EQ(exists.data.Data[0][0], Variant(false));
    // The wait named is what was left of the item's limit when the call began.
    const std::wstring late = L"GetRegistry: " + ErrorText + L"\\\\slowhost gave no answer within ";
    const auto errors = log_.At(L"ERROR");
    ASSERT_EQ(errors.size(), 2u);
    for (const auto& line : errors) {
        EXPECT_EQ(line.substr(0, late.size()), late) << WideToUtf8(line);
        const int ms = _wtoi(line.substr(late.size()).c_str());
        EXPECT_TRUE(ms > 0 && ms <= 300 && line.ends_with(L" ms")) << WideToUtf8(line);
    }
}

// A host given up is not asked again within its back-off, even once the late call has
// ended: each collection shows it unreachable at once.
TEST_F(BlockedCalls, RemoteRegistryGivenUpIsLeftAloneForItsBackOff) {
    RegFixture key(HKEY_LOCAL_MACHINE, UniqueTestKey(L"AwayHost"));
    key.SetString(L"Name", L"here");
    const auto options = OptionsOf({{L"value", Hklm(key, L"Name").c_str()}, {L"host", L"awayhost"}});
    const TItemInterval interval(600000);
    {
        Collected first;
        const TItemTimeLimit limit(300);
        GatherRegistry(options, first.data, first.display, BlockingConnect);
    }
    SetEvent(gate.get());
    ASSERT_TRUE(PumpUntil([&] { return RunningAbandonableCalls() <= before_; }, 20000));
    connectedHost.clear();
    Collected reg, exists;
    GatherRegistry(options, reg.data, reg.display, LocalConnect);
    GatherRegistryExists(options, exists.data, exists.display, LocalConnect);
    EXPECT_EQ(connectedHost, L"") << "the host was asked within its back-off";
    ASSERT_EQ(reg.data.Data.size(), 1u);
    EXPECT_EQ(reg.data.Data[0][0], Variant(ErrorText + L"Can't connect to host"));
    ASSERT_EQ(exists.data.Data.size(), 1u);
    EXPECT_EQ(exists.data.Data[0][0], Variant(false));
    const auto errors = log_.At(L"ERROR");
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[1], errors[0]);
    EXPECT_EQ(errors[2], errors[0]);
}

TEST_F(BlockedCalls, RemoteRegistryThatAnswersIsReadThroughItsConnection) {
    RegFixture key(HKEY_LOCAL_MACHINE, UniqueTestKey(L"NearHost"));
    key.SetString(L"Name", L"remote value");
    Collected reg, exists;
    GatherRegistry(OptionsOf({{L"value", Hklm(key, L"Name").c_str()}, {L"host", L"otherpc"}, {L"wow", L"0"}}), reg.data,
                   reg.display, LocalConnect);
    EXPECT_EQ(connectedHost, L"\\\\otherpc");
    EXPECT_EQ(reg.display, L"remote value");
    connectedHost.clear();
    GatherRegistryExists(OptionsOf({{L"value", Hklm(key, L"Name").c_str()}, {L"host", L"otherpc"}, {L"wow", L"0"}}), exists.data,
                         exists.display, LocalConnect);
    EXPECT_EQ(connectedHost, L"\\\\otherpc");
    EXPECT_EQ(exists.display, L"True");
    EXPECT_TRUE(log_.At(L"ERROR").empty());
}

// ---- the turns --------------------------------------------------------------------------------

// The routines that may keep a collection waiting are gathered in turns of their own, by
// the source they ask (a web server, a remote host, the lookup, the WMI service and the
// state the WMI items keep); all others in the collection thread's own turn.
TEST(GatheringTurnKeys, SourcesThatMayKeepARoutineWaitingHaveTurnsOfTheirOwn) {
    RegisterProviders();
    const struct {
        const char* keyword;
        TItemOptionArray options;
        const wchar_t* turn;
    } rows[] = {
        {"HTTPGET", OptionsOf({{L"source", L"http://a.example/"}}), L"HTTPGET http://a.example/"},
        {"HTTPGET", OptionsOf({{L"source", L"http://b.example/x"}}), L"HTTPGET http://b.example/x"},
        {"DOMAINCONTROLLER", {}, L"DOMAINCONTROLLER"},
        {"REG", OptionsOf({{L"host", L"pc1"}}), L"REG pc1"},
        {"REGEXIST", OptionsOf({{L"host", L"pc1"}}), L"REG pc1"},
        {"REG", {}, L""},
        {"REGEXIST", {}, L""},
        {"WMI", {}, L"WMI"},
        {"DISKIO", {}, L"WMI"},
        {"DISPLAYCONTROLLER", {}, L"WMI"},
        {"PAGEFAULTS", {}, L"WMI"},
        {"LOGICALDRIVES", {}, L"WMI"},
        {"CPU", {}, L"WMI"},
        {"CPUUSAGE", {}, L""},
        {"UPTIME", {}, L""},
        {"FIXEDDISK", {}, L""},
        {"FILE", {}, L""},
    };
    for (const auto& r : rows) {
        TConfigItem item;
        FindItemDefault(r.keyword, item);
        ASSERT_EQ(item.Keyword, r.keyword);
        item.Options = r.options;
        EXPECT_EQ(GatheringTurnKey(item), r.turn) << r.keyword;
    }
}

// ---- CMD --------------------------------------------------------------------------------------

TEST(CmdWait, WaitTimeIsHeldWithinTheItemsTimeLeft) {
    const struct {
        std::int64_t waitTime;
        DWORD left;
        DWORD expected;
    } rows[] = {
        {3000, 20000, 3000},
        {20000, 20000, 20000},
        {20001, 20000, 20000},
        {259200000, 20000, 20000},             // three days
        {10000000000LL, 20000, 20000},         // past 4 GiB milliseconds
        {0xFFFFFFFFLL, 20000, 20000},          // INFINITE as a number
        {3000, 1200, 1200},                    // the item has spent part of its limit
        {3000, 0, 0},
        {0, 20000, 0},
        {-1, 20000, 0},
        {INT64_MIN, 20000, 0},
    };
    for (const auto& r : rows) EXPECT_EQ(CmdWaitMs(r.waitTime, r.left), r.expected) << r.waitTime << " " << r.left;
}

TEST(CmdWait, WaitTimeOfDaysEndsAtTheItemsTimeLimit) {
    InitDefaultTexts();
    TempFolder dir{L"vistrel-cmd-cap"};
    const std::wstring fixture = TestBinaryDir() + L"cmd_fixture.exe";
    const std::wstring params = L"\"" + dir.File(L"long.txt") + L"\" 0 4000";
    Collected c;
    {
        const TItemTimeLimit limit(500);
        GetCmd(OptionsOf({{L"file", fixture.c_str()}, {L"parameters", params.c_str()}, {L"wait-time", L"259200000"}}),
               c.data, c.display);
    }
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0].at(0), Variant(true));
    EXPECT_EQ(c.data.Data[0].at(2), Variant(std::int32_t{259})) << "waited for the program's end";
    // Let it finish before its folder goes.
    ASSERT_TRUE(PumpUntil([&] { return PathExists(dir.File(L"long.txt")); }, 20000));
    Sleep(4500);
}
