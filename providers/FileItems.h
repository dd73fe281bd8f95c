// Gathering routines that read files: FILE (the value of the item's file watch),
// FILECONTENTS1 and FILECONTENTS2 (a text file's lines), FILEEXIST, FILE2TEXT (the
// key=value lines of a text file) and DATADUMP (every collected item's data written to
// CSV files). The file and key options have their user variables expanded first.
#pragma once

#include <string>
#include <vector>

#include "ItemTypes.h"

void GetFileWatch(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetFileContents(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetFileExists(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetFile2Text(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetDataDump(TItemOptionArray Options, TItemData& Data, std::wstring& Display);

// Enters the routines into ItemTypeTable and installs the file watch seams.
void RegisterFileProviders();
// Program end: frees the file watches.
void FinalizeFileProviders();

// Path itself when a file exists there; else ProgramDir + Path when a file exists there;
// else Path.
std::wstring ResolveProgramFile(const std::wstring& Path, const std::wstring& ProgramDir);

// One FILE2TEXT row: the text before the first "=" and the text after it.
struct TKeyValueLine {
    std::wstring Key;
    std::wstring Value;
};
// The lines that hold "=", split at the first one; with a Key given, only those whose key
// equals it ignoring case.
std::vector<TKeyValueLine> KeyValueLines(const std::vector<std::wstring>& Lines, const std::wstring& Key);

// "yyyymmddhhnnss" of a date-time (days since 1899-12-30), seconds truncated.
std::wstring DumpTimeStamp(double DateTime);
// Text made safe as part of a file name: every character a file name cannot hold (the
// path separators, ":", "*", "?", quote, "<", ">", "|" and control characters) becomes
// "_", so the name stays one file inside its folder.
std::wstring SafeFileNamePart(const std::wstring& Text);
// The CSV file of one dumped item: Dir (ending in "\"), the language id or else the
// keyword made safe (SafeFileNamePart), "_", the stamp of its collection time and ".csv".
std::wstring DumpFileName(const std::wstring& Dir, const TConfigItem& Item);
// The same from the name and the collection time.
std::wstring DumpFilePath(const std::wstring& Dir, const std::wstring& Name, double TimeCollected);
// Creates Dir and every missing folder above it (relative to the current directory when
// it is relative); true when it exists afterwards.
bool ForceDirectories(const std::wstring& Dir);
