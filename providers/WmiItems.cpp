// WMI, DISKIO and DISPLAYCONTROLLER: the queries at the top, the turning of objects into rows and
// lines below.
#include "WmiItems.h"

#include <vector>

#include "Checked.h"
#include "Collector.h"
#include "FixedDisks.h"
#include "Includes.h"
#include "Log.h"
#include "Pipeline.h"
#include "SystemInfo.h"
#include "Templates.h"
#include "Utils.h"

namespace {

// The Windows version of DISPLAYCONTROLLER, read once; 0 until a read succeeds.
std::int64_t windowsVersion = 0;

std::vector<DiskIo::TDiskItem> diskIoSamples;

const char kDiskCounters[] = "select * from Win32_PerfRawData_PerfDisk_LogicalDisk";

// True when Name is drive Letter's own instance ("H:"); a volume without a letter whose
// name begins with the same character ("HarddiskVolume1") is another disk.
bool IsDriveInstance(const std::string& Name, const std::wstring& Letter) {
    return !Letter.empty() && AnsiToWide(Name) == Letter.substr(0, 1) + L":";
}

const TWmiProperty* FindProperty(const TWmiObject& Object, const wchar_t* Name) {
    for (const TWmiProperty& property : Object)
        if (SameTextIgnoreCase(property.Name, Name)) return &property;
    return nullptr;
}

// A counter's text as a 64-bit number; 0 when it is not one.
std::int64_t CounterValue(IWbemClassObject* Object, const wchar_t* Name) {
    TWmiProperty property;
    if (!WmiGetProperty(Object, Name, property)) return 0;
    std::int64_t value = 0;
    if (!TryTextToInt64(AnsiToWide(WmiPropertyToString(property)), value)) return 0;
    return value;
}

std::string NameOf(IWbemClassObject* Object) {
    TWmiProperty property;
    if (!WmiGetProperty(Object, L"Name", property)) return {};
    const std::string name = WmiPropertyToString(property);
    return name == "<empty>" ? std::string() : name;
}

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

void GetDiskIO(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    const std::int32_t num = GetItemOption(Options, L"num", Variant(std::int32_t(0))).ToInt32();
    const std::wstring filter = GetItemOption(Options, L"filter", Variant(L"")).ToText();
    GetDiskIOForLetter(GetFixedDiskLetter(num, filter), Options, Data, Display);
}

void GetDiskIOForLetter(const std::wstring& Letter, const TItemOptionArray& Options, TItemData& Data,
                        std::wstring& Display) {
    Display.clear();
    if (Letter.empty()) return;
    try {
        const ComPtr<IWbemServices> services = WMIConnect(nullptr, L".", L"root\\cimv2");
        if (!services) return;
        const ComPtr<IEnumWbemClassObject> objects = WmiExecQuery(services.get(), kDiskCounters);
        ComPtr<IWbemClassObject> object;
        while (objects && WmiNextObject(objects.get(), object)) {
            try {
                const std::string name = NameOf(object.get());
                if (name.empty()) continue;
                const std::int64_t read = CounterValue(object.get(), L"DiskReadBytesPerSec");
                const std::int64_t written = CounterValue(object.get(), L"DiskWriteBytesPerSec");
                if (IsDriveInstance(name, Letter)) StoreDiskIoSample(name, read, written);
            } catch (const std::exception& e) {
                WriteLog(L"GetDiskIO: Invalid Data " + ErrorText + WmiErrorMessage(e), llData);
            }
        }
        const DiskIo::TDiskItem* sample = FindDiskIoSample(Letter);
        std::int64_t readRate = 0, writeRate = 0;
        if (sample && DiskIoRates(*sample, readRate, writeRate)) {
            std::wstring queueText;
            const Variant queue = GetDiskQueue(Letter, queueText);
            StoreSingleRow(Options, Data, Display, {L"read bps", L"write bps", L"queue"},
                           {Variant::FromCurrencyCount(CheckedMul<std::int64_t>(readRate, 10000)),
                            Variant::FromCurrencyCount(CheckedMul<std::int64_t>(writeRate, 10000)), queue},
                           nullptr);
        }
    } catch (const std::exception& e) {
        WriteLog(L"GetDiskIO: " + ErrorText + WmiErrorMessage(e) + L" : " + Display, llError);
    }
    WriteLog(L"GetDiskIO: " + Display, llData);
}

Variant GetDiskQueue(const std::wstring& Letter, std::wstring& Text) {
    std::int64_t queue = 0;
    Text.clear();
    try {
        const ComPtr<IWbemServices> services = WMIConnect(nullptr, L".", L"root\\cimv2");
        if (!services) return Variant::FromCurrencyCount(0);
        const ComPtr<IEnumWbemClassObject> objects = WmiExecQuery(services.get(), kDiskCounters);
        const TWmiObjectSource next = [&](TWmiObject& Object) {
            ComPtr<IWbemClassObject> object;
            if (!objects || !WmiNextObject(objects.get(), object)) return false;
            Object.clear();
            for (const wchar_t* name : {L"Name", L"CurrentDiskQueueLength"}) {
                TWmiProperty property;
                if (WmiGetProperty(object.get(), name, property)) Object.push_back(std::move(property));
            }
            return true;
        };
        if (const std::optional<std::int64_t> found = DiskQueueOf(Letter, next)) {
            queue = *found;
            Text = CurrencyToText(queue, LocaleNumberFormat().DecimalSeparator);
        }
    } catch (const std::exception& e) {
        WriteLog(L"GetDiskQueue: " + ErrorText + WmiErrorMessage(e) + L" : " + Text, llError);
    }
    WriteLog(L"GetDiskQueue: " + Text, llData);
    return Variant::FromCurrencyCount(queue);
}

std::optional<std::int64_t> DiskQueueOf(const std::wstring& Letter, const TWmiObjectSource& Next) {
    TWmiObject object;
    while (Next(object)) {
        const TWmiProperty* name = FindProperty(object, L"Name");
        if (!name || !IsDriveInstance(WmiPropertyToString(*name), Letter)) continue;
        std::int64_t queue = 0;
        // A queue length that cannot be read is passed over: the drive shows 0.
        if (const TWmiProperty* length = FindProperty(object, L"CurrentDiskQueueLength")) {
            try {
                long double value = 0;
                if (TryTextToDouble(AnsiToWide(WmiPropertyToString(*length)), value))
                    queue = Variant::FromCurrency(static_cast<double>(value)).CurrencyCount();
            } catch (const std::exception&) {
                queue = 0;
            }
        }
        return queue;
    }
    return std::nullopt;
}

const std::vector<DiskIo::TDiskItem>& DiskIoSamples() { return diskIoSamples; }

void ClearDiskIoSamples() { diskIoSamples.clear(); }

void StoreDiskIoSample(const std::string& Name, std::int64_t BytesRead, std::int64_t BytesWritten) {
    StoreDiskIoSample(Name, BytesRead, BytesWritten, GetTickCount());
}

void StoreDiskIoSample(const std::string& Name, std::int64_t BytesRead, std::int64_t BytesWritten, std::uint32_t Tick) {
    for (DiskIo::TDiskItem& item : diskIoSamples) {
        if (item.Name != Name) continue;
        item.PrevBytesRead = item.BytesRead;
        item.PrevBytesWritten = item.BytesWritten;
        item.BytesRead = BytesRead;
        item.BytesWritten = BytesWritten;
        item.PrevTick = item.Tick;
        item.Tick = Tick;
        return;
    }
    diskIoSamples.push_back({Name, BytesRead, BytesWritten, BytesRead, BytesWritten, Tick, Tick});
}

const DiskIo::TDiskItem* FindDiskIoSample(const std::wstring& Letter) {
    for (const DiskIo::TDiskItem& item : diskIoSamples)
        if (IsDriveInstance(item.Name, Letter)) return &item;
    return nullptr;
}

bool DiskIoRates(const DiskIo::TDiskItem& Item, std::int64_t& ReadRate, std::int64_t& WriteRate) {
    const std::uint32_t elapsed = Item.Tick - Item.PrevTick;  // modulo 2^32
    if (elapsed <= 1000) return false;
    const std::int64_t seconds = elapsed / 1000;
    ReadRate = CheckedSub(Item.BytesRead, Item.PrevBytesRead) / seconds;
    WriteRate = CheckedSub(Item.BytesWritten, Item.PrevBytesWritten) / seconds;
    return true;
}

void RegisterWmiProviders() {
    // Every thread that gathers WMI items keeps the locator's class.
    CollectorThreadBeginHook = BeginWmiThread;
    CollectorThreadEndHook = EndWmiThread;
    RegisterGatherProc("WMI", GetCustomWMI);
    RegisterGatherProc("DISKIO", GetDiskIO);
    RegisterGatherProc("DISPLAYCONTROLLER", GetDisplayController);
    for (const char* keyword : {"WMI", "DISKIO", "DISPLAYCONTROLLER"}) RegisterGatherTurn(keyword, WmiGatherTurn);
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
            if (firstRow) Data.Names.push_back(L"Row Count");
            line = ReplaceValuePlaceholder(L"%rowcount%", Variant(*RowCount), line);
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
            const Variant partValues[] = {Variant(std::int32_t(parts.Year)),   Variant(std::int32_t(parts.Month)),
                                          Variant(std::int32_t(parts.Day)),    Variant(std::int32_t(parts.Hour)),
                                          Variant(std::int32_t(parts.Minute)), Variant(std::int32_t(parts.Second)),
                                          Variant(std::int32_t(parts.Microseconds)), Variant(parts.UtcOffset)};
            // The row's values and, with the first row, their names go in together, before
            // the line is filled: a line that fails leaves names and values in step.
            if (split)
                for (const Variant& part : partValues) append(part);
            append(value);
            if (firstRow) {
                if (split)
                    for (const wchar_t* part : kDateTimeParts) Data.Names.push_back(property.Name + part);
                Data.Names.push_back(property.Name);
            }

            if (split)
                for (std::size_t i = 0; i < 8; ++i)
                    line = ReplaceValuePlaceholder(L"%" + property.Name + kDateTimeParts[i] + L"%",
                                                   Variant(TrimBlanks(partValues[i].ToText())), line);
            const std::wstring placeholder = L"%" + property.Name + L"%";
            if (!hasText && NamesPlaceholder(placeholder, line))
                throw EVariantError(L"Invalid variant type conversion");
            line = ReplaceValuePlaceholder(placeholder, value, line);
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
