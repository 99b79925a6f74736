#pragma once
// The codecs and containers a movie can be written with: one row per codec, read by -codec,
// the compression menu and the movie file writer alike.

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/little_endian.h"

// The container follows the file name's extension; any other name gets an AVI file.
enum class MovieContainer { avi, mp4, matroska, webm, gif };

struct MovieContainerInfo {
    MovieContainer container;
    const char* extension;       // lower case, with its dot
    const char* name;            // for messages: "MP4"
    uint32_t defaultCompressor;  // without -codec; for AVI the compression dialog decides
    const char* muxer;           // FFmpeg's name for it
};

// Which containers hold a codec: one bit per MovieContainer.
using ContainerSet = uint32_t;

constexpr ContainerSet containerBit(MovieContainer container) { return 1u << static_cast<int>(container); }

// How FFmpeg encodes a codec's frames, which always arrive as B, G, R, 0 bytes per pixel.
struct EncoderSettings {
    const char* encoder;      // FFmpeg's encoder; nullptr: frames are stored as they arrive
    const char* pixelFormat;  // FFmpeg's name of what the encoder takes: "yuv420p"
    const char* colourRange;  // FFmpeg's name, "pc" (full) or "tv" (limited); nullptr: unspecified
    int fixedQuantizer;       // above 0: constant quality at this quantizer
    const char* options;      // the encoder's own options, "key=value:key=value"
};

struct CodecChoice {
    const char* name;         // as typed after -codec
    const char* description;  // one line for -codec list and the menu
    uint32_t fourcc;          // the compressor's four characters, little-endian
    ContainerSet containers;  // as FFmpeg's muxers write them and common players read them back
    EncoderSettings encoding;
};

constexpr uint32_t kCompressorDib = fourcc("DIB ");  // comptypeDIB: frames stored as they are
constexpr uint32_t kCompressorVp9 = fourcc("VP90");
constexpr uint32_t kCompressorAv1 = fourcc("AV01");
constexpr uint32_t kCompressorGif = fourcc("GIF ");

// Uncompressed frames first; the menu offers the rows that AVI files hold, in this order.
std::span<const CodecChoice> codecChoices();

// Case-insensitive; nullptr for an unknown name.
const CodecChoice* findCodecChoice(std::string_view name);

// The row of a compressor; 0 means uncompressed frames. nullptr for one not in the table.
const CodecChoice* codecWithFourcc(uint32_t compressor);

// What a movie in this container gets without -codec; nullptr for AVI files, where the dialog
// decides (asking at a terminal, uncompressed frames otherwise).
const CodecChoice* defaultCodecChoice(MovieContainer container);

std::span<const MovieContainerInfo> movieContainers();

// By the extension, whatever its letter case.
const MovieContainerInfo& movieContainerFor(std::string_view path);

// compressor 0 means uncompressed frames.
bool movieContainerHolds(MovieContainer container, uint32_t compressor);
