#include "platform/row_store.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>

namespace {

// Large buffers filled once and reused: huge pages spare the fault of every 4 KiB page on first
// touch, which on a virtual machine costs more than copying the page. Only a hint.
void askForHugePages(const void* data, size_t bytes) {
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    const auto start = (reinterpret_cast<uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    const auto end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kHuge - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

// Where a row of id lies in picture, as an offset from at: the nearest place, as a scroll moves
// rows a little; none when the row is not there.
std::optional<ptrdiff_t> placeIn(std::span<const uint32_t> picture, uint32_t id, size_t at) {
    const auto size = static_cast<ptrdiff_t>(picture.size());
    const auto from = static_cast<ptrdiff_t>(at);
    for (ptrdiff_t distance = 1; distance < size; ++distance) {
        if (from + distance < size && picture[static_cast<size_t>(from + distance)] == id) return distance;
        if (from - distance >= 0 && picture[static_cast<size_t>(from - distance)] == id) return -distance;
        if (from + distance >= size && from - distance < 0) break;
    }
    return std::nullopt;
}

}  // namespace

RowStore::RowStore(size_t rowBytes, size_t limit, int pictureRows) : rowBytes_(rowBytes) {
    const size_t capacity = limit + rowBytes * static_cast<size_t>(pictureRows);
    rows_.reserve(capacity);
    askForHugePages(rows_.data(), capacity);
}

void RowStore::add(PixelRows pixels, const RowsChanged* changed) {
    const size_t start = ids_.size();
    const size_t height = static_cast<size_t>(std::max(pixels.height, 0));
    // Grown first: the picture before is read from the same buffer.
    ids_.resize(start + height);
    const bool first = starts_.empty();
    const std::span<const uint32_t> previous =
        first ? std::span<const uint32_t>()
              : std::span<const uint32_t>(ids_).subspan(starts_.back(), start - starts_.back());
    const std::span<uint32_t> ids = std::span(ids_).subspan(start, height);
    // Where the row above was found in the picture before, less its own place: a scrolled
    // screen's rows follow one another there, and a comparison is far cheaper than a hash.
    std::optional<ptrdiff_t> moved;
    for (int row = 0; row < pixels.height; ++row) {
        const uint8_t* bytes = pixels.top + static_cast<ptrdiff_t>(pixels.stride) * row;
        const size_t at = static_cast<size_t>(row);
        if (first) {
            ids[at] = idOf(bytes);
            continue;
        }
        if (changed != nullptr && changed->keeps(row)) {
            ids[at] = previous[at];
            continue;
        }
        if (changed != nullptr && changed->exact && !changed->repainted.holds(row)) {
            const int64_t height = pixels.height;
            const int64_t from = ((row + int64_t{changed->moved}) % height + height) % height;
            ids[at] = previous[static_cast<size_t>(from)];
            continue;
        }
        // Most rows are where they were in the picture before, or, once rows are seen to
        // have moved, where the row above came from.
        const ptrdiff_t from = row + moved.value_or(0);
        const auto same = [&](ptrdiff_t place) {
            return place >= 0 && place < pixels.height &&
                   std::memcmp(rowAt(previous[static_cast<size_t>(place)]), bytes, rowBytes_) == 0;
        };
        const ptrdiff_t found = same(from) ? from : from != row && same(row) ? row : -1;
        if (found >= 0) {
            ids[at] = previous[static_cast<size_t>(found)];
            continue;
        }
        const size_t storedBefore = rows_.size();
        ids[at] = idOf(bytes);
        // A row stored just now was in no picture before.
        moved = rows_.size() == storedBefore ? placeIn(previous, ids[at], at) : std::nullopt;
    }
    starts_.push_back(start);
}

void RowStore::addPictureOf(const RowStore& other, size_t index) {
    const std::span<const uint32_t> theirs = other.idsOf(index);
    starts_.push_back(ids_.size());
    for (uint32_t id : theirs) ids_.push_back(idOf(other.rowAt(id)));
}

void RowStore::copyOut(size_t index, std::vector<uint8_t>& pixels) const {
    const std::span<const uint32_t> ids = idsOf(index);
    pixels.resize(rowBytes_ * ids.size());
    for (size_t row = 0; row < ids.size(); ++row) std::memcpy(&pixels[rowBytes_ * row], rowAt(ids[row]), rowBytes_);
}

void RowStore::clear() {
    rows_.clear();
    ids_.clear();
    starts_.clear();
    std::fill(slots_.begin(), slots_.end(), 0);
    hashes_.clear();
}

size_t RowStore::slotOf(uint64_t hash) const {
    // The multiplication's high bits depend on every bit of the hash, whose low bits do not
    // depend on the high bits of the words it was made from.
    const int bits = std::countr_zero(slots_.size());
    return static_cast<size_t>((hash * 0x9E3779B97F4A7C15u) >> (64 - bits));
}

void RowStore::growSlots() {
    std::vector<uint32_t> slots(std::max<size_t>(kFirstSlots, 2 * slots_.size()));
    slots_.swap(slots);
    const size_t mask = slots_.size() - 1;
    for (uint32_t id = 0; id < hashes_.size(); ++id) {
        size_t at = slotOf(hashes_[id]);
        while (slots_[at] != 0) at = (at + 1) & mask;
        slots_[at] = id + 1;
    }
}

uint32_t RowStore::idOf(const uint8_t* bytes) {
    // Four lanes, so that the multiplications do not wait on one another.
    uint64_t lanes[4] = {rowBytes_, 1, 2, 3};
    size_t at = 0;
    for (; at + 32 <= rowBytes_; at += 32) {
        for (size_t lane = 0; lane < 4; ++lane) {
            uint64_t word = 0;
            std::memcpy(&word, bytes + at + 8 * lane, 8);
            lanes[lane] = (lanes[lane] ^ word) * 0x100000001B3u;
        }
    }
    for (; at + 8 <= rowBytes_; at += 8) {
        uint64_t word = 0;
        std::memcpy(&word, bytes + at, 8);
        lanes[0] = (lanes[0] ^ word) * 0x100000001B3u;
    }
    const uint64_t hash = ((lanes[0] * 31 + lanes[1]) * 31 + lanes[2]) * 31 + lanes[3];
    if (2 * (hashes_.size() + 1) > slots_.size()) growSlots();
    const size_t mask = slots_.size() - 1;
    size_t slot = slotOf(hash);
    for (; slots_[slot] != 0; slot = (slot + 1) & mask) {
        const uint32_t id = slots_[slot] - 1;
        if (hashes_[id] == hash && std::memcmp(rowAt(id), bytes, rowBytes_) == 0) return id;
    }
    const auto id = static_cast<uint32_t>(rows_.size() / rowBytes_);
    rows_.insert(rows_.end(), bytes, bytes + rowBytes_);
    hashes_.push_back(hash);
    slots_[slot] = id + 1;
    return id;
}
