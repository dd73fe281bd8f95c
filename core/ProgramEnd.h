// The program's end, the same whichever way it ends: the normal end of the message loop
// (the menu's Quit, a close request) and the ends at once (the screen saver's key press and
// sixth mouse move, the end of the session, an exception that reaches the application
// object, a failed window set-up). The collection thread is stopped before anything it
// uses is freed.
#pragma once

#include <functional>

// The steps of the end in their order; tests replace them.
struct TProgramEndSteps {
    std::function<void()> FreeIniWatchers;
    // Stops the collection thread, waiting for a routine in flight up to the stop's bound;
    // true when no collection thread is left running.
    std::function<bool()> StopCollection;
    std::function<void()> FreeConfigItems;
    // Tells Vistrel64 to end, without waiting for the routine still running.
    std::function<void()> StopStatisticsProgram;
    // The units' finalisation, which also tells Vistrel64 to end.
    std::function<void()> FinalizeUnits;
    // Destroys the forms (their timers stop) and the application window.
    std::function<void()> DestroyForms;
};
TProgramEndSteps DefaultProgramEndSteps();
extern TProgramEndSteps ProgramEndSteps;

// The end: no hook runs from its start; the configuration watchers are freed, the
// collection thread stopped, the items freed, the units finalised and the forms
// destroyed. When a gathering routine is still running after the stop's bound,
// nothing it may use is freed: Vistrel64 is told to end and false is returned, and the
// process must then end at once.
bool EndProgram();
// The program-end routine (SetProgramEndProc): EndProgram, and when that could not stop
// the collection thread, EndProcessAtOnce.
void ProgramEndProc();
