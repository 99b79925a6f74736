#pragma once
// Whole-file writes and copies for frame files: a write that fails part-way leaves no file.

#include <cstdint>
#include <span>
#include <string>

// Creates or replaces path with bytes; false when the file could not be written completely.
bool writeWholeFile(const std::string& path, std::span<const uint8_t> bytes);

enum class CopyResult { copied, sourceUnreadable, targetUnwritable };

// Duplicates source as target in pieces of at most buffer.size() bytes.
CopyResult copyWholeFile(const std::string& source, const std::string& target, std::span<uint8_t> buffer);
