// Every gathering routine whose rules say "no row" (the process is gone, the adapter or
// connection vanished, the read failed, nothing matched) leaves no row and none of the
// field names of an earlier collection, so that neither the CSV output nor a threshold or
// a chart goes on showing the last value.
#include <winsock2.h>
#include <windows.h>
#include <lm.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ComHandles.h"
#include "Errors.h"
#include "EventLog.h"
#include "Includes.h"
#include "ItemTypes.h"
#include "Network.h"
#include "Pipeline.h"
#include "Processes.h"
#include "TestFiles.h"
#include "Tools.h"
#include "Utils.h"
#include "test_providers_support.h"

namespace {

const std::wstring kStaleName = L"stale field";

TItemData StaleResult() {
    TItemData data;
    data.Names = {kStaleName, kStaleName + L" 2"};
    data.Data = {{Variant(L"stale"), Variant(std::int32_t{42})}, {Variant(L"stale"), Variant(std::int32_t{43})}};
    data.Lines = {L"stale 42", L"stale 43"};
    return data;
}

TGatherProc RoutineOf(const char* keyword) {
    TConfigItem item;
    FindItemDefault(keyword, item);
    return item.GatherProc;
}

NET_API_STATUS WINAPI FailingDcName(LPCWSTR, LPCWSTR, LPBYTE*) { throw EOSError(L"The lookup broke"); }

// The routines' own no-row paths that only a stand-in for the platform reaches here.
void EventLogReadFails(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    TEventLogRead read;
    read.Error = ERROR_INSUFFICIENT_BUFFER;
    StoreEventLogRead(Options, read, UtcZone(), Data, Display);
}
void IpStatisticsFail(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    StoreIpStatisticsRate(Options, nullptr, 5000, Data, Display);
}
void AdapterListUnbound(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    GatherNetworkInterfaces(Options, Data, Display, nullptr, TInterfaceContext{});
}
void DomainControllerLookupFails(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    GatherDomainController(Options, Data, Display, FailingDcName);
}

class NoRowRoutines : public ::testing::Test {
protected:
    void SetUp() override {
        InitDefaultTexts();
        RegisterProviders();
    }
    void TearDown() override {
        FinalizeProcessProviders();
        ResetNetworkProviders();
    }
    ComInitialization com_;  // as on the collection thread
    LogCapture log_;
    TempFolder folder_;
};

}  // namespace

