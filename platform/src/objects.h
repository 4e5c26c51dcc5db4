// The objects behind the graphics layer's handles, and the table that hands them out.
//
// Every handle is an index into one process-wide table plus the generation of its slot, so a
// handle whose object was deleted (or a handle that never came from here) finds nothing.
// The table holds shared ownership of each object; a call that works on an object's pixels
// takes its own reference under the table's lock and works without the lock, so an object
// deleted by another thread meanwhile lives on until that call is done with it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <shared_mutex>
#include <vector>

#include "faltrix/dib_layout.h"
#include "faltrix/gdi.h"
#include "pixel_format.h"

namespace faltrix::gdi {

enum class Kind : uint8_t { Bitmap, MemoryDc, ScreenDc, Brush };

struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    Object(const Object &) = delete;
    Object &operator=(const Object &) = delete;

    const Kind kind;
    void *handle = nullptr;  // set when the object enters the table
};

struct Dc;

// A DIB section. Everything but selectedIn is fixed once the bitmap is in the table.
struct Bitmap final : Object {
    Bitmap() : Object(Kind::Bitmap) {}
    ~Bitmap() override { std::free(bits); }

    PixelFormat format;
    int32_t width = 0;
    int32_t height = 0;  // rows, always positive
    bool topDown = false;
    uint32_t stride = 0;
    size_t bytes = 0;
    BITMAPINFOHEADER header{};  // as created: biSize 40, biSizeImage filled in
    uint8_t *bits = nullptr;
    std::unique_ptr<const ColourReader> reader;  // made with the bitmap: GetPixel stays cheap
    Dc *selectedIn = nullptr;                    // guarded by the table's lock

    uint8_t *Row(int32_t y) const { return DibRow(bits, stride, height, topDown, y); }
};

struct Brush final : Object {
    explicit Brush(COLORREF c) : Object(Kind::Brush), colour(c) {}
    const COLORREF colour;
};

// A memory DC (Kind::MemoryDc) or a screen DC (Kind::ScreenDc, never holds a bitmap).
struct Dc final : Object {
    explicit Dc(Kind k) : Object(k) {}
    std::shared_ptr<Bitmap> bitmap;  // guarded by the table's lock
    void *brush = nullptr;           // the selected stock brush; guarded by the table's lock
};

class HandleTable {
public:
    static HandleTable &Get();

    std::shared_mutex &mutex() { return mutex_; }

    // The slot's object for a live handle, else null. Needs the lock, shared or exclusive.
    const std::shared_ptr<Object> *FindLocked(const void *handle) const;
    // Puts object into a free slot and sets its handle. Null when the table is full. Needs the
    // exclusive lock.
    void *InsertLocked(std::shared_ptr<Object> object);
    // Takes the object out of its slot (the slot's generation moves on, so the handle goes
    // stale) and gives it back; the caller drops it after unlocking. Needs the exclusive lock.
    std::shared_ptr<Object> RemoveLocked(const void *handle);

    void *StockBrush(int which) const;  // WHITE_BRUSH, BLACK_BRUSH; else null

    // A reference to the object of a live handle when it is of the given kind, else null.
    template <typename T>
    std::shared_ptr<T> Find(const void *handle, Kind kind) const;

private:
    HandleTable();
    struct Slot {
        uint32_t generation = 1;
        bool permanent = false;
        std::shared_ptr<Object> object;
    };
    mutable std::shared_mutex mutex_;
    std::vector<Slot> slots_;
    std::vector<uint32_t> free_;
    void *whiteBrush_ = nullptr;
    void *blackBrush_ = nullptr;
};

template <typename T>
std::shared_ptr<T> HandleTable::Find(const void *handle, Kind kind) const {
    std::shared_lock lock(mutex_);
    const std::shared_ptr<Object> *p = FindLocked(handle);
    if (p == nullptr || (*p)->kind != kind) return nullptr;
    return std::static_pointer_cast<T>(*p);
}

}  // namespace faltrix::gdi
