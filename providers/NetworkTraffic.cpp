// Traffic, connections and HTTP: NETCONNECTIONS, NETPACKETS, NETPACKETSRATE and HTTPGET.
#include "Network.h"

#include <wininet.h>

#include <algorithm>

#include "Checked.h"
#include "Includes.h"
#include "Log.h"
#include "Pipeline.h"
#include "SystemInfo.h"
#include "Templates.h"
#include "TimeLimits.h"
#include "Utils.h"
#include "WinApp.h"
#include "WinHandles.h"

namespace {

// ---- platform calls ----------------------------------------------------------------------

void CloseInternet(HINTERNET Handle) { InternetCloseHandle(Handle); }
using UniqueInternet = UniqueResource<HINTERNET, CloseInternet>;

constexpr DWORD kReadPiece = 1024;

// The rate routine's sample, shared by every NETPACKETSRATE item; only the collection
// thread touches it.
TIpSample rateSample;

// A WinINet error as text: the code and, where the library has one, its message.
std::wstring InternetErrorText(DWORD Code) {
    std::wstring text = L"error " + std::to_wstring(Code);
    wchar_t buffer[512] = {};
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   GetModuleHandleW(L"wininet.dll"), Code, 0, buffer, 512, nullptr);
    std::wstring message(buffer, n);
    while (!message.empty() && message.back() <= L' ') message.pop_back();
    if (!message.empty()) text += L": " + message;
    return text;
}

// Bounds every wait of the session: a server that accepts and never answers must not
// hold the fetch for minutes.
void SetTimeouts(HINTERNET Session, const TUrlLimits& Timeouts) {
    auto set = [&](DWORD option, DWORD value) { InternetSetOptionW(Session, option, &value, sizeof value); };
    set(INTERNET_OPTION_CONNECT_TIMEOUT, Timeouts.Connect);
    set(INTERNET_OPTION_SEND_TIMEOUT, Timeouts.Transfer);
    set(INTERNET_OPTION_RECEIVE_TIMEOUT, Timeouts.Transfer);
    set(INTERNET_OPTION_DATA_SEND_TIMEOUT, Timeouts.Transfer);
    set(INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, Timeouts.Transfer);
}

// Opens Url for reading. HTTP and HTTPS go through a connection handle that carries the
// timeouts (some WinINet versions do not pass a session's timeouts on to InternetOpenUrl);
// every other scheme, and a text that does not parse as a URL, through InternetOpenUrlA.
UniqueInternet OpenUrl(HINTERNET Session, const std::string& Url, const TUrlLimits& Timeouts,
                       UniqueInternet& Connection) {
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = 1;
    parts.dwUrlPathLength = 1;
    parts.dwExtraInfoLength = 1;
    parts.dwUserNameLength = 1;
    parts.dwPasswordLength = 1;
    const bool cracked = InternetCrackUrlA(Url.c_str(), 0, 0, &parts) != FALSE;
    if (!cracked || (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
        !parts.lpszHostName || parts.dwHostNameLength == 0)
        return UniqueInternet(InternetOpenUrlA(Session, Url.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD, 0));
    const std::string host(parts.lpszHostName, parts.dwHostNameLength);
    const std::string user = parts.lpszUserName ? std::string(parts.lpszUserName, parts.dwUserNameLength) : "";
    const std::string password = parts.lpszPassword ? std::string(parts.lpszPassword, parts.dwPasswordLength) : "";
    std::string object;
    if (parts.lpszUrlPath) object.append(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo) object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (object.empty()) object.push_back('/');
    Connection = UniqueInternet(InternetConnectA(Session, host.c_str(), parts.nPort,
                                                 user.empty() ? nullptr : user.c_str(),
                                                 password.empty() ? nullptr : password.c_str(),
                                                 INTERNET_SERVICE_HTTP, 0, 0));
    if (!Connection.valid()) return UniqueInternet();
    SetTimeouts(Connection.get(), Timeouts);
    DWORD flags = INTERNET_FLAG_RELOAD;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
    UniqueInternet request(HttpOpenRequestA(Connection.get(), "GET", object.c_str(), nullptr, nullptr, nullptr, flags, 0));
    if (!request.valid()) return UniqueInternet();
    if (!HttpSendRequestA(request.get(), nullptr, 0, nullptr, 0)) {
        const DWORD error = GetLastError();
        request.reset();
        SetLastError(error);
        return UniqueInternet();
    }
    return request;
}

Variant ScaledByMtu(Variant Value, std::int32_t Mtu) {
    if (Mtu <= 0) return Value;
    return Variant::FromCurrencyCount(CheckedMul<std::int64_t>(Value.CurrencyCount(), Mtu));
}

std::int32_t MtuOption(const TItemOptionArray& Options) {
    return GetItemOption(Options, L"mtu", Variant(std::int32_t{0})).ToInt32();
}

}  // namespace

