#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <lm.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "Errors.h"
#include "Includes.h"
#include "Network.h"
#include "SystemInfo.h"
#include "Tools.h"
#include "Utils.h"
#include "test_providers_support.h"

namespace {

// ---- fixtures: adapter records built in memory ------------------------------------------

// Socket addresses that stay where they are while the fixture lives.
class AddressStore {
public:
    SOCKET_ADDRESS Make(const std::wstring& text) {
        sockaddr_storage& s = store_.emplace_back();
        std::memset(&s, 0, sizeof s);
        SOCKET_ADDRESS a{};
        if (text.find(L':') != std::wstring::npos) {
            auto* v6 = reinterpret_cast<sockaddr_in6*>(&s);
            v6->sin6_family = AF_INET6;
            EXPECT_EQ(InetPtonW(AF_INET6, text.c_str(), &v6->sin6_addr), 1) << text;
            a.iSockaddrLength = sizeof(sockaddr_in6);
        } else {
            auto* v4 = reinterpret_cast<sockaddr_in*>(&s);
            v4->sin_family = AF_INET;
            EXPECT_EQ(InetPtonW(AF_INET, text.c_str(), &v4->sin_addr), 1) << text;
            a.iSockaddrLength = sizeof(sockaddr_in);
        }
        a.lpSockaddr = reinterpret_cast<sockaddr*>(&s);
        return a;
    }

private:
    std::deque<sockaddr_storage> store_;
};

struct UnicastSpec {
    std::wstring address;
    std::uint8_t prefix = 0;
    ULONG lifetime = 0xFFFFFFFF;
};

// One adapter record with its chains; Link() ties the records of a list together.
struct AdapterSpec {
    std::string name = "{ADAPTER}";
    std::wstring friendly = L"Ethernet";
    std::wstring description = L"Network card";
    std::vector<BYTE> mac;
    ULONG mtu = 1500;
    DWORD ifType = IF_TYPE_ETHERNET_CSMACD;
    IF_OPER_STATUS operStatus = IfOperStatusUp;
    std::vector<UnicastSpec> unicast;
    std::vector<std::wstring> dns, gateways, wins;
    std::wstring dhcp4, dhcp6;
    ULONG64 transmit = 0, receive = 0;
};

class AdapterList {
public:
    AdapterList& Add(const AdapterSpec& spec) {
        Adapter& a = adapters_.emplace_back();
        a.spec = spec;
        a.record.Length = sizeof(IP_ADAPTER_ADDRESSES);
        a.record.AdapterName = a.spec.name.data();
        a.record.FriendlyName = a.spec.friendly.data();
        a.record.Description = a.spec.description.data();
        a.record.PhysicalAddressLength = static_cast<ULONG>(spec.mac.size());
        for (std::size_t i = 0; i < spec.mac.size() && i < MAX_ADAPTER_ADDRESS_LENGTH; ++i)
            a.record.PhysicalAddress[i] = spec.mac[i];
        a.record.Mtu = spec.mtu;
        a.record.IfType = spec.ifType;
        a.record.OperStatus = spec.operStatus;
        a.record.TransmitLinkSpeed = spec.transmit;
        a.record.ReceiveLinkSpeed = spec.receive;
        for (const UnicastSpec& u : spec.unicast) {
            IP_ADAPTER_UNICAST_ADDRESS& r = a.unicast.emplace_back();
            r = IP_ADAPTER_UNICAST_ADDRESS{};
            r.Length = sizeof r;
            if (!u.address.empty()) r.Address = addresses_.Make(u.address);
            r.OnLinkPrefixLength = u.prefix;
            r.ValidLifetime = u.lifetime;
        }
        for (const std::wstring& d : spec.dns) a.dns.emplace_back().Address = addresses_.Make(d);
        for (const std::wstring& g : spec.gateways) a.gateways.emplace_back().Address = addresses_.Make(g);
        for (const std::wstring& w : spec.wins) a.wins.emplace_back().Address = addresses_.Make(w);
        if (!spec.dhcp4.empty()) a.record.Dhcpv4Server = addresses_.Make(spec.dhcp4);
        if (!spec.dhcp6.empty()) a.record.Dhcpv6Server = addresses_.Make(spec.dhcp6);
        Link();
        return *this;
    }
    const IP_ADAPTER_ADDRESSES* First() const { return adapters_.empty() ? nullptr : &adapters_.front().record; }
    IP_ADAPTER_ADDRESSES& Record(std::size_t i) { return adapters_.at(i).record; }

private:
    struct Adapter {
        AdapterSpec spec;
        IP_ADAPTER_ADDRESSES record{};
        std::deque<IP_ADAPTER_UNICAST_ADDRESS> unicast;
        std::deque<IP_ADAPTER_DNS_SERVER_ADDRESS> dns;
        std::deque<IP_ADAPTER_GATEWAY_ADDRESS> gateways;
        std::deque<IP_ADAPTER_WINS_SERVER_ADDRESS> wins;
    };
    template <typename R>
    static R* Chain(std::deque<R>& records) {
        for (std::size_t i = 0; i < records.size(); ++i) records[i].Next = i + 1 < records.size() ? &records[i + 1] : nullptr;
        return records.empty() ? nullptr : &records.front();
    }
    void Link() {
        for (std::size_t i = 0; i < adapters_.size(); ++i) {
            Adapter& a = adapters_[i];
            a.record.Next = i + 1 < adapters_.size() ? &adapters_[i + 1].record : nullptr;
            a.record.FirstUnicastAddress = Chain(a.unicast);
            a.record.FirstDnsServerAddress = Chain(a.dns);
            a.record.FirstGatewayAddress = Chain(a.gateways);
            a.record.FirstWinsServerAddress = Chain(a.wins);
        }
    }
    std::deque<Adapter> adapters_;
    AddressStore addresses_;
};

TInterfaceContext Context(DWORD major = 6) {
    TInterfaceContext c;
    c.MajorVersion = major;
    c.Now = EncodeDateTime(2024, 3, 1, 12, 0, 0, 0);
    c.NoResults = L"<none>";
    c.Ntop = &InetNtopW;
    return c;
}

TInterfaceOptions InterfaceOptions(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> pairs) {
    return ReadInterfaceOptions(OptionsOf(pairs));
}

std::wstring Text(const Variant& v) { return v.IsEmpty() ? L"<empty>" : v.ToText(); }

// ---- the platform, as the test reads it itself ------------------------------------------

std::vector<std::uint64_t> OwnAdapterAddresses() {
    ULONG size = 0;
    GetAdaptersAddresses(AF_UNSPEC, 0xD0, nullptr, nullptr, &size);
    std::vector<std::uint64_t> buffer(size / 8 + 1);
    size = static_cast<ULONG>(buffer.size() * 8);
    EXPECT_EQ(GetAdaptersAddresses(AF_UNSPEC, 0xD0, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()),
                                   &size),
              ERROR_SUCCESS);
    return buffer;
}

