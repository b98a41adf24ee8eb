// Fuzzes the address access lists: the item parser and both match forms.
#include <cstring>

#include "fuzz/support.h"
#include "net/acl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  unsigned ip = 0;
  memcpy(&ip, data, 4);
  String list = BytesToString(data + 4, size - 4);
  String err;
  IPAllowed(ip, list, err);
  String text = list.GetWord(1, ',');
  text.SetZero();
  IPAllowed(text.Data(), list, err);
  String work = list;
  unsigned from = 0;
  unsigned to = 0;
  for (int i = 0; i < 10000; ++i) {
    getitem(work, from, to, err);
    if (from == 0) break;
  }
  return 0;
}
