#pragma once
// Pictures kept as lists of pixel rows, every distinct row stored once: a screen that scrolled
// or changed a line costs the rows that are new, not the whole picture. Encoders of palette
// frames then index each distinct row once, however often it comes back or moves.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/bitmap.h"
#include "platform/gif_palette.h"

class RowStore {
public:
    // Its owner empties it once it holds limit bytes of rows, so it holds those and one picture
    // of pictureRows more at most. Room for them is taken at once: growing by copies would hold
    // the old rows beside the new.
    RowStore(size_t rowBytes, size_t limit, int pictureRows);

    // The picture's rows (rowBytes each) become the next picture. changed: the rows that may
    // differ from the picture added before; null: any.
    void add(PixelRows pixels, const RowsChanged* changed = nullptr);

    // The picture at index of other becomes the next picture.
    void addPictureOf(const RowStore& other, size_t index);

    size_t pictureCount() const { return starts_.size(); }
    size_t bytes() const { return rows_.size(); }

    // The picture at index, whole, into pixels (rowBytes a row, no gaps).
    void copyOut(size_t index, std::vector<uint8_t>& pixels) const;

    std::span<const uint32_t> idsOf(size_t index) const {
        const size_t end = index + 1 < starts_.size() ? starts_[index + 1] : ids_.size();
        return std::span(ids_).subspan(starts_[index], end - starts_[index]);
    }
    const uint8_t* rowAt(uint32_t id) const { return rows_.data() + rowBytes_ * id; }

    // Once every picture is in: the index is not needed to read them.
    void seal() {
        slots_ = {};
        hashes_ = {};
    }

    // Empty again, its room kept; ids start again from 0.
    void clear();

private:
    static constexpr size_t kFirstSlots = 4096;

    uint32_t idOf(const uint8_t* bytes);
    size_t slotOf(uint64_t hash) const;
    void growSlots();

    size_t rowBytes_;
    std::vector<uint8_t> rows_;
    // The pictures' row ids one after another, each picture's from its start: one buffer, kept
    // when the store is emptied, rather than an allocation a picture.
    std::vector<uint32_t> ids_;
    std::vector<size_t> starts_;
    // The index of the rows by their hashes: open addressing, a slot holding id + 1 or 0 for
    // none, never more than half full.
    std::vector<uint32_t> slots_;
    std::vector<uint64_t> hashes_;  // of each id
};
