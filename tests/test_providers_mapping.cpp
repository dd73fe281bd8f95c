// The shared-area client's interpretation of the areas, over constructed records.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "Errors.h"
#include "MainLoop.h"
#include "Mapping.h"
#include "NativePaths.h"
#include "ProgramEnd.h"
#include "test_providers_support.h"

TEST(MappingInterpretation, HeartbeatAgeInWholeSeconds) {
    const struct {
        std::uint32_t now, beat, age;
    } rows[] = {
        {20000, 20000, 0}, {20999, 20000, 0}, {30999, 20000, 10}, {31000, 20000, 11},
        {21000, 20999, 1},  // different seconds although 1 ms apart
        {5000000, 0, 5000}, {0xFFFFFFFFu, 0, 4294967},
    };
    for (const auto& r : rows) EXPECT_EQ(HeartbeatAge(r.now, r.beat), r.age) << r.now << " " << r.beat;
    EXPECT_LE(HeartbeatAge(30999, 20000), HeartbeatMaxAge);
    EXPECT_GT(HeartbeatAge(31000, 20000), HeartbeatMaxAge);
}

TEST(MappingInterpretation, HeartbeatInALaterSecondRaisesIntegerOverflow) {
    try {
        HeartbeatAge(20999, 21000);
        FAIL() << "no error";
    } catch (const EIntOverflow& e) {
        EXPECT_EQ(e.Message(), L"Integer overflow");
    }
    EXPECT_THROW(HeartbeatAge(5, 0xFFFFFFFFu), EIntOverflow);
}

TEST(MappingInterpretation, LaunchesWaitForAPendingLaunchAndAPauseThatGrowsWithEveryFailure) {
    const std::uint64_t failed = 5000000000ull;  // a tick count past 32 bits
    const auto after = [&](std::uint32_t failures) { return TLaunchRecord{failures, failed}; };
    const struct {
        const char* what;
        bool pending;
        TLaunchRecord record;
        std::uint64_t now;
        bool allowed;
    } rows[] = {
        {"first launch", false, {}, 1000, true},
        {"the last one may still come up", true, {}, 1000, false},
        {"pending long after a failure", true, after(1), failed + 3600000, false},
        {"at the failure", false, after(1), failed, false},
        {"one failure: 9.999 s after", false, after(1), failed + 9999, false},
        {"one failure: 10 s after", false, after(1), failed + 10000, true},
        {"two failures: 10 s after", false, after(2), failed + 10000, false},
        {"two failures: 20 s after", false, after(2), failed + 20000, true},
        {"three failures: 39.999 s after", false, after(3), failed + 39999, false},
        {"three failures: 40 s after", false, after(3), failed + 40000, true},
        {"many failures: 9 min after", false, after(50), failed + 540000, false},
        {"many failures: 10 min after", false, after(50), failed + 600000, true},
        {"a clock before the failure", false, after(3), failed - 1, true},
    };
    for (const auto& r : rows) EXPECT_EQ(LaunchAllowed(r.pending, r.record, r.now), r.allowed) << r.what;
}

TEST(MappingInterpretation, ThePauseDoublesWithEveryFailedLaunchUpToTenMinutes) {
    const struct {
        std::uint32_t failures;
        std::uint64_t pause;
    } rows[] = {{0, 0},      {1, 10000},  {2, 20000},  {3, 40000},  {4, 80000},
                {6, 320000}, {7, 600000}, {8, 600000}, {64, 600000}, {0xFFFFFFFFu, 600000}};
    for (const auto& r : rows) EXPECT_EQ(LaunchPauseMs(r.failures), r.pause) << r.failures;
}

