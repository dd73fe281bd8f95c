// LOGICALDRIVES and its history of raw disk-counter samples.
#include "LogicalDrives.h"

#include <cmath>

#include "Checked.h"
#include "Errors.h"
#include "FixedDisks.h"
#include "Includes.h"
#include "Log.h"
#include "Pipeline.h"
#include "Templates.h"
#include "Utils.h"
#include "Wmi.h"

using namespace logical_drives;

namespace {

// Touched only by the collection thread during the run; start and end run before and
// after it.
std::vector<TDiskItem> history;

// The text of an error for a log line: the message of our own exceptions, class and
// message of others.
std::wstring MessageOf(const std::exception& e) {
    if (const auto* own = dynamic_cast<const Exception*>(&e)) return own->Message();
    return ExceptionText(e);
}

std::wstring UpperAscii(std::wstring s) {
    for (wchar_t& c : s)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    return s;
}

// A / B as the floating-point unit traps it: x / 0 and 0 / 0 raise.
double Divide(double A, double B) {
    if (B == 0) {
        if (A == 0) throw EInvalidOp(L"Invalid floating point operation");
        throw EZeroDivide(L"Floating point division by zero");
    }
    return A / B;
}

// Rounded to the nearest whole number, halves to even.
std::int64_t RoundToInt64(double Value) {
    const double r = std::nearbyint(Value);
    if (!(r > -9.2e18 && r < 9.2e18)) throw EInvalidOp(L"Invalid floating point operation");
    return static_cast<std::int64_t>(r);
}

Variant PerSecond(std::int64_t Current, std::int64_t Previous, std::int64_t Milliseconds) {
    return Variant::FromCurrency(static_cast<double>(CheckedSub(Current, Previous)) * 1000.0 /
                                 static_cast<double>(Milliseconds));
}

Variant Percentage(std::int64_t Time, std::int64_t PreviousTime, std::int64_t Base, std::int64_t PreviousBase) {
    const double part = static_cast<double>(CheckedSub(Time, PreviousTime));
    const double whole = static_cast<double>(CheckedSub(Base, PreviousBase));
    return WholeCurrency(RoundToInt64(Divide(part, whole) * 100));
}

// Operations of a 32-bit counter per second between two samples.
Variant PerSecond32(std::int64_t Current, std::int64_t Previous, std::int64_t Milliseconds) {
    return Variant::FromCurrency(static_cast<double>(Counter32Difference(Current, Previous)) * 1000.0 /
                                 static_cast<double>(Milliseconds));
}

// Seconds per operation between two samples of an average timer (the time of all
// operations in counter ticks, and the operations timed), to four decimals; 0 when no
// operation was timed in between.
Variant SecondsPerOperation(std::int64_t Time, std::int64_t PreviousTime, std::int64_t Base,
                            std::int64_t PreviousBase, std::int64_t Frequency) {
    const std::int64_t operations = Counter32Difference(Base, PreviousBase);
    if (operations == 0) return WholeCurrency(0);
    return Variant::FromCurrency(static_cast<double>(Counter32Difference(Time, PreviousTime)) /
                                 static_cast<double>(Frequency) / static_cast<double>(operations));
}

}  // namespace

namespace logical_drives {

const std::array<const wchar_t*, kCounterCount> kCounterNames = {
    L"Frequency_PerfTime",     L"DiskReadBytesPerSec",     L"DiskReadsPerSec",      L"DiskWriteBytesPerSec",
    L"DiskWritesPerSec",       L"AvgDiskSecPerRead",       L"AvgDiskSecPerRead_Base", L"AvgDiskSecPerWrite",
    L"AvgDiskSecPerWrite_Base", L"CurrentDiskQueueLength", L"PercentDiskTime",      L"PercentDiskTime_Base",
    L"PercentIdleTime",        L"PercentIdleTime_Base",    L"Timestamp_PerfTime",
};

TDiskSample DiskSampleFrom(const std::array<std::int64_t, kCounterCount>& v) {
    TDiskSample s;
    s.Counters = {v[ciReadBytes],  v[ciReads],    v[ciWriteBytes],     v[ciWrites],   v[ciDiskTime],
                  v[ciDiskTimeBase], v[ciIdleTime], v[ciIdleTimeBase], v[ciTimestamp], v[ciAvgRead],
                  v[ciAvgReadBase], v[ciAvgWrite], v[ciAvgWriteBase]};
    s.Frequency = v[ciFrequency];
    s.QueueLength = v[ciQueueLength];
    return s;
}

std::int64_t Counter32Difference(std::int64_t Current, std::int64_t Previous) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(Current) - static_cast<std::uint64_t>(Previous)) &
                                     0xFFFFFFFFu);
}

