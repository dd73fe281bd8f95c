// The system's process list: its records read from constructed buffers of both shapes at
// exact sizes, the shape of this build checked against the SDK's header, the real call as
// the platform answers it, and what the process items take from a record.
#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "OptionalApis.h"
#include "ProcessFigures.h"
#include "Processes.h"
#include "SystemProcessList.h"
#include "Utils.h"

namespace {

constexpr std::uint64_t kMiB = 1024ull * 1024;
constexpr std::uint64_t kGiB = 1024 * kMiB;

// Where the documented SYSTEM_PROCESS_INFORMATION keeps its fields in each shape: a
// 32-bit process (WOW64 included) gets 4-byte pointers and sizes, a 64-bit one 8-byte.
struct TShape {
    TProcessListLayout layout;
    std::size_t pointer, record;
    std::size_t threads, user, kernel, nameLength, nameBuffer, id, handles, faults, workingSet, pagefile, privatePages;
};
constexpr TShape kShape32 = {TProcessListLayout::Bits32, 4, 184, 4, 40, 48, 56, 60, 68, 76, 96, 104, 124, 132};
constexpr TShape kShape64 = {TProcessListLayout::Bits64, 8, 256, 4, 40, 48, 56, 64, 80, 96, 128, 144, 184, 200};

// A list written as the system writes it, record after record, each followed by room for
// its thread entries and its name; the buffer is seen at address Base.
class TListWriter {
public:
    TListWriter(const TShape& Shape, std::uint64_t Base) : shape_(Shape), base_(Base) {}

    // Appends a record and links the previous one to it; answers the record's offset.
    std::size_t Add(const TListedProcess& P, std::size_t ThreadBytes = 0) {
        const std::size_t at = bytes_.size();
        if (last_ != npos) Put<std::uint32_t>(last_, 0, static_cast<std::uint32_t>(at - last_));
        bytes_.resize(at + shape_.record + ThreadBytes, 0);
        Put<std::uint32_t>(at, shape_.threads, P.ThreadCount);
        Put<std::uint64_t>(at, shape_.user, P.UserTime);
        Put<std::uint64_t>(at, shape_.kernel, P.KernelTime);
        PutSized(at, shape_.id, P.ProcessId);
        Put<std::uint32_t>(at, shape_.handles, P.HandleCount);
        Put<std::uint32_t>(at, shape_.faults, P.PageFaultCount);
        PutSized(at, shape_.workingSet, P.WorkingSetSize);
        PutSized(at, shape_.pagefile, P.PagefileUsage);
        PutSized(at, shape_.privatePages, P.PrivatePageCount);
        if (!P.ImageName.empty()) {
            const std::size_t name = bytes_.size();
            const std::size_t length = P.ImageName.size() * 2;
            bytes_.resize(name + length + 2, 0);  // the system ends each name with a zero unit
            std::memcpy(bytes_.data() + name, P.ImageName.data(), length);
            SetName(at, static_cast<std::uint16_t>(length), base_ + name);
        }
        last_ = at;
        return at;
    }
    void SetNext(std::size_t Record, std::uint32_t Next) { Put<std::uint32_t>(Record, 0, Next); }
    void SetName(std::size_t Record, std::uint16_t Length, std::uint64_t Pointer) {
        Put<std::uint16_t>(Record, shape_.nameLength, Length);
        Put<std::uint16_t>(Record, shape_.nameLength + 2, Length);
        PutSized(Record, shape_.nameBuffer, Pointer);
    }
    std::vector<std::uint8_t>& Bytes() { return bytes_; }
    std::vector<TListedProcess> Parse(std::size_t Size) const {
        return ParseProcessList(bytes_.data(), Size, base_, shape_.layout);
    }
    std::vector<TListedProcess> Parse() const { return Parse(bytes_.size()); }

private:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    template <typename T>
    void Put(std::size_t Record, std::size_t Field, T Value) {
        std::memcpy(bytes_.data() + Record + Field, &Value, sizeof Value);
    }
    void PutSized(std::size_t Record, std::size_t Field, std::uint64_t Value) {
        if (shape_.pointer == 8)
            Put<std::uint64_t>(Record, Field, Value);
        else
            Put<std::uint32_t>(Record, Field, static_cast<std::uint32_t>(Value));
    }
    TShape shape_;
    std::uint64_t base_;
    std::vector<std::uint8_t> bytes_;
    std::size_t last_ = npos;
};

TListedProcess Listed(std::uint32_t Id, std::wstring Name, std::uint64_t WorkingSet, std::uint64_t User = 0) {
    TListedProcess p;
    p.ProcessId = Id;
    p.ImageName = std::move(Name);
    p.UserTime = User;
    p.KernelTime = User / 2 + 7;
    p.WorkingSetSize = WorkingSet;
    p.PagefileUsage = WorkingSet / 2 + 1;
    p.PrivatePageCount = WorkingSet / 3 + 2;
    p.PageFaultCount = Id * 10 + 3;
    p.HandleCount = Id + 11;
    p.ThreadCount = Id % 7 + 1;
    return p;
}

void ExpectSame(const TListedProcess& Got, const TListedProcess& Expected, const char* What) {
    EXPECT_EQ(Got.ProcessId, Expected.ProcessId) << What;
    EXPECT_EQ(Got.ImageName, Expected.ImageName) << What;
    EXPECT_EQ(Got.UserTime, Expected.UserTime) << What;
    EXPECT_EQ(Got.KernelTime, Expected.KernelTime) << What;
    EXPECT_EQ(Got.WorkingSetSize, Expected.WorkingSetSize) << What;
    EXPECT_EQ(Got.PagefileUsage, Expected.PagefileUsage) << What;
    EXPECT_EQ(Got.PrivatePageCount, Expected.PrivatePageCount) << What;
    EXPECT_EQ(Got.PageFaultCount, Expected.PageFaultCount) << What;
    EXPECT_EQ(Got.HandleCount, Expected.HandleCount) << What;
    EXPECT_EQ(Got.ThreadCount, Expected.ThreadCount) << What;
}

struct TShapeCase {
    const char* what;
    TShape shape;
    std::uint64_t base;
    std::uint64_t largest;  // a working set the shape can hold
};
const TShapeCase kShapes[] = {
    {"32-bit", kShape32, 0x00C80000u, 3 * kGiB},
    {"64-bit", kShape64, 0x000001F0A2C40000ull, 6 * kGiB},
};

}  // namespace

