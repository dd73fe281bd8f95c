// Adapters and addresses: NETWORKINTERFACES, ALLIPADDRESS, DNSSERVER, DOMAIN,
// DOMAINCONTROLLER and PROXY, the text routines they share, and the registration of the
// network family.
#include "Network.h"

#include <lm.h>

#include <algorithm>
#include <bit>

#include "Checked.h"
#include "Includes.h"
#include "Log.h"
#include "Pipeline.h"
#include "SystemInfo.h"
#include "Templates.h"
#include "TimeLimits.h"
#include "Tools.h"
#include "Utils.h"
#include "WinApp.h"
#include "WinHandles.h"

namespace {

constexpr ULONG kAdapterFlags = GAA_FLAG_INCLUDE_PREFIX | GAA_FLAG_INCLUDE_WINS_INFO | GAA_FLAG_INCLUDE_GATEWAYS;
constexpr ULONG kFirstAdapterBuffer = 0x3800;
constexpr ULONG kInfiniteLifetime = 0xFFFFFFFF;
const wchar_t kInternetSettingsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// ---- platform calls ----------------------------------------------------------------------

// A zeroed buffer of at least Bytes bytes, aligned for the records the calls write.
class RecordBuffer {
public:
    explicit RecordBuffer(ULONG Bytes) : words_((static_cast<std::size_t>(Bytes) + 7) / 8 + 1, 0) {}
    void* get() { return words_.data(); }
    ULONG size() const { return CheckedCast<ULONG>(words_.size() * 8); }

private:
    std::vector<std::uint64_t> words_;
};

DWORD WindowsMajorVersion() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    return GetVersionExA(&info) ? info.dwMajorVersion : 0;
}

// GetNetworkParams into Buffer; false when it fails.
bool ReadNetworkParams(std::unique_ptr<RecordBuffer>& Buffer) {
    ULONG size = 0;
    const DWORD first = GetNetworkParams(nullptr, &size);
    if (first != ERROR_BUFFER_OVERFLOW && first != ERROR_SUCCESS) return false;
    Buffer = std::make_unique<RecordBuffer>(std::max<ULONG>(size, sizeof(FIXED_INFO)));
    ULONG have = Buffer->size();
    return GetNetworkParams(static_cast<FIXED_INFO*>(Buffer->get()), &have) == ERROR_SUCCESS;
}

// ---- interpretation helpers --------------------------------------------------------------

std::wstring Text8(const std::string& Text) { return AnsiToWide(Text); }

// A fixed-size character field up to its first NUL.
std::string FixedText(const char* Field, std::size_t Capacity) {
    return std::string(Field, strnlen(Field, Capacity));
}

std::wstring NullableText(PCWSTR Text) { return Text ? std::wstring(Text) : std::wstring(); }

Variant Number(std::int64_t Value) { return Variant::FromCurrencyCount(CheckedMul<std::int64_t>(Value, 10000)); }

std::wstring MacAddressText(const BYTE* Bytes, ULONG Length) {
    if (Length > MAX_ADAPTER_ADDRESS_LENGTH) RaiseRangeError();
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring text;
    for (ULONG i = 0; i < Length; ++i) {
        if (i) text += L'-';
        text += kHex[Bytes[i] >> 4];
        text += kHex[Bytes[i] & 0xF];
    }
    return text;
}

bool InList(const std::wstring& Wrapped, ULONG Value) {
    return TrimSpaces(Wrapped).empty() || Wrapped.find(L" " + std::to_wstring(Value) + L" ") != std::wstring::npos;
}

int Family(const SOCKET_ADDRESS& Address) {
    return Address.lpSockaddr ? Address.lpSockaddr->sa_family : AF_UNSPEC;
}

// The IPv4 and the IPv6 addresses of a chain of records with an Address member, each
// list blank-separated.
template <typename Record>
void SplitAddresses(const Record* First, TInterfaceContext const& Context, std::wstring& V4, std::wstring& V6) {
    V4.clear();
    V6.clear();
    for (const Record* r = First; r; r = r->Next) {
        const int family = Family(r->Address);
        if (family != AF_INET && family != AF_INET6) continue;
        std::wstring& list = family == AF_INET6 ? V6 : V4;
        if (!list.empty()) list += L' ';
        list += Text8(SocketAddressToText(r->Address, Context.Ntop));
    }
}