std::vector<std::uint64_t> OwnNetworkParams() {
    ULONG size = 0;
    GetNetworkParams(nullptr, &size);
    std::vector<std::uint64_t> buffer(size / 8 + 1);
    size = static_cast<ULONG>(buffer.size() * 8);
    EXPECT_EQ(GetNetworkParams(reinterpret_cast<FIXED_INFO*>(buffer.data()), &size), ERROR_SUCCESS);
    return buffer;
}

using providertest::Collected;
using providertest::Gather;

class NetworkApis : public ::testing::Test {
protected:
    void SetUp() override {
        LoadOptionalApis();
        InitDefaultTexts();
    }
    void TearDown() override { LoadOptionalApis(); }
    LogCapture log_;
};

}  // namespace

// ---- text routines ----------------------------------------------------------------------------

TEST(NetworkText, MatchFilter) {
    struct Row {
        const char* text;
        const char* filter;
        int expected;
    } rows[] = {
        {"anything", "", 1},
        {"Loopback Pseudo-Interface 1", "-Loopback", -1},
        {"LOOPBACK", "-loopback", -1},
        {"Ethernet", "-Loopback", 1},
        {"Ethernet 2", "+Ethernet", 1},
        {"Wi-Fi", "+Ethernet", -1},
        {"Ethernet 2", "+Ethernet -Virtual", 1},         // the first word is "Ethernet " with its blank
        {"Ethernet", "+Ethernet -Virtual", 0},           // neither word: neutral
        {"Virtual Ethernet 2", "+Ethernet -Virtual", -1}, // the last matching token wins
        {"Ethernet Virtual", "-Virtual +Ethernet", 1},
        {"eth0", "+eth -wifi", 0},                       // "eth " needs its blank
        {"my wifi", "+eth -wifi", -1},
        {"x", "+", -1},                                  // an empty word never matches
        {"x", "-", 1},
        {"abc", "abc", 1},                               // a word without sign changes nothing
        {"a-b", "+a-b", -1},                             // "-b" is a token of its own, and matches last
        {"caf\xC9", "+caf\xE9", -1},                     // only ASCII letters fold
    };
    for (const Row& r : rows) EXPECT_EQ(MatchFilter(r.text, r.filter), r.expected) << r.text << " / " << r.filter;
}

TEST(NetworkText, MasksAndPrefixes) {
    struct MaskRow {
        const char* mask;
        int prefix;
    } masks[] = {
        {"255.255.255.0", 24}, {"255.255.255.255", 32}, {"0.0.0.0", 0}, {"255.0.255.0", 16},
        {"255.255.x.0", 16},   {"", 0},                 {"255", 8},     {"256.1.3", 3},
        {"-1.0.0.0", 8},       {"255.255.255.128", 25}, {"99999999999.255", 8},
    };
    for (const MaskRow& r : masks) EXPECT_EQ(MaskToPrefixLength(r.mask), r.prefix) << r.mask;

    struct PrefixRow {
        long long length;
        const char* mask;
    } prefixes[] = {
        {24, "255.255.255.0"}, {1, "128.0.0.0"}, {31, "255.255.255.254"}, {25, "255.255.255.128"},
        {8, "255.0.0.0"},      {0, ""},          {32, ""},                 {33, ""},
        {-1, ""},
    };
    for (const PrefixRow& r : prefixes) EXPECT_EQ(PrefixLengthToMask(r.length), r.mask) << r.length;
}