std::int64_t CounterValue(const std::wstring& Text) {
    std::int64_t value = 0;
    return TryTextToInt64(Text, value) ? value : 0;
}

const std::vector<TDiskItem>& DiskHistory() { return history; }
void ClearDiskHistory() { history.clear(); }

const TDiskItem* FindDiskSample(const std::vector<TDiskItem>& History, char Letter) {
    // The drive's own instance ("H:"), never a volume whose name merely begins with the
    // same character ("HarddiskVolume1").
    const std::string drive{Letter, ':'};
    for (const TDiskItem& item : History)
        if (item.Name == drive) return &item;
    return nullptr;
}

std::int64_t CounterMilliseconds(std::int64_t Ticks, std::int64_t Frequency) {
    // Whole seconds and the rest apart: Ticks x 1000 may not fit in 64 bits.
    return CheckedAdd(CheckedMul<std::int64_t>(Ticks / Frequency, 1000), Ticks % Frequency * 1000 / Frequency);
}

bool DiskCountersWentBack(const TDiskCounters& Current, const TDiskCounters& Previous) {
    const std::int64_t wide[][2] = {
        {Current.ReadBytes, Previous.ReadBytes},       {Current.WriteBytes, Previous.WriteBytes},
        {Current.DiskTime, Previous.DiskTime},         {Current.DiskTimeBase, Previous.DiskTimeBase},
        {Current.IdleTime, Previous.IdleTime},         {Current.IdleTimeBase, Previous.IdleTimeBase},
        {Current.Timestamp, Previous.Timestamp},
    };
    for (const auto& pair : wide)
        if (pair[0] < pair[1]) return true;
    const std::int64_t narrow[][2] = {
        {Current.Reads, Previous.Reads},           {Current.Writes, Previous.Writes},
        {Current.ReadTime, Previous.ReadTime},     {Current.ReadTimeBase, Previous.ReadTimeBase},
        {Current.WriteTime, Previous.WriteTime},   {Current.WriteTimeBase, Previous.WriteTimeBase},
    };
    for (const auto& pair : narrow)
        if (Counter32Difference(pair[0], pair[1]) >= 0x80000000LL) return true;
    return false;
}

std::optional<std::array<Variant, 9>> DiskRateValues(const TDiskItem& Item) {
    const TDiskCounters& c = Item.Current.Counters;
    const TDiskCounters& p = Item.Previous;
    // Without a frequency there is no time to divide by, a counter that went back counted
    // nothing this step can tell, and a base that did not move gives no percentage: the
    // drive then shows no rates at all, and nothing fails.
    if (Item.Current.Frequency <= 0 || DiskCountersWentBack(c, p)) return std::nullopt;
    const std::int64_t ms = CounterMilliseconds(CheckedSub(c.Timestamp, p.Timestamp), Item.Current.Frequency);
    if (ms <= 0) return std::nullopt;
    if (c.DiskTimeBase == p.DiskTimeBase || c.IdleTimeBase == p.IdleTimeBase) return std::nullopt;
    return std::array<Variant, 9>{
        PerSecond(c.ReadBytes, p.ReadBytes, ms),
        PerSecond32(c.Reads, p.Reads, ms),
        PerSecond(c.WriteBytes, p.WriteBytes, ms),
        PerSecond32(c.Writes, p.Writes, ms),
        SecondsPerOperation(c.ReadTime, p.ReadTime, c.ReadTimeBase, p.ReadTimeBase, Item.Current.Frequency),
        SecondsPerOperation(c.WriteTime, p.WriteTime, c.WriteTimeBase, p.WriteTimeBase, Item.Current.Frequency),
        WholeCurrency(Item.Current.QueueLength),
        Percentage(c.DiskTime, p.DiskTime, c.DiskTimeBase, p.DiskTimeBase),
        Percentage(c.IdleTime, p.IdleTime, c.IdleTimeBase, p.IdleTimeBase),
    };
}

}  // namespace logical_drives

// ---- interpretation -------------------------------------------------------------------------

const std::array<const wchar_t*, 19> kLogicalDriveFields = {
    L"drive",        L"file system",        L"volume",           L"serial",         L"total size",
    L"used size",    L"used pct",           L"free size",        L"free pct",       L"size available",
    L"read bytes per sec", L"reads per sec", L"write bytes per sec", L"writes per sec", L"avg sec per read",
    L"avg sec per write",  L"queue length",  L"pct disk time",    L"pct idle time",
};

