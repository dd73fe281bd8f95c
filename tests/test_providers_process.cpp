#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Checked.h"
#include "Includes.h"
#include "ProcessMonitor.h"
#include "Processes.h"
#include "ProcessFixture.h"
#include "TestFiles.h"
#include "Tools.h"
#include "Utils.h"
#include "test_providers_support.h"

namespace {

using providertest::Collected;
using providertest::Gather;

std::int64_t CurrencyOf(const Variant& v) { return v.CurrencyCount(); }

TProcessIdList IdsOf(std::initializer_list<DWORD> ids) { return TProcessIdList(ids); }

constexpr std::uint64_t kMiB = 1024 * 1024;

// An enumeration of standInProcessCount processes (ids 1, 2, ...) that answers as
// EnumProcesses does: as many ids as fit, and the bytes it filled.
std::size_t standInProcessCount = 0;
int standInCalls = 0;
BOOL WINAPI StandInEnumProcesses(DWORD* Ids, DWORD Bytes, DWORD* Used) {
    ++standInCalls;
    const std::size_t fit = Bytes / sizeof(DWORD);
    const std::size_t n = standInProcessCount < fit ? standInProcessCount : fit;
    for (std::size_t i = 0; i < n; ++i) Ids[i] = static_cast<DWORD>(i + 1);
    *Used = static_cast<DWORD>(n * sizeof(DWORD));
    return TRUE;
}
BOOL WINAPI FailingEnumProcesses(DWORD*, DWORD, DWORD* Used) {
    *Used = 0;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// An OpenProcess that grants what Windows grants an unelevated program for one kind of
// process: standInGrantable holds the rights it may have; a request for any other right
// is refused with access denied. A granted request opens this test process itself.
DWORD standInGrantable = 0;
std::vector<DWORD> standInRequests;
HANDLE WINAPI StandInOpenProcess(DWORD Access, BOOL Inherit, DWORD) {
    standInRequests.push_back(Access);
    if ((Access & ~standInGrantable) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return OpenProcess(Access, Inherit, GetCurrentProcessId());
}

// An OpenProcess that refuses every right for the processes in refusedIds, as Windows
// refuses an unelevated program for services of the system accounts and protected
// processes; others are opened as asked.
std::vector<DWORD> refusedIds;
HANDLE WINAPI RefusingOpenProcess(DWORD Access, BOOL Inherit, DWORD Id) {
    for (const DWORD refused : refusedIds)
        if (refused == Id) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
    return OpenProcess(Access, Inherit, Id);
}

class ProcessItems : public ::testing::Test {
protected:
    void SetUp() override {
        LoadOptionalApis();
        LoadProcessMonitorApis();
        FinalizeProcessProviders();
        Vistrel64 = false;
    }
    void TearDown() override {
        ProcessOpenFunction = &::OpenProcess;
        refusedIds.clear();
        FinalizeProcessProviders();
    }
    // From now on the items may not open these processes.
    static void Refuse(std::vector<DWORD> Ids) {
        refusedIds = std::move(Ids);
        ProcessOpenFunction = &RefusingOpenProcess;
    }
};

// This process's CPU time so far, 100-ns units.
std::uint64_t OwnCpuTime() {
    FILETIME creation{}, exitTime{}, kernel{}, user{};
    GetProcessTimes(GetCurrentProcess(), &creation, &exitTime, &kernel, &user);
    return (static_cast<std::uint64_t>(user.dwHighDateTime) << 32 | user.dwLowDateTime) +
           (static_cast<std::uint64_t>(kernel.dwHighDateTime) << 32 | kernel.dwLowDateTime);
}

// Uses at least 50 ms of processor time (measured by the system) in this process.
void SpinFiftyMilliseconds() {
    const std::uint64_t from = OwnCpuTime();
    volatile std::uint64_t spin = 0;
    const DWORD start = GetTickCount();
    while (OwnCpuTime() - from < 500000 && GetTickCount() - start < 20000)
        for (int i = 0; i < 1000000; i = i + 1) spin = spin + 1;
    ASSERT_GE(OwnCpuTime() - from, 500000u);
}

}  // namespace

// ---- CPU history ---------------------------------------------------------------------------------

TEST(ProcessCpuHistory, SamplesGiveTheShareOfAllProcessorsSinceThePreviousOne) {
    struct Row {
        const char* what;
        std::uint64_t user, kernel, systemUser, systemKernel;
        long double expected;
    } rows[] = {
        {"first sample", 100, 50, 1000, 2000, 0},
        {"150 of 1000", 200, 100, 1500, 2500, 15},
        {"truncated: 100 x 2 / 3", 201, 101, 1501, 2502, 66},
        {"no system time passed: the share stays", 300, 300, 1501, 2502, 66},
        {"idle", 300, 300, 2501, 2502, 0},
    };
    std::vector<TProcessItem> history;
    for (const Row& r : rows) {
        EXPECT_EQ(StoreProcessCpuSample(history, "a.exe", 42, r.user, r.kernel, r.systemUser, r.systemKernel), 0u);
        ASSERT_EQ(history.size(), 1u);
        EXPECT_EQ(history[0].CpuPercent, r.expected) << r.what;
        EXPECT_EQ(history[0].PrevProcessUser, r.user) << r.what;
        EXPECT_EQ(history[0].PrevSystemKernel, r.systemKernel) << r.what;
    }
}

TEST(ProcessCpuHistory, EndedProcessesFreeTheirEntriesForNewOnes) {
    std::vector<TProcessItem> history;
    EXPECT_EQ(StoreProcessCpuSample(history, "a.exe", 10, 1, 1, 10, 10), 0u);
    EXPECT_EQ(StoreProcessCpuSample(history, "b.exe", 20, 1, 1, 10, 10), 1u);
    EXPECT_EQ(StoreProcessCpuSample(history, "c.exe", 30, 1, 1, 10, 10), 2u);
    history[0].CpuPercent = 5;
    history[1].CpuPercent = 7;

    PruneProcessCpuHistory(history, IdsOf({30, 10}));
    ASSERT_EQ(history.size(), 3u);
    EXPECT_EQ(history[1].ProcessId, 0u);
    EXPECT_EQ(history[1].Name, "");
    EXPECT_EQ(history[1].CpuPercent, 0);
    EXPECT_EQ(history[1].PrevSystemUser, 10u);  // the time samples stay
    EXPECT_EQ(history[0].CpuPercent, 5);

    // The free entry takes the next new process; after that the array grows.
    EXPECT_EQ(StoreProcessCpuSample(history, "d.exe", 40, 9, 9, 90, 90), 1u);
    EXPECT_EQ(history[1].Name, "d.exe");
    EXPECT_EQ(history[1].PrevProcessUser, 9u);
    EXPECT_EQ(StoreProcessCpuSample(history, "e.exe", 50, 1, 1, 1, 1), 3u);

    // An enumeration that found nothing frees every entry.
    PruneProcessCpuHistory(history, TProcessIdList{});
    for (const TProcessItem& e : history) EXPECT_EQ(e.ProcessId, 0u);
    EXPECT_EQ(TopCpuEntry(history), -1);
}

TEST(ProcessCpuHistory, AnIdSampledUnderAnotherNameStartsAfresh) {
    std::vector<TProcessItem> history;
    StoreProcessCpuSample(history, "old.exe", 10, 100, 100, 1000, 1000);
    StoreProcessCpuSample(history, "old.exe", 10, 200, 200, 2000, 2000);
    EXPECT_EQ(history[0].CpuPercent, 10);
    // The id went to a new process between two collections: no share from the old one's times.
    EXPECT_EQ(StoreProcessCpuSample(history, "new.exe", 10, 5000, 5000, 3000, 3000), 0u);
    EXPECT_EQ(history[0].Name, "new.exe");
    EXPECT_EQ(history[0].CpuPercent, 0);
    EXPECT_EQ(history[0].PrevProcessUser, 5000u);
    // A sample without a name keeps the entry's name.
    StoreProcessCpuSample(history, "", 10, 5100, 5000, 4000, 3000);
    EXPECT_EQ(history[0].Name, "new.exe");
    EXPECT_EQ(history[0].CpuPercent, 10);
    // The same name in other letters' case (the image's spelling and the system list's)
    // is the same process.
    StoreProcessCpuSample(history, "NEW.EXE", 10, 5300, 5000, 5000, 3000);
    EXPECT_EQ(history[0].Name, "new.exe");
    EXPECT_EQ(history[0].CpuPercent, 20);
}

TEST(ProcessCpuHistory, TheTopEntryIsTheFirstNamedOneWithTheLargestShare) {
    auto entry = [](const char* name, DWORD id, long double percent) {
        TProcessItem e;
        e.Name = name;
        e.ProcessId = id;
        e.CpuPercent = percent;
        return e;
    };
    struct Row {
        const char* what;
        std::vector<TProcessItem> history;
        long long expected;
    } rows[] = {
        {"empty", {}, -1},
        {"all zero", {entry("a", 1, 0), entry("b", 2, 0)}, -1},
        {"largest", {entry("a", 1, 3), entry("b", 2, 9), entry("c", 3, 4)}, 1},
        {"tie: the first", {entry("a", 1, 2), entry("b", 2, 9), entry("c", 3, 9)}, 1},
        {"unnamed skipped", {entry("", 1, 50), entry("b", 2, 1)}, 1},
        {"negative", {entry("a", 1, -5)}, -1},
    };
    for (const Row& r : rows) EXPECT_EQ(TopCpuEntry(r.history), r.expected) << r.what;
}

// ---- page-fault history -------------------------------------------------------------------------

TEST(ProcessPfHistory, SamplesPruneAndTop) {
    std::vector<TProcessItemPf> history;
    StoreProcessPfSample(history, "a.exe", 1, 100);
    StoreProcessPfSample(history, "b.exe", 2, 500);
    EXPECT_EQ(TopPfEntry(history), -1);  // new processes count 0 faults

    StoreProcessPfSample(history, "a.exe", 1, 130);
    StoreProcessPfSample(history, "b.exe", 2, 530);
    EXPECT_EQ(history[0].Previous, 100);
    EXPECT_EQ(history[0].Current, 130);
    EXPECT_EQ(TopPfEntry(history), 0);  // a tie: the earlier entry

    StoreProcessPfSample(history, "b.exe", 2, 600);
    StoreProcessPfSample(history, "c.exe", 3, 7);
    EXPECT_EQ(TopPfEntry(history), 1);

    // Ended processes are removed and the later entries move up.
    PruneProcessPfHistory(history, IdsOf({3, 2}));
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0].Name, "b.exe");
    EXPECT_EQ(history[1].Name, "c.exe");

