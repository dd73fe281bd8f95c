// The item-line parser: item lines into items and their fields, the carry-over of
// state across a reload, instance limits, and the loading of the "items" section with
// measured line heights.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "OptionSlots.h"
#include "Configuration.h"
#include "Cpu.h"
#include "Errors.h"
#include "FixedDisks.h"
#include "Includes.h"
#include "ItemCharts.h"
#include "InstanceLimits.h"
#include "ItemLines.h"
#include "Log.h"
#include "Templates.h"
#include "TestFiles.h"
#include "Units.h"
#include "Utils.h"
#include "WinHandles.h"

namespace {

// The log in a file of the test's own temporary folder, every level enabled.
class LogFile {
public:
    explicit LogFile(const TempFolder& dir) : path_(dir.File(L"test.log")) {
        DeleteFileW(path_.c_str());
        LogLevels = 0x01;
        ResetLogState();
        SetLogFileName(path_);
    }
    ~LogFile() {
        SetLogFileName(L"");
        LogLevels = 0;
        ResetLogState();
    }
    // "LEVEL text" of every line, the time stamp cut off.
    std::vector<std::wstring> Lines() const {
        const std::string bytes = ReadFileBytes(path_);
        std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
        if (!text.empty()) std::copy(bytes.data(), bytes.data() + text.size() * 2, reinterpret_cast<char*>(text.data()));
        std::vector<std::wstring> lines;
        for (const std::wstring& line : SplitTextLines(text))
            if (line.size() > 22) lines.push_back(line.substr(22));
        return lines;
    }
    int Count(const std::wstring& part) const {
        int n = 0;
        for (const auto& l : Lines())
            if (l.find(part) != std::wstring::npos) ++n;
        return n;
    }

private:
    std::wstring path_;
};

class ItemLines : public ::testing::Test {
protected:
    void SetUp() override {
        InitializeUnits();
        FontFace = L"Arial";
        FontSize = 8;
        LineSpacing = 1;
        UserVariables.Clear();
        ConfigItems.clear();
    }
    void TearDown() override {
        for (auto& item : ConfigItems) item.Scope = nullptr;  // fake charts of the tests
        ReleaseItemScopeHook = nullptr;
        ReleaseItemControlHook = nullptr;
        FreeConfigItems(ConfigItems);
        UserVariables.Clear();
        FinalizeUnits();
    }
    static void Load(const std::vector<std::wstring>& lines) { SetConfig(lines, nullptr); }
    static const TConfigItem& Item(std::size_t i) { return ConfigItems.at(i); }

