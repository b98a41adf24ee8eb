// Names of reply lines whose meaning each command fixes, for --json and the check mode's --field.
#include "tools/reply_fields.h"

#include <strings.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "protocol/orv_const.h"

namespace {

constexpr TReplyField Num(const char* name, const char* uom = "") {
  return {name, TFieldKind::kNumber, uom};
}
constexpr TReplyField Text(const char* name) {
  return {name, TFieldKind::kText, ""};
}

// The one table of named reply lines; orvctl(1) documents the same names.
constexpr TReplyLayout kLayouts[] = {
    {"TEST-UNC", 1, {Num("total", "B"), Num("free", "B"), Num("available", "B")}, false, nullptr},
    {"TEST-FolderSize", 1, {Num("size", "B")}, false, nullptr},
    {"TEST-CountFiles", 1, {Num("count")}, false, nullptr},
    {"TEST-FileExists",
     1,
     {Num("size", "B"), Text("ctime"), Text("mtime"), Text("name")},
     false,
     nullptr},
    {"TEST-FileCRC", 1, {Num("crc")}, false, nullptr},
    {"TEST-FileCompare", 2, {Num("result")}, false, nullptr},
    {"TEST-TextLog",
     1,
     {Num("match"), Text("line"), Num("more"), Num("position"), Num("storedsize"),
      Num("storedtime"), Num("currentsize")},
     false,
     nullptr},
    {"TEST-TextLog2",
     1,
     {Num("match"), Text("line"), Num("more"), Num("position"), Num("storedsize"),
      Num("storedtime"), Num("currentsize"), Num("filter")},
     false,
     nullptr},
    {"TEST-Process", 2, {Num("count")}, false, nullptr},
    {"TEST-CPU", 0, {Num("usage", "%")}, false, nullptr},
    {"GetProcessesList", 0, {Text("processes")}, false, nullptr},
    {"TEST-ExternalPrg", 1, {Num("exitcode")}, false, nullptr},
    {"TEST-ShellScript", 0, {Text("result"), Text("output")}, false, nullptr},
    {"TEST-TCP", 1, {Num("time", "ms"), Text("answer")}, false, nullptr},
    {"TEST-UDP", 1, {Num("time", "ms"), Text("answer")}, false, nullptr},
    {"ACT-ExternalCmd", 1, {Num("exitcode")}, false, nullptr},
    {"GetFilesList", 1, {Text("folder"), Num("count"), Num("entrylines")}, false, nullptr},
    // Key=value replies: the fields listed are the keys whose values are numbers.
    {"GetInfo",
     0,
     {Num("Service"), Num("Active"), Num("ActiveConnections"), Num("OpenedConnections"),
      Num("FailedConnections"), Num("Port"), Num("Timeout")},
     true,
     "ActiveConnections"},
    {"GetSettings",
     0,
     {Num("Service"), Num("Active"), Num("ActiveConnections"), Num("OpenedConnections"),
      Num("FailedConnections"), Num("Port"), Num("Timeout")},
     true,
     "ActiveConnections"},
};

std::string TrimBlanks(const std::string& s) {
  const size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

bool AllDigits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

int FieldCount(const TReplyLayout& layout) {
  int n = 0;
  while (n < 8 && layout.fields[n].name != nullptr) ++n;
  return n;
}

TFieldValue LineValue(const TReplyLayout* layout, const std::vector<std::string>& lines, int n) {
  TFieldValue v;
  v.name = "line" + std::to_string(n);
  if (n < 1 || n > static_cast<int>(lines.size())) return v;
  v.line = n;
  v.text = TrimBlanks(lines[n - 1]);
  double ignored = 0;
  v.kind = ParseNumber(v.text, ignored) ? TFieldKind::kNumber : TFieldKind::kText;
  if (layout != nullptr && n <= FieldCount(*layout)) {
    const TReplyField& f = layout->fields[n - 1];
    v.name = f.name;
    v.uom = f.uom;
    v.kind = f.kind;
  }
  return v;
}

// The line "key=value" of a key=value reply (key in any letter case).
TFieldValue KeyValue(const TReplyLayout& layout, const std::vector<std::string>& lines,
                     const std::string& key) {
  TFieldValue v;
  v.name = key;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].size() <= key.size() || lines[i][key.size()] != '=' ||
        strncasecmp(lines[i].c_str(), key.c_str(), key.size()) != 0)
      continue;
    v.line = static_cast<int>(i) + 1;
    v.name = lines[i].substr(0, key.size());
    v.text = TrimBlanks(lines[i].substr(key.size() + 1));
    for (int f = 0; f < FieldCount(layout); ++f) {
      if (v.name == layout.fields[f].name) v.kind = TFieldKind::kNumber;
    }
    break;
  }
  return v;
}

