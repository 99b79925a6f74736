#include "platform/decompress.h"

#include <archive.h>
#include <archive_entry.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <memory>

namespace {

// Enough for every format's signature, the longest being bzip2's ten bytes.
constexpr size_t kSignatureSize = 10;
constexpr size_t kBlockSize = 1 << 16;

struct Signature {
    const char* name;
    bool (*matches)(std::span<const uint8_t> head);
};

bool startsWith(std::span<const uint8_t> head, std::initializer_list<uint8_t> bytes) {
    return head.size() >= bytes.size() && std::equal(bytes.begin(), bytes.end(), head.begin());
}

// Each as strict as libarchive's own test, so that what is taken for compressed is what it
// decodes: gzip's reserved flag bits are clear (a ttyrec record's seconds since 1987 set them),
// bzip2's level digit is followed by a block or end-of-stream mark.
constexpr Signature kSignatures[] = {
    {"gzip",
     [](std::span<const uint8_t> head) {
         return startsWith(head, {0x1F, 0x8B, 0x08}) && (head.size() < 4 || (head[3] & 0xE0) == 0);
     }},
    {"bzip2",
     [](std::span<const uint8_t> head) {
         return startsWith(head, {'B', 'Z', 'h'}) && head.size() >= 10 && head[3] >= '1' && head[3] <= '9' &&
                (startsWith(head.subspan(4), {0x31, 0x41, 0x59, 0x26, 0x53, 0x59}) ||
                 startsWith(head.subspan(4), {0x17, 0x72, 0x45, 0x38, 0x50, 0x90}));
     }},
    {"xz", [](std::span<const uint8_t> head) { return startsWith(head, {0xFD, '7', 'z', 'X', 'Z', 0x00}); }},
    {"zstd", [](std::span<const uint8_t> head) { return startsWith(head, {0x28, 0xB5, 0x2F, 0xFD}); }},
};

const Signature* signatureOf(std::span<const uint8_t> data) {
    for (const Signature& signature : kSignatures) {
        if (signature.matches(data.first(std::min(data.size(), kSignatureSize)))) return &signature;
    }
    return nullptr;
}

struct ArchiveFree {
    void operator()(archive* reader) const { archive_read_free(reader); }
};
using ArchiveReader = std::unique_ptr<archive, ArchiveFree>;

// A reader of one raw stream through the four filters, built into libarchive rather than run as
// outside programs.
ArchiveReader newReader(std::string& error) {
    ArchiveReader reader(archive_read_new());
    if (reader == nullptr) {
        error = "cannot be decompressed: not enough memory";
        return nullptr;
    }
    if (archive_read_support_filter_gzip(reader.get()) != ARCHIVE_OK ||
        archive_read_support_filter_bzip2(reader.get()) != ARCHIVE_OK ||
        archive_read_support_filter_xz(reader.get()) != ARCHIVE_OK ||
        archive_read_support_filter_zstd(reader.get()) != ARCHIVE_OK ||
        archive_read_support_format_raw(reader.get()) != ARCHIVE_OK) {
        error = std::string("cannot be decompressed: libarchive lacks a decoder (") +
                archive_error_string(reader.get()) + ")";
        return nullptr;
    }
    return reader;
}

// Where decoded bytes go: memory, or a file written as they come, its blocks of zeros left as
// holes (an endless stream of zeros then costs no disk).
class DecodedOutput {
public:
    explicit DecodedOutput(std::vector<uint8_t>& memory) : memory_(&memory) {}
    explicit DecodedOutput(int fd) : fd_(fd) {}

    uint64_t size() const { return size_; }

    bool append(std::span<const uint8_t> bytes, std::string& error) {
        if (memory_ != nullptr) {
            memory_->insert(memory_->end(), bytes.begin(), bytes.end());
        } else if (std::any_of(bytes.begin(), bytes.end(), [](uint8_t byte) { return byte != 0; })) {
            for (size_t done = 0; done < bytes.size();) {
                ssize_t wrote = pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(size_ + done));
                if (wrote < 0 && errno == EINTR) continue;
                if (wrote <= 0) return spoolFailure(error);
                done += static_cast<size_t>(wrote);
            }
        }
        size_ += bytes.size();
        return true;
    }

    // A file's length reaches past a hole at its end.
    bool finish(std::string& error) {
        if (memory_ != nullptr || ftruncate(fd_, static_cast<off_t>(size_)) == 0) return true;
        return spoolFailure(error);
    }

