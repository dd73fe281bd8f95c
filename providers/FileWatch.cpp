// File watches: a polling watcher per FILE item and the value its change handler keeps.
#include "FileWatch.h"

#include <algorithm>

#include "Checked.h"
#include "Includes.h"
#include "Log.h"
#include "NativePaths.h"
#include "Utils.h"
#include "WinHandles.h"

namespace {

// A first line longer than this is cut: the handler runs on the window thread, which
// must not stall on a large file without line breaks.
constexpr std::size_t kMaxFirstLine = 1u << 20;

bool SameType(const std::wstring& type, const wchar_t* name) { return LowerAscii(type) == name; }

double LocalDateTimeOf(std::uint64_t fileTime) {
    FILETIME utc{static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
    SYSTEMTIME u{}, local{};
    if (!FileTimeToSystemTime(&utc, &u) || !SystemTimeToTzSpecificLocalTime(nullptr, &u, &local)) return 0;
    return EncodeDateTime(local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond,
                          local.wMilliseconds);
}

TWatchItems& TheList() {
    static TWatchItems list;
    return list;
}

}  // namespace

TWatchItems* const WatchItems = &TheList();

std::int32_t WatchFlagsOf(const std::wstring& WatchType) {
    if (SameType(WatchType, L"text") || SameType(WatchType, L"time") || SameType(WatchType, L"version"))
        return cnLastWrite;
    if (SameType(WatchType, L"size")) return cnSize;
    return 0;
}

std::wstring WatchTimesText(std::uint64_t LastWrite, std::uint64_t LastAccess) {
    return L"W: " + DateTimeToText(LocalDateTimeOf(LastWrite)) + L", A: " + DateTimeToText(LocalDateTimeOf(LastAccess));
}

bool ReadFirstLine(const std::wstring& FileName, std::wstring& Line) {
    UniqueHandle file(CreateFileW(FileName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (bytes.size() < kMaxFirstLine && ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
        const char* end = std::find_if(buffer, buffer + got, [](char c) { return c == '\r' || c == '\n'; });
        bytes.append(buffer, static_cast<std::size_t>(end - buffer));
        if (end != buffer + got) break;
    }
    if (bytes.size() > kMaxFirstLine) bytes.resize(kMaxFirstLine);
    Line = AnsiToWide(bytes);
    return true;
}

// ---- one watch ------------------------------------------------------------------------

TWatchItem::TWatchItem(const std::wstring& Name, std::uint32_t ItemId, std::int32_t Interval,
                       const std::wstring& WatchType, const std::wstring& FileName)
    : Name(Name), WatchType(WatchType), ItemId(ItemId), fileName_(FileName),
      notifier_(std::make_unique<TChangeNotify2>(true)) {
    notifier_->SetFileName(NativeSystemPath(FileName));
    notifier_->Flags = WatchFlagsOf(WatchType);
    notifier_->Interval = Interval;
    notifier_->OnChange = [this](TChangeNotify2* sender) { Notify(sender); };
    changed_ = false;
    // The value is there before the first check (a size of 0, no times yet).
    Notify(notifier_.get());
    notifier_->Resume();
}

TWatchItem::~TWatchItem() { TChangeNotify2::Free(std::move(notifier_)); }

std::wstring TWatchItem::FileName() const {
    std::lock_guard lock(lock_);
    return fileName_;
}

Variant TWatchItem::Value() const {
    std::lock_guard lock(lock_);
    return value_;
}

void TWatchItem::SetFileName(const std::wstring& Path) {
    {
        std::lock_guard lock(lock_);
        fileName_ = Path;
    }
    notifier_->SetFileName(NativeSystemPath(Path));
    changed_ = false;
}

void TWatchItem::Notify(TChangeNotify2* Sender) {
    const std::wstring path = NativeSystemPath(FileName());
    Variant value = Value();
    if (Sender->Size != kSizeUnreadable) {
        if (SameType(WatchType, L"text")) {
            std::wstring line;
            if (FileExists(path) && ReadFirstLine(path, line)) value = Variant(line);
        } else if (SameType(WatchType, L"size")) {
            value = Variant::FromCurrencyCount(CheckedMul<std::int64_t>(Sender->Size, 10000));
        } else if (SameType(WatchType, L"time")) {
            if (Sender->LastWriteTime != 0) value = Variant(WatchTimesText(Sender->LastWriteTime, Sender->LastAccessTime));
        } else if (SameType(WatchType, L"version")) {
            value = Variant(GetFileVersionText(path));
        }
    } else {
        value = Variant(NoResultsText);
    }
    if (value.IsEmpty() || (value.IsString() && value.Str().empty())) value = Variant(NoResultsText);
    {
        std::lock_guard lock(lock_);
        value_ = value;
    }
    WriteLog(L"File Notify: [" + Name + L"] " + value.ToText(), llData);
    changed_ = true;
}

// ---- the list -------------------------------------------------------------------------

TWatchItems::~TWatchItems() { Clear(); }

void TWatchItems::Add(const std::wstring& Name, const std::wstring& FileName, const std::wstring& WatchType,
                      std::int32_t Interval, std::uint32_t ItemId) {
    auto item = std::make_unique<TWatchItem>(Name, ItemId, Interval, WatchType, FileName);
    std::lock_guard lock(lock_);
    items_.push_back(std::move(item));
}

void TWatchItems::Clear() {
    std::vector<std::unique_ptr<TWatchItem>> gone;
    {
        std::lock_guard lock(lock_);
        gone.swap(items_);
    }
    std::vector<std::unique_ptr<TChangeNotify2>> notifiers;
    for (auto it = gone.rbegin(); it != gone.rend(); ++it) notifiers.push_back((*it)->TakeNotifier());
    TChangeNotify2::FreeAll(std::move(notifiers));
    while (!gone.empty()) gone.pop_back();
}

std::size_t TWatchItems::Count() const {
    std::lock_guard lock(lock_);
    return items_.size();
}

TWatchItem* TWatchItems::GetItem(std::size_t Index) const {
    std::lock_guard lock(lock_);
    return Index < items_.size() ? items_[Index].get() : nullptr;
}

bool TWatchItems::FindValue(std::uint32_t Id, Variant& Value, std::size_t& Count) const {
    std::lock_guard lock(lock_);
    Count = items_.size();
    for (const auto& item : items_)
        if (item->ItemId == Id) {
            Value = item->Value();
            return true;
        }
    return false;
}

std::vector<TFileWatchName> TWatchItems::Names() const {
    std::lock_guard lock(lock_);
    std::vector<TFileWatchName> names;
    names.reserve(items_.size());
    for (const auto& item : items_) names.push_back({item->ItemId, item->FileName()});
    return names;
}

// ---- the main loop's seams -------------------------------------------------------------

void RebuildFileWatches(const std::vector<TFileWatchEntry>& Entries) {
    WatchItems->Clear();
    for (const TFileWatchEntry& e : Entries) WatchItems->Add(e.Name, e.FileName, e.WatchType, e.Interval, e.ItemId);
}

std::vector<TFileWatchName> ListFileWatches() { return WatchItems->Names(); }

void RenameFileWatch(std::size_t Index, const std::wstring& FileName) {
    if (TWatchItem* item = WatchItems->GetItem(Index)) item->SetFileName(FileName);
}

void InstallFileWatchHooks() {
    RebuildFileWatchesHook = RebuildFileWatches;
    ListFileWatchesHook = ListFileWatches;
    RenameFileWatchHook = RenameFileWatch;
}

void FreeFileWatches() {
    WatchItems->Clear();
}