    // An id now held by a process of another name starts at 0 faults.
    StoreProcessPfSample(history, "d.exe", 2, 50000);
    EXPECT_EQ(history[0].Name, "d.exe");
    EXPECT_EQ(history[0].Previous, 50000);
    EXPECT_EQ(TopPfEntry(history), -1);
    // The same name in other letters' case is the same process.
    StoreProcessPfSample(history, "D.EXE", 2, 50040);
    EXPECT_EQ(history[0].Previous, 50000);
    EXPECT_EQ(TopPfEntry(history), 0);

    PruneProcessPfHistory(history, TProcessIdList{});
    EXPECT_TRUE(history.empty());
}

// ---- memory ranking -----------------------------------------------------------------------------

TEST(ProcessMemoryRanking, TopByCounter) {
    const std::vector<TProcessMemorySample> samples = {
        {"a.exe", 1, 100, 900}, {"b.exe", 2, 300, 100}, {"c.exe", 3, 300, 900}, {"d.exe", 4, 5, 50}};
    struct Row {
        const wchar_t* counter;
        std::vector<TProcessMemorySample> samples;
        std::string name;
        DWORD id;
        std::uint64_t value;
    } rows[] = {
        {L"ws", samples, "b.exe", 2, 300},  // a tie: the first
        {L"pu", samples, "a.exe", 1, 900},
        {L"WS", samples, "", 0, 0},  // compared exactly
        {L"other", samples, "", 0, 0},
        {L"ws", {}, "", 0, 0},
        {L"ws", {{"z.exe", 9, 0, 0}}, "", 0, 0},
        {L"ws", {{"big.exe", 9, 6 * 1024 * kMiB, 0}}, "big.exe", 9, 6 * 1024 * kMiB},
        // A process without a name is never the answer, as in the CPU and page-fault lists.
        {L"ws", {{"", 7, 900, 900}, {"b.exe", 2, 300, 100}}, "b.exe", 2, 300},
        {L"pu", {{"a.exe", 1, 100, 90}, {"", 7, 900, 900}}, "a.exe", 1, 90},
        {L"ws", {{"", 7, 900, 900}}, "", 0, 0},
    };
    for (const Row& r : rows) {
        const TTopProcess top = TopMemoryOf(r.samples, r.counter);
        EXPECT_EQ(top.Name, r.name) << r.counter;
        EXPECT_EQ(top.ProcessId, r.id) << r.counter;
        EXPECT_EQ(top.Value, r.value) << r.counter;
    }
    const TVarArray row = TopProcessMemRow({"b.exe", 2, 300});
    EXPECT_EQ(row, (TVarArray{Variant(L"b.exe"), Variant::FromCurrencyCount(20000), Variant::FromCurrencyCount(3000000)}));
}

