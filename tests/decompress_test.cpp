#include "platform/decompress.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

std::span<const uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string textOf(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

class DecompressTest : public testing::Test {
protected:
    void SetUp() override {
        dir = makeTempDir();
        // Records of varied text, several of libarchive's blocks long once decoded.
        for (uint32_t i = 0; payload.size() < 300000; ++i) {
            payload += ttyrecRecord(1700000000 + i / 7, i * 9973 % 1000000, "line " + std::to_string(i * i) + "\r\n");
        }
        writeFile(dir / "plain", payload);
    }
    void TearDown() override { fs::remove_all(dir); }

    // The payload as the format's own command-line tool writes it.
    std::string compressed(const Compressor& format) {
        fs::path out = dir / (std::string("packed.") + format.name);
        std::string command = std::string(format.command) + " < '" + (dir / "plain").string() + "' > '" + out.string() + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return readFile(out);
    }

    // readDecompressing over a file holding bytes.
    bool readFileDecompressing(const std::string& bytes, size_t limit, std::vector<uint8_t>& out, std::string& error) {
        writeFile(dir / "input", bytes);
        int fd = open((dir / "input").c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        bool read = readDecompressing(fd, limit, out, error);
        close(fd);
        return read;
    }

    fs::path dir;
    std::string payload;
};

TEST_F(DecompressTest, EachFormatDecodesToWhatWasCompressed) {
    for (const Compressor& format : kCompressors) {
        SCOPED_TRACE(format.name);
        const std::string packed = compressed(format);
        ASSERT_LT(packed.size(), payload.size() / 2);
        EXPECT_TRUE(isCompressed(bytesOf(packed)));
        std::vector<uint8_t> out;
        std::string error;
        ASSERT_TRUE(decompress(bytesOf(packed), payload.size(), out, error)) << error;
        EXPECT_TRUE(textOf(out) == payload);
        ASSERT_TRUE(readFileDecompressing(packed, payload.size(), out, error)) << error;
        EXPECT_TRUE(textOf(out) == payload);
        // One byte short of the decoded size is past the limit.
        EXPECT_FALSE(decompress(bytesOf(packed), payload.size() - 1, out, error));
        EXPECT_EQ(error, "decompresses to more than " + std::to_string(payload.size() - 1) + " bytes");
        EXPECT_TRUE(out.empty());
        EXPECT_FALSE(readFileDecompressing(packed, payload.size() - 1, out, error));
        EXPECT_EQ(error, "decompresses to more than " + std::to_string(payload.size() - 1) + " bytes");
    }
}

TEST_F(DecompressTest, CorruptOrCutStreamsFailNamingTheFormat) {
    for (const Compressor& format : kCompressors) {
        SCOPED_TRACE(format.name);
        const std::string packed = compressed(format);
        auto flipped = [&](size_t at) {
            std::string bytes = packed;
            bytes[at] = static_cast<char>(bytes[at] ^ 0x55);
            return bytes;
        };
        // Damage in the middle, in the closing check values, and ends cut off.
        const std::string damaged[] = {flipped(packed.size() / 2), flipped(packed.size() - 2),
                                       flipped(packed.size() - 6), packed.substr(0, packed.size() / 2),
                                       packed.substr(0, packed.size() - 1)};
        for (const std::string& bytes : damaged) {
            std::vector<uint8_t> out;
            std::string error;
            EXPECT_FALSE(decompress(bytesOf(bytes), payload.size(), out, error)) << bytes.size();
            EXPECT_EQ(error.rfind(std::string("corrupt ") + format.name + " data (", 0), 0u) << error;
            EXPECT_TRUE(out.empty());
            std::string fromFile;
            EXPECT_FALSE(readFileDecompressing(bytes, payload.size(), out, fromFile)) << bytes.size();
            EXPECT_EQ(fromFile, error);
        }
    }
    // A gzip signature that libarchive's reader refuses is damaged, not plain data.
    std::vector<uint8_t> out;
    std::string error;
    EXPECT_FALSE(decompress(bytesOf(std::string("\x1F\x8B\x08\x00", 4)), 100, out, error));
    EXPECT_EQ(error, "corrupt gzip data (its header is damaged)");
}

TEST_F(DecompressTest, JoinedGzipMembersDecodeWhole) {
    const std::string first = compressed(kCompressors[0]);
    writeFile(dir / "plain", "and more\r\n");
    const std::string joined = first + compressed(kCompressors[0]);
    std::vector<uint8_t> out;
    std::string error;
    ASSERT_TRUE(decompress(bytesOf(joined), payload.size() + 10, out, error)) << error;
    EXPECT_TRUE(textOf(out) == payload + "and more\r\n");
    ASSERT_TRUE(readFileDecompressing(joined, payload.size() + 10, out, error)) << error;
    EXPECT_TRUE(textOf(out) == payload + "and more\r\n");
    // The last member's CRC-32 is checked.
    std::string damaged = joined;
    damaged[damaged.size() - 8] = static_cast<char>(damaged[damaged.size() - 8] ^ 1);
    EXPECT_FALSE(decompress(bytesOf(damaged), payload.size() + 10, out, error));
    EXPECT_EQ(error, "corrupt gzip data (its length or CRC-32 does not match what it decodes to)");
}

TEST_F(DecompressTest, PlainDataIsNoneOfTheFormats) {
    const std::string plain[] = {
        "",
        ttyrecRecord(1700000000, 0, "hello"),
        "{\"version\": 2}\n",
        ttyrecRecord(0x5A088B1F, 0, "x"),       // gzip's first three bytes, then reserved flags set
        "BZh91AY&S",                             // bzip2's block mark cut short
        std::string("\xFD" "7zXZ", 5),           // xz's signature without its last byte
        std::string("\x28\xB5\x2F", 3),
    };
    for (const std::string& bytes : plain) {
        EXPECT_FALSE(isCompressed(bytesOf(bytes))) << bytes;
        std::vector<uint8_t> out;
        std::string error;
        EXPECT_FALSE(decompress(bytesOf(bytes), 1000, out, error));
        EXPECT_EQ(error, "is not gzip, bzip2, xz or zstd data");
        // Read from a descriptor, plain data comes out as it is.
        ASSERT_TRUE(readFileDecompressing(bytes, bytes.size(), out, error)) << error;
        EXPECT_EQ(textOf(out), bytes);
    }
    std::vector<uint8_t> out;
    std::string error;
    EXPECT_FALSE(readFileDecompressing(payload, payload.size() - 1, out, error));
    EXPECT_EQ(error, "is more than " + std::to_string(payload.size() - 1) + " bytes long");
    EXPECT_FALSE(readFileDecompressing("twelve bytes", 5, out, error));  // within the first bytes read
    EXPECT_EQ(error, "is more than 5 bytes long");
    EXPECT_TRUE(out.empty());
}

TEST_F(DecompressTest, PipesAreReadWithoutKnowingTheSize) {
    const std::string packed = compressed(kCompressors[1]);
    for (const std::string* bytes : {&packed, const_cast<const std::string*>(&payload)}) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        // Written in small pieces, so that the signature arrives over several reads.
        std::thread writer([&] {
            for (size_t at = 0; at < bytes->size(); at += at < 30 ? 3 : 4096) {
                size_t size = std::min<size_t>(at < 30 ? 3 : 4096, bytes->size() - at);
                if (write(fds[1], bytes->data() + at, size) != static_cast<ssize_t>(size)) break;
            }
            close(fds[1]);
        });
        std::vector<uint8_t> out;
        std::string error;
        bool read = readDecompressing(fds[0], payload.size(), out, error);
        writer.join();
        close(fds[0]);
        ASSERT_TRUE(read) << error;
        EXPECT_TRUE(textOf(out) == payload);
    }
}

TEST_F(DecompressTest, AReadFailureIsNotCalledCorruption) {
    std::vector<uint8_t> out;
    std::string error;
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(readDecompressing(fd, 1000, out, error));
    close(fd);
    EXPECT_EQ(error, "cannot be read (Is a directory)");
}

}  // namespace