    TempFolder dir_;
};

TEST_F(ItemLines, CollectorOptionsBeyondTheFreeSlotsAreDropped) {
    std::wstring line = L"TEXT=active:1";
    for (int n = 0; n < 16; ++n) line += L",o" + std::to_wstring(n) + L":x";  // 17 names
    Load({line});
    ASSERT_EQ(ConfigItems.size(), 1u);
    SetConfigItemOption(0, L"item", Variant(std::int32_t{0}));
    SetConfigItemOption(0, L"config", Variant(std::int32_t{1}));
    SetConfigItemOption(0, L"num", Variant(std::int32_t{0}));
    SetConfigItemOption(0, L"mainform", Variant(std::int32_t{2}));
    SetConfigItemOption(0, L"crc32", Variant(3.0));
    EXPECT_EQ(GetItemOption(Item(0).Options, L"mainform", Variant()), Variant(std::int32_t{2}));
    EXPECT_TRUE(GetItemOption(Item(0).Options, L"crc32", Variant()).IsEmpty());
    // Stored again on the next fetch: overwritten in place.
    SetConfigItemOption(0, L"num", Variant(std::int32_t{7}));
    EXPECT_EQ(GetItemOption(Item(0).Options, L"num", Variant()), Variant(std::int32_t{7}));
    EXPECT_THROW(SetConfigItemOption(1, L"num", Variant(std::int32_t{0})), ERangeError);
}

TEST_F(ItemLines, ThresholdOptions) {
    Load({L"TEXT=active:1,threshold:80,tcolor:#FF0000", L"TEXT=active:1,threshold:80,tcolor:#FF0000,threshold1:1 90 00FF00",
          L"TEXT=active:1,threshold:80", L"TEXT=active:1,threshold2:2 80.5 FF,threshold3:3 -5 FF00"});
    ASSERT_EQ(ConfigItems.size(), 4u);
    EXPECT_EQ(Item(0).Thresholds[0].Level, 1);
    EXPECT_EQ(Item(0).Thresholds[0].Value, 800000);
    EXPECT_EQ(Item(0).Thresholds[0].Color, 255);
    EXPECT_EQ(Item(1).Thresholds[0].Value, 900000);
    EXPECT_EQ(Item(1).Thresholds[0].Color, 0x00FF00);
    EXPECT_EQ(Item(1).Thresholds[1].Level, 0);
    EXPECT_EQ(Item(2).Thresholds[0].Level, 0);  // no tcolor: no rule
    EXPECT_EQ(Item(3).Thresholds[0].Level, 2);
    EXPECT_EQ(Item(3).Thresholds[0].Value, 805000);
    EXPECT_EQ(Item(3).Thresholds[1].Level, 3);
    EXPECT_EQ(Item(3).Thresholds[1].Value, -50000);
}

// ---- item lines into items ----

TEST_F(ItemLines, FieldsFromOptions) {
    Load({L"UPTIME=active:1,hidden:1,hide-no-result:true,interval:30,text-offset:4,lid:up1,font-face:Tahoma,"
          L"text:Running,style:BI",
          L"TEXT=active:3,hide-no-result:0", L"TEXT=active:12", L"TEXT=active:-1", L"TEXT=x:1", L"SET=key:v,value:1",
          L"DATETIME=active:1,hide-no-result:1"});
    ASSERT_EQ(ConfigItems.size(), 7u);
    const TConfigItem& up = Item(0);
    EXPECT_EQ(up.Keyword, "UPTIME");
    EXPECT_TRUE(up.Active);
    EXPECT_EQ(up.Page, 1);
    EXPECT_EQ(up.Hidden, 1);
    EXPECT_TRUE(up.HideNoResult);
    EXPECT_EQ(up.Interval, 30);
    EXPECT_EQ(up.TextOffset, 4);
    EXPECT_EQ(up.Lid, L"up1");
    EXPECT_EQ(up.FontFace, L"Tahoma");
    EXPECT_EQ(up.FontSize, 8);
    EXPECT_EQ(up.Text, L"Running");
    EXPECT_EQ(up.Style, 3);
    EXPECT_EQ(up.InstanceNo, 0);
    EXPECT_EQ(up.LineCrc, StringCrc32("UPTIME=active:1,hidden:1,hide-no-result:true,interval:30,text-offset:4,lid:up1,"
                                      "font-face:Tahoma,text:Running,style:BI"));
    EXPECT_EQ(Opt(up.Options, L"hide-no-result"), L"true");
    EXPECT_TRUE(up.GatherProc == ItemTypeTable[9].GatherProc);

    EXPECT_TRUE(Item(1).Active);
    EXPECT_EQ(Item(1).Page, 3);
    EXPECT_FALSE(Item(1).HideNoResult);
    EXPECT_EQ(Item(1).Text, L"Fixed Text");  // the table's label
    EXPECT_EQ(Item(1).Interval, 0);           // the table's interval
    EXPECT_EQ(Item(1).FontFace, L"Arial");    // the global font face
    EXPECT_TRUE(Item(2).Active);
    EXPECT_EQ(Item(2).Page, 0);  // above 9: on, without a page
    EXPECT_FALSE(Item(3).Active);
    EXPECT_EQ(Item(3).Page, 0);
    EXPECT_FALSE(Item(4).Active);  // no "active": off
    EXPECT_TRUE(Item(5).Active);   // SET is collected whatever the page
    EXPECT_EQ(Item(5).Hidden, 1);  // the table hides SET
    EXPECT_EQ(Item(6).Interval, 1);
    EXPECT_TRUE(Item(6).HideNoResult);
}

TEST_F(ItemLines, RunningColour) {
    struct Row {
        std::vector<std::wstring> lines;
        std::vector<std::int32_t> colours;
    };
    const Row rows[] = {
        {{L"TEXT=active:1"}, {16777215}},
        {{L"TEXT=active:1,color:#FF0000", L"TEXT=active:1"}, {255, 255}},
        {{L"TEXT=active:1,color:0000FF", L"TEXT=active:1,color:#00FF00", L"TEXT=active:1"}, {255, 65280, 65280}},
        // A colour that does not read keeps the running colour.
        {{L"TEXT=active:1,color:#FF0000", L"TEXT=active:1,color:red"}, {255, 255}},
        {{L"TEXT=active:1,color:#12345"}, {16777215}},
        {{L"TEXT=active:1,color:"}, {16777215}},
        // Unknown lines and lines that fail still pass the colour on.
        {{L"FOO=color:#FF0000", L"TEXT=active:1"}, {16777215}},
        {{L"TEXT=active:1,color:#FF0000,font-size:x", L"TEXT=active:1"}, {255, 255}},
    };
    for (const Row& r : rows) {
        Load(r.lines);
        ASSERT_EQ(ConfigItems.size(), r.colours.size()) << r.lines.front();
        for (std::size_t i = 0; i < r.colours.size(); ++i) EXPECT_EQ(Item(i).Color, r.colours[i]) << r.lines.front() << " item " << i;
    }
    // Each load starts from white again.
    Load({L"TEXT=active:1,color:#FF0000"});
    Load({L"TEXT=active:1"});
    EXPECT_EQ(Item(0).Color, 16777215);
}

TEST_F(ItemLines, VariablesSetByAnEarlierLineExpandInAColour) {
    Load({L"SET=key:c,value:#00FF00", L"UPTIME=active:1,color:%c%"});
    ASSERT_EQ(ConfigItems.size(), 2u);
    EXPECT_EQ(Item(1).Color, 65280);
    Variant v;
    ASSERT_TRUE(UserVariables.Find(L"c", v));
    EXPECT_EQ(v.ToText(), L"#00FF00");

    UserVariables.Clear();
    Load({L"UPTIME=active:1,color:%c%", L"SET=key:c,value:#00FF00"});
    EXPECT_EQ(Item(0).Color, 16777215);
}

TEST_F(ItemLines, SetLineWithoutKeySetsNoVariable) {
    Load({L"SET=value:5", L"SET=key:,value:6", L"TEXT=active:1,text:%%"});
    EXPECT_EQ(UserVariables.Count(), 0u);
    EXPECT_EQ(ExpandVariables(L"a%%b"), L"a%%b");
}

TEST_F(ItemLines, FontSizes) {
    struct Row {
        std::int32_t global;
        const wchar_t* line;
        std::int32_t size;
    };
    const Row rows[] = {
        {8, L"TEXT=active:1,font-size:150%", 12}, {8, L"TEXT=active:1,font-size:abc%", 8},
        {8, L"TEXT=active:1,font-size:%", 8},     {10, L"TEXT=active:1,font-size:55%", 5},
        {8, L"TEXT=active:1,font-size:14", 14},   {9, L"TEXT=active:1", 9},
        {8, L"TEXT=active:1,font-size: 50%", 4},
    };
    for (const Row& r : rows) {
        FontSize = r.global;
        Load({r.line});
        ASSERT_EQ(ConfigItems.size(), 1u) << r.line;
        EXPECT_EQ(Item(0).FontSize, r.size) << r.line;
    }
}

TEST_F(ItemLines, StyleBitsAddToTheTable) {
    Load({L"TEXT=active:1,style:underline", L"TEXT=active:1,style:BI", L"TEXT=active:1,style:w", L"TEXT=active:1"});
    EXPECT_EQ(Item(0).Style, 6);
    EXPECT_EQ(Item(1).Style, 3);
    EXPECT_EQ(Item(2).Style, 8);
    EXPECT_EQ(Item(3).Style, 0);
}

TEST_F(ItemLines, CountMakesInstancesWithNumberedLabels) {
    struct Row {
        const wchar_t* line;
        std::vector<std::wstring> labels;
    };
    const Row rows[] = {
        {L"CPUUSAGE=active:2,count:4", {L"CPU 0", L"CPU 1", L"CPU 2", L"CPU 3"}},
        {L"CPUUSAGE=active:2,count:0", {L"CPU 0"}},
        {L"CPUUSAGE=active:2,count:-3", {L"CPU 0"}},
        {L"CPUUSAGE=active:2", {L"CPU 0"}},
        // A label of the line's own is numbered as the table's labels are.
        {L"TEXT=active:1,count:2,text:Disk %1 of %1", {L"Disk 0 of 0", L"Disk 1 of 1"}},
        {L"TEXT=active:1,count:2,text:Disk", {L"Disk", L"Disk"}},
    };
    for (const Row& r : rows) {
        Load({r.line});
        ASSERT_EQ(ConfigItems.size(), r.labels.size()) << r.line;
        for (std::size_t i = 0; i < r.labels.size(); ++i) {
            EXPECT_EQ(Item(i).Text, r.labels[i]) << r.line;
            EXPECT_EQ(Item(i).InstanceNo, static_cast<std::int32_t>(i)) << r.line;
            EXPECT_EQ(Item(i).LineCrc, StringCrc32(WideToAnsi(r.line))) << r.line;
        }
    }
}

TEST_F(ItemLines, CpuUsageInstancesLimited) {
    // A machine with two processors, as the CPU provider learned it.
    ProcessorCount = 2;
    Load({L"CPUUSAGE=active:2,count:4"});
    ProcessorCount = -1;
    ASSERT_EQ(ConfigItems.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Item(i).Active, i < 2) << i;
        EXPECT_EQ(Item(i).Page, 2);
    }
    LimitItemInstances("cpuusage", 1);
    EXPECT_TRUE(Item(0).Active);
    EXPECT_FALSE(Item(1).Active);
}

