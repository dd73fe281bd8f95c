// The PROCESSMEM item and its per-process monitors, with the process enumeration and
// naming that the other process items share.
#include "ProcessMonitor.h"

#include <psapi.h>

#include <cmath>
#include <optional>

#include "Checked.h"
#include "Errors.h"
#include "Includes.h"
#include "Log.h"
#include "Mapping.h"
#include "OptionalApis.h"
#include "Pipeline.h"
#include "Templates.h"
#include "Utils.h"

TProcessMonitorApis ProcessMonitorApis;
TOpenProcessFunction ProcessOpenFunction = &::OpenProcess;
TProcessMonitors ProcessMonitors;
std::string ProcessMonitorErrorText;

namespace {

constexpr std::size_t kNameBufferChars = MAX_PATH;  // 260

// Newer systems export the process functions from kernel32 only under "K32" names, older
// ones from psapi under the plain names.
const std::array<TOptionalApiSpec, 5> kMonitorApiSpecs = {{
    {{"GetSystemTimes", nullptr}, {L"kernel32.dll", nullptr}, false, nullptr},
    {{"EnumProcesses", "K32EnumProcesses"}, {L"kernel32.dll", L"psapi.dll"}, true, nullptr},
    {{"QueryFullProcessImageNameW", nullptr}, {L"kernel32.dll", nullptr}, false, nullptr},
    {{"GetProcessImageFileNameW", "K32GetProcessImageFileNameW"}, {L"kernel32.dll", L"psapi.dll"}, true, nullptr},
    {{"GetProcessHandleCount", nullptr}, {L"kernel32.dll", nullptr}, false, nullptr},
}};
std::vector<UniqueLibrary> monitorLibraries;

std::uint64_t FileTimeValue(const FILETIME& Time) {
    return (static_cast<std::uint64_t>(Time.dwHighDateTime) << 32) | Time.dwLowDateTime;
}

std::string MessageOf(const std::exception& e) {
    if (const auto* own = dynamic_cast<const Exception*>(&e)) return WideToAnsi(own->Message());
    return e.what();
}

bool SameNameAscii(const std::string& a, const std::string& b) { return LowerAscii(a) == LowerAscii(b); }

// A number of CPU time units as a percentage of an elapsed number, rounded half up. No
// elapsed time (two updates within one clock tick, as when two items watch one name and
// are collected one after the other) measures no share: 0.
std::int64_t RoundedShare(std::int64_t Used, std::int64_t Elapsed) {
    if (Elapsed == 0) return 0;
    const long double share =
        static_cast<long double>(CheckedMul<std::int64_t>(Used, 100)) / static_cast<long double>(Elapsed) + 0.5L;
    if (!(std::fabs(share) < 9.2e18L)) throw EInvalidOp(L"Invalid floating point operation");
    return static_cast<std::int64_t>(share);  // truncates toward zero
}

std::int64_t Signed(std::uint64_t v) { return CheckedCast<std::int64_t>(v); }

Variant Currency(std::uint64_t Count) {
    return Variant::FromCurrencyCount(CheckedMul<std::int64_t>(CheckedCast<std::int64_t>(Count), 10000));
}

// The collector's record of one name, when it is usable.
bool ReadProcessMonitorRecord(const std::wstring& Name, TProcessMemoryValues& Values, std::wstring& Step) {
    std::optional<TVslProcessMonitor> record;
    if (!GetProcessMonitor(Name, record) || !record) return false;
    Step = L"64 results ";
    Values = ProcessMemoryValuesOf(*record);
    return true;
}

void CloseProcessAreas() { CloseMapping(); }

}  // namespace

// ---- the platform -----------------------------------------------------------------------------

void LoadProcessMonitorApis() {
    std::vector<UniqueLibrary> libraries;
    const auto found = BindOptionalApis(kMonitorApiSpecs, libraries);
    TProcessMonitorApis apis;
    AssignOptionalApi(apis.GetSystemTimes, found[0]);
    AssignOptionalApi(apis.EnumProcesses, found[1]);
    AssignOptionalApi(apis.QueryFullProcessImageNameW, found[2]);
    AssignOptionalApi(apis.GetProcessImageFileNameW, found[3]);
    AssignOptionalApi(apis.GetProcessHandleCount, found[4]);
    ProcessMonitorApis = apis;
    for (auto& library : libraries) monitorLibraries.push_back(std::move(library));
}

