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

TEST(MappingInterpretation, LaunchesWaitForTheRunningCollectorAndTenSecondsAfterAFailure) {
    const std::uint64_t failed = 5000000000ull;  // a tick count past 32 bits
    const struct {
        const char* what;
        bool running;
        std::optional<std::uint64_t> failure;
        std::uint64_t now;
        bool allowed;
    } rows[] = {
        {"first launch", false, std::nullopt, 1000, true},
        {"the last one still runs", true, std::nullopt, 1000, false},
        {"still runs long after a failure", true, failed, failed + 60000, false},
        {"at the failure", false, failed, failed, false},
        {"9.999 s after", false, failed, failed + 9999, false},
        {"10 s after", false, failed, failed + 10000, true},
        {"a minute after", false, failed, failed + 60000, true},
        {"a clock before the failure", false, failed, failed - 1, true},
    };
    for (const auto& r : rows) EXPECT_EQ(LaunchAllowed(r.running, r.failure, r.now), r.allowed) << r.what;
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