// ---- interpretation -----------------------------------------------------------------------

Variant PacketCount(std::uint32_t Counter, std::int32_t Mtu) {
    return ScaledByMtu(Variant::FromCurrencyCount(CheckedMul<std::int64_t>(Counter, 10000)), Mtu);
}

bool IpRates(const TIpSample& Previous, const TIpSample& Current, std::int32_t Mtu, Variant& In, Variant& Out) {
    if (Current.Seconds == 0 || Previous.Seconds == 0 || Current.Seconds == Previous.Seconds) return false;
    // A clock or a counter that went backwards (the tick count wrapped, a 32-bit counter
    // wrapped or was reset) gives no rate; the next sample starts afresh from this one.
    if (Current.Seconds < Previous.Seconds || Current.Received < Previous.Received || Current.Sent < Previous.Sent)
        return false;
    const double seconds = static_cast<double>(Current.Seconds - Previous.Seconds);
    const Variant in = ScaledByMtu(Variant::FromCurrency((Current.Received - Previous.Received) / seconds), Mtu);
    const Variant out = ScaledByMtu(Variant::FromCurrency((Current.Sent - Previous.Sent) / seconds), Mtu);
    In = in;
    Out = out;
    return true;
}

void StoreIpStatisticsRate(const TItemOptionArray& Options, const MIB_IPSTATS* Stats, DWORD TickMs,
                           TItemData& Data, std::wstring& Display) {
    Display.clear();
    const std::int32_t mtu = MtuOption(Options);
    const std::wstring display = GetItemOption(Options, L"display", Variant(L"%1")).ToText();
    try {
        if (Stats) {
            const TIpSample now{TickMs / 1000, Stats->dwInReceives, Stats->dwOutRequests};
            Variant in, out;
            if (IpRates(rateSample, now, mtu, in, out)) {
                SetFieldNames(Data.Names, {L"in", L"out"});
                AddDataRow(Data.Data, {in, out}, false);
                Display = FillDisplayTemplate(display, Data.Data.front());
            }
            rateSample = now;
        }
    } catch (const std::exception& e) {
        WriteLog(L"GetIPStatisticsRate: " + ErrorText + ExceptionMessage(e), llError);
    }
    WriteLog(L"IP Statistics Rate: " + Display, llData);
}

void ResetNetworkProviders() { rateSample = TIpSample{}; }

std::int32_t CountTcpConnections(TGetTcpTable Source) {
    ULONG size = 0;
    Source(nullptr, &size, TRUE);
    for (int read = 0; read < kTcpTableReads; ++read) {
        // Whole records, aligned, and at least the table's header.
        std::vector<std::uint64_t> buffer((std::max<std::size_t>(size, sizeof(MIB_TCPTABLE)) + 7) / 8, 0);
        const ULONG bytes = CheckedCast<ULONG>(buffer.size() * 8);
        ULONG have = bytes;
        auto* table = reinterpret_cast<MIB_TCPTABLE*>(buffer.data());
        const DWORD result = Source(table, &have, TRUE);
        if (result == NO_ERROR) return CheckedCast<std::int32_t>(table->dwNumEntries);
        // Connections opened since the size was asked: the size it asks for now.
        if (result != ERROR_INSUFFICIENT_BUFFER || have <= bytes) return 0;
        size = have;
    }
    return 0;
}

// ---- the routines -------------------------------------------------------------------------

void GetNetConnections(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    const std::int32_t count = CountTcpConnections(GetTcpTable);
    StoreSingleRow(Options, Data, Display, {L"net connections"}, {Variant(count)}, L"Network Connections: ");
}

void GetNetPackets(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    const std::int32_t mtu = MtuOption(Options);
    MIB_IPSTATS stats{};
    if (GetIpStatistics(&stats) == NO_ERROR)
        StoreSingleRow(Options, Data, Display, {L"in", L"out"},
                       {PacketCount(stats.dwInReceives, mtu), PacketCount(stats.dwOutRequests, mtu)}, nullptr);
    WriteLog(L"IP Statistics: " + Display, llData);
}

void GetIPStatisticsRate(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    MIB_IPSTATS stats{};
    const bool ok = GetIpStatistics(&stats) == NO_ERROR;
    StoreIpStatisticsRate(Options, ok ? &stats : nullptr, GetTickCount(), Data, Display);
}

struct TUrlHandles {
    UniqueInternet Session;
    UniqueInternet Connection;
    UniqueInternet Request;  // closed first
};

