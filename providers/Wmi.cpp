// The WMI access layer: the COM calls at the top, the reading of values below.
#include "Wmi.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <functional>
#include <utility>

#include "Includes.h"
#include "Log.h"
#include "Templates.h"
#include "TimeLimits.h"
#include "Utils.h"

namespace {

std::wstring HexCode(HRESULT Code) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(Code));
    return text;
}

[[noreturn]] void RaiseOleError(HRESULT Code) {
    const std::wstring system = SystemErrorText(static_cast<unsigned long>(Code));
    throw EOleError(system.empty() ? L"OLE error " + HexCode(Code) : system + L" (" + HexCode(Code) + L")");
}

const wchar_t* LocatorFailureReason(HRESULT Code) {
    switch (Code) {
    case REGDB_E_CLASSNOTREG: return L"specified class is not registered";
    case E_UNEXPECTED: return L"unexpected error";
    case CLASS_E_NOAGGREGATION: return L"class cannot be created as part of an aggregate";
    case E_OUTOFMEMORY: return L"Out of memory";
    case E_INVALIDARG: return L"one or more arguments are invalid";
    default: return L"unknown error";
    }
}

// "\\server\namespace", the form the locator takes.
std::wstring NamespacePath(const std::wstring& Server, const std::wstring& Namespace) {
    std::wstring name = Namespace;
    const std::size_t first = name.find_first_not_of(L'\\');
    name = first == std::wstring::npos ? std::wstring() : name.substr(first);
    if (name.empty()) name = L"root\\cimv2";
    return L"\\\\" + (Server.empty() ? std::wstring(L".") : Server) + L"\\" + name;
}

// The WMI service, as one source: given up, it is left alone as every source is.
const wchar_t kWmiSource[] = L"WMI";

bool InMultithreadedApartment() {
    APTTYPE type{};
    APTTYPEQUALIFIER qualifier{};
    return SUCCEEDED(CoGetApartmentType(&type, &qualifier)) && type == APTTYPE_MTA;
}

ComPtr<IWbemServices> ConnectServer(IWbemLocator* Locator, const std::wstring& Path) {
    ComPtr<IWbemServices> services;
    const ComBstr path(Path.c_str());
    const HRESULT hr = Locator->ConnectServer(path.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.put());
    if (FAILED(hr) || !services) RaiseOleError(FAILED(hr) ? hr : E_POINTER);
    return services;
}

}  // namespace

// ---- the platform calls -------------------------------------------------------------------

namespace {

// The locator's class object of a thread between BeginWmiThread and EndWmiThread (plain
// pointers: a thread-local object with a destructor would outlive the thread's COM).
thread_local bool keepsLocatorClass = false;
thread_local IClassFactory* locatorClass = nullptr;

}  // namespace

std::wstring WmiGatherTurn(const TItemOptionArray&) { return kWmiSource; }

void BeginWmiThread() { keepsLocatorClass = true; }

void EndWmiThread() {
    keepsLocatorClass = false;
    if (IClassFactory* factory = std::exchange(locatorClass, nullptr)) factory->Release();
}

ComPtr<IWbemLocator> CreateLocator() {
    ComPtr<IWbemLocator> locator;
    HRESULT hr = S_OK;
    if (!keepsLocatorClass) {
        hr = CoCreateInstance(__uuidof(WbemLocator), nullptr, CLSCTX_INPROC_SERVER, __uuidof(IWbemLocator),
                              reinterpret_cast<void**>(locator.put()));
    } else {
        if (!locatorClass)
            hr = CoGetClassObject(__uuidof(WbemLocator), CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(&locatorClass));
        if (SUCCEEDED(hr) && locatorClass)
            hr = locatorClass->CreateInstance(nullptr, __uuidof(IWbemLocator), reinterpret_cast<void**>(locator.put()));
    }
    if (FAILED(hr) || !locator)
        throw Exception(std::wstring(L"Locator instance not created. ") + LocatorFailureReason(hr));
    return locator;
}