bool EnumProcessIds(TProcessIdList& Ids, TEnumProcessesFunction Enum) { return EnumerateProcessIds(Enum, Ids); }

bool ProcessIdListed(const TProcessIdList& Ids, DWORD Id) {
    for (DWORD listed : Ids)
        if (listed == Id) return true;
    return false;
}

UniqueHandle OpenProcessForQuery(DWORD ProcessId, TOpenProcessFunction Open) {
    for (const DWORD access : ProcessQueryAccess)
        if (HANDLE process = Open(access, FALSE, ProcessId)) return UniqueHandle(process);
    return UniqueHandle();
}

std::string FileNameOfPath(const std::string& Path) {
    const std::size_t cut = Path.find_last_of("\\:");
    return cut == std::string::npos ? Path : Path.substr(cut + 1);
}

std::string ProcessFileName(HANDLE Process, DWORD ProcessId, const TImageNameFunctions& Functions,
                            std::string& ErrorText) {
    ErrorText.clear();
    if (ProcessId == 4 || ProcessId == 8) return "System";
    std::array<wchar_t, kNameBufferChars + 1> wide{};  // one more unit: always terminated
    std::array<char, kNameBufferChars + 1> narrow{};
    std::string path;
    if (Functions.QueryFullProcessImageNameW) {
        DWORD size = kNameBufferChars;
        Functions.QueryFullProcessImageNameW(Process, 0, wide.data(), &size);
        path = WideToAnsi(wide.data());
    } else if (Functions.GetProcessImageFileNameW) {
        Functions.GetProcessImageFileNameW(Process, wide.data(), kNameBufferChars);
        path = WideToAnsi(wide.data());
    } else if (Functions.GetProcessImageFileNameA) {
        Functions.GetProcessImageFileNameA(Process, narrow.data(), kNameBufferChars);
        path = narrow.data();
    } else if (GetModuleFileNameExW(Process, nullptr, wide.data(), kNameBufferChars)) {
        path = WideToAnsi(wide.data());
    } else if (GetModuleFileNameExA(Process, nullptr, narrow.data(), kNameBufferChars)) {
        path = narrow.data();
    } else {
        ErrorText = GetLastErrorMessage();
    }
    return FileNameOfPath(path);
}

TImageNameFunctions ProcessMonitorNameFunctions() {
    TImageNameFunctions functions;
    functions.QueryFullProcessImageNameW = ProcessMonitorApis.QueryFullProcessImageNameW;
    functions.GetProcessImageFileNameW = ProcessMonitorApis.GetProcessImageFileNameW;
    return functions;
}

void GetProcessName(HANDLE Process, DWORD ProcessId, std::string& ErrorText, std::string& FileName) {
    FileName = ProcessFileName(Process, ProcessId, ProcessMonitorNameFunctions(), ErrorText);
}

TProcessFigures ReadProcessFigures(DWORD ProcessId, unsigned Wanted, const TImageNameFunctions& Names,
                                   TProcessListOnDemand& List) {
    TProcessFigures figures;
    auto failed = [&figures] {
        if (figures.Error == 0) figures.Error = GetLastError();
    };
    const UniqueHandle process = OpenProcessForQuery(ProcessId, ProcessOpenFunction);
    if (!process.valid()) {
        failed();
        if ((Wanted & pfName) && (ProcessId == 4 || ProcessId == 8)) figures.Name = "System";
    } else {
        if (Wanted & pfName) {
            std::string errorText;
            figures.Name = ProcessFileName(process.get(), ProcessId, Names, errorText);
        }
        if (Wanted & pfTimes) {
            FILETIME creation{}, exitTime{}, kernel{}, user{};
            if (GetProcessTimes(process.get(), &creation, &exitTime, &kernel, &user))
                figures.Times = TProcessTimes{FileTimeValue(user), FileTimeValue(kernel)};
            else
                failed();
        }
        if (Wanted & pfMemory) {
            PROCESS_MEMORY_COUNTERS counters{};
            counters.cb = sizeof counters;
            if (GetProcessMemoryInfo(process.get(), &counters, sizeof counters))
                figures.Memory = TProcessMemory{counters.WorkingSetSize, counters.PagefileUsage, counters.PageFaultCount};
            else
                failed();
        }
        DWORD handles = 0;
        if ((Wanted & pfHandles) && ProcessMonitorApis.GetProcessHandleCount &&
            ProcessMonitorApis.GetProcessHandleCount(process.get(), &handles))
            figures.HandleCount = handles;
    }
    if (!FiguresIncomplete(figures, Wanted)) return figures;
    return MergeProcessFigures(figures, List.Find(ProcessId));
}

