// TOPPROCESSCPU, PROCESSCOUNT, TOPPROCESSMEM and TOPPROCESSPF: one pass over the
// running processes each, with the CPU and page-fault histories between collections.
#include "Processes.h"

#include <optional>

#include "Checked.h"
#include "Includes.h"
#include "Log.h"
#include "Mapping.h"
#include "OptionalApis.h"
#include "SystemInfo.h"
#include "Templates.h"
#include "Utils.h"

std::vector<TProcessItem> ProcessCpuHistory;
std::vector<TProcessItemPf> ProcessPfHistory;

namespace {

std::uint64_t FileTimeValue(const FILETIME& Time) {
    return (static_cast<std::uint64_t>(Time.dwHighDateTime) << 32) | Time.dwLowDateTime;
}

std::int64_t Signed(std::uint64_t v) { return CheckedCast<std::int64_t>(v); }

Variant Currency(std::uint64_t Count) {
    return Variant::FromCurrencyCount(CheckedMul<std::int64_t>(CheckedCast<std::int64_t>(Count), 10000));
}

// Whether a known id now belongs to a process of another name. The name comes from the
// process's image or from the system's list, which may differ in the case of letters.
bool RenamedProcess(const std::string& Known, const std::string& Sampled) {
    return !Known.empty() && !Sampled.empty() && LowerAscii(Known) != LowerAscii(Sampled);
}

// The image-name functions bound at start, in the order they are tried.
TImageNameFunctions ImageNameFunctions() {
    TImageNameFunctions functions;
    functions.QueryFullProcessImageNameW = OptionalApis.QueryFullProcessImageNameW;
    functions.GetProcessImageFileNameW = OptionalApis.GetProcessImageFileNameW;
    functions.GetProcessImageFileNameA = OptionalApis.GetProcessImageFileNameA;
    return functions;
}

// The figures of one process for the items of this family: from its handle, and what the
// handle does not give from the system's list (read once per collection, on first need).
class TProcessReader {
public:
    TProcessFigures Read(DWORD ProcessId, unsigned Wanted) {
        return ReadProcessFigures(ProcessId, Wanted | pfName, names_, list_);
    }

private:
    TImageNameFunctions names_ = ImageNameFunctions();
    TProcessListOnDemand list_{OptionalApis.NtQuerySystemInformation};
};

// The own pass of TOPPROCESSMEM over the processes this program can read.
std::vector<TProcessMemorySample> ReadMemorySamples() {
    TProcessIdList ids;
    EnumProcessIds(ids);
    std::vector<TProcessMemorySample> samples;
    TProcessReader reader;
    for (const DWORD id : ids) {
        if (id == 0) continue;
        const TProcessFigures figures = reader.Read(id, pfMemory);
        if (!figures.Memory) continue;
        samples.push_back({figures.Name, id, figures.Memory->WorkingSetSize, figures.Memory->PagefileUsage});
    }
    return samples;
}

// The collector's record for the counter, when it is usable.
bool TopProcessFromCollector(const std::wstring& Counter, TTopProcess& Top) {
    std::optional<TVslTopProcess> record;
    if (Counter == L"ws") {
        if (!GetTopProcessWs(record) || !record) return false;
    } else if (Counter == L"pu") {
        if (!GetTopProcessPu(record) || !record) return false;
    } else {
        return false;
    }
    Top = TopProcessOfRecord(*record, Counter == L"ws");
    return true;
}

}  // namespace

void GetProcessImageName(HANDLE Process, DWORD ProcessId, std::wstring& ErrorText, std::string& FileName) {
    std::string error;
    FileName = ProcessFileName(Process, ProcessId, ImageNameFunctions(), error);
    ErrorText = AnsiToWide(error);
}

// ---- CPU shares -------------------------------------------------------------------------------