TEST(SystemProcessList, RecordsOfBothShapesAreReadWhole) {
    for (const TShapeCase& c : kShapes) {
        TListWriter list(c.shape, c.base);
        // The idle process has no name; the others are followed by their thread entries.
        const TListedProcess idle = Listed(0, L"", 8192, 900000000000ull);
        const TListedProcess system = Listed(4, L"System", 40960, 123456789);
        const TListedProcess service = Listed(1234, L"svchost.exe", c.largest, 5000000);
        const TListedProcess compression = Listed(2468, L"Memory Compression", 700 * 1024 * 1024);
        list.Add(idle, 8 * 80);
        list.Add(system, 200 * 80);
        list.Add(service, 3 * 80);
        list.Add(compression);
        const std::vector<TListedProcess> parsed = list.Parse();
        ASSERT_EQ(parsed.size(), 4u) << c.what;
        ExpectSame(parsed[0], idle, c.what);
        ExpectSame(parsed[1], system, c.what);
        ExpectSame(parsed[2], service, c.what);
        ExpectSame(parsed[3], compression, c.what);
    }
}

TEST(SystemProcessList, TheChainEndsWhereTheBufferEnds) {
    for (const TShapeCase& c : kShapes) {
        TListWriter list(c.shape, c.base);
        list.Add(Listed(10, L"a.exe", 1000));
        const std::size_t second = list.Add(Listed(20, L"bb.exe", 2000));
        const std::size_t all = list.Bytes().size();
        const struct {
            const char* what;
            std::size_t size;
            std::vector<std::wstring> names;
        } rows[] = {
            {"the whole list", all, {L"a.exe", L"bb.exe"}},
            {"without the last name's zero unit", all - 2, {L"a.exe", L"bb.exe"}},
            {"the last name cut by one byte", all - 3, {L"a.exe", L""}},
            {"the last record's fixed part exactly", second + c.shape.record, {L"a.exe", L""}},
            {"the last record one byte short", second + c.shape.record - 1, {L"a.exe"}},
            {"the first record exactly", c.shape.record, {L""}},
            {"the first record one byte short", c.shape.record - 1, {}},
            {"empty", 0, {}},
        };
        for (const auto& r : rows) {
            const std::vector<TListedProcess> parsed = list.Parse(r.size);
            std::vector<std::wstring> names;
            for (const TListedProcess& p : parsed) names.push_back(p.ImageName);
            EXPECT_EQ(names, r.names) << c.what << ": " << r.what;
        }
    }
    EXPECT_TRUE(ParseProcessList(nullptr, 4096, 0, NativeProcessListLayout).empty());
}

