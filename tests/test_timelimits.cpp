#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "ItemTypes.h"
#include "Pipeline.h"
#include "TimeLimits.h"
#include "WinHandles.h"

namespace {

// Waits until the abandonable calls still running are down to Count.
bool RunningCallsFallTo(int Count) {
    for (int i = 0; i < 400; ++i) {
        if (RunningAbandonableCalls() <= Count) return true;
        Sleep(25);
    }
    return false;
}

// An event the test sets; calls hold a shared reference, so it outlives the test's scope.
std::shared_ptr<UniqueHandle> NewGate() {
    return std::make_shared<UniqueHandle>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

// A call that answers 1 at once and marks that it ran.
std::function<int(const std::atomic<bool>&)> MarksThatItRan(std::shared_ptr<std::atomic<bool>> Ran) {
    return [Ran](const std::atomic<bool>&) {
        *Ran = true;
        return 1;
    };
}

}  // namespace

TEST(ItemTimeLimit, LeftTimeFollowsTheInnermostLimit) {
    EXPECT_EQ(ItemTimeLeftMs(), kItemTimeLimitMs) << "outside any item the whole limit";
    EXPECT_EQ(ItemTimeLimitMs(), kItemTimeLimitMs);
    {
        const TItemTimeLimit outer(60000);
        EXPECT_LE(ItemTimeLeftMs(), 60000u);
        EXPECT_GT(ItemTimeLeftMs(), 50000u);
        {
            const TItemTimeLimit inner(30);
            EXPECT_EQ(ItemTimeLimitMs(), 30u);
            Sleep(80);
            EXPECT_EQ(ItemTimeLeftMs(), 0u) << "a spent limit leaves nothing, never wraps";
        }
        EXPECT_EQ(ItemTimeLimitMs(), 60000u);
        EXPECT_GT(ItemTimeLeftMs(), 50000u);
    }
    EXPECT_EQ(ItemTimeLeftMs(), kItemTimeLimitMs);
}

TEST(ItemTimeLimit, LimitsBelongToTheirThread) {
    const TItemTimeLimit limit(10);
    Sleep(30);
    DWORD other = 0;
    const std::function<DWORD(const std::atomic<bool>&)> call = [](const std::atomic<bool>&) { return ItemTimeLeftMs(); };
    other = RunAbandonable(call, 5000, L"probe");
    EXPECT_EQ(other, kItemTimeLimitMs);
    EXPECT_EQ(ItemTimeLeftMs(), 0u);
}

TEST(ItemTimeLimit, LimitTexts) {
    const struct {
        DWORD ms;
        const wchar_t* text;
    } rows[] = {{20000, L"20 s"}, {1000, L"1 s"}, {1001, L"2 s"}, {999, L"999 ms"}, {0, L"0 ms"}, {90000, L"90 s"}};
    for (const auto& r : rows) EXPECT_EQ(TimeLimitText(r.ms), r.text) << r.ms;
}

TEST(AbandonableCall, AnswerInTimeIsReturned) {
    const std::wstring input = L"copied";
    const std::function<std::wstring(const std::atomic<bool>&)> call = [input](const std::atomic<bool>& abandoned) {
        return abandoned ? std::wstring(L"abandoned") : input + L" back";
    };
    EXPECT_EQ(RunAbandonable(call, 5000, L"echo"), L"copied back");
}

TEST(AbandonableCall, ErrorOfTheCallIsRaisedInTheCaller) {
    const std::function<int(const std::atomic<bool>&)> call = [](const std::atomic<bool>&) -> int {
        throw EConvertError(L"not a number");
    };
    try {
        RunAbandonable(call, 5000, L"convert");
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), L"not a number");
    }
}

