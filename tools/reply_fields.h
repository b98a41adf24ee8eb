// Names of reply lines whose meaning each command fixes, for --json and the check mode's --field.
#pragma once

#include <string>
#include <vector>

enum class TFieldKind { kNumber, kText };

struct TReplyField {
  const char* name;
  TFieldKind kind;
  const char* uom;  // unit of the value in performance data ("" for a plain count)
};

// What a "200" reply of one command holds after its result code.
struct TReplyLayout {
  const char* command;
  // The request parameter (1-based) that names what is checked; 0 for none.
  int subjectParam;
  // The reply lines in order; a field without a name ends the list. In a key=value reply,
  // the keys whose values are numbers.
  TReplyField fields[8];
  // Lines are "key=value" and each key names its line ("GetInfo").
  bool keyValue;
  // The field a check compares when none is asked for; null: the first numeric line.
  const char* defaultField;
};

// The layout of command, or null when its reply lines have no fixed names.
const TReplyLayout* FindReplyLayout(const std::string& command);

// A reply line taken by name or number.
struct TFieldValue {
  int line = 0;      // 1-based among the lines after the result code; 0 when not found
  std::string name;  // the field's name, or "line<N>" for an unnamed line
  std::string text;  // the value, surrounding blanks removed
  const char* uom = "";
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
// command with a layout, one member per named line.
std::string ReplyJson(const std::string& command, const std::string& code,
                      const std::vector<std::string>& lines);
