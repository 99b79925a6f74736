#pragma once
// Stands in for the compression dialog: the choice comes from -codec, a short text menu
// on a terminal, or the prefilled default (uncompressed frames). The menu is for AVI files
// and offers what they hold; -codec names the compressors of every container.

#include <cstdio>

#include "platform/codecs.h"

struct AviCompressOptions;

// What the dialog needs, handed to it by its owner.
struct CompressionDialog {
    const CodecChoice* preset = nullptr;  // a choice made on the command line: nothing is asked
    // The menu on these streams whatever they are connected to; nullptr: at a terminal, if any.
    std::FILE* input = nullptr;
    std::FILE* output = nullptr;
    // The menu at a terminal stops waiting, as if cancelled, once this says SIGINT or SIGTERM came.
    bool (*interrupted)() = nullptr;
};

// True when a choice was confirmed (written into options), false when cancelled.
bool aviSaveOptions(AviCompressOptions& options, const CompressionDialog& dialog);
