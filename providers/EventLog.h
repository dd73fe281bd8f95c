// Gathering routines for the newest event-log record (EVENTLOG, EventLog.cpp) and the
// terminal-server session facts (TSSESSIONS, SESSIONID, RDSSESSIONID, Sessions.cpp), and
// the two time conversions the event log needs. The platform calls sit in the routines;
// what they return is interpreted by the plain functions below.
#pragma once

#include <windows.h>

#include <wtsapi32.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Errors.h"
#include "ItemTypes.h"
#include "Variant.h"

// An event-log record that does not fit in the bytes read, or whose offsets point
// outside it.
VISTREL_EXCEPTION(EEventLogRecordError, Exception)

// ---- the gathering routines -------------------------------------------------------------
void GetEventLog(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetTSSessions(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetSessionID(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetRdsSessionID(TItemOptionArray Options, TItemData& Data, std::wstring& Display);

// Enters the four routines into ItemTypeTable.
void RegisterEventLogProviders();

// ---- time conversions -------------------------------------------------------------------

// The user's time zone and its rules (GetTimeZoneInformation); a zone without offset or
// daylight saving when the system gives none.
TIME_ZONE_INFORMATION CurrentTimeZone();
// A zone of UTC itself: no offset, no daylight saving.
TIME_ZONE_INFORMATION UtcZone();
// The local date and time, as a date-time number, of Seconds since 1970 UTC in Zone, by
// the zone's rules for that date (SystemTimeToTzSpecificLocalTime): half- and
// quarter-hour offsets and the daylight-saving time that held then, not now, included.
double UnixTimeToZoneDateTime(std::int64_t Seconds, const TIME_ZONE_INFORMATION& Zone);
// The same in the user's zone.
double UnixTimeToLocalDateTime(std::int64_t Seconds);
// 1 January 1970 plus Seconds / 86400 days plus BiasDays.
double UnixTimeToDateTime(std::int64_t Seconds, double BiasDays);

// ---- the event-log record ----------------------------------------------------------------

// The fixed part of EVENTLOGRECORD.
constexpr std::size_t kEventLogRecordFixedSize = 56;
// The newest record is first read into a buffer of this size; a larger record is read
// again with the size the system asks for, up to the largest read the system accepts.
constexpr DWORD kEventLogReadBufferSize = 1024;
constexpr DWORD kEventLogMaxRecordSize = 0x7FFFF;
// Reads of the newest record at most (a record that grows between reads asks again).
constexpr int kEventLogReadAttempts = 3;

struct TEventLogRecord {
    std::uint32_t TimeGenerated = 0;  // seconds since 1970, UTC
    std::uint32_t EventID = 0;
    std::uint16_t EventType = 0;
    std::uint16_t EventCategory = 0;
    std::wstring SourceName;
    std::wstring ComputerName;
    std::vector<std::wstring> Strings;  // the insertion strings
};

// The first record of Size bytes as ReadEventLogA returned them. Every length and offset
// is checked against the record and the bytes read: a record that does not fit, a name or
// an insertion string without its terminating NUL inside the record, or a string offset
// outside it raise EEventLogRecordError.
TEventLogRecord ParseEventLogRecord(const std::uint8_t* Buffer, std::size_t Size);

// The EVENTLOG field names and the row of a record, datetime as local date-time text.
extern const std::vector<std::wstring> kEventLogNames;
TVarArray EventLogRow(const TEventLogRecord& Record, const TIME_ZONE_INFORMATION& Zone);

// What the read of the newest record gave: the bytes read, or the error of a failed read.
struct TEventLogRead {
    bool Ok = false;
    DWORD Error = 0;
    std::vector<std::uint8_t> Bytes;
};
// One ReadEventLogA of the newest record into Buffer of Size bytes: true with the bytes
// read, or false with the error and, for a buffer too small, the size needed.
using TEventLogReader =
    std::function<bool(void* Buffer, DWORD Size, DWORD& BytesRead, DWORD& Needed, DWORD& Error)>;
// The newest record through Read: a first read of kEventLogReadBufferSize bytes, and a
// record that does not fit read again with the size asked for (at most
// kEventLogMaxRecordSize, at most kEventLogReadAttempts reads). A failed read gives the
// error of the last read.
TEventLogRead ReadNewestEventLogRecord(const TEventLogReader& Read);
// Fills the item from one read: on success the record's row and the display template; on
// failure no row and ErrorText followed by the system's text of the error. A record that
// does not parse raises.
void StoreEventLogRead(const TItemOptionArray& Options, const TEventLogRead& Read, const TIME_ZONE_INFORMATION& Zone,
                       TItemData& Data, std::wstring& Display);

// ---- sessions ----------------------------------------------------------------------------

// The station names of a session list as WTSEnumerateSessionsA returned it (a missing
// name gives empty text); no sessions for a null list.
std::vector<std::wstring> StationNames(const WTS_SESSION_INFOA* Sessions, DWORD Count);
// The names joined by ", ".
std::wstring JoinStationNames(const std::vector<std::wstring>& Names);
// The TSSESSIONS row: the count and the names.
TVarArray TSSessionsRow(std::uint32_t Count, const std::wstring& Names);
// A session or process id as a currency value.
Variant IdValue(DWORD Id);
// The SESSIONID row, or none when no session is attached to the console (all ones).
std::optional<TVarArray> ConsoleSessionRow(DWORD SessionId);
