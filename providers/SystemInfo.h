// Gathering routines for the clock, the computer and the operating system: DATETIME,
// BOOTTIME, UPTIME, LOADTIME, TIMEZONE (TimeInfo.cpp) and HOST, USER, OEMINFO, CPUTYPE,
// OSBUILD, SERVICEPACK, IEVERSION, DIRECTX (SystemInfo.cpp). Each stores one row with
// its field names and fills the "display" template (default "%1") from it.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Errors.h"
#include "ItemTypes.h"
#include "Variant.h"

VISTREL_EXCEPTION(ERegistryException, Exception)

// ---- the gathering routines -------------------------------------------------------------
void GetDateTime(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetBootTime(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetUpTime(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetLoadTime(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetTimeZone(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetHost(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetUser(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetOemInfo(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetCpuType(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetOsBuild(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetServicePack(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetIeVersion(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetDirectXVersion(TItemOptionArray Options, TItemData& Data, std::wstring& Display);

// Enters the thirteen routines into ItemTypeTable.
void RegisterSystemInfoProviders();

// ---- registry ---------------------------------------------------------------------------

// The string value ValueName of KeyPath under RootKey (opened for reading in the default
// view, never created; a leading backslash of KeyPath is dropped), trimmed of blanks and
// control characters at both ends. A key that does not open, or a value missing or
// without data, gives "". A value that is not a string raises ERegistryException.
std::string ReadRegString(HKEY RootKey, const std::string& KeyPath, const std::string& ValueName);

// CurrentVersion of Windows NT as a currency value ("6.3" gives 6.3); 0 on any failure.
Variant GetOsCurrentVersion();
// Text read in the user's number format (DecimalSeparator) as a currency value; 0 when
// it is not a number in that format.
Variant OsVersionToCurrency(const std::wstring& Text, wchar_t DecimalSeparator);

// ---- the interpretation, on values (the routines read the platform, then call these) -----

// 1 = Sunday .. 7 = Saturday of a Gregorian date.
int DayOfWeek(int Year, int Month, int Day);
// dow, day, month, year, hour, minute, second (integers) of Local and, when Utc is given,
// unix: the seconds of that same instant since 1970-01-01 00:00 UTC, as currency.
// Milliseconds are dropped.
TVarArray DateTimeRow(const SYSTEMTIME& Local, const std::optional<SYSTEMTIME>& Utc = std::nullopt);
// Now minus Elapsed milliseconds, on the same clock as Now.
SYSTEMTIME TimeBefore(const SYSTEMTIME& Now, std::uint64_t ElapsedMs);
// The local date and time of a UTC instant in Zone (the zone in force when null), under the
// daylight-saving rule in force at that instant, not at the time of the call.
SYSTEMTIME LocalTimeOf(const SYSTEMTIME& Utc, const TIME_ZONE_INFORMATION* Zone);
// BOOTTIME's row: the instant UtcNow less the uptime, in Zone's local time, and its unix
// seconds. A boot before a change to or from daylight saving time shows the clock that
// was in force at the boot.
TVarArray BootTimeRow(const SYSTEMTIME& UtcNow, std::uint64_t UptimeMs, const TIME_ZONE_INFORMATION* Zone);
// days, hours, minutes, seconds (integers), total seconds (currency).
TVarArray UpTimeRow(std::uint64_t TickMs);
// The tick count of the time routines: GetTickCount64 when it was bound, else GetTickCount.
std::uint64_t ProviderTickCount();
// The standard name for standard time and for a zone without daylight saving (0), the
// daylight name for daylight time (2), nothing when the call failed.
std::wstring TimeZoneText(DWORD Result, const TIME_ZONE_INFORMATION& Info);

// manufacturer, model, support_provider, support_url, support_hours, support_phone.
using TOemInfo = std::array<std::wstring, 6>;
// From SystemFolder\OEMInfo.ini when that file exists (SystemFolder may be empty: no
// file), else from KeyPath under Root in the 64-bit view, else in the 32-bit view. False
// when neither the file nor the key is there.
bool ReadOemInfo(const std::wstring& SystemFolder, HKEY Root, const std::string& KeyPath, TOemInfo& Info);

// ProcessorNameString of KeyPath, else its Identifier.
std::string CpuTypeFrom(HKEY Root, const std::string& KeyPath);
// CurrentVersion "." CurrentBuildNumber of KeyPath.
std::string OsBuildFrom(HKEY Root, const std::string& KeyPath);
// Version, and ", " svcVersion when that is not empty.
std::string IeVersionFrom(HKEY Root, const std::string& KeyPath);
// The binary value InstalledVersion of KeyPath (zeros when the key or value is missing).
// A value that is not binary, or longer than 8 bytes, raises ERegistryException.
std::array<std::uint8_t, 8> ReadDirectXInstalledVersion(HKEY Root, const std::string& KeyPath);
// Byte 3 "." byte 7.
std::wstring DirectXVersionText(const std::array<std::uint8_t, 8>& Bytes);

// Stores Row as the item's only row under Names, fills the display template from it and,
// when LogTag is given, logs LogTag + the display text at level DATA.
void StoreSingleRow(const TItemOptionArray& Options, TItemData& Data, std::wstring& Display,
                    const std::vector<std::wstring>& Names, const TVarArray& Row, const wchar_t* LogTag);

// A text passed through the system's 8-bit code page, as the 8-bit platform calls give it.
std::wstring Through8Bit(const std::wstring& Text);
