// What the fuzz targets share: a scratch directory and settings that point into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/string.h"

// A directory created once per process and left for the run's own clean-up.
const std::string& ScratchDir();

// Publishes settings that enable every test and point every path into the
// scratch directory; idempotent.
void UseScratchSettings();

inline String BytesToString(const uint8_t* data, size_t size) {
  return String(reinterpret_cast<const char*>(data), static_cast<int>(size));
}
