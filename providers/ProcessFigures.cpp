#include "ProcessFigures.h"

#include "Utils.h"

bool FiguresIncomplete(const TProcessFigures& Figures, unsigned Wanted) {
    return ((Wanted & pfName) && Figures.Name.empty()) || ((Wanted & pfTimes) && !Figures.Times) ||
           ((Wanted & pfMemory) && !Figures.Memory) || ((Wanted & pfHandles) && !Figures.HandleCount);
}

TProcessFigures MergeProcessFigures(const TProcessFigures& Opened, const TListedProcess* Listed) {
    TProcessFigures merged = Opened;
    if (!Listed) return merged;
    if (merged.Name.empty()) merged.Name = WideToAnsi(Listed->ImageName);
    if (!merged.Times) merged.Times = TProcessTimes{Listed->UserTime, Listed->KernelTime};
    if (!merged.Memory) merged.Memory = TProcessMemory{Listed->WorkingSetSize, Listed->PagefileUsage, Listed->PageFaultCount};
    if (!merged.HandleCount) merged.HandleCount = Listed->HandleCount;
    return merged;
}

const TListedProcess* TProcessListOnDemand::Find(DWORD ProcessId) {
    if (!asked_) {
        asked_ = true;
        std::vector<TListedProcess> processes;
        ReadProcessList(query_, processes);
        list_ = TSystemProcessList(std::move(processes));
    }
    return list_.Find(ProcessId);
}