    // The CRC-32 of the last count bytes; none when they cannot be read back.
    std::optional<uLong> crcOfLast(uint64_t count) const {
        uLong crc = crc32(0L, Z_NULL, 0);
        if (memory_ != nullptr) {
            const uint8_t* at = memory_->data() + (memory_->size() - count);
            for (uint64_t left = count; left > 0;) {
                auto piece = static_cast<uInt>(std::min<uint64_t>(left, 1 << 30));
                crc = crc32(crc, at, piece);
                at += piece;
                left -= piece;
            }
            return crc;
        }
        std::vector<uint8_t> block(kBlockSize);
        for (uint64_t at = size_ - count; at < size_;) {
            ssize_t got = pread(fd_, block.data(), std::min<uint64_t>(block.size(), size_ - at), static_cast<off_t>(at));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return std::nullopt;
            crc = crc32(crc, block.data(), static_cast<uInt>(got));
            at += static_cast<uint64_t>(got);
        }
        return crc;
    }

private:
    static bool spoolFailure(std::string& error) {
        error = std::string("cannot be copied into a temporary file (") + std::strerror(errno) +
                "); set TMPDIR to a directory with room";
        return false;
    }

    std::vector<uint8_t>* memory_ = nullptr;
    int fd_ = -1;
    uint64_t size_ = 0;
};

std::string corruptText(const Signature& signature, archive* reader) {
    // libarchive gives no text where a gzip stream ends within its header or trailer.
    const char* why = archive_error_string(reader);
    return std::string("corrupt ") + signature.name + " data (" + (why != nullptr ? why : "cut short") + ")";
}

constexpr size_t kTrailerSize = 8;

// libarchive leaves gzip's trailer unchecked, so a damaged stream that still inflates would pass.
// The trailer's length and CRC-32 cover the last member, which is the whole stream unless members
// were joined; they are checked against the end of what was decoded.
bool gzipTrailerMatches(std::span<const uint8_t> trailer, const DecodedOutput& out) {
    if (trailer.size() < kTrailerSize) return false;
    auto field = [&](size_t at) {
        return uint32_t{trailer[at]} | uint32_t{trailer[at + 1]} << 8 | uint32_t{trailer[at + 2]} << 16 |
               uint32_t{trailer[at + 3]} << 24;
    };
    const uint32_t expectedCrc = field(0);
    const uint32_t length = field(4);
    if (out.size() > std::numeric_limits<uint32_t>::max()) return true;  // the length is kept modulo 2^32
    if (length > out.size()) return false;
    return out.crcOfLast(length) == uLong{expectedCrc};
}

bool checkTrailer(const Signature& signature, std::span<const uint8_t> trailer, const DecodedOutput& out,
                  std::string& error) {
    if (std::string_view(signature.name) != "gzip" || gzipTrailerMatches(trailer, out)) return true;
    error = "corrupt gzip data (its length or CRC-32 does not match what it decodes to)";
    return false;
}

std::string limitText(size_t limit) { return "decompresses to more than " + std::to_string(limit) + " bytes"; }

// Decodes the opened stream, which starts as signature says, appending to out.
bool decodeOpened(archive* reader, const Signature& signature, uint64_t limit, DecodedOutput& out,
                  std::string& error) {
    archive_entry* entry = nullptr;
    if (archive_read_next_header(reader, &entry) != ARCHIVE_OK) {
        error = corruptText(signature, reader);
        return false;
    }
    // libarchive passes a stream that none of its filters takes through unchanged.
    if (archive_filter_code(reader, 0) == ARCHIVE_FILTER_NONE) {
        error = std::string("corrupt ") + signature.name + " data (its header is damaged)";
        return false;
    }
    const void* block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    int status = ARCHIVE_OK;
    while ((status = archive_read_data_block(reader, &block, &size, &offset)) == ARCHIVE_OK) {
        if (size > limit - out.size()) {
            error = limitText(limit);
            return false;
        }
        if (!out.append(std::span(static_cast<const uint8_t*>(block), size), error)) return false;
    }
    if (status != ARCHIVE_EOF) {
        error = corruptText(signature, reader);
        return false;
    }
    return true;
}

// What libarchive reads from a descriptor: the bytes already taken to tell the format first,
// then the rest of the descriptor.
struct DescriptorSource {
    int fd = -1;
    std::span<const uint8_t> head;
    std::vector<uint8_t> block;
    std::string failure;        // why reading failed, when it did
    std::vector<uint8_t> tail;  // the last bytes read, up to a trailer's size
};

void keepTail(DescriptorSource& source, std::span<const uint8_t> bytes) {
    source.tail.insert(source.tail.end(), bytes.end() - std::min(bytes.size(), kTrailerSize), bytes.end());
    if (source.tail.size() > kTrailerSize) source.tail.erase(source.tail.begin(), source.tail.end() - kTrailerSize);
}

