#include "ProgramEnd.h"

#include "Collector.h"
#include "ConfigItems.h"
#include "Log.h"
#include "MainLoop.h"
#include "Units.h"
#include "WinApp.h"

TProgramEndSteps DefaultProgramEndSteps() {
    TProgramEndSteps s;
    s.FreeIniWatchers = [] { FreeIniWatchers(); };
    s.StopCollection = [] { return StopAllCollectors(); };
    s.FreeConfigItems = [] { FreeConfigItems(ConfigItems); };
    s.StopStatisticsProgram = [] {
        if (SignalStatisticsProgramEndHook) SignalStatisticsProgramEndHook();
    };
    s.FinalizeUnits = [] { FinalizeUnits(); };
    s.DestroyForms = [] { Application().Shutdown(); };
    return s;
}

TProgramEndSteps ProgramEndSteps = DefaultProgramEndSteps();

bool EndProgram() {
    Application().Terminate();  // no hook runs from here on
    ProgramEndSteps.FreeIniWatchers();
    if (!ProgramEndSteps.StopCollection()) {
        // The routine still uses the items, the providers' state and the units' globals.
        WriteLog(L"EndProgram: a gathering routine is still running; the program ends without finalising its units",
                 llWarn);
        ProgramEndSteps.StopStatisticsProgram();
        return false;
    }
    ProgramEndSteps.FreeConfigItems();
    ProgramEndSteps.FinalizeUnits();
    WriteLog(L"FinalizeUnits Complete.", llDebug);
    ProgramEndSteps.DestroyForms();
    return true;
}

void ProgramEndProc() {
    if (!EndProgram()) EndProcessAtOnce();
}