TEST_F(NoRowRoutines, LeaveNoRowAndNoFieldNamesOfAnEarlierCollection) {
    const std::wstring missing = folder_.File(L"missing.txt");
    const std::wstring present = folder_.File(L"present.txt");
    WriteFileBytes(present, "line one\r\nline two\r\n");
    struct Row {
        const char* what;
        TGatherProc routine;
        std::vector<std::pair<const wchar_t*, std::wstring>> options;
        void (*before)() = nullptr;
    };
    const std::vector<Row> rows = {
        {"PROCESSMEM of a process that is not running", RoutineOf("PROCESSMEM"), {{L"key", L"no-such-process.exe"}}},
        {"TOPPROCESSCPU on its first collection", RoutineOf("TOPPROCESSCPU"), {}, [] { FinalizeProcessProviders(); }},
        {"TOPPROCESSPF on its first collection", RoutineOf("TOPPROCESSPF"), {}, [] { FinalizeProcessProviders(); }},
        {"NETPACKETSRATE on its first sample", RoutineOf("NETPACKETSRATE"), {}, [] { ResetNetworkProviders(); }},
        {"NETPACKETSRATE whose statistics call fails", IpStatisticsFail, {}},
        {"NETWORKINTERFACES whose adapter list cannot be had", AdapterListUnbound, {}},
        {"NETWORKINTERFACES whose adapters all vanished from the filter", RoutineOf("NETWORKINTERFACES"),
         {{L"friendlyfilter", L"+no-such-adapter"}}},
        {"ALLIPADDRESS whose addresses all vanished from the filter", RoutineOf("ALLIPADDRESS"),
         {{L"filter", L"+no-such-adapter"}}},
        {"DOMAINCONTROLLER whose lookup fails", DomainControllerLookupFails, {}},
        {"EVENTLOG without a log", RoutineOf("EVENTLOG"), {}},
        {"EVENTLOG whose read fails", EventLogReadFails, {}},
        {"FIXEDDISK beyond the drives", RoutineOf("FIXEDDISK"), {{L"num", L"26"}}},
        {"DISKIO beyond the drives", RoutineOf("DISKIO"), {{L"num", L"26"}}},
        {"CPUUSAGE beyond the processors", RoutineOf("CPUUSAGE"), {{L"num", L"500"}}},
        {"LOGICALDRIVES that finds no drive", RoutineOf("LOGICALDRIVES"), {{L"include", L"ab"}, {L"diskio", L"0"}}},
        {"WMI whose class has no object", RoutineOf("WMI"), {{L"query", L"select * from Win32_NoSuchClass"}}},
        {"ENVVAR of a variable that is not set", RoutineOf("ENVVAR"), {{L"key", L"VISTREL_NO_SUCH_VARIABLE"}}},
        {"IF without a comparator", RoutineOf("IF"), {{L"value1", L"1"}, {L"value2", L"1"}}},
        {"TEXT", RoutineOf("TEXT"), {{L"display", L"fixed"}}},
        {"SET", RoutineOf("SET"), {{L"key", L"NoRow"}, {L"value", L"1"}}},
        {"CORETEMP without the CoreTemp program", RoutineOf("CORETEMP"), {}},
        {"REG without a value", RoutineOf("REG"), {}},
        {"REG of an unknown root", RoutineOf("REG"), {{L"value", L"HKXX\\Software\\Nothing"}}},
        {"REGEXIST of an unknown root", RoutineOf("REGEXIST"), {{L"value", L"HKXX\\Software\\Nothing"}}},
        {"REGISTRY without a watch", RoutineOf("REGISTRY"), {{L"key", L"HKEY_CURRENT_USER\\Software\\NoWatch"}}},
        {"FILE without a watch", RoutineOf("FILE"), {{L"file", missing}, {L"crc32", L"1234"}}},
        {"FILECONTENTS1", RoutineOf("FILECONTENTS1"), {{L"file", present}}},
        {"FILE2TEXT of a file that is gone", RoutineOf("FILE2TEXT"), {{L"file", missing}}},
    };
    for (const Row& r : rows) {
        ASSERT_NE(r.routine, nullptr) << r.what;
        if (r.before) r.before();
        TItemOptionArray options;
        for (std::size_t i = 0; i < r.options.size(); ++i) options.at(i) = {r.options[i].first, Variant(r.options[i].second)};
        TItemData data = StaleResult();
        ASSERT_TRUE(DoProc(r.routine, options, data)) << r.what;
        EXPECT_TRUE(data.Data.empty()) << r.what << ": " << data.Data.size() << " rows";
        EXPECT_EQ(std::count(data.Names.begin(), data.Names.end(), kStaleName), 0) << r.what;
        EXPECT_EQ(std::count(data.Lines.begin(), data.Lines.end(), L"stale 42"), 0) << r.what;
    }
}

// What a user of the CSV output sees: a collection that makes no row adds no line, where
// the last collection's values used to be written again.
TEST_F(NoRowRoutines, ACollectionWithoutARowWritesNoCsvLine) {
    const std::wstring csv = folder_.File(L"env.csv");
    SetEnvironmentVariableW(L"VISTREL_NOROW", L"there");
    const TItemOptionArray options = OptionsOf({{L"key", L"VISTREL_NOROW"}, {L"csv", csv.c_str()}});
    TItemData data;
    ASSERT_TRUE(DoProc(RoutineOf("ENVVAR"), options, data));
    const std::string once = ReadFileBytes(csv);
    EXPECT_NE(once.find("\"there\""), std::string::npos) << once;

    SetEnvironmentVariableW(L"VISTREL_NOROW", nullptr);
    ASSERT_TRUE(DoProc(RoutineOf("ENVVAR"), options, data));
    EXPECT_EQ(ReadFileBytes(csv), once);
    EXPECT_TRUE(data.Data.empty());
}
