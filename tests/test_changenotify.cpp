#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "ChangeNotify2.h"
#include "TestFiles.h"
#include "WindowTests.h"
#include "test_providers_support.h"

namespace {

constexpr DWORD kWait = 8000;  // generous bound for one or two checks under Wine

// A watcher with a handler that records every report's size.
struct Watch {
    std::unique_ptr<TChangeNotify2> w;
    std::vector<std::int64_t> sizes;

    Watch(const std::wstring& path, std::int32_t flags, std::int32_t interval, bool notifyOnStart) {
        w = std::make_unique<TChangeNotify2>(true);
        w->SetFileName(path);
        w->Flags = flags;
        w->Interval = interval;
        w->NotifyOnStart = notifyOnStart;
        w->OnChange = [this](TChangeNotify2* sender) { sizes.push_back(sender->Size); };
    }
    void Start() { w->Resume(); }
    // Waits until the first check has recorded its baseline.
    bool Checked() {
        return PumpUntil([&] { return !w->FirstCheck; }, kWait);
    }
    bool ReportsReach(std::size_t n) {
        return PumpUntil([&] { return sizes.size() >= n; }, kWait);
    }
};

FILETIME WriteTimeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA d{};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d);
    return d.ftLastWriteTime;
}

void SetWriteTime(const std::wstring& path, const FILETIME& t) {
    HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetFileTime(h, nullptr, nullptr, &t);
    CloseHandle(h);
}

FILETIME Later(FILETIME t, std::uint64_t seconds) {
    ULARGE_INTEGER u{};
    u.LowPart = t.dwLowDateTime;
    u.HighPart = t.dwHighDateTime;
    u.QuadPart += seconds * 10000000ull;
    return FILETIME{u.LowPart, u.HighPart};
}

class ChangeNotifyTest : public WindowTest {
protected:
    TempFolder dir{L"vistrel-notify"};
};

}  // namespace

TEST(ChangeNotifyRules, File) {
    struct Row {
        std::int32_t flags;
        std::int64_t size, lastSize;
        std::uint64_t write, lastWrite, access, lastAccess;
        bool reports;
    } rows[] = {
        {0x10, 5, 5, 7, 7, 1, 1, false},   // nothing changed
        {0x10, 5, 5, 8, 7, 1, 1, true},    // write time
        {0x10, 6, 5, 7, 7, 1, 1, true},    // size alone, whatever the flags
        {0x00, 6, 5, 7, 7, 1, 1, true},
        {0x00, 5, 5, 8, 7, 2, 1, false},   // times without their flags
        {0x20, 5, 5, 7, 7, 2, 1, true},    // access time
        {0x10, 5, 5, 7, 7, 2, 1, false},
        {0x08, 5, -2, 7, 7, 1, 1, true},   // first check of a file
        {0x08, -1, -1, 0, 0, 0, 0, false}, // still unreadable, reported by the caller
    };
    for (const Row& r : rows)
        EXPECT_EQ(FileCheckReports(r.flags, r.size, r.write, r.access, r.lastSize, r.lastWrite, r.lastAccess), r.reports)
            << r.flags << " " << r.size << " " << r.write;
}

TEST(ChangeNotifyRules, Directory) {
    struct Row {
        std::int32_t flags;
        std::int64_t dirSize, lastSize;
        std::uint64_t write, lastWrite, access, lastAccess;
        TDirCheck rule;
    } rows[] = {
        {0x08, 10, -2, 1, 0, 1, 0, TDirCheck::Size},
        {0x08, 10, 10, 2, 1, 1, 1, TDirCheck::None},   // with the size flag only the size counts
        {0x18, 10, 10, 2, 1, 1, 1, TDirCheck::None},
        {0x10, 0, -2, 2, 1, 1, 1, TDirCheck::Times},
        {0x10, 0, -2, 1, 1, 2, 1, TDirCheck::None},
        {0x20, 0, -2, 1, 1, 2, 1, TDirCheck::Times},
        {0x00, 0, -2, 2, 1, 2, 1, TDirCheck::None},    // no rule without a flag
    };
    for (const Row& r : rows)
        EXPECT_EQ(DirectoryCheckRule(r.flags, r.dirSize, r.write, r.access, r.lastSize, r.lastWrite, r.lastAccess),
                  r.rule)
            << r.flags;
}

