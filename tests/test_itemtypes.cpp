#include <gtest/gtest.h>

#include <set>

#include "Configuration.h"
#include "Includes.h"
#include "ItemTypes.h"

TEST(KeywordTable, LookupIgnoresCaseButNotBlanks) {
    const struct { const char* key; const char* found; } rows[] = {
        {"UPTIME", "UPTIME"}, {"uptime", "UPTIME"}, {"UpTime", "UPTIME"}, {"cmd", "CMD"},
        {"UPTIME ", ""}, {" UPTIME", ""}, {"", ""}, {"NOSUCH", ""}, {"FILE", "FILE"},
        {"file2text", "FILE2TEXT"},
    };
    for (auto r : rows) {
        TConfigItem item;
        FindItemDefault(r.key, item);
        EXPECT_EQ(item.Keyword, r.found) << "[" << r.key << "]";
    }
}

TEST(KeywordTable, RowsAsDefined) {
    InitializeConfiguration();
    ASSERT_EQ(ItemTypeTable.size(), 63u);
    EXPECT_EQ(ItemTypeTable.front().Keyword, "COMMENT");
    EXPECT_EQ(ItemTypeTable.back().Keyword, "CMD");
    std::set<std::string> names;
    for (const auto& row : ItemTypeTable) {
        EXPECT_TRUE(names.insert(row.Keyword).second) << row.Keyword;
        EXPECT_LE(row.Keyword.size(), 20u);
        EXPECT_FALSE(row.Text.empty()) << row.Keyword;
        EXPECT_EQ(row.ChartMax, 0);
        EXPECT_EQ(row.ChartValue, 0);
        // Only DISKIO accompanies another item and has a text offset; only SET is
        // collected whatever the page.
        EXPECT_EQ(!row.ParentKeyword.empty(), row.Keyword == "DISKIO");
        EXPECT_EQ(row.TextOffset != 0, row.Keyword == "DISKIO");
        EXPECT_EQ(row.AlwaysCollect, row.Keyword == "SET");
        EXPECT_EQ(row.Hidden == 1, row.Keyword == "SET" || row.Keyword == "IF" || row.Keyword == "SNAPSHOT");
    }
    const struct { const char* key; int interval; const wchar_t* label; } samples[] = {
        {"DATETIME", 1, L"Date/Time"}, {"CORETEMP", 10, L"Core Temp"}, {"CPUUSAGE", 2, L"CPU %1"},
        {"PROXY", 60, L"Proxy"}, {"FIXEDDISK", 10, L"Fixed Disk %1"}, {"SNAPSHOT", 60, L"Snapshot"},
        {"RDSSESSIONID", 0, L"RDS Session Id"}, {"DISKIO", 10, L"Disk IO"},
    };
    for (auto s : samples) {
        TConfigItem item;
        FindItemDefault(s.key, item);
        EXPECT_EQ(item.Interval, s.interval) << s.key;
        EXPECT_EQ(item.Text, s.label) << s.key;
    }
    TConfigItem diskio;
    FindItemDefault("DISKIO", diskio);
    EXPECT_EQ(diskio.ParentKeyword, "FIXEDDISK");
    EXPECT_EQ(diskio.TextOffset, 10);
}

TEST(KeywordTable, MissWritesNothing) {
    TConfigItem item;
    item.Text = L"kept";
    item.Interval = 77;
    FindItemDefault("NOTAKEYWORD", item);
    EXPECT_EQ(item.Text, L"kept");
    EXPECT_EQ(item.Interval, 77);
    EXPECT_TRUE(item.Keyword.empty());
}

TEST(OptionGlobals, ResetOptionsRestoresOnlyItsSubset) {
    Logo = L"logo.png";
    LogoWidth = 5;
    ContextMenu = false;
    Transparency = 40;
    InitialPage = 3;
    LineSpacing = 7;
    FontSize = 12;       // not part of the reset
    FormColor = 0x123;   // not part of the reset
    ResetOptions();
    EXPECT_TRUE(Logo.empty());
    EXPECT_EQ(LogoWidth, 0);
    EXPECT_TRUE(ContextMenu);
    EXPECT_EQ(Transparency, 100);
    EXPECT_EQ(InitialPage, 1);
    EXPECT_EQ(LineSpacing, 1);
    EXPECT_EQ(FontSize, 12);
    EXPECT_EQ(FormColor, 0x123);
}

TEST(OptionGlobals, DefaultTexts) {
    InitDefaultTexts();
    EXPECT_EQ(ErrorText, L"[Error]");
    EXPECT_EQ(NoResultsText, L"<n/a>");
    EXPECT_EQ(NullResultText, L"<null>");
    EXPECT_EQ(PageNames[1], L"Main Page");
    EXPECT_EQ(FontFace, L"Arial");
}
