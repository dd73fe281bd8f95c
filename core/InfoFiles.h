// The language files: the English reference file for translators and the rebuild of the
// shipped language files, so that each holds every current key with its translation or,
// lacking one, the English text. Run by the command-line switch "e".
#pragma once

#include <array>
#include <string>

#include "IniFiles.h"
#include "ItemTypes.h"

// The shipped languages, in the order they are rebuilt (file name = name + ".ini").
extern const std::array<const wchar_t*, 7> LanguageNames;
// Reference lines of the sections "text" and "pages".
extern const std::array<const wchar_t*, 3> TextReferenceLines;
extern const std::array<const wchar_t*, 9> PageReferenceLines;
// One line per keyword-table row, in table order: keyword in lower case, "=", label.
TWideStringArray ItemReferenceLines();

// The lines of "english.ini" for the given program version text.
TWideStringArray EnglishLanguageLines(const std::wstring& VersionText);
// The lines of a rebuilt language file from the old file's content: its header, every
// reference key with the old translation or the English text, and the labels keyed by
// a language id that the old "items" section holds.
TWideStringArray RebuiltLanguageLines(const TInfoFile& Old);

// Writes english.ini and rebuilds the seven language files in ProgramDir\languages\.
// A file that cannot be written is an ERROR line naming it; it is skipped and the next
// one is done.
void GenerateLanguageFiles();
void GenerateLanguageFiles(const std::wstring& ProgramDir, const std::wstring& ProgramFile);
// Writes "english.ini" (8-bit text in the system code page, CR LF). True when written.
bool WriteEnglishLanguageFile();
bool WriteEnglishLanguageFile(const std::wstring& ProgramDir, const std::wstring& ProgramFile);
// Rebuilds one language's file (UTF-8, CR LF). The new file replaces the old one in one
// step, so a failed write never loses the translations. True when written.
bool UpdateLanguageFile(const std::wstring& Name);
bool UpdateLanguageFile(const std::wstring& ProgramDir, const std::wstring& Name);
