// Diagnostic lines on the process's standard error stream.
//
// Every line starts with "ERROR: ", holds the pieces given, ends with a
// newline, and the stream is flushed after it. Numbers are written in decimal.
#pragma once

#include <sstream>
#include <string>

namespace orv {

void write_error_line(const std::string& text_after_prefix);

template <typename... Parts>
void report_error(const Parts&... parts) {
    std::ostringstream line;
    (line << ... << parts);
    write_error_line(line.str());
}

}  // namespace orv
