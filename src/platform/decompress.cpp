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

std::string corruptText(const Signature& signature, archive* reader) {
    // libarchive gives no text where a gzip stream ends within its header or trailer.
    const char* why = archive_error_string(reader);
    return std::string("corrupt ") + signature.name + " data (" + (why != nullptr ? why : "cut short") + ")";
}

constexpr size_t kTrailerSize = 8;

// libarchive leaves gzip's trailer unchecked, so a damaged stream that still inflates would pass.
// The trailer's length and CRC-32 cover the last member, which is the whole stream unless members
// were joined; they are checked against the end of what was decoded.
bool gzipTrailerMatches(std::span<const uint8_t> trailer, const std::vector<uint8_t>& out) {
    if (trailer.size() < kTrailerSize) return false;
    auto field = [&](size_t at) {
        return uint32_t{trailer[at]} | uint32_t{trailer[at + 1]} << 8 | uint32_t{trailer[at + 2]} << 16 |
               uint32_t{trailer[at + 3]} << 24;
    };
    const uint32_t expectedCrc = field(0);
    const uint32_t length = field(4);
    if (out.size() > std::numeric_limits<uint32_t>::max()) return true;  // the length is kept modulo 2^32
    if (length > out.size()) return false;
    uLong crc = crc32(0L, Z_NULL, 0);
    const uint8_t* at = out.data() + (out.size() - length);
    for (size_t left = length; left > 0;) {
        auto piece = static_cast<uInt>(std::min<size_t>(left, 1 << 30));
        crc = crc32(crc, at, piece);
        at += piece;
        left -= piece;
    }
    return crc == expectedCrc;
}

bool checkTrailer(const Signature& signature, std::span<const uint8_t> trailer, const std::vector<uint8_t>& out,
                  std::string& error) {
    if (std::string_view(signature.name) != "gzip" || gzipTrailerMatches(trailer, out)) return true;
    error = "corrupt gzip data (its length or CRC-32 does not match what it decodes to)";
    return false;
}

std::string limitText(size_t limit) { return "decompresses to more than " + std::to_string(limit) + " bytes"; }

// Decodes the opened stream, which starts as signature says, appending to out.
bool decodeOpened(archive* reader, const Signature& signature, size_t limit, std::vector<uint8_t>& out,
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
        const auto* bytes = static_cast<const uint8_t*>(block);
        out.insert(out.end(), bytes, bytes + size);
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

// Reads fd into out from out.size() on, until its end or limit bytes.
bool readPlain(int fd, size_t limit, std::vector<uint8_t>& out, std::string& error) {
    while (true) {
        size_t done = out.size();
        if (done == limit) {
            uint8_t extra = 0;
            ssize_t got = -1;
            do {
                got = read(fd, &extra, 1);
            } while (got < 0 && errno == EINTR);
            if (got == 0) return true;
            error = got < 0 ? std::string("cannot be read (") + std::strerror(errno) + ")"
                            : "is more than " + std::to_string(limit) + " bytes long";
            return false;
        }
        out.resize(std::min(limit, std::max(2 * done, done + kBlockSize)));
        ssize_t got = read(fd, out.data() + done, out.size() - done);
        out.resize(done + static_cast<size_t>(std::max<ssize_t>(got, 0)));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = std::string("cannot be read (") + std::strerror(errno) + ")";
            return false;
        }
        if (got == 0) return true;
    }
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
    if (decodeOpened(reader.get(), *signature, limit, out, error) &&
        checkTrailer(*signature, data.last(std::min(data.size(), kTrailerSize)), out, error)) {
        return true;
    }
    out.clear();
    return false;
}

bool readDecompressing(int fd, size_t limit, std::vector<uint8_t>& out, std::string& error) {
    out.clear();
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
        out.assign(taken.begin(), taken.end());
        if (readPlain(fd, limit, out, error)) return true;
        out.clear();
        return false;
    }
    ArchiveReader reader = newReader(error);
    if (reader == nullptr) return false;
    DescriptorSource source{fd, taken, std::vector<uint8_t>(kBlockSize), {}, {}};
    bool decoded = archive_read_open(reader.get(), &source, nullptr, readDescriptor, nullptr) == ARCHIVE_OK &&
                   decodeOpened(reader.get(), *signature, limit, out, error) && drainDescriptor(source) &&
                   checkTrailer(*signature, source.tail, out, error);
    if (decoded) return true;
    error = !source.failure.empty() ? source.failure : !error.empty() ? error : corruptText(*signature, reader.get());
    out.clear();
    return false;
}
