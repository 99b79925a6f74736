#pragma once
// Compressed recordings: gzip, bzip2, xz and zstd streams, told by their first bytes whatever the
// file's name, and decoded through libarchive's raw reader.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// True when data starts as a gzip, bzip2, xz or zstd stream does.
bool isCompressed(std::span<const uint8_t> data);

// Decodes data, which isCompressed accepts, into out. False, with error saying why, when the
// stream is corrupt or cut short, when data is not compressed, or when it decodes to more than
// limit bytes.
bool decompress(std::span<const uint8_t> data, size_t limit, std::vector<uint8_t>& out, std::string& error);

// Reads fd (a file or a pipe) to its end into out: decoded on the way when it starts as a
// compressed stream, as it is otherwise. False, with error saying why, when reading fails, the
// stream is corrupt or cut short, or more than limit bytes would come out.
bool readDecompressing(int fd, size_t limit, std::vector<uint8_t>& out, std::string& error);

// As readDecompressing, written into the file spool from its start rather than held; size: the
// bytes written.
bool spoolDecompressing(int fd, uint64_t limit, int spool, uint64_t& size, std::string& error);
