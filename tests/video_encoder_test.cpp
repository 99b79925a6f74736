#include "platform/video_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/row_store.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

constexpr int kWidth = 16;
constexpr int kHeight = 8;

// Each row of one colour, 0xRRGGBB.
using Picture = std::vector<uint32_t>;

std::vector<uint8_t> rowPixels(uint32_t colour) {
    std::vector<uint8_t> row;
    for (int x = 0; x < kWidth; ++x) {
        row.insert(row.end(), {uint8_t(colour), uint8_t(colour >> 8), uint8_t(colour >> 16), 0});
    }
    return row;
}

// How the pictures reach the encoder: whole, as rows by id, or through a row store that is
// emptied before it passes the window, told or not which rows changed, or told exactly which
// rows moved and which were repainted.
enum class Feed { whole, byId, store, storeTold, storeExact };

// The rows of now as the shift that keeps the most rows of before tells them (row y showing row
// (y + moved) modulo the height), the others repainted.
RowsChanged exactChanges(const Picture& now, const Picture& before) {
    RowsChanged best{.top = 0, .bottom = kHeight - 1, .exact = true};
    int32_t fewest = kHeight + 1;
    for (int32_t moved = 0; moved < kHeight; ++moved) {
        RowsChanged changed{.top = 0, .bottom = kHeight - 1, .exact = true, .moved = moved};
        int32_t repainted = 0;
        for (int32_t row = 0; row < kHeight; ++row) {
            if (now[static_cast<size_t>(row)] == before[static_cast<size_t>((row + moved) % kHeight)]) continue;
            changed.repainted.add(row, row);
            ++repainted;
        }
        if (repainted < fewest) {
            fewest = repainted;
            best = changed;
        }
    }
    return best;
}

// The packets of one GIF encoder on a palette known before.
std::vector<std::string> encode(const std::vector<Picture>& pictures, const std::vector<uint32_t>& known, Feed feed,
                                RowWindow window = {}) {
    SharedPalette palette = sharedPaletteOf(known);
    VideoEncoder encoder;
    std::vector<std::string> packets;
    PacketUse keep = [&packets](AVPacket& packet) {
        packets.emplace_back(reinterpret_cast<const char*>(packet.data), static_cast<size_t>(packet.size));
        return 0;
    };
    EXPECT_EQ(openVideoEncoder(encoder, *findCodecChoice("gif"), kWidth, kHeight, {1, 100}, false, false, &palette), 0);
    std::map<uint32_t, std::vector<uint8_t>> rows;  // the id of a row is its colour
    const RowById rowAt = [&rows](uint32_t id) { return rows.at(id).data(); };
    RowStore store(kWidth * 4, window.rowBytes, kHeight);
    for (size_t at = 0; at < pictures.size(); ++at) {
        const auto position = static_cast<int64_t>(at);
        std::vector<uint8_t> pixels;
        for (uint32_t colour : pictures[at]) {
            const std::vector<uint8_t> row = rowPixels(colour);
            pixels.insert(pixels.end(), row.begin(), row.end());
        }
        const PixelRows picture{pixels.data(), kWidth * 4, kWidth, kHeight};
        if (feed == Feed::byId) {
            for (uint32_t colour : pictures[at]) rows.try_emplace(colour, rowPixels(colour));
            EXPECT_EQ(encodeRowsById(encoder, pictures[at], rowAt, position, keep), 0);
        } else if (feed == Feed::storeExact) {
            const RowsChanged changed = at > 0 ? exactChanges(pictures[at], pictures[at - 1]) : RowsChanged{};
            EXPECT_EQ(encodePictureByRows(encoder, store, window, picture, position, false, keep, at > 0 ? &changed : nullptr), 0);
        } else if (feed == Feed::store || feed == Feed::storeTold) {
            // The first and last rows that differ from the picture before.
            RowsChanged changed{kHeight, -1};
            for (int32_t row = 0; row < kHeight && at > 0; ++row) {
                if (pictures[at][static_cast<size_t>(row)] == pictures[at - 1][static_cast<size_t>(row)]) continue;
                changed = {std::min(changed.top, row), row};
            }
            const RowsChanged* told = feed == Feed::storeTold && at > 0 ? &changed : nullptr;
            EXPECT_EQ(encodePictureByRows(encoder, store, window, picture, position, false, keep, told), 0);
        } else {
            EXPECT_EQ(encodePicture(encoder, picture, position, false, keep), 0);
        }
    }
    EXPECT_EQ(finishEncoding(encoder, keep), 0);
    closeVideoEncoder(encoder);
    return packets;
}