TEST(NetworkText, TrimsAndSeconds) {
    struct Row {
        std::wstring text, trimmed, listTrimmed;
    } rows[] = {
        {L"  a b  ", L"a b", L"a b"},
        {L"\ta\t", L"\ta\t", L"\ta\t"},
        {L"   ", L"", L""},
        {L"", L"", L""},
        {L"1|2|", L"1|2|", L"1|2"},
        {L"1,|,| ", L"1,|,|", L"1"},
        {L"1| |", L"1| |", L"1| "},  // blanks between separators stay
    };
    for (const Row& r : rows) {
        EXPECT_EQ(TrimSpaces(r.text), r.trimmed) << r.text;
        EXPECT_EQ(TrimListSeparators(r.text), r.listTrimmed) << r.text;
    }
    const double day = EncodeDateTime(2024, 3, 1, 0, 0, 0, 0);
    EXPECT_DOUBLE_EQ(AddSecondsToDateTime(86400, day), EncodeDateTime(2024, 3, 2, 0, 0, 0, 0));
    EXPECT_NEAR(AddSecondsToDateTime(3661, day), EncodeDateTime(2024, 3, 1, 1, 1, 1, 0), 1e-9);
    EXPECT_NEAR(AddSecondsToDateTime(0xFFFFFFFE, day), day + 4294967294.0 / 86400, 1e-6);
}

TEST(NetworkText, SocketAddressToText) {
    AddressStore store;
    const SOCKET_ADDRESS v4 = store.Make(L"192.168.1.20");
    const SOCKET_ADDRESS v6 = store.Make(L"fe80::1:2");
    SOCKET_ADDRESS shortV6 = v6;
    shortV6.iSockaddrLength = sizeof(sockaddr_in);
    SOCKET_ADDRESS other = store.Make(L"10.0.0.1");
    other.lpSockaddr->sa_family = AF_IPX;

    EXPECT_EQ(SocketAddressToText(v4, &InetNtopW), "192.168.1.20");
    EXPECT_EQ(SocketAddressToText(v4, nullptr), "192.168.1.20");  // inet_ntoa
    EXPECT_EQ(SocketAddressToText(v6, &InetNtopW), "fe80::1:2");
    EXPECT_EQ(SocketAddressToText(v6, nullptr), "");
    EXPECT_EQ(SocketAddressToText(shortV6, &InetNtopW), "");
    EXPECT_EQ(SocketAddressToText(other, &InetNtopW), "");
    EXPECT_EQ(SocketAddressToText(SOCKET_ADDRESS{}, &InetNtopW), "");
}

// ---- NETWORKINTERFACES interpretation ------------------------------------------------------

TEST(NetworkInterfaces, AdapterTests) {
    AdapterList list;
    list.Add({.friendly = L"Ethernet 2", .description = L"Intel card", .operStatus = IfOperStatusUp});
    IP_ADAPTER_ADDRESSES& a = list.Record(0);

    struct Row {
        std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> options;
        IF_OPER_STATUS status;
        DWORD type;
        bool listed;
    } rows[] = {
        {{}, IfOperStatusUp, 6, true},
        {{{L"operstatus", L"1"}}, IfOperStatusUp, 6, true},
        {{{L"operstatus", L"1"}}, IfOperStatusDown, 6, false},
        {{{L"operstatus", L"1 2"}}, IfOperStatusDown, 6, true},
        {{{L"operstatus", L"1 2"}}, IfOperStatusTesting, 6, false},
        {{{L"operstatus", L"   "}}, IfOperStatusDormant, 6, true},
        {{{L"operstatus", L"12"}}, IfOperStatusUp, 6, false},  // whole numbers only
        {{{L"iftype", L"24 71"}}, IfOperStatusUp, 71, true},
        {{{L"iftype", L"24 71"}}, IfOperStatusUp, 6, false},
        {{{L"friendlyfilter", L"-Loopback"}}, IfOperStatusUp, 6, true},
        {{{L"friendlyfilter", L"+ethernet -Virtual"}}, IfOperStatusUp, 6, true},
        {{{L"friendlyfilter", L"+Wi-Fi"}}, IfOperStatusUp, 6, false},
        {{{L"descfilter", L"-intel"}}, IfOperStatusUp, 6, false},
        {{{L"descfilter", L"+card"}, {L"friendlyfilter", L"+Ether"}}, IfOperStatusUp, 6, true},
    };
    for (const Row& r : rows) {
        a.OperStatus = r.status;
        a.IfType = r.type;
        TInterfaceOptions options = ReadInterfaceOptions(OptionsOf(r.options));
        EXPECT_EQ(AdapterListed(a, options), r.listed)
            << (r.options.size() ? r.options.begin()->first : L"") << " status " << r.status << " type " << r.type;
    }
}