// ---- enumeration ----------------------------------------------------------------------------------

TEST(ProcessIds, TheListGrowsToHoldEveryIdTheSystemReports) {
    const struct {
        std::size_t running;
        int calls;  // the list doubles while the system fills it to the last byte
    } rows[] = {{0, 1}, {1, 1}, {1023, 1}, {1024, 2}, {1025, 2}, {3000, 3}, {4096, 4}};
    for (const auto& r : rows) {
        standInProcessCount = r.running;
        standInCalls = 0;
        TProcessIdList ids{99};
        EXPECT_TRUE(EnumProcessIds(ids, StandInEnumProcesses)) << r.running;
        ASSERT_EQ(ids.size(), r.running);
        for (std::size_t i = 0; i < ids.size(); ++i) ASSERT_EQ(ids[i], i + 1) << r.running;
        EXPECT_EQ(standInCalls, r.calls) << r.running;
        if (r.running > 0) {
            EXPECT_TRUE(ProcessIdListed(ids, static_cast<DWORD>(r.running)));
        }
        EXPECT_FALSE(ProcessIdListed(ids, static_cast<DWORD>(r.running + 1)));
    }
    TProcessIdList ids{1, 2, 3};
    EXPECT_FALSE(EnumProcessIds(ids, FailingEnumProcesses));
    EXPECT_TRUE(ids.empty());
    ids = {1};
    EXPECT_FALSE(EnumProcessIds(ids, nullptr));
    EXPECT_TRUE(ids.empty());
}

