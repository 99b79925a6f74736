#pragma once
// Where font.txt is: the working directory, each PATH entry, the share/reelcap folder of the
// prefix reelcap is installed in, then the binary's own folder.

#include <string>

// The path of the first regular, non-empty font.txt found, or "" when there is none. PATH is
// split at ':' and ';'. Entries are taken as a shell that changes into each in turn would: a
// relative entry starts from the directory of the entry before it (or stays put when that
// entry could not be entered). The working directory itself never changes. Then comes
// <prefix>/share/reelcap/font.txt for the binary <prefix>/bin/reelcap, and last the font.txt
// beside the binary (a build tree's).
std::string findFontPath();

// Why there is no font, as the run ends with it (two lines).
std::string missingFontMessage();