TEST(NetworkInterfaces, RowOfAFullAdapter) {
    AdapterList list;
    list.Add({.name = "{1234-ABCD}",
              .friendly = L"Ethernet",
              .description = L"Gigabit card",
              .mac = {0x00, 0x1A, 0x2b, 0xC3, 0x04, 0xFF},
              .mtu = 1500,
              .ifType = 6,
              .operStatus = IfOperStatusUp,
              .unicast = {{L"fe80::5", 64, 3600}, {L"192.168.1.20", 24, 86400}, {L"10.0.0.7", 8, 60},
                          {L"2001:db8::9", 128, 0xFFFFFFFF}, {L"", 16, 5}},
              .dns = {L"192.168.1.1", L"fec0::1", L"8.8.8.8"},
              .gateways = {L"192.168.1.254", L"fe80::fe"},
              .wins = {L"192.168.1.2"},
              .dhcp4 = L"192.168.1.1",
              .transmit = 1000000000,
              .receive = 0xFFFFFFFFFFFFFFFFull});
    const TVarArray row = InterfaceRow(*list.First(), InterfaceOptions({}), Context());
    ASSERT_EQ(row.size(), 26u);
    ASSERT_EQ(kInterfaceFieldNames.size(), 26u);
    const std::wstring expected[26] = {
        L"{1234-ABCD}", L"Ethernet", L"Gigabit card", L"00-1A-2B-C3-04-FF", L"1500", L"6", L"1",
        L"192.168.1.20", L"255.255.255.0", L"24", L"fe80::5", L"", L"64",
        // the first address that has a socket address, whatever its family, sets the lease
        DateTimeToText(EncodeDateTime(2024, 3, 1, 13, 0, 0, 0)),
        L"192.168.1.1 8.8.8.8", L"fec0::1", L"192.168.1.254", L"fe80::fe", L"192.168.1.1", L"", L"192.168.1.2",
        L"", L"1000000000", L"-1", L"192.168.1.20|10.0.0.7", L"fe80::5|2001:db8::9",
    };
    for (int i = 0; i < 26; ++i) EXPECT_EQ(Text(row[i]), expected[i]) << kInterfaceFieldNames[i];
    EXPECT_EQ(row[4].Type(), VarType::Currency);
    EXPECT_EQ(row[6].Type(), VarType::Integer);
    EXPECT_EQ(row[23].CurrencyCount(), -10000);
}

TEST(NetworkInterfaces, RowEdges) {
    AdapterList list;
    list.Add({.unicast = {{L"10.1.1.1", 32, 0xFFFFFFFF}}});  // infinite lease; prefix 32 gives no mask
    list.Add({.mac = {}, .unicast = {}});
    const TInterfaceOptions options = InterfaceOptions({{L"ipv4list", L"[%8/%10]"}, {L"ipv6list", L"%11,"}});
    TVarArray row = InterfaceRow(list.Record(0), options, Context());
    EXPECT_EQ(Text(row[13]), L"<none>");
    EXPECT_EQ(Text(row[8]), L"");
    EXPECT_EQ(Text(row[9]), L"32");
    EXPECT_EQ(Text(row[24]), L"[10.1.1.1/32]");
    EXPECT_EQ(Text(row[3]), L"");  // no physical address
    EXPECT_EQ(Text(row[10]), L"<empty>");

    // No addresses at all: only the lists and the DNS fields are set, to empty texts.
    row = InterfaceRow(list.Record(1), options, Context());
    for (int i : {7, 8, 9, 10, 11, 12, 13}) EXPECT_TRUE(row[i].IsEmpty()) << i;
    for (int i : {14, 15, 24, 25}) EXPECT_EQ(Text(row[i]), L"") << i;

    // Windows 5 records have no gateways, DHCP servers, WINS servers or speeds.
    row = InterfaceRow(list.Record(0), options, Context(5));
    for (int i = 16; i < 24; ++i) EXPECT_TRUE(row[i].IsEmpty()) << i;

    // A physical address longer than the record's field is refused.
    list.Record(1).PhysicalAddressLength = MAX_ADAPTER_ADDRESS_LENGTH + 1;
    EXPECT_THROW(InterfaceRow(list.Record(1), options, Context()), ERangeError);
}

TEST(NetworkInterfaces, RowsAndDisplay) {
    AdapterList list;
    list.Add({.name = "{A}", .friendly = L"Ethernet", .operStatus = IfOperStatusUp});
    list.Add({.name = "{B}", .friendly = L"Loopback Pseudo-Interface", .operStatus = IfOperStatusUp});
    list.Add({.name = "{C}", .friendly = L"Wi-Fi", .operStatus = IfOperStatusDown});

    struct Row {
        std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> options;
        std::wstring display;
    } rows[] = {
        {{}, L"{A}|{B}|{C}|"},
        {{{L"friendlyfilter", L"-loopback"}}, L"{A}|{C}|"},
        {{{L"operstatus", L"2"}}, L"{C}|"},
        {{{L"display", L"%2 (%7)"}, {L"operstatus", L"1"}}, L"Ethernet (1)|Loopback Pseudo-Interface (1)|"},
        {{{L"friendlyfilter", L"+nothing"}}, L""},
    };
    for (const Row& r : rows) {
        TItemData data;
        std::wstring display;
        const wchar_t* step = L"";
        AddInterfaceRows(list.First(), ReadInterfaceOptions(OptionsOf(r.options)), Context(), data, display, step);
        EXPECT_EQ(display, r.display);
        EXPECT_EQ(data.Data.size(), static_cast<std::size_t>(std::count(r.display.begin(), r.display.end(), L'|')));
    }
}

// ---- GatherNetworkInterfaces with a constructed source ---------------------------------------

