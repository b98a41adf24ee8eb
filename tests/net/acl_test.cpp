// Address access lists: items, ranges, octal parts, scan stops and diagnostics.
#include "net/acl.h"

#include <gtest/gtest.h>

#include <tuple>

#include "tests/support/string_print.h"

namespace {

TEST(AclTest, MatchesPeersAgainstLists) {
  const char* const kBad300 = "Invalid IP address (10.0.0.300) specified";
  const std::tuple<const char*, const char*, int, const char*> cases[] = {
      // The list, the peer; allowed and the diagnostic.
      {"", "127.0.0.1", 0, ""},
      {"10.0.0.1,127.0.0.1", "127.0.0.1", 1, ""},
      // Ranges are numeric, cross octet boundaries and may run high to low.
      {"10.0.0.250-10.0.1.5", "10.0.1.2", 1, ""},
      {"10.0.1.5-10.0.0.250", "10.0.0.250", 1, ""},
      {"10.0.1.5-10.0.0.250", "10.0.1.6", 0, ""},
      // A-B-C: the range A to B, then C alone; a trailing "-" makes no range.
      {"10.0.0.1-10.0.0.5-10.0.0.9", "10.0.0.9", 1, ""},
      {"10.0.0.1-10.0.0.5-10.0.0.9", "10.0.0.7", 0, ""},
      {"10.0.0.5-", "10.0.0.6", 0, ""},
      // A part with a leading zero is octal.
      {"10.0.0.010", "10.0.0.8", 1, ""},
      {"10.0.0.010", "10.0.0.10", 0, ""},
      // An invalid address stops the scan; an invalid second address only drops the range.
      {"10.0.0.300,127.0.0.1", "127.0.0.1", 0, kBad300},
      {"255.255.255.255,127.0.0.1", "127.0.0.1", 0,
       "Invalid IP address (255.255.255.255) specified"},
      {"10.0.0.1-10.0.0.300,127.0.0.1", "127.0.0.1", 1, kBad300},
      {"10.0.0.1-10.0.0.300", "10.0.0.2", 0, kBad300},
      // 0.0.0.0 ends the list.
      {"127.0.0.2,0.0.0.0-10.0.0.1,127.0.0.1", "127.0.0.1", 0, ""},
      // Other characters are dropped, not separators.
      {"abc", "127.0.0.1", 0, "Illegal character (a) specified"},
      {"10.0.0.1, 127.0.0.1", "127.0.0.1", 1, "Illegal character ( ) specified"},
      {"127.0.0.1\n10.0.0.1", "127.0.0.1", 0, "Invalid IP address (127.0.0.110.0.0.1) specified"},
  };
  for (const auto& [list, peer, allowed, diagnostic] : cases) {
    String err("stale");
    EXPECT_EQ(IPAllowed(peer, String(list), err), allowed) << list << " / " << peer;
    EXPECT_EQ(err, diagnostic) << list << " / " << peer;
  }
  for (const char* peer : {"", "255.255.255.255", "peer"}) {
    String err("untouched");
    EXPECT_EQ(IPAllowed(peer, String("0.0.0.1-255.255.255.254, x"), err), 0) << peer;
    EXPECT_EQ(err, "untouched") << peer;
  }
}

}  // namespace
