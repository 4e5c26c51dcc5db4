#include "objects.h"

#include <mutex>

namespace faltrix::gdi {

namespace {

// A handle is (generation << 32) | (slot index << 4) | kTag: never null, never a small
// integer, and a slot reused after a delete gives a different handle.
constexpr uintptr_t kTag = 0x6;
constexpr uint32_t kMaxSlots = uint32_t{1} << 24;

void *MakeHandle(uint32_t index, uint32_t generation) {
    return reinterpret_cast<void *>((static_cast<uintptr_t>(generation) << 32) |
                                    (static_cast<uintptr_t>(index) << 4) | kTag);
}

bool SplitHandle(const void *handle, uint32_t *index, uint32_t *generation) {
    const uintptr_t v = reinterpret_cast<uintptr_t>(handle);
    if ((v & 0xF) != kTag) return false;
    *index = static_cast<uint32_t>((v >> 4) & 0x0FFFFFFF);
    *generation = static_cast<uint32_t>(v >> 32);
    return true;
}

}  // namespace

HandleTable &HandleTable::Get() {
    // Never destroyed: plug-ins and at-exit code may still call in while the process ends.
    static HandleTable *table = new HandleTable();
    return *table;
}

HandleTable::HandleTable() {
    std::unique_lock lock(mutex_);
    whiteBrush_ = InsertLocked(std::make_shared<Brush>(RGB(255, 255, 255)));
    blackBrush_ = InsertLocked(std::make_shared<Brush>(RGB(0, 0, 0)));
    for (Slot &s : slots_) s.permanent = true;
}

void *HandleTable::StockBrush(int which) const {
    switch (which) {
    case WHITE_BRUSH: return whiteBrush_;
    case BLACK_BRUSH: return blackBrush_;
    default: return nullptr;
    }
}

const std::shared_ptr<Object> *HandleTable::FindLocked(const void *handle) const {
    uint32_t index, generation;
    if (!SplitHandle(handle, &index, &generation) || index >= slots_.size()) return nullptr;
    const Slot &s = slots_[index];
    if (s.generation != generation || !s.object) return nullptr;
    return &s.object;
}

void *HandleTable::InsertLocked(std::shared_ptr<Object> object) {
    uint32_t index;
    if (!free_.empty()) {
        index = free_.back();
        free_.pop_back();
    } else {
        if (slots_.size() >= kMaxSlots) return nullptr;
        // Room in free_ for every slot, so that RemoveLocked never allocates.
        free_.reserve(slots_.size() + 1);
        slots_.emplace_back();
        index = static_cast<uint32_t>(slots_.size() - 1);
    }
    Slot &s = slots_[index];
    void *handle = MakeHandle(index, s.generation);
    object->handle = handle;
    s.object = std::move(object);
    return handle;
}

std::shared_ptr<Object> HandleTable::RemoveLocked(const void *handle) {
    uint32_t index, generation;
    if (!SplitHandle(handle, &index, &generation) || index >= slots_.size()) return nullptr;
    Slot &s = slots_[index];
    if (s.generation != generation || !s.object || s.permanent) return nullptr;
    std::shared_ptr<Object> out = std::move(s.object);
    s.object.reset();
    // Generation 0 is never handed out, so a handle of 0 in the upper half never matches.
    if (++s.generation == 0) s.generation = 1;
    // Cannot throw: free_ has room for every slot (see InsertLocked).
    free_.push_back(index);
    return out;
}

}  // namespace faltrix::gdi
