// The collector's interpretation of a pass: top records, per-name sums, thread counts.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Statistics.h"
#include "SystemProcessList.h"

using namespace vistrel64;

namespace {

constexpr std::uint64_t GiB = 1024ull * 1024 * 1024;

TProcessStats Entry(std::uint32_t pid, std::wstring name, std::uint64_t ws, std::uint64_t pu = 0,
                    std::uint32_t handles = 0, std::uint32_t threads = 0) {
    TProcessStats e;
    e.ProcessId = pid;
    e.FileName = std::move(name);
    e.WorkingSetSize = ws;
    e.PageFaultCount = ws / 4096;
    e.PagefileUsage = pu + 1;
    e.PrivateUsage = pu;
    e.HandleCount = handles;
    e.ThreadCount = threads;
    return e;
}

bool AllZero(const void* p, std::size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i)
        if (b[i]) return false;
    return true;
}

}  // namespace

TEST(CollectorStatistics, FileNameOfImage) {
    const struct {
        const wchar_t* image;
        const wchar_t* expected;
    } rows[] = {
        {L"\\Device\\HarddiskVolume2\\Windows\\notepad.exe", L"notepad.exe"},
        {L"C:\\a\\b.exe", L"b.exe"},
        {L"plain.exe", L"plain.exe"},
        {L"", L""},
        {L"C:\\folder\\", L""},
    };
    for (const auto& r : rows) EXPECT_EQ(FileNameOfImage(r.image), r.expected) << r.image;
}

TEST(CollectorStatistics, LowerLatinLettersMapsOnlyAToZ) {
    EXPECT_EQ(LowerLatinLetters(L"NotePad.EXE"), L"notepad.exe");
    EXPECT_EQ(LowerLatinLetters(L"@[`{"), L"@[`{");
    EXPECT_EQ(LowerLatinLetters(L"\u00C4\u0130X"), L"\u00C4\u0130x");
}

TEST(CollectorStatistics, TopRecordsPickTheStrictlyLargestFirstOfEquals) {
    const struct {
        const char* what;
        TProcessTable table;
        std::uint32_t wsPid, puPid;
    } rows[] = {
        {"empty table", {}, 0, 0},
        {"nothing above zero", {Entry(4, L"a.exe", 0), Entry(0, L"", 0)}, 0, 0},
        {"tie goes to the first", {Entry(1, L"a.exe", 500, 7), Entry(2, L"b.exe", 500, 7)}, 1, 1},
        {"independent maxima", {Entry(1, L"a.exe", 100, 900), Entry(2, L"b.exe", 800, 5), Entry(3, L"c.exe", 300, 50)}, 2, 1},
        {"above 4 GiB", {Entry(1, L"a.exe", 4 * GiB), Entry(2, L"b.exe", 4 * GiB + 1)}, 2, 0},
    };
    for (const auto& r : rows) {
        const TVslTopProcess ws = TopByWorkingSet(r.table);
        const TVslTopProcess pu = TopByPrivateUsage(r.table);
        EXPECT_EQ(ws.ProcessId, r.wsPid) << r.what;
        EXPECT_EQ(pu.ProcessId, r.puPid) << r.what;
        if (r.wsPid == 0) {
            EXPECT_TRUE(AllZero(&ws, sizeof ws)) << r.what;
        }
        if (r.puPid == 0) {
            EXPECT_TRUE(AllZero(&pu, sizeof pu)) << r.what;
        }
    }
}

TEST(CollectorStatistics, TopRecordCarriesNameAndCounters) {
    TProcessTable table = {Entry(7, L"big.exe", 3 * GiB, 2 * GiB)};
    table[0].PageFaultCount = 0xFFFFFFFFu;
    const TVslTopProcess ws = TopByWorkingSet(table);
    EXPECT_EQ(VslNameText(ws.FileName), L"big.exe");
    EXPECT_EQ(ws.ProcessId, 7u);
    EXPECT_EQ(ws.WorkingSetSize, 3 * GiB);
    EXPECT_EQ(ws.PageFaultCount, 0xFFFFFFFFu);
    EXPECT_EQ(ws.PagefileUsage, 2 * GiB + 1);
    EXPECT_EQ(ws.PrivateUsage, 2 * GiB);
}