// Reads what libarchive left of the descriptor, so that the tail is the stream's end.
bool drainDescriptor(DescriptorSource& source) {
    while (true) {
        ssize_t got = read(source.fd, source.block.data(), source.block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            source.failure = std::string("cannot be read (") + std::strerror(errno) + ")";
            return false;
        }
        if (got == 0) return true;
        keepTail(source, std::span(source.block).first(static_cast<size_t>(got)));
    }
}

la_ssize_t readDescriptor(archive* reader, void* data, const void** buffer) {
    DescriptorSource& source = *static_cast<DescriptorSource*>(data);
    if (!source.head.empty()) {
        *buffer = source.head.data();
        keepTail(source, source.head);
        la_ssize_t size = static_cast<la_ssize_t>(source.head.size());
        source.head = {};
        return size;
    }
    ssize_t got = -1;
    do {
        got = read(source.fd, source.block.data(), source.block.size());
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        source.failure = std::string("cannot be read (") + std::strerror(errno) + ")";
        archive_set_error(reader, errno, "%s", source.failure.c_str());
    }
    if (got > 0) keepTail(source, std::span(source.block).first(static_cast<size_t>(got)));
    *buffer = source.block.data();
    return got;
}

// Reads the rest of fd into out, until its end or past limit bytes.
bool readPlain(int fd, uint64_t limit, DecodedOutput& out, std::string& error) {
    std::vector<uint8_t> block(kBlockSize);
    while (true) {
        ssize_t got = read(fd, block.data(), block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = std::string("cannot be read (") + std::strerror(errno) + ")";
            return false;
        }
        if (got == 0) return out.finish(error);
        if (static_cast<uint64_t>(got) > limit - out.size()) {
            error = "is more than " + std::to_string(limit) + " bytes long";
            return false;
        }
        if (!out.append(std::span(block).first(static_cast<size_t>(got)), error)) return false;
    }
}

// Reads fd to its end into out, decoded on the way when it starts as a compressed stream.
bool readInto(int fd, uint64_t limit, DecodedOutput& out, std::string& error) {
    error.clear();
    std::array<uint8_t, kSignatureSize> head{};
    size_t headSize = 0;
    while (headSize < head.size()) {
        ssize_t got = read(fd, head.data() + headSize, head.size() - headSize);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = std::string("cannot be read (") + std::strerror(errno) + ")";
            return false;
        }
        if (got == 0) break;
        headSize += static_cast<size_t>(got);
    }
    std::span<const uint8_t> taken(head.data(), headSize);
    const Signature* signature = signatureOf(taken);
    if (signature == nullptr) {
        if (headSize > limit) {
            error = "is more than " + std::to_string(limit) + " bytes long";
            return false;
        }
        return out.append(taken, error) && readPlain(fd, limit, out, error);
    }
    ArchiveReader reader = newReader(error);
    if (reader == nullptr) return false;
    DescriptorSource source{fd, taken, std::vector<uint8_t>(kBlockSize), {}, {}};
    bool decoded = archive_read_open(reader.get(), &source, nullptr, readDescriptor, nullptr) == ARCHIVE_OK &&
                   decodeOpened(reader.get(), *signature, limit, out, error) && drainDescriptor(source) &&
                   out.finish(error) && checkTrailer(*signature, source.tail, out, error);
    if (decoded) return true;
    error = !source.failure.empty() ? source.failure : !error.empty() ? error : corruptText(*signature, reader.get());
    return false;
}

}  // namespace

bool isCompressed(std::span<const uint8_t> data) { return signatureOf(data) != nullptr; }

bool decompress(std::span<const uint8_t> data, size_t limit, std::vector<uint8_t>& out, std::string& error) {
    out.clear();
    error.clear();
    const Signature* signature = signatureOf(data);
    if (signature == nullptr) {
        error = "is not gzip, bzip2, xz or zstd data";
        return false;
    }
    ArchiveReader reader = newReader(error);
    if (reader == nullptr) return false;
    if (archive_read_open_memory(reader.get(), data.data(), data.size()) != ARCHIVE_OK) {
        error = corruptText(*signature, reader.get());
        return false;
    }
    DecodedOutput output(out);
    if (decodeOpened(reader.get(), *signature, limit, output, error) &&
        checkTrailer(*signature, data.last(std::min(data.size(), kTrailerSize)), output, error)) {
        return true;
    }
    out.clear();
    return false;
}

bool readDecompressing(int fd, size_t limit, std::vector<uint8_t>& out, std::string& error) {
    out.clear();
    DecodedOutput output(out);
    if (readInto(fd, limit, output, error)) return true;
    out.clear();
    return false;
}

bool spoolDecompressing(int fd, uint64_t limit, int spool, uint64_t& size, std::string& error) {
    DecodedOutput output(spool);
    const bool read = readInto(fd, limit, output, error);
    size = output.size();
    return read;
}