TUrlFetch FetchUrl(const std::string& Url, const TUrlLimits& Limits, const std::atomic<bool>& Abandoned,
                   std::shared_ptr<TUrlHandles>& Handles) {
    Handles = std::make_shared<TUrlHandles>();
    TUrlFetch fetch;
    auto fail = [&](const wchar_t* what) {
        fetch.Failure = what;
        fetch.Code = GetLastError();
        return fetch;
    };
    Handles->Session = UniqueInternet(InternetOpenA("Vistrel", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!Handles->Session.valid()) return fail(L"Unable to start an internet session for");
    SetTimeouts(Handles->Session.get(), Limits);
    Handles->Request = OpenUrl(Handles->Session.get(), Url, Limits, Handles->Connection);
    const UniqueInternet& request = Handles->Request;
    if (!request.valid()) return fail(L"Unable to open");
    // The server has answered (for HTTP its headers are in): from here on a fetch that
    // comes late did not finish, rather than gave no answer.
    MarkCallAnswering();
    char piece[kReadPiece];
    while (!Abandoned) {
        // Asking what has arrived first means that a read never waits for a whole piece:
        // a server that sends a byte at a time cannot keep the loop from looking at the
        // abandon flag.
        DWORD available = 0;
        if (!InternetQueryDataAvailable(request.get(), &available, 0, 0)) return fail(L"Unable to read");
        if (available == 0) break;
        if (fetch.Content.size() >= Limits.MaxBytes) {
            fetch.CutAtSizeCap = true;
            break;
        }
        const DWORD want = static_cast<DWORD>(
            std::min<std::size_t>({available, kReadPiece, Limits.MaxBytes - fetch.Content.size()}));
        DWORD got = 0;
        if (!InternetReadFile(request.get(), piece, want, &got)) return fail(L"Unable to read");
        if (got == 0) break;
        got = std::min(got, want);
        fetch.Content.append(piece, got);
        fetch.Pieces.push_back(got);
    }
    return fetch;
}

std::string GetUrlContent(const std::string& Url) { return GetUrlContent(Url, TUrlLimits{}); }

std::string GetUrlContent(const std::string& Url, const TUrlLimits& Limits) {
    if (Url.empty()) return {};
    std::string content;
    try {
        // The whole fetch, name lookup included, runs where it can be abandoned when the
        // item's time is up; no single wait inside may outlast it either, so that an
        // abandoned fetch soon ends by itself.
        const DWORD total = ItemTimeLeftMs();
        TUrlLimits limits = Limits;
        limits.Connect = std::min(limits.Connect, total);
        limits.Transfer = std::min(limits.Transfer, total);
        // Closing the handles may read the rest of a long body first (WinINet drains it to
        // keep the connection): they belong to the call alone, whose thread closes them
        // after it has given its answer.
        std::function<TUrlFetch(const std::atomic<bool>&)> call =
            [Url, limits, handles = std::make_shared<std::shared_ptr<TUrlHandles>>()](
                const std::atomic<bool>& abandoned) { return FetchUrl(Url, limits, abandoned, *handles); };
        const TUrlFetch fetch = RunAbandonable(std::move(call), total, AnsiToWide(Url));
        // A line per piece as it came, then the whole.
        std::size_t at = 0;
        for (const std::size_t size : fetch.Pieces) {
            WriteLog(L"GetUrlContent: " + AnsiToWide(fetch.Content.substr(at, size)), llData);
            at += size;
        }
        content = fetch.Content;
        if (!fetch.Failure.empty())
            WriteLog(L"GetUrlContent: " + ErrorText + fetch.Failure + L" " + AnsiToWide(Url) + L" (" +
                         InternetErrorText(fetch.Code) + L")",
                     llError);
        if (fetch.CutAtSizeCap)
            WriteLog(L"GetUrlContent: " + ErrorText + AnsiToWide(Url) + L" sent more than " +
                         std::to_wstring(limits.MaxBytes) + L" bytes; the rest was not read",
                     llError);
    } catch (const std::exception& e) {
        WriteLog(L"GetUrlContent: " + ErrorText + ExceptionMessage(e) + L" : " + AnsiToWide(content), llError);
    }
    WriteLog(L"GetUrlContent: " + AnsiToWide(content), llData);
    return content;
}

std::wstring HttpGetTurn(const TItemOptionArray& Options) {
    return L"HTTPGET " + GetItemOption(Options, L"source", Variant(L"")).ToText();
}

void GetHttpGet(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    const std::string source = WideToAnsi(GetItemOption(Options, L"source", Variant(L"")).ToText());
    const std::string content = GetUrlContent(source);
    StoreSingleRow(Options, Data, Display, {L"result"}, {Variant(AnsiToWide(content))}, L"Http Get: ");
}