std::uint8_t OnLinkPrefix(const IP_ADAPTER_UNICAST_ADDRESS& Address) {
    // Records of systems before Vista end before the prefix length.
    if (Address.Length < offsetof(IP_ADAPTER_UNICAST_ADDRESS, OnLinkPrefixLength) + 1) return 0;
    return Address.OnLinkPrefixLength;
}

[[noreturn]] void RaiseRegistryValue(const wchar_t* Format, const std::wstring& Name) {
    throw ERegistryException(Format + Name + L"'");
}

}  // namespace

// ---- text and address routines -------------------------------------------------------------

int MatchFilter(const std::string& Text, const std::string& Filter) {
    std::vector<std::string> tokens;
    std::size_t start = 0;
    for (std::size_t i = 1; i <= Filter.size(); ++i) {
        if (i == Filter.size() || Filter[i] == '+' || Filter[i] == '-') {
            if (start < Filter.size()) tokens.push_back(Filter.substr(start, i - start));
            start = i;
        }
    }
    int plus = 0, minus = 0;
    for (const std::string& t : tokens) {
        if (t[0] == '+') ++plus;
        if (t[0] == '-') ++minus;
    }
    int result = plus == 0 ? 1 : (minus == 0 ? -1 : 0);
    const std::string text = LowerAscii(Text);
    for (const std::string& t : tokens) {
        const std::string word = LowerAscii(t.substr(1));
        if (word.empty() || text.find(word) == std::string::npos) continue;
        if (t[0] == '+') result = 1;
        else if (t[0] == '-') result = -1;
    }
    return result;
}

int MaskToPrefixLength(const std::string& Mask) {
    int bits = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = Mask.find('.', start);
        const std::string part = Mask.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        std::int64_t value = 0;
        std::size_t i = 0;
        bool negative = false;
        if (i < part.size() && (part[i] == '+' || part[i] == '-')) negative = part[i++] == '-';
        bool number = i < part.size();
        for (; number && i < part.size(); ++i) {
            if (part[i] < '0' || part[i] > '9') number = false;
            else value = value * 10 + (part[i] - '0');
            if (value > 0x80000000LL) number = false;
        }
        if (number && (negative ? value <= 0x80000000LL : value <= 0x7FFFFFFFLL)) {
            const std::uint32_t v = static_cast<std::uint32_t>(negative ? -value : value);
            bits += std::popcount(v & 0xFFu);
        }
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return bits;
}

std::string PrefixLengthToMask(long long Length) {
    if (Length < 1 || Length > 31) return {};
    const std::uint32_t mask = 0xFFFFFFFFu << (32 - Length);
    return std::to_string(mask >> 24) + "." + std::to_string((mask >> 16) & 0xFF) + "." +
           std::to_string((mask >> 8) & 0xFF) + "." + std::to_string(mask & 0xFF);
}

double AddSecondsToDateTime(std::uint32_t Seconds, double DateTime) { return DateTime + Seconds / 86400.0; }

std::wstring TrimSpaces(const std::wstring& Text) {
    const std::size_t first = Text.find_first_not_of(L' ');
    if (first == std::wstring::npos) return {};
    return Text.substr(first, Text.find_last_not_of(L' ') - first + 1);
}

std::wstring TrimListSeparators(const std::wstring& Text) {
    std::wstring text = TrimSpaces(Text);
    while (!text.empty() && (text.back() == L',' || text.back() == L'|')) text.pop_back();
    return text;
}

std::string SocketAddressToText(const SOCKET_ADDRESS& Address, TInetNtopW Ntop) {
    const sockaddr* a = Address.lpSockaddr;
    if (!a) return {};
    wchar_t buffer[64] = {};
    if (a->sa_family == AF_INET6) {
        if (!Ntop || Address.iSockaddrLength < static_cast<INT>(sizeof(sockaddr_in6))) return {};
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(a);
        return Ntop(AF_INET6, &v6->sin6_addr, buffer, 64) ? WideToAnsi(buffer) : std::string();
    }
    if (a->sa_family == AF_INET) {
        if (Address.iSockaddrLength < static_cast<INT>(sizeof(sockaddr_in))) return {};
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(a);
        if (Ntop) return Ntop(AF_INET, &v4->sin_addr, buffer, 64) ? WideToAnsi(buffer) : std::string();
        const char* text = inet_ntoa(v4->sin_addr);
        return text ? std::string(text) : std::string();
    }
    return {};
}

std::string SocketAddressToText(const SOCKET_ADDRESS& Address) {
    return SocketAddressToText(Address, OptionalApis.InetNtopW);
}