TEST(SystemProcessList, ARecordWhoseNextOffsetLeadsAstrayEndsTheChain) {
    for (const TShapeCase& c : kShapes) {
        const struct {
            const char* what;
            std::uint32_t next;  // of the second of three records; 0 asks for the true offset
            std::size_t records;
        } rows[] = {
            {"a sound chain", 0, 3},
            {"past the end of the buffer", 0x7FFFFFF0u, 2},
            {"one byte past the end", 0xFFFFFFFFu, 2},
            {"shorter than a record", 16, 2},
        };
        for (const auto& r : rows) {
            TListWriter list(c.shape, c.base);
            list.Add(Listed(1, L"one.exe", 10));
            const std::size_t middle = list.Add(Listed(2, L"two.exe", 20));
            list.Add(Listed(3, L"three.exe", 30));
            if (r.next == 0xFFFFFFFFu)
                list.SetNext(middle, static_cast<std::uint32_t>(list.Bytes().size() - middle + 1));
            else if (r.next != 0)
                list.SetNext(middle, r.next);
            const std::vector<TListedProcess> parsed = list.Parse();
            ASSERT_EQ(parsed.size(), r.records) << c.what << ": " << r.what;
            EXPECT_EQ(parsed[1].ImageName, L"two.exe") << c.what << ": " << r.what;
        }
    }
}

TEST(SystemProcessList, ANameOutsideTheBufferIsLeftEmpty) {
    for (const TShapeCase& c : kShapes) {
        TListWriter probe(c.shape, c.base);
        probe.Add(Listed(7, L"x.exe", 1));
        const std::uint64_t end = c.base + probe.Bytes().size();
        const struct {
            const char* what;
            std::uint16_t length;
            std::uint64_t pointer;
            const wchar_t* name;
        } rows[] = {
            {"inside", 10, c.base + c.shape.record, L"x.exe"},
            {"before the buffer", 10, c.base - 2, L""},
            {"null", 10, 0, L""},
            {"beyond the end", 2, end, L""},
            {"running over the end", 12, end - 10, L""},
            {"an odd length", 9, c.base + c.shape.record, L""},
            {"ending exactly at the end", 2, end - 2, L""},  // the zero unit: an empty name
            {"the last unit of the buffer", 4, end - 4, L"e"},
        };
        for (const auto& r : rows) {
            TListWriter list(c.shape, c.base);
            const std::size_t record = list.Add(Listed(7, L"x.exe", 1));
            list.SetName(record, r.length, r.pointer);
            const std::vector<TListedProcess> parsed = list.Parse();
            ASSERT_EQ(parsed.size(), 1u) << c.what << ": " << r.what;
            EXPECT_EQ(parsed[0].ImageName, r.name) << c.what << ": " << r.what;
            EXPECT_EQ(parsed[0].ProcessId, 7u) << c.what << ": " << r.what;  // the figures stay
            EXPECT_EQ(parsed[0].HandleCount, 18u) << c.what << ": " << r.what;
        }
    }
}

