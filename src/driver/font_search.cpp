#include "driver/font_search.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace {

namespace fs = std::filesystem;

constexpr const char* kFontFileName = "font.txt";

bool usableFont(const fs::path& file) {
    std::error_code error;
    return fs::is_regular_file(file, error) && fs::file_size(file, error) > 0 && !error &&
           access(file.c_str(), R_OK) == 0;
}

// Where entering entry from here leads, as chdir would resolve it; here when it cannot be entered.
fs::path enter(const fs::path& here, std::string_view entry) {
    if (entry.empty()) return here;
    fs::path target = here / fs::path(entry);
    std::error_code error;
    if (!fs::is_directory(target, error) || access(target.c_str(), X_OK) != 0) return here;
    fs::path resolved = fs::canonical(target, error);
    return error ? here : resolved;
}

// The working directory's font.txt, then each PATH entry's.
std::string fontAlongPath() {
    if (usableFont(kFontFileName)) return kFontFileName;
    std::error_code error;
    fs::path here = fs::current_path(error);
    if (error) return "";
    const char* path = std::getenv("PATH");
    if (path == nullptr) return "";
    std::string_view entries(path);
    while (true) {
        size_t end = entries.find_first_of(":;");
        here = enter(here, entries.substr(0, end));
        if (usableFont(here / kFontFileName)) return (here / kFontFileName).string();
        if (end == std::string_view::npos) return "";
        entries.remove_prefix(end + 1);
    }
}

// An installed reelcap, <prefix>/bin/reelcap, has its font in <prefix>/share/reelcap; a build
// tree keeps it beside the binary. The kernel's link names the binary itself, whatever link or
// PATH entry started it.
std::string fontNearBinary() {
    std::error_code error;
    fs::path binary = fs::read_symlink("/proc/self/exe", error);
    if (error || !binary.has_parent_path()) return "";
    const fs::path folder = binary.parent_path();
    for (const fs::path& font : {folder.parent_path() / "share" / "reelcap" / kFontFileName, folder / kFontFileName}) {
        if (usableFont(font)) return font.string();
    }
    return "";
}

}  // namespace

std::string findFontPath() {
    std::string found = fontAlongPath();
    return !found.empty() ? found : fontNearBinary();
}

std::string missingFontMessage() {
    return "Unable to find the file \"font.txt\"... copy to this directory \nor check %PATH% environment variable?";
}
