#pragma once
// Where a run's lines go: standard output holds the fixed transcript (banner, progress lines and
// the converter's fixed messages); what a person needs to know (errors, warnings, what to do)
// goes to standard error.

#include <string>
#include <string_view>

// The line and a newline on standard output, flushed.
void printTranscript(std::string_view line);

// The line and a newline on standard error. Standard output is flushed first, so that both
// read in order where they share a terminal or a file.
void printDiagnostic(std::string_view line);

// Seconds as a person typed them: 2.5, 60, 0.04.
std::string secondsText(double seconds);
