// The session cipher: Twofish in 8-bit cipher feedback under SHA-1 of a key string, and the
// password proof.
#pragma once

#include "base/string.h"

// Empty for an empty password, else the 16 raw bytes of its MD5 digest.
String EncodePswd(const String& password);
// The cipher text of data under key (empty for empty data), preceded by its length in digits
// bytes when digits is not 0.
String EncodeData(const String& data, const String& key, int digits);
String DecodeData(const String& data, const String& key);
// The same for n bytes at data, such as a field inside a packet.
String DecodeData(const char* data, int n, const String& key);
