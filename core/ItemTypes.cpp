#include "ItemTypes.h"

#include <cstring>

namespace {

struct RowSpec {
    const char* Keyword;
    std::int32_t Interval;
    const wchar_t* Label;
};

// Keyword, default interval and default label of every row, in table order.
constexpr RowSpec kRows[kItemTypeCount] = {
    {"COMMENT", 0, L"Comment"},
    {"FILE", 0, L"File"},
    {"REGISTRY", 0, L"Registry"},
    {"EVENTLOG", 0, L"Event Log"},
    {"DATETIME", 1, L"Date/Time"},
    {"TIMEZONE", 0, L"Time Zone"},
    {"HOST", 0, L"Host Name"},
    {"USER", 0, L"User"},
    {"BOOTTIME", 0, L"Boot Time"},
    {"UPTIME", 1, L"Up Time"},
    {"LOADTIME", 0, L"Load Time"},
    {"OEMINFO", 0, L"OEM Info"},
    {"CPUTYPE", 0, L"Cpu Type"},
    {"CPUCOUNT", 0, L"Cpu Count"},
    {"CORETEMP", 10, L"Core Temp"},
    {"DISPLAYCONTROLLER", 0, L"Display Controller"},
    {"CPU", 2, L"Cpu"},
    {"CPUUSAGE", 2, L"CPU %1"},
    {"PROCESSCOUNT", 5, L"Process Count"},
    {"TOPPROCESSCPU", 2, L"Top Process Cpu"},
    {"TOPPROCESSMEM", 2, L"Top Process Mem"},
    {"TOPPROCESSPF", 2, L"Top Process PF"},
    {"PROCESSMEM", 5, L"Process Memory"},
    {"OSBUILD", 0, L"OS Build"},
    {"SERVICEPACK", 0, L"Service Pack"},
    {"IEVERSION", 0, L"IE Version"},
    {"DIRECTX", 0, L"DirectX Version"},
    {"PHYSICALRAM", 5, L"Physical Ram"},
    {"VIRTUALMEMORY", 5, L"Virtual Memory"},
    {"PAGEFILE", 5, L"Page File"},
    {"PAGEFAULTS", 2, L"Page Faults/sec"},
    {"NETWORKINTERFACES", 30, L"Network Interfaces"},
    {"ALLIPADDRESS", 30, L"IP Address"},
    {"DNSSERVER", 30, L"DNS Server"},
    {"PROXY", 60, L"Proxy"},
    {"DOMAIN", 30, L"Domain Name"},
    {"DOMAINCONTROLLER", 30, L"Domain Controller"},
    {"NETCONNECTIONS", 5, L"Net Connections"},
    {"NETPACKETS", 2, L"Net Packets"},
    {"NETPACKETSRATE", 2, L"Net Packets/sec"},
    {"HTTPGET", 60, L"Http Get"},
    {"LOGICALDRIVES", 10, L"Logical Drives"},
    {"FIXEDDISK", 10, L"Fixed Disk %1"},
    {"DISKIO", 10, L"Disk IO"},
    {"TSSESSIONS", 30, L"Terminal Sessions"},
    {"UNREADMAIL", 0, L"Unread Mail"},
    {"ENVVAR", 0, L"Environment"},
    {"FILEEXIST", 0, L"File Exists"},
    {"TEXT", 0, L"Fixed Text"},
    {"WMI", 0, L"Custom Wmi Query"},
    {"FILECONTENTS1", 0, L"File Contents 1"},
    {"FILECONTENTS2", 0, L"File Contents 2"},
    {"DATADUMP", 0, L"Data Dump"},
    {"REG", 0, L"Registry Value"},
    {"REGEXIST", 0, L"Registry Value Exist"},
    {"FILE2TEXT", 0, L"File To Text"},
    {"SESSIONID", 0, L"Console Session Id"},
    {"RDSSESSIONID", 0, L"RDS Session Id"},
    {"SET", 1, L"Set Variable"},
    {"IF", 1, L"Compare Values"},
    {"CONTROL", 0, L"Control"},
    {"SNAPSHOT", 60, L"Snapshot"},
    {"CMD", 0, L"Command"},
};

std::array<TConfigItem, kItemTypeCount> BuildTable() {
    std::array<TConfigItem, kItemTypeCount> table;
    for (int i = 0; i < kItemTypeCount; ++i) {
        TConfigItem& row = table[i];
        row.Keyword = kRows[i].Keyword;
        row.Interval = kRows[i].Interval;
        row.Text = kRows[i].Label;
        const std::string& k = row.Keyword;
        if (k == "DISKIO") {
            row.ParentKeyword = "FIXEDDISK";
            row.TextOffset = 10;
        }
        if (k == "SET") row.AlwaysCollect = true;
        if (k == "SET" || k == "IF" || k == "SNAPSHOT") row.Hidden = 1;
    }
    return table;
}

std::string AsciiLower(std::string s) {
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

}  // namespace

std::array<TConfigItem, kItemTypeCount> ItemTypeTable = BuildTable();

void FindItemDefault(const std::string& Keyword, TConfigItem& Item) {
    const std::string key = AsciiLower(Keyword.substr(0, 255));
    for (const TConfigItem& row : ItemTypeTable) {
        if (AsciiLower(row.Keyword) == key) {
            Item = row;
            return;
        }
    }
}

void RegisterGatherProc(const char* Keyword, TGatherProc Proc) {
    for (TConfigItem& row : ItemTypeTable)
        if (row.Keyword == Keyword) row.GatherProc = Proc;
}

void RegisterGatherTurn(const char* Keyword, TGatherTurnProc Proc) {
    for (TConfigItem& row : ItemTypeTable)
        if (row.Keyword == Keyword) row.TurnOf = Proc;
}

void SetDefaultItemLabels() {
    for (int i = 0; i < kItemTypeCount; ++i) ItemTypeTable[i].Text = kRows[i].Label;
}