TEST(ProcessMonitorList, AddAndRemove) {
    TProcessMonitors list;
    EXPECT_EQ(list.AddProcess("a.exe", 10), 0u);
    EXPECT_EQ(list.AddProcess("b.exe", 20), 1u);
    EXPECT_EQ(list.AddProcess("c.exe", 30), 2u);
    EXPECT_EQ(list.AddProcess("other.exe", 20), 1u);  // known id: its monitor
    EXPECT_EQ(list.Items()[1].Name, "b.exe");
    list.RemoveProcess(20);
    ASSERT_EQ(list.Items().size(), 2u);
    EXPECT_EQ(list.Items()[0].ProcessId, 10u);
    EXPECT_EQ(list.Items()[1].ProcessId, 30u);
    list.RemoveProcess(99);
    EXPECT_EQ(list.Items().size(), 2u);
}

TEST(ProcessMonitorList, EnumerationsAddTheNameAndDropEndedProcessesOfEveryName) {
    TProcessMonitors list;
    list.ApplyEnumeration("Notepad.EXE", {{4, "System"}, {10, "notepad.exe"}, {11, ""}, {12, "NOTEPAD.EXE"}});
    ASSERT_EQ(list.Items().size(), 2u);
    EXPECT_EQ(list.Items()[0].Name, "notepad.exe");
    EXPECT_EQ(list.Items()[1].Name, "NOTEPAD.EXE");

    list.ApplyEnumeration("calc.exe", {{10, "notepad.exe"}, {12, "NOTEPAD.EXE"}, {20, "calc.exe"}});
    ASSERT_EQ(list.Items().size(), 3u);
    EXPECT_EQ(list.Items()[2].ProcessId, 20u);

    // 10 ended: dropped though another name was asked for; the others keep their order.
    list.ApplyEnumeration("calc.exe", {{12, "NOTEPAD.EXE"}, {20, "calc.exe"}, {30, "x.exe"}});
    ASSERT_EQ(list.Items().size(), 2u);
    EXPECT_EQ(list.Items()[0].ProcessId, 12u);
    EXPECT_EQ(list.Items()[1].ProcessId, 20u);

    // An id that cannot be opened any more still counts as running.
    list.ApplyEnumeration("calc.exe", {{12, ""}, {20, "calc.exe"}});
    EXPECT_EQ(list.Items().size(), 2u);

    // Id 12 now belongs to a calc.exe: the notepad monitor goes, a calc monitor comes.
    list.ApplyEnumeration("calc.exe", {{12, "calc.exe"}, {20, "calc.exe"}});
    ASSERT_EQ(list.Items().size(), 2u);
    EXPECT_EQ(list.Items()[0].ProcessId, 20u);
    EXPECT_EQ(list.Items()[1].ProcessId, 12u);
    EXPECT_EQ(list.Items()[1].Name, "calc.exe");
}

// ---- names ---------------------------------------------------------------------------------------

TEST(ProcessNames, FileNameOfPath) {
    struct Row {
        const char* path;
        const char* expected;
    } rows[] = {
        {"C:\\Windows\\notepad.exe", "notepad.exe"},
        {"\\Device\\HarddiskVolume1\\x\\a b.exe", "a b.exe"},
        {"C:a.exe", "a.exe"},
        {"plain.exe", "plain.exe"},
        {"C:\\dir\\", ""},
        {"", ""},
    };
    for (const Row& r : rows) EXPECT_EQ(FileNameOfPath(r.path), r.expected) << r.path;
}

TEST_F(ProcessItems, ProcessesThatRefuseMemoryReadsAreOpenedForLimitedQueries) {
    constexpr DWORD limited = PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
    const struct {
        const char* what;
        DWORD grantable;
        std::vector<DWORD> requests;
        bool opened;
    } rows[] = {
        {"a process of the same user", PROCESS_ALL_ACCESS, {0x410}, true},
        {"a system without limited queries", PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, {0x410}, true},
        {"limited queries and memory reads", limited | PROCESS_VM_READ, {0x410, 0x1010}, true},
        {"a service, an elevated or a protected process", limited, {0x410, 0x1010, 0x1000}, true},
        {"nothing granted", SYNCHRONIZE, {0x410, 0x1010, 0x1000}, false},
    };
    for (const auto& r : rows) {
        standInGrantable = r.grantable;
        standInRequests.clear();
        const UniqueHandle process = OpenProcessForQuery(1234, StandInOpenProcess);
        const DWORD error = GetLastError();
        EXPECT_EQ(process.valid(), r.opened) << r.what;
        EXPECT_EQ(standInRequests, r.requests) << r.what;
        if (!r.opened) {
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << r.what;
        }
    }

    // The limited handle reads the times and the image name.
    standInGrantable = limited;
    const UniqueHandle process = OpenProcessForQuery(1234, StandInOpenProcess);
    ASSERT_TRUE(process.valid());
    FILETIME creation{}, exitTime{}, kernel{}, user{};
    EXPECT_TRUE(GetProcessTimes(process.get(), &creation, &exitTime, &kernel, &user));
    std::string error;
    EXPECT_EQ(LowerAscii(ProcessFileName(process.get(), 1234, {OptionalApis.QueryFullProcessImageNameW}, error)),
              "vistrel_tests.exe");
}

