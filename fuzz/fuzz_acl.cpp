// Fuzzes the address access lists and the accept filter with peers of both families: the item
// parser, both match forms, the configuration check and the filter's entries.
#include <cstdlib>
#include <cstring>

#include "fuzz/support.h"
#include "net/acl.h"

// Input: one byte (bit 0: an IPv6 peer), the peer's 4 or 16 bytes, then the list.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool ipv6 = (data[0] & 1) != 0;
  const size_t length = ipv6 ? 16 : 4;
  if (size < 1 + length) return 0;
  TPeerAddress peer;
  if (ipv6) {
    in6_addr address;
    memcpy(&address, data + 1, length);
    peer = TPeerAddress::FromIPv6(address);
  } else {
    in_addr address;
    memcpy(&address, data + 1, length);
    peer = TPeerAddress::FromIPv4(address);
  }
  // A peer's text reads back as the same peer, mapped addresses folded.
  TPeerAddress again;
  if (!TPeerAddress::Parse(peer.Text().c_str(), again) || again != peer) abort();

  const String list = BytesToString(data + 1 + length, size - 1 - length);
  String err;
  IPAllowed(peer, list, err);
  String text = list.GetWord(1, ',');
  text.SetZero();
  IPAllowed(text.Data(), list, err);
  CheckAddressList(list, err);
  String work = list;
  TAddressItem item;
  for (int i = 0; i < 10000; ++i) {
    getitem(work, item, err);
    if (item.from.IsNone()) break;
  }
  // The list's items as accept-filter entries.
  String filter = "\r\n";
  for (int i = 1; i <= 64; ++i) {
    String entry = list.GetWord(i, ',');
    if (entry.IsEmpty()) break;
    IsFilterEntry(entry);
    filter += entry + "\r\n";
  }
  FilterAdmits(filter, peer);
  return 0;
}
