// The drive list, the space and label queries and FIXEDDISK: interpretation on tables,
// the platform calls against what the test reads from the system itself.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "Errors.h"
#include "FixedDisks.h"
#include "InstanceLimits.h"
#include "MainLoop.h"
#include "MemoryDisks.h"
#include "TestFiles.h"
#include "Utils.h"
#include "test_providers_support.h"

namespace {

// The fixed and removable drives as the test finds them itself.
std::wstring OwnDriveList(bool includeAll) {
    std::wstring list;
    const DWORD mask = GetLogicalDrives();
    for (int bit = includeAll ? 0 : 2; bit < 26; ++bit) {
        if (!(mask & (1u << bit))) continue;
        const wchar_t root[] = {static_cast<wchar_t>(L'A' + bit), L':', L'\\', 0};
        const UINT type = GetDriveTypeW(root);
        if (type == DRIVE_FIXED || type == DRIVE_REMOVABLE) list += root[0];
    }
    return list;
}

// A letter that no drive uses, from M on.
wchar_t FreeLetter() {
    const DWORD mask = GetLogicalDrives();
    for (int bit = 12; bit < 25; ++bit)
        if (!(mask & (1u << bit))) return static_cast<wchar_t>(L'A' + bit);
    return 0;
}

// A drive letter mapped onto a folder for the fixture's life (the system's own way of
// adding a drive, as subst does).
class MappedDrive {
public:
    MappedDrive(wchar_t letter, const std::wstring& folder) : device_{letter, L':', 0} {
        ok_ = DefineDosDeviceW(0, device_, folder.c_str()) != 0;
    }
    ~MappedDrive() { Remove(); }
    MappedDrive(const MappedDrive&) = delete;
    MappedDrive& operator=(const MappedDrive&) = delete;
    bool ok() const { return ok_; }
    void Remove() {
        if (ok_) DefineDosDeviceW(DDD_REMOVE_DEFINITION, device_, nullptr);
        ok_ = false;
    }

private:
    wchar_t device_[3];
    bool ok_ = false;
};

// Why a drive mapped onto a folder cannot be used here, or empty when it can. Wine lists
// a letter defined with DefineDosDevice among the logical drives but answers "no root
// directory" for its type (it adds real drives only through its dosdevices folder), so
// the drive list, which takes fixed and removable drives only, rightly leaves it out.
std::string MappedDriveUnusable(wchar_t letter) {
    const wchar_t root[] = {letter, L':', L'\\', 0};
    const UINT type = GetDriveTypeW(root);
    if (type == DRIVE_FIXED || type == DRIVE_REMOVABLE) return {};
    EXPECT_NE(GetLogicalDrives() & (1u << (letter - L'A')), 0u) << "the mapped letter is defined";
    return "the system gives a drive mapped onto a folder the type " + std::to_string(type) +
           " (not fixed or removable), so the drive list leaves it out";
}

std::vector<std::int64_t> Counts(const TVarArray& row, std::size_t from) {
    std::vector<std::int64_t> n;
    for (std::size_t i = from; i < row.size(); ++i) n.push_back(row[i].CurrencyCount() / 10000);
    return n;
}

// Restores the drive list the way a test found it: rebuilt from the drives present.
class DriveListTest : public ::testing::Test {
protected:
    void TearDown() override {
        ClearDriveList();
        RefreshDriveList(false);
    }
};

}  // namespace

// ---- interpretation -------------------------------------------------------------------------

