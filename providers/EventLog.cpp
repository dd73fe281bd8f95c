// EVENTLOG: the newest record of a Windows event log, and the time conversions it needs.
#include "EventLog.h"

#include <cstring>

#include "Includes.h"
#include "Log.h"
#include "Pipeline.h"
#include "Templates.h"
#include "Utils.h"
#include "WinHandles.h"

namespace {

constexpr double kUnixEpochDays = 25569;  // 1970-01-01 as days since 1899-12-30

// Offsets inside the fixed part of EVENTLOGRECORD.
constexpr std::size_t kLengthAt = 0, kTimeGeneratedAt = 12, kEventIdAt = 20, kEventTypeAt = 24, kNumStringsAt = 26,
                      kEventCategoryAt = 28, kStringOffsetAt = 36;

std::uint32_t ReadU32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::uint16_t ReadU16(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[noreturn]] void RaiseBadRecord(const wchar_t* what) { throw EEventLogRecordError(what); }

// The NUL-terminated 8-bit text at Pos, which must end before End; Pos moves behind its NUL.
std::wstring ReadRecordString(const std::uint8_t* Record, std::size_t& Pos, std::size_t End) {
    if (Pos >= End) RaiseBadRecord(L"Event log record string outside the record");
    const void* nul = std::memchr(Record + Pos, 0, End - Pos);
    if (!nul) RaiseBadRecord(L"Event log record string without end");
    const std::size_t length = static_cast<const std::uint8_t*>(nul) - (Record + Pos);
    std::string text(reinterpret_cast<const char*>(Record + Pos), length);
    Pos += length + 1;
    return AnsiToWide(text);
}

std::wstring MessageOf(const std::exception& e) {
    if (const auto* own = dynamic_cast<const Exception*>(&e)) return own->Message();
    return AnsiToWide(e.what());
}

}  // namespace

// ---- time conversions -----------------------------------------------------------------------

TIME_ZONE_INFORMATION CurrentTimeZone() {
    TIME_ZONE_INFORMATION zone{};
    if (GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) zone = UtcZone();
    return zone;
}

TIME_ZONE_INFORMATION UtcZone() { return TIME_ZONE_INFORMATION{}; }

double UnixTimeToDateTime(std::int64_t Seconds, double BiasDays) {
    return kUnixEpochDays + static_cast<double>(Seconds) / 86400.0 + BiasDays;
}