std::size_t StoreProcessCpuSample(std::vector<TProcessItem>& History, const std::string& Name, DWORD ProcessId,
                                  std::uint64_t ProcessUser, std::uint64_t ProcessKernel, std::uint64_t SystemUser,
                                  std::uint64_t SystemKernel) {
    auto fresh = [&](TProcessItem& e) {
        e.Name = Name;
        e.ProcessId = ProcessId;
        e.PrevProcessUser = ProcessUser;
        e.PrevProcessKernel = ProcessKernel;
        e.PrevSystemUser = SystemUser;
        e.PrevSystemKernel = SystemKernel;
        e.CpuPercent = 0;
    };
    for (std::size_t i = 0; i < History.size(); ++i) {
        TProcessItem& e = History[i];
        if (e.ProcessId != ProcessId) continue;
        if (RenamedProcess(e.Name, Name)) {
            fresh(e);
            return i;
        }
        const std::int64_t process = CheckedAdd(CheckedSub(Signed(ProcessUser), Signed(e.PrevProcessUser)),
                                                CheckedSub(Signed(ProcessKernel), Signed(e.PrevProcessKernel)));
        const std::int64_t system = CheckedAdd(CheckedSub(Signed(SystemUser), Signed(e.PrevSystemUser)),
                                               CheckedSub(Signed(SystemKernel), Signed(e.PrevSystemKernel)));
        if (system > 0) e.CpuPercent = static_cast<long double>(CheckedMul<std::int64_t>(100, process) / system);
        e.PrevProcessUser = ProcessUser;
        e.PrevProcessKernel = ProcessKernel;
        e.PrevSystemUser = SystemUser;
        e.PrevSystemKernel = SystemKernel;
        return i;
    }
    for (std::size_t i = 0; i < History.size(); ++i)
        if (History[i].ProcessId == 0) {
            fresh(History[i]);
            return i;
        }
    History.emplace_back();
    fresh(History.back());
    return History.size() - 1;
}

void PruneProcessCpuHistory(std::vector<TProcessItem>& History, const TProcessIdList& Ids) {
    for (std::size_t i = History.size(); i-- > 0;) {
        TProcessItem& e = History[i];
        if (ProcessIdListed(Ids, e.ProcessId)) continue;
        e.ProcessId = 0;
        e.Name.clear();
        e.CpuPercent = 0;
    }
}

long long TopCpuEntry(const std::vector<TProcessItem>& History) {
    long long best = -1;
    long double top = 0;
    for (std::size_t i = 0; i < History.size(); ++i)
        if (!History[i].Name.empty() && History[i].CpuPercent > top) {
            top = History[i].CpuPercent;
            best = static_cast<long long>(i);
        }
    return best;
}

// ---- page faults --------------------------------------------------------------------------------

void StoreProcessPfSample(std::vector<TProcessItemPf>& History, const std::string& Name, DWORD ProcessId,
                          DWORD Count) {
    for (TProcessItemPf& e : History) {
        if (e.ProcessId != ProcessId) continue;
        if (RenamedProcess(e.Name, Name)) {
            e.Name = Name;
            e.Previous = Count;
        } else {
            e.Previous = e.Current;
        }
        e.Current = Count;
        return;
    }
    History.push_back({Name, ProcessId, static_cast<long double>(Count), static_cast<long double>(Count)});
}

void PruneProcessPfHistory(std::vector<TProcessItemPf>& History, const TProcessIdList& Ids) {
    for (std::size_t i = History.size(); i-- > 0;)
        if (!ProcessIdListed(Ids, History[i].ProcessId)) History.erase(History.begin() + static_cast<std::ptrdiff_t>(i));
}

long long TopPfEntry(const std::vector<TProcessItemPf>& History) {
    long long best = -1;
    long double top = 0;
    for (std::size_t i = 0; i < History.size(); ++i) {
        const long double difference = History[i].Current - History[i].Previous;
        if (!History[i].Name.empty() && difference > top) {
            top = difference;
            best = static_cast<long long>(i);
        }
    }
    return best;
}

// ---- memory ------------------------------------------------------------------------------------------

TTopProcess TopMemoryOf(const std::vector<TProcessMemorySample>& Samples, const std::wstring& Counter) {
    TTopProcess top;
    const bool workingSet = Counter == L"ws";
    if (!workingSet && Counter != L"pu") return top;
    for (const TProcessMemorySample& s : Samples) {
        // The item names a process: as in the CPU and page-fault lists, a sample without a
        // name never wins.
        if (s.Name.empty()) continue;
        const std::uint64_t value = workingSet ? s.WorkingSetSize : s.PagefileUsage;
        if (value > top.Value) top = {s.Name, s.ProcessId, value};
    }
    return top;
}

