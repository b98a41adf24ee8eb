// Loopback floods: slow and trickling clients on one epoll thread, and a timed manager.
#include "tests/support/flood.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "protocol/orv_const.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTrickleBytes = 1024;
constexpr int kTrickleMs = 100;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

// What the attackers send: a packet head declaring 4 MiB with a proof that
// cannot be right (they have no password), then filler.
std::string AttackBytes() {
  std::string head;
  const uint32_t declared = kMaxPacketSize - 4;
  for (int i = 0; i < 4; ++i) head += static_cast<char>(declared >> (8 * i));
  head += std::string("\x03\x12\x10\x00", 4);
  head += std::string(16, '\x5a');
  head += std::string(kTrickleBytes * 4, 'x');
  return head;
}

struct TClient {
  int fd = -1;
  bool slow = false;
  uint32_t source = 0;
  bool connected = false;
  int64_t openedMs = 0;
  int64_t nextMs = 0;  // the next send, or the next connection attempt
  size_t sent = 0;
};

}  // namespace

TFlood::TFlood(TFloodOptions options) : options_(std::move(options)) {
  thread_ = std::thread([this] { Run(); });
}

TFlood::~TFlood() {
  Stop();
}

TFloodStats TFlood::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  return stats_;
}

void TFlood::Run() {
  const std::string bytes = AttackBytes();
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  std::vector<TClient> clients(options_.slowClients + options_.tricklers);
  for (size_t i = 0; i < clients.size(); ++i) {
    clients[i].slow = static_cast<int>(i) < options_.slowClients;
    clients[i].source = inet_addr(options_.sources[i % options_.sources.size()].c_str());
  }
  auto connectClient = [&](size_t i, int64_t now) {
    TClient& c = clients[i];
    if (c.fd >= 0) {
      epoll_ctl(epoll, EPOLL_CTL_DEL, c.fd, nullptr);
      close(c.fd);
      if (c.slow && c.connected)
        stats_.longestSlowMs = std::max(stats_.longestSlowMs, now - c.openedMs);
    }
    c = TClient{-1, c.slow, c.source};
    c.nextMs = now + 10;  // when this attempt fails
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    int on = 1;
    setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof(on));
    sockaddr_in from{AF_INET, 0, {c.source}, {}};
    sockaddr_in to{AF_INET, htons(options_.port), {htonl(INADDR_LOOPBACK)}, {}};
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof(from)) != 0 ||
        (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0 && errno != EINPROGRESS)) {
      close(fd);
      return;
    }
    epoll_event event{EPOLLOUT | EPOLLIN | EPOLLRDHUP, {}};
    event.data.u64 = i;
    epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
    c.fd = fd;
    c.openedMs = now;
    ++stats_.connects;
  };
  auto sendNext = [&](TClient& c, int64_t now) {
    const size_t piece = c.slow ? 1 : (c.sent == 0 ? 24 : kTrickleBytes);
    const size_t at = c.sent % (bytes.size() - kTrickleBytes);
    const ssize_t n = send(c.fd, bytes.data() + at, piece, MSG_NOSIGNAL);
    if (n > 0) c.sent += static_cast<size_t>(n);
    c.nextMs = now + (c.slow ? options_.slowByteMs : kTrickleMs);
  };

  const int64_t start = NowMs();
  for (size_t i = 0; i < clients.size(); ++i) connectClient(i, start);
  epoll_event events[256];
  while (!stop_) {
    const int ready = epoll_wait(epoll, events, 256, 20);
    const int64_t now = NowMs();
    for (int e = 0; e < ready; ++e) {
      const size_t i = events[e].data.u64;
      TClient& c = clients[i];
      char sink[256];
      if ((events[e].events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) ||
          ((events[e].events & EPOLLIN) && recv(c.fd, sink, sizeof(sink), 0) <= 0)) {
        connectClient(i, now);  // closed by the agent: straight back
      } else if ((events[e].events & EPOLLOUT) && !c.connected) {
        c.connected = true;
        epoll_event event{EPOLLIN | EPOLLRDHUP, {}};
        event.data.u64 = i;
        epoll_ctl(epoll, EPOLL_CTL_MOD, c.fd, &event);
        sendNext(c, now);
      }
    }
    for (size_t i = 0; i < clients.size(); ++i) {
      TClient& c = clients[i];
      if (c.nextMs > now) continue;
      if (c.fd < 0) {
        connectClient(i, now);
      } else if (c.connected) {
        sendNext(c, now);
      }
    }
  }
  for (TClient& c : clients) {
    if (c.fd >= 0) close(c.fd);
  }
  close(epoll);
}

TManagerStats RunManager(const TOrvTarget& target, int periodMs, int durationMs) {
  TManagerStats stats;
  std::vector<double> latencies;
  const auto start = Clock::now();
  for (int i = 0; i * periodMs < durationMs; ++i) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(i * periodMs));
    const auto sent = Clock::now();
    String reply;
    String err;
    ++stats.sent;
    if (OrvRequest(target, "GetInfo", {}, reply, err) && reply.Copy(1, 4) == "200\n") {
      ++stats.answered;
      latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    }
  }
  stats.p50Ms = Quantile(latencies, 0.50);
  stats.p99Ms = Quantile(latencies, 0.99);
  stats.maxMs = Quantile(latencies, 1);
  return stats;
}

double Quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(q * values.size()))];
}

void RaiseDescriptorLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

std::vector<std::string> LoopbackSources(const char* prefix, int first, int count) {
  std::vector<std::string> sources;
  for (int i = 0; i < count; ++i) sources.push_back(prefix + std::to_string(first + i));
  return sources;
}