TEST(SystemProcessList, AnIdBeyond32BitsIsNoProcessOfTheEnumeration) {
    TListWriter list(kShape64, 0x10000);
    list.Add(Listed(5, L"a.exe", 1));
    const std::size_t odd = list.Add(Listed(6, L"b.exe", 1));
    list.Add(Listed(7, L"c.exe", 1));
    const std::uint64_t wide = 0x100000006ull;
    std::memcpy(list.Bytes().data() + odd + kShape64.id, &wide, sizeof wide);
    const std::vector<TListedProcess> parsed = list.Parse();
    ASSERT_EQ(parsed.size(), 2u);
    EXPECT_EQ(parsed[0].ProcessId, 5u);
    EXPECT_EQ(parsed[1].ProcessId, 7u);
}

TEST(SystemProcessList, TheShapeOfThisBuildIsTheSdkHeaders) {
    const TProcessRecordFields& f = ProcessRecordFieldsOf(NativeProcessListLayout);
    using SPI = SYSTEM_PROCESS_INFORMATION;
    constexpr std::size_t vm = offsetof(SPI, VirtualMemoryCounters);
    EXPECT_EQ(f.NextEntryOffset, offsetof(SPI, NextEntryOffset));
    EXPECT_EQ(f.NumberOfThreads, offsetof(SPI, NumberOfThreads));
    EXPECT_EQ(f.UserTime, offsetof(SPI, UserTime));
    EXPECT_EQ(f.KernelTime, offsetof(SPI, KernelTime));
    EXPECT_EQ(f.ImageNameLength, offsetof(SPI, ImageName) + offsetof(UNICODE_STRING, Length));
    EXPECT_EQ(f.ImageNameBuffer, offsetof(SPI, ImageName) + offsetof(UNICODE_STRING, Buffer));
    EXPECT_EQ(f.UniqueProcessId, offsetof(SPI, UniqueProcessId));
    EXPECT_EQ(f.HandleCount, offsetof(SPI, HandleCount));
    EXPECT_EQ(f.PageFaultCount, vm + offsetof(VM_COUNTERS, PageFaultCount));
    EXPECT_EQ(f.WorkingSetSize, vm + offsetof(VM_COUNTERS, WorkingSetSize));
    EXPECT_EQ(f.PagefileUsage, vm + offsetof(VM_COUNTERS, PagefileUsage));
    EXPECT_EQ(f.PrivatePageCount, offsetof(SPI, PrivatePageCount));
    EXPECT_EQ(f.PointerSize, sizeof(SIZE_T));
    EXPECT_EQ(f.RecordSize, sizeof(SPI));
    // And the test's own reading of the documented shapes agrees.
    const TShape& own = sizeof(void*) == 8 ? kShape64 : kShape32;
    EXPECT_EQ(own.record, sizeof(SPI));
    EXPECT_EQ(own.privatePages, offsetof(SPI, PrivatePageCount));
}

TEST(SystemProcessList, TheListIsFoundById) {
    const TSystemProcessList list({Listed(300, L"c.exe", 1), Listed(4, L"System", 1), Listed(0, L"", 1),
                                   Listed(72, L"b.exe", 1)});
    ASSERT_NE(list.Find(72), nullptr);
    EXPECT_EQ(list.Find(72)->ImageName, L"b.exe");
    ASSERT_NE(list.Find(0), nullptr);
    EXPECT_EQ(list.Find(0)->ImageName, L"");
    EXPECT_EQ(list.Find(300)->ImageName, L"c.exe");
    EXPECT_EQ(list.Find(5), nullptr);
    EXPECT_EQ(list.Find(301), nullptr);
    EXPECT_EQ(TSystemProcessList().Find(4), nullptr);
}

namespace {
// The real call, refusing every buffer below 1 MiB as too small (as it refuses any buffer
// the list does not fit), so that the reading must grow its buffer.
int smallBufferCalls = 0;
LONG WINAPI SmallBuffersRefused(ULONG Class, PVOID Buffer, ULONG Length, PULONG Needed) {
    if (Length < 1024 * 1024) {
        ++smallBufferCalls;
        *Needed = 1024 * 1024 - 4096;
        return static_cast<LONG>(0xC0000004);  // STATUS_INFO_LENGTH_MISMATCH
    }
    return OptionalApis.NtQuerySystemInformation(Class, Buffer, Length, Needed);
}
LONG WINAPI AccessDenied(ULONG, PVOID, ULONG, PULONG) { return static_cast<LONG>(0xC0000022); }
}  // namespace

