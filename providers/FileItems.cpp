// FILE, FILECONTENTS1/2, FILEEXIST, FILE2TEXT and DATADUMP.
#include "FileItems.h"

#include <windows.h>

#include <cmath>
#include <string_view>

#include "Checked.h"
#include "Configuration.h"
#include "FileWatch.h"
#include "Includes.h"
#include "Log.h"
#include "NativePaths.h"
#include "OutputPaths.h"
#include "Pipeline.h"
#include "SystemInfo.h"
#include "Templates.h"
#include "Threads.h"
#include "Utils.h"
#include "WinApp.h"

namespace {

std::wstring OptionText(const TItemOptionArray& Options, const wchar_t* Name, const wchar_t* Default) {
    return GetItemOption(Options, Name, Variant(Default)).ToText();
}

std::wstring ExpandedOption(const TItemOptionArray& Options, const wchar_t* Name) {
    return ExpandVariables(OptionText(Options, Name, L""));
}

// Days since 1970-01-01 to a Gregorian date.
void CivilDate(long long z, int& y, int& m, int& d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

std::wstring TwoDigits(int v) { return std::wstring(1, L'0' + v / 10) + std::wstring(1, L'0' + v % 10); }

// What a dump needs of one item, copied on the window thread.
struct TDumpEntry {
    std::wstring Name;  // the language id, else the keyword (for the log)
    double TimeCollected = 0;
    TItemData Data;
};

std::vector<TDumpEntry> DumpEntries(const TConfigArray& Items) {
    std::vector<TDumpEntry> entries;
    for (const TConfigItem& item : Items)
        if (item.Active && item.ItemData.TimeCollected > 0 && item.Keyword != "DATADUMP")
            entries.push_back({!item.Lid.empty() ? item.Lid : AnsiToWide(item.Keyword), item.ItemData.TimeCollected,
                               item.ItemData});
    return entries;
}

// The item array the "config" option names. It can only be the configured items: any
// other address (a value written in the item line, say) is refused rather than read.
const TConfigArray& DumpedItems(const TItemOptionArray& Options) {
    const std::int64_t address = GetItemOption(Options, L"config", Variant(std::int64_t{0})).ToInt64();
    if (address == 0 || address != static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(&ConfigItems)))
        throw EConvertError(L"No configured items");
    return ConfigItems;
}

}  // namespace

// ---- interpretation -------------------------------------------------------------------

std::wstring ResolveProgramFile(const std::wstring& Path, const std::wstring& ProgramDir) {
    if (FileExists(Path)) return Path;
    const std::wstring inProgramDir = ProgramDir + Path;
    if (!Path.empty() && FileExists(inProgramDir)) return inProgramDir;
    return Path;
}

std::vector<TKeyValueLine> KeyValueLines(const std::vector<std::wstring>& Lines, const std::wstring& Key) {
    std::vector<TKeyValueLine> rows;
    for (const std::wstring& line : Lines) {
        const std::size_t eq = line.find(L'=');
        if (eq == std::wstring::npos) continue;
        TKeyValueLine row{line.substr(0, eq), line.substr(eq + 1)};
        if (!Key.empty() && !SameTextIgnoreCase(row.Key, Key)) continue;
        rows.push_back(std::move(row));
    }
    return rows;
}

std::wstring DumpTimeStamp(double DateTime) {
    if (!std::isfinite(DateTime) || DateTime < 0 || DateTime > 2958466) throw EConvertError(L"Invalid date");
    long long day = static_cast<long long>(std::floor(DateTime));
    long long ms = std::llround((DateTime - static_cast<double>(day)) * 86400000.0);
    if (ms >= 86400000) {
        ms -= 86400000;
        ++day;
    }
    int y, m, d;
    CivilDate(day - 25569, y, m, d);
    const long long secs = ms / 1000;
    return std::to_wstring(y) + TwoDigits(m) + TwoDigits(d) + TwoDigits(static_cast<int>(secs / 3600)) +
           TwoDigits(static_cast<int>(secs / 60 % 60)) + TwoDigits(static_cast<int>(secs % 60));
}

std::wstring SafeFileNamePart(const std::wstring& Text) {
    std::wstring safe = Text;
    for (wchar_t& c : safe)
        if (c < L' ' || std::wstring_view(L"\\/:*?\"<>|").find(c) != std::wstring_view::npos) c = L'_';
    return safe;
}

std::wstring DumpFilePath(const std::wstring& Dir, const std::wstring& Name, double TimeCollected) {
    return Dir + SafeFileNamePart(Name) + L"_" + DumpTimeStamp(TimeCollected) + L".csv";
}

std::wstring DumpFileName(const std::wstring& Dir, const TConfigItem& Item) {
    return DumpFilePath(Dir, !Item.Lid.empty() ? Item.Lid : AnsiToWide(Item.Keyword), Item.ItemData.TimeCollected);
}

