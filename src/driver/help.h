#pragma once
// What reelcap prints instead of a run: the usage text, the -h listing of the options, the
// versions, and -codec list.

#include <string>

#include "platform/codecs.h"

// The usage text that no argument prints.
void printUsage();

// The usage text, then every option of the table by group, one line each, and the manual's name.
void printHelp();

// FFmpeg's and LodePNG's versions are those of the libraries loaded; libvterm has no call for
// its version, so its version is the one built against.
void printVersions();

// -codec list: the compressors, then which containers hold which.
void printCodecList();

// The names of the choices a container holds, its default first: "h264, vp9, av1".
std::string codecsHeldBy(MovieContainer container);
