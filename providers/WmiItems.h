// Gathering routines that take their values from WMI: WMI (any WQL query the user writes)
// and DISPLAYCONTROLLER (the display adapter's name).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "ItemTypes.h"
#include "Variant.h"
#include "Wmi.h"

// ---- the gathering routines -------------------------------------------------------------

// "select * from " + the option "query" (user variables expanded) in the option
// "namespace"; one display line per object from the template "display" (default
// "%rowcount%"), at most "maxrows" objects when that is 0 or more.
void GetCustomWMI(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
// The caption of the first display adapter.
void GetDisplayController(TItemOptionArray Options, TItemData& Data, std::wstring& Display);

// Enters the routines into ItemTypeTable.
void RegisterWmiProviders();

// ---- the interpretation, on values --------------------------------------------------------

// Gives the next object's properties; false when there is none.
using TWmiObjectSource = std::function<bool(TWmiObject& Object)>;

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