TEST_F(ItemLines, InstanceLimitsApplyWhenAnyLineIsActive) {
    struct Row {
        std::vector<std::wstring> lines;
        std::vector<bool> active;
    };
    const Row rows[] = {
        // An inactive first line does not keep the active one after it from its limit.
        {{L"CPUUSAGE=active:0,count:2", L"CPUUSAGE=active:2,count:4"}, {false, false, true, true, false, false}},
        // Each line counts its own instances from 0.
        {{L"CPUUSAGE=active:2,count:3", L"CPUUSAGE=active:2,count:3"}, {true, true, false, true, true, false}},
        {{L"CPUUSAGE=active:0,count:4"}, {false, false, false, false}},
    };
    ProcessorCount = 2;
    for (const Row& r : rows) {
        Load(r.lines);
        ASSERT_EQ(ConfigItems.size(), r.active.size()) << WideToUtf8(r.lines.back());
        for (std::size_t i = 0; i < r.active.size(); ++i)
            EXPECT_EQ(Item(i).Active, r.active[i]) << WideToUtf8(r.lines.back()) << " item " << i;
    }
    // Each line is limited by what its own filter passes.
    ProcessorCount = 4;
    Load({L"CPUUSAGE=active:0,count:4", L"CPUUSAGE=active:1,count:4,filter:01"});
    const bool expected[] = {false, false, false, false, true, true, false, false};
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(Item(i).Active, expected[i]) << i;
    ProcessorCount = -1;
}