TEST(SystemProcessList, TheSystemListsThisProcess) {
    LoadOptionalApis();
    ASSERT_NE(OptionalApis.NtQuerySystemInformation, nullptr);
    std::vector<TListedProcess> processes;
    ASSERT_TRUE(ReadProcessList(OptionalApis.NtQuerySystemInformation, processes));
    const TSystemProcessList list(processes);
    const TListedProcess* self = list.Find(GetCurrentProcessId());
    ASSERT_NE(self, nullptr);
    // What Wine 8 answers too: name, threads, handles, times, working set and commit; it
    // leaves page faults and private pages 0.
    EXPECT_EQ(LowerText(self->ImageName), L"vistrel_tests.exe");
    EXPECT_GE(self->ThreadCount, 1u);
    EXPECT_GT(self->HandleCount, 0u);
    EXPECT_GT(self->WorkingSetSize, 0u);
    EXPECT_GT(self->PagefileUsage, 0u);
    // Every process the enumeration sees at once is in the list, named.
    DWORD ids[4096];
    DWORD used = 0;
    ASSERT_TRUE(EnumProcesses(ids, sizeof ids, &used));
    std::size_t found = 0;
    for (DWORD i = 0; i < used / sizeof(DWORD); ++i)
        if (const TListedProcess* p = list.Find(ids[i]); p && !p->ImageName.empty()) ++found;
    EXPECT_GE(found + 2, used / sizeof(DWORD));  // a process or two may start or end between the calls

    smallBufferCalls = 0;
    ASSERT_TRUE(ReadProcessList(&SmallBuffersRefused, processes));
    EXPECT_EQ(smallBufferCalls, 1);  // 512 KiB refused, then a buffer larger than asked for
    EXPECT_NE(TSystemProcessList(processes).Find(GetCurrentProcessId()), nullptr);

    EXPECT_FALSE(ReadProcessList(&AccessDenied, processes));
    EXPECT_TRUE(processes.empty());
    EXPECT_FALSE(ReadProcessList(nullptr, processes));
}

// ---- what the process items take from the list ----------------------------------------------

namespace {
TListedProcess ListRecord(DWORD Id, const wchar_t* Name, std::uint64_t User, std::uint64_t Kernel,
                          std::uint64_t WorkingSet, std::uint64_t Pagefile, DWORD Faults, DWORD Handles) {
    TListedProcess p;
    p.ProcessId = Id;
    p.ImageName = Name;
    p.UserTime = User;
    p.KernelTime = Kernel;
    p.WorkingSetSize = WorkingSet;
    p.PagefileUsage = Pagefile;
    p.PageFaultCount = Faults;
    p.HandleCount = Handles;
    return p;
}
}  // namespace

