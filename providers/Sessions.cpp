// TSSESSIONS, SESSIONID and RDSSESSIONID: the terminal-server sessions of the local server,
// the console's session and the session of this process.
#include "EventLog.h"

#include "Checked.h"
#include "Log.h"
#include "SystemInfo.h"
#include "Tools.h"
#include "Utils.h"
#include "WinHandles.h"

namespace {

namespace wts_release {
inline void Server(HANDLE h) { WTSCloseServer(h); }
inline void Memory(WTS_SESSION_INFOA* p) { WTSFreeMemory(p); }
}  // namespace wts_release

using UniqueWtsServer = UniqueResource<HANDLE, wts_release::Server>;
using UniqueWtsSessions = UniqueResource<WTS_SESSION_INFOA*, wts_release::Memory>;

constexpr DWORD kNoSession = 0xFFFFFFFF;

}  // namespace

// ---- interpretation --------------------------------------------------------------------------

std::vector<std::wstring> StationNames(const WTS_SESSION_INFOA* Sessions, DWORD Count) {
    std::vector<std::wstring> names;
    if (!Sessions) return names;
    names.reserve(Count);
    for (DWORD i = 0; i < Count; ++i) {
        const char* station = Sessions[i].pWinStationName;
        names.push_back(station ? AnsiToWide(station) : std::wstring());
    }
    return names;
}

std::wstring JoinStationNames(const std::vector<std::wstring>& Names) {
    std::wstring text;
    for (const std::wstring& name : Names) text += name + L", ";
    if (text.size() > 1) text.resize(text.size() - 2);
    return text;
}

TVarArray TSSessionsRow(std::uint32_t Count, const std::wstring& Names) {
    return {Variant(CheckedCast<std::int32_t>(Count)), Variant(Names)};
}

Variant IdValue(DWORD Id) { return Variant::FromCurrencyCount(CheckedMul<std::int64_t>(Id, 10000)); }

std::optional<TVarArray> ConsoleSessionRow(DWORD SessionId) {
    if (SessionId == kNoSession) return std::nullopt;
    return TVarArray{IdValue(SessionId)};
}

// ---- the routines ------------------------------------------------------------------------------

void GetTSSessions(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    std::uint32_t count = 0;
    std::wstring names;
    // A null server name is the local server.
    const UniqueWtsServer server(WTSOpenServerA(nullptr));
    if (server.valid()) {
        WTS_SESSION_INFOA* list = nullptr;
        DWORD listCount = 0;
        if (WTSEnumerateSessionsA(server.get(), 0, 1, &list, &listCount)) {
            const UniqueWtsSessions owned(list);
            names = JoinStationNames(StationNames(list, listCount));
            count = listCount;
        } else {
            names = GetLastErrorText();
        }
    }
    StoreSingleRow(Options, Data, Display, {L"ts sessions"}, TSSessionsRow(count, names), L"GetTSSessions: ");
}

void GetSessionID(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    std::optional<TVarArray> row;
    if (auto consoleSession = OptionalApis.WTSGetActiveConsoleSessionId) row = ConsoleSessionRow(consoleSession());
    if (row)
        StoreSingleRow(Options, Data, Display, {L"var", L"sessionid"}, *row, nullptr);
    WriteLog(L"GetSessionID: " + Display, llData);
}

void GetRdsSessionID(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    const auto currentProcessId = OptionalApis.GetCurrentProcessId;
    const auto processIdToSessionId = OptionalApis.ProcessIdToSessionId;
    if (currentProcessId && processIdToSessionId) {
        const DWORD processId = currentProcessId();
        DWORD sessionId = 0;
        if (processId != kNoSession && processIdToSessionId(processId, &sessionId))
            StoreSingleRow(Options, Data, Display, {L"var", L"processid", L"sessionid"},
                           {IdValue(processId), IdValue(sessionId)}, nullptr);
    }
    // The same tag as SESSIONID.
    WriteLog(L"GetSessionID: " + Display, llData);
}

void RegisterEventLogProviders() {
    RegisterGatherProc("EVENTLOG", GetEventLog);
    RegisterGatherProc("TSSESSIONS", GetTSSessions);
    RegisterGatherProc("SESSIONID", GetSessionID);
    RegisterGatherProc("RDSSESSIONID", GetRdsSessionID);
}