double UnixTimeToZoneDateTime(std::int64_t Seconds, const TIME_ZONE_INFORMATION& Zone) {
    // 100-ns units since 1601: 11644473600 s lie between 1601 and 1970.
    const std::uint64_t ticks = static_cast<std::uint64_t>(Seconds + 11644473600LL) * 10000000ULL;
    FILETIME utcTime{static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME utc{}, local{};
    TIME_ZONE_INFORMATION zone = Zone;
    if (Seconds < -11644473600LL || !FileTimeToSystemTime(&utcTime, &utc) ||
        !SystemTimeToTzSpecificLocalTime(&zone, &utc, &local))
        return UnixTimeToDateTime(Seconds, 0);
    return EncodeDateTime(local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond, 0);
}

double UnixTimeToLocalDateTime(std::int64_t Seconds) { return UnixTimeToZoneDateTime(Seconds, CurrentTimeZone()); }

// ---- the record --------------------------------------------------------------------------------

TEventLogRecord ParseEventLogRecord(const std::uint8_t* Buffer, std::size_t Size) {
    if (!Buffer || Size < kEventLogRecordFixedSize) RaiseBadRecord(L"Event log record truncated");
    const std::uint32_t length = ReadU32(Buffer + kLengthAt);
    if (length < kEventLogRecordFixedSize || length > Size) RaiseBadRecord(L"Event log record length out of range");

    TEventLogRecord record;
    record.TimeGenerated = ReadU32(Buffer + kTimeGeneratedAt);
    record.EventID = ReadU32(Buffer + kEventIdAt);
    record.EventType = ReadU16(Buffer + kEventTypeAt);
    record.EventCategory = ReadU16(Buffer + kEventCategoryAt);
    const std::uint16_t numStrings = ReadU16(Buffer + kNumStringsAt);
    const std::uint32_t stringOffset = ReadU32(Buffer + kStringOffsetAt);

    std::size_t pos = kEventLogRecordFixedSize;
    record.SourceName = ReadRecordString(Buffer, pos, length);
    record.ComputerName = ReadRecordString(Buffer, pos, length);

    if (numStrings > 0) {
        if (stringOffset < kEventLogRecordFixedSize || stringOffset >= length)
            RaiseBadRecord(L"Event log record string offset out of range");
        pos = stringOffset;
        for (std::uint16_t i = 0; i < numStrings; ++i) record.Strings.push_back(ReadRecordString(Buffer, pos, length));
    }
    return record;
}

const std::vector<std::wstring> kEventLogNames = {L"datetime",   L"eventid",      L"eventtype", L"taskcategory",
                                                  L"sourcename", L"computername", L"eventdata"};

TVarArray EventLogRow(const TEventLogRecord& Record, const TIME_ZONE_INFORMATION& Zone) {
    std::wstring eventData;
    for (std::size_t i = 0; i < Record.Strings.size(); ++i) {
        if (i > 0) eventData += L' ';
        eventData += Record.Strings[i];
    }
    return {
        Variant(DateTimeToText(UnixTimeToZoneDateTime(Record.TimeGenerated, Zone))),
        Variant(static_cast<std::int32_t>(Record.EventID & 0xFFFF)),
        Variant(static_cast<std::int32_t>(Record.EventType)),
        Variant(static_cast<std::int32_t>(Record.EventCategory)),
        Variant(Record.SourceName),
        Variant(Record.ComputerName),
        Variant(eventData),
    };
}

TEventLogRead ReadNewestEventLogRecord(const TEventLogReader& Read) {
    TEventLogRead read;
    DWORD size = kEventLogReadBufferSize;
    for (int attempt = 0; attempt < kEventLogReadAttempts; ++attempt) {
        read.Bytes.assign(size, 0);
        DWORD bytesRead = 0, needed = 0, error = 0;
        if (Read(read.Bytes.data(), size, bytesRead, needed, error)) {
            read.Ok = true;
            read.Error = 0;
            read.Bytes.resize(bytesRead < size ? bytesRead : size);
            return read;
        }
        read.Error = error;
        // A record larger than the buffer: the read did not move on, so the same record is
        // read again with the size the system asks for, while that stays within reason.
        if (error != ERROR_INSUFFICIENT_BUFFER || needed <= size || needed > kEventLogMaxRecordSize) break;
        size = needed;
    }
    read.Ok = false;
    read.Bytes.clear();
    return read;
}

void StoreEventLogRead(const TItemOptionArray& Options, const TEventLogRead& Read, const TIME_ZONE_INFORMATION& Zone,
                       TItemData& Data, std::wstring& Display) {
    if (!Read.Ok) {
        Display = ErrorText + SystemErrorText(Read.Error);
        return;
    }
    const TVarArray row = EventLogRow(ParseEventLogRecord(Read.Bytes.data(), Read.Bytes.size()), Zone);
    SetFieldNames(Data.Names, kEventLogNames);
    AddDataRow(Data.Data, row, false);
    Display = FillDisplayTemplate(GetItemOption(Options, L"display", Variant(L"%1")).ToText(), row);
}

// ---- the routine ----------------------------------------------------------------------------------

void GetEventLog(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    const std::wstring log = GetItemOption(Options, L"log", Variant(L"")).ToText();
    Display.clear();
    if (log.empty()) return;
    try {
        // The log handle and the buffer live inside this block: both are gone before an
        // error is logged.
        const UniqueEventLog handle(OpenEventLogA(nullptr, WideToAnsi(log).c_str()));
        if (!handle.valid()) return;
        DWORD count = 0;
        if (!GetNumberOfEventLogRecords(handle.get(), &count) || count == 0) return;
        // Sequential and backwards: the newest record comes first.
        const TEventLogRead read = ReadNewestEventLogRecord(
            [&](void* Buffer, DWORD Size, DWORD& BytesRead, DWORD& Needed, DWORD& Error) {
                if (ReadEventLogA(handle.get(), EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 1, Buffer, Size,
                                  &BytesRead, &Needed))
                    return true;
                Error = GetLastError();
                return false;
            });
        StoreEventLogRead(Options, read, CurrentTimeZone(), Data, Display);
    } catch (const std::exception& e) {
        WriteLog(L"GetEventLog: " + ErrorText + MessageOf(e) + L" : " + Display, llError);
    }
}