TEST(ProcessFiguresMerge, ARefusedOpenTakesItsFiguresFromTheListRecord) {
    // A service that refuses even limited query rights: the handle gives nothing.
    TProcessFigures refused;
    refused.Error = ERROR_ACCESS_DENIED;
    const TListedProcess first = ListRecord(880, L"svchost.exe", 1000000, 500000, 6 * kGiB, 5 * kGiB, 4000, 900);
    const TProcessFigures figures = MergeProcessFigures(refused, &first);
    EXPECT_EQ(figures.Name, "svchost.exe");
    ASSERT_TRUE(figures.Times && figures.Memory && figures.HandleCount);
    EXPECT_EQ(figures.Times->User, 1000000u);
    EXPECT_EQ(figures.Times->Kernel, 500000u);
    EXPECT_EQ(figures.Memory->WorkingSetSize, 6 * kGiB);
    EXPECT_EQ(figures.Memory->PagefileUsage, 5 * kGiB);
    EXPECT_EQ(figures.Memory->PageFaultCount, 4000u);
    EXPECT_EQ(*figures.HandleCount, 900u);

    // Its CPU share between two collections, and its place in the memory ranking.
    std::vector<TProcessItem> history;
    StoreProcessCpuSample(history, figures.Name, 880, figures.Times->User, figures.Times->Kernel, 10000000, 20000000);
    const TListedProcess second = ListRecord(880, L"svchost.exe", 1250000, 750000, 6 * kGiB, 5 * kGiB, 4100, 900);
    const TProcessFigures later = MergeProcessFigures(refused, &second);
    StoreProcessCpuSample(history, later.Name, 880, later.Times->User, later.Times->Kernel, 10500000, 21500000);
    ASSERT_EQ(TopCpuEntry(history), 0);
    EXPECT_EQ(history[0].Name, "svchost.exe");
    EXPECT_EQ(history[0].CpuPercent, 25);  // 500000 of 2000000
    const TTopProcess top = TopMemoryOf(
        {{"own.exe", 10, kGiB, kGiB}, {later.Name, 880, later.Memory->WorkingSetSize, later.Memory->PagefileUsage}}, L"ws");
    EXPECT_EQ(top.Name, "svchost.exe");
    EXPECT_EQ(top.Value, 6 * kGiB);
    std::vector<TProcessItemPf> faults;
    StoreProcessPfSample(faults, figures.Name, 880, figures.Memory->PageFaultCount);
    StoreProcessPfSample(faults, later.Name, 880, later.Memory->PageFaultCount);
    ASSERT_EQ(TopPfEntry(faults), 0);
    EXPECT_EQ(faults[0].Current - faults[0].Previous, 100);
}

TEST(ProcessFiguresMerge, TheHandlesFiguresStayAndOnlyWhatItLacksComesFromTheList) {
    const TListedProcess record = ListRecord(77, L"Memory Compression", 9, 8, 700 * kMiB, 1 * kMiB, 5, 0);
    TProcessFigures full;
    full.Name = "own.exe";
    full.Times = TProcessTimes{1, 2};
    full.Memory = TProcessMemory{3, 4, 5};
    full.HandleCount = 6;
    TProcessFigures nameless = full;
    nameless.Name.clear();
    TProcessFigures timesOnly;  // limited query rights: times and name, no counters
    timesOnly.Name = "svc.exe";
    timesOnly.Times = TProcessTimes{11, 12};
    const TListedProcess unnamed = ListRecord(0, L"", 1, 1, 8192, 0, 0, 0);  // the idle process
    const struct {
        const char* what;
        TProcessFigures opened;
        const TListedProcess* listed;
        std::string name;
        std::uint64_t user, workingSet;
        DWORD handles;
    } rows[] = {
        {"all from the handle", full, &record, "own.exe", 1, 3, 6},
        {"no name from the handle: the list's", nameless, &record, "Memory Compression", 1, 3, 6},
        {"times from the handle, the rest from the list", timesOnly, &record, "svc.exe", 11, 700 * kMiB, 0},
        {"no record: nothing added", timesOnly, nullptr, "svc.exe", 11, 0, 0},
        {"a record without a name names nothing", nameless, &unnamed, "", 1, 3, 6},
    };
    for (const auto& r : rows) {
        const TProcessFigures merged = MergeProcessFigures(r.opened, r.listed);
        EXPECT_EQ(merged.Name, r.name) << r.what;
        ASSERT_TRUE(merged.Times) << r.what;
        EXPECT_EQ(merged.Times->User, r.user) << r.what;
        EXPECT_EQ(merged.Memory ? merged.Memory->WorkingSetSize : 0, r.workingSet) << r.what;
        EXPECT_EQ(merged.HandleCount.value_or(0), r.handles) << r.what;
    }

    // The list is asked for only when something wanted is missing.
    EXPECT_FALSE(FiguresIncomplete(full, pfName | pfTimes | pfMemory | pfHandles));
    EXPECT_TRUE(FiguresIncomplete(nameless, pfName));
    EXPECT_FALSE(FiguresIncomplete(nameless, pfTimes | pfMemory));
    EXPECT_TRUE(FiguresIncomplete(timesOnly, pfMemory));
    EXPECT_FALSE(FiguresIncomplete(timesOnly, pfName | pfTimes));
    EXPECT_TRUE(FiguresIncomplete(timesOnly, pfHandles));
}