ComPtr<IWbemServices> WMIConnect(IWbemLocator* Locator, const std::wstring& Server, const std::wstring& Namespace) {
    ComPtr<IWbemLocator> own;
    if (!Locator) {
        own = CreateLocator();
        Locator = own.get();
    }
    ComPtr<IWbemServices> services;
    try {
        const std::wstring path = NamespacePath(Server, Namespace);
        if (InMultithreadedApartment()) {
            // A service that does not answer (at log-on, or a host that is down) must not
            // hold the caller: the connection is made on a thread of this apartment, whose
            // objects the caller may use, and given up at the item's time limit.
            Locator->AddRef();
            std::function<ComPtr<IWbemServices>(const std::atomic<bool>&)> call =
                [locator = ComPtr<IWbemLocator>(Locator), path](const std::atomic<bool>&) {
                    return ConnectServer(locator.get(), path);
                };
            services = RunAbandonable(std::move(call), ItemTimeLeftMs(), kWmiSource, TCallApartment::Multithreaded);
        } else {
            // An object of another apartment cannot be handed to this one: the connection
            // is made here, and only a source given up is not asked.
            CheckSourceCallable(kWmiSource);
            services = ConnectServer(Locator, path);
        }
    } catch (const EOleError& e) {
        WriteLog(L"WMIConnect: " + ErrorText + e.Message(), llError);
        return ComPtr<IWbemServices>();
    }
    // Calls on the services impersonate the caller; a refusal here shows at the query.
    CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                      RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    return services;
}

ComPtr<IEnumWbemClassObject> WmiExecQuery(IWbemServices* Services, const std::string& Statement, long Flags) {
    ComPtr<IEnumWbemClassObject> objects;
    const ComBstr language(L"WQL");
    const ComBstr statement(AnsiToWide(Statement).c_str());
    const HRESULT hr = Services->ExecQuery(language.get(), statement.get(), Flags, nullptr, objects.put());
    if (FAILED(hr)) throw EOleError(L"Invalid statement.  Please resubmit.");
    return objects;
}

bool WmiNextObject(IEnumWbemClassObject* Objects, ComPtr<IWbemClassObject>& Object) {
    ULONG returned = 0;
    // A provider that never delivers must not hold the collection thread: wait no longer
    // than the item has left.
    const HRESULT hr = Objects->Next(static_cast<long>(ItemTimeLeftMs()), 1, Object.put(), &returned);
    if (FAILED(hr)) RaiseOleError(hr);
    if (hr == WBEM_S_TIMEDOUT && returned == 0) {
        const std::wstring error = std::wstring(kWmiSource) + L" gave no object within " + TimeLimitText(ItemTimeLimitMs());
        NoteSourceGivenUp(kWmiSource, error);
        throw ETimeLimit(error);
    }
    NoteSourceAnswered(kWmiSource);
    return returned == 1 && Object;
}

TWmiObject WmiReadProperties(IWbemClassObject* Object) {
    TWmiObject properties;
    HRESULT hr = Object->BeginEnumeration(WBEM_FLAG_NONSYSTEM_ONLY);
    if (FAILED(hr)) RaiseOleError(hr);
    while (true) {
        ComBstr name;
        TWmiProperty property;
        CIMTYPE type = 0;
        hr = Object->Next(0, name.put(), property.Value.put(), &type, nullptr);
        if (hr != WBEM_S_NO_ERROR) break;
        property.Name = name.str();
        property.CimType = type;
        properties.push_back(std::move(property));
    }
    Object->EndEnumeration();
    if (FAILED(hr)) RaiseOleError(hr);
    return properties;
}

bool WmiGetProperty(IWbemClassObject* Object, const std::wstring& Name, TWmiProperty& Property) {
    TWmiProperty found;
    CIMTYPE type = 0;
    const HRESULT hr = Object->Get(Name.c_str(), 0, found.Value.put(), &type, nullptr);
    if (hr == static_cast<HRESULT>(WBEM_E_NOT_FOUND)) return false;
    if (FAILED(hr)) RaiseOleError(hr);
    found.Name = Name;
    found.CimType = type;
    Property = std::move(found);
    return true;
}