namespace {

struct SourceCall {
    ULONG family, flags, size;
};
std::vector<SourceCall> sourceCalls;
ULONG sourceAnswers[2];
ULONG sourceWantSize = 0;
bool sourceBadRecord = false;

// Answers with an adapter record written into the caller's buffer (no chains).
ULONG WINAPI FixtureSource(ULONG Family, ULONG Flags, PVOID, PIP_ADAPTER_ADDRESSES Buffer, PULONG Size) {
    sourceCalls.push_back({Family, Flags, *Size});
    const ULONG answer = sourceAnswers[std::min<std::size_t>(sourceCalls.size() - 1, 1)];
    if (answer == ERROR_BUFFER_OVERFLOW) *Size = sourceWantSize;
    if (answer == ERROR_SUCCESS) {
        static char name[] = "{FIXTURE}";
        static wchar_t friendly[] = L"Fixture";
        std::memset(Buffer, 0, sizeof *Buffer);
        Buffer->Length = sizeof *Buffer;
        Buffer->AdapterName = name;
        Buffer->FriendlyName = friendly;
        Buffer->OperStatus = IfOperStatusUp;
        if (sourceBadRecord) Buffer->PhysicalAddressLength = 200;
    }
    return answer;
}

void ResetSource(ULONG first, ULONG second) {
    sourceCalls.clear();
    sourceAnswers[0] = first;
    sourceAnswers[1] = second;
    sourceWantSize = 50000;
    sourceBadRecord = false;
}

// Gathers from the fixture source answering First, then Second, into an item that still
// holds the rows and the text of an earlier collection.
Collected GatherOverStale(ULONG first, ULONG second) {
    ResetSource(first, second);
    Collected c;
    c.data.Data.assign(2, TVarArray{Variant(L"old")});
    c.display = L"leftover";
    GatherNetworkInterfaces({}, c.data, c.display, &FixtureSource, Context());
    return c;
}

}  // namespace

TEST_F(NetworkApis, GatherAsksForAllFamiliesWithPrefixesWinsAndGateways) {
    ResetSource(ERROR_SUCCESS, ERROR_SUCCESS);
    Collected c;
    GatherNetworkInterfaces({}, c.data, c.display, &FixtureSource, Context());
    ASSERT_EQ(sourceCalls.size(), 1u);
    EXPECT_EQ(sourceCalls[0].family, static_cast<ULONG>(AF_UNSPEC));
    EXPECT_EQ(sourceCalls[0].flags, 0xD0u);
    EXPECT_GE(sourceCalls[0].size, 0x3800u);
    EXPECT_EQ(c.display, L"{FIXTURE}|");
    EXPECT_EQ(c.data.Names, kInterfaceFieldNames);
    EXPECT_EQ(log_.At(L"DATA"), std::vector<std::wstring>{L"GetNetworkInterface: {FIXTURE}|"});
}

TEST_F(NetworkApis, GatherRetriesOnceWithTheReportedSize) {
    ResetSource(ERROR_BUFFER_OVERFLOW, ERROR_SUCCESS);
    Collected c;
    GatherNetworkInterfaces({}, c.data, c.display, &FixtureSource, Context());
    ASSERT_EQ(sourceCalls.size(), 2u);
    EXPECT_GE(sourceCalls[1].size, 50000u);
    EXPECT_EQ(c.display, L"{FIXTURE}|");

    // Still too small, or any other failure: an error line, no rows, no data line.
    for (auto answers : {std::pair<ULONG, ULONG>{ERROR_BUFFER_OVERFLOW, ERROR_BUFFER_OVERFLOW},
                         std::pair<ULONG, ULONG>{ERROR_INVALID_PARAMETER, ERROR_SUCCESS},
                         std::pair<ULONG, ULONG>{ERROR_BUFFER_OVERFLOW, ERROR_NOT_ENOUGH_MEMORY}}) {
        LogCapture log;
        c = GatherOverStale(answers.first, answers.second);
        EXPECT_EQ(c.display, L"");
        EXPECT_TRUE(c.data.Data.empty());
        EXPECT_EQ(log.At(L"ERROR"), std::vector<std::wstring>{L"GetNetworkInterface:[Error]Unable to allocate memory"});
        EXPECT_TRUE(log.At(L"DATA").empty());
    }
}

TEST_F(NetworkApis, NoAdaptersAtAllIsSaidSoWithoutAnError) {
    // The platform answers "no data" when the computer has no adapter, at once or after
    // asking for a larger buffer.
    for (auto answers : {std::pair<ULONG, ULONG>{ERROR_NO_DATA, ERROR_SUCCESS},
                         std::pair<ULONG, ULONG>{ERROR_BUFFER_OVERFLOW, ERROR_NO_DATA}}) {
        LogCapture log;
        const Collected c = GatherOverStale(answers.first, answers.second);
        EXPECT_EQ(c.display, L"");
        EXPECT_TRUE(c.data.Data.empty());
        EXPECT_EQ(c.data.Names, kInterfaceFieldNames);
        EXPECT_TRUE(log.At(L"ERROR").empty());
        EXPECT_EQ(log.At(L"INFO"), std::vector<std::wstring>{L"GetNetworkInterface: No network adapters"});
        EXPECT_EQ(log.At(L"DATA"), std::vector<std::wstring>{L"GetNetworkInterface: "});
    }
}

TEST_F(NetworkApis, GatherLogsAFaultWithItsStepAndKeepsTheDataLine) {
    ResetSource(ERROR_SUCCESS, ERROR_SUCCESS);
    sourceBadRecord = true;
    Collected c;
    GatherNetworkInterfaces({}, c.data, c.display, &FixtureSource, Context());
    EXPECT_EQ(c.display, L"");
    EXPECT_TRUE(c.data.Data.empty());
    EXPECT_EQ(log_.At(L"ERROR"),
              std::vector<std::wstring>{L"GetNetworkInterface: [Error]Range check error : get interface info"});
    EXPECT_EQ(log_.At(L"DATA"), std::vector<std::wstring>{L"GetNetworkInterface: "});
}

