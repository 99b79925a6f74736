#include "driver/driver.h"

#include "driver/announce.h"
#include "driver/conversion.h"
#include "driver/help.h"
#include "driver/options.h"
#include "driver/preparation.h"
#include "driver/run_end.h"
#include "driver/suggestions.h"
#include "platform/messages.h"

int runConverter(std::span<const std::string> arguments, const RunSettings& defaults) {
    if (arguments.size() >= 2 && namesMatch(arguments[1], "--version")) {
        printVersions();
        return 0;
    }
    // -quiet counts from the banner on, before the options are read.
    announceBanner(quietAsked(arguments));
    if (arguments.size() < 2) {
        printUsage();
        return 0;
    }
    if (isHelpOption(arguments[1])) {
        printHelp();
        return 0;
    }
    // Nothing is processed, so nothing is announced: the banner alone goes to standard output.
    if (const std::string error = recordingFirstError(arguments); !error.empty()) {
        printDiagnostic(error);
        return 1;
    }
    const ParsedOptions parsed = parseOptions(arguments, defaults);
    for (const std::string& warning : parsed.warnings) printDiagnostic(warning);
    if (const std::string error = outputNameError(parsed.settings); !error.empty()) {
        printDiagnostic(error);
        return 1;
    }
    // The effects of the options read before parsing stopped, in the order they had on the
    // command line: -png's directory comes before a listing or an error that follows it.
    std::error_code framesError;
    if (!parsed.settings.movieOutput) framesError = makeFramesDirectory(parsed.settings.directory);
    if (parsed.listing != nullptr) {
        printCodecList();
        return 0;
    }
    if (!parsed.error.empty()) return endWith(optionError(parsed.error));
    return runConversion(parsed.settings, framesError);
}
