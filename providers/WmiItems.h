// Gathering routines that take their values from WMI: WMI (any WQL query the user writes),
// DISKIO (a fixed drive's transfer rates and queue) and DISPLAYCONTROLLER (the display
// adapter's name).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ItemTypes.h"
#include "Variant.h"
#include "Wmi.h"

// ---- the gathering routines -------------------------------------------------------------

// "select * from " + the option "query" (user variables expanded) in the option
// "namespace"; one display line per object from the template "display" (default
// "%rowcount%"), at most "maxrows" objects when that is 0 or more.
void GetCustomWMI(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
// Read and write bytes per second and the queue length of the fixed drive picked by
// "num" and "filter" (as for FIXEDDISK), from the raw disk counters of two collections.
void GetDiskIO(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
// The caption of the first display adapter.
void GetDisplayController(TItemOptionArray Options, TItemData& Data, std::wstring& Display);

// The DISKIO collection for one drive letter, once the letter is known: samples the raw
// counters of the drive's own logical disk (named letter and ":") and, from the second
// sample on, stores "read bps", "write bps", "queue" and fills "display" (default "%1").
void GetDiskIOForLetter(const std::wstring& Letter, const TItemOptionArray& Options, TItemData& Data,
                        std::wstring& Display);
// The current queue length of the drive's own logical disk (WMI name Letter and ":"), as
// currency, and its text; 0 and "" when there is none.
Variant GetDiskQueue(const std::wstring& Letter, std::wstring& Text);

// Enters the routines into ItemTypeTable.
void RegisterWmiProviders();

// ---- the DISKIO samples --------------------------------------------------------------------

namespace DiskIo {
// One logical disk's raw byte counters at the last two samples.
struct TDiskItem {
    std::string Name;  // WMI's Name of the logical disk ("C:")
    std::int64_t BytesRead = 0;
    std::int64_t BytesWritten = 0;
    std::int64_t PrevBytesRead = 0;
    std::int64_t PrevBytesWritten = 0;
    std::uint32_t Tick = 0;
    std::uint32_t PrevTick = 0;
};
}  // namespace DiskIo

// The samples of every DISKIO item, kept for the whole run (collection thread only).
const std::vector<DiskIo::TDiskItem>& DiskIoSamples();
void ClearDiskIoSamples();
// Records one sample for the instance Name (compared exactly): an entry seen before
// moves its current counters and tick to the previous ones; a new entry starts with
// both samples equal.
void StoreDiskIoSample(const std::string& Name, std::int64_t BytesRead, std::int64_t BytesWritten);
void StoreDiskIoSample(const std::string& Name, std::int64_t BytesRead, std::int64_t BytesWritten, std::uint32_t Tick);
// The first sample that is drive Letter's own instance (Letter and ":"), or null.
const DiskIo::TDiskItem* FindDiskIoSample(const std::wstring& Letter);
// Bytes per second between the two samples of Item, in whole seconds with the remainder
// dropped; false when no more than 1000 ms lie between them. The tick difference is
// taken modulo 2^32, so a wrap of the millisecond counter gives the true interval.
bool DiskIoRates(const DiskIo::TDiskItem& Item, std::int64_t& ReadRate, std::int64_t& WriteRate);

// ---- the interpretation, on values --------------------------------------------------------

// Gives the next object's properties; false when there is none.
using TWmiObjectSource = std::function<bool(TWmiObject& Object)>;

// The queue lookup over the disk objects: the first whose Name is drive Letter's own
// instance gives its CurrentDiskQueueLength as a currency count (0 when that is missing
// or cannot be read); nothing when no object is the drive's.
std::optional<std::int64_t> DiskQueueOf(const std::wstring& Letter, const TWmiObjectSource& Next);

// Turns objects into the rows of Data (appended one by one, so rows made before an error
// stay) and returns the display lines joined with "|". With RowCount, each row starts
// with it and "%rowcount%" is filled. Numbers become doubles; a datetime property is
// split into its parts ("%name_year%" ...); "%name%" takes each value. The field names
// come from the first object. A template naming an array or object property raises
// EVariantError. At most MaxRows objects are read when MaxRows is 0 or more (at least
// one).
std::wstring WmiObjectsToDisplay(const std::wstring& Template, std::optional<std::int32_t> RowCount,
                                 std::int32_t MaxRows, const TWmiObjectSource& Next, TItemData& Data);

// The statement of DISPLAYCONTROLLER for a Windows CurrentVersion (currency): versions
// above 0 and below 6 have Win32_DisplayControllerConfiguration, the others
// Win32_VideoController.
std::string DisplayControllerStatement(const Variant& WindowsVersion);