TEST_F(NetworkApis, GatherWithoutTheFunctionDoesNothing) {
    OptionalApis.GetAdaptersAddresses = nullptr;
    Collected c;
    c.data.Data.assign(1, TVarArray{Variant(L"old")});
    GetNetworkInterface({}, c.data, c.display);
    EXPECT_EQ(c.display, L"");
    EXPECT_EQ(c.data.Data.size(), 1u);
    EXPECT_TRUE(log_.Lines().empty());
}

// ---- the routines against what Wine answers -----------------------------------------------

TEST_F(NetworkApis, NetworkInterfacesListsTheSystemsAdapters) {
    ASSERT_NE(OptionalApis.GetAdaptersAddresses, nullptr);
    const auto own = OwnAdapterAddresses();
    std::wstring names;
    std::vector<IF_OPER_STATUS> statuses;
    for (auto* a = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(own.data()); a; a = a->Next) {
        names += AnsiToWide(a->AdapterName) + L"|";
        statuses.push_back(a->OperStatus);
    }
    ASSERT_FALSE(names.empty()) << "Wine lists no adapter";

    Collected c = Gather(GetNetworkInterface);
    EXPECT_EQ(c.display, names);
    ASSERT_EQ(c.data.Data.size(), statuses.size());
    EXPECT_EQ(c.data.Names, kInterfaceFieldNames);
    std::size_t i = 0;
    for (auto* a = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(own.data()); a; a = a->Next, ++i) {
        const TVarArray& row = c.data.Data[i];
        EXPECT_EQ(row[1].ToText(), a->FriendlyName);
        EXPECT_EQ(row[2].ToText(), a->Description);
        EXPECT_EQ(row[4].ToInt64(), static_cast<std::int64_t>(a->Mtu));
        EXPECT_EQ(row[6].ToInt32(), static_cast<std::int32_t>(a->OperStatus));
        // The first IPv4 unicast address, as the test formats it.
        std::wstring first4;
        for (auto* u = a->FirstUnicastAddress; u && first4.empty(); u = u->Next)
            if (u->Address.lpSockaddr && u->Address.lpSockaddr->sa_family == AF_INET) {
                wchar_t text[64];
                InetNtopW(AF_INET, &reinterpret_cast<sockaddr_in*>(u->Address.lpSockaddr)->sin_addr, text, 64);
                first4 = text;
            }
        if (!first4.empty()) {
            EXPECT_EQ(row[7].ToText(), first4);
        }
    }
    EXPECT_EQ(log_.At(L"DATA"), std::vector<std::wstring>{L"GetNetworkInterface: " + names});

    // Listing by operational status: only those with status 1.
    std::size_t up = std::count(statuses.begin(), statuses.end(), IfOperStatusUp);
    c = Gather(GetNetworkInterface, OptionsOf({{L"operstatus", L"1"}}));
    EXPECT_EQ(c.data.Data.size(), up);
    for (const TVarArray& row : c.data.Data) EXPECT_EQ(row[6].ToInt32(), 1);
}

// ---- ALLIPADDRESS -------------------------------------------------------------------------------

namespace {

// Adapter-info records with their address lists.
class AdapterInfoList {
public:
    void Add(const char* description, std::vector<std::pair<const char*, const char*>> addresses) {
        Entry& e = entries_.emplace_back();
        std::memset(&e.info, 0, sizeof e.info);
        std::strncpy(e.info.Description, description, sizeof e.info.Description - 1);
        IP_ADDR_STRING* slot = &e.info.IpAddressList;
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            if (i) {
                slot->Next = &e.more.emplace_back();
                slot = slot->Next;
                std::memset(slot, 0, sizeof *slot);
            }
            std::strncpy(slot->IpAddress.String, addresses[i].first, 15);
            std::strncpy(slot->IpMask.String, addresses[i].second, 15);
        }
        for (std::size_t i = 0; i + 1 < entries_.size(); ++i) entries_[i].info.Next = &entries_[i + 1].info;
    }
    const IP_ADAPTER_INFO* First() const { return &entries_.front().info; }

private:
    struct Entry {
        IP_ADAPTER_INFO info;
        std::deque<IP_ADDR_STRING> more;
    };
    std::deque<Entry> entries_;
};

}  // namespace