TEST(CollectorStatistics, LongFileNameIsCutToItsField) {
    const std::wstring longName(150, L'x');
    const TVslTopProcess ws = TopByWorkingSet({Entry(9, longName, 10)});
    EXPECT_EQ(VslNameText(ws.FileName), std::wstring(VslMaxNameLength, L'x'));
    EXPECT_EQ(ws.FileName[VslMaxNameLength], L'\0');
    // The cut name is no whole file name: a slot holding its first 99 units matches nothing.
    EXPECT_EQ(MonitorRecordFor(std::wstring(VslMaxNameLength, L'x'), {Entry(9, longName, 10)}).ProcessId, 0u);
}

TEST(CollectorStatistics, MonitorRecordMatchesWholeNameIgnoringLatinCase) {
    const TProcessTable table = {
        Entry(10, L"notepad.exe", 100, 10, 5, 2), Entry(11, L"NOTEPAD.EXE", 200, 20, 6, 3),
        Entry(12, L"calc.exe", 400, 40, 7, 4),    Entry(0, L"", 0, 0, 9, 9),
        Entry(13, L"Notepad.exe", 300, 30, 1, 1), Entry(14, L"notepad.exe.bak", 999, 99, 1, 1),
    };
    const struct {
        const wchar_t* slot;
        std::uint32_t pid;
        std::uint64_t ws, pu, pf;
        std::uint32_t handles, threads;
    } rows[] = {
        {L"Notepad.exe", 13, 600, 60, 63, 12, 6},
        {L"notepad", 0, 0, 0, 0, 0, 0},
        {L"calc.exe", 12, 400, 40, 41, 7, 4},
        {L"nothing.exe", 0, 0, 0, 0, 0, 0},
        {L"notepad*", 0, 0, 0, 0, 0, 0},
    };
    for (const auto& r : rows) {
        const TVslProcessMonitor m = MonitorRecordFor(r.slot, table);
        EXPECT_EQ(VslNameText(m.Name), r.slot);
        EXPECT_EQ(m.ProcessId, r.pid) << r.slot;
        EXPECT_EQ(m.WorkingSetSize, r.ws) << r.slot;
        EXPECT_EQ(m.PrivateUsage, r.pu) << r.slot;
        EXPECT_EQ(m.PagefileUsage, r.pf) << r.slot;
        EXPECT_EQ(m.HandleCount, r.handles) << r.slot;
        EXPECT_EQ(m.ThreadCount, r.threads) << r.slot;
    }
}

TEST(CollectorStatistics, MonitorSumsCarryAcross32Bits) {
    const TProcessTable table = {Entry(1, L"big.exe", 3 * GiB), Entry(2, L"big.exe", 3 * GiB)};
    const TVslProcessMonitor m = MonitorRecordFor(L"big.exe", table);
    EXPECT_EQ(m.WorkingSetSize, 6 * GiB);
    EXPECT_EQ(m.ProcessId, 2u);
}

TEST(CollectorStatistics, MonitorCountsWrapModulo32Bits) {
    const TProcessTable table = {Entry(1, L"a.exe", 1, 0, 0xFFFFFFFFu, 0xFFFFFFFFu), Entry(2, L"a.exe", 1, 0, 2, 3)};
    const TVslProcessMonitor m = MonitorRecordFor(L"a.exe", table);
    EXPECT_EQ(m.HandleCount, 1u);
    EXPECT_EQ(m.ThreadCount, 2u);
}

