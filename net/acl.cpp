// Address access lists (manage and update permissions) and the accept filter.
#include "net/acl.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

namespace {

// Longest text of an address or block worth parsing; anything longer is none.
constexpr int kMaxAddressText = 63;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsHexLetter(char c) {
  return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// What an IPv6 address is written with.
bool IsIPv6Char(char c) {
  return IsDigit(c) || IsHexLetter(c) || c == ':' || c == '.';
}

// The characters lists have always been made of, and ":" and "/" for IPv6 and CIDR blocks.
bool IsListChar(char c) {
  return IsDigit(c) || c == '.' || c == '-' || c == ',' || c == ':' || c == '/';
}

// Calls keep(i, kept) for every byte list[i] in order. A list is read from its list characters
// alone. A run of IPv6 characters is an IPv6 address only when it can be one: every IPv6 text
// has two colons at least ("::"). In any other run, the hex letters and a lone ":" are there for
// reading ("127.0.0.1 (loopback: default)") and are dropped, like any other byte, as they always
// were.
template <typename F>
void ForEachChar(const String& list, F&& keep) {
  for (int i = 1; i <= list.Length();) {
    int end = i;
    int colons = 0;
    for (; end <= list.Length() && IsIPv6Char(list[end]); ++end) colons += list[end] == ':';
    if (end == i) {
      keep(i, IsListChar(list[i]));
      ++i;
      continue;
    }
    for (; i < end; ++i) keep(i, colons >= 2 || IsDigit(list[i]) || list[i] == '.');
  }
}

// The list's working copy: its list characters, in order.
String ListCharacters(const String& list) {
  String work;
  ForEachChar(list, [&](int i, bool kept) {
    if (kept) work.AddChar(list[i]);
  });
  return work;
}

// The position of the first byte of list that is not a list character (blanks count only when
// blanksToo), or 0.
int FirstIllegal(const String& list, bool blanksToo) {
  int first = 0;
  ForEachChar(list, [&](int i, bool kept) {
    if (first == 0 && !kept && (blanksToo || (list[i] != ' ' && list[i] != '\t'))) first = i;
  });
  return first;
}

// Where an address may begin in a working copy.
bool StartsAddress(char c) {
  return IsDigit(c) || IsHexLetter(c) || c == ':';
}

// 1-based position of the first "," or "-" at or after from, 0 when none.
int FindItemEnd(const String& list, int from) {
  for (int i = from; i <= list.Length(); ++i) {
    if (list[i] == ',' || list[i] == '-') return i;
  }
  return 0;
}

void SetInvalid(const String& text, String& err) {
  err = String("Invalid IP address (") + text + ") specified";
}

void SetIllegal(char c, String& err) {
  err = String("Illegal character (") + c + ") specified";
}

// The prefix length of "/N": one to three digits, at most bits.
bool ParsePrefix(const char* text, int bits, int& prefix) {
  const size_t digits = strlen(text);
  if (digits == 0 || digits > 3 || strspn(text, "0123456789") != digits) return false;
  prefix = atoi(text);
  return prefix <= bits;
}

// An address of either family in its standard text, or a CIDR block ("10.0.0.0/8",
// "2001:db8::/32"); prefix is -1 for an address. A block written over an IPv4-mapped prefix is
// the IPv4 block it covers.
bool ParseAddressOrBlock(const char* p, int n, TPeerAddress& address, int& prefix) {
  if (n <= 0 || n > kMaxAddressText) return false;
  char text[kMaxAddressText + 1];
  memcpy(text, p, n);
  text[n] = '\0';
  char* slash = strchr(text, '/');
  if (slash != nullptr) *slash = '\0';
  if (!TPeerAddress::Parse(text, address)) return false;
  prefix = -1;
  if (slash == nullptr) return true;
  const bool mapped = address.IsIPv4() && strchr(text, ':') != nullptr;
  if (!ParsePrefix(slash + 1, mapped ? 128 : address.Bits(), prefix)) return false;
  if (mapped) {
    if (prefix < 96) return false;
    prefix -= 96;
  }
  return true;
}

// An address or block of a list item. IPv4 addresses without a prefix follow the C library's
// inet_addr, as they always have (shorter forms, octal parts); legacy tells so.
bool ParseItemAddress(const String& text, TPeerAddress& address, int& prefix, bool& legacy) {
  legacy = text.Pos('/') == 0 && text.Pos(':') == 0;
  if (!legacy) return ParseAddressOrBlock(text.Data(), text.Length(), address, prefix);
  prefix = -1;
  const in_addr_t converted = inet_addr(text.c_str());
  if (converted == INADDR_NONE) return false;
  address = TPeerAddress::FromIPv4(in_addr{converted});
  return true;
}

// Entries of the accept filter as it has always read them: digits and dots alone.
bool IsDotted(const char* p, int n) {
  for (int i = 0; i < n; ++i) {
    if (!IsDigit(p[i]) && p[i] != '.') return false;
  }
  return n > 0;
}

// Whether a dotted entry admits the dotted peer text: the same, or a network entry ending in "."
// that it begins with.
bool DottedEntryAdmits(const char* p, size_t length, const char* address, size_t addressLength) {
  if (length == addressLength && memcmp(p, address, length) == 0) return true;
  return p[length - 1] == '.' && length < addressLength && memcmp(p, address, length) == 0;
}

}  // namespace

bool TAddressItem::Holds(const TPeerAddress& peer) const {
  if (from.IsNone() || peer.Bits() != from.Bits()) return false;
  if (prefix >= 0) return peer.InBlock(from, prefix);
  if (to.IsNone()) return peer == from;
  return (from.Compare(peer) <= 0 && peer.Compare(to) <= 0) ||
         (to.Compare(peer) <= 0 && peer.Compare(from) <= 0);
}

void getitem(String& list, TAddressItem& item, String& err) {
  item = TAddressItem{};
  int start = 1;
  while (start <= list.Length() && !StartsAddress(list[start])) ++start;
  if (start > list.Length()) return;

  int end = FindItemEnd(list, start);
  const String text = list.Copy(start, (end == 0 ? list.Length() + 1 : end) - start);
  TPeerAddress first;
  bool legacy = false;
  if (!ParseItemAddress(text, first, item.prefix, legacy)) {
    SetInvalid(text, err);
    return;
  }
  // 0.0.0.0 ends the list, as an address always has; a block of it is a block.
  if (!(legacy && first.IPv4HostOrder() == 0)) item.from = first;

  if (end != 0 && list[end] == '-' && end < list.Length()) {
    const int secondEnd = FindItemEnd(list, end + 1);
    const String second =
        list.Copy(end + 1, (secondEnd == 0 ? list.Length() + 1 : secondEnd) - (end + 1));
    TPeerAddress other;
    int otherPrefix = -1;
    if (!ParseItemAddress(second, other, otherPrefix, legacy)) {
      SetInvalid(second, err);
    } else if (legacy && other.IPv4HostOrder() == 0) {
      // A second address of 0.0.0.0 is no range: the first address stands alone.
    } else if (item.prefix >= 0 || otherPrefix >= 0 || other.Bits() != first.Bits()) {
      err = String("Invalid range (") + text + "-" + second + ") specified";
    } else {
      item.to = other;
    }
    end = secondEnd;
  }
  list.Delete(1, end == 0 ? list.Length() : end);
}

int IPAllowed(const TPeerAddress& peer, const String& list, String& err) {
  err = "";
  int result = 0;
  String work = ListCharacters(list);
  for (;;) {
    TAddressItem item;
    getitem(work, item, err);
    if (item.from.IsNone()) break;
    if (item.Holds(peer)) {
      result = 1;
      break;
    }
  }
  const int illegal = FirstIllegal(list, true);
  if (err.IsEmpty() && illegal != 0) SetIllegal(list[illegal], err);
  return result;
}

int IPAllowed(const char* ip, const String& list, String& err) {
  if (ip == nullptr) return 0;
  TPeerAddress peer;
  if (strchr(ip, ':') != nullptr) {
    if (!TPeerAddress::Parse(ip, peer)) return 0;
  } else {
    const in_addr_t address = inet_addr(ip);
    if (address == INADDR_NONE) return 0;
    peer = TPeerAddress::FromIPv4(in_addr{address});
  }
  return IPAllowed(peer, list, err);
}

bool CheckAddressList(const String& list, String& err) {
  err = "";
  if (const int illegal = FirstIllegal(list, false); illegal != 0) {
    SetIllegal(list[illegal], err);
    return false;
  }
  String work = ListCharacters(list);
  TAddressItem item;
  do {
    getitem(work, item, err);
    if (!err.IsEmpty()) return false;
  } while (!item.from.IsNone());
  // An item starting with 0.0.0.0 ends the scan.
  for (int i = 1; i <= work.Length(); ++i) {
    if (StartsAddress(work[i])) {
      err = String("Nothing after 0.0.0.0 is read (") + work + ")";
      return false;
    }
  }
  return true;
}

bool FilterAdmits(const String& filterIPs, const TPeerAddress& peer) {
  char address[TPeerAddress::kTextSize] = "";
  if (peer.IsIPv4()) peer.Format(address, sizeof(address));
  const size_t addressLength = strlen(address);
  const char* p = filterIPs.Data();
  const char* end = p + filterIPs.Length();
  while (p < end) {
    const char* entryEnd = static_cast<const char*>(memchr(p, '\r', end - p));
    if (entryEnd == nullptr) entryEnd = end;
    const int length = static_cast<int>(entryEnd - p);
    if (IsDotted(p, length)) {
      if (peer.IsIPv4() && DottedEntryAdmits(p, length, address, addressLength)) return true;
    } else if (length > 0) {
      TPeerAddress entry;
      int prefix = -1;
      if (ParseAddressOrBlock(p, length, entry, prefix) &&
          peer.InBlock(entry, prefix < 0 ? entry.Bits() : prefix)) {
        return true;
      }
    }
    p = entryEnd;
    while (p < end && (*p == '\r' || *p == '\n')) ++p;
  }
  return false;
}

bool IsFilterEntry(const String& entry) {
  if (!IsDotted(entry.Data(), entry.Length())) {
    TPeerAddress address;
    int prefix = -1;
    return ParseAddressOrBlock(entry.Data(), entry.Length(), address, prefix);
  }
  int parts = 0;
  int i = 1;
  while (i <= entry.Length()) {
    int value = 0;
    int digits = 0;
    for (; i <= entry.Length() && entry[i] >= '0' && entry[i] <= '9'; ++i, ++digits) {
      value = value * 10 + (entry[i] - '0');
      if (value > 255) return false;
    }
    // Peers' addresses are written without leading zeros.
    if (digits == 0 || (digits > 1 && entry[i - digits] == '0')) return false;
    ++parts;
    if (i > entry.Length()) return parts == 4;
    if (entry[i] != '.' || parts == 4) return false;
    ++i;
  }
  return parts >= 1 && parts <= 3;
}
