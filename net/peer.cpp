// Peer addresses: folding IPv4-mapped ones, blocks, source keys and RFC 5952 text.
#include "net/peer.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

// Keeps the first prefix bits of bytes and clears the rest.
void KeepLeadingBits(uint8_t* bytes, int size, int prefix) {
  for (int i = 0; i < size; ++i) {
    const int bits = prefix - 8 * i;
    if (bits >= 8) continue;
    bytes[i] &= bits <= 0 ? 0 : static_cast<uint8_t>(0xff << (8 - bits));
  }
}

// The eight groups of an IPv6 address, the longest run of two or more zero groups (the first of
// equals) written "::".
void FormatIPv6(const uint8_t* bytes, char* text) {
  unsigned groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = bytes[2 * i] << 8 | bytes[2 * i + 1];
  int bestStart = -1;
  int bestLength = 1;
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > bestLength) {
      bestStart = i;
      bestLength = j - i;
    }
    i = j == i ? i + 1 : j;
  }
  char* p = text;
  for (int i = 0; i < 8; ++i) {
    if (i == bestStart) {
      *p++ = ':';
      *p++ = ':';
      i += bestLength - 1;
      continue;
    }
    if (i > 0 && p[-1] != ':') *p++ = ':';
    p += sprintf(p, "%x", groups[i]);
  }
  *p = '\0';
}

}  // namespace

TPeerAddress TPeerAddress::FromIPv4(in_addr address) {
  TPeerAddress peer;
  peer.bits_ = peer.prefix_ = 32;
  memcpy(peer.bytes_, &address, 4);
  return peer;
}

TPeerAddress TPeerAddress::FromIPv6(const in6_addr& address) {
  if (memcmp(&address, kMappedPrefix, sizeof(kMappedPrefix)) == 0) {
    in_addr ipv4;
    memcpy(&ipv4, address.s6_addr + 12, 4);
    return FromIPv4(ipv4);
  }
  TPeerAddress peer;
  peer.bits_ = peer.prefix_ = 128;
  memcpy(peer.bytes_, &address, 16);
  return peer;
}

TPeerAddress TPeerAddress::FromSocket(const sockaddr* address, socklen_t length) {
  if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
    return FromIPv4(reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
  }
  if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    return FromIPv6(reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr);
  }
  return {};
}

bool TPeerAddress::Parse(const char* text, TPeerAddress& out) {
  in_addr ipv4;
  in6_addr ipv6;
  if (inet_pton(AF_INET, text, &ipv4) == 1) {
    out = FromIPv4(ipv4);
  } else if (inet_pton(AF_INET6, text, &ipv6) == 1) {
    out = FromIPv6(ipv6);
  } else {
    return false;
  }
  return true;
}

uint32_t TPeerAddress::IPv4HostOrder() const {
  if (!IsIPv4()) return 0;
  uint32_t address;
  memcpy(&address, bytes_, 4);
  return ntohl(address);
}

bool TPeerAddress::InBlock(const TPeerAddress& net, int prefix) const {
  if (bits_ != net.bits_ || IsNone() || prefix < 0 || prefix > bits_) return false;
  uint8_t mine[16];
  uint8_t theirs[16];
  memcpy(mine, bytes_, sizeof(mine));
  memcpy(theirs, net.bytes_, sizeof(theirs));
  KeepLeadingBits(mine, bits_ / 8, prefix);
  KeepLeadingBits(theirs, bits_ / 8, prefix);
  return memcmp(mine, theirs, bits_ / 8) == 0;
}

int TPeerAddress::Compare(const TPeerAddress& other) const {
  const int order = memcmp(bytes_, other.bytes_, sizeof(bytes_));
  return (order > 0) - (order < 0);
}

TPeerAddress TPeerAddress::SourceKey(int prefix6) const {
  if (!IsIPv6() || prefix6 >= 128 || prefix6 < 0) return *this;
  TPeerAddress key = *this;
  key.prefix_ = static_cast<uint8_t>(prefix6);
  KeepLeadingBits(key.bytes_, 16, prefix6);
  return key;
}

char* TPeerAddress::Format(char* dst, size_t size) const {
  if (dst == nullptr || size == 0) return dst;
  char text[kTextSize] = "";
  if (IsIPv4()) {
    inet_ntop(AF_INET, bytes_, text, sizeof(text));
  } else if (IsIPv6()) {
    FormatIPv6(bytes_, text);
  }
  if (!IsNone() && prefix_ < bits_) {
    snprintf(text + strlen(text), sizeof(text) - strlen(text), "/%d", prefix_);
  }
  snprintf(dst, size, "%s", text);
  return dst;
}

String TPeerAddress::Text() const {
  char text[kTextSize];
  return String(Format(text, sizeof(text)));
}

bool TPeerAddress::operator==(const TPeerAddress& other) const {
  return bits_ == other.bits_ && prefix_ == other.prefix_ &&
         memcmp(bytes_, other.bytes_, sizeof(bytes_)) == 0;
}

size_t TPeerAddress::THash::operator()(const TPeerAddress& address) const {
  // FNV-1a over the family, the prefix and the bytes.
  size_t hash = 14695981039346656037ull;
  auto mix = [&hash](uint8_t byte) { hash = (hash ^ byte) * 1099511628211ull; };
  mix(address.bits_);
  mix(address.prefix_);
  for (uint8_t byte : address.bytes_) mix(byte);
  return hash;
}
