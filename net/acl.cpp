// Address access lists (manage and update permissions) and the accept filter.
#include "net/acl.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

// Converts the address text at [start, start + len) of list by the C
// library's rules; INADDR_NONE when invalid.
in_addr_t ConvertAddress(const String& list, int start, int len, String& text) {
  text = list.Copy(start, len);
  text.SetZero();
  return inet_addr(text.c_str());
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

bool HasDigit(const String& s) {
  for (int i = 1; i <= s.Length(); ++i) {
    if (s[i] >= '0' && s[i] <= '9') return true;
  }
  return false;
}

}  // namespace

int islistsetchar(char c) {
  return (c >= '0' && c <= '9') || c == '.' || c == '-' || c == ',' ? 1 : 0;
}

void getitem(String& list, unsigned& from, unsigned& to, String& err) {
  from = 0;
  to = 0;
  int start = 1;
  while (start <= list.Length() && (list[start] < '0' || list[start] > '9')) ++start;
  if (start > list.Length()) return;

  String text;
  int end = FindItemEnd(list, start);
  int textLen = (end == 0 ? list.Length() + 1 : end) - start;
  in_addr_t first = ConvertAddress(list, start, textLen, text);
  if (first == INADDR_NONE) {
    SetInvalid(text, err);
    return;
  }
  from = ntohl(first);

  if (end != 0 && list[end] == '-' && end < list.Length()) {
    int secondEnd = FindItemEnd(list, end + 1);
    int secondLen = (secondEnd == 0 ? list.Length() + 1 : secondEnd) - (end + 1);
    in_addr_t second = ConvertAddress(list, end + 1, secondLen, text);
    if (second == INADDR_NONE) {
      SetInvalid(text, err);
    } else {
      to = ntohl(second);
    }
    end = secondEnd;
  }
  list.Delete(1, end == 0 ? list.Length() : end);
}

int IPAllowed(unsigned ip, const String& list, String& err) {
  err = "";
  const unsigned peer = ntohl(ip);
  int result = 0;

  String work;
  for (int i = 1; i <= list.Length(); ++i) {
    if (islistsetchar(list[i])) work.AddChar(list[i]);
  }
  for (;;) {
    unsigned from = 0;
    unsigned to = 0;
    getitem(work, from, to, err);
    if (from == 0) break;
    bool match =
        to == 0 ? peer == from : (from <= peer && peer <= to) || (to <= peer && peer <= from);
    if (match) {
      result = 1;
      break;
    }
  }

  if (err.IsEmpty()) {
    for (int i = 1; i <= list.Length(); ++i) {
      if (!islistsetchar(list[i])) {
        SetIllegal(list[i], err);
        break;
      }
    }
  }
  return result;
}

int IPAllowed(const char* ip, const String& list, String& err) {
  if (ip == nullptr) return 0;
  in_addr_t address = inet_addr(ip);
  if (address == INADDR_NONE) return 0;
  return IPAllowed(static_cast<unsigned>(address), list, err);
}

bool CheckAddressList(const String& list, String& err) {
  err = "";
  String work;
  for (int i = 1; i <= list.Length(); ++i) {
    if (islistsetchar(list[i])) {
      work.AddChar(list[i]);
    } else if (list[i] != ' ' && list[i] != '\t') {
      SetIllegal(list[i], err);
      return false;
    }
  }
  unsigned from = 0;
  unsigned to = 0;
  do {
    getitem(work, from, to, err);
    if (!err.IsEmpty()) return false;
  } while (from != 0);
  // An item starting with 0.0.0.0 ends the scan.
  if (HasDigit(work)) {
    err = String("Nothing after 0.0.0.0 is read (") + work + ")";
    return false;
  }
  return true;
}

bool FilterAdmits(const String& filterIPs, const char* address) {
  size_t addressLength = strlen(address);
  const char* p = filterIPs.Data();
  const char* end = p + filterIPs.Length();
  while (p < end) {
    const char* entryEnd = static_cast<const char*>(memchr(p, '\r', end - p));
    if (entryEnd == nullptr) entryEnd = end;
    size_t length = entryEnd - p;
    if (length > 0) {
      bool network = p[length - 1] == '.';
      if (length == addressLength && memcmp(p, address, length) == 0) return true;
      if (network && length < addressLength && memcmp(p, address, length) == 0) return true;
    }
    p = entryEnd;
    while (p < end && (*p == '\r' || *p == '\n')) ++p;
  }
  return false;
}

bool IsFilterEntry(const String& entry) {
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