// ---- NETWORKINTERFACES -----------------------------------------------------------------------

const std::vector<std::wstring> kInterfaceFieldNames = {
    L"adapter name", L"friendly name", L"description", L"mac address", L"mtu", L"if type",
    L"op status", L"ipv4 address", L"ipv4 mask", L"ipv4 prefix", L"ipv6 address", L"ipv6 mask",
    L"ipv6 prefix", L"lease expiry", L"ipv4 dns servers", L"ipv6 dns servers", L"ipv4 gateways",
    L"ipv6 gateways", L"ipv4 dhcp server", L"ipv6 dhcp server", L"ipv4 wins servers",
    L"ipv6 wins servers", L"transmit link speed", L"receive link speed", L"ipv4 list", L"ipv6 list",
};

TInterfaceOptions ReadInterfaceOptions(const TItemOptionArray& Options) {
    auto text = [&](const wchar_t* name, const wchar_t* def) {
        return GetItemOption(Options, name, Variant(def)).ToText();
    };
    TInterfaceOptions o;
    o.Display = text(L"display", L"%1");
    o.OperStatus = L" " + text(L"operstatus", L"") + L" ";
    o.IfType = L" " + text(L"iftype", L"") + L" ";
    o.FriendlyFilter = WideToAnsi(text(L"friendlyfilter", L""));
    o.DescFilter = WideToAnsi(text(L"descfilter", L""));
    o.Ipv4List = text(L"ipv4list", L"%8|");
    o.Ipv6List = text(L"ipv6list", L"%11|");
    return o;
}

bool AdapterListed(const IP_ADAPTER_ADDRESSES& Adapter, const TInterfaceOptions& Options) {
    return InList(Options.OperStatus, Adapter.OperStatus) && InList(Options.IfType, Adapter.IfType) &&
           MatchFilter(WideToAnsi(NullableText(Adapter.FriendlyName)), Options.FriendlyFilter) == 1 &&
           MatchFilter(WideToAnsi(NullableText(Adapter.Description)), Options.DescFilter) == 1;
}

TVarArray InterfaceRow(const IP_ADAPTER_ADDRESSES& Adapter, const TInterfaceOptions& Options,
                       const TInterfaceContext& Context) {
    TVarArray row(26);
    row.at(0) = Variant(Text8(Adapter.AdapterName ? Adapter.AdapterName : ""));
    row.at(1) = Variant(NullableText(Adapter.FriendlyName));
    row.at(2) = Variant(NullableText(Adapter.Description));
    row.at(3) = Variant(MacAddressText(Adapter.PhysicalAddress, Adapter.PhysicalAddressLength));
    row.at(4) = Number(Adapter.Mtu);
    row.at(5) = Number(Adapter.IfType);
    row.at(6) = Variant(CheckedCast<std::int32_t>(static_cast<std::uint32_t>(Adapter.OperStatus)));

    std::wstring v4List, v6List;
    for (const IP_ADAPTER_UNICAST_ADDRESS* u = Adapter.FirstUnicastAddress; u; u = u->Next) {
        if (!u->Address.lpSockaddr) continue;
        const std::wstring text = Text8(SocketAddressToText(u->Address, Context.Ntop));
        const std::uint8_t prefix = OnLinkPrefix(*u);
        const std::wstring prefixText = std::to_wstring(prefix);
        if (Family(u->Address) == AF_INET) {
            const std::wstring mask = Text8(PrefixLengthToMask(prefix));
            if (row.at(7).IsEmpty()) {
                row.at(7) = Variant(text);
                row.at(8) = Variant(mask);
                row.at(9) = Variant(prefixText);
            }
            TVarArray values(10);
            values.at(7) = Variant(text);
            values.at(8) = Variant(mask);
            values.at(9) = Variant(prefixText);
            v4List += FillDisplayTemplate(Options.Ipv4List, values);
        } else if (Family(u->Address) == AF_INET6) {
            if (row.at(10).IsEmpty()) {
                row.at(10) = Variant(text);
                row.at(11) = Variant(std::wstring());
                row.at(12) = Variant(prefixText);
            }
            TVarArray values(13);
            values.at(10) = Variant(text);
            values.at(11) = Variant(std::wstring());
            values.at(12) = Variant(prefixText);
            v6List += FillDisplayTemplate(Options.Ipv6List, values);
        }
        if (row.at(13).IsEmpty()) {
            if (u->ValidLifetime == kInfiniteLifetime)
                row.at(13) = Variant(Context.NoResults);
            else
                row.at(13) = Variant(DateTimeToText(AddSecondsToDateTime(u->ValidLifetime, Context.Now)));
        }
    }
    row.at(24) = Variant(TrimListSeparators(v4List));
    row.at(25) = Variant(TrimListSeparators(v6List));

    std::wstring v4, v6;
    SplitAddresses(Adapter.FirstDnsServerAddress, Context, v4, v6);
    row.at(14) = Variant(v4);
    row.at(15) = Variant(v6);

    if (Context.MajorVersion > 5) {
        SplitAddresses(Adapter.FirstGatewayAddress, Context, v4, v6);
        row.at(16) = Variant(v4);
        row.at(17) = Variant(v6);
        row.at(18) = Variant(Text8(SocketAddressToText(Adapter.Dhcpv4Server, Context.Ntop)));
        row.at(19) = Variant(Text8(SocketAddressToText(Adapter.Dhcpv6Server, Context.Ntop)));
        SplitAddresses(Adapter.FirstWinsServerAddress, Context, v4, v6);
        row.at(20) = Variant(v4);
        row.at(21) = Variant(v6);
        row.at(22) = Number(static_cast<std::int64_t>(Adapter.TransmitLinkSpeed));
        row.at(23) = Number(static_cast<std::int64_t>(Adapter.ReceiveLinkSpeed));
    }
    return row;
}

