// Vistrel64's platform side: the debug privilege, the four shared areas, the process
// pass and the main loop. Routines answer 0 for success and 1 for failure.
#pragma once

#include <cstdint>
#include <string>

#include "SharedAreas.h"
#include "Statistics.h"

namespace vistrel64 {

// The areas as this process maps them (null until created).
extern TVslSystemArea* SystemArea;
extern TVslTopProcess* TopProcessWsArea;
extern TVslTopProcess* TopProcessPuArea;
extern TVslProcessMonitor (*ProcessMonitorArea)[VslMonitorSlots];
// The table of the last pass.
extern TProcessTable ProcessTable;

// Enables the debug privilege; a failed step is written to the standard error stream.
int EnableDebugPrivilege();
// Each creates (or opens) its area and maps it; a failure is written as debug output.
// The system area's command, reserved and heartbeat words are set to 0 (its name slots
// kept); the other areas are zero-filled unless they existed already.
int CreateSystemArea();
int CreateTopProcessWsArea();
int CreateTopProcessPuArea();
int CreateProcessMonitorArea();
// For each area in order: closes its mapping handle, then unmaps its view.
void CloseAreas();

// Rebuilds ProcessTable from the running processes.
void CollectProcesses();
// Write the areas from ProcessTable.
void PublishTopProcesses();
void PublishProcessMonitors();

// The terminate command as the system area holds it now.
bool TerminateRequested();

// The process id that follows the parent switch in the command line (decimal, above 0,
// within 32 bits); 0 when there is none, so that no process is watched.
std::uint32_t ParentProcessIdOf(const std::string& CommandLine);

// The whole program: privilege, areas, passes every 5000 ms until told to end or, when
// the command line names the Vistrel that started it, until that process has ended. The
// exit code: 0 after the terminate command or the parent's end, 1 after a start-up failure.
int RunCollector(const std::string& CommandLine);

}  // namespace vistrel64
