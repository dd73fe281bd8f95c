#include "GatheringTurns.h"

#include <map>
#include <memory>

namespace {

struct TTurns {
    std::mutex Lock;
    // Node-based: a turn keeps its address while others are added.
    std::map<std::wstring, std::unique_ptr<TGatheringTurn>> ByKey;
};

// Never freed, so that a routine left running finds its turn while the program ends.
TTurns& Turns() {
    static TTurns* const turns = new TTurns;
    return *turns;
}

}  // namespace

bool TGatheringTurn::TryTake(std::uint64_t Holder, DWORD Now) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (holder_ != 0 || Holder == 0) return false;
    holder_ = Holder;
    since_ = Now;
    return true;
}

void TGatheringTurn::Release(std::uint64_t Holder) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (holder_ == Holder) holder_ = 0;
}

std::uint64_t TGatheringTurn::Holder(DWORD& Since) const {
    const std::lock_guard<std::mutex> guard(lock_);
    Since = since_;
    return holder_;
}

TGatheringTurn& GatheringTurn(const std::wstring& Key) {
    TTurns& turns = Turns();
    const std::lock_guard<std::mutex> guard(turns.Lock);
    std::unique_ptr<TGatheringTurn>& turn = turns.ByKey[Key];
    if (!turn) turn = std::make_unique<TGatheringTurn>();
    return *turn;
}

std::wstring GatheringTurnKey(const TConfigItem& Item) { return Item.TurnOf ? Item.TurnOf(Item.Options) : std::wstring(); }
