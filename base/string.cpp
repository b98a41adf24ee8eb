// Byte string, string list and the byte-range helpers they share.
#include "base/string.h"

#include <cassert>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

int GrowthFor(int n) {
  return (n / 128) * 128 + 128;
}

// isalnum() of the C locale on a signed byte: bytes 0x80-0xFF are never alphanumeric.
bool IsAlnumByte(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

String::String(int size) {
  if (size > 0) {
    data_ = static_cast<char*>(calloc(size + 1, 1));
    capacity_ = size;
    fixed_ = 1;
  }
}

String::String(const char* s) {
  if (s != nullptr && *s != '\0') CopyData(s, -1);
}

String::String(const char* p, int n) {
  if (p != nullptr && n > 0) CopyData(p, n);
}

String::String(const String& s) {
  if (s.length_ > 0) CopyData(s.data_, s.length_);
}

String::String(String&& s) noexcept
    : length_(std::exchange(s.length_, 0)),
      capacity_(std::exchange(s.capacity_, 0)),
      data_(std::exchange(s.data_, nullptr)),
      fixed_(std::exchange(s.fixed_, 0)) {}

String::~String() {
  free(data_);
}

String& String::operator=(const String& s) {
  if (this != &s) CopyData(s.data_, s.length_);
  return *this;
}

String& String::operator=(String&& s) noexcept {
  if (this != &s) {
    free(data_);
    length_ = std::exchange(s.length_, 0);
    capacity_ = std::exchange(s.capacity_, 0);
    data_ = std::exchange(s.data_, nullptr);
    fixed_ = std::exchange(s.fixed_, 0);
  }
  return *this;
}

String& String::operator=(const char* s) {
  CopyData(s, -1);
  return *this;
}

char* String::prAllocMem(int n) {
  if (n <= 0) {
    free(data_);
    data_ = nullptr;
    capacity_ = 0;
    fixed_ = 0;
    if (length_ > 0) length_ = 0;
    return nullptr;
  }
  int newCapacity = fixed_ ? n : GrowthFor(n);
  char* p = static_cast<char*>(realloc(data_, newCapacity + 1));
  assert(p != nullptr);
  if (newCapacity > capacity_) memset(p + capacity_, 0, newCapacity - capacity_ + 1);
  data_ = p;
  capacity_ = newCapacity;
  if (length_ > capacity_) length_ = capacity_;
  data_[length_] = '\0';
  return data_;
}

int String::CopyData(const char* p, int n) {
  if (p != nullptr && p == data_) return length_;
  if (p == nullptr || n == 0) {
    length_ = 0;
    prAllocMem(0);
    return 0;
  }
  if (n < 0) n = static_cast<int>(strlen(p));
  if (n == 0) {
    length_ = 0;
    prAllocMem(0);
    return 0;
  }
  if (n > capacity_) {
    if (fixed_) {
      n = capacity_;
    } else {
      // The source may live inside our own buffer (a tail copy); keep it valid.
      if (data_ != nullptr && p > data_ && p < data_ + capacity_) {
        String tmp(p, n);
        return CopyData(tmp.data_, tmp.length_);
      }
      prAllocMem(n);
    }
  }
  memmove(data_, p, n);
  length_ = n;
  data_[length_] = '\0';
  return length_;
}

int String::AddData(const char* p, int n) {
  if (p == nullptr) return length_;
  if (n < 0) n = static_cast<int>(strlen(p));
  if (n == 0) return length_;
  if (length_ + n > capacity_) {
    if (fixed_) {
      n = capacity_ - length_;
      if (n <= 0) return length_;
    } else {
      bool inside = data_ != nullptr && p >= data_ && p < data_ + capacity_;
      ptrdiff_t offset = inside ? p - data_ : 0;
      prAllocMem(length_ + n);
      if (inside) p = data_ + offset;
    }
  }
  memmove(data_ + length_, p, n);
  length_ += n;
  data_[length_] = '\0';
  return length_;
}

int String::AddChar(char c) {
  if (length_ + 1 > capacity_) {
    if (fixed_) return length_;
    prAllocMem(length_ + 1);
  }
  data_[length_++] = c;
  data_[length_] = '\0';
  return length_;
}

String& String::operator+=(const char* s) {
  AddData(s, -1);
  return *this;
}

String& String::operator+=(char c) {
  AddData(&c, 1);
  return *this;
}

String& String::operator+=(const String& s) {
  AddData(s.data_, s.length_);
  return *this;
}

String String::operator+(char c) const {
  String r(length_ + 1);
  r.AddData(data_, length_);
  r.AddChar(c);
  r.fixed_ = 0;
  return r;
}

String String::operator+(const char* s) const {
  if (s == nullptr) return *this;
  int n = static_cast<int>(strlen(s));
  String r(length_ + n);
  r.AddData(data_, length_);
  r.AddData(s, n);
  r.fixed_ = 0;
  return r;
}

String String::operator+(const String& s) const {
  String r(length_ + s.length_);
  r.AddData(data_, length_);
  r.AddData(s.data_, s.length_);
  r.fixed_ = 0;
  return r;
}

bool String::operator==(const char* s) const {
  if (s == nullptr || *s == '\0') return length_ == 0;
  size_t n = strlen(s);
  return static_cast<size_t>(length_) == n && memcmp(data_, s, n) == 0;
}

bool String::operator==(const String& s) const {
  return length_ == s.length_ && (length_ == 0 || memcmp(data_, s.data_, length_) == 0);
}

int String::Pos(char c) const {
  if (length_ == 0) return 0;
  const void* hit = memchr(data_, c, length_);
  return hit ? static_cast<int>(static_cast<const char*>(hit) - data_) + 1 : 0;
}

int String::Pos(const char* s, int n) const {
  if (length_ == 0 || s == nullptr) return 0;
  if (n < 0) n = static_cast<int>(strlen(s));
  if (n == 0) return 0;
  return mempos(data_, length_, s, n);
}

int String::Pos(const String& s) const {
  return Pos(s.data_, s.length_);
}

String String::Copy(int pos, int count) const {
  if (pos < 1) pos = 1;
  if (pos + count - 1 > length_) count = length_ - pos + 1;
  if (count < 1) return String();
  return String(data_ + pos - 1, count);
}

void String::Delete(int pos, int count) {
  if (count < 1 || pos < 1 || pos > length_) return;
  if (count > length_ - pos + 1) count = length_ - pos + 1;
  memmove(data_ + pos - 1, data_ + pos - 1 + count, length_ - (pos - 1) - count);
  length_ -= count;
  data_[length_] = '\0';
}

String& String::Trim() {
  int start = 0;
  int end = length_;
  while (start < end && static_cast<signed char>(data_[start]) <= 32) ++start;
  while (end > start && static_cast<signed char>(data_[end - 1]) <= 32) --end;
  if (start == end) {
    length_ = 0;
  } else if (start > 0 || end < length_) {
    memmove(data_, data_ + start, end - start);
    length_ = end - start;
  }
  if (data_ != nullptr) data_[length_] = '\0';
  return *this;
}

String String::GetWord(int n, char sep) const {
  int start = 0;
  for (int k = 1; k < n; ++k) {
    const void* hit = start < length_ ? memchr(data_ + start, sep, length_ - start) : nullptr;
    if (hit == nullptr) return String();
    start = static_cast<int>(static_cast<const char*>(hit) - data_) + 1;
    if (start >= length_) return String();
  }
  if (length_ == 0) return String();
  const void* next = memchr(data_ + start, sep, length_ - start);
  int end = next ? static_cast<int>(static_cast<const char*>(next) - data_) : length_;
  return String(data_ + start, end - start);
}

String& String::RemoveRepeats(char c) {
  int out = 0;
  for (int i = 0; i < length_; ++i) {
    if (data_[i] == c && out > 0 && data_[out - 1] == c) continue;
    data_[out++] = data_[i];
  }
  length_ = out;
  if (data_ != nullptr) data_[length_] = '\0';
  return *this;
}

String String::ReplaceAll(const char* from, const char* to, int caseSensitive) const {
  String result;
  int f = from ? static_cast<int>(strlen(from)) : 0;
  const char* cursor = data_;
  int r = length_;
  while (f > 0 && r >= f) {
    int i = caseSensitive ? mempos(cursor, r, from, f) : memposi(cursor, r, from, f);
    if (i == 0) break;
    result.AddData(cursor, i - 1);
    result.AddData(to, -1);
    cursor += i - 1 + f;
    r -= i - 1 + f;
  }
  result.AddData(cursor, r);
  return result;
}

int String::Search(String needle, int caseSensitive, int wholeWord) const {
  int n = needle.length_;
  if (n == 0) return 0;
  if (!caseSensitive) needle.LowerCase();
  int p = 1;
  while (p <= length_) {
    int rel = caseSensitive ? mempos(data_ + p - 1, length_ - p + 1, needle.data_, n)
                            : memposi(data_ + p - 1, length_ - p + 1, needle.data_, n);
    if (rel == 0) return 0;
    p += rel - 1;
    if (!wholeWord) return p;
    bool before = p > 1 && IsAlnumByte(data_[p - 2]);
    bool after = p + n <= length_ && IsAlnumByte(data_[p + n - 1]);
    if (!before && !after) return p;
    ++p;
  }
  return 0;
}

String& String::LowerCase() {
  if (length_ > 0) strlower(data_, length_);
  return *this;
}

String& String::SetZero() {
  if (length_ == capacity_) {
    int newCapacity = capacity_ + 128;
    char* p = static_cast<char*>(realloc(data_, newCapacity + 1));
    assert(p != nullptr);
    data_ = p;
    capacity_ = newCapacity;
  }
  memset(data_ + length_, 0, capacity_ - length_ + 1);
  return *this;
}

void String::SetLength(int n) {
  if (n <= 0) {
    length_ = 0;
    prAllocMem(0);
    return;
  }
  prAllocMem(n);
  length_ = n;
  data_[length_] = '\0';
}

TStrList::~TStrList() {
  Clear();
}

void TStrList::prAllocMem(int n) {
  if (n == 0) {
    Clear();
    return;
  }
  if (capacity_ >= n) return;
  int newCapacity = GrowthFor(n);
  lengths_ = static_cast<int32_t*>(realloc(lengths_, sizeof(int32_t) * newCapacity));
  items_ = static_cast<char**>(realloc(items_, sizeof(char*) * newCapacity));
  assert(lengths_ != nullptr && items_ != nullptr);
  capacity_ = newCapacity;
}

void TStrList::Add(const String& s) {
  if (count_ >= capacity_) prAllocMem(count_ + 1);
  char* block = nullptr;
  if (s.Length() > 0) {
    block = static_cast<char*>(malloc(s.Length()));
    assert(block != nullptr);
    memcpy(block, s.Data(), s.Length());
  }
  items_[count_] = block;
  lengths_[count_] = s.Length();
  ++count_;
}

String TStrList::operator[](int i) const {
  assert(i >= 0 && i < count_);
  return String(items_[i], lengths_[i]);
}

void TStrList::Delete(int i) {
  assert(i >= 0 && i < count_);
  free(items_[i]);
  memmove(items_ + i, items_ + i + 1, sizeof(char*) * (count_ - i - 1));
  memmove(lengths_ + i, lengths_ + i + 1, sizeof(int32_t) * (count_ - i - 1));
  --count_;
}

void TStrList::Clear() {
  for (int i = 0; i < count_; ++i) free(items_[i]);
  free(items_);
  free(lengths_);
  items_ = nullptr;
  lengths_ = nullptr;
  count_ = 0;
  capacity_ = 0;
}

char LoCase(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

char* strlower(char* s) {
  for (char* p = s; *p; ++p) *p = LoCase(*p);
  return s;
}

char* strlower(char* s, int n) {
  for (int i = 0; i < n; ++i) s[i] = LoCase(s[i]);
  return s;
}

bool isdecimalnum(const char* s) {
  for (; *s; ++s) {
    if (!((*s >= '0' && *s <= '9') || *s == '-')) return false;
  }
  return true;
}

bool isdecimalnum(const char* s, int n) {
  for (int i = 0; i < n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  return true;
}

int mempos(const char* hay, int hayLen, const char* needle, int needleLen) {
  if (hay == nullptr || needle == nullptr || hayLen <= 0 || needleLen <= 0) return 0;
  const void* hit = memmem(hay, hayLen, needle, needleLen);
  return hit ? static_cast<int>(static_cast<const char*>(hit) - hay) + 1 : 0;
}

int memposi(const char* hay, int hayLen, const char* needle, int needleLen) {
  if (hay == nullptr || needle == nullptr || hayLen <= 0 || needleLen <= 0) return 0;
  const char first = LoCase(needle[0]);
  const char firstUpper = (first >= 'a' && first <= 'z') ? static_cast<char>(first - 32) : first;
  for (int i = 0; i + needleLen <= hayLen; ++i) {
    if (hay[i] != first && hay[i] != firstUpper) continue;
    int k = 1;
    while (k < needleLen && LoCase(hay[i + k]) == LoCase(needle[k])) ++k;
    if (k == needleLen) return i + 1;
  }
  return 0;
}

String orvEncodeStrings(const char* s, int len) {
  String out;
  if (s == nullptr) return out;
  if (len == 0) len = static_cast<int>(strlen(s));
  for (int i = 0; i < len; ++i) {
    if (s[i] == '\n') {
      out.AddData("%0A", 3);
    } else if (s[i] == '\r') {
      out.AddData("%0D", 3);
    } else {
      out.AddChar(s[i]);
    }
  }
  return out;
}

String orvDecodeStrings(const char* s, int len) {
  String out;
  if (s == nullptr) return out;
  if (len == 0) len = static_cast<int>(strlen(s));
  for (int i = 0; i < len; ++i) {
    if (s[i] == '%' && i + 2 < len && s[i + 1] == '0' && (s[i + 2] == 'A' || s[i + 2] == 'D')) {
      out.AddChar(s[i + 2] == 'A' ? '\n' : '\r');
      i += 2;
    } else {
      out.AddChar(s[i]);
    }
  }
  return out;
}

String orvDecodeStrings(const String& s) {
  if (s.Length() == 0) return String();
  return orvDecodeStrings(s.Data(), s.Length());
}
