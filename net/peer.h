// A peer's address, IPv4 or IPv6, as the agent logs, lists and counts it.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "base/string.h"

// No peer (the agent's own messages), an IPv4 address, or an IPv6 address. An IPv4-mapped IPv6
// address (::ffff:192.0.2.7) is the IPv4 address it carries: a dual-stack socket reports IPv4
// peers so, and they must read, match and count as the same peer as over IPv4.
class TPeerAddress {
 public:
  // Room for the longest text: a full IPv6 address and a "/128", and the terminating zero.
  static constexpr size_t kTextSize = INET6_ADDRSTRLEN + 4;

  constexpr TPeerAddress() = default;  // no peer
  static TPeerAddress FromIPv4(in_addr address);
  static TPeerAddress FromIPv6(const in6_addr& address);
  // The address of a socket address of either family; no peer for any other.
  static TPeerAddress FromSocket(const sockaddr* address, socklen_t length);
  // An address in the standard text of its family (dotted quad, or any IPv6 form); false
  // for anything else, a CIDR block included.
  static bool Parse(const char* text, TPeerAddress& out);

  bool IsNone() const { return bits_ == 0; }
  bool IsIPv4() const { return bits_ == 32; }
  bool IsIPv6() const { return bits_ == 128; }
  // 32 or 128, 0 for no peer.
  int Bits() const { return bits_; }
  // Network byte order: 4 bytes of an IPv4 address, 16 of an IPv6 one.
  const uint8_t* Bytes() const { return bytes_; }
  // The IPv4 address in host byte order (0 for another family), as ranges compare it.
  uint32_t IPv4HostOrder() const;

  // Whether this address lies in the block of net's first prefix bits (same family).
  bool InBlock(const TPeerAddress& net, int prefix) const;
  // Orders addresses of one family numerically; -1, 0 or 1.
  int Compare(const TPeerAddress& other) const;
  // What the per-source limits count by: an IPv4 address itself, and an IPv6 address's block
  // of its first prefix6 bits, since one holder has a whole block.
  TPeerAddress SourceKey(int prefix6) const;

  // The dotted quad, or the IPv6 text of RFC 5952 (lower case, the longest run of two or more
  // zero groups as "::"); a source key that stands for a block ends in "/prefix". Empty for no
  // peer. Returns dst.
  char* Format(char* dst, size_t size) const;
  String Text() const;

  bool operator==(const TPeerAddress& other) const;
  bool operator!=(const TPeerAddress& other) const { return !(*this == other); }
  struct THash {
    size_t operator()(const TPeerAddress& address) const;
  };

 private:
  uint8_t bits_ = 0;    // 0, 32 or 128
  uint8_t prefix_ = 0;  // the leading bits that count: bits_, fewer for a source key's block
  uint8_t bytes_[16] = {};
};