TEST_F(ProcessItems, ProcessFileNameThroughEachWay) {
    const UniqueHandle self = OpenProcessForQuery(GetCurrentProcessId());
    ASSERT_TRUE(self.valid());
    TImageNameFunctions full, wide, narrow, none;
    full.QueryFullProcessImageNameW = OptionalApis.QueryFullProcessImageNameW;
    wide.GetProcessImageFileNameW = OptionalApis.GetProcessImageFileNameW;
    narrow.GetProcessImageFileNameA = OptionalApis.GetProcessImageFileNameA;
    ASSERT_TRUE(full.QueryFullProcessImageNameW && wide.GetProcessImageFileNameW && narrow.GetProcessImageFileNameA);
    for (const TImageNameFunctions* f : {&full, &wide, &narrow, &none}) {
        std::string error = "leftover";
        EXPECT_EQ(LowerAscii(ProcessFileName(self.get(), GetCurrentProcessId(), *f, error)), "vistrel_tests.exe");
        EXPECT_EQ(error, "");
    }
    // Ids 4 and 8 are the system, whatever the handle.
    std::string error;
    EXPECT_EQ(ProcessFileName(nullptr, 4, full, error), "System");
    EXPECT_EQ(ProcessFileName(self.get(), 8, full, error), "System");
    // With no function and no process, the module-file fallbacks fail and say why.
    EXPECT_EQ(ProcessFileName(nullptr, 12345, none, error), "");
    EXPECT_NE(error, "");
    // The first present function is the only one tried: a failure leaves the name empty.
    TImageNameFunctions fullThenWide = full;
    fullThenWide.GetProcessImageFileNameW = wide.GetProcessImageFileNameW;
    EXPECT_EQ(ProcessFileName(nullptr, 12345, fullThenWide, error), "");

    std::string name;
    std::wstring wideError;
    GetProcessImageName(self.get(), GetCurrentProcessId(), wideError, name);
    EXPECT_EQ(LowerAscii(name), "vistrel_tests.exe");
    GetProcessName(self.get(), GetCurrentProcessId(), error, name);
    EXPECT_EQ(LowerAscii(name), "vistrel_tests.exe");
}

// ---- the routines under Wine ------------------------------------------------------------------------

TEST_F(ProcessItems, ProcessCountIsTheEnumeratedCount) {
    LogCapture log;
    // Other tests start processes too: compare with a count that held before and after.
    bool compared = false;
    for (int attempt = 0; attempt < 10 && !compared; ++attempt) {
        TProcessIdList before, after;
        ASSERT_TRUE(EnumProcessIds(before));
        const Collected c = Gather(GetProcessCount, OptionsOf({{L"display", L"n=%1"}}));
        ASSERT_TRUE(EnumProcessIds(after));
        const std::size_t b = before.size();
        ASSERT_GT(b, 0u);
        if (after.size() != b) continue;
        compared = true;
        EXPECT_EQ(c.data.Names, TWideStringArray{L"count"});
        ASSERT_EQ(c.data.Data.size(), 1u);
        EXPECT_EQ(c.data.Data[0][0], Variant(static_cast<std::int32_t>(b)));
        EXPECT_EQ(c.display, L"n=" + std::to_wstring(b));
        EXPECT_EQ(log.Count(L"DATA", L"GetProcessCount: " + c.display), 1);
    }
    EXPECT_TRUE(compared);
}

TEST_F(ProcessItems, TopProcessMemNamesTheLargestProcess) {
    FixtureProcess big(640, L"procfix_top.exe");
    ASSERT_TRUE(big.ready);
    LogCapture log;
    for (const wchar_t* counter : {L"ws", L"pu"}) {
        const Collected c = Gather(GetTopProcessMem, OptionsOf({{L"counter", counter}, {L"display", L"%1 %2"}}));
        EXPECT_EQ(c.data.Names, (TWideStringArray{L"process", L"pid", L"mem"}));
        ASSERT_EQ(c.data.Data.size(), 1u);
        const TVarArray& row = c.data.Data[0];
        EXPECT_EQ(row[0], Variant(L"procfix_top.exe")) << counter;
        EXPECT_EQ(CurrencyOf(row[1]), static_cast<std::int64_t>(big.Id()) * 10000) << counter;
        const PROCESS_MEMORY_COUNTERS own = big.Counters();
        const std::uint64_t expected = std::wstring(counter) == L"ws" ? own.WorkingSetSize : own.PagefileUsage;
        EXPECT_GE(CurrencyOf(row[2]) / 10000, static_cast<std::int64_t>(640 * kMiB)) << counter;
        // The fixture sits idle: what it holds now is what was gathered, up to a page or two.
        EXPECT_NEAR(static_cast<double>(CurrencyOf(row[2]) / 10000), static_cast<double>(expected), 256.0 * 1024)
            << counter;
        EXPECT_EQ(c.display, L"procfix_top.exe " + std::to_wstring(big.Id()));
        EXPECT_GE(log.Count(L"DATA", L"GetTopProcessMem: " + c.display), 1);
    }
    // The default counter is the page-file usage.
    EXPECT_EQ(Gather(GetTopProcessMem, OptionsOf({})).data.Data.at(0)[0], Variant(L"procfix_top.exe"));
    // An unknown counter compares nothing: still one row.
    const Collected none = Gather(GetTopProcessMem, OptionsOf({{L"counter", L"xx"}}));
    ASSERT_EQ(none.data.Data.size(), 1u);
    EXPECT_EQ(none.data.Data[0],
              (TVarArray{Variant(L""), Variant::FromCurrencyCount(0), Variant::FromCurrencyCount(0)}));
    EXPECT_EQ(none.display, L"");
}