void AddInterfaceRows(const IP_ADAPTER_ADDRESSES* First, const TInterfaceOptions& Options,
                      const TInterfaceContext& Context, TItemData& Data, std::wstring& Display,
                      const wchar_t*& Step) {
    for (const IP_ADAPTER_ADDRESSES* a = First; a; a = a->Next) {
        Step = L"iterate list";
        if (!AdapterListed(*a, Options)) continue;
        Step = L"reset row";
        TVarArray row;
        Step = L"get interface info";
        row = InterfaceRow(*a, Options, Context);
        AddDataRow(Data.Data, row, true);
        Display += FillDisplayTemplate(Options.Display, Data.Data.back());
        Display += L"|";
    }
}

void GatherNetworkInterfaces(const TItemOptionArray& Options, TItemData& Data, std::wstring& Display,
                             TGetAdaptersAddresses Source, const TInterfaceContext& Context) {
    Display.clear();
    if (!Source) return;
    const TInterfaceOptions options = ReadInterfaceOptions(Options);
    const wchar_t* step = L"reset storage";
    try {
        Data.Data.clear();
        SetFieldNames(Data.Names, kInterfaceFieldNames);

        step = L"interface list";
        auto buffer = std::make_unique<RecordBuffer>(kFirstAdapterBuffer);
        ULONG size = buffer->size();
        ULONG result = Source(AF_UNSPEC, kAdapterFlags, nullptr, static_cast<IP_ADAPTER_ADDRESSES*>(buffer->get()), &size);
        if (result == ERROR_BUFFER_OVERFLOW) {
            step = L"buffer overflow";
            buffer = std::make_unique<RecordBuffer>(size);
            size = buffer->size();
            result = Source(AF_UNSPEC, kAdapterFlags, nullptr, static_cast<IP_ADAPTER_ADDRESSES*>(buffer->get()), &size);
        }
        if (result == ERROR_NO_DATA) {
            // No adapter at all: nothing to list, and nothing went wrong.
            WriteLog(L"GetNetworkInterface: No network adapters", llInfo);
        } else if (result != ERROR_SUCCESS) {
            WriteLog(L"GetNetworkInterface:" + ErrorText + L"Unable to allocate memory", llError);
            return;
        } else {
            AddInterfaceRows(static_cast<const IP_ADAPTER_ADDRESSES*>(buffer->get()), options, Context, Data, Display,
                             step);
        }
    } catch (const std::exception& e) {
        WriteLog(L"GetNetworkInterface: " + ErrorText + ExceptionMessage(e) + L" : " + step, llError);
    }
    WriteLog(L"GetNetworkInterface: " + Display, llData);
}

void GetNetworkInterface(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    const TGetAdaptersAddresses source = OptionalApis.GetAdaptersAddresses;
    if (!source) {
        Display.clear();
        return;
    }
    TInterfaceContext context;
    context.MajorVersion = WindowsMajorVersion();
    context.Now = NowDateTime();
    context.NoResults = NoResultsText;
    context.Ntop = OptionalApis.InetNtopW;
    GatherNetworkInterfaces(Options, Data, Display, source, context);
}