TEST_F(ItemLines, FixedDiskLimitAppliesWhenALaterLineIsActive) {
    // The filter "C" passes one drive: the prefix's system drive.
    ASSERT_EQ(CountFixedDisks(L"C", false), 1);
    Load({L"FIXEDDISK=active:0,count:2", L"FIXEDDISK=active:1,count:3,filter:C"});
    ASSERT_EQ(ConfigItems.size(), 10u);  // each instance followed by its DISKIO companion
    const bool expected[] = {false, false, false, false, true, false, false, false, false, false};
    for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(Item(i).Active, expected[i]) << Item(i).Keyword << " " << i;
}

namespace {
// The drives of a machine where C is fixed and, once it is plugged in, Q is removable.
std::atomic<bool> qPresent{false};
DWORD DrivesPresent() { return (1u << 2) | (qPresent ? 1u << ('Q' - 'A') : 0u); }
UINT TypeOfDrive(const std::string& Root) { return Root[0] == 'Q' ? DRIVE_REMOVABLE : DRIVE_FIXED; }
}  // namespace

// Each load counts the drives present then: a disk that a line's filter names and that was
// absent at the first load gets its line at the next load (a reload, or the one a device
// notice asks for).
TEST_F(ItemLines, FixedDiskLinesFollowTheDrivesAtEveryLoad) {
    DriveQueries = {DrivesPresent, TypeOfDrive};
    qPresent = false;
    Load({L"FIXEDDISK=active:1,filter:Q", L"FIXEDDISK=active:1,filter:C"});
    ASSERT_EQ(ConfigItems.size(), 4u);
    EXPECT_FALSE(Item(0).Active) << "a disk that is not there";
    EXPECT_TRUE(Item(2).Active);
    qPresent = true;
    Load({L"FIXEDDISK=active:1,filter:Q", L"FIXEDDISK=active:1,filter:C"});
    EXPECT_TRUE(Item(0).Active) << "the disk plugged in since the first load";
    EXPECT_EQ(DriveList(), L"CQ");
    qPresent = false;
    Load({L"FIXEDDISK=active:1,filter:Q", L"FIXEDDISK=active:1,filter:C"});
    EXPECT_FALSE(Item(0).Active) << "the disk taken out since";
    DriveQueries = {};
    RefreshDriveList(false);
}

TEST_F(ItemLines, CompanionsFollowEachFixedDisk) {
    Load({L"FIXEDDISK=active:1,count:2", L"DISKIO=active:1,display:%1"});
    ASSERT_EQ(ConfigItems.size(), 4u);
    const char* keywords[] = {"FIXEDDISK", "DISKIO", "FIXEDDISK", "DISKIO"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Item(i).Keyword, keywords[i]);
        EXPECT_EQ(Item(i).InstanceNo, i / 2);
        EXPECT_TRUE(Item(i).Active) << i;
        EXPECT_EQ(Item(i).Page, 1) << i;
    }
    EXPECT_EQ(Item(0).Text, L"Fixed Disk 0");
    EXPECT_EQ(Item(2).Text, L"Fixed Disk 1");
    EXPECT_EQ(Item(1).LineCrc, 0u);
    EXPECT_EQ(Item(3).LineCrc, 0u);
    EXPECT_EQ(Item(1).TextOffset, 10);
    EXPECT_EQ(Opt(Item(3).Options, L"display"), L"%1");

    // Without a DISKIO line the companions stay off and hold no options.
    Load({L"FIXEDDISK=active:1,count:2"});
    ASSERT_EQ(ConfigItems.size(), 4u);
    EXPECT_FALSE(Item(1).Active);
    EXPECT_EQ(Slots(Item(1).Options).size(), 0u);

    // A companion is on only while the first FIXEDDISK is; active above 9 keeps page 0.
    Load({L"FIXEDDISK=active:0", L"DISKIO=active:1"});
    EXPECT_FALSE(Item(1).Active);
    Load({L"FIXEDDISK=active:3", L"DISKIO=active:12"});
    EXPECT_TRUE(Item(1).Active);
    EXPECT_EQ(Item(1).Page, 0);
    Load({L"FIXEDDISK=active:3", L"DISKIO=active:0"});
    EXPECT_FALSE(Item(1).Active);
    EXPECT_EQ(Item(1).Page, 3);

    // A companion line before its parent finds nothing to apply to.
    Load({L"DISKIO=active:1,color:#FF0000", L"FIXEDDISK=active:1"});
    ASSERT_EQ(ConfigItems.size(), 2u);
    EXPECT_FALSE(Item(1).Active);
    EXPECT_EQ(Item(1).Color, 0);
}