TEST_F(ProcessItems, ProcessMemSumsTheProcessesOfOneName) {
    FixtureProcess first(48, L"procfix_sum.exe"), second(16, L"procfix_sum.exe");
    ASSERT_TRUE(first.ready && second.ready);
    LogCapture log;
    const TItemOptionArray options = OptionsOf({{L"key", L"ProcFix_Sum.EXE"}, {L"display", L"%1"}});

    const Collected c = Gather(GetProcessMemory, options);
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Names, (TWideStringArray{L"working set", L"page file usage", L"page faults", L"cpu",
                                              L"private usage", L"handles", L"threads"}));
    const TVarArray& row = c.data.Data[0];
    const PROCESS_MEMORY_COUNTERS a = first.Counters(), b = second.Counters();
    EXPECT_NEAR(static_cast<double>(CurrencyOf(row[0]) / 10000), static_cast<double>(a.WorkingSetSize + b.WorkingSetSize),
                256.0 * 1024);
    EXPECT_GE(CurrencyOf(row[0]) / 10000, static_cast<std::int64_t>(64 * kMiB));
    EXPECT_NEAR(static_cast<double>(CurrencyOf(row[1]) / 10000), static_cast<double>(a.PagefileUsage + b.PagefileUsage),
                256.0 * 1024);
    EXPECT_EQ(CurrencyOf(row[2]) / 10000, static_cast<std::int64_t>(a.PageFaultCount + b.PageFaultCount));
    EXPECT_EQ(row[3], Variant(std::int32_t{0}));  // first update of new monitors
    EXPECT_EQ(CurrencyOf(row[4]), 0);             // private usage: only from the collector
    EXPECT_EQ(CurrencyOf(row[5]) / 10000, static_cast<std::int64_t>(first.Handles() + second.Handles()));
    EXPECT_EQ(CurrencyOf(row[6]), 0);
    EXPECT_EQ(c.display, row[0].ToText());
    EXPECT_EQ(log.Count(L"DATA", L"GetProcessMemory: ProcFix_Sum.EXE : return results " + c.display), 1);

    // Two monitors, one per process, of the name the system gives.
    ASSERT_EQ(ProcessMonitors.Items().size(), 2u);
    for (const TProcessMonitor& m : ProcessMonitors.Items()) EXPECT_EQ(m.Name, "procfix_sum.exe");

    // One ends: its monitor goes at the next collection and the sums drop to the other's.
    second.Stop();
    const Collected after = Gather(GetProcessMemory, options);
    ASSERT_EQ(after.data.Data.size(), 1u);
    ASSERT_EQ(ProcessMonitors.Items().size(), 1u);
    EXPECT_EQ(ProcessMonitors.Items()[0].ProcessId, first.Id());
    EXPECT_NEAR(static_cast<double>(CurrencyOf(after.data.Data[0][0]) / 10000),
                static_cast<double>(first.Counters().WorkingSetSize), 256.0 * 1024);
    const std::int32_t cpu = after.data.Data[0][3].ToInt32();
    EXPECT_GE(cpu, 0);
    EXPECT_LE(cpu, 100);
}

TEST_F(ProcessItems, TwoItemsOfOneNameCollectedBackToBackBothShowTheirRow) {
    FixtureProcess fixture(8, L"procfix_twice.exe");
    ASSERT_TRUE(fixture.ready);
    LogCapture log;
    const TItemOptionArray options = OptionsOf({{L"key", L"procfix_twice.exe"}});
    for (int i = 0; i < 4; ++i) {
        const Collected c = Gather(GetProcessMemory, options);
        EXPECT_EQ(c.data.Data.size(), 1u) << i;
    }
    EXPECT_TRUE(log.At(L"ERROR").empty());
}

TEST_F(ProcessItems, ProcessMemOfANameWithoutProcessesGivesNothing) {
    LogCapture log;
    const Collected c = Gather(GetProcessMemory, OptionsOf({{L"key", L"no-such-process.exe"}}));
    EXPECT_TRUE(c.data.Data.empty());
    EXPECT_TRUE(c.data.Names.empty());
    EXPECT_EQ(c.display, L"");
    EXPECT_TRUE(log.At(L"DATA").empty());
    EXPECT_TRUE(log.At(L"ERROR").empty());
}

