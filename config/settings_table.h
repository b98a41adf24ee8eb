// The one table of settings: each row names a setting's file key, remote key, member, kind and
// range.
#pragma once

#include <cstdint>
#include <limits>
#include <span>

#include "config/settings.h"

// A rewritten or appended line of the configuration file, before its CR LF,
// is cut to this many bytes, so that it is read back as one piece. A text
// that "SetSettings" accepts fits with the CR LF too, and is never cut.
inline constexpr int kMaxSavedLine = 1020;

enum class TSettingKind : uint8_t {
  kText,         // free text
  kInteger,      // a decimal number
  kFlag,         // 0 or 1; in the file the first character of the value decides
  kFlagString,   // one '1' (on) or other character per entry of the accept filter
  kAddressList,  // addresses and ranges, as the manage and update permissions read them
  kFilterList,   // accept-filter entries: blank-separated in the file, CR LF apart in
                 // the record, with the line-break escapes over the wire
};

// What a setting's value must name on this host; the configuration check looks.
enum class TPathKind : uint8_t {
  kNone,
  kProgram,    // an executable regular file, by an absolute path
  kDirectory,  // a directory the agent may write in
  kSecret,     // a regular file that only the agent's user or root may read or change
  kListener,   // an address (empty: every address) or a name the agent can listen on
};

// The reply blocks of "GetInfo" (the last three) and "GetSettings" that show a setting.
enum class TShownIn : uint8_t { kNowhere, kTests, kActions, kInfo, kSettings };

struct TSettingRow {
  const char* fileKey;    // lower case; null when the file cannot set it
  const char* remoteKey;  // its name in "GetInfo", "GetSettings" and "SetSettings"; null: none
  TSettingKind kind;
  String TORVSettings::*text;     // the member of the text kinds
  int32_t TORVSettings::*number;  // the member of an integer or flag
  // As written in the file, assigned at the start of every load; null: the
  // member keeps its value when the file lacks the key.
  const char* loadDefault;
  // Valid values: of an integer its value, of a text kind its length (as
  // saved). "SetSettings" ignores a value below them and refuses a text
  // longer than them; a text's maximum is what its line holds whole.
  int32_t min = std::numeric_limits<int32_t>::min();
  int32_t max = std::numeric_limits<int32_t>::max();
  bool saved = true;         // a save rewrites or appends its line
  bool remoteSet = true;     // "SetSettings" accepts remoteKey
  bool onlyIfUnset = false;  // a load applies the key only while the member is 0
  bool required = false;     // a value outside the range stops the start
  // When this member names a file, the value is kept there, not in the configuration file.
  String TORVSettings::*storedIn = nullptr;
  TShownIn shownIn = TShownIn::kNowhere;
  int8_t shownAt = 0;  // 1-based place in that block
  TPathKind path = TPathKind::kNone;

  constexpr TSettingRow Shown(TShownIn block, int8_t at) const {
    TSettingRow row = *this;
    row.shownIn = block;
    row.shownAt = at;
    return row;
  }
  constexpr TSettingRow Range(int32_t low, int32_t high) const {
    TSettingRow row = *this;
    row.min = low;
    row.max = high;
    return row;
  }
  constexpr TSettingRow AtLeast(int32_t low) const { return Range(low, max); }
  constexpr TSettingRow Unsaved() const {
    TSettingRow row = *this;
    row.saved = false;
    return row;
  }
  constexpr TSettingRow NotRemotelySet() const {
    TSettingRow row = *this;
    row.remoteSet = false;
    return row;
  }
  constexpr TSettingRow Names(TPathKind kind) const {
    TSettingRow row = *this;
    row.path = kind;
    return row;
  }
  constexpr TSettingRow OnlyIfUnset() const {
    TSettingRow row = *this;
    row.onlyIfUnset = true;
    return row;
  }
  constexpr TSettingRow Required() const {
    TSettingRow row = *this;
    row.required = true;
    return row;
  }
  constexpr TSettingRow StoredIn(String TORVSettings::*file) const {
    TSettingRow row = *this;
    row.storedIn = file;
    return row;
  }

  bool InFile() const { return fileKey != nullptr; }
  bool Saved() const { return fileKey != nullptr && saved; }
  bool RemotelySet() const { return remoteKey != nullptr && remoteSet; }
  bool IsNumber() const { return number != nullptr; }
  // Whether s keeps the value in a file of its own: the configuration file's line is then
  // neither read for it nor written.
  bool StoredApart(const TORVSettings& s) const {
    return storedIn != nullptr && !(s.*storedIn).IsEmpty();
  }
  bool Restricted() const {
    return min != std::numeric_limits<int32_t>::min() || max != std::numeric_limits<int32_t>::max();
  }
  // Whether a value (an integer's, or a text's length) lies in the range.
  bool InRange(long long value) const { return value >= min && value <= max; }
};

// Every setting. The saved rows stand in the order in which a save appends the
// keys that the file lacks.
std::span<const TSettingRow> SettingsTable();

// The value a save writes for a row (for a flag only on an appended line).
String SavedValue(const TORVSettings& s, const TSettingRow& row);

// The row whose file key is the n bytes at key in any letter case; null when none.
const TSettingRow* FindFileKey(const char* key, int n);
// The row that "SetSettings" sets by key (letter case counts); null when none.
const TSettingRow* FindRemoteKey(const String& key);
// Calls f(row) for the rows shown in block, in their order there.
template <typename F>
void ForEachShown(TShownIn block, F&& f) {
  for (int8_t at = 1;; ++at) {
    const TSettingRow* found = nullptr;
    for (const TSettingRow& row : SettingsTable()) {
      if (row.shownIn == block && row.shownAt == at) found = &row;
    }
    if (found == nullptr) return;
    f(*found);
  }
}
