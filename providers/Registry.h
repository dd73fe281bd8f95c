// Registry items: REG (one value, locally or on a remote host, in the 32-bit or 64-bit
// view), REGEXIST (whether a key or value exists) and REGISTRY (the last value seen by a
// watch thread on a key or value), with the registry accessor they read through and the
// watch list that the main loop rebuilds on every reload.
#pragma once

#include <windows.h>

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ItemTypes.h"
#include "SystemInfo.h"  // ERegistryException
#include "Threads.h"
#include "Variant.h"
#include "WinHandles.h"

struct TRegWatchEntry;

// ---- the gathering routines -------------------------------------------------------------
void GetRegistry(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
void GetRegistryExists(TItemOptionArray Options, TItemData& Data, std::wstring& Display);
// The gathering turn of REG and REGEXIST (TGatherTurnProc): that of the item's remote host,
// whose calls can keep a routine waiting; none for the local registry.
std::wstring RemoteRegistryTurn(const TItemOptionArray& Options);
void GetRegistryWatch(TItemOptionArray Options, TItemData& Data, std::wstring& Display);

// Enters the three routines into ItemTypeTable and gives the main loop the registry-watch
// list to rebuild.
void RegisterRegistryProviders();
// Program end: stops and frees every registry watch.
void FinalizeRegistryWatches();

// ---- paths ------------------------------------------------------------------------------

struct TRegRootName {
    const wchar_t* Name;  // lower case
    HKEY Key;
};
// The five root names an item path may start with; no abbreviations.
extern const TRegRootName kRegRootNames[5];

// The root of a full path, tested as a prefix ending in "\" of the ASCII-lower-cased path;
// Rest receives the path behind the root and its "\". False when no root matches.
bool FindRegRoot(const std::wstring& Path, HKEY& Root, std::wstring& Rest);
// The root whose name equals Name after ASCII lower-casing (exact match), or null.
HKEY RegRootByName(const std::wstring& Name);
// The lower-case name of a root key, or empty for any other handle.
std::wstring RegRootName(HKEY Root);
// Only HKEY_LOCAL_MACHINE and HKEY_USERS are read on a remote host.
bool RegRootReadRemotely(HKEY Root);
// A non-empty host with "\\" in front.
std::wstring RegHostName(const std::wstring& Host);
// The last part of a path split off at the last "\" or ":"; KeyPath is what stands before
// it (empty when there is no separator).
void SplitRegPath(const std::wstring& Path, std::wstring& KeyPath, std::wstring& ValueName);
// The view flag of the "wow" option: 32 and 64 select a view, any other number none.
REGSAM RegViewFlag(std::int32_t Wow);
// The value of an integer (REG_DWORD) value: the unsigned number, as an integer variant
// while it fits one, else as a 64-bit integer.
Variant RegIntegerValue(DWORD Value);

// True when the native processor architecture is AMD64 (9) or IA64 (6).
bool IsNativeArchitecture64(WORD Architecture);
// Whether Windows itself is 64-bit; read once when the unit starts.
bool IsWindows64();

// ---- the registry accessor --------------------------------------------------------------

enum class TRegDataType { Unknown, String, ExpandString, Integer, Binary };
// REG_SZ, REG_EXPAND_SZ, REG_DWORD and REG_BINARY; every other type is unknown.
TRegDataType RegDataTypeOf(DWORD Type);

using TRegConnect = LONG(WINAPI*)(LPCWSTR Host, HKEY Root, PHKEY Remote);

// Reads keys and values below one root, locally or on a remote host, with one access mask.
// Key paths are taken from the root (a leading "\" is dropped); one key at a time is open.
class TRegistryAccessor {
public:
    TRegistryAccessor(HKEY Root, REGSAM Access) : root_(Root), access_(Access) {}

    HKEY RootKey() const { return root_; }
    void SetRootKey(HKEY Root);
    REGSAM Access() const { return access_; }
    void SetAccess(REGSAM Access) { access_ = Access; }

    // Replaces the root by the same root on Host, connected through Connect; an empty host
    // keeps the local registry.
    bool RegistryConnect(const std::wstring& Host, TRegConnect Connect = RegConnectRegistryW);
    // Opens the key with the access mask and closes it again.
    bool KeyExists(const std::wstring& Key) const;
    // Opens the key with the access mask, never creating it; it becomes the current key.
    bool OpenKey(const std::wstring& Key);
    void CloseKey() { current_.reset(); }
    HKEY CurrentKey() const { return current_.get(); }

    // Values of the current key.
    bool ValueExists(const std::wstring& Name) const;
    // Unknown for a value that cannot be queried.
    TRegDataType GetDataType(const std::wstring& Name) const;
    // A string or expand-string value up to its first NUL, not expanded. Raises
    // ERegistryException for another type or a failed read.
    std::wstring ReadString(const std::wstring& Name) const;
    // An integer value; shorter data is read as the low bytes. Raises ERegistryException
    // for another type, more than four bytes or a failed read.
    DWORD ReadInteger(const std::wstring& Name) const;

private:
    HKEY root_;
    REGSAM access_;
    UniqueKey remoteRoot_;
    UniqueKey current_;
};

// ---- REG and REGEXIST --------------------------------------------------------------------

// What a REG read found, before it becomes a value or a message.
enum class TRegReadResult { CannotConnect, KeyNotFound, KeyNotOpened, NoValue, Text, Integer, Binary, Unknown };
struct TRegRead {
    TRegReadResult Result = TRegReadResult::NoValue;
    std::wstring Text;  // Text
    DWORD Number = 0;   // Integer
};
// Reads the value Rest (key path and value name) under Root, on Host (connected through
// Connect) when it is not empty, in the view View. Logs nothing and touches no global
// state, so that it can run on a thread of its own; a failed read of an existing value
// raises ERegistryException.
TRegRead ReadRegistryItem(HKEY Root, const std::wstring& Host, const std::wstring& Rest, REGSAM View,
                          TRegConnect Connect);
// Whether Rest names an existing key (a trailing "\" allowed) or value; false when Host
// cannot be reached. Like ReadRegistryItem, safe on a thread of its own.
bool RegistryItemExists(HKEY Root, const std::wstring& Host, const std::wstring& Rest, REGSAM View,
                        TRegConnect Connect);
// The REG value of a read: the text or number, empty for a missing value, or ErrorText and
// the message.
Variant RegReadValue(const TRegRead& Read);
// REG and REGEXIST with remote registries reached through Connect. A remote host's reads
// run abandonably within the item's time limit: a host that does not answer in time is
// logged at ERROR and shows as one that cannot be reached.
void GatherRegistry(const TItemOptionArray& Options, TItemData& Data, std::wstring& Display, TRegConnect Connect);
void GatherRegistryExists(const TItemOptionArray& Options, TItemData& Data, std::wstring& Display,
                          TRegConnect Connect);

// ---- registry watches ---------------------------------------------------------------------

// How one wait for a change notification ended.
enum class TRegWatchWait { Signalled, TimedOut, Failed };
// The platform steps of one watch: arm the change notification (false when it cannot be
// armed), wait for it (at most the stop-check time), pause after a failed wait, reset the
// signal, read and report the watched state, and tell whether the watch is to stop.
struct TRegWatchSteps {
    std::function<bool()> Arm;
    std::function<TRegWatchWait()> Wait;
    std::function<void()> Pause;
    std::function<void()> Reset;
    std::function<void()> Report;
    std::function<bool()> Stopping;
};
// A watch's life: arm, report the state at start when asked (even when arming failed),
// and then, until told to stop, on each signal reset it, arm again and report. Arming
// comes before every read, so no change between a read and the next arming is lost.
void RunRegWatch(const TRegWatchSteps& Steps, bool ReportAtStart);

// Waits for change notifications of one key and reports each on the window thread.
class TRegMonitorThread : public TThread {
public:
    TRegMonitorThread() = default;
    // Asks the thread to stop and waits for it (it looks every 500 ms).
    ~TRegMonitorThread() override;

    // Set before Start.
    HKEY RootKey = nullptr;
    std::wstring Key;         // for a value watch, after start, the parent key's path
    bool WatchSubtree = false;
    std::function<void(TRegMonitorThread* Sender)> OnChange;  // called on the window thread

    // Written by the thread before its first report, and on the window thread by DoChange
    // while the thread waits for it.
    std::wstring ValueName;          // empty for a key watch
    Variant Value = Variant::Null();
    double ChangeTime = 0;           // local date-time of the last change seen; 0 until then

    // The watched value by its type: unknown or missing NoResultsText, strings their text,
    // integers their number, binary Null.
    Variant ReadValue() const;
    // Window thread: takes a changed value, stamps the local time at which the change was
    // seen and calls OnChange; a value watch whose value did not change reports nothing.
    void DoChange();
    // Value as text (Null: empty).
    std::wstring ValueAsString() const;
    double GetChangeTime() const { return ChangeTime; }

protected:
    void Execute() override;

private:
    void Notify();

    std::unique_ptr<TRegistryAccessor> registry_;
    UniqueHandle event_;
};

// One REGISTRY item's watch.
class TRegWatchItem {
public:
    // Splits FullKey into root and key path and starts the watch thread; an unknown root
    // gives the value text "<error>" and no thread.
    TRegWatchItem(const std::wstring& Name, bool WatchSubtree, const std::wstring& FullKey);
    // Stops the thread and waits for it.
    ~TRegWatchItem();
    TRegWatchItem(const TRegWatchItem&) = delete;
    TRegWatchItem& operator=(const TRegWatchItem&) = delete;

    const std::wstring Name;
    HKEY RootKey = nullptr;
    std::wstring KeyPath;  // the full key without its root part
    const bool WatchSubtree;

    // The root name in lower case, "\" and the key path; the key path alone for an
    // unknown root.
    std::wstring FullKeyName() const;
    // Copies of the texts, safe from any thread.
    std::wstring ValueText() const;
    std::wstring ChangeTimeText() const;
    TRegMonitorThread* Thread() const { return thread_.get(); }
    // Asks the thread to stop without waiting (freeing the watch then waits).
    void RequestStop();

    // The thread's change handler (window thread).
    void Notify(TRegMonitorThread* Sender);

private:
    mutable std::mutex lock_;
    std::wstring valueText_;
    std::wstring changeTimeText_;
    std::unique_ptr<TRegMonitorThread> thread_;
};

// The ordered watches of the REGISTRY items. Built and cleared on the window thread; the
// collection thread looks watches up while that happens, so every access takes the lock,
// and freed watches are taken out of the list before they are stopped.
class TRegWatchItems {
public:
    ~TRegWatchItems() { Clear(); }

    void Add(const std::wstring& Name, const std::wstring& FullKey, bool WatchSubtree);
    // Stops every watch (all are asked first, then each is waited for, last first) and
    // empties the list.
    void Clear();
    std::size_t Count() const;
    // The watch at Index, or null outside the list (window thread only).
    TRegWatchItem* GetItem(std::size_t Index) const;
    // The texts of the first watch whose full key name equals Key, ASCII letters compared
    // ignoring case; false when there is none.
    bool FindTexts(const std::wstring& Key, std::wstring& ValueText, std::wstring& ChangeTimeText) const;

private:
    mutable std::mutex lock_;
    std::vector<std::unique_ptr<TRegWatchItem>> items_;
};

extern TRegWatchItems RegWatchItems;

// SetupWatches' hook: the list made anew from the entries.
void RebuildRegWatches(const std::vector<TRegWatchEntry>& Entries);