bool ForceDirectories(const std::wstring& Dir) {
    std::wstring path = Dir;
    while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    if (path.empty()) return false;
    const DWORD attrs = GetFileAttributesW(path.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES) return (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const std::size_t cut = path.find_last_of(L"\\/");
    // "C:" and "\\server\share" are not made here; a parent of them is not needed.
    if (cut != std::wstring::npos && cut > 0 && !(cut == 2 && path[1] == L':') && path.substr(0, cut).back() != L':')
        if (!ForceDirectories(path.substr(0, cut))) return false;
    if (CreateDirectoryW(path.c_str(), nullptr)) return true;
    const DWORD now = GetFileAttributesW(path.c_str());
    return now != INVALID_FILE_ATTRIBUTES && (now & FILE_ATTRIBUTE_DIRECTORY);
}

// ---- the gathering routines -------------------------------------------------------------

void GetFileWatch(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    const std::wstring display = OptionText(Options, L"display", L"%1");
    const std::wstring path = ExpandedOption(Options, L"file");
    const auto id = CheckedCast<std::uint32_t>(GetItemOption(Options, L"crc32", Variant(std::int32_t{0})).ToInt64());
    Variant value;
    std::size_t count = 0;
    const bool found = WatchItems->FindValue(id, value, count);
    WriteLog(L"GetFileWatch: " + path + L" " + std::to_wstring(count), llDebug);
    if (!found) return;
    AddDataRow(Data.Data, {Variant(path), value}, false);
    SetFieldNames(Data.Names, {L"file name", L"data"});
    Display = FillDisplayTemplate(display, Data.Data.front());
    WriteLog(L"GetFileWatch: " + Display, llData);
}

void GetFileContents(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    const std::wstring path = NativeSystemPath(ResolveProgramFile(ExpandedOption(Options, L"file"), ProgramDirectory()));
    if (FileExists(path)) {
        std::wstring text;
        for (const std::wstring& line : ReadUtf8FileLines(path)) text += line + L"|";
        Display = text;
    } else {
        Display = ErrorText;
    }
    WriteLog(L"GetFileContents: " + Display, llData);
}

void GetFileExists(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    const bool exists = FileExists(NativeSystemPath(ExpandedOption(Options, L"file")));
    StoreSingleRow(Options, Data, Display, {L"exists"}, {Variant(exists)}, L"GetFileExists: ");
}

void GetFile2Text(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    const std::wstring path = NativeSystemPath(ResolveProgramFile(ExpandedOption(Options, L"file"), ProgramDirectory()));
    const std::wstring key = ExpandedOption(Options, L"key");
    OptionText(Options, L"display", L"%1");  // read, but the lines are the display
    if (FileExists(path)) {
        TDataArray rows;
        std::wstring text;
        for (const TKeyValueLine& line : KeyValueLines(ReadUtf8FileLines(path), key)) {
            rows.push_back({Variant(line.Key), Variant(line.Value)});
            text += line.Key + L"=" + line.Value + L"|";
        }
        if (!text.empty()) text.pop_back();
        Data.Data = std::move(rows);
        SetFieldNames(Data.Names, {L"key", L"value"});
        Display = text;
    } else {
        // A file that is gone has no lines: the last collection's rows must not live on
        // in the CSV output and the thresholds.
        Data.Data.clear();
    }
    WriteLog(L"GetFile2Text: " + Display, llData);
}

void GetDataDump(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    std::wstring dir = OptionText(Options, L"dir", L"");
    const std::wstring display = OptionText(Options, L"display", L"%1");
    if (dir.empty()) throw EInOutError(L"No dump directory");
    // A folder named without its place goes beside the program, wherever it was started.
    dir = ConfiguredOutputPath(dir);
    if (dir.back() != L'\\') dir += L'\\';
    const TConfigArray& items = DumpedItems(Options);
    if (!ForceDirectories(dir)) {
        WriteLog(L"DoDataDump: Failed to create directory: " + dir, llError);
        return;
    }
    std::wstring text;
    try {
        // The items are copied where the window thread cannot change them meanwhile;
        // the files are written here.
        std::vector<TDumpEntry> entries;
        if (!Synchronize([&] { entries = DumpEntries(items); })) entries = DumpEntries(items);
        std::int32_t count = 0;
        // One file that cannot be named or written costs that file only: it is logged and
        // the dump goes on with the next item.
        for (const TDumpEntry& e : entries) {
            std::wstring file;
            try {
                file = DumpFilePath(dir, e.Name, e.TimeCollected);
                if (!WriteCsv(file, e.Data, false)) throw EInOutError(L"Cannot write \"" + file + L"\"");
                count = CheckedAdd<std::int32_t>(count, 1);
            } catch (const std::exception& ex) {
                WriteLog(L"GetDataDump: " + ErrorText + ExceptionMessage(ex) + L" : " + (file.empty() ? e.Name : file),
                         llError);
            }
        }
        AddDataRow(Data.Data, {Variant(count), Variant(DateTimeToText(NowDateTime()))}, false);
        SetFieldNames(Data.Names, {L"items written", L"time written"});
        text = FillDisplayTemplate(display, Data.Data.front());
    } catch (const std::exception& e) {
        WriteLog(L"GetDataDump: " + ErrorText + ExceptionMessage(e) + L" : " + text, llError);
    }
    Display = text;
    WriteLog(L"GetDataDump: " + Display, llData);
}

// ---- registration -----------------------------------------------------------------------

void RegisterFileProviders() {
    RegisterGatherProc("FILE", GetFileWatch);
    RegisterGatherProc("FILECONTENTS1", GetFileContents);
    RegisterGatherProc("FILECONTENTS2", GetFileContents);
    RegisterGatherProc("FILEEXIST", GetFileExists);
    RegisterGatherProc("FILE2TEXT", GetFile2Text);
    RegisterGatherProc("DATADUMP", GetDataDump);
    InstallFileWatchHooks();
}

void FinalizeFileProviders() { FreeFileWatches(); }
