#pragma once
// Shared set-up for the fuzz targets: quiet standard output, a working directory with the font.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

// For the targets that stop at the grid: nothing is read or written but standard output.
inline void quietFuzzProcess() { std::freopen("/dev/null", "w", stdout); }

inline void prepareFuzzProcess() {
    quietFuzzProcess();
    std::string pattern = (std::filesystem::temp_directory_path() / "reelcap-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0) std::abort();
    std::filesystem::copy_file(REELCAP_FONT_FILE, "font.txt");
}