TEST_F(ItemLines, CompanionLineTakesColourWithoutVariables) {
    SetVariable(L"c", L"#00FF00");
    Load({L"FIXEDDISK=active:1,color:#FF0000", L"DISKIO=active:1,color:%c%", L"TEXT=active:1"});
    ASSERT_EQ(ConfigItems.size(), 3u);
    EXPECT_EQ(Item(1).Color, 255);  // "%c%" is not expanded, so the running colour applies
    Load({L"FIXEDDISK=active:1", L"DISKIO=active:1,color:00FF00", L"TEXT=active:1"});
    EXPECT_EQ(Item(1).Color, 0x00FF00);
    EXPECT_EQ(Item(2).Color, 0x00FF00);
}

TEST_F(ItemLines, FixedDiskLimitSwitchesOffCompanionsToo) {
    Load({L"FIXEDDISK=active:1,count:3", L"DISKIO=active:1"});
    ASSERT_EQ(ConfigItems.size(), 6u);
    LimitItemInstances("FIXEDDISK", 1);
    const bool expected[] = {true, true, false, false, false, false};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(Item(i).Active, expected[i]) << i;
    LimitItemInstances("FIXEDDISK", 0);
    for (int i = 0; i < 6; ++i) EXPECT_FALSE(Item(i).Active) << i;
}

TEST_F(ItemLines, UnknownAndIgnoredLines) {
    LogFile log(dir_);
    Load({L"FOO=active:1", L"UPTIME =active:1", L" UPTIME=active:1", L"", L"#UPTIME=active:1", L"uptime=active:1"});
    ASSERT_EQ(ConfigItems.size(), 1u);
    EXPECT_EQ(Item(0).Keyword, "UPTIME");
    EXPECT_EQ(log.Count(L"AddConfItem: "), 1);
    EXPECT_EQ(log.Count(L"DEBUG AddConfItem: active:1"), 1);
    EXPECT_EQ(log.Count(L"INFO  Items Loaded: 1"), 1);
}

TEST_F(ItemLines, LineWithoutEqualsIsAKeywordAlone) {
    Load({L"UPTIME", L"TEXT=", L"COMMENT=active:1"});
    ASSERT_EQ(ConfigItems.size(), 3u);
    EXPECT_FALSE(Item(0).Active);
    EXPECT_EQ(Item(0).Text, L"Up Time");
    EXPECT_EQ(Item(2).Keyword, "COMMENT");
}

TEST_F(ItemLines, ValueThatIsNotANumberStopsTheLine) {
    struct Row {
        const wchar_t* line;
        const wchar_t* message;
    };
    const Row rows[] = {
        {L"TEXT=active:1,interval:abc", L"'abc' is not a valid integer value"},
        {L"TEXT=active:1,hidden:1.5", L"'1.5' is not a valid integer value"},
        {L"TEXT=active:1,text-offset:ten", L"'ten' is not a valid integer value"},
        {L"TEXT=active:1,font-size:big", L"'big' is not a valid integer value"},
        {L"TEXT=active:1,hide-no-result:yes", L"'yes' is not a valid boolean value"},
        {L"TEXT=active: one,x:1", L"' one' is not a valid integer value"},
        {L"CONTROL=active:1,type:link", L"'link' is not a valid integer value"},
        // A count that would fill the memory with copies stops after the first instance.
        {L"TEXT=active:1,count:2000000000", L"count:2000000000 is more than 1000 instances"},
    };
    for (const Row& r : rows) {
        LogFile log(dir_);
        Load({r.line, L"UPTIME=active:1"});
        EXPECT_EQ(log.Count(L"ERROR AddConfItem: " + ErrorText + r.message), 1) << r.line;
        EXPECT_EQ(log.Count(L"DEBUG AddConfItem: "), 2) << r.line;
        // The item made before the error stays; the next line is read.
        ASSERT_EQ(ConfigItems.size(), 2u) << r.line;
        EXPECT_EQ(Item(1).Keyword, "UPTIME") << r.line;
        EXPECT_TRUE(Item(1).Active) << r.line;
    }
    // The fields read before the error stay, the later ones keep the table's values.
    Load({L"UPTIME=active:4,hidden:1,interval:x,text:Mine"});
    ASSERT_EQ(ConfigItems.size(), 1u);
    EXPECT_TRUE(Item(0).Active);
    EXPECT_EQ(Item(0).Page, 4);
    EXPECT_EQ(Item(0).Hidden, 1);
    EXPECT_EQ(Item(0).Interval, 1);
    EXPECT_EQ(Item(0).Text, L"Up Time");
    // A count that is not a number stops the line after its first instance.
    Load({L"CPUUSAGE=active:1,count:many"});
    ASSERT_EQ(ConfigItems.size(), 1u);
    EXPECT_FALSE(Item(0).Active);
}

