#include "Log.h"

#include <windows.h>

#include <mutex>

#include "UrlUserInfo.h"
#include "Utils.h"
#include "WinHandles.h"

const wchar_t* const LogLevelNames[7] = {L"DEBUG", L"ERROR", L"INFO ", L"DATA ", L"WARN ", L"DEBUGONERROR", L"MAP  "};

std::atomic<std::uint8_t> LogLevels{0};
std::atomic<std::uint8_t> EventLogLevels{0};

namespace {

std::mutex logMutex;               // one writer in the file stage at a time
std::wstring logFileName;          // guarded by logMutex
int afterErrorCount = 0;           // guarded by logMutex
bool logFailureReported = false;   // guarded by logMutex: the file's failure went to the event log
thread_local bool insideWriteLog = false;

std::mutex sinkMutex;
EventLogSink eventSink;            // empty: the system event log

void ReportToSystemLog(std::uint16_t type, const std::wstring& text) {
    UniqueEventSource source(RegisterEventSourceW(nullptr, L"Vistrel"));
    if (!source.valid()) return;
    const wchar_t* strings[1] = {text.c_str()};
    ReportEventW(source.get(), type, 0, 0, nullptr, 1, 0, strings, nullptr);
}

wchar_t TimeSeparator() {
    static const wchar_t sep = [] {
        wchar_t buf[8] = {};
        return GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STIME, buf, 8) > 1 ? buf[0] : L':';
    }();
    return sep;
}

void AppendTwo(std::wstring& s, int v) {
    s += static_cast<wchar_t>(L'0' + v / 10 % 10);
    s += static_cast<wchar_t>(L'0' + v % 10);
}

// Decides whether a line of this level passes, updating the after-error window and the
// DEBUGONERROR widening as it goes.
bool LinePasses(std::uint8_t level) {
    const std::uint8_t levels = LogLevels.load();
    if (level == llError && (levels & 0x02)) {
        afterErrorCount = 20;
        return true;
    }
    if (level == llError && (levels & 0x20)) {
        LogLevels.fetch_or(0x4F);
        return true;
    }
    if (afterErrorCount > 0) {
        --afterErrorCount;
        return true;
    }
    if (levels & 0x01) return true;
    return (levels & (1u << level)) != 0;
}

// Appends Line to the file; the system's error code when it could not, else 0.
DWORD AppendToFile(const std::wstring& path, const std::wstring& line) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return GetLastError();
    if (SetFilePointer(file.get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR)
        return GetLastError();
    DWORD written = 0;
    if (!WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr))
        return GetLastError();
    return 0;
}

// Hands a text to the event-log sink, or to the system's event log.
void HandToEventLog(std::uint16_t type, const std::wstring& text) {
    EventLogSink sink;
    {
        std::lock_guard lock(sinkMutex);
        sink = eventSink;
    }
    try {
        if (sink) sink(type, text);
        else ReportToSystemLog(type, text);
    } catch (...) {
    }
}

}  // namespace

void SetLogFileName(const std::wstring& path) {
    std::lock_guard lock(logMutex);
    logFileName = path;
    logFailureReported = false;
}

std::wstring GetLogFileName() {
    std::lock_guard lock(logMutex);
    return logFileName;
}

void SetEventLogSink(EventLogSink sink) {
    std::lock_guard lock(sinkMutex);
    eventSink = std::move(sink);
}

void ResetLogState() {
    std::lock_guard lock(logMutex);
    afterErrorCount = 0;
}

std::wstring FormatLogLine(const std::wstring& Text, std::uint8_t Level, int day, int month, int year, int hour,
                           int minute, int second, int ms) {
    const wchar_t sep = TimeSeparator();
    std::wstring line;
    line.reserve(Text.size() + 40);
    AppendTwo(line, day);
    line += L'-';
    AppendTwo(line, month);
    line += L'-';
    AppendTwo(line, year % 100);
    line += L' ';
    AppendTwo(line, hour);
    line += sep;
    AppendTwo(line, minute);
    line += sep;
    AppendTwo(line, second);
    line += sep;
    line += static_cast<wchar_t>(L'0' + ms / 100 % 10);
    AppendTwo(line, ms % 100);
    line += L' ';
    line += LogLevelNames[Level];
    line += L' ';
    line += Text;
    return line;
}

void WriteLog(const std::wstring& Text, std::uint8_t Level) {
    if (Level > llMap || insideWriteLog) return;
    insideWriteLog = true;
    try {
        std::wstring failure;
        {
            std::lock_guard lock(logMutex);
            const bool passes = LinePasses(Level);
            if (passes && !logFileName.empty() && !HasCmdLineSwitch("p")) {
                SYSTEMTIME st;
                GetLocalTime(&st);
                // No user name or password given in a URL goes into the file.
                std::wstring line = FormatLogLine(WithoutUrlUserInfo(Text), Level, st.wDay, st.wMonth, st.wYear,
                                                  st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
                line += L"\r\n";
                // A log that cannot be written (a folder the user may not write to) is said
                // once, in the event log, the one place left that can hold it.
                const DWORD error = AppendToFile(logFileName, line);
                if (error != 0 && !logFailureReported) {
                    logFailureReported = true;
                    failure = L"WriteLog: [Error] the log file " + logFileName + L" cannot be written: error " +
                              std::to_wstring(error) + L" " + SystemErrorText(error);
                }
            }
        }
        if (!failure.empty()) HandToEventLog(EVENTLOG_ERROR_TYPE, failure);
        WriteEventLog(Text, Level);
    } catch (...) {
        // Logging never raises to its caller; a line that cannot be built is lost.
    }
    insideWriteLog = false;
}

void WriteEventLog(const std::wstring& Text, std::uint8_t Level) {
    if (Level > llMap || !(EventLogLevels.load() & (1u << Level)) || HasCmdLineSwitch("p")) return;
    std::uint16_t type;
    switch (Level) {
    case llError: type = EVENTLOG_ERROR_TYPE; break;
    case llInfo: type = EVENTLOG_INFORMATION_TYPE; break;
    case llWarn: type = EVENTLOG_WARNING_TYPE; break;
    default: return;
    }
    // Nor into the event log.
    HandToEventLog(type, WithoutUrlUserInfo(Text));
}

void ReportToEventLog(std::uint16_t EventType, const std::wstring& Text) {
    if (HasCmdLineSwitch("p")) return;
    HandToEventLog(EventType, WithoutUrlUserInfo(Text));
}
