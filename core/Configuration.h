// The configuration unit: the configured items and the loading of the ini files.
// Everything here runs on the window thread. A reload calls, in this order:
// ResetOptions, LoadIniFile, LoadItems, LoadLanguageFile, and LoadFallbackItem when
// ConfigItems is then empty.
#pragma once

#include <cstdint>
#include <string>

#include "ConfigItems.h"
#include "ItemTypes.h"
#include "Utils.h"

// The text whose height gives each item's line height.
extern std::wstring MeasuringText;

class TInfoFile;
class TVistrelMainForm;  // the main form: owner of the line-chart controls

// Start of the configuration unit: the table's labels and the unit's texts.
void InitializeConfiguration();
// End of the configuration unit: frees the configured items and the texts.
void FinalizeConfiguration();

// Locates the main ini file ("ini" switch, else the first argument naming a file, else
// "vistrel.ini" in the program folder, made from "vistrel-sample.ini" when missing),
// sets MainIniPath and reads its options. True when the options were read.
// ProgramDir (with a trailing backslash) and ProgramFile default to the running program.
bool LoadIniFile();
bool LoadIniFile(const std::wstring& ProgramDir, const std::wstring& ProgramFile);

// Which file an options load reads: only the main file sets the event-log levels.
enum class TOptionsFile { Main, Language };

// Reads one ini file's option sections into the option globals (each key with the
// global's current value as its default), relabels the configured items, and logs the
// program and Windows versions (ProgramFile: whose version is shown). True when the file
// existed and was read without an error.
bool LoadOptions(const std::wstring& Path, TOptionsFile Kind, const std::wstring& ProgramFile);

// The language file of the last load, resolved once (as given, else in the program
// folder; empty when neither exists): the loader, the menu and the watcher all use it.
extern std::wstring LanguageFilePath;
// The file a "language" option names: Language itself when that file exists, else
// ProgramDir + Language when that exists, else empty.
std::wstring ResolveLanguageFile(const std::wstring& Language, const std::wstring& ProgramDir);

// Reads the language file named by the option "language" (ResolveLanguageFile) and sets
// LanguageFilePath to it. True when one was read.
bool LoadLanguageFile();
bool LoadLanguageFile(const std::wstring& ProgramDir, const std::wstring& ProgramFile);

// Builds ConfigItems from the "items" section of MainIniPath (SetConfig; Form, which may
// be none, owns the line charts) and sets each item's LineHeight: the height of
// MeasuringText in the item's font, in the character set the form paints with, plus the
// line spacing. A section without lines logs
// "LoadItems: Error reading items" and leaves ConfigItems as it was.
void LoadItems(TVistrelMainForm* Form);
// Configures the single item "comment=active:1,text:Error loading config items",
// measured like every other item.
void LoadFallbackItem();
// Sets every item's LineHeight from its font in the character set Charset (see
// LoadItems).
void MeasureItemLineHeights(TConfigArray& Items, std::uint8_t Charset);
// The character set the form paints with once placement has applied "font-charset"
// (PaintingCharset); the default set when there is no form.
std::uint8_t PaintingCharsetOf(TVistrelMainForm* Form);

// The level set of a "log-level" value: words separated by blanks ("debug", "error",
// "info", "data", "warn", "debugonerror", "map"; "all" gives 255).
std::uint8_t ParseLogLevelWords(const std::wstring& Value);
// The level set of an "eventlog-level" value ("error", "info", "warn").
std::uint8_t ParseEventLogLevelWords(const std::wstring& Value);
// Logs "Vistrel version " with ProgramFile's version and the "Windows Version " line.
void LogVersionLines(const std::wstring& ProgramFile);
// The label an item takes from an ini file's "items" section (see LoadOptions).
std::wstring ItemLabelFrom(const TInfoFile& Ini, const TConfigItem& Item);
