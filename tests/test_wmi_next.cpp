// The WMI enumeration's wait: each Next is bounded by what the item has left of its time
// limit, tested through constructed enumerators.
#include <winsock2.h>
#include <windows.h>
#include <wbemidl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ComHandles.h"
#include "TimeLimits.h"
#include "WinHandles.h"
#include "Wmi.h"

namespace {

// An enumerator that never delivers an object: Next waits as long as it is told and then
// reports the timeout. Told to wait forever, it gives up at once and reports the end of
// the set instead, so that a caller without a bound shows up as one that saw no timeout.
class SilentEnumerator : public IEnumWbemClassObject {
public:
    explicit SilentEnumerator(HRESULT Answer = WBEM_S_TIMEDOUT) : answer_(Answer) {}

    long AskedTimeout() const { return asked_; }
    int Calls() const { return calls_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (riid == IID_IUnknown || riid == __uuidof(IEnumWbemClassObject)) {
            *out = static_cast<IEnumWbemClassObject*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }  // lives on the test's stack

    HRESULT STDMETHODCALLTYPE Reset() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Next(long lTimeout, ULONG uCount, IWbemClassObject** apObjects,
                                   ULONG* puReturned) override {
        ++calls_;
        asked_ = lTimeout;
        for (ULONG i = 0; i < uCount; ++i) apObjects[i] = nullptr;
        *puReturned = 0;
        if (answer_ != WBEM_S_TIMEDOUT) return answer_;
        if (lTimeout == static_cast<long>(WBEM_INFINITE)) return WBEM_S_FALSE;
        WaitForSingleObject(never_.get(), static_cast<DWORD>(lTimeout));
        return WBEM_S_TIMEDOUT;
    }
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Skip(long, ULONG) override { return E_NOTIMPL; }

private:
    HRESULT answer_;
    UniqueHandle never_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<ULONG> refs_{1};
    std::atomic<long> asked_{0};
    std::atomic<int> calls_{0};
};

}  // namespace

TEST(WmiNext, ProviderThatNeverDeliversEndsAtTheItemsTimeLimit) {
    SilentEnumerator objects;
    ComPtr<IWbemClassObject> object;
    const TItemTimeLimit limit(300);
    try {
        WmiNextObject(&objects, object);
        FAIL() << "an enumeration that never delivered ended as if it had no more objects";
    } catch (const ETimeLimit& e) {
        EXPECT_EQ(e.Message(), L"WMI gave no object within 300 ms");
    }
    EXPECT_NE(objects.AskedTimeout(), static_cast<long>(WBEM_INFINITE));
    EXPECT_GE(objects.AskedTimeout(), 0);
    EXPECT_LE(objects.AskedTimeout(), 300);
    EXPECT_FALSE(object);

    // The limit is spent: a further Next does not wait at all.
    EXPECT_THROW(WmiNextObject(&objects, object), ETimeLimit);
    EXPECT_EQ(objects.AskedTimeout(), 0);
    ForgetGivenUpSources();
}

TEST(WmiNext, OutsideAnItemEachNextWaitsTheWholeLimitAtMost) {
    SilentEnumerator objects(WBEM_S_FALSE);
    ComPtr<IWbemClassObject> object;
    EXPECT_FALSE(WmiNextObject(&objects, object)) << "the end of the set is no error";
    EXPECT_EQ(objects.AskedTimeout(), static_cast<long>(kItemTimeLimitMs));
}

TEST(WmiNext, FailureOfNextRaises) {
    SilentEnumerator objects(WBEM_E_FAILED);
    ComPtr<IWbemClassObject> object;
    EXPECT_THROW(WmiNextObject(&objects, object), EOleError);
}

// ---- the connection ---------------------------------------------------------------------------

namespace {

// A locator whose connection waits until the test lets it go (a WMI service that does not
// answer), then fails; it counts the connections asked of it. Its calls may outlive the
// test's scope: it is freed with its last reference.
class SilentLocator final : public IWbemLocator {
public:
    static std::atomic<int> Connects;
    static HANDLE Gate() {
        static const HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        return gate;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (riid == IID_IUnknown || riid == __uuidof(IWbemLocator)) {
            *out = static_cast<IWbemLocator*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR, const BSTR, const BSTR, const BSTR, long, const BSTR,
                                            IWbemContext*, IWbemServices** Services) override {
        ++Connects;
        *Services = nullptr;
        WaitForSingleObject(Gate(), 10000);
        return WBEM_E_TRANSPORT_FAILURE;
    }

private:
    std::atomic<ULONG> refs_{1};
};
std::atomic<int> SilentLocator::Connects{0};

// Runs Body on a thread of its own in the given COM apartment, and waits for it.
template <typename F>
void OnThreadIn(DWORD Model, F Body) {
    std::thread([Model, &Body] {
        const ComInitialization com(Model);
        ASSERT_TRUE(com.ok());
        Body();
    }).join();
}

}  // namespace

// A WMI service that does not answer the connection holds the caller no longer than the
// item's time limit, on a thread of the multithreaded apartment (where the collection asks
// WMI); it is then given up: the connections of the next collections fail at once, without
// asking it, on any thread.
TEST(WmiConnect, AServiceThatDoesNotAnswerIsGivenUpAtTheItemsTimeLimit) {
    ForgetGivenUpSources();
    ResetEvent(SilentLocator::Gate());
    SilentLocator::Connects = 0;
    const int before = RunningAbandonableCalls();
    auto* locator = new SilentLocator;
    OnThreadIn(COINIT_MULTITHREADED, [locator] {
        const TItemInterval interval(600000);
        const TItemTimeLimit limit(300);
        const DWORD start = GetTickCount();
        try {
            WMIConnect(locator, L".", L"root\\cimv2");
            FAIL() << "a connection that did not answer came back";
        } catch (const ETimeLimit& e) {
            EXPECT_EQ(e.Message(), L"WMI gave no answer within 300 ms");
        }
        EXPECT_LT(GetTickCount() - start, 5000u) << "the caller waited for the connection";
        EXPECT_THROW(WMIConnect(locator, L".", L"root\\cimv2"), ETimeLimit);
    });
    OnThreadIn(COINIT_APARTMENTTHREADED, [locator] { EXPECT_THROW(WMIConnect(locator, L".", L""), ETimeLimit); });
    EXPECT_EQ(SilentLocator::Connects, 1) << "a service given up was asked again";
    SetEvent(SilentLocator::Gate());
    for (int i = 0; i < 400 && RunningAbandonableCalls() > before; ++i) Sleep(25);
    EXPECT_EQ(RunningAbandonableCalls(), before);
    locator->Release();
    ForgetGivenUpSources();
}

// An enumeration that gives no object in time gives the service up too.
TEST(WmiConnect, AnEnumerationGivenUpGivesTheServiceUp) {
    ForgetGivenUpSources();
    SilentLocator::Connects = 0;
    auto* locator = new SilentLocator;
    SilentEnumerator objects;
    ComPtr<IWbemClassObject> object;
    {
        const TItemInterval interval(600000);
        const TItemTimeLimit limit(100);
        EXPECT_THROW(WmiNextObject(&objects, object), ETimeLimit);
    }
    OnThreadIn(COINIT_MULTITHREADED, [locator] {
        try {
            WMIConnect(locator, L".", L"root\\cimv2");
            FAIL() << "the service given up was asked";
        } catch (const ETimeLimit& e) {
            EXPECT_EQ(e.Message(), L"WMI gave no object within 100 ms");
        }
    });
    EXPECT_EQ(SilentLocator::Connects, 0);
    locator->Release();
    ForgetGivenUpSources();
}
