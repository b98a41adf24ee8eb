// Loopback floods against an agent, as an attacker without the password would send them, and a
// manager that measures how it is served meanwhile.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tools/client.h"

struct TFloodOptions {
  int port = 0;
  std::vector<std::string> sources;  // the attackers' addresses, taken in turn
  int slowClients = 0;               // each sends one byte every slowByteMs
  int tricklers = 0;                 // each declares a 4 MiB packet and sends it in small pieces
  int slowByteMs = 3000;
};

struct TFloodStats {
  int64_t connects = 0;
  int64_t longestSlowMs = 0;  // the longest a slow client's connection stayed open
};

// The attackers, on a thread of their own: every client reconnects as soon
// as the agent closes its connection.
class TFlood {
 public:
  explicit TFlood(TFloodOptions options);
  ~TFlood();
  TFlood(const TFlood&) = delete;
  TFlood& operator=(const TFlood&) = delete;

  TFloodStats Stop();

 private:
  void Run();

  TFloodOptions options_;
  std::atomic<bool> stop_{false};
  TFloodStats stats_;
  std::thread thread_;
};

struct TManagerStats {
  int sent = 0;
  int answered = 0;
  double p50Ms = 0;
  double p99Ms = 0;
  double maxMs = 0;
};

// "GetInfo" from 127.0.0.1 every periodMs for durationMs, each with a fresh session key.
TManagerStats RunManager(const TOrvTarget& target, int periodMs, int durationMs);

// The value below which the share q of values lie (0.5: the median, 1: the largest); 0 for none.
double Quantile(std::vector<double> values, double q);
// Lets this process open as many descriptors as its hard limit allows.
void RaiseDescriptorLimit();
// The source addresses first, first + 1, ... (count of them), as "127.0.1.1" and so on.
std::vector<std::string> LoopbackSources(const char* prefix, int first, int count);