TEST_F(ProcessItems, TopProcessCpuNamesNothingOnItsFirstCollection) {
    LogCapture log;
    const Collected first = Gather(GetTopProcessCpu, OptionsOf({}));
    EXPECT_TRUE(first.data.Data.empty());
    EXPECT_EQ(first.display, L"");
    EXPECT_TRUE(log.At(L"DATA").empty());
    EXPECT_FALSE(ProcessCpuHistory.empty());
    // Every process the pass could read has its entry, named by the system.
    const DWORD self = GetCurrentProcessId();
    bool found = false;
    for (const TProcessItem& e : ProcessCpuHistory)
        if (e.ProcessId == self) found = LowerAscii(e.Name) == "vistrel_tests.exe";
    EXPECT_TRUE(found);

    // This process now uses processor time of its own (at least 50 ms of it, measured by
    // the system), so the next collection finds a share and names a process.
    SpinFiftyMilliseconds();
    const Collected second = Gather(GetTopProcessCpu, OptionsOf({{L"display", L"%1:%3"}}));
    EXPECT_EQ(second.data.Names, (TWideStringArray{L"process", L"pid", L"cpu"}));
    ASSERT_EQ(second.data.Data.size(), 1u);
    const TVarArray& row = second.data.Data[0];
    ASSERT_EQ(row.size(), 3u);
    EXPECT_FALSE(row[0].ToText().empty());
    EXPECT_GT(row[2].ToInt32(), 0);
    EXPECT_LE(row[2].ToInt32(), 100);
    // The row is the history's entry of that process.
    bool listed = false;
    for (const TProcessItem& e : ProcessCpuHistory)
        if (static_cast<std::int64_t>(e.ProcessId) * 10000 == CurrencyOf(row[1]))
            listed = AnsiToWide(e.Name) == row[0].ToText() && static_cast<std::int32_t>(e.CpuPercent) == row[2].ToInt32();
    EXPECT_TRUE(listed);
    EXPECT_EQ(second.display, row[0].ToText() + L":" + row[2].ToText());
    EXPECT_EQ(log.Count(L"DATA", L"GetTopProcessCpu: " + second.display), 1);

    // Without GetSystemTimes the item gives nothing at all.
    OptionalApis.GetSystemTimes = nullptr;
    const Collected unbound = Gather(GetTopProcessCpu, OptionsOf({}));
    EXPECT_TRUE(unbound.data.Data.empty());
    EXPECT_EQ(unbound.display, L"");
}

TEST_F(ProcessItems, TopProcessPfStartsEveryProcessAtZero) {
    // Other tests start and end processes: compare with an enumeration that held before
    // and after the collection.
    bool compared = false;
    for (int attempt = 0; attempt < 10 && !compared; ++attempt) {
        FinalizeProcessProviders();
        TProcessIdList before, after;
        ASSERT_TRUE(EnumProcessIds(before));
        const Collected first = Gather(GetTopProcessPf, OptionsOf({}));
        ASSERT_TRUE(EnumProcessIds(after));
        if (before != after) continue;
        compared = true;
        EXPECT_TRUE(first.data.Data.empty());
        EXPECT_EQ(first.display, L"");
        // An entry per process the pass could read, each with no faults counted yet.
        ASSERT_FALSE(ProcessPfHistory.empty());
        bool own = false;
        for (const TProcessItemPf& e : ProcessPfHistory) {
            EXPECT_TRUE(ProcessIdListed(after, e.ProcessId)) << e.ProcessId;
            EXPECT_EQ(e.Current, e.Previous) << e.Name;
            if (e.ProcessId == GetCurrentProcessId()) own = LowerAscii(e.Name) == "vistrel_tests.exe";
        }
        EXPECT_TRUE(own);
    }
    EXPECT_TRUE(compared);
}

TEST_F(ProcessItems, TopProcessPfNamesTheProcessWithTheMostNewFaults) {
    LogCapture log;
    Gather(GetTopProcessPf, OptionsOf({}));
    // The history as a previous collection could have left it: this process's stored
    // count a million faults lower than what it has now, another process's a thousand.
    bool seeded = false;
    TProcessItemPf* other = nullptr;
    for (TProcessItemPf& e : ProcessPfHistory) {
        if (e.ProcessId == GetCurrentProcessId()) {
            e.Current -= 1000000;
            seeded = true;
        } else if (!other && !e.Name.empty()) {
            other = &e;
        }
    }
    ASSERT_TRUE(seeded);
    ASSERT_NE(other, nullptr);
    other->Current -= 1000;
    const Collected c = Gather(GetTopProcessPf, OptionsOf({{L"display", L"%1 %3"}}));
    EXPECT_EQ(c.data.Names, (TWideStringArray{L"process", L"pid", L"pf"}));
    ASSERT_EQ(c.data.Data.size(), 1u);
    const TVarArray& row = c.data.Data[0];
    ASSERT_EQ(row.size(), 3u);
    EXPECT_EQ(LowerText(row[0].ToText()), L"vistrel_tests.exe");
    EXPECT_EQ(CurrencyOf(row[1]), static_cast<std::int64_t>(GetCurrentProcessId()) * 10000);
    // The faults since the stored count: the million, and whatever this process added.
    EXPECT_GE(row[2].ToDouble(), 1000000.0);
    EXPECT_LT(row[2].ToDouble(), 1100000.0);
    EXPECT_EQ(c.display, row[0].ToText() + L" " + row[2].ToText());
    EXPECT_EQ(log.Count(L"DATA", L"GetTopProcessPf: " + c.display), 1);
}