TEST(AbandonableCall, CallBlockedPastTheBoundIsLeftBehindWithItsOwnCopies) {
    const int before = RunningAbandonableCalls();
    const auto gate = NewGate();
    auto seen = std::make_shared<std::wstring>();
    auto sawAbandoned = std::make_shared<std::atomic<bool>>(false);
    {
        // The input lives only in this scope; the call keeps its own copy of it.
        std::wstring input = L"host-a";
        const std::function<int(const std::atomic<bool>&)> call = [input, gate, seen, sawAbandoned](
                                                                      const std::atomic<bool>& abandoned) {
            // Blocks until the test opens the gate; the bound is long past by then.
            WaitForSingleObject(gate->get(), 30000);
            *seen = input;
            *sawAbandoned = abandoned.load();
            return 7;
        };
        try {
            RunAbandonable(call, 200, L"\\\\host-a");
            FAIL() << "a call that blocks past the bound came back as answered";
        } catch (const ETimeLimit& e) {
            EXPECT_EQ(e.Message(), L"\\\\host-a gave no answer within 200 ms");
        }
        // Still blocked: the caller went on without it.
        EXPECT_EQ(WaitForSingleObject(gate->get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_EQ(RunningAbandonableCalls(), before + 1);
        input.assign(1000, L'#');  // the caller's data changes and goes; the call must not see it
    }
    SetEvent(gate->get());
    ASSERT_TRUE(RunningCallsFallTo(before)) << "the late call never ended";
    EXPECT_EQ(*seen, L"host-a");
    EXPECT_TRUE(*sawAbandoned) << "the late call is told that it was given up";
}

TEST(AbandonableCall, TooManyLateCallsRefuseTheNextWithoutRunningIt) {
    const int before = RunningAbandonableCalls();
    ASSERT_EQ(before, 0) << "an earlier test left calls running";
    const auto gate = NewGate();
    const std::function<int(const std::atomic<bool>&)> blocked = [gate](const std::atomic<bool>&) {
        WaitForSingleObject(gate->get(), 30000);
        return 0;
    };
    // Each of another source: a source whose late call still runs is not called again.
    for (int i = 0; i < kMaxRunningAbandonableCalls; ++i)
        EXPECT_THROW(RunAbandonable(blocked, 20, L"slow " + std::to_wstring(i)), ETimeLimit);
    EXPECT_EQ(RunningAbandonableCalls(), kMaxRunningAbandonableCalls);

    auto ran = std::make_shared<std::atomic<bool>>(false);
    const auto quick = MarksThatItRan(ran);
    try {
        RunAbandonable(quick, 5000, L"next");
        FAIL() << "no refusal";
    } catch (const ETimeLimit& e) {
        EXPECT_EQ(e.Message(), L"next not called: earlier calls that gave no answer still run");
    }
    EXPECT_FALSE(*ran);

    SetEvent(gate->get());
    ASSERT_TRUE(RunningCallsFallTo(0));
    EXPECT_EQ(RunAbandonable(quick, 5000, L"next"), 1) << "calls are taken again once the late ones ended";
}

// A source whose late call still runs is not called again meanwhile: the call is refused at
// once with the error the late one was given up with; other sources are called as usual,
// and the source is called again once its late call has ended.
TEST(AbandonableCall, SourceWhoseLateCallStillRunsIsNotCalledAgain) {
    const TItemInterval interval(200);  // the source's back-off once given up
    const int before = RunningAbandonableCalls();
    const auto gate = NewGate();
    auto calls = std::make_shared<std::atomic<int>>(0);
    const std::function<int(const std::atomic<bool>&)> blocked = [gate, calls](const std::atomic<bool>&) {
        ++*calls;
        WaitForSingleObject(gate->get(), 30000);
        return 0;
    };
    const std::wstring late = L"\\\\host-b gave no answer within 200 ms";
    for (int attempt = 0; attempt < 3; ++attempt) {
        try {
            RunAbandonable(blocked, 200, L"\\\\host-b");
            FAIL() << "a blocked call came back as answered";
        } catch (const ETimeLimit& e) {
            EXPECT_EQ(e.Message(), late) << attempt;
        }
    }
    EXPECT_EQ(*calls, 1) << "the source was called again while its late call still ran";
    EXPECT_EQ(RunningAbandonableCalls(), before + 1);

    auto ran = std::make_shared<std::atomic<bool>>(false);
    EXPECT_EQ(RunAbandonable(MarksThatItRan(ran), 5000, L"\\\\host-c"), 1) << "another source is called";
    EXPECT_TRUE(*ran);

    SetEvent(gate->get());
    ASSERT_TRUE(RunningCallsFallTo(before));
    Sleep(400);
    EXPECT_EQ(RunAbandonable(blocked, 5000, L"\\\\host-b"), 0)
        << "called again once the late call ended and the back-off passed";
    EXPECT_EQ(*calls, 2);
}

// A call whose source began to answer and then did not finish in time is late as one that
// did not finish, not as one that gave no answer.
TEST(AbandonableCall, SourceThatAnsweredButDidNotFinishIsNamedSo) {
    const int before = RunningAbandonableCalls();
    const auto gate = NewGate();
    const std::function<int(const std::atomic<bool>&)> slow = [gate](const std::atomic<bool>&) {
        MarkCallAnswering();
        WaitForSingleObject(gate->get(), 30000);
        return 0;
    };
    try {
        RunAbandonable(slow, 200, L"http://slow.example/");
        FAIL() << "a slow call came back as answered";
    } catch (const ETimeLimit& e) {
        EXPECT_EQ(e.Message(), L"http://slow.example/ did not finish within 200 ms");
    }
    MarkCallAnswering();  // outside a call: nothing to mark
    SetEvent(gate->get());
    ASSERT_TRUE(RunningCallsFallTo(before));
}

TEST(AbandonableCall, SpentLimitCallsNothing) {
    auto ran = std::make_shared<std::atomic<bool>>(false);
    EXPECT_THROW(RunAbandonable(MarksThatItRan(ran), 0, L"late"), ETimeLimit);
    EXPECT_FALSE(*ran);
}

namespace {
DWORD leftInRoutine = 0;
}  // namespace

TEST(ItemTimeLimit, PipelineRunsEachRoutineWithinItsOwnLimit) {
    TItemData data;
    const TGatherProc routine = [](TItemOptionArray, TItemData&, std::wstring&) {
        Sleep(150);
        leftInRoutine = ItemTimeLeftMs();
    };
    ASSERT_TRUE(DoProc(routine, TItemOptionArray{}, data));
    EXPECT_LT(leftInRoutine, kItemTimeLimitMs) << "the routine's time counts against a limit";
    EXPECT_GT(leftInRoutine, kItemTimeLimitMs - 5000);
    EXPECT_EQ(ItemTimeLeftMs(), kItemTimeLimitMs) << "the limit ends with the routine";
}

// ---- sources given up -------------------------------------------------------------------------

namespace {

class GivenUpSource : public ::testing::Test {
protected:
    void SetUp() override { ForgetGivenUpSources(); }
    void TearDown() override { ForgetGivenUpSources(); }
};

}  // namespace

TEST_F(GivenUpSource, BackOffStartsAtTheIntervalAndDoublesUpToItsBound) {
    const struct {
        int giveUps;
        DWORD interval, expected;
    } rows[] = {
        {1, 5000, 5000},      {2, 5000, 10000},     {3, 5000, 20000},   {6, 5000, 160000},
        {7, 5000, 300000},    {1000, 5000, 300000},  // the bound, without overflow
        {1, 0, 20000},        {2, 0, 40000},         // an item without an interval: from the time limit
        {1, 1000, 1000},      {1, 600000, 300000},   {1, 0xFFFFFFFFu, 300000},
    };
    for (const auto& r : rows)
        EXPECT_EQ(SourceBackOffMs(r.giveUps, r.interval), r.expected) << r.giveUps << " " << r.interval;
}

// A source given up is not called, even once its late call has ended, until its back-off
// has passed; meanwhile each call fails at once with the error it was given up with.
TEST_F(GivenUpSource, IsNotCalledUntilItsBackOffHasPassed) {
    const int before = RunningAbandonableCalls();
    const auto gate = NewGate();
    auto calls = std::make_shared<std::atomic<int>>(0);
    const std::function<int(const std::atomic<bool>&)> blocked = [gate, calls](const std::atomic<bool>&) {
        ++*calls;
        WaitForSingleObject(gate->get(), 30000);
        return 0;
    };
    {
        const TItemInterval interval(600000);
        EXPECT_THROW(RunAbandonable(blocked, 100, L"http://backoff.example/"), ETimeLimit);
        // The late call ends at once, as WinINet's own time-outs end a given-up fetch.
        SetEvent(gate->get());
        ASSERT_TRUE(RunningCallsFallTo(before));
        for (int attempt = 0; attempt < 3; ++attempt) {
            try {
                RunAbandonable(blocked, 5000, L"http://backoff.example/");
                FAIL() << "a source given up was called again within its back-off";
            } catch (const ETimeLimit& e) {
                EXPECT_EQ(e.Message(), L"http://backoff.example/ gave no answer within 100 ms") << attempt;
            }
        }
        EXPECT_EQ(*calls, 1);
        EXPECT_THROW(CheckSourceCallable(L"http://backoff.example/"), ETimeLimit);
        EXPECT_NO_THROW(CheckSourceCallable(L"http://other.example/"));
    }
    // A short back-off passes.
    ForgetGivenUpSources();
    ResetEvent(gate->get());
    {
        const TItemInterval interval(200);
        EXPECT_THROW(RunAbandonable(blocked, 100, L"http://backoff.example/"), ETimeLimit);
        SetEvent(gate->get());
        ASSERT_TRUE(RunningCallsFallTo(before));
        Sleep(400);
        EXPECT_EQ(RunAbandonable(blocked, 5000, L"http://backoff.example/"), 0);
        EXPECT_EQ(*calls, 3);
    }
}

// A wait bounded without a thread of its own gives its source up the same way, and an
// answer in time ends the back-off at once.
TEST_F(GivenUpSource, AnAnswerInTimeEndsTheBackOff) {
    const TItemInterval interval(600000);
    NoteSourceGivenUp(L"WMI test source", L"WMI test source gave no object within 20 s");
    try {
        CheckSourceCallable(L"WMI test source");
        FAIL() << "a source given up could be called within its back-off";
    } catch (const ETimeLimit& e) {
        EXPECT_EQ(e.Message(), L"WMI test source gave no object within 20 s");
    }
    NoteSourceAnswered(L"WMI test source");
    EXPECT_NO_THROW(CheckSourceCallable(L"WMI test source"));
}