void WmiQueryStr(const std::string& Namespace, const std::string& Statement, const std::string& Name,
                 std::string& Text, std::int32_t& Value) {
    Text.clear();
    Value = 0;
    try {
        const ComPtr<IWbemServices> services = WMIConnect(nullptr, L".", AnsiToWide(Namespace));
        if (!services) return;
        const ComPtr<IEnumWbemClassObject> objects = WmiExecQuery(services.get(), Statement);
        ComPtr<IWbemClassObject> object;
        TWmiProperty property;
        if (objects && WmiNextObject(objects.get(), object) && WmiGetProperty(object.get(), AnsiToWide(Name), property)) {
            Text = WmiPropertyToString(property);
            const VARTYPE vt = property.Value.vt();
            const bool integer = IsInt32CimType(property.CimType) || CimBaseType(property.CimType) == kCimUInt64;
            if (vt != VT_NULL && vt != VT_EMPTY && integer) Value = WmiPropertyToInt32(property);
        }
    } catch (const std::exception& e) {
        WriteLog(L"WmiQueryStr: " + ErrorText + WmiErrorMessage(e) + L" : " + AnsiToWide(Text), llError);
    }
    WriteLog(L"WmiQueryStr: " + AnsiToWide(Text), llData);
}

void WmiQueryVal(const std::string& Namespace, const std::string& Statement, const std::vector<std::string>& Names,
                 std::vector<Variant>& Values) {
    Values.resize(Names.size());
    try {
        const ComPtr<IWbemServices> services = WMIConnect(nullptr, L".", AnsiToWide(Namespace));
        if (!services) return;
        const ComPtr<IEnumWbemClassObject> objects = WmiExecQuery(services.get(), Statement);
        if (!objects) {
            WriteLog(L"WmiQueryVal: ObjectSet not assigned", llDebug);
            return;
        }
        ComPtr<IWbemClassObject> object;
        if (!WmiNextObject(objects.get(), object)) return;
        WmiPickValues(WmiReadProperties(object.get()), Names, Values);
    } catch (const std::exception& e) {
        WriteLog(L"WmiQueryVal: " + ErrorText + WmiErrorMessage(e), llError);
    }
}

// ---- interpretation -------------------------------------------------------------------------

long CimBaseType(long CimType) { return CimType & ~static_cast<long>(CIM_FLAG_ARRAY); }

bool IsIntegerCimType(long CimType) {
    const long t = CimBaseType(CimType);
    return (t >= kCimSInt16 && t <= kCimReal64) || (t >= kCimSInt8 && t <= kCimUInt64);
}

bool IsInt32CimType(long CimType) {
    const long t = CimBaseType(CimType);
    return t == kCimSInt16 || t == kCimSInt32 || (t >= kCimSInt8 && t <= kCimSInt64);
}

bool IsWmiArray(const VARIANT& Value) { return (V_VT(&Value) & VT_ARRAY) != 0; }

Variant WmiValueToVariant(const VARIANT& Value, long CimType) {
    switch (V_VT(&Value)) {
    case VT_EMPTY: return Variant();
    case VT_NULL: return Variant::Null();
    case VT_I1: return Variant(static_cast<std::int16_t>(V_I1(&Value)));
    case VT_I2: return Variant(static_cast<std::int16_t>(V_I2(&Value)));
    case VT_I4:
    case VT_INT: {
        const std::int32_t v = V_VT(&Value) == VT_I4 ? V_I4(&Value) : V_INT(&Value);
        // WMI hands an unsigned 32-bit value over in a signed 32-bit slot.
        if (v < 0 && CimBaseType(CimType) == kCimUInt32)
            return Variant(static_cast<std::int64_t>(static_cast<std::uint32_t>(v)));
        return Variant(v);
    }
    case VT_UI1: return Variant(static_cast<std::uint8_t>(V_UI1(&Value)));
    case VT_UI2: return Variant(static_cast<std::int32_t>(V_UI2(&Value)));
    case VT_UI4:
    case VT_UINT: {
        const std::uint32_t v = V_VT(&Value) == VT_UI4 ? V_UI4(&Value) : V_UINT(&Value);
        if (v > static_cast<std::uint32_t>(INT32_MAX)) return Variant(static_cast<std::int64_t>(v));
        return Variant(static_cast<std::int32_t>(v));
    }
    case VT_I8: return Variant(static_cast<std::int64_t>(V_I8(&Value)));
    case VT_UI8: {
        const unsigned long long v = V_UI8(&Value);
        if (v > static_cast<unsigned long long>(INT64_MAX)) return Variant(static_cast<double>(v));
        return Variant(static_cast<std::int64_t>(v));
    }
    case VT_R4: return Variant(V_R4(&Value));
    case VT_R8: return Variant(V_R8(&Value));
    case VT_CY: return Variant::FromCurrencyCount(V_CY(&Value).int64);
    case VT_DATE: return Variant::FromDate(V_DATE(&Value));
    case VT_BOOL: return Variant(V_BOOL(&Value) != VARIANT_FALSE);
    case VT_BSTR: {
        const BSTR s = V_BSTR(&Value);
        return Variant(s ? std::wstring(s, SysStringLen(s)) : std::wstring());
    }
    default: throw EVariantError(L"Invalid variant type conversion");
    }
}