// The main form owns the buttons and links: loaded without one, CONTROL items get no
// control of any type (the controls made through a form are tested with the charts).
TEST_F(ItemLines, ControlItemsGetNoControlWithoutAForm) {
    Load({L"CONTROL=active:1,type:0", L"CONTROL=active:1,type:1", L"CONTROL=active:1,type:5"});
    ASSERT_EQ(ConfigItems.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Item(i).Control, nullptr);
}

TEST_F(ItemLines, GetItemFindsTheFirstOfAKeyword) {
    Load({L"TEXT=active:1,text:a", L"UPTIME=active:1", L"TEXT=active:1,text:b"});
    TConfigItem found;
    EXPECT_TRUE(GetItem("text", found));
    EXPECT_EQ(found.Text, L"a");
    found.Text = L"stale";
    EXPECT_FALSE(GetItem("FIXEDDISK", found));
    EXPECT_TRUE(found.Keyword.empty());
    EXPECT_TRUE(found.Text.empty());
}

// ---- reloads ----

// Gives every item a result and a collection time of its own.
void Collect(std::uint32_t base) {
    for (std::size_t i = 0; i < ConfigItems.size(); ++i) {
        TConfigItem& item = ConfigItems[i];
        item.LastTick = base + static_cast<std::uint32_t>(i);
        item.ItemData.TimeCollected = base + static_cast<double>(i);
        item.ItemData.Lines = {L"result " + std::to_wstring(base + i)};
        item.Collected = true;
        item.Hidden = item.Hidden == 0 ? 2 : item.Hidden;
        item.LineColors = {{0, 255}};
    }
}

std::wstring Result(const TConfigItem& item) { return item.ItemData.Lines.empty() ? L"" : item.ItemData.Lines.front(); }

TEST_F(ItemLines, UnchangedLinesKeepTheirStatePerInstance) {
    Load({L"CPUUSAGE=active:1,count:3", L"UPTIME=active:1", L"FIXEDDISK=active:1,count:2", L"DISKIO=active:1"});
    ASSERT_EQ(ConfigItems.size(), 8u);
    Collect(1000);
    // Same lines, the DISKIO line changed and the UPTIME line moved to the end.
    Load({L"CPUUSAGE=active:1,count:3", L"FIXEDDISK=active:1,count:2", L"DISKIO=active:1,interval:5", L"UPTIME=active:1"});
    ASSERT_EQ(ConfigItems.size(), 8u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Item(i).LastTick, 1000u + i) << i;
        EXPECT_EQ(Result(Item(i)), L"result " + std::to_wstring(1000 + i)) << i;
    }
    // FIXEDDISK 0, DISKIO 0, FIXEDDISK 1, DISKIO 1 were items 4 to 7.
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Item(3 + i).LastTick, 1004u + i) << i;
        EXPECT_EQ(Result(Item(3 + i)), L"result " + std::to_wstring(1004 + i)) << i;
    }
    EXPECT_EQ(Item(4).Interval, 5);
    EXPECT_EQ(Item(7).Keyword, "UPTIME");
    EXPECT_EQ(Item(7).LastTick, 1003u);
    // What the collection and the painting hold afresh is not carried.
    for (const TConfigItem& item : ConfigItems) {
        EXPECT_FALSE(item.Collected);
        EXPECT_TRUE(item.LineColors.empty());
        EXPECT_NE(item.Hidden, 2);
    }
}

TEST_F(ItemLines, ChangedLinesStartAfresh) {
    Load({L"UPTIME=active:1", L"TEXT=active:1,text:x", L"CPUUSAGE=active:1,count:2"});
    Collect(500);
    Load({L"uptime=active:1", L"TEXT=active:1,text:y", L"CPUUSAGE=active:1,count:3"});
    ASSERT_EQ(ConfigItems.size(), 5u);
    for (const TConfigItem& item : ConfigItems) {
        EXPECT_EQ(item.LastTick, 0u) << item.Keyword;
        EXPECT_TRUE(item.ItemData.Lines.empty()) << item.Keyword;
        EXPECT_EQ(item.ItemData.TimeCollected, 0) << item.Keyword;
    }
    EXPECT_NE(StringCrc32("uptime=active:1"), StringCrc32("UPTIME=active:1"));
}

TEST_F(ItemLines, IdenticalLinesKeepOneStateEach) {
    Load({L"TEXT=active:1", L"TEXT=active:1"});
    Collect(10);
    Load({L"TEXT=active:1", L"TEXT=active:1"});
    EXPECT_EQ(Result(Item(0)), L"result 10");
    EXPECT_EQ(Result(Item(1)), L"result 11");
}

