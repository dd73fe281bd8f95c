#include "Statistics.h"

#include <cstring>
#include <unordered_map>

#include "SystemProcessList.h"

namespace vistrel64 {

std::wstring FileNameOfImage(const std::wstring& ImageFileName) {
    const std::size_t slash = ImageFileName.rfind(L'\\');
    return slash == std::wstring::npos ? ImageFileName : ImageFileName.substr(slash + 1);
}

std::wstring LowerLatinLetters(std::wstring Text) {
    for (wchar_t& c : Text)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return Text;
}

TProcessStats CompleteFromList(const TOpenedProcess& Opened, std::uint32_t Id, const TListedProcess* Listed) {
    TProcessStats entry = Opened.Entry;
    if (Id == 0 || !Listed || Listed->ProcessId != Id || Listed->ImageName.empty()) return entry;
    if (entry.ProcessId == 0) {
        entry.ProcessId = Id;
        entry.FileName = Listed->ImageName;
        entry.WorkingSetSize = Listed->WorkingSetSize;
        entry.PageFaultCount = Listed->PageFaultCount;
        entry.PagefileUsage = Listed->PagefileUsage;
        entry.PrivateUsage = Listed->PrivatePageCount;
    }
    if (!Opened.HandleCountRead) entry.HandleCount = Listed->HandleCount;
    return entry;
}

void CountThreads(TProcessTable& Table, const std::vector<std::uint32_t>& Owners) {
    // One look-up per thread: a terminal server runs thousands of processes and many
    // times as many threads.
    std::unordered_map<std::uint32_t, TProcessStats*> firstEntryOf;
    firstEntryOf.reserve(Table.size());
    for (TProcessStats& entry : Table) firstEntryOf.try_emplace(entry.ProcessId, &entry);
    for (const std::uint32_t owner : Owners)
        if (const auto found = firstEntryOf.find(owner); found != firstEntryOf.end()) ++found->second->ThreadCount;
}

namespace {

TVslTopProcess TopRecordOf(const TProcessStats& Entry) {
    TVslTopProcess r{};
    VslSetName(r.FileName, Entry.FileName);
    r.ProcessId = Entry.ProcessId;
    r.WorkingSetSize = Entry.WorkingSetSize;
    r.PageFaultCount = Entry.PageFaultCount;
    r.PagefileUsage = Entry.PagefileUsage;
    r.PrivateUsage = Entry.PrivateUsage;
    return r;
}

template <typename Counter>
TVslTopProcess TopBy(const TProcessTable& Table, Counter Value) {
    TVslTopProcess top{};
    std::uint64_t maximum = 0;
    for (const TProcessStats& entry : Table)
        if (Value(entry) > maximum) {
            top = TopRecordOf(entry);
            maximum = Value(entry);
        }
    return top;
}

}  // namespace

TVslTopProcess TopByWorkingSet(const TProcessTable& Table) {
    return TopBy(Table, [](const TProcessStats& e) { return e.WorkingSetSize; });
}

TVslTopProcess TopByPrivateUsage(const TProcessTable& Table) {
    return TopBy(Table, [](const TProcessStats& e) { return e.PrivateUsage; });
}

TVslProcessMonitor MonitorRecordFor(const std::wstring& SlotName, const TProcessTable& Table) {
    TVslProcessMonitor r{};
    const std::wstring key = LowerLatinLetters(SlotName);
    for (const TProcessStats& entry : Table) {
        if (entry.FileName.empty() || LowerLatinLetters(entry.FileName) != key) continue;
        r.ProcessId = entry.ProcessId;
        // The sums wrap as the record's fields do: 64-bit memory counters, 32-bit counts.
        r.WorkingSetSize += entry.WorkingSetSize;
        r.PageFaultCount += entry.PageFaultCount;
        r.PagefileUsage += entry.PagefileUsage;
        r.PrivateUsage += entry.PrivateUsage;
        r.HandleCount += entry.HandleCount;
        r.ThreadCount += entry.ThreadCount;
    }
    VslSetName(r.Name, SlotName);
    return r;
}

void PublishTopProcesses(const TProcessTable& Table, TVslTopProcess& WorkingSetArea, TVslTopProcess& PrivateUsageArea) {
    const TVslTopProcess ws = TopByWorkingSet(Table);
    const TVslTopProcess pu = TopByPrivateUsage(Table);
    std::memcpy(&WorkingSetArea, &ws, sizeof ws);
    std::memcpy(&PrivateUsageArea, &pu, sizeof pu);
}

void PublishProcessMonitors(const TProcessTable& Table, const TVslSystemArea& System,
                            TVslProcessMonitor (&Records)[VslMonitorSlots]) {
    for (std::size_t i = 0; i < VslMonitorSlots; ++i) {
        // Vistrel may rewrite the slot meanwhile: read it once.
        const std::wstring name = VslNameText(System.MonitorNames[i]);
        if (name.empty()) continue;
        const TVslProcessMonitor record = MonitorRecordFor(name, Table);
        std::memcpy(&Records[i], &record, sizeof record);
    }
}

}  // namespace vistrel64
