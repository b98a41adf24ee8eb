// Address access lists (comma-separated addresses, ranges and CIDR blocks of both families that
// may use a privileged command) and the accept filter.
#pragma once

#include "base/string.h"
#include "net/peer.h"

// One item of an address list: an address, a range of two addresses of one family (written either
// way round), or a CIDR block.
struct TAddressItem {
  TPeerAddress from;  // no peer: the list is exhausted, or it ends here (invalid, or 0.0.0.0)
  TPeerAddress to;    // the range's other end; no peer for an address or a block
  int prefix = -1;    // the block's prefix length; -1 for an address or a range

  bool Holds(const TPeerAddress& peer) const;
};

// Takes the first item off list, a working copy that holds only the characters a list is made
// of. An invalid first address leaves item.from empty and sets err; an invalid second address
// (or a second end that makes no range) leaves the first alone and sets err. A second address of
// 0.0.0.0 leaves the first alone too, without a word, as it always has.
void getitem(String& list, TAddressItem& item, String& err);

// 1 when peer is named by list, else 0. err receives a diagnostic or stays empty; the result
// never depends on it.
int IPAllowed(const TPeerAddress& peer, const String& list, String& err);
// The same for an address's text (dotted, with the C library's shorter forms, or IPv6); an
// invalid one is refused with err untouched.
int IPAllowed(const char* ip, const String& list, String& err);

// Whether list reads as a whole: only list characters and blanks, every
// address valid, nothing after an item that ends the list. false with err
// naming the first problem, in the texts of getitem and IPAllowed.
bool CheckAddressList(const String& list, String& err);

// True when the accept filter text ("\r\n" + entries each followed by "\r\n") admits peer. An
// entry of digits and dots admits an IPv4 peer whose dotted text equals it, or, ending in ".",
// begins with it. Any other entry is an address of either family, in any of its texts, or a
// CIDR block, and admits the peers it names.
bool FilterAdmits(const String& filterIPs, const TPeerAddress& peer);
// Whether an accept-filter entry can admit any peer: a dotted address written
// as the agent writes peers' addresses, one to three of its first parts
// each followed by ".", an IPv6 address, or a CIDR block.
bool IsFilterEntry(const String& entry);
