// Gathering turns. The providers keep state between collections (samples, histories, the
// WMI service's connections) without locks of their own, so a gathering routine runs only
// while its collection holds the turn of that state, and a turn has one holder at a time,
// whichever collection thread (an earlier one a reload stopped included) the routine
// runs on. A turn is named by the state it guards (TGatherTurnProc); "" is the turn of
// the routines that the collection thread runs itself.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "ItemTypes.h"

class TGatheringTurn {
public:
    // Takes the turn for Holder (any id but 0) at tick Now; false, and nothing changes,
    // while a holder has it (Holder itself included).
    bool TryTake(std::uint64_t Holder, DWORD Now);
    // Gives the turn back; nothing unless Holder holds it.
    void Release(std::uint64_t Holder);
    // The holder (0: none), and in Since the tick it took the turn at.
    std::uint64_t Holder(DWORD& Since) const;

private:
    mutable std::mutex lock_;
    std::uint64_t holder_ = 0;
    DWORD since_ = 0;
};

// The turn named Key, made on first use and kept for the whole run: a routine left
// running may give its turn back while the program ends.
TGatheringTurn& GatheringTurn(const std::wstring& Key);
// The name of Item's turn: its keyword's (TurnOf) for its options; "" without one.
std::wstring GatheringTurnKey(const TConfigItem& Item);
