// The WMI access layer: connect to a namespace of the local computer, run WQL queries
// and turn property values into text and numbers. Every call connects, queries, reads
// and releases; nothing is kept between calls. Callers run on a thread that has
// initialised COM for itself.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <wbemidl.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ComHandles.h"
#include "Errors.h"
#include "ItemTypes.h"
#include "Variant.h"

// A failed COM call; the message names the result code in hex (the system has no text
// for most WMI codes).
VISTREL_EXCEPTION(EOleError, Exception)

// CIM type codes of the properties the layer reads.
enum : long {
    kCimSInt16 = 2,
    kCimSInt32 = 3,
    kCimReal32 = 4,
    kCimReal64 = 5,
    kCimString = 8,
    kCimBoolean = 11,
    kCimObject = 13,
    kCimSInt8 = 16,
    kCimUInt8 = 17,
    kCimUInt16 = 18,
    kCimUInt32 = 19,
    kCimSInt64 = 20,
    kCimUInt64 = 21,
    kCimDateTime = 101,
    kCimReference = 102,
    kCimChar16 = 103,
};

// One property of a WMI object as WMI hands it over: the value and its CIM type (the
// array flag CIM_FLAG_ARRAY may be set on top of the element type).
struct TWmiProperty {
    std::wstring Name;
    ComVariant Value;
    long CimType = 0;
};
// An object's properties in WMI's order (system properties left out).
using TWmiObject = std::vector<TWmiProperty>;

// The gathering turn (TGatherTurnProc) of every item that asks WMI, and of the state those
// items keep: the items behind a WMI service that does not answer are held back, and only
// they.
std::wstring WmiGatherTurn(const TItemOptionArray& Options);

// ---- the platform calls -------------------------------------------------------------------

// A new WMI locator; raises Exception "Locator instance not created. " + reason.
ComPtr<IWbemLocator> CreateLocator();
// On a thread between these two calls (with COM initialised all along), CreateLocator
// makes its locators from one class object that the thread looks up once, instead of
// looking the class up in the registry for every locator. The end releases it.
void BeginWmiThread();
void EndWmiThread();
// Services of Namespace (empty: "root\cimv2") on Server ("." is the local computer),
// with the proxy security set. Without a Locator one is made for this call alone. A
// failed connection is logged ("WMIConnect: ") and gives an empty result; an error of
// CreateLocator propagates. On a thread of the multithreaded apartment (where the
// collection's gatherers ask WMI) the connection is abandonable: one that has not answered
// within the item's time limit raises ETimeLimit ("WMI gave no answer within 20 s"). The
// WMI service is then given up, as when an enumeration gives no object in time
// (WmiNextObject): until its back-off has passed every connection raises that error at
// once (TimeLimits.h); an object delivered in time ends the back-off.
ComPtr<IWbemServices> WMIConnect(IWbemLocator* Locator, const std::wstring& Server, const std::wstring& Namespace);
// Runs Statement (8-bit WQL) with the given flags; a refused statement raises EOleError
// "Invalid statement.  Please resubmit.".
ComPtr<IEnumWbemClassObject> WmiExecQuery(IWbemServices* Services, const std::string& Statement,
                                          long Flags = WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY);
// The next object of a query's result; false at the end. A failure raises EOleError; no
// object within what is left of the item's time limit raises ETimeLimit.
bool WmiNextObject(IEnumWbemClassObject* Objects, ComPtr<IWbemClassObject>& Object);
// Every non-system property of Object, in WMI's order.
TWmiObject WmiReadProperties(IWbemClassObject* Object);
// The property Name (WMI's own lookup, which ignores case); false when there is none.
bool WmiGetProperty(IWbemClassObject* Object, const std::wstring& Name, TWmiProperty& Property);

