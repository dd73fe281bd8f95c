// Gathering routines for the network: adapters and addresses (NETWORKINTERFACES,
// ALLIPADDRESS, DNSSERVER, DOMAIN, DOMAINCONTROLLER, PROXY; NetworkAdapters.cpp) and
// traffic, connections and HTTP (NETCONNECTIONS, NETPACKETS, NETPACKETSRATE, HTTPGET;
// NetworkTraffic.cpp). The platform calls sit in the routines; what they answer is
// interpreted by the plain functions declared below, which take the records as values.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <lmcons.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ItemTypes.h"
#include "Variant.h"

// ---- the gathering routines -------------------------------------------------------------
void GetNetworkInterface(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetAllNetworkIp(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetDnsServer(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetDomainName(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetDomainController(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetNetworkProxy(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetNetConnections(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetNetPackets(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetIPStatisticsRate(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetHttpGet(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
// The gathering turns (TGatherTurnProc): an HTTPGET item's is its URL's, so that a server
// that does not answer holds back only the items that ask it; DOMAINCONTROLLER's is the
// lookup's.
std::wstring HttpGetTurn(const TItemOptionArray& Options);
std::wstring DomainControllerTurn(const TItemOptionArray& Options);

// Enters the ten routines into ItemTypeTable.
void RegisterNetworkProviders();
// Forgets the packet-rate sample (program end, tests).
void ResetNetworkProviders();

// ---- text and address routines ----------------------------------------------------------


// The plus-word and minus-word filter: 1 include, -1 exclude, 0 neutral. An empty
// filter gives 1; callers include an entry only on exactly 1.
int MatchFilter(const std::string& Text, const std::string& Filter);
// The set bits of the low eight bits of each dotted part ("255.255.255.0" gives 24);
// a part that is not a number counts 0.
int MaskToPrefixLength(const std::string& Mask);
// The dotted mask of a prefix length from 1 to 31; any other length gives "".
std::string PrefixLengthToMask(long long Length);
// DateTime (days) plus Seconds.
double AddSecondsToDateTime(std::uint32_t Seconds, double DateTime);
// Without leading and trailing U+0020 blanks (tabs stay).
std::wstring TrimSpaces(const std::wstring& Text);
// TrimSpaces, then every trailing "," and "|" removed.
std::wstring TrimListSeparators(const std::wstring& Text);

using TInetNtopW = PCWSTR(WSAAPI*)(INT, const VOID*, PWSTR, size_t);
// An IPv4 or IPv6 address as text; an absent, short or other-family address gives "".
// IPv6 needs Ntop; IPv4 falls back to inet_ntoa without it.
std::string SocketAddressToText(const SOCKET_ADDRESS& Address, TInetNtopW Ntop);
// The same with the InetNtopW bound at start.
std::string SocketAddressToText(const SOCKET_ADDRESS& Address);

// ---- NETWORKINTERFACES ------------------------------------------------------------------

struct TInterfaceOptions {
    std::wstring Display = L"%1";
    std::wstring OperStatus;  // wrapped in one blank on both sides
    std::wstring IfType;      // likewise
    std::string FriendlyFilter;
    std::string DescFilter;
    std::wstring Ipv4List = L"%8|";
    std::wstring Ipv6List = L"%11|";
};
TInterfaceOptions ReadInterfaceOptions(const TItemOptionArray& Options);

// What the rows depend on beside the adapter records.
struct TInterfaceContext {
    DWORD MajorVersion = 6;      // fields 17 to 24 only above 5
    double Now = 0;              // local date-time of the lease expiry
    std::wstring NoResults;      // lease expiry of an infinite lifetime
    TInetNtopW Ntop = nullptr;
};

extern const std::vector<std::wstring> kInterfaceFieldNames;  // the 26 field names

// The four tests of an adapter: operational status, interface type, friendly name,
// description.
bool AdapterListed(const IP_ADAPTER_ADDRESSES& Adapter, const TInterfaceOptions& Options);
// The 26 values of one adapter's row.
TVarArray InterfaceRow(const IP_ADAPTER_ADDRESSES& Adapter, const TInterfaceOptions& Options,
                       const TInterfaceContext& Context);
// Appends a row and a display line ending in "|" for each listed adapter of the chain.
// Step names the work under way, for the error line of a failure.
void AddInterfaceRows(const IP_ADAPTER_ADDRESSES* First, const TInterfaceOptions& Options,
                      const TInterfaceContext& Context, TItemData& Data, std::wstring& Display,
                      const wchar_t*& Step);
using TGetAdaptersAddresses = ULONG(WINAPI*)(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES, PULONG);
// The whole NETWORKINTERFACES collection with the adapter list taken from Source (null:
// nothing is done, nothing logged).
void GatherNetworkInterfaces(const TItemOptionArray& Options, TItemData& Data, std::wstring& Display,
                             TGetAdaptersAddresses Source, const TInterfaceContext& Context);

// ---- ALLIPADDRESS, DNSSERVER, DOMAIN, PROXY ---------------------------------------------

struct TAllIpOptions {
    std::wstring Display = L"%1";
    bool MultiRow = false;
    bool ActiveOnly = false;
    std::string Filter;
};
TAllIpOptions ReadAllIpOptions(const TItemOptionArray& Options);
// Appends one row (ip, mask, prefix) per address of the chain that passes, and its
// display text followed by "|" (MultiRow) or ","; the final separator is removed.
void AddAllIpRows(const IP_ADAPTER_INFO* First, const TAllIpOptions& Options, TItemData& Data,
                  std::wstring& Display);

// The DNS server addresses joined by "|" (MultiRow) or ",".
std::wstring DnsServerText(const FIXED_INFO& Info, bool MultiRow);
// The domain name, cut at its first NUL.
std::wstring DomainText(const FIXED_INFO& Info);

using TNetGetDCName = NET_API_STATUS(WINAPI*)(LPCWSTR, LPCWSTR, LPBYTE*);
// The primary domain's controller as Source (NetGetDCName) names it, "" when it names
// none. Source runs abandonably within the item's time limit: an answer that comes late
// raises ETimeLimit.
std::wstring QueryDomainController(TNetGetDCName Source);
// The whole DOMAINCONTROLLER collection with the name taken from Source.
void GatherDomainController(const TItemOptionArray& Options, TItemData& Data, std::wstring& Display,
                            TNetGetDCName Source);

// Reads ProxyServer ("" when missing) and ProxyEnable (a missing or non-integer value
// raises ERegistryException) of KeyPath under Root; false when the key does not open.
bool ReadProxySettings(HKEY Root, const std::wstring& KeyPath, std::wstring& Proxy, bool& Enabled);

// ---- NETCONNECTIONS ------------------------------------------------------------------------

using TGetTcpTable = DWORD(WINAPI*)(PMIB_TCPTABLE Table, PULONG Size, BOOL Order);
// Reads of the TCP table at most: a table that keeps growing between the size query and
// the read is not chased for ever.
constexpr int kTcpTableReads = 4;
// The number of rows of the TCP table through Source: its size asked first, then the
// table read; when it grew in between, read again with the size the system now asks for.
// 0 when it cannot be read.
std::int32_t CountTcpConnections(TGetTcpTable Source);

// ---- NETPACKETS, NETPACKETSRATE, HTTPGET ------------------------------------------------

// One reading of the two IP counters and the whole-second clock (0 = no sample).
struct TIpSample {
    std::uint32_t Seconds = 0;
    std::uint32_t Received = 0;
    std::uint32_t Sent = 0;
};
// Packets (or bytes with Mtu > 0) as currency values.
Variant PacketCount(std::uint32_t Counter, std::int32_t Mtu);
// The per-second rates between two samples; false for a first sample, a sample in the
// same second, or when the clock or a counter went backwards (wrapped or reset).
bool IpRates(const TIpSample& Previous, const TIpSample& Current, std::int32_t Mtu, Variant& In, Variant& Out);
// The rate routine's work after the platform call: Stats is null when the call failed.
// Keeps the program-wide sample.
void StoreIpStatisticsRate(const TItemOptionArray& Options, const MIB_IPSTATS* Stats, DWORD TickMs,
                           TItemData& Data, std::wstring& Display);

// The largest body a fetch reads; the rest of a longer one is left unread.
constexpr std::size_t kUrlSizeCap = 1024 * 1024;
// Limits of one fetch: connecting and each send or receive, in milliseconds (each also
// held within the item's time limit, which bounds the whole fetch), and the body size.
struct TUrlLimits {
    DWORD Connect = 15000;
    DWORD Transfer = 30000;
    std::size_t MaxBytes = kUrlSizeCap;
};
// What one fetch got: the body (at most MaxBytes), the size of each piece as it was read,
// and, when it failed, what failed ("Unable to open", ...) with the error code.
struct TUrlFetch {
    std::string Content;
    std::vector<std::size_t> Pieces;
    std::wstring Failure;
    DWORD Code = 0;
    bool CutAtSizeCap = false;
};
// The WinINet handles of one fetch.
struct TUrlHandles;
// Fetches Url with WinINet, reading until the end, a failure, the size cap, or Abandoned.
// Logs nothing and touches no global state (it only marks its own call as answered once the
// server answers, MarkCallAnswering), so that it can run on a thread of its own.
// Handles receives the fetch's handles, which stay open until it is released.
TUrlFetch FetchUrl(const std::string& Url, const TUrlLimits& Limits, const std::atomic<bool>& Abandoned,
                   std::shared_ptr<TUrlHandles>& Handles);
// The body of Url as received (8-bit, each byte one character of the system code page), at
// most Limits.MaxBytes of it. The fetch runs abandonably within the item's time limit; a
// fetch that fails, comes late or is cut at the size cap is logged at ERROR and gives what
// it read (nothing when it came late).
std::string GetUrlContent(const std::string& Url);
std::string GetUrlContent(const std::string& Url, const TUrlLimits& Limits);