// Rows by id and through a row store make the very packets of whole pictures: rows that scroll
// either way, a picture shown again, a colour the palette takes in, and one it cannot, halfway
// down a picture; the store kept whole, and emptied every two pictures or three new rows; told
// which rows changed, or exactly how they moved (a ring turned, rows changed in four places).
TEST(VideoEncoderTest, RowsByIdMakeThePacketsOfWholePictures) {
    const Picture first = {1, 2, 3, 4, 5, 6, 7, 8};
    const Picture scrolled = {2, 3, 4, 5, 6, 7, 8, 9};
    const Picture back = {9, 1, 2, 3, 4, 5, 6, 7};
    const Picture turned = {3, 4, 5, 6, 7, 8, 1, 2};
    std::vector<uint32_t> full;  // 254 colours: room for one more
    for (uint32_t colour = 1; colour <= 254; ++colour) full.push_back(colour);
    const struct {
        const char* name;
        std::vector<uint32_t> known;
        std::vector<Picture> pictures;
    } cases[] = {
        {"scrolls and repeats", {1, 2, 3, 4, 5, 6, 7, 8, 9}, {first, scrolled, scrolled, first, back, first, back, first, turned}},
        {"rows changed in place", {1, 2, 3, 4, 5, 6, 7, 8, 9}, {first, {1, 2, 9, 4, 5, 6, 7, 8}, {1, 2, 9, 4, 9, 6, 7, 8}, first, {9, 2, 9, 4, 9, 6, 9, 8}, {1, 9, 3, 9, 5, 9, 7, 9}}},
        {"a new colour taken in", {1, 2, 3, 4, 5, 6, 7, 8}, {first, scrolled, first}},
        {"a palette overflowing", full, {first, {1, 2, 3, 0x10000, 0x20000, 6, 7, 8}, scrolled, first}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::string> whole = encode(c.pictures, c.known, Feed::whole);
        ASSERT_FALSE(whole.empty());
        EXPECT_EQ(encode(c.pictures, c.known, Feed::byId), whole);
        EXPECT_EQ(encode(c.pictures, c.known, Feed::store, {1 << 20, 100}), whole);
        EXPECT_EQ(encode(c.pictures, c.known, Feed::store, {3 * kWidth * 4, 2}), whole);
        EXPECT_EQ(encode(c.pictures, c.known, Feed::storeTold, {1 << 20, 100}), whole);
        EXPECT_EQ(encode(c.pictures, c.known, Feed::storeExact, {1 << 20, 100}), whole);
    }
}

// Rows come back with their first ids however many came between: 5,000 distinct rows, more than
// the index first has room for, then the same rows again backwards, after a clear too.
TEST(RowStoreTest, RowsSeenBeforeKeepTheirIds) {
    constexpr int kRows = 5000;
    std::vector<uint8_t> pixels(8 * kRows);
    for (int row = 0; row < kRows; ++row) std::memcpy(&pixels[8 * static_cast<size_t>(row)], &row, sizeof row);
    RowStore store(8, 8 * kRows, kRows);
    for (int round = 0; round < 2; ++round) {
        store.add({pixels.data(), 8, 2, kRows});
        store.add({pixels.data() + 8 * (kRows - 1), -8, 2, kRows});
        ASSERT_EQ(store.bytes(), pixels.size());
        const std::span<const uint32_t> forwards = store.idsOf(0);
        const std::span<const uint32_t> backwards = store.idsOf(1);
        for (size_t row = 0; row < kRows; ++row) {
            ASSERT_EQ(forwards[row], row);
            ASSERT_EQ(backwards[row], kRows - 1 - row);
        }
        store.clear();
    }
}

}  // namespace
