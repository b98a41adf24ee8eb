// Manager-side client: sends one request to an agent and returns its decoded reply.
#include "tools/client.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/errors.h"
#include "net/iplib.h"
#include "protocol/cipher.h"
#include "protocol/manager.h"
#include "protocol/md5.h"
#include "protocol/orv_const.h"
#include "protocol/twofish.h"

namespace {

using Clock = std::chrono::steady_clock;

// The agent closes without a word whatever it refuses; these are the usual reasons.
constexpr const char* kRefusalCauses =
    " (usually a wrong password, this address not admitted by the agent's accept filter, too "
    "many connections from this address at once, a session key the agent finds too short, or a "
    "request the agent has served before)";

class TConnection {
 public:
  int Open(const TOrvTarget& target, String& err) {
    deadline_ = Clock::now() + std::chrono::milliseconds(target.timeoutMs);
    String host = target.host;
    host.SetZero();
    int rc = PerformConnect(fd_, host.Data(), target.port, target.timeoutMs, err, target.family);
    if (rc != kNetOk) {
      failure_ = rc == kNetTimeout ? TOrvFailure::kTimeout : TOrvFailure::kConnect;
      return 0;
    }
    // The exchange waits with poll against the deadline; sends may block.
    int off = 0;
    ioctl(fd_.Get(), FIONBIO, &off);
    return 1;
  }

  int Send(const char* data, int length, String& err) {
    while (length > 0) {
      ssize_t n = send(fd_.Get(), data, length, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        // A peer refused after connecting (accept filter, limits) resets the connection.
        err = GetErrorStr(errno) + kRefusalCauses;
        failure_ = TOrvFailure::kNoReply;
        return 0;
      }
      data += n;
      length -= static_cast<int>(n);
    }
    return 1;
  }

  // Receives one whole reply packet and decodes it under key.
  int ReceiveReply(const String& key, String& text, String& err) {
    String received;
    char buffer[16384];
    for (;;) {
      int need = ReplyPacketSize(received);
      if (need > 0 && received.Length() >= need) break;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
      pollfd waiter{fd_.Get(), POLLIN, 0};
      int ready = left.count() > 0 ? poll(&waiter, 1, static_cast<int>(left.count())) : 0;
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) {
        err = "Timeout";
        failure_ = TOrvFailure::kTimeout;
        return 0;
      }
      ssize_t n = recv(fd_.Get(), buffer, sizeof(buffer), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        err = String("Connection closed without a reply") + kRefusalCauses;
        failure_ = TOrvFailure::kNoReply;
        return 0;
      }
      received.AddData(buffer, static_cast<int>(n));
    }
    if (!DecodeReplyPacket(received, key, text)) {
      err = "Malformed reply packet";
      failure_ = TOrvFailure::kNoReply;
      return 0;
    }
    return 1;
  }

  TOrvFailure Failure() const { return failure_; }

 private:
  TUniqueFd fd_;
  Clock::time_point deadline_;
  TOrvFailure failure_ = TOrvFailure::kNone;
};

}  // namespace

String NewSessionKey() {
  // The agent refuses a key it has seen before: it must never repeat, so a
  // predictable fallback (rand) will not do. getrandom only fails without a kernel source.
  char key[kSessionKeyBytes];
  size_t filled = 0;
  while (filled < sizeof(key)) {
    ssize_t n = getrandom(key + filled, sizeof(key) - filled, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) abort();
    filled += static_cast<size_t>(n);
  }
  return String(key, sizeof(key));
}

namespace {}  // namespace

void InitClientCiphers() {
  static std::once_flag once;
  std::call_once(once, [] { Twofish_initialise(); });
}

String BuildRequestText(const String& command, const std::vector<String>& params) {
  String text = command;
  text += '\n';
  for (const String& p : params) {
    text += p;
    text += '\n';
  }
  text += '\r';
  return text;
}

int OrvExchange(const TOrvTarget& target, const String& requestText, String& replyText, String& err,
                TOrvFailure* failure) {
  err = "";
  replyText = "";
  InitClientCiphers();
  TConnection connection;
  String key = NewSessionKey();
  String packet = BuildRequestPacket(target.password, key, requestText);
  int ok = connection.Open(target, err) && connection.Send(packet.Data(), packet.Length(), err) &&
           connection.ReceiveReply(key, replyText, err);
  if (failure != nullptr) *failure = connection.Failure();
  return ok;
}

int OrvRequest(const TOrvTarget& target, const String& command, const std::vector<String>& params,
               String& replyText, String& err, TOrvFailure* failure) {
  return OrvExchange(target, BuildRequestText(command, params), replyText, err, failure);
}

int OrvUpgrade(const TOrvTarget& target, const char* fileName, String& replyText, String& err) {
  err = "";
  replyText = "";
  FILE* file = fopen(fileName, "rb");
  if (file == nullptr) {
    err = GetErrorStr(errno);
    return 0;
  }
  String contents;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0)
    contents.AddData(buffer, static_cast<int>(n));
  fclose(file);

  InitClientCiphers();
  TConnection connection;
  if (!connection.Open(target, err)) return 0;
  String key = NewSessionKey();
  char size[24];
  snprintf(size, sizeof(size), "%d", contents.Length());
  String packet = BuildRequestPacket(target.password, key, BuildRequestText("UpgradeCode", {size}));
  if (!connection.Send(packet.Data(), packet.Length(), err)) return 0;
  if (!connection.ReceiveReply(key, replyText, err)) return 0;
  if (replyText.Copy(1, 3) != kResultOk) return 1;

  MD5 context{};
  unsigned char digest[16];
  MD5Open(&context);
  MD5Digest(&context, contents.Data(), contents.Length());
  MD5Close(&context, digest);
  String checksum = EncodeData(String(reinterpret_cast<char*>(digest), 16), key, 0);
  if (!connection.Send(contents.Data(), contents.Length(), err)) return 0;
  if (!connection.Send(checksum.Data(), checksum.Length(), err)) return 0;
  return connection.ReceiveReply(key, replyText, err);
}

std::vector<String> ReplyLines(const String& replyText) {
  std::vector<String> lines;
  int start = 1;
  for (int i = 1; i <= replyText.Length(); ++i) {
    if (replyText[i] == '\n') {
      lines.push_back(replyText.Copy(start, i - start));
      start = i + 1;
    }
  }
  if (start <= replyText.Length()) lines.push_back(replyText.Copy(start, replyText.Length()));
  return lines;
}

std::vector<std::string> ReplyBody(const String& replyText, bool raw, std::string& code) {
  std::vector<String> lines = ReplyLines(replyText);
  code = lines.empty() ? "" : ToText(lines[0]);
  std::vector<std::string> body;
  for (size_t i = 1; i < lines.size(); ++i)
    body.push_back(ToText(raw ? lines[i] : orvDecodeStrings(lines[i])));
  return body;
}

std::string ToText(const String& s) {
  return s.IsEmpty() ? "" : std::string(s.Data(), s.Length());
}

std::vector<String> ToParams(const std::vector<std::string>& texts) {
  std::vector<String> params;
  for (const std::string& t : texts) params.emplace_back(t.c_str(), static_cast<int>(t.size()));
  return params;
}