// ---- ALLIPADDRESS -----------------------------------------------------------------------------

TAllIpOptions ReadAllIpOptions(const TItemOptionArray& Options) {
    TAllIpOptions o;
    o.Display = GetItemOption(Options, L"display", Variant(L"%1")).ToText();
    o.MultiRow = GetItemOption(Options, L"multirow", Variant(false)).ToBool();
    o.ActiveOnly = GetItemOption(Options, L"activeonly", Variant(false)).ToBool();
    o.Filter = WideToAnsi(GetItemOption(Options, L"filter", Variant(L"")).ToText());
    return o;
}

void AddAllIpRows(const IP_ADAPTER_INFO* First, const TAllIpOptions& Options, TItemData& Data,
                  std::wstring& Display) {
    for (const IP_ADAPTER_INFO* a = First; a; a = a->Next) {
        const std::string description = FixedText(a->Description, sizeof a->Description);
        for (const IP_ADDR_STRING* ip = &a->IpAddressList; ip; ip = ip->Next) {
            const std::string address = FixedText(ip->IpAddress.String, sizeof ip->IpAddress.String);
            const std::string mask = FixedText(ip->IpMask.String, sizeof ip->IpMask.String);
            if (Options.ActiveOnly && address == "0.0.0.0") continue;
            if (MatchFilter(description, Options.Filter) != 1) continue;
            AddDataRow(Data.Data, {Variant(Text8(address)), Variant(Text8(mask)),
                                   Variant(std::int32_t{MaskToPrefixLength(mask)})},
                       true);
            SetFieldNames(Data.Names, {L"ip", L"mask", L"prefix"});
            Display += FillDisplayTemplate(Options.Display, Data.Data.back());
            Display += Options.MultiRow ? L"|" : L",";
        }
    }
    if (!Display.empty()) Display.pop_back();
}

void GetAllNetworkIp(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    const TAllIpOptions options = ReadAllIpOptions(Options);
    ULONG size = 0;
    const DWORD first = GetAdaptersInfo(nullptr, &size);
    RecordBuffer buffer((first == ERROR_BUFFER_OVERFLOW || first == ERROR_SUCCESS) ? size : 0);
    Data.Data.clear();
    ULONG have = buffer.size();
    if (size != 0 && GetAdaptersInfo(static_cast<IP_ADAPTER_INFO*>(buffer.get()), &have) == ERROR_SUCCESS)
        AddAllIpRows(static_cast<const IP_ADAPTER_INFO*>(buffer.get()), options, Data, Display);
    WriteLog(L"All Network IP: " + Display, llData);
}

// ---- DNSSERVER, DOMAIN, DOMAINCONTROLLER ------------------------------------------------------

std::wstring DnsServerText(const FIXED_INFO& Info, bool MultiRow) {
    std::wstring text;
    for (const IP_ADDR_STRING* s = &Info.DnsServerList; s; s = s->Next) {
        const std::string address = FixedText(s->IpAddress.String, sizeof s->IpAddress.String);
        if (address.empty()) continue;  // the list's first entry is empty when there is no server
        text += Text8(address);
        text += MultiRow ? L"|" : L",";
    }
    if (!text.empty()) text.pop_back();
    return text;
}

std::wstring DomainText(const FIXED_INFO& Info) {
    return Text8(FixedText(Info.DomainName, sizeof Info.DomainName));
}

void GetDnsServer(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    const bool multiRow = GetItemOption(Options, L"multirow", Variant(false)).ToBool();
    std::unique_ptr<RecordBuffer> buffer;
    std::wstring text;
    if (ReadNetworkParams(buffer)) text = DnsServerText(*static_cast<const FIXED_INFO*>(buffer->get()), multiRow);
    StoreSingleRow(Options, Data, Display, {L"dns server"}, {Variant(text)}, L"DNS Server: ");
}

void GetDomainName(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    std::unique_ptr<RecordBuffer> buffer;
    std::wstring text;
    if (ReadNetworkParams(buffer)) text = DomainText(*static_cast<const FIXED_INFO*>(buffer->get()));
    StoreSingleRow(Options, Data, Display, {L"domain"}, {Variant(text)}, L"Domain Name: ");
}

