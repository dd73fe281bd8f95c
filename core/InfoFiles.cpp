#include "InfoFiles.h"

#include <windows.h>

#include <set>

#include "Configuration.h"
#include "Includes.h"
#include "Log.h"
#include "Utils.h"
#include "WinHandles.h"

const std::array<const wchar_t*, 7> LanguageNames = {L"arabic", L"chinese", L"croatian", L"dutch",
                                                     L"french", L"italian", L"german"};
const std::array<const wchar_t*, 3> TextReferenceLines = {L"noresults=<n/a>", L"error=[error]",
                                                          L"null-result=<null>"};
const std::array<const wchar_t*, 9> PageReferenceLines = {L"1=Main Page", L"2=Windows", L"3=Network",
                                                          L"4=Hardware",  L"5=Memory",  L"6=Tools",
                                                          L"7=",          L"8=",        L"9="};

namespace {

std::wstring LanguagesFolder(const std::wstring& programDir) { return programDir + L"languages\\"; }

// A reference line with the old file's translation of its key, when there is one.
std::wstring TranslatedLine(const TInfoFile& old, const wchar_t* section, const std::wstring& reference) {
    const std::size_t eq = reference.find(L'=');
    if (eq == std::wstring::npos) return reference;
    const std::wstring translation = old.ReadString(section, reference.substr(0, eq), L"");
    return translation.empty() ? reference : reference.substr(0, eq + 1) + translation;
}

bool IsKeyword(const std::wstring& key) {
    const std::wstring lower = LowerAscii(key);
    for (const auto& row : ItemTypeTable)
        if (LowerAscii(AnsiToWide(row.Keyword)) == lower) return true;
    return false;
}

// Writes Bytes to "tmp" in Folder, then moves it over Target in one step; the old
// Target stays whole when anything fails, and no "tmp" is left behind. A failure is
// logged as an ERROR naming Target.
bool ReplaceFileWith(const std::wstring& folder, const std::wstring& target, const std::string& bytes) {
    const std::wstring tmp = folder + L"tmp";
    DeleteFileW(tmp.c_str());
    DWORD error = 0;
    {
        UniqueHandle file(CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD done = 0;
        if (!file.valid() || bytes.size() > 0x7FFFFFFF ||
            !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr))
            error = GetLastError();
        else if (done != bytes.size())
            error = ERROR_WRITE_FAULT;
    }
    if (error == 0 && MoveFileExW(tmp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    if (error == 0) error = GetLastError();
    DeleteFileW(tmp.c_str());
    if (error == 0) error = ERROR_WRITE_FAULT;
    WriteLog(L"GenerateLanguageFiles: " + ErrorPrefix() + target + L" cannot be written: error " +
                 std::to_wstring(error) + L" " + SystemErrorText(error),
             llError);
    return false;
}

}  // namespace

TWideStringArray ItemReferenceLines() {
    TWideStringArray lines;
    for (const auto& row : ItemTypeTable) lines.push_back(LowerAscii(AnsiToWide(row.Keyword)) + L"=" + row.Text);
    return lines;
}

TWideStringArray EnglishLanguageLines(const std::wstring& VersionText) {
    TWideStringArray lines = {
        L"# Vistrel v" + VersionText,
        L"# English language reference file.",
        L"# This file is not used. It is generated automatically and provided as an aid to translators.",
        L"# Item text in a language file is normally referenced by either the item ID or item LID",
        L"# defined in the main vistrel.ini file.",
        L"",
        L"[options]",
        L"",
        L"[text]",
    };
    lines.insert(lines.end(), TextReferenceLines.begin(), TextReferenceLines.end());
    lines.push_back(L"");
    lines.push_back(L"[pages]");
    lines.insert(lines.end(), PageReferenceLines.begin(), PageReferenceLines.end());
    lines.push_back(L"");
    lines.push_back(L"[items]");
    const TWideStringArray items = ItemReferenceLines();
    lines.insert(lines.end(), items.begin(), items.end());
    return lines;
}

TWideStringArray RebuiltLanguageLines(const TInfoFile& Old) {
    TWideStringArray lines;
    const std::wstring header = Old.ReadHeader();
    if (!header.empty()) {
        lines.push_back(header);
        lines.push_back(L"");
    }
    lines.push_back(L"[options]");
    lines.push_back(L"");
    lines.push_back(L"[text]");
    for (const wchar_t* ref : TextReferenceLines) lines.push_back(TranslatedLine(Old, L"text", ref));
    lines.push_back(L"");
    lines.push_back(L"[pages]");
    for (const wchar_t* ref : PageReferenceLines) lines.push_back(TranslatedLine(Old, L"pages", ref));
    lines.push_back(L"");
    lines.push_back(L"[items]");
    for (const auto& row : ItemTypeTable) {
        const std::wstring key = LowerAscii(AnsiToWide(row.Keyword));
        const std::wstring translation = Old.ReadString(L"items", key, L"");
        lines.push_back(key + L"=" + (translation.empty() ? row.Text : translation));
    }
    // Labels keyed by a language id follow the keyword lines, each key once.
    std::set<std::wstring> kept;
    for (const auto& line : Old.ReadSection(L"items")) {
        const std::size_t eq = line.find(L'=');
        if (eq == std::wstring::npos || eq == 0) continue;
        const std::wstring key = line.substr(0, eq);
        if (IsKeyword(key) || !kept.insert(LowerText(key)).second) continue;
        lines.push_back(line);
    }
    return lines;
}

void GenerateLanguageFiles() { GenerateLanguageFiles(ProgramDirectory(), ProgramFilePath()); }

void GenerateLanguageFiles(const std::wstring& ProgramDir, const std::wstring& ProgramFile) {
    WriteEnglishLanguageFile(ProgramDir, ProgramFile);
    for (const wchar_t* name : LanguageNames) UpdateLanguageFile(ProgramDir, name);
}

bool WriteEnglishLanguageFile() { return WriteEnglishLanguageFile(ProgramDirectory(), ProgramFilePath()); }

bool WriteEnglishLanguageFile(const std::wstring& ProgramDir, const std::wstring& ProgramFile) {
    try {
        std::string bytes;
        for (const auto& line : EnglishLanguageLines(GetFileVersionText(ProgramFile))) bytes += WideToAnsi(line) + "\r\n";
        const std::wstring folder = LanguagesFolder(ProgramDir);
        return ReplaceFileWith(folder, folder + L"english.ini", bytes);
    } catch (const std::exception&) {
        return false;
    }
}

bool UpdateLanguageFile(const std::wstring& Name) { return UpdateLanguageFile(ProgramDirectory(), Name); }

bool UpdateLanguageFile(const std::wstring& ProgramDir, const std::wstring& Name) {
    try {
        const std::wstring folder = LanguagesFolder(ProgramDir);
        const std::wstring path = folder + Name + L".ini";
        std::string bytes;
        for (const auto& line : RebuiltLanguageLines(TInfoFile(path))) bytes += WideToUtf8(line) + "\r\n";
        return ReplaceFileWith(folder, path, bytes);
    } catch (const std::exception&) {
        return false;
    }
}