// Fake chart and control objects: their addresses stand for the widgets.
char gFakeWidgets[8];
std::map<const void*, int> gReleased;
TVrScope* FakeScope(int n) { return reinterpret_cast<TVrScope*>(&gFakeWidgets[n]); }
TItemControl* FakeControl(int n) { return reinterpret_cast<TItemControl*>(&gFakeWidgets[n]); }

TEST_F(ItemLines, ReloadGivesEveryChartAndControlOneOwner) {
    gReleased.clear();
    ReleaseItemScopeHook = [](TVrScope* s) { ++gReleased[s]; };
    ReleaseItemControlHook = [](TItemControl* c) { ++gReleased[c]; };
    Load({L"UPTIME=active:1", L"TEXT=active:1,text:x", L"CONTROL=active:1"});
    ConfigItems[0].Scope = FakeScope(0);
    ConfigItems[1].Scope = FakeScope(1);
    ConfigItems[2].Control = FakeControl(2);

    Load({L"TEXT=active:1,text:changed", L"UPTIME=active:1", L"CONTROL=active:1"});
    EXPECT_EQ(Item(1).Scope, FakeScope(0));  // moved to the unchanged line's new item
    EXPECT_EQ(Item(0).Scope, nullptr);
    EXPECT_EQ(gReleased[FakeScope(0)], 0);
    EXPECT_EQ(gReleased[FakeScope(1)], 1);    // its line changed: released once
    EXPECT_EQ(gReleased[FakeControl(2)], 1);  // controls are made afresh by every load
    EXPECT_EQ(Item(2).Control, nullptr);

    // The carried chart moves on again, and goes once the line is gone.
    Load({L"UPTIME=active:1"});
    EXPECT_EQ(Item(0).Scope, FakeScope(0));
    Load({L"COMMENT=active:1"});
    EXPECT_EQ(gReleased[FakeScope(0)], 1);
    EXPECT_EQ(gReleased.size(), 3u);
}

TEST_F(ItemLines, CarryOverPrefersTheOldChartOfTheSameSettings) {
    gReleased.clear();
    ReleaseItemScopeHook = [](TVrScope* s) { ++gReleased[s]; };
    TConfigItem base;
    base.Keyword = "UPTIME";
    base.LineCrc = 42;
    base.ChartType = 2;
    base.ChartScale = 1;
    base.ChartMax = 1000000;
    TConfigArray oldItems{base, base};
    oldItems[0].Scope = FakeScope(0);
    oldItems[1].InstanceNo = 1;
    oldItems[1].Scope = FakeScope(1);
    TConfigArray newItems{base, base};
    newItems[0].Scope = FakeScope(2);  // made by its own chart option
    newItems[1].InstanceNo = 1;
    newItems[1].ChartMax = 500000;  // asks for another chart
    newItems[1].Scope = FakeScope(3);

    CarryOverItemState(oldItems, newItems);
    EXPECT_EQ(newItems[0].Scope, FakeScope(0));
    EXPECT_EQ(oldItems[0].Scope, nullptr);
    EXPECT_EQ(gReleased[FakeScope(2)], 1);
    EXPECT_EQ(newItems[1].Scope, FakeScope(3));
    EXPECT_EQ(newItems[1].ChartMax, 500000);
    EXPECT_EQ(oldItems[1].Scope, FakeScope(1));  // left for the caller to release
    EXPECT_EQ(gReleased[FakeScope(1)], 0);
}

// ---- loading the items section ----

inline void DcRelease(HDC dc) { DeleteDC(dc); }
inline void FontRelease(HFONT f) { DeleteObject(f); }

// The test's own measurement of a text line in a font, as DrawTextW reports it.
int MeasuredHeight(const std::wstring& face, int points) {
    UniqueResource<HDC, DcRelease> dc(CreateCompatibleDC(nullptr));
    EXPECT_TRUE(dc.valid());
    UniqueResource<HFONT, FontRelease> font(CreateFontW(-MulDiv(points, GetDeviceCaps(dc.get(), LOGPIXELSY), 72), 0, 0,
                                                        0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, face.c_str()));
    EXPECT_TRUE(font.valid());
    HGDIOBJ old = SelectObject(dc.get(), font.get());
    RECT r{};
    DrawTextW(dc.get(), L"ABCDEFGHIJKLMNOPQRSTUVWXYZ", -1, &r, DT_CALCRECT | DT_NOPREFIX);
    SelectObject(dc.get(), old);
    return r.bottom - r.top;
}