TEST(NetworkAllIp, RowsAndDisplay) {
    AdapterInfoList list;
    list.Add("Intel Ethernet", {{"192.168.1.20", "255.255.255.0"}, {"10.0.0.7", "255.0.0.0"}});
    list.Add("Virtual adapter", {{"0.0.0.0", "0.0.0.0"}});

    struct Row {
        std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> options;
        std::wstring display;
        std::size_t rows;
    } rows[] = {
        {{}, L"192.168.1.20,10.0.0.7,0.0.0.0", 3},
        {{{L"multirow", L"1"}}, L"192.168.1.20|10.0.0.7|0.0.0.0", 3},
        {{{L"activeonly", L"1"}}, L"192.168.1.20,10.0.0.7", 2},
        {{{L"filter", L"-virtual"}, {L"display", L"%1/%3 %2"}}, L"192.168.1.20/24 255.255.255.0,10.0.0.7/8 255.0.0.0", 2},
        {{{L"filter", L"+nothing"}}, L"", 0},
    };
    for (const Row& r : rows) {
        TItemData data;
        std::wstring display;
        AddAllIpRows(list.First(), ReadAllIpOptions(OptionsOf(r.options)), data, display);
        EXPECT_EQ(display, r.display);
        EXPECT_EQ(data.Data.size(), r.rows);
        if (r.rows) {
            EXPECT_EQ(data.Names, (TWideStringArray{L"ip", L"mask", L"prefix"}));
            EXPECT_EQ(data.Data[0][2], Variant(std::int32_t{24}));
        }
    }
}

TEST_F(NetworkApis, AllIpAddressListsTheSystemsAddresses) {
    ULONG size = 0;
    GetAdaptersInfo(nullptr, &size);
    std::vector<std::uint64_t> buffer(size / 8 + 1);
    size = static_cast<ULONG>(buffer.size() * 8);
    ASSERT_EQ(GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()), &size), ERROR_SUCCESS);
    std::wstring expected;
    for (auto* a = reinterpret_cast<const IP_ADAPTER_INFO*>(buffer.data()); a; a = a->Next)
        for (const IP_ADDR_STRING* ip = &a->IpAddressList; ip; ip = ip->Next)
            expected += (expected.empty() ? L"" : L"|") + AnsiToWide(ip->IpAddress.String);
    const Collected c = Gather(GetAllNetworkIp, OptionsOf({{L"multirow", L"1"}}));
    EXPECT_EQ(c.display, expected);
    EXPECT_EQ(log_.At(L"DATA"), std::vector<std::wstring>{L"All Network IP: " + expected});
}

// ---- DNSSERVER, DOMAIN, DOMAINCONTROLLER, PROXY ---------------------------------------------

TEST(NetworkParams, DnsAndDomainTexts) {
    FIXED_INFO info{};
    IP_ADDR_STRING second{};
    EXPECT_EQ(DnsServerText(info, false), L"");  // no server: the first entry is empty
    std::strcpy(info.DnsServerList.IpAddress.String, "192.168.1.1");
    EXPECT_EQ(DnsServerText(info, true), L"192.168.1.1");
    std::strcpy(second.IpAddress.String, "8.8.8.8");
    info.DnsServerList.Next = &second;
    EXPECT_EQ(DnsServerText(info, false), L"192.168.1.1,8.8.8.8");
    EXPECT_EQ(DnsServerText(info, true), L"192.168.1.1|8.8.8.8");

    EXPECT_EQ(DomainText(info), L"");
    std::strcpy(info.DomainName, "corp.example");
    EXPECT_EQ(DomainText(info), L"corp.example");
    std::memset(info.DomainName, 'x', sizeof info.DomainName);  // no NUL at all: cut at the field's end
    EXPECT_EQ(DomainText(info).size(), sizeof info.DomainName);
}

TEST_F(NetworkApis, DnsServerAndDomainFromTheSystem) {
    const auto own = OwnNetworkParams();
    const auto& info = *reinterpret_cast<const FIXED_INFO*>(own.data());

    // The servers as the test lists them itself, one line each.
    std::wstring servers;
    for (const IP_ADDR_STRING* server = &info.DnsServerList; server; server = server->Next)
        servers += (server == &info.DnsServerList ? L"" : L"|") + AnsiToWide(server->IpAddress.String);

    Collected c = Gather(GetDnsServer, OptionsOf({{L"multirow", L"1"}}));
    EXPECT_EQ(c.data.Names, TWideStringArray{L"dns server"});
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.display, servers);
    EXPECT_EQ(c.data.Data[0][0].ToText(), c.display);

    c = Gather(GetDomainName, OptionsOf({{L"display", L"[%1]"}}));
    EXPECT_EQ(c.data.Names, TWideStringArray{L"domain"});
    EXPECT_EQ(c.display, L"[" + AnsiToWide(info.DomainName) + L"]");
    EXPECT_EQ(log_.At(L"DATA"), (std::vector<std::wstring>{L"DNS Server: " + servers,
                                                           L"Domain Name: [" + AnsiToWide(info.DomainName) + L"]"}));
}

TEST_F(NetworkApis, DomainControllerOutsideADomainIsEmpty) {
    // This system belongs to no domain: no controller is found, and the item shows an
    // empty name without an error.
    LPBYTE name = nullptr;
    const NET_API_STATUS status = NetGetDCName(nullptr, nullptr, &name);
    if (name) NetApiBufferFree(name);
    ASSERT_NE(status, static_cast<NET_API_STATUS>(NERR_Success)) << "this system has a domain controller";
    const Collected c = Gather(GetDomainController);
    EXPECT_EQ(c.data.Names, TWideStringArray{L"controller"});
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0], TVarArray{Variant(L"")});
    EXPECT_EQ(c.display, L"");
    EXPECT_EQ(log_.At(L"DATA"), std::vector<std::wstring>{L"GetDomainController: "});
    EXPECT_TRUE(log_.At(L"ERROR").empty());
}

