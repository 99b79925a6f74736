#pragma once
// Stands in for the compression dialog: the choice comes from -codec, a short text menu
// on a terminal, or the prefilled default (uncompressed frames). The menu is for AVI files
// and offers what they hold; -codec names the compressors of every container.

#include <cstdio>

#include "platform/codecs.h"

struct AviCompressOptions;

// A choice made on the command line; the dialog then asks nothing.
void presetCompressionChoice(const CodecChoice* choice);

// True when a choice was confirmed (written into options), false when cancelled.
bool aviSaveOptions(AviCompressOptions& options);

// The menu at a terminal stops waiting, as if cancelled, once SIGINT or SIGTERM has arrived
// and this says so.
void setCompressionDialogInterruptCheck(bool (*interrupted)());

// Shows the menu on these streams whatever they are connected to; nullptr for both puts the
// terminal test back. For tests.
void setCompressionDialogStreams(std::FILE* input, std::FILE* output);

// Forgets the preset choice, the streams set for tests and the interrupt check.
void resetCompressionDialog();
