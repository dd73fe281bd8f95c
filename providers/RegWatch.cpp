// REGISTRY: one watch thread per item waits for change notifications of its key and hands
// each change to the window thread, which keeps the last value text and change time in
// the watch; the gathering routine only copies those texts.
#include "Registry.h"

#include "Includes.h"
#include "Log.h"
#include "ItemWatches.h"
#include "Pipeline.h"
#include "Templates.h"
#include "Utils.h"

TRegWatchItems RegWatchItems;

namespace {

constexpr DWORD kNotifyFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_LAST_SET |
                                REG_NOTIFY_CHANGE_SECURITY;  // 0xF
constexpr DWORD kStopCheckMs = 500;

}  // namespace

// ---- the watch thread -------------------------------------------------------------------------

TRegMonitorThread::~TRegMonitorThread() {
    Terminate();
    WaitFor(INFINITE);
}

void TRegMonitorThread::Execute() {
    registry_ = std::make_unique<TRegistryAccessor>(RootKey, KEY_READ | (IsWindows64() ? KEY_WOW64_64KEY : 0));
    bool opened = false;
    bool reportNow = false;
    if (registry_->KeyExists(Key)) {
        opened = registry_->OpenKey(Key);
    } else {
        std::wstring parent, last;
        SplitRegPath(Key, parent, last);
        if (registry_->KeyExists(parent)) {
            ValueName = last;
            Key = parent;
            opened = registry_->OpenKey(Key);
            reportNow = opened;
        }
    }
    if (!opened) {
        registry_.reset();
        return;
    }
    event_.reset(CreateEventW(nullptr, TRUE, FALSE, (L"RegMonitorChange" + std::to_wstring(ThreadId())).c_str()));
    TRegWatchSteps steps;
    steps.Arm = [this] {
        return event_.valid() && RegNotifyChangeKeyValue(registry_->CurrentKey(), WatchSubtree, kNotifyFilter,
                                                         event_.get(), TRUE) == ERROR_SUCCESS;
    };
    steps.Wait = [this] {
        const DWORD wait = WaitForSingleObject(event_.get(), kStopCheckMs);
        if (wait == WAIT_OBJECT_0) return TRegWatchWait::Signalled;
        return wait == WAIT_TIMEOUT ? TRegWatchWait::TimedOut : TRegWatchWait::Failed;
    };
    steps.Pause = [this] { SleepUnlessTerminated(kStopCheckMs); };
    steps.Reset = [this] { ResetEvent(event_.get()); };
    steps.Report = [this] { Notify(); };
    steps.Stopping = [this] { return Terminated(); };
    // A value watch reports the value's state at start.
    RunRegWatch(steps, reportNow);
    event_.reset();
    registry_->CloseKey();
    registry_.reset();
}

void RunRegWatch(const TRegWatchSteps& Steps, bool ReportAtStart) {
    // The notification is armed before the value is read, so that a change made between
    // the read and the arming still signals.
    const bool armed = Steps.Arm();
    if (ReportAtStart) Steps.Report();
    if (!armed) return;
    while (!Steps.Stopping()) {
        const TRegWatchWait wait = Steps.Wait();
        if (wait == TRegWatchWait::TimedOut) continue;
        if (wait == TRegWatchWait::Failed) {
            // A wait that fails at once would spin: pause as long as a time-out would.
            Steps.Pause();
            continue;
        }
        if (Steps.Stopping()) break;
        // The signal is taken and the next change armed first; then the change is read.
        Steps.Reset();
        Steps.Arm();
        Steps.Report();
    }
}

void TRegMonitorThread::Notify() {
    Sleep(10);
    Synchronize([this] { DoChange(); });
}

Variant TRegMonitorThread::ReadValue() const {
    if (!registry_) return Variant(NoResultsText);
    switch (registry_->GetDataType(ValueName)) {
    case TRegDataType::String:
    case TRegDataType::ExpandString: return Variant(registry_->ReadString(ValueName));
    case TRegDataType::Integer: return RegIntegerValue(registry_->ReadInteger(ValueName));
    case TRegDataType::Binary: return Variant::Null();
    case TRegDataType::Unknown: break;
    }
    return Variant(NoResultsText);
}

void TRegMonitorThread::DoChange() {
    if (!ValueName.empty()) {
        Variant current = ReadValue();
        if (current == Value) return;
        Value = std::move(current);
    }
    // A key watch has no value to show: the time at which the change was seen is its news.
    ChangeTime = NowDateTime();
    if (OnChange) OnChange(this);
}

std::wstring TRegMonitorThread::ValueAsString() const { return Value.IsNull() ? std::wstring() : Value.ToText(); }

// ---- one watch ---------------------------------------------------------------------------------

