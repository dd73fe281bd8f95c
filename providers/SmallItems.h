// Short gathering routines and actions: UNREADMAIL, TEXT, ENVVAR, IF, CONTROL, SET, CMD
// (SmallItems.cpp), SNAPSHOT (Snapshot.cpp) and CORETEMP (CoreTemp.cpp), and the
// placement of a CONTROL item's button or link during painting.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>

#include "ImageFiles.h"
#include "ItemTypes.h"

class TVistrelMainForm;

void GetUnreadMail(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetText(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetEnvVariable(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetIf(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetControl(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetSnapshot(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetCmd(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetSet(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetCoreTemp(TItemOptionArray Options, TItemData& Data, std::wstring& Display);

// Enters the nine routines into ItemTypeTable, installs SetupUserControl as painting's
// user-control hook and hands the items the main form's address (option "mainform").
void RegisterSmallItemProviders();

// Places, sizes and labels the item's button or link at Top/Left on Form (window thread,
// every painting pass); with RightToLeft its right edge goes to Right.
void SetupUserControl(TConfigItem& Item, TVistrelMainForm* Form, int Top, int Left, int Right, bool RightToLeft);

// ---- UNREADMAIL ---------------------------------------------------------------------------

// The sum of the integer values "MessageCount" of every subkey of KeyPath under Root
// (opened for reading). False when KeyPath does not open. An account key without an
// integer "MessageCount", or a sum past 32 bits, raises.
bool SumUnreadMail(HKEY Root, const std::string& KeyPath, std::int32_t& Total);

// ---- IF -----------------------------------------------------------------------------------

// False for a comparator outside the table (names compared exactly). The ordering
// comparators compare the texts in the system's 8-bit code page byte by byte, the plain
// forms after the system's lower-casing of that text; when both read as numbers written
// with the locale's decimal separator, the numbers (to four decimals) decide instead.
bool CompareValues(const std::wstring& Comparator, const std::wstring& Value1, const std::wstring& Value2,
                   bool& Result);
// The same with the decimal separator given.
bool CompareValues(const std::wstring& Comparator, const std::wstring& Value1, const std::wstring& Value2,
                   wchar_t DecimalSeparator, bool& Result);
// The field name an IF result is recorded under: the comparator, "neqs" for le and cle.
std::wstring IfFieldName(const std::wstring& Comparator);

// ---- CMD ----------------------------------------------------------------------------------

struct TCmdResult {
    bool Started = false;
    std::uint16_t LastError = 0;
    std::uint16_t ExitCode = 0;
};
// The wait of a CMD item: its wait-time, 0 when that is 0 or negative, and never more than
// the item has left of its time limit.
DWORD CmdWaitMs(std::int64_t WaitTime, DWORD TimeLeftMs);
// The "last error" of a CMD item: 0 when the start succeeded and the wait for its process
// (a start without a process has none) did not fail, whatever code the shell left behind
// on the way; otherwise ErrorAfter, the thread's error code right after the failed step.
DWORD CmdLastError(bool Started, bool WaitFailed, DWORD ErrorAfter);
// Starts File through the shell ("open", hidden unless ShowWindow says otherwise, no
// message boxes) and waits up to WaitMs for it. A process still running reports the
// system's still-active code 259.
TCmdResult RunShellCommand(const std::wstring& File, const std::wstring& Parameters, const std::wstring& Directory,
                           int ShowWindow, DWORD WaitMs);

// ---- SNAPSHOT -----------------------------------------------------------------------------

// The background colour of a snapshot: "#RRGGBB" or hexadecimal BBGGRR; Default when the
// text is not a colour.
std::int32_t SnapshotColor(const std::wstring& Text, std::int32_t Default);
// A picture of Width x Height in one colour (BBGGRR), opaque.
PixelImage SolidImage(int Width, int Height, std::int32_t Color);
// Draws Window onto Background with its top-left corner at (Left, Top), clipped; black
// pixels of Window leave the background visible. Drawn pixels are opaque.
void DrawTransparent(PixelImage& Background, const PixelImage& Window, int Left, int Top);
// The background picture: InFile when its extension (ignoring case) is ".png" or ".jpg"
// and it exists, else a Width x Height picture in Color.
PixelImage SnapshotBackground(const std::wstring& InFile, int Width, int Height, std::int32_t Color);
// Writes the picture by OutFile's extension: ".png" or ".jpg" (quality 90); any other
// raises "Unknown file type, " followed by the extension.
void WriteSnapshot(const std::wstring& OutFile, const PixelImage& Image);

// ---- CORETEMP -----------------------------------------------------------------------------

constexpr std::size_t kCoreTempBlockSize = 2686;
using TCoreTempBlock = std::array<std::uint8_t, kCoreTempBlockSize>;
constexpr char kCoreTempMappingName[] = "CoreTempMappingObject";

// True and Block filled when the CoreTemp program's shared area exists and maps; false
// otherwise.
bool ReadCoreTempData(TCoreTempBlock& Block);
struct TCoreTempReading {
    std::int32_t Highest = 0;
    std::wstring Unit;  // "C" or "F"
};
// The highest core temperature of a block; in distance mode each core's distance is
// taken from the TjMax of its processor. No processors or cores, more cores than the
// block holds temperatures for, in distance mode more processors than it holds TjMax
// entries for, or a highest value past 32 bits raises.
TCoreTempReading InterpretCoreTemp(const TCoreTempBlock& Block);
