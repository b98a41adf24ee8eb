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
constexpr TReplyField Text(const char* name, const char* prefix = nullptr) {
  return {name, TFieldKind::kText, "", prefix};
}
constexpr TReplyField Date(const char* name) {
  return {name, TFieldKind::kDate};
}
constexpr TReplyField List(const char* name) {
  return {name, TFieldKind::kList};
}

// The one table of named reply lines; orvctl(1) documents the same names. The subjects of the
// text-log tests name the parameters a check is given, which leave out the log state.
constexpr TReplyLayout kLayouts[] = {
    {"TEST-UNC",
     "%1",
     {Num("total", "B"), Num("free", "B"), Num("available", "B")},
     false,
     nullptr},
    {"TEST-FolderSize", "%1", {Num("size", "B")}, false, nullptr},
    {"TEST-CountFiles", "%1 %2", {Num("count")}, false, nullptr},
    {"TEST-FileExists",
     "%1",
     {Num("size", "B"), Date("ctime"), Date("mtime"), Text("name")},
     false,
     nullptr},
    {"TEST-FileCRC", "%1", {Num("crc")}, false, nullptr},
    {"TEST-FileCompare", "%2 %3", {Num("result")}, false, nullptr},
    {"TEST-TextLog",
     "%1 %2",
     {Num("match"), Text("line"), Num("more"), Num("position"), Num("storedsize"),
      Num("storedtime"), Num("currentsize")},
     false,
     nullptr},
    {"TEST-TextLog2",
     "%1 %2",
     {Num("match"), Text("line"), Num("more"), Num("position"), Num("storedsize"),
      Num("storedtime"), Num("currentsize"), Num("filter")},
     false,
     nullptr},
    {"TEST-Process", "%2", {Num("count")}, false, nullptr},
    {"TEST-CPU", "", {Num("usage", "%")}, false, nullptr},
    {"GetProcessesList", "", {List("processes")}, false, nullptr},
    {"TEST-ExternalPrg", "%1", {Num("exitcode")}, false, nullptr},
    {"TEST-ShellScript", "%3", {Text("result", "scriptres:"), List("output")}, false, "result"},
    {"TEST-TCP", "%1:%2", {Num("time", "ms"), Text("answer")}, false, nullptr},
    {"TEST-UDP", "%1:%2", {Num("time", "ms"), Text("answer")}, false, nullptr},
    {"ACT-ExternalCmd", "%1", {Num("exitcode")}, false, nullptr},
    {"GetFilesList", "%1 %2", {Text("folder"), Num("count"), Num("entrylines")}, false, nullptr},
    // Key=value replies: the fields listed are the keys whose values are numbers or lists.
    {"GetInfo",
     "",
     {Num("Service"), Num("Active"), Num("ActiveConnections"), Num("OpenedConnections"),
      Num("FailedConnections"), Num("Port"), Num("Timeout"), List("Available tests"),
      List("Available actions")},
     true,
     "ActiveConnections"},
    {"GetSettings",
     "",
     {Num("Service"), Num("Active"), Num("ActiveConnections"), Num("OpenedConnections"),
      Num("FailedConnections"), Num("Port"), Num("Timeout"), List("Available tests"),
      List("Available actions"), Num("MaxPending"), Num("MinKeyLength"), Num("SourcePrefix6")},
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
  while (n < kMaxReplyFields && layout.fields[n].name != nullptr) ++n;
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
    v.prefix = f.prefix;
    v.kind = f.kind;
  }
  // A list's items keep their blanks (a process list's columns).
  if (v.kind == TFieldKind::kList) v.text = lines[n - 1];
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
    v.text = lines[i].substr(key.size() + 1);
    for (int f = 0; f < FieldCount(layout); ++f) {
      if (v.name == layout.fields[f].name) v.kind = layout.fields[f].kind;
    }
    if (v.kind != TFieldKind::kList) v.text = TrimBlanks(v.text);
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

// The items of a list value, each of which CR LF ends.
std::vector<std::string> ListItems(const std::string& text) {
  std::vector<std::string> items;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    items.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return items;
}

std::string JsonArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + JsonString(items[i]);
  return out + "]";
}

std::string JsonValue(const TFieldValue& v) {
  if (v.kind == TFieldKind::kList) return JsonArray(ListItems(v.text));
  const bool bare = v.kind == TFieldKind::kNumber && IsJsonNumber(v.text);
  return bare ? v.text : JsonString(v.text);
}

std::string JsonMember(const std::string& name, const TFieldValue& v) {
  return ", " + JsonString(name) + ": " + JsonValue(v);
}

// A file list's entries, each an object of its lines: name, attributes, then size, status-change
// and modification time as far as the request asked for them (its flags 7 to 9). Nothing when
// the reply's lines per entry do not match those flags.
std::string FileListEntries(const std::vector<std::string>& params,
                            const std::vector<std::string>& lines) {
  std::vector<TReplyField> fields{Text("name"), Num("attributes")};
  const TReplyField asked[] = {Num("size", "B"), Date("ctime"), Date("mtime")};
  for (size_t i = 0; i < 3; ++i) {
    if (params.size() > 6 + i && TrimBlanks(params[6 + i]) == "1") fields.push_back(asked[i]);
  }
  double count = 0;
  double stride = 0;
  if (lines.size() < 3 || !ParseNumber(lines[1], count) || !ParseNumber(lines[2], stride) ||
      stride != static_cast<double>(fields.size()) || !(count >= 0))
    return "";
  std::string out = ", \"entries\": [";
  const size_t n = fields.size();
  // A count beyond the lines that follow is cut to them (and never cast out of range).
  const size_t entries =
      count < static_cast<double>(lines.size()) ? static_cast<size_t>(count) : lines.size();
  for (size_t e = 0; e < entries && 3 + (e + 1) * n <= lines.size(); ++e) {
    out += e ? ", {" : "{";
    for (size_t f = 0; f < n; ++f) {
      TFieldValue v;
      v.kind = fields[f].kind;
      const std::string& line = lines[3 + e * n + f];
      v.text = v.kind == TFieldKind::kNumber ? TrimBlanks(line) : line;
      out += (f ? ", " : "") + JsonString(fields[f].name) + ": " + JsonValue(v);
    }
    out += "}";
  }
  return out + "]";
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

std::string CheckSubject(const std::string& command, const std::vector<std::string>& params) {
  const TReplyLayout* layout = FindReplyLayout(command);
  const char* format = layout != nullptr ? layout->subject : "%1";
  std::string out;
  for (const char* p = format; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] >= '1' && p[1] <= '9') {
      const size_t n = static_cast<size_t>(*++p - '0');
      if (n <= params.size()) out += params[n - 1];
    } else {
      out += *p;
    }
  }
  return TrimBlanks(out);
}

std::string ReplyJson(const std::string& command, const std::vector<std::string>& params,
                      const std::string& code, const std::vector<std::string>& lines) {
  std::string out = "{\"code\": " + JsonString(code) + ", \"lines\": " + JsonArray(lines);
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
    if (command == "GetFilesList") out += FileListEntries(params, lines);
  }
  return out + "}";
}