void GetDomainController(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    GatherDomainController(Options, Data, Display, NetGetDCName);
}

std::wstring QueryDomainController(TNetGetDCName Source) {
    // NetGetDCName has no timeout of its own and may wait for the network for minutes.
    const std::function<std::wstring(const std::atomic<bool>&)> call = [Source](const std::atomic<bool>&) {
        LPBYTE name = nullptr;
        std::wstring controller;
        if (Source(nullptr, nullptr, &name) == NERR_Success) {
            if (name) controller = reinterpret_cast<const wchar_t*>(name);
            NetApiBufferFree(name);
        }
        return controller;
    };
    return RunAbandonable(call, ItemTimeLeftMs(), L"NetGetDCName");
}

void GatherDomainController(const TItemOptionArray& Options, TItemData& Data, std::wstring& Display,
                            TNetGetDCName Source) {
    Display.clear();
    try {
        const std::wstring controller = QueryDomainController(Source);
        StoreSingleRow(Options, Data, Display, {L"controller"}, {Variant(controller)}, nullptr);
    } catch (const std::exception& e) {
        WriteLog(L"GetDomainController: " + ErrorText + ExceptionMessage(e) + L" : " + Display, llError);
    }
    WriteLog(L"GetDomainController: " + Display, llData);
}

// ---- PROXY ------------------------------------------------------------------------------------

bool ReadProxySettings(HKEY Root, const std::wstring& KeyPath, std::wstring& Proxy, bool& Enabled) {
    HKEY raw = nullptr;
    if (RegOpenKeyExW(Root, KeyPath.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) return false;
    const UniqueKey key(raw);

    std::wstring proxy;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key.get(), L"ProxyServer", nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        if (type != REG_SZ && type != REG_EXPAND_SZ) RaiseRegistryValue(L"Invalid data type for '", L"ProxyServer");
        std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
        DWORD got = CheckedCast<DWORD>(buffer.size() * sizeof(wchar_t));
        if (RegQueryValueExW(key.get(), L"ProxyServer", nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                             &got) != ERROR_SUCCESS)
            RaiseRegistryValue(L"Failed to get data for '", L"ProxyServer");
        buffer.resize(wcsnlen(buffer.c_str(), got / sizeof(wchar_t)));
        proxy = buffer;
    }

    // A user who never touched the proxy settings has no ProxyEnable value: no proxy.
    DWORD enable = 0;
    size = sizeof enable;
    const LONG rc = RegQueryValueExW(key.get(), L"ProxyEnable", nullptr, &type, reinterpret_cast<BYTE*>(&enable), &size);
    if (rc == ERROR_FILE_NOT_FOUND) {
        enable = 0;
    } else if ((rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) || type != REG_DWORD || size != sizeof enable) {
        RaiseRegistryValue(L"Invalid data type for '", L"ProxyEnable");
    }
    Proxy = proxy;
    Enabled = enable != 0;
    return true;
}

void GetNetworkProxy(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    std::wstring proxy;
    bool enabled = false;
    if (ReadProxySettings(HKEY_CURRENT_USER, kInternetSettingsKey, proxy, enabled))
        StoreSingleRow(Options, Data, Display, {L"proxy", L"enabled"}, {Variant(proxy), Variant(enabled)}, nullptr);
    WriteLog(L"GetNetworkProxy: " + Display, llData);
}

// ---- registration -----------------------------------------------------------------------------

std::wstring DomainControllerTurn(const TItemOptionArray&) { return L"DOMAINCONTROLLER"; }

void RegisterNetworkProviders() {
    RegisterGatherProc("NETWORKINTERFACES", GetNetworkInterface);
    RegisterGatherProc("ALLIPADDRESS", GetAllNetworkIp);
    RegisterGatherProc("DNSSERVER", GetDnsServer);
    RegisterGatherProc("DOMAIN", GetDomainName);
    RegisterGatherProc("DOMAINCONTROLLER", GetDomainController);
    RegisterGatherProc("PROXY", GetNetworkProxy);
    RegisterGatherProc("NETCONNECTIONS", GetNetConnections);
    RegisterGatherProc("NETPACKETS", GetNetPackets);
    RegisterGatherProc("NETPACKETSRATE", GetIPStatisticsRate);
    RegisterGatherProc("HTTPGET", GetHttpGet);
    RegisterGatherTurn("DOMAINCONTROLLER", DomainControllerTurn);
    RegisterGatherTurn("HTTPGET", HttpGetTurn);
}