// JSON's number grammar: what may stand unquoted.
bool IsJsonNumber(const std::string& s) {
  size_t i = 0;
  auto digits = [&] {
    const size_t start = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    return i > start;
  };
  if (i < s.size() && s[i] == '-') ++i;
  if (i < s.size() && s[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < s.size() && s[i] == '.' && (++i, !digits())) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == s.size();
}

// The length of the well-formed UTF-8 sequence at s[i], or 0.
size_t Utf8Length(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > s.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

// A JSON string. The agent's texts are bytes of no declared character set: well-formed UTF-8
// passes as it is, any other byte is taken as Latin-1, so the output is always valid JSON.
std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    char escaped[8];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20) {
      snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      out += escaped;
    } else if (c >= 0x80) {
      const size_t length = Utf8Length(s, i);
      if (length == 0) {
        snprintf(escaped, sizeof(escaped), "\\u%04x", c);
        out += escaped;
      } else {
        out.append(s, i, length);
        i += length;
        continue;
      }
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out + "\"";
}

std::string JsonMember(const std::string& name, const TFieldValue& v) {
  const bool bare = v.kind == TFieldKind::kNumber && IsJsonNumber(v.text);
  return ", " + JsonString(name) + ": " + (bare ? v.text : JsonString(v.text));
}

}  // namespace

const TReplyLayout* FindReplyLayout(const std::string& command) {
  for (const TReplyLayout& layout : kLayouts) {
    if (command == layout.command) return &layout;
  }
  return nullptr;
}

bool ParseNumber(const std::string& text, double& value) {
  const std::string s = TrimBlanks(text);
  // strtod would also take hexadecimal, "inf" and "nan".
  if (s.empty() || s.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
  char* end = nullptr;
  value = strtod(s.c_str(), &end);
  return end == s.c_str() + s.size() && std::isfinite(value);
}

TFieldValue PickField(const TReplyLayout* layout, const std::vector<std::string>& lines,
                      const std::string& field) {
  if (AllDigits(field)) return LineValue(layout, lines, atoi(field.c_str()));
  if (!field.empty()) {
    if (layout != nullptr && layout->keyValue) return KeyValue(*layout, lines, field);
    for (int i = 0; layout != nullptr && i < FieldCount(*layout); ++i) {
      if (strcasecmp(field.c_str(), layout->fields[i].name) == 0)
        return LineValue(layout, lines, i + 1);
    }
    TFieldValue unknown;
    unknown.name = field;
    return unknown;
  }
  if (layout != nullptr && layout->defaultField != nullptr)
    return PickField(layout, lines, layout->defaultField);
  for (size_t i = 0; i < lines.size(); ++i) {
    double ignored = 0;
    if (ParseNumber(lines[i], ignored)) return LineValue(layout, lines, static_cast<int>(i) + 1);
  }
  return TFieldValue{};
}

std::string ReplyJson(const std::string& command, const std::string& code,
                      const std::vector<std::string>& lines) {
  std::string out = "{\"code\": " + JsonString(code) + ", \"lines\": [";
  for (size_t i = 0; i < lines.size(); ++i) out += (i ? ", " : "") + JsonString(lines[i]);
  out += "]";
  const TReplyLayout* layout = FindReplyLayout(command);
  if (code == kResultOk && layout != nullptr) {
    if (layout->keyValue) {
      for (const std::string& line : lines) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        const std::string key = line.substr(0, eq);
        out += JsonMember(key, KeyValue(*layout, lines, key));
      }
    } else {
      for (int i = 1; i <= FieldCount(*layout) && i <= static_cast<int>(lines.size()); ++i)
        out += JsonMember(layout->fields[i - 1].name, LineValue(layout, lines, i));
    }
  }
  return out + "}";
}
