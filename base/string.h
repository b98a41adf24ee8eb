// Byte string and string list that carry every text and binary value of the agent.
#pragma once

#include <cstdint>

// A growable byte buffer with an explicit length; positions are 1-based.
// Capacity grows in steps of 128 bytes; a "fixed" string never grows and
// silently cuts what does not fit. One byte beyond the capacity is always
// allocated, and every change of the length writes a zero behind the last
// byte, so that the data can be handed to C functions at any time.
class String {
 public:
  explicit String(int size = 0);
  String(const char* s);  // NOLINT(google-explicit-constructor): used as a value type
  String(const char* p, int n);
  String(const String& s);
  String(String&& s) noexcept;
  ~String();

  String& operator=(const String& s);
  String& operator=(String&& s) noexcept;
  String& operator=(const char* s);

  int CopyData(const char* p, int n);
  int AddData(const char* p, int n);
  int AddChar(char c);

  String& operator+=(const char* s);
  String& operator+=(char c);
  String& operator+=(const String& s);
  String operator+(char c) const;
  String operator+(const char* s) const;
  String operator+(const String& s) const;

  int Length() const { return length_; }
  int Capacity() const { return capacity_; }
  char* Data() { return data_; }
  const char* Data() const { return data_; }
  // Data as a C string: never null, always terminated (it ends at the first
  // zero byte when the data holds one).
  const char* c_str() const { return data_ ? data_ : ""; }
  bool IsEmpty() const { return length_ == 0; }

  char operator[](int i) const { return data_[i - 1]; }
  char& operator[](int i) { return data_[i - 1]; }

  bool operator==(const char* s) const;
  bool operator==(const String& s) const;
  bool operator!=(const char* s) const { return !(*this == s); }
  bool operator!=(const String& s) const { return !(*this == s); }

  int Pos(char c) const;
  int Pos(const char* s, int n = -1) const;
  int Pos(const String& s) const;
  String Copy(int pos, int count) const;
  void Delete(int pos, int count);
  String& Trim();
  String GetWord(int n, char sep) const;
  String& RemoveRepeats(char c);
  String ReplaceAll(const char* from, const char* to, int caseSensitive) const;
  int Search(String needle, int caseSensitive, int wholeWord) const;
  String& LowerCase();
  String& SetZero();
  void SetLength(int n);

 private:
  char* prAllocMem(int n);

  int32_t length_ = 0;
  int32_t capacity_ = 0;
  char* data_ = nullptr;
  int32_t fixed_ = 0;
};

// A list of byte strings with 0-based indices.
class TStrList {
 public:
  TStrList() = default;
  TStrList(const TStrList&) = delete;
  TStrList& operator=(const TStrList&) = delete;
  ~TStrList();

  void Add(const String& s);
  String operator[](int i) const;
  int Count() const { return count_; }
  void Delete(int i);
  void Clear();

 private:
  void prAllocMem(int n);

  int32_t count_ = 0;
  int32_t capacity_ = 0;
  int32_t* lengths_ = nullptr;
  char** items_ = nullptr;
};

char LoCase(char c);
char* strlower(char* s);
char* strlower(char* s, int n);
bool isdecimalnum(const char* s);
bool isdecimalnum(const char* s, int n);
int mempos(const char* hay, int hayLen, const char* needle, int needleLen);
int memposi(const char* hay, int hayLen, const char* needle, int needleLen);

// Line-break escapes for values that travel in one line: LF <-> "%0A", CR <-> "%0D".
String orvEncodeStrings(const char* s, int len = 0);
String orvDecodeStrings(const char* s, int len = 0);
String orvDecodeStrings(const String& s);