TEST_F(ItemLines, LoadItemsMeasuresEveryLine) {
    LogFile log(dir_);
    MainIniPath = dir_.File(L"vistrel.ini");
    WriteFileBytes(MainIniPath, "[options]\r\nfont-size=8\r\n[items]\r\n# a comment\r\n\r\nUPTIME=active:1\r\n"
                                "TEXT=active:1,font-size:20,font-face:Courier New\r\nTEXT=active:1,font-size:200%\r\n");
    LineSpacing = 3;
    LoadItems(nullptr);
    ASSERT_EQ(ConfigItems.size(), 3u);
    const int small = MeasuredHeight(L"Arial", 8);
    EXPECT_GT(small, 0);
    EXPECT_EQ(Item(0).LineHeight, small + 3);
    EXPECT_EQ(Item(1).LineHeight, MeasuredHeight(L"Courier New", 20) + 3);
    EXPECT_EQ(Item(2).LineHeight, MeasuredHeight(L"Arial", 16) + 3);
    EXPECT_GT(Item(2).LineHeight, Item(0).LineHeight);
    EXPECT_EQ(log.Count(L"INFO  Items Loaded: 3"), 1);
}

TEST_F(ItemLines, IniWithoutItemsGivesTheMeasuredFallbackItem) {
    LogFile log(dir_);
    MainIniPath = dir_.File(L"vistrel.ini");
    WriteFileBytes(MainIniPath, "[options]\r\nfont-size=8\r\n[items]\r\n# nothing\r\n");
    Load({L"UPTIME=active:1"});
    LoadItems(nullptr);
    EXPECT_EQ(log.Count(L"ERROR LoadItems: Error reading items"), 1);
    ASSERT_EQ(ConfigItems.size(), 1u);  // left as it was
    EXPECT_EQ(Item(0).Keyword, "UPTIME");

    ConfigItems.clear();
    MainIniPath = dir_.File(L"missing.ini");
    LoadItems(nullptr);
    EXPECT_EQ(log.Count(L"ERROR LoadItems: Error reading items"), 2);
    EXPECT_TRUE(ConfigItems.empty());

    FontSize = 12;
    LineSpacing = 2;
    LoadFallbackItem();
    ASSERT_EQ(ConfigItems.size(), 1u);
    EXPECT_EQ(Item(0).Keyword, "COMMENT");
    EXPECT_TRUE(Item(0).Active);
    EXPECT_EQ(Item(0).Page, 1);
    EXPECT_EQ(Item(0).Text, L"Error loading config items");
    EXPECT_EQ(Item(0).Color, 16777215);
    EXPECT_EQ(Item(0).LineHeight, MeasuredHeight(L"Arial", 12) + 2);
    EXPECT_EQ(log.Count(L"ERROR CheckIniFile: Error loading config items"), 1);
    EXPECT_EQ(log.Count(L"INFO  Items Loaded: 1"), 2);
}

TEST_F(ItemLines, SampleConfigurationLoadsWithoutErrors) {
    LogFile log(dir_);
    MainIniPath = AnsiToWide(VISTREL_TEST_SOURCE_DIR) + L"/vistrel-sample.ini";
    // Known processors: where the platform cannot tell them, that is logged as an error.
    ProcessorCount = 8;
    LoadItems(nullptr);
    ProcessorCount = -1;
    EXPECT_EQ(log.Count(L"ERROR "), 0);
    ASSERT_GE(ConfigItems.size(), 10u);
    EXPECT_EQ(Item(0).Keyword, "COMMENT");
    EXPECT_EQ(Item(0).Text, L"System overview");
    EXPECT_EQ(Item(0).Color, 0x40D0FF);
    EXPECT_EQ(Item(0).FontSize, 12);
    EXPECT_EQ(Item(0).Style, 1);
    for (const TConfigItem& item : ConfigItems) EXPECT_GT(item.LineHeight, LineSpacing) << item.Keyword;
}

}  // namespace

TEST_F(ItemLines, ABadIncludeAllIsLoggedReadAsFalseAndStopsNoLimit) {
    LogFile log(dir_);
    ProcessorCount = 2;
    // The filter "C" passes one drive whether or not A and B are considered.
    ASSERT_EQ(CountFixedDisks(L"C", false), 1);
    Load({L"FIXEDDISK=active:0,include-all:yes", L"FIXEDDISK=active:1,count:3,filter:C,include-all:yes",
          L"CPUUSAGE=active:1,count:4"});
    ProcessorCount = -1;
    ASSERT_EQ(ConfigItems.size(), 2u + 6u + 4u);  // each disk instance followed by its DISKIO companion
    const bool expected[] = {false, false, true, false, false, false, false, false, true, true, false, false};
    for (std::size_t i = 0; i < ConfigItems.size(); ++i)
        EXPECT_EQ(Item(i).Active, expected[i]) << Item(i).Keyword << " " << i;
    // One line per bad line, naming it; the load ends as usual.
    EXPECT_EQ(log.Count(L"include-all 'yes' is not a boolean value; read as false"), 2);
    EXPECT_EQ(log.Count(L"ERROR SetConfig: [Error] FIXEDDISK item 3 (Fixed Disk 0): include-all 'yes'"), 1);
    EXPECT_EQ(log.Count(L"INFO  Items Loaded: 12"), 1);
}