TEST(CollectorStatistics, ThreadsGoToTheFirstEntryOfTheirOwner) {
    TProcessTable table = {Entry(5, L"a.exe", 1), Entry(6, L"b.exe", 1), Entry(5, L"dup.exe", 1)};
    CountThreads(table, {5, 6, 5, 99, 5});
    EXPECT_EQ(table[0].ThreadCount, 3u);
    EXPECT_EQ(table[1].ThreadCount, 1u);
    EXPECT_EQ(table[2].ThreadCount, 0u);
}

TEST(CollectorStatistics, ThreadsOfATerminalServersTableAreCountedInOnePass) {
    // 100 000 processes of ten threads each: looking through the table for every thread
    // takes many minutes, one look-up per thread a fraction of a second.
    constexpr std::uint32_t processes = 100000, threadsEach = 10;
    auto table = std::make_shared<TProcessTable>();
    table->reserve(processes);
    std::vector<std::uint32_t> owners;
    owners.reserve(std::size_t{processes} * threadsEach);
    for (std::uint32_t p = 0; p < processes; ++p) table->push_back(Entry(4 * (p + 1), L"", 1));
    for (std::uint32_t t = 0; t < threadsEach; ++t)
        for (std::uint32_t p = 0; p < processes; ++p) owners.push_back(4 * (p + 1));
    std::packaged_task<void()> count([table, owners = std::move(owners)] { CountThreads(*table, owners); });
    std::future<void> counted = count.get_future();
    std::thread(std::move(count)).detach();
    ASSERT_EQ(counted.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    for (const TProcessStats& entry : *table) ASSERT_EQ(entry.ThreadCount, threadsEach) << entry.ProcessId;
}

TEST(CollectorStatistics, PublishWritesSlotsInUseAndLeavesFreeOnes) {
    TVslSystemArea system{};
    VslSetName(system.MonitorNames[0], L"a.exe");
    VslSetName(system.MonitorNames[2], L"gone.exe");
    // A slot filled to the end without a zero unit is read within its field.
    for (wchar_t& c : system.MonitorNames[9]) c = L'z';
    TVslProcessMonitor records[VslMonitorSlots];
    std::memset(records, 0xAB, sizeof records);
    records[2].ProcessId = 77;
    records[2].WorkingSetSize = 123;

    PublishProcessMonitors({Entry(3, L"A.EXE", 50, 5, 2, 1)}, system, records);

    EXPECT_EQ(records[0].ProcessId, 3u);
    EXPECT_EQ(records[0].WorkingSetSize, 50u);
    EXPECT_EQ(VslNameText(records[0].Name), L"a.exe");
    EXPECT_EQ(records[2].ProcessId, 0u);
    EXPECT_EQ(records[2].WorkingSetSize, 0u);
    EXPECT_EQ(VslNameText(records[2].Name), L"gone.exe");
    EXPECT_EQ(VslNameText(records[9].Name), std::wstring(VslMaxNameLength, L'z'));
    for (int i : {1, 3, 4, 5, 6, 7, 8}) {
        EXPECT_EQ(records[i].ProcessId, 0xABABABABu) << i;
        EXPECT_EQ(records[i].HandleCount, 0xABABABABu) << i;
    }
}

TEST(CollectorStatistics, PublishTopProcessesWithEmptyTableZeroesBothRecords) {
    TVslTopProcess ws, pu;
    std::memset(&ws, 0x5A, sizeof ws);
    std::memset(&pu, 0x5A, sizeof pu);
    PublishTopProcesses({}, ws, pu);
    EXPECT_TRUE(AllZero(&ws, sizeof ws));
    EXPECT_TRUE(AllZero(&pu, sizeof pu));
}

TEST(CollectorStatistics, NameFieldHelpers) {
    wchar_t field[VslNameUnits];
    std::memset(field, 0x11, sizeof field);
    VslSetName(field, L"ab");
    EXPECT_EQ(VslNameText(field), L"ab");
    for (std::size_t i = 2; i < VslNameUnits; ++i) EXPECT_EQ(field[i], L'\0') << i;
    VslSetName(field, std::wstring(VslNameUnits, L'q'));
    EXPECT_EQ(VslNameText(field).size(), VslMaxNameLength);
    VslSetName(field, L"");
    EXPECT_EQ(VslNameText(field), L"");
}

TEST(CollectorStatistics, AProcessThatRefusesItsHandleIsTakenFromTheSystemList) {
    TListedProcess service;
    service.ProcessId = 880;
    service.ImageName = L"svchost.exe";
    service.WorkingSetSize = 6 * GiB;
    service.PageFaultCount = 4000;
    service.PagefileUsage = 5 * GiB;
    service.PrivatePageCount = 4 * GiB + 1;
    service.HandleCount = 900;
    service.ThreadCount = 12;
    TListedProcess otherId = service;
    otherId.ProcessId = 881;
    TListedProcess unnamed = service;
    unnamed.ImageName.clear();

    TOpenedProcess refused;  // not opened at all
    TOpenedProcess countersOnly;
    countersOnly.Entry = Entry(880, L"svchost.exe", 100, 50);
    TOpenedProcess complete = countersOnly;
    complete.Entry.HandleCount = 7;
    complete.HandleCountRead = true;
    const struct {
        const char* what;
        TOpenedProcess opened;
        std::uint32_t id;
        const TListedProcess* listed;
        std::uint32_t pid;
        std::uint64_t ws, privateUsage;
        std::uint32_t handles;
    } rows[] = {
        {"refused: all from the list", refused, 880, &service, 880, 6 * GiB, 4 * GiB + 1, 900},
        {"handle count not read: that from the list", countersOnly, 880, &service, 880, 100, 50, 900},
        {"all read: the list is not used", complete, 880, &service, 880, 100, 50, 7},
        {"no record", refused, 880, nullptr, 0, 0, 0, 0},
        {"a record of another process", refused, 880, &otherId, 0, 0, 0, 0},
        {"a record without a name", refused, 880, &unnamed, 0, 0, 0, 0},
        {"the idle process", refused, 0, &service, 0, 0, 0, 0},
    };
    for (const auto& r : rows) {
        const TProcessStats e = CompleteFromList(r.opened, r.id, r.listed);
        EXPECT_EQ(e.ProcessId, r.pid) << r.what;
        EXPECT_EQ(e.WorkingSetSize, r.ws) << r.what;
        EXPECT_EQ(e.PrivateUsage, r.privateUsage) << r.what;
        EXPECT_EQ(e.HandleCount, r.handles) << r.what;
        EXPECT_EQ(e.ThreadCount, 0u) << r.what;  // the thread pass counts them
    }

    // The refused service is published like any other process.
    TProcessTable table = {Entry(10, L"own.exe", GiB, GiB), CompleteFromList(refused, 880, &service)};
    EXPECT_EQ(table[1].FileName, L"svchost.exe");
    EXPECT_EQ(table[1].PageFaultCount, 4000u);
    EXPECT_EQ(table[1].PagefileUsage, 5 * GiB);
    CountThreads(table, {880, 880, 10});
    const TVslTopProcess ws = TopByWorkingSet(table);
    EXPECT_EQ(VslNameText(ws.FileName), L"svchost.exe");
    EXPECT_EQ(ws.ProcessId, 880u);
    EXPECT_EQ(TopByPrivateUsage(table).PrivateUsage, 4 * GiB + 1);
    const TVslProcessMonitor record = MonitorRecordFor(L"SvcHost.exe", table);
    EXPECT_EQ(record.ProcessId, 880u);
    EXPECT_EQ(record.WorkingSetSize, 6 * GiB);
    EXPECT_EQ(record.HandleCount, 900u);
    EXPECT_EQ(record.ThreadCount, 2u);
}