bool LogicalDriveTaken(char Letter, const std::wstring& Include, const std::wstring& Exclude) {
    const wchar_t letter = static_cast<wchar_t>(Letter);
    if (!Include.empty() && UpperAscii(Include).find(letter) == std::wstring::npos) return false;
    return UpperAscii(Exclude).find(letter) == std::wstring::npos;
}

std::string SelectLogicalDrives(DWORD Mask, const std::wstring& Include, const std::wstring& Exclude, std::int32_t Max,
                                const std::function<UINT(const std::string& Root)>& DriveType) {
    std::string letters;
    for (int bit = 0; bit < 26; ++bit) {
        const char letter = static_cast<char>('A' + bit);
        if (!(Mask & (DWORD{1} << bit)) || !LogicalDriveTaken(letter, Include, Exclude)) continue;
        const UINT type = DriveType(std::string(1, letter) + ":\\");
        if (type != DRIVE_REMOVABLE && type != DRIVE_FIXED) continue;
        letters += letter;
        // Tested after a drive is taken, so a "max" of 0 or below still reports one.
        if (static_cast<std::int64_t>(letters.size()) >= Max) break;
    }
    return letters;
}

TVarArray LogicalDriveRow(const TLogicalDriveInfo& Info, const TDiskItem* Sample) {
    Variant usedPct = WholeCurrency(0), freePct = WholeCurrency(0);
    if (Info.Total > 0) {
        const double total = static_cast<double>(Info.Total);
        usedPct = Variant::FromCurrency(static_cast<double>(Info.Used) * 100 / total);
        freePct = Variant::FromCurrency(static_cast<double>(Info.Free) * 100 / total);
    }
    TVarArray row = {Variant(std::wstring(1, static_cast<wchar_t>(Info.Letter))),
                     Variant(Info.FileSystem),
                     Variant(Info.Label),
                     WholeCurrency(Info.Serial),
                     WholeCurrency(Info.Total),
                     WholeCurrency(Info.Used),
                     usedPct,
                     WholeCurrency(Info.Free),
                     freePct,
                     WholeCurrency(Info.Available)};
    row.resize(kLogicalDriveFields.size());
    if (Sample) {
        if (const auto rates = DiskRateValues(*Sample)) std::copy(rates->begin(), rates->end(), row.begin() + 10);
    }
    return row;
}

void AddLogicalDriveRows(const std::string& Letters, const std::function<TLogicalDriveInfo(char Letter)>& Info,
                         const std::vector<logical_drives::TDiskItem>* History, const std::wstring& Template,
                         TItemData& Data, std::wstring& Display) {
    for (const char letter : Letters) {
        const TVarArray row = LogicalDriveRow(Info(letter), History ? FindDiskSample(*History, letter) : nullptr);
        AddDataRow(Data.Data, row, true);
        Display += FillDisplayTemplate(Template, row) + L"|";
    }
    if (!Display.empty()) Display.pop_back();
}

// ---- the platform ----------------------------------------------------------------------------

std::int64_t GetDriveFreeSpace(const std::string& RootPath, std::int64_t& Used, std::int64_t& Free,
                               std::int64_t& Available) {
    return GetDiskSpace(RootPath, Used, Free, Available);
}

void GetVolumeInfo(char Letter, std::wstring& Label, std::wstring& FileSystem, std::uint32_t& Serial) {
    char label[261] = {};
    char fileSystem[261] = {};
    DWORD serial = 0, maxLength = 0, flags = 0;
    const std::string root = std::string(1, Letter) + ":\\";
    {
        // A drive without a medium fails quietly; its texts stay empty and its serial 0.
        const TCriticalErrorsOff quiet;
        if (!GetVolumeInformationA(root.c_str(), label, sizeof label, &serial, &maxLength, &flags, fileSystem,
                                   sizeof fileSystem))
            serial = 0;
    }
    label[sizeof label - 1] = fileSystem[sizeof fileSystem - 1] = '\0';
    Label = AnsiToWide(label);
    FileSystem = AnsiToWide(fileSystem);
    Serial = serial;
}

std::wstring DiskCounterText(const TWmiProperty& Property) {
    const VARIANT& value = *Property.Value.get();
    if (value.vt != VT_NULL && value.vt != VT_EMPTY && IsInt32CimType(Property.CimType) && !IsWmiArray(value)) {
        const std::int64_t n = WmiValueToVariant(value, Property.CimType).ToInt64();
        if (n < INT32_MIN || n > static_cast<std::int64_t>(UINT32_MAX)) RaiseRangeError();
        return std::to_wstring(static_cast<std::uint32_t>(n));
    }
    return WmiPropertyToText(Property);
}

