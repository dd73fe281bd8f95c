// WMI and DISPLAYCONTROLLER: the queries at the top, the turning of objects into rows and
// lines below.
#include "WmiItems.h"

#include <vector>

#include "Includes.h"
#include "Log.h"
#include "Pipeline.h"
#include "SystemInfo.h"
#include "Templates.h"
#include "Utils.h"

namespace {

// The Windows version of DISPLAYCONTROLLER, read once; 0 until a read succeeds.
std::int64_t windowsVersion = 0;

}  // namespace

// ---- the gathering routines -------------------------------------------------------------

void GetCustomWMI(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    Data.Names.clear();
    Data.Data.clear();
    const std::wstring lid = GetItemOption(Options, L"lid", Variant(L"")).ToText();
    try {
        const std::wstring nameSpace = GetItemOption(Options, L"namespace", Variant(L"")).ToText();
        const std::wstring query = ExpandVariables(GetItemOption(Options, L"query", Variant(L"")).ToText());
        const std::int32_t maxRows = GetItemOption(Options, L"maxrows", Variant(std::int32_t(-1))).ToInt32();
        const std::wstring lineTemplate = GetItemOption(Options, L"display", Variant(L"%rowcount%")).ToText();

        const ComPtr<IWbemServices> services = WMIConnect(nullptr, L".", nameSpace);
        if (!services) return;
        // Not forward-only, so that the whole set may be counted first.
        const ComPtr<IEnumWbemClassObject> objects =
            WmiExecQuery(services.get(), "select * from " + WideToAnsi(query), WBEM_FLAG_RETURN_IMMEDIATELY);
        if (!objects) return;

        std::optional<std::int32_t> rowCount;
        std::vector<ComPtr<IWbemClassObject>> counted;
        if (LowerText(lineTemplate).find(L"%rowcount%") != std::wstring::npos) {
            ComPtr<IWbemClassObject> object;
            while (WmiNextObject(objects.get(), object)) counted.push_back(object);
            rowCount = static_cast<std::int32_t>(counted.size());
        }
        std::size_t served = 0;
        const TWmiObjectSource next = [&](TWmiObject& properties) {
            ComPtr<IWbemClassObject> object;
            if (rowCount) {
                if (served >= counted.size()) return false;
                object = counted[served++];
            } else if (!WmiNextObject(objects.get(), object)) {
                return false;
            }
            properties = WmiReadProperties(object.get());
            return true;
        };
        Display = WmiObjectsToDisplay(lineTemplate, rowCount, maxRows, next, Data);
    } catch (const std::exception& e) {
        Display.clear();
        WriteLog(L"GetCustomWMI: lid: " + lid + L" " + ErrorText + WmiErrorMessage(e) + L" Result: " + Display, llError);
    }
    WriteLog(L"GetCustomWMI: lid:" + lid + L" Result: " + Display, llData);
}

void GetDisplayController(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    if (windowsVersion == 0) windowsVersion = GetOsCurrentVersion().CurrencyCount();
    std::string caption;
    std::int32_t unused = 0;
    WmiQueryStr("root\\cimv2", DisplayControllerStatement(Variant::FromCurrencyCount(windowsVersion)), "Caption",
                caption, unused);
    StoreSingleRow(Options, Data, Display, {L"display controller"}, {Variant(AnsiToWide(caption))},
                   L"Display Controller: ");
}

void RegisterWmiProviders() {
    RegisterGatherProc("WMI", GetCustomWMI);
    RegisterGatherProc("DISPLAYCONTROLLER", GetDisplayController);
}

// ---- interpretation -------------------------------------------------------------------------

namespace {

const wchar_t* const kDateTimeParts[] = {L"_year", L"_month", L"_day", L"_hour",
                                         L"_minute", L"_second", L"_msecond", L"_utcoffset"};

std::wstring TrimBlanks(const std::wstring& s) {
    const std::size_t b = s.find_first_not_of(L' ');
    if (b == std::wstring::npos) return {};
    return s.substr(b, s.find_last_not_of(L' ') - b + 1);
}

// True when the line names the placeholder (plainly or with a format code).
bool NamesPlaceholder(const std::wstring& Placeholder, const std::wstring& Line) {
    try {
        return ReplaceValuePlaceholder(Placeholder, Variant(L""), Line) != Line;
    } catch (const Exception&) {
        return true;  // only a named placeholder's format code is ever applied
    }
}

}  // namespace