// ---- processes that refuse to be opened ----------------------------------------------------------

TEST_F(ProcessItems, AProcessThatRefusesEveryOpenIsNamedFromTheSystemsList) {
    const DWORD self = GetCurrentProcessId();
    Refuse({self});
    ASSERT_FALSE(OpenProcessForQuery(self, ProcessOpenFunction).valid());
    Gather(GetTopProcessCpu, OptionsOf({}));
    bool cpuListed = false;
    for (const TProcessItem& e : ProcessCpuHistory)
        if (e.ProcessId == self) cpuListed = LowerAscii(e.Name) == "vistrel_tests.exe";
    EXPECT_TRUE(cpuListed);
    Gather(GetTopProcessPf, OptionsOf({}));
    bool pfListed = false;
    for (const TProcessItemPf& e : ProcessPfHistory)
        if (e.ProcessId == self) pfListed = LowerAscii(e.Name) == "vistrel_tests.exe";
    EXPECT_TRUE(pfListed);
}

TEST_F(ProcessItems, CpuShareOfAProcessThatRefusesEveryOpenComesFromTheSystemsList) {
    const DWORD self = GetCurrentProcessId();
    Refuse({self});
    Gather(GetTopProcessCpu, OptionsOf({}));
    SpinFiftyMilliseconds();
    const Collected second = Gather(GetTopProcessCpu, OptionsOf({}));
    const TProcessItem* own = nullptr;
    for (const TProcessItem& e : ProcessCpuHistory)
        if (e.ProcessId == self) own = &e;
    ASSERT_NE(own, nullptr);
    EXPECT_GT(own->CpuPercent, 0);
    ASSERT_EQ(second.data.Data.size(), 1u);
}

TEST_F(ProcessItems, TopProcessMemOfAProcessThatRefusesEveryOpenComesFromTheSystemsList) {
    FixtureProcess big(640, L"procfix_refused.exe");
    ASSERT_TRUE(big.ready);
    Refuse({big.Id()});
    const PROCESS_MEMORY_COUNTERS own = big.Counters();
    for (const wchar_t* counter : {L"ws", L"pu"}) {
        const Collected c = Gather(GetTopProcessMem, OptionsOf({{L"counter", counter}}));
        ASSERT_EQ(c.data.Data.size(), 1u);
        const TVarArray& row = c.data.Data[0];
        EXPECT_EQ(row[0], Variant(L"procfix_refused.exe")) << counter;
        EXPECT_EQ(CurrencyOf(row[1]), static_cast<std::int64_t>(big.Id()) * 10000) << counter;
        const std::uint64_t expected = std::wstring(counter) == L"ws" ? own.WorkingSetSize : own.PagefileUsage;
        EXPECT_GE(CurrencyOf(row[2]) / 10000, static_cast<std::int64_t>(640 * kMiB)) << counter;
        EXPECT_NEAR(static_cast<double>(CurrencyOf(row[2]) / 10000), static_cast<double>(expected), 4.0 * kMiB)
            << counter;
    }
}

TEST_F(ProcessItems, ProcessMemOfAProcessThatRefusesEveryOpenComesFromTheSystemsList) {
    FixtureProcess fixture(64, L"procfix_refusing.exe");
    ASSERT_TRUE(fixture.ready);
    Refuse({fixture.Id()});
    const TItemOptionArray options = OptionsOf({{L"key", L"procfix_refusing.exe"}});
    const Collected c = Gather(GetProcessMemory, options);
    ASSERT_EQ(c.data.Data.size(), 1u);
    ASSERT_EQ(ProcessMonitors.Items().size(), 1u);
    EXPECT_EQ(ProcessMonitors.Items()[0].ProcessId, fixture.Id());
    const PROCESS_MEMORY_COUNTERS own = fixture.Counters();
    EXPECT_GE(CurrencyOf(c.data.Data[0][0]) / 10000, static_cast<std::int64_t>(64 * kMiB));
    EXPECT_NEAR(static_cast<double>(CurrencyOf(c.data.Data[0][0]) / 10000), static_cast<double>(own.WorkingSetSize),
                4.0 * kMiB);
    EXPECT_NEAR(static_cast<double>(CurrencyOf(c.data.Data[0][1]) / 10000), static_cast<double>(own.PagefileUsage),
                4.0 * kMiB);
    // The second collection has a CPU share from the list's times (0 for an idle process).
    const Collected again = Gather(GetProcessMemory, options);
    ASSERT_EQ(again.data.Data.size(), 1u);
    EXPECT_GE(again.data.Data[0][3].ToInt32(), 0);
}