void ForEachWmiArrayElement(const VARIANT& Value, const std::function<void(const VARIANT&)>& Visit) {
    if (!IsWmiArray(Value)) throw EVariantError(L"Invalid variant type conversion");
    SAFEARRAY* array = (V_VT(&Value) & VT_BYREF) ? *V_ARRAYREF(&Value) : V_ARRAY(&Value);
    if (!array || SafeArrayGetDim(array) != 1) return;
    const VARTYPE element = V_VT(&Value) & VT_TYPEMASK;
    LONG low = 0, high = -1;
    if (FAILED(SafeArrayGetLBound(array, 1, &low)) || FAILED(SafeArrayGetUBound(array, 1, &high))) return;
    for (LONG i = low; i <= high; ++i) {
        ComVariant item;
        VARIANT* slot = item.put();
        HRESULT hr;
        if (element == VT_VARIANT) {
            hr = SafeArrayGetElement(array, &i, slot);
        } else {
            // Every scalar member of the VARIANT's union starts at the same address.
            hr = SafeArrayGetElement(array, &i, &V_I8(slot));
            if (SUCCEEDED(hr)) V_VT(slot) = element;
        }
        if (FAILED(hr)) RaiseOleError(hr);
        Visit(*item.get());
    }
}

std::wstring WmiArrayText(const VARIANT& Value, long CimType) {
    std::wstring text;
    bool first = true;
    ForEachWmiArrayElement(Value, [&](const VARIANT& element) {
        if (!first) text += L' ';
        first = false;
        try {
            text += WmiValueToVariant(element, CimType).ToText();
        } catch (const EVariantError&) {
            text += L'?';
        }
    });
    return text;
}

namespace {

// The text of one scalar value by its CIM type.
std::wstring ScalarText(const VARIANT& Value, long CimType) {
    const long type = CimBaseType(CimType);
    // An unsigned 32-bit value keeps its unsigned reading, whatever slot WMI used for it.
    if (type == kCimUInt32) return std::to_wstring(WmiValueToVariant(Value, CimType).ToInt64());
    if (IsInt32CimType(type)) return std::to_wstring(WmiValueToVariant(Value, CimType).ToInt32());
    switch (type) {
    case kCimString:
    case kCimUInt64:
    case kCimDateTime:
    case kCimBoolean:
        return WmiValueToVariant(Value, CimType).ToText();
    default:
        throw Exception(L"Unknown type");
    }
}

}  // namespace

std::wstring WmiPropertyToText(const TWmiProperty& Property) {
    const VARIANT& value = *Property.Value.get();
    if (V_VT(&value) == VT_NULL || V_VT(&value) == VT_EMPTY) return L"<empty>";
    if (!IsWmiArray(value)) return ScalarText(value, Property.CimType);
    std::wstring text;
    bool first = true;
    ForEachWmiArrayElement(value, [&](const VARIANT& element) {
        if (!first) text += L' ';
        first = false;
        text += ScalarText(element, Property.CimType);
    });
    return text;
}

std::string WmiPropertyToString(const TWmiProperty& Property) { return WideToAnsi(WmiPropertyToText(Property)); }

std::int32_t WmiPropertyToInt32(const TWmiProperty& Property) {
    const Variant value = WmiValueToVariant(*Property.Value.get(), Property.CimType);
    // An unsigned 32-bit value past the signed range keeps its 32 bits, as WMI handed
    // them over, rather than failing the read.
    if (CimBaseType(Property.CimType) == kCimUInt32)
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(value.ToInt64()));
    return value.ToInt32();
}

