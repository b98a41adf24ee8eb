// Constants of the wire protocol: the request packet's layout and the replies' result codes.
#pragma once

#include <cstdint>

// Layout of a request packet: 1-based String positions, each variable-length field after its
// little-endian length field.
inline constexpr int32_t OFFSET_PACKET = 1;
inline constexpr int32_t SIZELEN_AUTH = 2;
inline constexpr int32_t SIZELEN_PSWD = 2;
inline constexpr int32_t SIZELEN_KEY = 2;
inline constexpr int32_t SIZELEN_REQUEST = 4;
inline constexpr int32_t OFFSET_AUTH = OFFSET_PACKET + 4;
inline constexpr int32_t OFFSET_PSWD = OFFSET_AUTH + SIZELEN_AUTH;
inline constexpr int32_t OFFSET_KEY = OFFSET_PSWD + SIZELEN_PSWD;
inline constexpr int32_t OFFSET_REQUEST = OFFSET_KEY + SIZELEN_KEY;
inline constexpr int32_t SIZELEN_MINIMUM =
    SIZELEN_PSWD + SIZELEN_KEY + SIZELEN_REQUEST + SIZELEN_AUTH + 4;

// The length prefix of request and reply packets, which counts the bytes after it.
inline constexpr int32_t kPacketLengthField = OFFSET_AUTH - OFFSET_PACKET;
// The authentication marker's two bytes.
inline constexpr char kAuthMarker0 = 0x03;
inline constexpr char kAuthMarker1 = 0x12;

// Largest request packet the agent accepts; a packet that declares more is
// refused as soon as its length field has arrived.
inline constexpr int32_t kMaxPacketSize = 4 * 1024 * 1024;

// Result codes, the first line of every reply.
inline constexpr const char* kResultOk = "200";       // done
inline constexpr const char* kResultFailed = "300";   // reload, upgrade or save failed, with a text
inline constexpr const char* kResultError = "301";    // the operation failed, with a text
inline constexpr const char* kResultBusy = "302";     // another upgrade is in progress
inline constexpr const char* kResultUnknown = "500";  // unknown, empty or not provided
inline constexpr const char* kResultBadParam = "501";    // a parameter is missing or malformed
inline constexpr const char* kResultNoEnd = "502";       // end-of-transmission mark missing
inline constexpr const char* kResultNotAllowed = "600";  // refused by the settings