std::string GetLastErrorMessage() {
    const DWORD code = GetLastError();
    char buffer[512] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                   buffer, sizeof buffer, nullptr);
    std::string text(buffer, n < sizeof buffer ? n : sizeof buffer - 1);
    std::size_t b = 0, e = text.size();
    while (b < e && static_cast<unsigned char>(text[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ') --e;
    return text.substr(b, e - b);
}

DWORD UpdateSystemTimes(TProcessMonitor& Monitor) {
    FILETIME idle{}, kernel{}, user{};
    if (ProcessMonitorApis.GetSystemTimes && ProcessMonitorApis.GetSystemTimes(&idle, &kernel, &user)) {
        Monitor.PrevSystemKernelTime = Monitor.SystemKernelTime;
        Monitor.PrevSystemUserTime = Monitor.SystemUserTime;
        Monitor.PrevSystemIdleTime = Monitor.SystemIdleTime;
        Monitor.SystemKernelTime = FileTimeValue(kernel);
        Monitor.SystemUserTime = FileTimeValue(user);
        Monitor.SystemIdleTime = FileTimeValue(idle);
        return 0;
    }
    const DWORD code = ProcessMonitorApis.GetSystemTimes ? GetLastError() : ERROR_PROC_NOT_FOUND;
    Monitor.PrevTickTime = Monitor.TickTime;
    Monitor.TickTime = static_cast<std::uint64_t>(GetTickCount()) * 10000u;
    return code;
}

namespace {
DWORD ErrorOf(const TProcessFigures& Figures) { return Figures.Error ? Figures.Error : ERROR_NOT_FOUND; }
}  // namespace

DWORD UpdateProcessTimes(TProcessMonitor& Monitor, TProcessListOnDemand& List) {
    const TProcessFigures figures = ReadProcessFigures(Monitor.ProcessId, pfTimes, {}, List);
    if (!figures.Times) return ErrorOf(figures);
    const std::uint64_t total = CheckedAdd(figures.Times->Kernel, figures.Times->User);
    Monitor.PrevKernelTime = Monitor.KernelTime;
    Monitor.PrevUserTime = Monitor.UserTime;
    Monitor.PrevTotalTime = Monitor.TotalTime;
    Monitor.KernelTime = figures.Times->Kernel;
    Monitor.UserTime = figures.Times->User;
    Monitor.TotalTime = total;
    return 0;
}

DWORD TProcessMonitor::UpdateMemory(TProcessListOnDemand& List) {
    const TProcessFigures figures = ReadProcessFigures(ProcessId, pfMemory | pfHandles, {}, List);
    if (figures.HandleCount) HandleCount = *figures.HandleCount;
    if (!figures.Memory) return ErrorOf(figures);
    WorkingSetSize = figures.Memory->WorkingSetSize;
    PagefileUsage = figures.Memory->PagefileUsage;
    PageFaultCount = figures.Memory->PageFaultCount;
    return 0;
}

void TProcessMonitor::Update(TProcessListOnDemand& List) {
    ProcessMonitorErrorText.clear();
    try {
        UpdateSystemTimes(*this);
    } catch (const std::exception& e) {
        ProcessMonitorErrorText += " UpdateSystemTimes: " + MessageOf(e) + "|";
        PrevTickTime = TickTime;
        TickTime = static_cast<std::uint64_t>(GetTickCount()) * 10000u;
    }
    try {
        UpdateProcessTimes(*this, List);
    } catch (const std::exception& e) {
        ProcessMonitorErrorText += " UpdateProcessTimes: " + MessageOf(e) + "|";
    }
    UpdateMemory(List);
}

// ---- interpretation ------------------------------------------------------------------------------

std::int32_t TProcessMonitor::CpuPercent() const {
    const std::int64_t used = CheckedSub(Signed(TotalTime), Signed(PrevTotalTime));
    if (PrevTickTime > 0) {
        const std::int64_t elapsed = CheckedSub(Signed(TickTime), Signed(PrevTickTime));
        // A tick count that wrapped between the updates gives no share, never a negative one.
        const std::int64_t share = RoundedShare(used, elapsed);
        return CheckedCast<std::int32_t>(share > 0 ? share : 0);
    }
    if (PrevSystemKernelTime > 0) {
        const std::int64_t elapsed = CheckedAdd(CheckedSub(Signed(SystemUserTime), Signed(PrevSystemUserTime)),
                                                CheckedSub(Signed(SystemKernelTime), Signed(PrevSystemKernelTime)));
        const std::int64_t share = RoundedShare(used, elapsed);
        return CheckedCast<std::int32_t>(share > 0 ? share : 0);
    }
    return 0;
}

TProcessMemoryValues ProcessMemoryValuesOf(const TVslProcessMonitor& Record) {
    TProcessMemoryValues v;
    v.WorkingSetSize = Record.WorkingSetSize;
    v.PagefileUsage = Record.PagefileUsage;
    v.PageFaultCount = Record.PageFaultCount;
    v.PrivateUsage = Record.PrivateUsage;
    v.HandleCount = Record.HandleCount;
    v.ThreadCount = Record.ThreadCount;
    return v;
}

TVarArray ProcessMemoryRow(const TProcessMemoryValues& Values, std::int32_t CpuPercent) {
    return {Currency(Values.WorkingSetSize), Currency(Values.PagefileUsage), Currency(Values.PageFaultCount),
            Variant(CpuPercent),             Currency(Values.PrivateUsage),  Currency(Values.HandleCount),
            Currency(Values.ThreadCount)};
}

void AddProcessStats(TProcessStats& Sum, const TProcessMonitor& Monitor, std::int32_t CpuPercent) {
    TProcessStats next = Sum;
    next.CpuPercent = CheckedAdd(next.CpuPercent, CpuPercent);
    next.WorkingSetSize = CheckedAdd(next.WorkingSetSize, Monitor.WorkingSetSize);
    next.PagefileUsage = CheckedAdd(next.PagefileUsage, Monitor.PagefileUsage);
    next.PageFaultCount = CheckedAdd(next.PageFaultCount, std::uint64_t{Monitor.PageFaultCount});
    next.HandleCount = CheckedAdd(next.HandleCount, std::uint64_t{Monitor.HandleCount});
    Sum = next;
}

std::size_t TProcessMonitors::AddProcess(const std::string& Name, DWORD ProcessId) {
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (items_[i].ProcessId == ProcessId) return i;
    TProcessMonitor monitor;
    monitor.Name = Name;
    monitor.ProcessId = ProcessId;
    items_.push_back(std::move(monitor));
    return items_.size() - 1;
}

void TProcessMonitors::RemoveProcess(DWORD ProcessId) {
    std::erase_if(items_, [&](const TProcessMonitor& m) { return m.ProcessId == ProcessId; });
}

TProcessStats TProcessMonitors::GetProcessStats(const std::string& Name, TProcessListOnDemand& List) {
    TProcessStats sum;
    for (TProcessMonitor& monitor : items_) {
        if (!SameNameAscii(monitor.Name, Name)) continue;
        monitor.Update(List);
        AddProcessStats(sum, monitor, monitor.CpuPercent());
    }
    return sum;
}

void TProcessMonitors::ApplyEnumeration(const std::string& Name, const std::vector<TNamedProcess>& Processes) {
    // A listed id whose process now has another name: the watched process has ended and
    // its id was given to a new one.
    for (std::size_t i = items_.size(); i-- > 0;) {
        const DWORD id = items_[i].ProcessId;
        for (const TNamedProcess& p : Processes)
            if (p.ProcessId == id && !p.Name.empty() && !SameNameAscii(p.Name, items_[i].Name)) {
                RemoveProcess(id);
                break;
            }
    }
    for (const TNamedProcess& p : Processes)
        if (!p.Name.empty() && SameNameAscii(p.Name, Name)) AddProcess(p.Name, p.ProcessId);
    for (std::size_t i = items_.size(); i-- > 0;) {
        if (i >= items_.size()) continue;  // removing one id may have freed several
        const DWORD id = items_[i].ProcessId;
        bool listed = false;
        for (const TNamedProcess& p : Processes)
            if (p.ProcessId == id) {
                listed = true;
                break;
            }
        if (!listed) RemoveProcess(id);
    }
}

// ---- the routine ------------------------------------------------------------------------------------

void RefreshList(TProcessMonitors& Monitors, const std::string& Name, TProcessListOnDemand& List) {
    if (!ProcessMonitorApis.EnumProcesses) return;
    TProcessIdList ids;
    if (!EnumProcessIds(ids, ProcessMonitorApis.EnumProcesses) || ids.empty()) return;
    const TImageNameFunctions names = ProcessMonitorNameFunctions();
    std::vector<TNamedProcess> processes;
    processes.reserve(ids.size());
    for (const DWORD id : ids) {
        TNamedProcess p;
        p.ProcessId = id;
        // The idle process (id 0) is no process of any name.
        if (id != 0) p.Name = ReadProcessFigures(id, pfName, names, List).Name;
        processes.push_back(std::move(p));
    }
    Monitors.ApplyEnumeration(Name, processes);
}

void GetProcessMemory(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    const std::wstring format = GetItemOption(Options, L"display", Variant(L"%1")).ToText();
    const std::wstring keyText = GetItemOption(Options, L"key", Variant(L"")).ToText();
    const std::string key = WideToAnsi(keyText);
    std::wstring step = L"start";
    TProcessMemoryValues values;
    bool use64 = false;
    // The processes of the name that refuse to be opened are read from the system's list.
    TProcessListOnDemand list(OptionalApis.NtQuerySystemInformation);

    step = L"64 ";
    if (Vistrel64) {
        try {
            use64 = ReadProcessMonitorRecord(keyText, values, step);
        } catch (const std::exception& e) {
            WriteLog(L"GetProcessMemory 64 " + keyText + L" Mapping error " + step + L" " + AnsiToWide(MessageOf(e)),
                     llError);
            CloseProcessAreas();
        }
    }

    try {
        step = L"refresh list ";
        RefreshList(ProcessMonitors, key, list);
        step = L"process stats";
        const TProcessStats stats = ProcessMonitors.GetProcessStats(key, list);
        if (!ProcessMonitorErrorText.empty())
            WriteLog(L"GetProcessMemory " + keyText + L" " + AnsiToWide(ProcessMonitorErrorText), llDebug);
        step = L"retrieve data";
        if (!use64) {
            values = TProcessMemoryValues{};
            values.WorkingSetSize = stats.WorkingSetSize;
            values.PagefileUsage = stats.PagefileUsage;
            values.PageFaultCount = stats.PageFaultCount;
            values.HandleCount = stats.HandleCount;
        }
        if (values.WorkingSetSize > 0) {
            step = L"return results";
            const TVarArray row = ProcessMemoryRow(values, stats.CpuPercent);
            const std::wstring text = FillDisplayTemplate(format, row);
            SetFieldNames(Data.Names, {L"working set", L"page file usage", L"page faults", L"cpu", L"private usage",
                                       L"handles", L"threads"});
            AddDataRow(Data.Data, row, false);
            Display = text;
            WriteLog(L"GetProcessMemory: " + keyText + L" : " + L"return results" + L" " + Display, llData);
        }
    } catch (const std::exception& e) {
        WriteLog(L"GetProcessMemory: " + keyText + L" " + step + L" " + AnsiToWide(MessageOf(e)), llError);
        CloseProcessAreas();
        Display.clear();
    }
}

void FinalizeProcessMonitors() {
    ProcessMonitors.Clear();
    ProcessMonitorErrorText.clear();
}
