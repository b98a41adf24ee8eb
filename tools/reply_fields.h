// Names of reply lines whose meaning each command fixes, for --json and the check mode's --field.
#pragma once

#include <string>
#include <vector>

enum class TFieldKind {
  kNumber,
  kText,
  kDate,  // local time written DDMMYYYYhhmmss
  kList,  // items each followed by CR LF
};

struct TReplyField {
  const char* name;
  TFieldKind kind;
  const char* uom = "";          // unit of the value in performance data ("" for a plain count)
  const char* prefix = nullptr;  // a text before the number that a check drops ("scriptres:")
};

inline constexpr int kMaxReplyFields = 12;

// What a "200" reply of one command holds after its result code.
struct TReplyLayout {
  const char* command;
  // What is checked, from the request's parameters: "%1:%2" gives the first and second
  // parameters with a colon between them.
  const char* subject;
  // The reply lines in order; a field without a name ends the list. In a key=value reply,
  // the keys whose values are not plain texts.
  TReplyField fields[kMaxReplyFields];
  // Lines are "key=value" and each key names its line ("GetInfo").
  bool keyValue;
  // The field a check compares when none is asked for; null: the first numeric line.
  const char* defaultField;
};

// The layout of command, or null when its reply lines have no fixed names.
const TReplyLayout* FindReplyLayout(const std::string& command);

// What the request checks, as its layout's subject names it (the first parameter for a
// command without a layout); "" when it names nothing.
std::string CheckSubject(const std::string& command, const std::vector<std::string>& params);

// A reply line taken by name or number.
struct TFieldValue {
  int line = 0;      // 1-based among the lines after the result code; 0 when not found
  std::string name;  // the field's name, or "line<N>" for an unnamed line
  std::string text;  // the value, surrounding blanks removed
  const char* uom = "";
  const char* prefix = nullptr;
  TFieldKind kind = TFieldKind::kText;
};

// The line that field names in lines (the reply without its result code): a number is a
// 1-based line, anything else a name of the layout (or a key of a key=value reply). An empty
// field takes the layout's default, else the first line that holds a number.
TFieldValue PickField(const TReplyLayout* layout, const std::vector<std::string>& lines,
                      const std::string& field);

// The text as a number: surrounding blanks allowed, nothing else. False when it is none.
bool ParseNumber(const std::string& text, double& value);

// The reply as one JSON object: {"code": "...", "lines": [...]} and, for a "200" reply of a
// command with a layout, one member per named line; lists are arrays. params are the
// request's, which say what each entry of a file list holds.
std::string ReplyJson(const std::string& command, const std::vector<std::string>& params,
                      const std::string& code, const std::vector<std::string>& lines);