TRegWatchItem::TRegWatchItem(const std::wstring& Name, bool WatchSubtree, const std::wstring& FullKey)
    : Name(Name), WatchSubtree(WatchSubtree) {
    std::wstring rootPart;
    const std::size_t cut = FullKey.find(L'\\');
    if (cut == std::wstring::npos) {
        KeyPath = FullKey;
    } else {
        rootPart = FullKey.substr(0, cut);  // the "\" itself is left out
        KeyPath = FullKey.substr(cut + 1);
    }
    RootKey = RegRootByName(rootPart);
    if (!RootKey) {
        valueText_ = L"<error>";
        return;
    }
    thread_ = std::make_unique<TRegMonitorThread>();
    thread_->RootKey = RootKey;
    thread_->Key = KeyPath;
    thread_->WatchSubtree = WatchSubtree;
    thread_->OnChange = [this](TRegMonitorThread* Sender) { Notify(Sender); };
    thread_->Start();
}

TRegWatchItem::~TRegWatchItem() {
    // The thread goes first: a change it reports while being stopped still finds the watch.
    thread_.reset();
}

std::wstring TRegWatchItem::FullKeyName() const {
    const std::wstring root = RegRootName(RootKey);
    return root.empty() ? KeyPath : root + L"\\" + KeyPath;
}

std::wstring TRegWatchItem::ValueText() const {
    std::lock_guard lock(lock_);
    return valueText_;
}

std::wstring TRegWatchItem::ChangeTimeText() const {
    std::lock_guard lock(lock_);
    return changeTimeText_;
}

void TRegWatchItem::RequestStop() {
    if (thread_) thread_->Terminate();
}

void TRegWatchItem::Notify(TRegMonitorThread* Sender) {
    const std::wstring value = Sender->ValueAsString();
    const std::wstring time = DateTimeToText(Sender->GetChangeTime());
    {
        std::lock_guard lock(lock_);
        valueText_ = value;
        changeTimeText_ = time;
    }
    WriteLog(L"Reg Notify: [" + Name + L"] " + value + L" " + time, llData);
}

// ---- the list ------------------------------------------------------------------------------------

void TRegWatchItems::Add(const std::wstring& Name, const std::wstring& FullKey, bool WatchSubtree) {
    auto watch = std::make_unique<TRegWatchItem>(Name, WatchSubtree, FullKey);
    std::lock_guard lock(lock_);
    items_.push_back(std::move(watch));
}

void TRegWatchItems::Clear() {
    std::vector<std::unique_ptr<TRegWatchItem>> old;
    {
        std::lock_guard lock(lock_);
        old.swap(items_);
    }
    // Every thread is asked first, so they all stop within one wait of each other.
    for (const auto& watch : old) watch->RequestStop();
    while (!old.empty()) old.pop_back();
}

std::size_t TRegWatchItems::Count() const {
    std::lock_guard lock(lock_);
    return items_.size();
}

TRegWatchItem* TRegWatchItems::GetItem(std::size_t Index) const {
    std::lock_guard lock(lock_);
    return Index < items_.size() ? items_[Index].get() : nullptr;
}

bool TRegWatchItems::FindTexts(const std::wstring& Key, std::wstring& ValueText, std::wstring& ChangeTimeText) const {
    const std::wstring wanted = LowerAscii(Key);
    std::lock_guard lock(lock_);
    for (const auto& watch : items_) {
        if (LowerAscii(watch->FullKeyName()) != wanted) continue;
        ValueText = watch->ValueText();
        ChangeTimeText = watch->ChangeTimeText();
        return true;
    }
    return false;
}

void RebuildRegWatches(const std::vector<TRegWatchEntry>& Entries) {
    RegWatchItems.Clear();
    for (const TRegWatchEntry& entry : Entries) RegWatchItems.Add(entry.Name, entry.Key, entry.SubTree);
}

// ---- the routine -----------------------------------------------------------------------------------

void GetRegistryWatch(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    const std::wstring key = GetItemOption(Options, L"key", Variant(L"")).ToText();
    Display.clear();
    if (key.empty()) return;
    std::wstring valueText, changeTimeText;
    if (!RegWatchItems.FindTexts(key, valueText, changeTimeText)) return;
    const TVarArray row = {Variant(valueText), Variant(changeTimeText)};
    SetFieldNames(Data.Names, {L"data", L"data time"});
    AddDataRow(Data.Data, row, false);
    Display = FillDisplayTemplate(GetItemOption(Options, L"display", Variant(L"%1")).ToText(), row);
    WriteLog(L"GetRegistryWatch: " + Display, llData);
}

void RegisterRegistryProviders() {
    RegisterGatherProc("REG", GetRegistry);
    RegisterGatherProc("REGEXIST", GetRegistryExists);
    RegisterGatherTurn("REG", RemoteRegistryTurn);
    RegisterGatherTurn("REGEXIST", RemoteRegistryTurn);
    RegisterGatherProc("REGISTRY", GetRegistryWatch);
    RebuildRegWatchesHook = RebuildRegWatches;
}

void FinalizeRegistryWatches() { RegWatchItems.Clear(); }
