#pragma once
// Whole-file writes and copies for frame files: a write that fails part-way leaves no file.

#include <cstdint>
#include <span>
#include <string>

// Creates or replaces path with bytes; false, errno saying why, when the file could not be
// written completely.
bool writeWholeFile(const std::string& path, std::span<const uint8_t> bytes);

enum class CopyResult { copied, sourceUnreadable, targetUnwritable };

// The cheapest copy first: a clone sharing the blocks where the file system has them, else a
// copy inside the kernel, else reading and writing through a buffer.
enum class CopyWay { clone, kernel, plain };

// Duplicates source as target, trying the ways from firstWay on; the plain way moves pieces of
// at most buffer.size() bytes. errno says why a copy failed.
CopyResult copyWholeFile(const std::string& source, const std::string& target, std::span<uint8_t> buffer,
                         CopyWay firstWay = CopyWay::clone);

// Frame files of a run that could not be written: how many, and the first of them as
// "name: why".
struct UnwrittenFrames {
    int64_t count = 0;
    std::string first;

    // Counts path as a frame file that could not be written, errno saying why.
    void note(const std::string& path);
};
