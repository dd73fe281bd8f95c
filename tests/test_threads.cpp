#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "Errors.h"
#include "Threads.h"
#include "WinHandles.h"

namespace {

// A worker that makes synchronised calls in a loop until told to stop.
class CallingThread : public TThread {
public:
    std::atomic<int> calls{0};
    DWORD windowThread = 0;
    bool ranOnWindowThread = true;

protected:
    void Execute() override {
        while (!Terminated()) {
            Synchronize([this] {
                if (GetCurrentThreadId() != windowThread) ranOnWindowThread = false;
                ++calls;
            });
            SleepUnlessTerminated(1);
        }
    }
};

class Synchronizer : public ::testing::Test {
protected:
    void SetUp() override { InitSynchronizer(); }
    void TearDown() override { FinalizeSynchronizer(); }
};

}  // namespace

TEST_F(Synchronizer, CallsRunOnWindowThreadWhileItWaits) {
    CallingThread t;
    t.windowThread = GetCurrentThreadId();
    t.Start();
    // The window thread only waits here: the worker's calls are served by the wait.
    while (t.calls < 50) {
        HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        WaitServingCalls(never, 5);
        CloseHandle(never);
    }
    t.Terminate();
    EXPECT_TRUE(t.WaitFor(5000));
    EXPECT_TRUE(t.ranOnWindowThread);
}

TEST_F(Synchronizer, ExceptionsReachTheCaller) {
    struct Raiser : TThread {
        bool caught = false;
        void Execute() override {
            try {
                Synchronize([] { throw EConvertError(L"bad"); });
            } catch (const EConvertError& e) {
                caught = e.Message() == L"bad";
            }
        }
    } t;
    t.Start();
    EXPECT_TRUE(t.WaitFor(5000));
    EXPECT_TRUE(t.caught);
}

TEST_F(Synchronizer, OnWindowThreadRunsAtOnce) {
    int n = 0;
    EXPECT_TRUE(Synchronize([&] { ++n; }));
    EXPECT_EQ(n, 1);
}

TEST(SynchronizerGone, CallsAreSkipped) {
    struct Caller : TThread {
        bool result = true;
        void Execute() override { result = Synchronize([] {}); }
    } t;
    t.Start();
    EXPECT_TRUE(t.WaitFor(5000));
    EXPECT_FALSE(t.result);
}

TEST_F(Synchronizer, BoundedWaitReturnsWhileThreadRuns) {
    struct Sleeper : TThread {
        void Execute() override { SleepUnlessTerminated(INFINITE); }
    } t;
    t.Start();
    EXPECT_FALSE(t.WaitFor(50));
    t.Terminate();  // wakes the sleep at once
    EXPECT_TRUE(t.WaitFor(5000));
}

TEST_F(Synchronizer, DetachedThreadsFreeThemselves) {
    static std::atomic<int> destroyed{0};
    struct Short : TThread {
        ~Short() override { ++destroyed; }
        void Execute() override { Sleep(GetCurrentThreadId() % 3); }
    };
    destroyed = 0;
    for (int i = 0; i < 100; ++i) {
        auto* t = new Short;
        t->Start();
        if (i % 2) Sleep(1);
        t->Detach();
    }
    for (int i = 0; i < 500 && destroyed < 100; ++i) Sleep(10);
    EXPECT_EQ(destroyed.load(), 100);
}

namespace {
std::atomic<int> serves{0};
// A serve step that takes only repaints and says so, or, like one that did not, asks to
// be woken by all input.
DWORD RepaintsOnly() {
    ++serves;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE)) DispatchMessageW(&msg);
    return QS_PAINT;
}
DWORD RepaintsOnlyWokenByAll() {
    RepaintsOnly();
    return QS_ALLINPUT;
}
}  // namespace

// A wait whose serve step takes only repaints is not woken by other messages that arrive
// meanwhile (the step would leave them queued, and be called over and over); a step that
// asks for all input is.
TEST_F(Synchronizer, AServeStepIsWokenOnlyByWhatItTakes) {
    const struct {
        TServeStep step;
        int serves;
    } rows[] = {{RepaintsOnly, 1}, {RepaintsOnlyWokenByAll, 2}};
    const DWORD self = GetCurrentThreadId();
    for (const auto& r : rows) {
        MSG drop;
        while (PeekMessageW(&drop, nullptr, 0, 0, PM_REMOVE)) {
        }
        const UniqueHandle never(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        serves = 0;
        std::thread poster([self] {
            Sleep(100);
            PostThreadMessageW(self, WM_APP, 0, 0);
        });
        EXPECT_FALSE(WaitServingCalls(never.get(), 3000, r.step));
        poster.join();
        EXPECT_EQ(serves.load(), r.serves) << r.serves;
    }
    MSG drop;
    while (PeekMessageW(&drop, nullptr, 0, 0, PM_REMOVE)) {
    }
}