bool ParseCimDateTime(const Variant& Value, TCimDateTime& Parts) {
    if (Value.IsNull() || Value.IsEmpty()) return false;
    const std::wstring text = Value.ToText();
    if (text.size() != 25) return false;
    auto number = [&](std::size_t from, std::size_t count) {
        std::int64_t v = 0;
        if (!TryTextToInt64(text.substr(from, count), v) || v < INT_MIN || v > INT_MAX) return 0;
        return static_cast<int>(v);
    };
    TCimDateTime parts;
    parts.Year = number(0, 4);
    parts.Month = number(4, 2);
    parts.Day = number(6, 2);
    parts.Hour = number(8, 2);
    parts.Minute = number(10, 2);
    parts.Second = number(12, 2);
    parts.Microseconds = number(15, 6);
    parts.UtcOffset = text.substr(21, 4);
    Parts = parts;
    return true;
}

std::wstring ReplaceValuePlaceholder(const std::wstring& Placeholder, const Variant& Value, const std::wstring& Text) {
    if (Placeholder.empty()) return Text;
    const Variant value = Value.IsNull() ? Variant(NullResultText) : Value;
    const std::wstring placeholder = LowerText(Placeholder);
    // "%name[code]%": the code written inside the closing "%".
    const bool inner = placeholder.size() > 1 && placeholder.back() == L'%';
    const std::wstring stem = inner ? placeholder.substr(0, placeholder.size() - 1) + L"[" : std::wstring();
    std::wstring text = Text;
    std::size_t from = 0;
    while (from <= text.size()) {
        const std::wstring lower = LowerText(text);
        const std::size_t plain = lower.find(placeholder, from);
        std::size_t inside = inner ? lower.find(stem, from) : std::wstring::npos;
        std::size_t innerClose = std::wstring::npos;
        // The inner form counts only with "]%" after its code.
        while (inside != std::wstring::npos) {
            innerClose = text.find(L']', inside + stem.size());
            if (innerClose != std::wstring::npos && innerClose + 1 < text.size() && text[innerClose + 1] == L'%') break;
            inside = lower.find(stem, inside + 1);
            innerClose = std::wstring::npos;
        }
        if (plain == std::wstring::npos && inside == std::wstring::npos) break;

        std::size_t at, length;
        std::wstring code;
        bool formatted = false;
        if (inside != std::wstring::npos && (plain == std::wstring::npos || inside < plain)) {
            at = inside;
            code = text.substr(inside + stem.size(), innerClose - inside - stem.size());
            length = innerClose + 2 - inside;
            formatted = true;
        } else {
            at = plain;
            length = placeholder.size();
            const std::size_t behind = at + length;
            if (behind < text.size() && text[behind] == L'[') {
                const std::size_t close = text.find(L']', behind + 1);
                if (close != std::wstring::npos) {
                    code = text.substr(behind + 1, close - behind - 1);
                    length = close + 1 - at;
                    formatted = true;
                }
            }
        }
        const Variant shown = formatted ? FormatDisplayValue(code, value) : value;
        // Inside a calculation a number goes in with the evaluator's decimal point.
        const std::wstring valueText = InsideUserFunctionCall(text, at) ? ExpressionValueText(shown) : shown.ToText();
        text.replace(at, length, valueText);
        from = at + valueText.size();
    }
    return text;
}

void WmiPickValues(const TWmiObject& Properties, const std::vector<std::string>& Names, std::vector<Variant>& Values) {
    for (const TWmiProperty& property : Properties) {
        for (std::size_t i = 0; i < Names.size(); ++i) {
            if (!SameTextIgnoreCase(AnsiToWide(Names[i]), property.Name)) continue;
            if (IsInt32CimType(property.CimType) && !IsWmiArray(*property.Value.get()))
                Values.at(i) = WmiValueToVariant(*property.Value.get(), property.CimType);
            break;
        }
    }
}

std::wstring WmiErrorMessage(const std::exception& e) {
    if (const auto* own = dynamic_cast<const Exception*>(&e)) return own->Message();
    const std::string what = e.what();
    return std::wstring(what.begin(), what.end());
}