// The first object's property Name as text, and its value as an integer where the type
// is an integer one (uint64 included; an unsigned 32-bit value past the signed range
// keeps its bits); Text "" and Value 0 when there is nothing. Never
// raises: errors are logged ("WmiQueryStr: ").
void WmiQueryStr(const std::string& Namespace, const std::string& Statement, const std::string& Name,
                 std::string& Text, std::int32_t& Value);
// Values gets one entry per name (entries already there keep their value); each entry
// whose name (ignoring case) is an integer property of the first object, uint64 left
// out, receives that property's value. Never raises: errors are logged ("WmiQueryVal: ").
void WmiQueryVal(const std::string& Namespace, const std::string& Statement, const std::vector<std::string>& Names,
                 std::vector<Variant>& Values);

// ---- interpretation of what WMI hands over ---------------------------------------------------

// The CIM type without the array flag.
long CimBaseType(long CimType);
// True for 2 to 5 and 16 to 21 (the real types count as numbers here).
bool IsIntegerCimType(long CimType);
// True for 2, 3 and 16 to 20: the types read as signed 32-bit integers.
bool IsInt32CimType(long CimType);

// A WMI value as a Vistrel value. An unsigned 32-bit property, which WMI delivers as a
// signed 32-bit number, keeps its unsigned value. 64-bit integers arrive as text and stay
// text. An array, an object or any other kind that has no Vistrel form raises
// EVariantError.
Variant WmiValueToVariant(const VARIANT& Value, long CimType);
// True for an array value (VT_ARRAY).
bool IsWmiArray(const VARIANT& Value);
// The elements of an array value, each given as a scalar VARIANT, in index order.
void ForEachWmiArrayElement(const VARIANT& Value, const std::function<void(const VARIANT&)>& Visit);
// An array value's elements (each as WmiValueToVariant gives it) joined with single
// blanks; the elements that have no Vistrel form show as "?".
std::wstring WmiArrayText(const VARIANT& Value, long CimType);

// The property's value as 8-bit text: "<empty>" for null or empty; integer types in
// decimal, unsigned 32-bit values unsigned (any other value beyond the signed 32-bit
// range raises); string, uint64 and datetime as their text; booleans "True" or "False";
// an array's elements joined with single blanks. Any other type raises Exception
// "Unknown type".
std::string WmiPropertyToString(const TWmiProperty& Property);
// The same text in UTF-16 (before the 8-bit conversion).
std::wstring WmiPropertyToText(const TWmiProperty& Property);
// A scalar integer property as a signed 32-bit integer: an unsigned 32-bit value past the
// signed range keeps its bits; any other value beyond the range raises.
std::int32_t WmiPropertyToInt32(const TWmiProperty& Property);

// The parts of a CIM datetime "yyyymmddHHMMSS.mmmmmmsUUU".
struct TCimDateTime {
    int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0, Microseconds = 0;
    std::wstring UtcOffset;  // sign and three digits of minutes
};
// False, with Parts untouched, for a null value or a text that is not 25 characters
// long; a part that is not a number gives 0.
bool ParseCimDateTime(const Variant& Value, TCimDateTime& Parts);

// Replaces every occurrence of Placeholder in Text (ignoring case) by the value's text,
// left to right; a null value gives NullResultText. An occurrence followed by "[code]"
// ("%free%[1.2f]"), or, for a placeholder ending in "%", written with the code before that
// "%" ("%free[1.2f]%"), is replaced together with the code by the value formatted with
// FormatDisplayValue. Inside a "{{...}}" call a number goes in with the evaluator's
// decimal point (ExpressionValueText). Inserted text is not searched again.
std::wstring ReplaceValuePlaceholder(const std::wstring& Placeholder, const Variant& Value, const std::wstring& Text);

// The integer values Values receives from one object's properties (the rule of
// WmiQueryVal, applied to properties already read).
void WmiPickValues(const TWmiObject& Properties, const std::vector<std::string>& Names, std::vector<Variant>& Values);

// The text a log line shows for a caught error: the message of a Vistrel exception, the
// class name of any other.
std::wstring WmiErrorMessage(const std::exception& e);
