// The client of Vistrel64's shared areas: opens them (starting Vistrel64 when they do not
// exist), judges from the heartbeat whether it is alive, hands out its top-process and
// per-name records, registers the names to watch and tells it to stop.
//
// The gathering routines call in from the collection thread while the reload and the
// program's end close the areas from the window thread: one lock serialises every routine
// here, and records are handed out as copies taken under it, so a view is never unmapped
// while someone reads it. The collector is started without that lock held, and the
// forced end does not take it.
#pragma once

#include <windows.h>

#include <shellapi.h>

#include <cstdint>
#include <optional>
#include <string>

#include "SharedAreas.h"
#include "WinHandles.h"

// The folder Vistrel64.exe is started from; empty (the default) means the running
// program's own folder. Tests point it elsewhere.
extern std::wstring StatisticsProgramFolder;
// The collector's executable: the folder above + "Vistrel64.exe".
std::wstring StatisticsProgramPath();

// OpenFileMappingA with all access, not inheritable; logs the call's system error text at
// MAP. Answers 0 on failure.
HANDLE OpenMappingFile(const std::string& Name);
// Each opens its area and maps a view of the area's size; logs True/False at MAP.
void CreateSystemMapView();
void CreateTopProcessWsMapView();
void CreateTopProcessPuMapView();
void CreateProcessMonitorMapView();
// Writes the terminate command into the system area: through the view when it is held,
// else, when this program has used a collector since it last told one to end, through
// the area opened by name (a collector that other programs use is left alone).
void SendTerminateCommand();
// Closes the four handles and unmaps the four views.
void CloseMapping();
// Whether Vistrel64's heartbeat is at most 10 s old; needs the system view mapped.
// Raises EIntOverflow when the heartbeat's second is later than the current one.
bool Heartbeat();
// True when the areas can be used: connects, starting Vistrel64 when needed (but never a
// second one while the one started before may still come up, nor again within the pause
// that follows failed starts, nor where 64-bit programs cannot run), and maps every area
// not mapped yet once the heartbeat is fresh. A start that fails is logged at ERROR and
// followed by no attempt to connect. Must be called without the lock of this unit held.
bool ConnectServer();

// A copy of the top record; Record stays empty when ConnectServer answered true but the
// area is not mapped yet (the caller then gathers by itself).
bool GetTopProcessWs(std::optional<TVslTopProcess>& Record);
bool GetTopProcessPu(std::optional<TVslTopProcess>& Record);
// Registers Name in a free name slot on first use (answer false); once Vistrel64 has
// written that slot's record, answers true with a copy of it. Names longer than
// VslMaxNameLength units are never registered.
bool GetProcessMonitor(const std::wstring& Name, std::optional<TVslProcessMonitor>& Record);
// Frees the ten name slots (first unit of each set to 0).
void ClearProcessMonitors();

// Before a reload and at the program's end: frees the name slots, tells Vistrel64 to
// end, closes the areas.
void StopStatisticsProgram();
// At an end that cannot wait for a gathering routine still running: tells Vistrel64 to
// end through its system area opened anew, when this program has used one since it last
// told one to end. Takes no lock and leaves the views as they are.
void SignalStatisticsProgramEnd();
// Installs StopStatisticsProgram and SignalStatisticsProgramEnd as the main loop's seams.
void RegisterMappingProviders();

// Starts Vistrel64 at Path through the shell (StatisticsProgramStartInfo), naming this
// process as the one whose end ends it too. False with the system's error code when it
// could not be started; Process receives the process handle when the shell gives one.
bool StartStatisticsProgram(const std::wstring& Path, UniqueHandle& Process, DWORD& Error);
// The start ConnectServer uses: StartStatisticsProgram; tests wrap it.
using TStatisticsProgramStart = bool (*)(const std::wstring& Path, UniqueHandle& Process, DWORD& Error);
extern TStatisticsProgramStart StatisticsProgramStart;

// The interpretation of the areas, as plain functions over values.

