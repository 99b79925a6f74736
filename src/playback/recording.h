#pragma once
// Reading a recording, from a file, a named pipe, a device or standard input, decoded when
// compressed, and told apart: ttyrec or asciicast. What it yields is a value its reader holds.

#include <cstdint>
#include <optional>
#include <string>

#include "playback/events.h"

struct ReadOptions {
    uint64_t streamLimit = uint64_t{4} << 30;  // streams longer than this many bytes are refused
    // Before the run is announced: standard input, and a regular file that is compressed or may be
    // asciicast, are read; anything else is left for the read proper (no recording, no error).
    bool early = false;
};

struct ReadResult {
    std::optional<Recording> recording;
    std::string error;       // when it cannot be read: why, in plain words (standard error)
    std::string transcript = "";  // and the converter's fixed line for it, if it has one ("errno 2")
};

// A pipe, a device or standard input is read as a stream, up to the stream limit.
ReadResult readRecording(const std::string& path, const ReadOptions& options = {});

// "-" names standard input.
bool namesStandardInput(const std::string& path);

// The recording as messages name it: its path, or "standard input".
std::string recordingName(const std::string& path);
