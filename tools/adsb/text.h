// printf into a std::string, for the texts of the companion programs.
#pragma once

#include <string>

/// The formatted text (at most 255 characters).
std::string text_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
