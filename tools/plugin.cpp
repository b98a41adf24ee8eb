// Pass-through of monitoring plugins: one runs on the agent's host through its shell-script test.
#include "tools/plugin.h"

#include <cstdio>

#include "base/string.h"

namespace {

// od writes 16 bytes a line, each line prefixed by its offset; a line of the offset alone ends
// the output.
constexpr int kBytesPerLine = 16;
constexpr int kOutputLines = kPluginOutputBound / kBytesPerLine;
constexpr int kErrorLines = kPluginErrorBound / kBytesPerLine;
// The wrapper's lines, and room for what its own shell or tools may say on standard error.
constexpr int kReplyLines = kOutputLines + kErrorLines + 2 + 64;

// The agent trims every line of a script's output, cuts it after 511 bytes, drops blank ones and
// ignores the exit status; so the wrapper prints the plugin's standard output ("o" lines) and
// error ("e" lines) as hex lines numbered by their offset, and the status on the result line.
// Both streams are read to their end, so that a chatty plugin is not killed by a full pipe, but
// only their first bytes are printed; standard error waits in a variable until the output is
// through, so that the two never mix within a line.
constexpr const char* kWrapper =
    "# check_orv: runs a monitoring plugin and relays its exit status and output\n"
    "PATH=$PATH:/usr/lib/nagios/plugins:/usr/lib64/nagios/plugins:/usr/local/nagios/libexec\n"
    "c=%s\n"
    "exec 5>&1\n"
    "s=$( { e=$( { { /bin/sh -c \"$c\" </dev/null 2>&3 3>&- 4>&- 5>&-; echo $? >&4; } |\n"
    "  od -v -Ad -tx1 | sed -n -e '1,%ds/^/o/p' -e '%ds/^[0-9]*$/o&/p' >&5; } 3>&1 |\n"
    "  od -v -Ad -tx1 | sed -n -e '1,%ds/^/e/p' -e '%ds/^[0-9]*$/e&/p' )\n"
    "  [ -z \"$e\" ] || printf '%%s\\n' \"$e\" >&5; } 4>&1 )\n"
    "echo \"scriptres:$s\"\n";

// The command in single quotes. The agent turns "%0A" and "%0D" into line breaks and CR LF into
// LF in the script it is sent, so the quotes are closed and reopened after every '%' and CR.
std::string QuoteForShell(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
      if (c == '%' || c == '\r') out += "''";
    }
  }
  return out + "'";
}

std::string Wrapper(const std::string& commandLine) {
  const std::string quoted = QuoteForShell(commandLine);
  std::string script(quoted.size() + 1024, '\0');
  const int n = snprintf(script.data(), script.size(), kWrapper, quoted.c_str(), kOutputLines,
                         kOutputLines + 1, kErrorLines, kErrorLines + 1);
  script.resize(static_cast<size_t>(n));
  return script;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// One stream as its numbered lines rebuild it.
struct TStream {
  std::string bytes;
  size_t bound;
  bool ended = false;
  bool damaged = false;

  // A line after its "o" or "e": the offset, then up to 16 bytes in hex; false when it is none
  // (a message of the wrapper's own shell), which is then ignored.
  bool Take(const std::string& line) {
    size_t i = 1;
    unsigned long long offset = 0;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9' && offset < (1ULL << 40))
      offset = offset * 10 + static_cast<unsigned>(line[i++] - '0');
    if (i == 1) return false;
    std::string data;
    for (; i < line.size(); i += 3) {
      if (line.size() - i < 3 || line[i] != ' ' || HexValue(line[i + 1]) < 0 ||
          HexValue(line[i + 2]) < 0 || data.size() == static_cast<size_t>(kBytesPerLine))
        return false;
      data += static_cast<char>(HexValue(line[i + 1]) * 16 + HexValue(line[i + 2]));
    }
    // A line lost, repeated or out of order would shift everything after it.
    if (ended || offset != bytes.size()) damaged = true;
    if (data.empty()) ended = true;
    bytes += data;
    return true;
  }

  // Whole: its end line came, or it was cut at the bound and its end line dropped with the rest.
  bool Whole() const { return !damaged && (ended || bytes.size() == bound); }
};

}  // namespace

std::vector<std::string> PluginRequestParams(const std::string& commandLine, int timeLimitSeconds) {
  const std::string script = Wrapper(commandLine);
  const String encoded = orvEncodeStrings(script.data(), static_cast<int>(script.size()));
  return {"/bin/sh \"%script%\"", std::string(encoded.Data(), encoded.Length()), "",
          std::to_string(timeLimitSeconds), std::to_string(kReplyLines)};
}

int DecodePluginReply(const std::string& resultLine, const std::string& collected,
                      TPluginResult& result, std::string& err) {
  result = TPluginResult{};
  const std::string prefix = "scriptres:";
  const std::string status = resultLine.substr(0, prefix.size()) == prefix
                                 ? resultLine.substr(prefix.size())
                                 : std::string();
  if (status.empty() || status.size() > 3 ||
      status.find_first_not_of("0123456789") != std::string::npos) {
    err = "the agent's reply holds no exit status of the plugin";
    return 0;
  }
  result.status = std::stoi(status);
  TStream output{"", kPluginOutputBound};
  TStream errors{"", kPluginErrorBound};
  for (size_t start = 0; start < collected.size();) {
    size_t end = collected.find("\r\n", start);
    if (end == std::string::npos) end = collected.size();
    const std::string line = collected.substr(start, end - start);
    start = end + 2;
    if (line.empty()) continue;
    if (line[0] == 'o') output.Take(line);
    if (line[0] == 'e') errors.Take(line);
  }
  if (!output.Whole() || !errors.Whole()) {
    err = "the plugin's output did not arrive whole";
    return 0;
  }
  result.output = std::move(output.bytes);
  result.errors = std::move(errors.bytes);
  return 1;
}