std::wstring WmiObjectsToDisplay(const std::wstring& Template, std::optional<std::int32_t> RowCount,
                                 std::int32_t MaxRows, const TWmiObjectSource& Next, TItemData& Data) {
    std::wstring result;
    std::int32_t index = 0;
    TWmiObject properties;
    while (Next(properties)) {
        const bool firstRow = index == 0;
        std::wstring line = Template;
        Data.Data.emplace_back();
        const std::size_t rowIndex = Data.Data.size() - 1;
        auto append = [&](const Variant& v) { Data.Data.at(rowIndex).push_back(v); };

        if (RowCount) {
            append(Variant(*RowCount));
            line = ReplaceValuePlaceholder(L"%rowcount%", Variant(*RowCount), line);
            if (firstRow) Data.Names.push_back(L"Row Count");
        }
        for (const TWmiProperty& property : properties) {
            const VARIANT& raw = *property.Value.get();
            const bool isNull = V_VT(&raw) == VT_NULL || V_VT(&raw) == VT_EMPTY;
            const bool isArray = IsWmiArray(raw);
            bool hasText = true;
            Variant value;
            if (IsIntegerCimType(property.CimType) && !isNull && !isArray) {
                try {
                    value = Variant(WmiValueToVariant(raw, property.CimType).ToDouble());
                } catch (const Exception&) {
                    value = Variant::Null();
                }
            } else if (isArray) {
                // Stored as the elements' text; it cannot fill a placeholder.
                value = Variant(WmiArrayText(raw, property.CimType));
                hasText = false;
            } else {
                try {
                    value = WmiValueToVariant(raw, property.CimType);
                } catch (const EVariantError&) {
                    value = Variant::Null();  // an embedded object
                    hasText = false;
                }
            }

            TCimDateTime parts;
            const bool split = CimBaseType(property.CimType) == kCimDateTime && hasText && ParseCimDateTime(value, parts);
            if (split) {
                const Variant partValues[] = {Variant(std::int32_t(parts.Year)),   Variant(std::int32_t(parts.Month)),
                                              Variant(std::int32_t(parts.Day)),    Variant(std::int32_t(parts.Hour)),
                                              Variant(std::int32_t(parts.Minute)), Variant(std::int32_t(parts.Second)),
                                              Variant(std::int32_t(parts.Microseconds)), Variant(parts.UtcOffset)};
                for (std::size_t i = 0; i < 8; ++i) {
                    append(partValues[i]);
                    line = ReplaceValuePlaceholder(L"%" + property.Name + kDateTimeParts[i] + L"%",
                                                   Variant(TrimBlanks(partValues[i].ToText())), line);
                }
            }
            append(value);
            const std::wstring placeholder = L"%" + property.Name + L"%";
            if (!hasText && NamesPlaceholder(placeholder, line))
                throw EVariantError(L"Invalid variant type conversion");
            line = ReplaceValuePlaceholder(placeholder, value, line);

            if (firstRow) {
                if (split)
                    for (const wchar_t* part : kDateTimeParts) Data.Names.push_back(property.Name + part);
                Data.Names.push_back(property.Name);
            }
        }
        result += Through8Bit(line) + L"|";
        ++index;
        if (MaxRows >= 0 && index >= MaxRows) break;
    }
    if (!result.empty()) result.pop_back();
    return result;
}

std::string DisplayControllerStatement(const Variant& WindowsVersion) {
    const std::int64_t version = WindowsVersion.CurrencyCount();
    if (version > 0 && version < 60000) return "select * from Win32_DisplayControllerConfiguration";
    return "select * from Win32_VideoController";
}
