// The one logging routine: a time-stamped UTF-16 line per call in the log file, and
// errors, information and warnings reported to the Windows event log.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

enum LogLevel : std::uint8_t {
    llDebug = 0,
    llError = 1,
    llInfo = 2,
    llData = 3,
    llWarn = 4,
    llDebugOnError = 5,  // never logged at; as a set bit it widens logging at the first error
    llMap = 6,
};

// Names as the log line shows them, padded to five characters where shorter.
extern const wchar_t* const LogLevelNames[7];

// Bit n enables level n; bit 0 enables every level.
extern std::atomic<std::uint8_t> LogLevels;
extern std::atomic<std::uint8_t> EventLogLevels;

// The log file's path (empty: nothing is written). Guarded: set from the window thread,
// read by every thread that logs.
void SetLogFileName(const std::wstring& path);
std::wstring GetLogFileName();

// Never raises. A call made while the same thread is already inside WriteLog is dropped;
// calls from other threads wait their turn.
void WriteLog(const std::wstring& Text, std::uint8_t Level);
void WriteEventLog(const std::wstring& Text, std::uint8_t Level);
// Reports a text to the event log as an entry of that type whatever EventLogLevels
// holds, for what a user must learn of before any log file is open; nothing with the
// switch p.
void ReportToEventLog(std::uint16_t EventType, const std::wstring& Text);

// Where event-log entries go: by default the "Vistrel" source of the local event log.
// Tests install their own sink to see the entry type and text.
using EventLogSink = std::function<void(std::uint16_t eventType, const std::wstring& text)>;
void SetEventLogSink(EventLogSink sink);

// The log line for a time and level (without the line break), as written to the file.
std::wstring FormatLogLine(const std::wstring& Text, std::uint8_t Level, int day, int month, int year, int hour,
                           int minute, int second, int ms);
// Starts the after-error window afresh (tests only).
void ResetLogState();