TEST_F(ChangeNotifyTest, DirectorySizeSumsSubfoldersAndStops) {
    CreateDirectoryW(dir.File(L"a").c_str(), nullptr);
    CreateDirectoryW(dir.File(L"a\\b").c_str(), nullptr);
    WriteFileBytes(dir.File(L"one"), std::string(3, 'x'));
    WriteFileBytes(dir.File(L"a\\two"), std::string(5, 'x'));
    WriteFileBytes(dir.File(L"a\\b\\three"), std::string(7, 'x'));
    EXPECT_EQ(SumDirectorySize(dir.Dir(), nullptr), 15);
    EXPECT_EQ(SumDirectorySize(dir.Path(), nullptr), 15);  // trailing backslash
    EXPECT_EQ(SumDirectorySize(dir.File(L"missing"), nullptr), 0);
    EXPECT_EQ(SumDirectorySize(dir.Dir(), [] { return true; }), 0);
    // A link back up the tree is not entered.
    if (CreateSymbolicLinkW(dir.File(L"a\\loop").c_str(), dir.Dir().c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY)) {
        EXPECT_EQ(SumDirectorySize(dir.Dir(), nullptr), 15);
        RemoveDirectoryW(dir.File(L"a\\loop").c_str());
    }
    DeleteFileW(dir.File(L"a\\b\\three").c_str());
    RemoveDirectoryW(dir.File(L"a\\b").c_str());
    DeleteFileW(dir.File(L"a\\two").c_str());
    RemoveDirectoryW(dir.File(L"a").c_str());
}

TEST_F(ChangeNotifyTest, UnchangedFileNeverReportsATouchReportsOnce) {
    const std::wstring f = dir.File(L"ini.ini");
    WriteFileBytes(f, "[options]\r\n");
    Watch w(f, 0x10, 1, false);
    w.Start();
    ASSERT_TRUE(w.Checked());
    PumpFor(2500);  // two more checks
    EXPECT_TRUE(w.sizes.empty());
    SetWriteTime(f, Later(WriteTimeOf(f), 60));
    ASSERT_TRUE(w.ReportsReach(1));
    PumpFor(2500);
    EXPECT_EQ(w.sizes.size(), 1u);
    EXPECT_EQ(w.sizes.at(0), 11);
}

TEST_F(ChangeNotifyTest, SizeOnlyChangeReportsWithTheWriteTimeRestored) {
    const std::wstring f = dir.File(L"data.txt");
    WriteFileBytes(f, "abc");
    Watch w(f, 0x10, 1, false);
    w.Start();
    ASSERT_TRUE(w.Checked());
    const FILETIME t = WriteTimeOf(f);
    WriteFileBytes(f, "abcdef");
    SetWriteTime(f, t);
    ASSERT_TRUE(w.ReportsReach(1));
    EXPECT_EQ(w.sizes.at(0), 6);
}

TEST_F(ChangeNotifyTest, StartNotificationAndDeletedFileReportedUntilItReturns) {
    const std::wstring f = dir.File(L"watched.txt");
    WriteFileBytes(f, "12345");
    Watch w(f, 0x10, 1, true);
    w.Start();
    ASSERT_TRUE(w.ReportsReach(1));
    EXPECT_EQ(w.sizes.at(0), 5);  // the first state at once
    DeleteFileW(f.c_str());
    ASSERT_TRUE(w.ReportsReach(3));
    EXPECT_EQ(w.sizes.at(1), kSizeUnreadable);
    EXPECT_EQ(w.sizes.at(2), kSizeUnreadable);  // on every check while missing
    WriteFileBytes(f, "12");
    ASSERT_TRUE(PumpUntil([&] { return w.sizes.back() == 2; }, kWait));
    const std::size_t n = w.sizes.size();
    PumpFor(2500);
    EXPECT_EQ(w.sizes.size(), n) << "its return is reported once";
}