TEST(MappingInterpretation, WhatBecameOfALaunch) {
    using O = TLaunchOutcome;
    auto facts = [](bool started, bool hasProcess, bool ended, bool served, bool toldToEnd, bool areaMissing) {
        TLaunchFacts f;
        f.Started = started;
        f.HasProcess = hasProcess;
        f.ProcessEnded = ended;
        f.Served = served;
        f.ToldToEnd = toldToEnd;
        f.AreaMissing = areaMissing;
        return f;
    };
    const struct {
        const char* what;
        TLaunchFacts facts;
        TLaunchOutcome outcome;
    } rows[] = {
        {"the shell could not start it", facts(false, false, false, false, false, true), O::Failed},
        {"the shell could not start it, a reload meanwhile", facts(false, false, false, false, true, true), O::Failed},
        {"its process runs, no heartbeat yet", facts(true, true, false, false, false, true), O::Pending},
        {"its process ended before a heartbeat", facts(true, true, true, false, false, false), O::Failed},
        {"its heartbeat was seen", facts(true, true, false, true, false, false), O::Served},
        {"it served, then ended", facts(true, true, true, true, false, true), O::Served},
        {"no process handed out, its area is there", facts(true, false, false, false, false, false), O::Pending},
        {"no process handed out, no area", facts(true, false, false, false, false, true), O::Failed},
        {"no process handed out, it served", facts(true, false, false, true, false, true), O::Served},
        {"a reload told it to end before it served", facts(true, true, true, false, true, true), O::Withdrawn},
        {"a reload told it to end while it runs", facts(true, true, false, false, true, false), O::Withdrawn},
        {"a reload told it to end, no process handed out", facts(true, false, false, false, true, true),
         O::Withdrawn},
        {"a reload after it served", facts(true, true, true, true, true, true), O::Served},
    };
    for (const auto& r : rows) EXPECT_EQ(LaunchOutcomeOf(r.facts), r.outcome) << r.what;
}

TEST(MappingInterpretation, FailuresAreCountedUntilALaunchServes) {
    TLaunchRecord record;
    record = RecordLaunchOutcome(record, TLaunchOutcome::Failed, 1000);
    EXPECT_EQ(record.Failures, 1u);
    EXPECT_EQ(record.LastFailure, std::optional<std::uint64_t>(1000));
    // Neither a pending launch nor one a reload withdrew changes the count or its time.
    for (const TLaunchOutcome o : {TLaunchOutcome::Pending, TLaunchOutcome::Withdrawn}) {
        record = RecordLaunchOutcome(record, o, 5000);
        EXPECT_EQ(record.Failures, 1u);
        EXPECT_EQ(record.LastFailure, std::optional<std::uint64_t>(1000));
    }
    record = RecordLaunchOutcome(record, TLaunchOutcome::Failed, 20000);
    EXPECT_EQ(record.Failures, 2u);
    EXPECT_EQ(record.LastFailure, std::optional<std::uint64_t>(20000));
    EXPECT_FALSE(LaunchAllowed(false, record, 30000));
    // A launch that served starts afresh: the next failure pauses 10 s again.
    record = RecordLaunchOutcome(record, TLaunchOutcome::Served, 60000);
    EXPECT_EQ(record.Failures, 0u);
    EXPECT_FALSE(record.LastFailure);
    EXPECT_TRUE(LaunchAllowed(false, record, 60000));
    // The count saturates instead of wrapping back to no pause.
    record = RecordLaunchOutcome(TLaunchRecord{0xFFFFFFFFu, 1}, TLaunchOutcome::Failed, 2);
    EXPECT_EQ(record.Failures, 0xFFFFFFFFu);
    EXPECT_EQ(LaunchPauseMs(record.Failures), LaunchLongestPauseMs);
}

TEST(MappingInterpretation, TheCollectorIsStartedWithoutTheShellsPromptsAndHidden) {
    const std::wstring path = L"C:\\Users\\u\\Downloads\\vistrel\\Vistrel64.exe", parameters = L"/parent=42";
    const SHELLEXECUTEINFOW sei = StatisticsProgramStartInfo(path, parameters);
    EXPECT_EQ(sei.cbSize, sizeof sei);
    // No zone check: the shell's security warning for a downloaded file would wait for an
    // answer; no message box of the shell's own either.
    EXPECT_EQ(sei.fMask & SEE_MASK_NOZONECHECKS, static_cast<ULONG>(SEE_MASK_NOZONECHECKS));
    EXPECT_EQ(sei.fMask & SEE_MASK_FLAG_NO_UI, static_cast<ULONG>(SEE_MASK_FLAG_NO_UI));
    EXPECT_EQ(sei.fMask & SEE_MASK_NOCLOSEPROCESS, static_cast<ULONG>(SEE_MASK_NOCLOSEPROCESS));
    EXPECT_EQ(std::wstring(sei.lpVerb), L"open");
    EXPECT_EQ(sei.lpFile, path.c_str());
    EXPECT_EQ(sei.lpParameters, parameters.c_str());
    EXPECT_EQ(sei.lpDirectory, nullptr);
    EXPECT_EQ(sei.nShow, SW_HIDE);
}