TEST(DriveListRules, BuildDriveListTakesFixedAndRemovableFromCOrA) {
    const std::map<char, UINT> types = {{'A', DRIVE_REMOVABLE}, {'B', DRIVE_FIXED},  {'C', DRIVE_FIXED},
                                        {'D', DRIVE_CDROM},     {'E', DRIVE_REMOTE}, {'F', DRIVE_RAMDISK},
                                        {'G', DRIVE_REMOVABLE}, {'H', DRIVE_UNKNOWN}, {'I', DRIVE_NO_ROOT_DIR},
                                        {'Z', DRIVE_FIXED}};
    std::vector<std::string> asked;
    auto type = [&](const std::string& root) {
        asked.push_back(root);
        return types.count(root[0]) ? types.at(root[0]) : UINT{DRIVE_FIXED};
    };
    DWORD all = 0;
    for (const auto& t : types) all |= 1u << (t.first - 'A');
    struct Row {
        DWORD mask;
        bool includeAll;
        std::wstring expected;
    } rows[] = {
        {all, false, L"CGZ"},
        {all, true, L"ABCGZ"},
        {all & ~(1u << 2), false, L"GZ"},  // a letter without its bit is not asked about
        {0, true, L""},
        {1u << 25, false, L"Z"},
        {0x3FFFFFFu & ~all, false, L"JKLMNOPQRSTUVWXY"},  // unknown letters answer fixed here
        {0xFC000000u, true, L""},  // bits above Z mean nothing
    };
    for (const Row& r : rows) EXPECT_EQ(BuildDriveList(r.mask, r.includeAll, type), r.expected) << r.mask;
    asked.clear();
    BuildDriveList(1u << 2, false, type);
    EXPECT_EQ(asked, std::vector<std::string>{"C:\\"});
}

