// Address access lists: items, ranges, octal parts, scan stops and diagnostics.
#include "net/acl.h"

#include <gtest/gtest.h>

#include "tests/support/string_print.h"

namespace {

TEST(AclTest, MatchesPeersAgainstLists) {
  struct Case {
    const char* list;
    const char* peer;
    int allowed;
    const char* err;
  };
  const Case cases[] = {
      {"", "127.0.0.1", 0, ""},
      {"abc", "127.0.0.1", 0, "Illegal character (a) specified"},
      {"127.0.0.1", "127.0.0.1", 1, ""},
      {"127.0.0.1", "127.0.0.2", 0, ""},
      {"10.0.0.1,127.0.0.1", "127.0.0.1", 1, ""},
      // Ranges are numeric, cross octet boundaries and may run high to low.
      {"10.0.0.250-10.0.1.5", "10.0.1.2", 1, ""},
      {"10.0.1.5-10.0.0.250", "10.0.1.2", 1, ""},
      {"10.0.1.5-10.0.0.250", "10.0.0.250", 1, ""},
      {"10.0.1.5-10.0.0.250", "10.0.1.6", 0, ""},
      // A-B-C: the range A to B, then C alone.
      {"10.0.0.1-10.0.0.5-10.0.0.9", "10.0.0.9", 1, ""},
      {"10.0.0.1-10.0.0.5-10.0.0.9", "10.0.0.7", 0, ""},
      // A trailing "-" makes no range.
      {"10.0.0.5-", "10.0.0.5", 1, ""},
      {"10.0.0.5-", "10.0.0.6", 0, ""},
      // A part with a leading zero is octal.
      {"10.0.0.010", "10.0.0.8", 1, ""},
      {"10.0.0.010", "10.0.0.10", 0, ""},
      // An invalid address stops the scan.
      {"10.0.0.300,127.0.0.1", "127.0.0.1", 0, "Invalid IP address (10.0.0.300) specified"},
      {"255.255.255.255,127.0.0.1", "127.0.0.1", 0,
       "Invalid IP address (255.255.255.255) specified"},
      // An invalid second address leaves the first alone and the scan goes on.
      {"10.0.0.1-10.0.0.300,127.0.0.1", "127.0.0.1", 1,
       "Invalid IP address (10.0.0.300) specified"},
      {"10.0.0.1-10.0.0.300", "10.0.0.1", 1, "Invalid IP address (10.0.0.300) specified"},
      {"10.0.0.1-10.0.0.300", "10.0.0.2", 0, "Invalid IP address (10.0.0.300) specified"},
      // 0.0.0.0 ends the list.
      {"0.0.0.0,127.0.0.1", "127.0.0.1", 0, ""},
      {"127.0.0.2,0.0.0.0-10.0.0.1,127.0.0.1", "127.0.0.1", 0, ""},
      // Other characters are dropped, not separators.
      {"10.0.0.1, 127.0.0.1", "127.0.0.1", 1, "Illegal character ( ) specified"},
      {"127.0.0.1\n10.0.0.1", "127.0.0.1", 0, "Invalid IP address (127.0.0.110.0.0.1) specified"},
      {"127.0.0.1\n10.0.0.1,127.0.0.1", "127.0.0.1", 0,
       "Invalid IP address (127.0.0.110.0.0.1) specified"},
  };
  for (const auto& c : cases) {
    String err("stale");
    EXPECT_EQ(IPAllowed(c.peer, String(c.list), err), c.allowed) << c.list << " / " << c.peer;
    EXPECT_EQ(err, c.err) << c.list << " / " << c.peer;
  }
}

TEST(AclTest, InvalidPeerTextIsRefusedWithoutDiagnostic) {
  for (const char* peer : {"", "300.1.1.1", "255.255.255.255", "peer"}) {
    String err("untouched");
    EXPECT_EQ(IPAllowed(peer, String("0.0.0.1-255.255.255.254, x"), err), 0) << peer;
    EXPECT_EQ(err, "untouched") << peer;
  }
}

TEST(AclTest, GetItemTakesOneItemOffTheList) {
  struct Case {
    const char* list;
    unsigned from;
    unsigned to;
    const char* rest;
  };
  const Case cases[] = {
      {"", 0, 0, ""},
      {",.-", 0, 0, ",.-"},
      {"1.2.3.4", 0x01020304, 0, ""},
      {",,1.2.3.4,5.6.7.8", 0x01020304, 0, "5.6.7.8"},
      {"1.2.3.4-1.2.3.9,5.6.7.8", 0x01020304, 0x01020309, "5.6.7.8"},
      {"1.2.3.4-1.2.3.9-5.6.7.8", 0x01020304, 0x01020309, "5.6.7.8"},
      {"1.2.3.4-", 0x01020304, 0, ""},
      {"1.2.3.4-,5.6.7.8", 0x01020304, 0, "5.6.7.8"},
      {"1.2.3.400,5.6.7.8", 0, 0, "1.2.3.400,5.6.7.8"},
  };
  for (const auto& c : cases) {
    String list(c.list);
    unsigned from = 7;
    unsigned to = 7;
    String err;
    getitem(list, from, to, err);
    EXPECT_EQ(from, c.from) << c.list;
    EXPECT_EQ(to, c.to) << c.list;
    EXPECT_EQ(list, c.rest) << c.list;
  }
}

}  // namespace