TEST(MappingInterpretation, TheCollectorIsStartedOnlyWhere64BitProgramsRun) {
    const struct {
        const char* what;
        bool process64, wow64, canRun;
    } rows[] = {
        {"the 32-bit program on 64-bit Windows", false, true, true},
        {"the 32-bit program on 32-bit Windows", false, false, false},
        {"a 64-bit build", true, false, true},
    };
    for (const auto& r : rows) EXPECT_EQ(StatisticsProgramCanRun(r.process64, r.wow64), r.canRun) << r.what;
    // Here the prefix is 64-bit Windows: the 32-bit build runs under WOW64, the 64-bit one not.
    EXPECT_EQ(RunsUnderWow64(), sizeof(void*) == 4);
}

TEST(MappingInterpretation, SlotsAreSearchedCaseSensitivelyAndFilledFirstFree) {
    TVslSystemArea area{};
    EXPECT_EQ(FindNameSlot(area, L"Notepad.exe"), -1);
    EXPECT_EQ(RegisterNameSlot(area, L"Notepad.exe"), 0);
    EXPECT_EQ(FindNameSlot(area, L"Notepad.exe"), 0);
    EXPECT_EQ(FindNameSlot(area, L"notepad.exe"), -1);
    EXPECT_EQ(RegisterNameSlot(area, L"notepad.exe"), 1);
    // A freed slot (first unit 0, stale rest) is the next one filled, whole.
    VslSetName(area.MonitorNames[0], L"zzzzzzzzzzzzzzzzzzzz");
    area.MonitorNames[0][0] = L'\0';
    EXPECT_EQ(FindNameSlot(area, L"zzzzzzzzzzzzzzzzzzz"), -1);
    EXPECT_EQ(RegisterNameSlot(area, L"b.exe"), 0);
    EXPECT_EQ(VslNameText(area.MonitorNames[0]), L"b.exe");
    for (std::size_t i = 5; i < VslNameUnits; ++i) EXPECT_EQ(area.MonitorNames[0][i], L'\0') << i;
}

TEST(MappingInterpretation, NamesThatCannotBeRegistered) {
    TVslSystemArea area{};
    const std::wstring longest(VslMaxNameLength, L'a');
    const std::wstring tooLong(VslMaxNameLength + 1, L'a');
    EXPECT_EQ(RegisterNameSlot(area, tooLong), -1);
    EXPECT_EQ(RegisterNameSlot(area, L""), -1);
    EXPECT_EQ(FindNameSlot(area, L""), -1);  // a free slot is no name's slot
    EXPECT_EQ(RegisterNameSlot(area, longest), 0);
    EXPECT_EQ(FindNameSlot(area, longest), 0);
    EXPECT_EQ(area.MonitorNames[0][VslMaxNameLength], L'\0');
    for (int i = 1; i < 10; ++i) EXPECT_EQ(RegisterNameSlot(area, L"n" + std::to_wstring(i)), i);
    EXPECT_EQ(RegisterNameSlot(area, L"eleven.exe"), -1);
    EXPECT_EQ(FindNameSlot(area, L"eleven.exe"), -1);
}