TEST_F(ChangeNotifyTest, FileHeldWithoutSharingIsUnreadable) {
    const std::wstring f = dir.File(L"locked.txt");
    WriteFileBytes(f, "abc");
    Watch w(f, 0x10, 1, false);
    w.Start();
    ASSERT_TRUE(w.Checked());
    HANDLE h = CreateFileW(f.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const bool reported = w.ReportsReach(1);
    CloseHandle(h);
    ASSERT_TRUE(reported);
    EXPECT_EQ(w.sizes.at(0), kSizeUnreadable);
    // Released: readable again, reported once with its size.
    ASSERT_TRUE(PumpUntil([&] { return w.sizes.back() == 3; }, kWait));
}

TEST_F(ChangeNotifyTest, IntervalZeroOrNegativeChecksOnceAndEnds) {
    const std::wstring f = dir.File(L"once.txt");
    WriteFileBytes(f, "x");
    for (std::int32_t interval : {0, -5}) {
        Watch w(f, 0x10, interval, true);
        w.Start();
        ASSERT_TRUE(w.ReportsReach(1)) << interval;
        ASSERT_TRUE(PumpUntil([&] { return w.w->Finished(); }, kWait)) << interval;
        EXPECT_EQ(w.sizes.size(), 1u);
    }
}

TEST_F(ChangeNotifyTest, DirectoryWriteTimeSeesDirectChildrenOnly) {
    CreateDirectoryW(dir.File(L"sub").c_str(), nullptr);
    WriteFileBytes(dir.File(L"sub\\deep.txt"), "a");
    Watch w(dir.Dir(), 0x10, 1, false);
    w.Start();
    ASSERT_TRUE(w.Checked());
    WriteFileBytes(dir.File(L"sub\\deep.txt"), "abcdef");
    PumpFor(2500);
    EXPECT_TRUE(w.sizes.empty()) << "a change below a subfolder leaves the folder's own time";
    WriteFileBytes(dir.File(L"new.txt"), "n");
    SetWriteTime(dir.Dir(), Later(WriteTimeOf(dir.Dir()), 60));  // file systems may round folder times
    ASSERT_TRUE(w.ReportsReach(1));
    EXPECT_EQ(w.sizes.at(0), kSizeUnchecked) << "a time rule leaves the size as it was";
    w.w.reset();
    DeleteFileW(dir.File(L"new.txt").c_str());
    DeleteFileW(dir.File(L"sub\\deep.txt").c_str());
    RemoveDirectoryW(dir.File(L"sub").c_str());
}

TEST_F(ChangeNotifyTest, DirectorySizeFlagSumsTheTree) {
    CreateDirectoryW(dir.File(L"s").c_str(), nullptr);
    WriteFileBytes(dir.File(L"s\\a"), "abcd");
    Watch w(dir.Dir(), 0x08, 1, true);
    w.Start();
    ASSERT_TRUE(w.ReportsReach(1));
    EXPECT_EQ(w.sizes.at(0), 4);
    WriteFileBytes(dir.File(L"s\\a"), "abcdefgh");
    ASSERT_TRUE(w.ReportsReach(2));
    EXPECT_EQ(w.sizes.at(1), 8);
    w.w.reset();
    DeleteFileW(dir.File(L"s\\a").c_str());
    RemoveDirectoryW(dir.File(L"s").c_str());
}

TEST_F(ChangeNotifyTest, NewFileNameIsTakenAtTheNextCheck) {
    const std::wstring a = dir.File(L"a.txt"), b = dir.File(L"b.txt");
    WriteFileBytes(a, "aa");
    WriteFileBytes(b, "bbbbbbb");
    Watch w(a, 0x10, 1, true);
    w.Start();
    ASSERT_TRUE(w.ReportsReach(1));
    w.w->SetFileName(b);
    EXPECT_EQ(w.w->FileName(), b);
    ASSERT_TRUE(w.ReportsReach(2));
    EXPECT_EQ(w.sizes.at(1), 7);
}

TEST_F(ChangeNotifyTest, PausedWatcherMakesNoChecksAndResumesWithItsLastState) {
    const std::wstring f = dir.File(L"p.txt");
    WriteFileBytes(f, "p");
    Watch w(f, 0x10, 1, false);
    EXPECT_TRUE(w.w->Paused()) << "created suspended";
    w.Start();
    EXPECT_FALSE(w.w->Paused());
    ASSERT_TRUE(w.Checked());
    w.w->Pause();
    EXPECT_TRUE(w.w->Paused());
    PumpFor(1500);  // a check under way when paused may still finish
    const std::size_t before = w.sizes.size();
    WriteFileBytes(f, "pppp");
    PumpFor(2500);
    EXPECT_EQ(w.sizes.size(), before) << "no checks while paused";
    w.w->Resume();
    ASSERT_TRUE(w.ReportsReach(before + 1));
    EXPECT_EQ(w.sizes.back(), 4);
}

TEST_F(ChangeNotifyTest, HandlersRunOnTheOwnerThreadInOrder) {
    const std::wstring f = dir.File(L"h.txt");
    WriteFileBytes(f, "h");
    static std::vector<int> order;
    static DWORD procThread = 0;
    order.clear();
    Watch w(f, 0x10, 0, true);
    w.w->OnChange = [](TChangeNotify2*) { order.push_back(1); };
    w.w->OnChangeProc = [](TChangeNotify2*) {
        order.push_back(2);
        procThread = GetCurrentThreadId();
    };
    w.Start();
    ASSERT_TRUE(PumpUntil([] { return order.size() >= 2; }, kWait));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(procThread, GetCurrentThreadId());
}

TEST_F(ChangeNotifyTest, FreedPromptlyAndFromInsideItsOwnHandler) {
    const std::wstring f = dir.File(L"f.txt");
    WriteFileBytes(f, "f");
    {
        // A long interval: the free ends the pause at once instead of waiting it out.
        Watch w(f, 0x10, 100000, true);
        w.Start();
        ASSERT_TRUE(w.ReportsReach(1));
        w.w.reset();
    }
    // Freed by its own first handler: neither side blocks, the second handler is skipped.
    static std::unique_ptr<TChangeNotify2> self;
    static bool secondRan = false;
    static bool freed = false;
    secondRan = freed = false;
    self = std::make_unique<TChangeNotify2>(true);
    self->SetFileName(f);
    self->Flags = 0x10;
    self->Interval = 1;
    self->OnChange = [](TChangeNotify2*) {
        self.reset();
        freed = true;
    };
    self->OnChangeProc = [](TChangeNotify2*) { secondRan = true; };
    self->Resume();
    ASSERT_TRUE(PumpUntil([] { return freed; }, kWait));
    EXPECT_FALSE(secondRan);
    EXPECT_EQ(self, nullptr);
}

TEST_F(ChangeNotifyTest, MissingPathAndEmptyNameReportUnreadable) {
    for (const std::wstring& path : {dir.File(L"nothing.txt"), std::wstring()}) {
        Watch w(path, 0x10, 0, true);
        w.Start();
        ASSERT_TRUE(w.ReportsReach(1));
        EXPECT_EQ(w.sizes.at(0), kSizeUnreadable);
    }
}

namespace {

// Stands in for a file call that does not return (a network file that does not answer)
// for the watched name "blocked-file", until released.
HANDLE checkRelease = nullptr;
std::atomic<bool> checkBlocked{false};
void BlockingCheck(const std::wstring& Name) {
    if (Name.find(L"blocked-file") == std::wstring::npos || !checkRelease) return;
    checkBlocked = true;
    WaitForSingleObject(checkRelease, 20000);
}

}  // namespace

TEST(ChangeNotifyFree, AWatcherStuckInAFileCallIsLeftToEndOnItsOwnWithinTheBound) {
    LogCapture log;
    InitSynchronizer();
    checkRelease = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    checkBlocked = false;
    TChangeNotify2::BeforeCheck = BlockingCheck;
    TChangeNotify2::StopWaitMs = 200;
    std::atomic<int> changes{0};
    auto watcher = std::make_unique<TChangeNotify2>(true);
    watcher->SetFileName(L"C:\\no-such-folder\\blocked-file.ini");
    watcher->Interval = 1;
    watcher->OnChange = [&changes](TChangeNotify2*) { ++changes; };
    watcher->Resume();
    const DWORD start = GetTickCount();
    while (!checkBlocked && GetTickCount() - start < 10000) Sleep(5);
    ASSERT_TRUE(checkBlocked);
    // The free returns at its bound, not when the file call does.
    EXPECT_FALSE(TChangeNotify2::Free(std::move(watcher)));
    EXPECT_EQ(log.Count(L"WARN", L"TChangeNotify2: the watcher of C:\\no-such-folder\\blocked-file.ini is still busy; it ends on its own"), 1);
    // Once the call returns, the thread ends and frees the watcher; no handler runs.
    SetEvent(checkRelease);
    const UniqueHandle never(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    WaitServingCalls(never.get(), 300);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    EXPECT_EQ(changes, 0);
    TChangeNotify2::BeforeCheck = nullptr;
    TChangeNotify2::StopWaitMs = 3000;
    CloseHandle(checkRelease);
    checkRelease = nullptr;
    FinalizeSynchronizer();
}

TEST(ChangeNotifyFree, AWatcherThatEndsInTimeIsFreedAtOnce) {
    InitSynchronizer();
    auto watcher = std::make_unique<TChangeNotify2>(true);
    watcher->SetFileName(L"C:\\no-such-folder\\x.ini");
    watcher->Interval = 1;
    watcher->Resume();
    EXPECT_TRUE(TChangeNotify2::Free(std::move(watcher)));
    EXPECT_TRUE(TChangeNotify2::Free(nullptr));
    FinalizeSynchronizer();
}
