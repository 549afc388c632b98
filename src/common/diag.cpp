#include "common/diag.hpp"

#include <iostream>

namespace orv {

void write_error_line(const std::string& text_after_prefix) {
    std::cerr << "ERROR: " << text_after_prefix << '\n' << std::flush;
}

}  // namespace orv