TEST(MappingInterpretation, RecordBelongsToTheNameIgnoringCase) {
    const struct {
        const wchar_t* recordName;
        const wchar_t* asked;
        bool expected;
    } rows[] = {
        {L"Notepad.exe", L"notepad.exe", true}, {L"Notepad.exe", L"NOTEPAD.EXE", true},
        {L"notepad.exe", L"notepad.exe", true}, {L"", L"notepad.exe", false},
        {L"notepad.ex", L"notepad.exe", false}, {L"calc.exe", L"notepad.exe", false},
        {L"\u00C4rger.exe", L"\u00E4rger.exe", true},
    };
    for (const auto& r : rows) {
        TVslProcessMonitor record{};
        VslSetName(record.Name, r.recordName);
        EXPECT_EQ(MonitorRecordIsFor(record, r.asked), r.expected) << r.recordName << " / " << r.asked;
    }
    // A name field without a zero unit is read within the field.
    TVslProcessMonitor full;
    std::memset(&full, 0, sizeof full);
    for (wchar_t& c : full.Name) c = L'x';
    EXPECT_TRUE(MonitorRecordIsFor(full, std::wstring(VslNameUnits, L'x')));
}

TEST(MappingInterpretation, ProgramPathFollowsTheFolder) {
    StatisticsProgramFolder = L"C:\\tools";
    EXPECT_EQ(StatisticsProgramPath(), L"C:\\tools\\Vistrel64.exe");
    StatisticsProgramFolder = L"C:\\tools\\";
    EXPECT_EQ(StatisticsProgramPath(), L"C:\\tools\\Vistrel64.exe");
    StatisticsProgramFolder.clear();
    EXPECT_EQ(StatisticsProgramPath(), ProgramDirectory() + L"Vistrel64.exe");
}

TEST(MappingInterpretation, CommandsWithoutAreasOnlyLog) {
    LogCapture log;
    LogLevels = LogLevels | (1u << llMap);
    CloseMapping();
    SendTerminateCommand();
    ClearProcessMonitors();
    EXPECT_EQ(log.Count(L"MAP", L"Mapping: SendTerminateCommand"), 1);
    EXPECT_EQ(log.Count(L"MAP", L"Mapping: ClearProcessMonitors"), 1);
}

namespace {
// One of the main loop's hooks, emptied and then set by the client's registration for the
// life of this object, and given back its earlier value afterwards.
class RegisteredHook {
public:
    explicit RegisteredHook(void (*&Hook)()) : hook_(Hook), saved_(Hook) {
        hook_ = nullptr;
        RegisterMappingProviders();
    }
    ~RegisteredHook() { hook_ = saved_; }
    RegisteredHook(const RegisteredHook&) = delete;
    RegisteredHook& operator=(const RegisteredHook&) = delete;
    bool Set() const { return hook_ != nullptr; }

private:
    void (*&hook_)();
    void (*saved_)();
};
}  // namespace

TEST(MappingInterpretation, RegistrationGivesTheReloadTheStopOfTheStatisticsProgram) {
    // A reload calls the hook; once the client is registered, that call empties the
    // monitor-name slots and tells the statistics program to end, in this order.
    const RegisteredHook hook(StopStatisticsProgramHook);
    ASSERT_TRUE(hook.Set());
    LogCapture log;
    LogLevels = LogLevels | (1u << llMap);
    StopStatisticsProgramHook();
    EXPECT_EQ(log.At(L"MAP"),
              (std::vector<std::wstring>{L"Mapping: ClearProcessMonitors", L"Mapping: SendTerminateCommand"}));
}

TEST(MappingInterpretation, RegistrationGivesTheForcedEndOnlyTheTerminateCommand) {
    // An end that cannot wait for a routine still running leaves the slots and the views as
    // they are: the routine may be using them.
    const RegisteredHook hook(SignalStatisticsProgramEndHook);
    ASSERT_TRUE(hook.Set());
    LogCapture log;
    LogLevels = LogLevels | (1u << llMap) | (1u << llDebug);
    DefaultProgramEndSteps().StopStatisticsProgram();
    EXPECT_EQ(log.At(L"MAP"), std::vector<std::wstring>{L"Mapping: SendTerminateCommand"});
    EXPECT_TRUE(log.At(L"DEBUG").empty());
}
