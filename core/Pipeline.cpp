#include "Pipeline.h"

#include <windows.h>

#include <algorithm>

#include "Errors.h"
#include "Includes.h"
#include "Log.h"
#include "OutputPaths.h"
#include "Templates.h"
#include "TimeLimits.h"
#include "Utils.h"
#include "WinHandles.h"

bool DoProc(TGatherProc Routine, TItemOptionArray Options, TItemData& Data) {
    const wchar_t* step = L"run procedure";
    std::wstring display;
    try {
        Data.TimeCollected = NowDateTime();
        // The routine starts from no result: one that makes no row (its process is gone,
        // its source vanished, the read failed) leaves none, and no field names, of an
        // earlier collection to the CSV output, the thresholds and the charts.
        Data.Names.clear();
        Data.Data.clear();
        if (Routine) {
            // Every wait inside the routine takes its bound from this limit.
            const TItemTimeLimit limit;
            Routine(Options, Data, display);
        }

        step = L"process results";
        if (!display.empty()) {
            step = L"replacevariables";
            display = ExpandUserFunctions(ExpandVariables(display));
        }
        const std::wstring variable = GetItemOption(Options, L"set", Variant(L"")).ToText();
        if (!variable.empty()) SetVariable(variable, display);

        step = L"split lines";
        SplitDisplayLine(display, Data.Lines);

        const std::wstring csv = GetItemOption(Options, L"csv", Variant(L"")).ToText();
        const std::int32_t csvDataType = GetItemOption(Options, L"csvdatatype", Variant(std::int32_t{0})).ToInt32();
        // A file named without a folder goes beside the program, wherever it was started.
        if (!csv.empty()) WriteCsv(ConfiguredOutputPath(csv), Data, csvDataType == 1);
        return true;
    } catch (const std::exception& e) {
        WriteLog(L"DoProc: " + ErrorText + ExceptionText(e) + L" Step:" + step, llError);
    } catch (...) {
        WriteLog(L"DoProc: " + ErrorText + L"Exception Unknown exception Step:" + step, llError);
    }
    return false;
}

void SetFieldNames(TWideStringArray& Names, const std::vector<std::wstring>& Values) { Names = Values; }

void AddDataRow(TDataArray& Rows, const std::vector<Variant>& Values, bool Append) {
    if (!Append) Rows.clear();
    Rows.push_back(TVarArray(Values.begin(), Values.end()));
}

std::string VariantToCsvText(const Variant& Value) {
    if (Value.IsEmpty() || Value.IsNull()) return {};
    return WideToAnsi(Value.ToText());
}

namespace {

// One field between double quotes, a quote inside it doubled.
void AppendField(std::string& line, const std::string& text) {
    line += '"';
    for (char c : text) {
        if (c == '"') line += '"';
        line += c;
    }
    line += '"';
}

std::string CsvText(const std::wstring& text) { return WideToAnsi(text); }

std::string CsvContent(const TItemData& Data, bool LinesLayout, bool withHeader) {
    std::string out;
    if (withHeader) {
        AppendField(out, "Time Collected");
        for (const std::wstring& name : Data.Names) {
            out += ',';
            AppendField(out, CsvText(name));
        }
        out += "\r\n";
    }
    const std::string time = CsvText(DateTimeToText(Data.TimeCollected));
    if (LinesLayout) {
        for (const std::wstring& line : Data.Lines) {
            AppendField(out, time);
            out += ',';
            AppendField(out, CsvText(line));
            out += "\r\n";
        }
    } else {
        for (const TVarArray& row : Data.Data) {
            AppendField(out, time);
            for (const Variant& value : row) {
                out += ',';
                AppendField(out, VariantToCsvText(value));
            }
            out += "\r\n";
        }
    }
    return out;
}

}  // namespace

bool WriteCsv(const std::wstring& FileName, const TItemData& Data, bool LinesLayout) {
    if (FileName.empty()) return false;
    try {
        UniqueHandle file(CreateFileW(FileName.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        bool created = false;
        if (!file.valid()) {
            if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
            file.reset(CreateFileW(FileName.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file.valid()) return false;
            created = true;
        }
        const std::string content = CsvContent(Data, LinesLayout, created);
        std::size_t done = 0;
        while (done < content.size()) {
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(content.size() - done, 1u << 20));
            DWORD written = 0;
            if (!WriteFile(file.get(), content.data() + done, chunk, &written, nullptr) || written == 0) return false;
            done += written;
        }
        return true;
    } catch (...) {
        // A CSV file that cannot be written costs its lines, never the collection.
    }
    return false;
}