std::vector<TDiskItem> CollectDiskCounters() {
    std::vector<TDiskItem> sampled;
    const ComPtr<IWbemServices> services = WMIConnect(nullptr, L".", L"root\\cimv2");
    if (!services) return sampled;
    const ComPtr<IEnumWbemClassObject> objects =
        WmiExecQuery(services.get(), "select * from Win32_PerfRawData_PerfDisk_LogicalDisk");
    if (!objects) return sampled;
    ComPtr<IWbemClassObject> object;
    while (WmiNextObject(objects.get(), object)) {
        TWmiProperty nameProperty;
        if (!WmiGetProperty(object.get(), L"Name", nameProperty)) continue;
        const VARIANT& nameValue = *nameProperty.Value.get();
        if (nameValue.vt == VT_NULL || nameValue.vt == VT_EMPTY) continue;
        const std::wstring name = WmiPropertyToText(nameProperty);
        if (name.empty()) continue;
        try {
            std::array<std::int64_t, kCounterCount> values{};
            for (std::size_t i = 0; i < kCounterCount; ++i) {
                TWmiProperty property;
                if (WmiGetProperty(object.get(), kCounterNames[i], property))
                    values[i] = CounterValue(DiskCounterText(property));
            }
            sampled.push_back(StoreDiskPerfSample(WideToAnsi(name), DiskSampleFrom(values)));
        } catch (const std::exception& e) {
            WriteLog(L"GetDiskIO: Invalid Data " + ErrorText + MessageOf(e), llData);
        }
    }
    return sampled;
}

TDiskItem StoreDiskPerfSample(const std::string& Name, const TDiskSample& Sample) {
    for (TDiskItem& item : history) {
        if (item.Name != Name) continue;
        item.Previous = item.Current.Counters;
        item.Current = Sample;
        return item;
    }
    history.push_back({Name, Sample, Sample.Counters});
    return history.back();
}

void LogicalDrivesInitialization() { ClearDiskHistory(); }
void LogicalDrivesFinalization() { ClearDiskHistory(); }

// ---- the gathering routine -------------------------------------------------------------------

void GetLogicalDrives2(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    GatherLogicalDrives(Options, Data, Display, CollectDiskCounters);
}

void GatherLogicalDrives(const TItemOptionArray& Options, TItemData& Data, std::wstring& Display,
                         const std::function<std::vector<TDiskItem>()>& SampleCounters) {
    Display.clear();
    Data.Data.clear();
    const std::wstring display = GetItemOption(Options, L"display", Variant(L"%1")).ToText();
    const std::int32_t max = GetItemOption(Options, L"max", Variant(std::int32_t{26})).ToInt32();
    const std::wstring include = GetItemOption(Options, L"include", Variant(L"")).ToText();
    const std::wstring exclude = GetItemOption(Options, L"exclude", Variant(L"ab")).ToText();
    const bool diskIo = GetItemOption(Options, L"diskio", Variant(std::int32_t{1})).ToBool();
    SetFieldNames(Data.Names, std::vector<std::wstring>(kLogicalDriveFields.begin(), kLogicalDriveFields.end()));
    // A failed counter query (a WMI time-out, disabled counters) costs the rates, never the
    // drives; rates come only from what was sampled now, never from an older pair.
    std::vector<TDiskItem> sampled;
    if (diskIo) {
        try {
            sampled = SampleCounters();
        } catch (const std::exception& e) {
            WriteLog(L"GetLogicalDrives2: " + ErrorText + MessageOf(e) + L" : " + Display, llError);
        }
    }
    try {
        const std::string letters = SelectLogicalDrives(GetLogicalDrives(), include, exclude, max, [](const std::string& root) {
            const TCriticalErrorsOff quiet;
            return GetDriveTypeA(root.c_str());
        });
        AddLogicalDriveRows(
            letters,
            [](char Letter) {
                TLogicalDriveInfo info;
                info.Letter = Letter;
                info.Total = GetDriveFreeSpace(std::string(1, Letter) + ":\\", info.Used, info.Free, info.Available);
                GetVolumeInfo(Letter, info.Label, info.FileSystem, info.Serial);
                return info;
            },
            diskIo ? &sampled : nullptr, display, Data, Display);
    } catch (const std::exception& e) {
        WriteLog(L"GetLogicalDrives2: " + ErrorText + MessageOf(e) + L" : " + Display, llError);
    }
    WriteLog(L"GetLogicalDrives2: " + Display, llData);
}