TEST(DriveListRules, FilterKeepsListOrderAndCase) {
    struct Row {
        std::wstring list, filter, passed;
    } rows[] = {
        {L"CDE", L"", L"CDE"},     {L"CDE", L"CE", L"CE"},      {L"CDE", L"EC", L"CE"},
        {L"CDE", L"ce", L""},      {L"CDE", L"cE", L"E"},       {L"CDE", L"X:\\E;C", L"CE"},
        {L"", L"CE", L""},         {L"CDE", L"Q", L""},         {L"CDEZ", L"ZZZ", L"Z"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(FilterDriveLetters(r.list, r.filter), r.passed) << r.filter;
    }
    struct Nth {
        std::wstring filter;
        int index;
        std::wstring letter;
    } nth[] = {
        {L"CE", 0, L"C"}, {L"CE", 1, L"E"}, {L"CE", 2, L""}, {L"ce", 0, L""},
        {L"", 0, L"C"},   {L"", 2, L"E"},   {L"", 3, L""},   {L"", -1, L""},
    };
    for (const Nth& n : nth) EXPECT_EQ(NthDriveLetter(L"CDE", n.index, n.filter), n.letter) << n.filter << n.index;
}

TEST(DriveListRules, FixedDiskRowPercentagesTruncate) {
    const std::int64_t gib = 1024ll * 1024 * 1024;
    struct Row {
        std::int64_t total, used, free, available;
        std::int64_t usedPct, freePct;
    } rows[] = {
        {3, 2, 1, 1, 66, 33},
        {0, 0, 0, 0, 0, 0},
        {16 * gib, 12 * gib, 4 * gib, 3 * gib, 75, 25},
        {100, 0, 100, 50, 0, 100},
        {7, 7, 0, 0, 100, 0},
        {4000 * gib, 1000 * gib, 3000 * gib, 3000 * gib, 25, 75},
    };
    for (const Row& r : rows) {
        const TVarArray row = FixedDiskRow(L"C", L"SYSTEM", r.total, r.used, r.free, r.available);
        ASSERT_EQ(row.size(), 8u);
        EXPECT_EQ(row[0], Variant(L"C"));
        EXPECT_EQ(row[1], Variant(L"SYSTEM"));
        for (std::size_t i = 2; i < 8; ++i) EXPECT_EQ(row[i].Type(), VarType::Currency);
        EXPECT_EQ(Counts(row, 2), (std::vector<std::int64_t>{r.used, r.free, r.total, r.available, r.usedPct, r.freePct}))
            << r.total;
    }
    // A byte count beyond the currency range raises instead of wrapping.
    EXPECT_THROW(FixedDiskRow(L"C", L"", 1ll << 62, 0, 1ll << 62, 0), EIntOverflow);
}

// ---- the drive list on this system ------------------------------------------------------------

TEST_F(DriveListTest, RefreshFindsTheDrivesTheSystemReports) {
    ClearDriveList();
    EXPECT_EQ(DriveList(), L"");
    const std::wstring own = OwnDriveList(false);
    ASSERT_FALSE(own.empty());  // the system drive at least
    EXPECT_TRUE(RefreshDriveList(false));  // the first build from an empty list is a change
    EXPECT_EQ(DriveList(), own);
    EXPECT_FALSE(RefreshDriveList(false));
    EXPECT_EQ(DriveList(), own);
    const std::wstring withAll = OwnDriveList(true);
    EXPECT_EQ(RefreshDriveList(true), withAll != own);
    EXPECT_EQ(DriveList(), withAll);
    for (wchar_t c : DriveList()) EXPECT_TRUE(c >= L'A' && c <= L'Z');
}

TEST_F(DriveListTest, ADriveThatComesAndGoesIsAChange) {
    TempFolder folder;
    const wchar_t letter = FreeLetter();
    ASSERT_NE(letter, 0);
    RefreshDriveList(false);
    const std::wstring before = DriveList();
    {
        MappedDrive drive(letter, folder.Dir());
        ASSERT_TRUE(drive.ok()) << GetLastError();
        if (const std::string why = MappedDriveUnusable(letter); !why.empty()) {
            EXPECT_FALSE(RefreshDriveList(false)) << "a drive of another type is no change";
            EXPECT_EQ(DriveList().find(letter), std::wstring::npos);
            GTEST_SKIP() << why;
        }
        EXPECT_TRUE(RefreshDriveList(false));
        EXPECT_NE(DriveList().find(letter), std::wstring::npos);
        EXPECT_EQ(DriveList(), OwnDriveList(false));
        EXPECT_FALSE(RefreshDriveList(false));
        // The new drive is reachable by its place among the filtered letters.
        EXPECT_EQ(GetFixedDiskLetter(0, std::wstring(1, letter)), std::wstring(1, letter));
        drive.Remove();
        EXPECT_TRUE(RefreshDriveList(false));
    }
    EXPECT_EQ(DriveList(), before);
}

TEST_F(DriveListTest, CountFixedDisksBuildsAnEmptyListFirst) {
    ClearDriveList();
    const std::wstring own = OwnDriveList(false);
    EXPECT_EQ(CountFixedDisks(L"", false), static_cast<int>(own.size()));
    EXPECT_EQ(DriveList(), own);
    // Once built, the list is only counted, whatever IncludeAll says.
    EXPECT_EQ(CountFixedDisks(L"", true), static_cast<int>(own.size()));
    EXPECT_EQ(CountFixedDisks(own.substr(0, 1), false), 1);
    EXPECT_EQ(CountFixedDisks(LowerText(own), false), 0);
    EXPECT_EQ(CountFixedDisks(L"0123456789", false), 0);
}

TEST_F(DriveListTest, GetFixedDiskLetterNeverBuildsTheList) {
    ClearDriveList();
    EXPECT_EQ(GetFixedDiskLetter(0, L""), L"");
    EXPECT_EQ(DriveList(), L"");
    RefreshDriveList(false);
    const std::wstring own = DriveList();
    for (std::size_t i = 0; i < own.size(); ++i)
        EXPECT_EQ(GetFixedDiskLetter(static_cast<int>(i), L""), own.substr(i, 1));
    EXPECT_EQ(GetFixedDiskLetter(static_cast<int>(own.size()), L""), L"");
}

TEST(DriveListHooks, RegistrationGivesTheMainLoopItsRefresh) {
    auto* saved = RefreshDriveListHook;
    RefreshDriveListHook = nullptr;
    RegisterMemoryDiskProviders();
    EXPECT_EQ(RefreshDriveListHook, &RefreshDriveList);
    RefreshDriveListHook = saved;
}

// ---- space and label -----------------------------------------------------------------------

TEST(DiskSpace, MatchesWhatTheSystemReports) {
    const std::wstring drives = OwnDriveList(false);
    ASSERT_FALSE(drives.empty());
    for (const wchar_t letter : drives) {
        const std::wstring root = std::wstring(1, letter) + L":\\";
        ULARGE_INTEGER available{}, total{}, totalFree{};
        if (!GetDiskFreeSpaceExW(root.c_str(), &available, &total, &totalFree)) continue;
        std::int64_t used = -1, free = -1, avail = -1;
        const std::int64_t size = GetDiskSpace(WideToAnsi(root), used, free, avail);
        EXPECT_EQ(size, static_cast<std::int64_t>(total.QuadPart)) << static_cast<char>(letter);
        EXPECT_EQ(used + free, size);
        EXPECT_GE(free, 0);
        EXPECT_LE(avail, free);
        // Free space moves while other programs write; it stays within a gigabyte here.
        EXPECT_NEAR(static_cast<double>(free), static_cast<double>(totalFree.QuadPart), 1073741824.0) << static_cast<char>(letter);
    }
}

TEST(DiskSpace, ADriveThatCannotBeQueriedGivesZeros) {
    const wchar_t letter = FreeLetter();
    ASSERT_NE(letter, 0);
    for (const std::string& path : {std::string(1, static_cast<char>(letter)) + ":\\", std::string("1:\\"), std::string()}) {
        std::int64_t used = -1, free = -1, available = -1;
        EXPECT_EQ(GetDiskSpace(path, used, free, available), 0) << path;
        EXPECT_EQ(used, 0);
        EXPECT_EQ(free, 0);
        EXPECT_EQ(available, 0);
    }
    EXPECT_EQ(GetVolumeLabel(static_cast<char>(letter)), L"");
}

TEST(DiskSpace, ErrorModeComesBackAfterTheQueries) {
    const UINT before = GetErrorMode();
    const DWORD threadBefore = GetThreadErrorMode();
    std::int64_t used, free, available;
    GetDiskSpace("C:\\", used, free, available);
    GetVolumeLabel('C');
    RefreshDriveList(false);
    EXPECT_EQ(GetErrorMode(), before);
    {
        const TCriticalErrorsOff quiet;
        // Per thread where the system allows: the process mode then stays as it was.
        EXPECT_EQ(GetThreadErrorMode() & SEM_FAILCRITICALERRORS, static_cast<DWORD>(SEM_FAILCRITICALERRORS));
    }
    EXPECT_EQ(GetThreadErrorMode(), threadBefore);
    EXPECT_EQ(GetErrorMode(), before);
}

TEST(DiskSpace, VolumeLabelIsTheSystemsUpperCased) {
    for (const wchar_t letter : OwnDriveList(false)) {
        const std::string root = std::string(1, static_cast<char>(letter)) + ":\\";
        char label[261] = {};
        std::string expected;
        if (GetVolumeInformationA(root.c_str(), label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0)) {
            expected = label;
            CharUpperBuffA(expected.data(), static_cast<DWORD>(expected.size()));
        }
        EXPECT_EQ(GetVolumeLabel(static_cast<char>(letter)), AnsiToWide(expected)) << static_cast<char>(letter);
    }
}

// ---- FIXEDDISK ------------------------------------------------------------------------------

TEST_F(DriveListTest, FixedDiskReportsTheDriveOfItsInstance) {
    LogCapture log;
    RefreshDriveList(false);
    const std::wstring drives = DriveList();
    ASSERT_FALSE(drives.empty());
    const std::wstring letter = drives.substr(drives.size() - 1);
    TItemData data;
    std::wstring display;
    GetFixedDisk(OptionsOf({{L"Display", L"%1 [%2] %7%"}, {L"num", std::to_wstring(drives.size() - 1).c_str()}}), data,
                 display);
    EXPECT_EQ(data.Names, (TWideStringArray{L"disk", L"volume", L"used", L"free", L"size", L"available", L"usedpct",
                                            L"freepct"}));
    ASSERT_EQ(data.Data.size(), 1u);
    const TVarArray& row = data.Data[0];
    EXPECT_EQ(row[0], Variant(letter));
    EXPECT_EQ(row[1], Variant(GetVolumeLabel(static_cast<char>(letter[0]))));
    std::int64_t used, free, available;
    EXPECT_EQ(row[4].CurrencyCount() / 10000, GetDiskSpace(WideToAnsi(letter) + ":\\", used, free, available));
    const std::int64_t size = row[4].CurrencyCount() / 10000;
    const std::int64_t u = row[2].CurrencyCount() / 10000, f = row[3].CurrencyCount() / 10000;
    EXPECT_EQ(u + f, size);
    if (size > 0) {
        EXPECT_EQ(row[6].CurrencyCount() / 10000, u * 100 / size);
        EXPECT_EQ(row[7].CurrencyCount() / 10000, f * 100 / size);
    }
    EXPECT_EQ(display, letter + L" [" + row[1].ToText() + L"] " + row[6].ToText() + L"%");
    EXPECT_EQ(log.At(L"DATA"), std::vector<std::wstring>{L"Fixed Disk: " + display});
}

TEST_F(DriveListTest, FixedDiskBeyondTheFilteredDrivesShowsNothing) {
    LogCapture log;
    RefreshDriveList(false);
    const std::wstring drives = DriveList();
    struct Row {
        std::wstring num, filter;
    } rows[] = {
        {std::to_wstring(drives.size()), L""},
        {L"0", LowerText(drives)},
        {L"1", drives.substr(0, 1)},
        {L"-1", L""},
    };
    for (const Row& r : rows) {
        TItemData data;
        data.Names = {L"old"};
        data.Data = {{Variant(L"old row")}};
        std::wstring display = L"leftover";
        GetFixedDisk(OptionsOf({{L"num", r.num.c_str()}, {L"filter", r.filter.c_str()}}), data, display);
        EXPECT_EQ(display, L"") << r.num << " " << r.filter;
        EXPECT_EQ(data.Names, TWideStringArray{L"old"});
        EXPECT_EQ(data.Data.size(), 1u);
    }
    EXPECT_TRUE(log.At(L"DATA").empty());
    // The filter picks among the letters in the list's order.
    TItemData data;
    std::wstring display;
    GetFixedDisk(OptionsOf({{L"filter", drives.c_str()}, {L"num", L"0"}}), data, display);
    EXPECT_EQ(display, drives.substr(0, 1));
}

TEST_F(DriveListTest, FixedDiskOfAMappedFolderDrive) {
    TempFolder folder;
    const wchar_t letter = FreeLetter();
    ASSERT_NE(letter, 0);
    MappedDrive drive(letter, folder.Dir());
    ASSERT_TRUE(drive.ok());
    if (const std::string why = MappedDriveUnusable(letter); !why.empty()) {
        RefreshDriveList(false);
        TItemData data;
        std::wstring display = L"leftover";
        GetFixedDisk(OptionsOf({{L"filter", std::wstring(1, letter).c_str()}}), data, display);
        EXPECT_EQ(display, L"") << "no item shows a drive the list left out";
        GTEST_SKIP() << why;
    }
    RefreshDriveList(false);
    TItemData data;
    std::wstring display;
    GetFixedDisk(OptionsOf({{L"filter", std::wstring(1, letter).c_str()}, {L"display", L"%1:%5"}}), data, display);
    ASSERT_EQ(data.Data.size(), 1u);
    EXPECT_EQ(data.Data[0][0], Variant(std::wstring(1, letter)));
    EXPECT_GT(data.Data[0][4].CurrencyCount(), 0);
    EXPECT_EQ(display, std::wstring(1, letter) + L":" + data.Data[0][4].ToText());
}