TEST(NetworkProxy, ReadProxySettings) {
    RegFixture key(HKEY_CURRENT_USER, UniqueTestKey(L"Internet Settings"));
    std::wstring proxy = L"old";
    bool enabled = false;
    EXPECT_FALSE(ReadProxySettings(HKEY_CURRENT_USER, key.Path() + L"\\Missing", proxy, enabled));
    EXPECT_EQ(proxy, L"old");

    // Without ProxyEnable (settings never touched) there is no proxy: false, not an error.
    enabled = true;
    EXPECT_TRUE(ReadProxySettings(HKEY_CURRENT_USER, key.Path(), proxy, enabled));
    EXPECT_EQ(proxy, L"");
    EXPECT_FALSE(enabled);
    key.SetString(L"ProxyServer", L"only.a.server:3128");
    enabled = true;
    EXPECT_TRUE(ReadProxySettings(HKEY_CURRENT_USER, key.Path(), proxy, enabled));
    EXPECT_EQ(proxy, L"only.a.server:3128");
    EXPECT_FALSE(enabled);
    ASSERT_EQ(RegDeleteKeyValueW(HKEY_CURRENT_USER, key.Path().c_str(), L"ProxyServer"), ERROR_SUCCESS);

    // A ProxyEnable that is there must be an integer.
    key.SetString(L"ProxyEnable", L"1");
    EXPECT_THROW(ReadProxySettings(HKEY_CURRENT_USER, key.Path(), proxy, enabled), ERegistryException);

    key.SetDword(L"ProxyEnable", 0);
    EXPECT_TRUE(ReadProxySettings(HKEY_CURRENT_USER, key.Path(), proxy, enabled));
    EXPECT_EQ(proxy, L"");
    EXPECT_FALSE(enabled);

    key.SetString(L"ProxyServer", L"proxy.example:8080");
    key.SetDword(L"ProxyEnable", 5);
    EXPECT_TRUE(ReadProxySettings(HKEY_CURRENT_USER, key.Path(), proxy, enabled));
    EXPECT_EQ(proxy, L"proxy.example:8080");
    EXPECT_TRUE(enabled);

    key.SetDword(L"ProxyServer", 1);
    EXPECT_THROW(ReadProxySettings(HKEY_CURRENT_USER, key.Path(), proxy, enabled), ERegistryException);
}

namespace {

// Values of a key of the user's, kept aside and written back as they were (or removed
// when they were not there) at the fixture's end.
class KeptValues {
public:
    KeptValues(HKEY root, const std::wstring& path, std::vector<std::wstring> names) : names_(std::move(names)) {
        EXPECT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr),
                  ERROR_SUCCESS);
        for (const std::wstring& name : names_) {
            Value v;
            DWORD size = 0;
            v.present = RegQueryValueExW(key_, name.c_str(), nullptr, &v.type, nullptr, &size) == ERROR_SUCCESS;
            v.data.resize(size);
            if (v.present)
                RegQueryValueExW(key_, name.c_str(), nullptr, &v.type, v.data.data(), &size);
            values_.push_back(v);
        }
    }
    ~KeptValues() {
        for (std::size_t i = 0; i < names_.size(); ++i) {
            if (values_[i].present)
                RegSetValueExW(key_, names_[i].c_str(), 0, values_[i].type, values_[i].data.data(),
                               static_cast<DWORD>(values_[i].data.size()));
            else
                RegDeleteValueW(key_, names_[i].c_str());
        }
        RegCloseKey(key_);
    }
    KeptValues(const KeptValues&) = delete;
    KeptValues& operator=(const KeptValues&) = delete;
    HKEY Key() const { return key_; }

private:
    struct Value {
        bool present = false;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    HKEY key_ = nullptr;
    std::vector<std::wstring> names_;
    std::vector<Value> values_;
};

}  // namespace

TEST_F(NetworkApis, ProxyAsTheCurrentUsersSettingsSay) {
    // The user's own settings, written here for the test and put back afterwards. The
    // proxy stays switched off, so that programs reading the settings meanwhile (other
    // tests' requests among them) go on without one.
    KeptValues kept(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
                    {L"ProxyServer", L"ProxyEnable"});
    const std::wstring server = L"vistrel-test-proxy.invalid:3128";
    const DWORD off = 0;
    ASSERT_EQ(RegSetValueExW(kept.Key(), L"ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                             static_cast<DWORD>((server.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(kept.Key(), L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&off), sizeof off),
              ERROR_SUCCESS);
    const Collected c = Gather(GetNetworkProxy, OptionsOf({{L"display", L"%1 %2"}}));
    EXPECT_EQ(c.data.Names, (TWideStringArray{L"proxy", L"enabled"}));
    ASSERT_EQ(c.data.Data.size(), 1u);
    EXPECT_EQ(c.data.Data[0], (TVarArray{Variant(server), Variant(false)}));
    EXPECT_EQ(c.display, server + L" False");
    EXPECT_EQ(log_.At(L"DATA"), std::vector<std::wstring>{L"GetNetworkProxy: " + c.display});

    // Without the switch value the proxy reads as switched off.
    ASSERT_EQ(RegDeleteValueW(kept.Key(), L"ProxyEnable"), ERROR_SUCCESS);
    const Collected missing = Gather(GetNetworkProxy);
    ASSERT_EQ(missing.data.Data.size(), 1u);
    EXPECT_EQ(missing.data.Data[0], (TVarArray{Variant(server), Variant(false)}));
}
