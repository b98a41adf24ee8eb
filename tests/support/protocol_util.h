// Byte helpers and an independent cipher reference for tests of the wire protocol.
#pragma once

#include <string>

#include "base/string.h"

std::string ToStd(const String& s);
String FromStd(const std::string& s);
std::string FromHex(const char* hex);

// Twofish-CFB8 under SHA-1 of key written straight from its definition (a
// 16-byte register shifted by hand), to check the envelope's cipher against.
std::string ReferenceCfb8(const std::string& input, const std::string& key, bool encrypt);