TTopProcess TopProcessOfRecord(const TVslTopProcess& Record, bool WorkingSet) {
    return {WideToAnsi(VslNameText(Record.FileName)), Record.ProcessId,
            WorkingSet ? Record.WorkingSetSize : Record.PrivateUsage};
}

TVarArray TopProcessMemRow(const TTopProcess& Top) {
    return {Variant(AnsiToWide(Top.Name)), Currency(Top.ProcessId), Currency(Top.Value)};
}

// ---- the routines --------------------------------------------------------------------------------------

void GetTopProcessCpu(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    if (!OptionalApis.GetSystemTimes) return;
    TProcessIdList ids;
    EnumProcessIds(ids);
    FILETIME idle{}, kernel{}, user{};
    if (!ids.empty() && OptionalApis.GetSystemTimes(&idle, &kernel, &user)) {
        const std::uint64_t systemKernel = FileTimeValue(kernel), systemUser = FileTimeValue(user);
        TProcessReader reader;
        for (const DWORD id : ids) {
            if (id == 0) continue;
            const TProcessFigures figures = reader.Read(id, pfTimes);
            if (!figures.Times) continue;
            StoreProcessCpuSample(ProcessCpuHistory, figures.Name, id, figures.Times->User, figures.Times->Kernel,
                                  systemUser, systemKernel);
        }
    }
    PruneProcessCpuHistory(ProcessCpuHistory, ids);
    const long long best = TopCpuEntry(ProcessCpuHistory);
    if (best < 0) return;
    const TProcessItem& top = CheckedAt(ProcessCpuHistory, best);
    StoreSingleRow(Options, Data, Display, {L"process", L"pid", L"cpu"},
                   {Variant(AnsiToWide(top.Name)), Currency(top.ProcessId),
                    Variant(static_cast<std::int32_t>(top.CpuPercent))},
                   L"GetTopProcessCpu: ");
}

void GetProcessCount(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    TProcessIdList ids;
    EnumProcessIds(ids);
    if (!ids.empty())
        StoreSingleRow(Options, Data, Display, {L"count"}, {Variant(CheckedCast<std::int32_t>(ids.size()))}, nullptr);
    WriteLog(L"GetProcessCount: " + Display, llData);
}

void GetTopProcessMem(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    const std::wstring counter = GetItemOption(Options, L"counter", Variant(L"pu")).ToText();
    TTopProcess top;
    if (!(Vistrel64 && TopProcessFromCollector(counter, top))) top = TopMemoryOf(ReadMemorySamples(), counter);
    StoreSingleRow(Options, Data, Display, {L"process", L"pid", L"mem"}, TopProcessMemRow(top),
                   L"GetTopProcessMem: ");
}

void GetTopProcessPf(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    TProcessIdList ids;
    EnumProcessIds(ids);
    TProcessReader reader;
    for (const DWORD id : ids) {
        if (id == 0) continue;
        const TProcessFigures figures = reader.Read(id, pfMemory);
        if (!figures.Memory) continue;
        StoreProcessPfSample(ProcessPfHistory, figures.Name, id, figures.Memory->PageFaultCount);
    }
    PruneProcessPfHistory(ProcessPfHistory, ids);
    const long long best = TopPfEntry(ProcessPfHistory);
    if (best < 0) return;
    const TProcessItemPf& top = CheckedAt(ProcessPfHistory, best);
    StoreSingleRow(Options, Data, Display, {L"process", L"pid", L"pf"},
                   {Variant(AnsiToWide(top.Name)), Currency(top.ProcessId),
                    Variant(static_cast<double>(top.Current - top.Previous))},
                   L"GetTopProcessPf: ");
}

void RegisterProcessProviders() {
    LoadProcessMonitorApis();
    RegisterGatherProc("TOPPROCESSCPU", GetTopProcessCpu);
    RegisterGatherProc("PROCESSCOUNT", GetProcessCount);
    RegisterGatherProc("TOPPROCESSMEM", GetTopProcessMem);
    RegisterGatherProc("TOPPROCESSPF", GetTopProcessPf);
    RegisterGatherProc("PROCESSMEM", GetProcessMemory);
}

void FinalizeProcessProviders() {
    ProcessCpuHistory.clear();
    ProcessPfHistory.clear();
    FinalizeProcessMonitors();
}