// The shell's start of the collector: the verb "open", hidden, keeping the process handle,
// with no message box and no zone check of the shell's own. A Vistrel64.exe unpacked from
// a downloaded archive carries the Internet zone mark, whose security warning would wait
// for an answer with every item waiting behind it. Path and Parameters must outlive the
// record.
SHELLEXECUTEINFOW StatisticsProgramStartInfo(const std::wstring& Path, const std::wstring& Parameters);
// Whether the 64-bit collector can run: in a 64-bit process, or in a 32-bit one under
// WOW64; 32-bit Windows runs no 64-bit program.
bool StatisticsProgramCanRun(bool ProcessIs64Bit, bool RunsUnderWow64);

// Seconds since the heartbeat: NowTick / 1000 - BeatTick / 1000, unsigned. Raises
// EIntOverflow when the heartbeat's second is later than the current one.
std::uint32_t HeartbeatAge(std::uint32_t NowTick, std::uint32_t BeatTick);
// Alive while the heartbeat is at most this many seconds old.
inline constexpr std::uint32_t HeartbeatMaxAge = 10;

// What this program knows of its last launch of the collector.
struct TLaunchFacts {
    bool Started = false;       // the shell reported the start
    bool HasProcess = false;    // and handed out the collector's process
    bool ProcessEnded = false;  // which has ended since
    bool Served = false;        // a fresh heartbeat was seen since the launch
    bool ToldToEnd = false;     // this program has told the collector to end since (a reload, its end)
    bool AreaMissing = false;   // the collector's system area cannot be opened now
};
// What became of a launch: still Pending (its process runs, or without a process its area
// is there), Served, Failed (counted towards the pause before the next launch), or
// Withdrawn (told to end before it served: a reload's doing, not counted).
enum class TLaunchOutcome { Pending, Served, Failed, Withdrawn };
// A start the shell refused has failed; one whose heartbeat was seen has served; one told
// to end is withdrawn; else one with a process has failed once the process ended, and one
// without a process (the shell may start a program without handing it out) once its area
// is missing.
TLaunchOutcome LaunchOutcomeOf(const TLaunchFacts& Facts);

// The failed launches since the last one that served, and when the last was found failed.
struct TLaunchRecord {
    std::uint32_t Failures = 0;
    std::optional<std::uint64_t> LastFailure;
};
// The record after a launch's outcome at tick NowTick: a failure is counted, a launch that
// served starts the count afresh, the others leave it.
TLaunchRecord RecordLaunchOutcome(TLaunchRecord Record, TLaunchOutcome Outcome, std::uint64_t NowTick);
// The pause before a new launch after Failures failed ones in a row, in milliseconds: none
// before a failure, then LaunchFirstPauseMs doubling with every further failure up to
// LaunchLongestPauseMs, so that a collector that cannot start is not tried for ever at the
// same short pace.
inline constexpr std::uint64_t LaunchFirstPauseMs = 10000;
inline constexpr std::uint64_t LaunchLongestPauseMs = 600000;
std::uint64_t LaunchPauseMs(std::uint32_t Failures);
// Whether a collector may be launched now (tick counts of GetTickCount64): never while the
// launch before is pending, nor within the pause after the last failure.
bool LaunchAllowed(bool LaunchPending, const TLaunchRecord& Record, std::uint64_t NowTick);
// The first slot whose text equals Name unit by unit (case-sensitive), or -1.
int FindNameSlot(const TVslSystemArea& Area, const std::wstring& Name);
// Zero-fills the first free slot and copies Name into it; the slot's index, or -1 when all
// slots are in use or Name is empty or longer than VslMaxNameLength.
int RegisterNameSlot(TVslSystemArea& Area, const std::wstring& Name);
// Whether the record's Name and Name agree as lower-cased 8-bit text of the system code
// page (Vistrel64 has rewritten the record for this name).
bool MonitorRecordIsFor(const TVslProcessMonitor& Record, const std::wstring& Name);
