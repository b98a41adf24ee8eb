// Lets GoogleTest print String values in failure messages.
#pragma once

#include <ostream>
#include <string>

#include "base/string.h"

inline void PrintTo(const String& s, std::ostream* os) {
  *os << '"' << std::string(s.c_str(), static_cast<size_t>(s.Length())) << '"';
}
