// The replay record: salted digests of the session keys and requests that were served, so that
// a captured request cannot be sent again.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "base/string.h"
#include "base/unique_fd.h"

struct TReplayDigest {
  uint8_t bytes[16] = {};
  bool operator==(const TReplayDigest& other) const;
  bool IsEmpty() const { return *this == TReplayDigest{}; }
};

// A fixed-size ring of digests, mirrored in a file (written in place, through
// a shared mapping where that is safe) so that it outlives a restart, a re-exec after an upgrade
// and a reload. The file holds a random salt and digests only, never a key.
class TReplaySet {
 public:
  // Two digests per request (its key and its request bytes): the ring
  // remembers at least the last 65,536 requests.
  static constexpr uint32_t kCapacity = 131072;

  TReplaySet();
  ~TReplaySet();
  TReplaySet(const TReplaySet&) = delete;
  TReplaySet& operator=(const TReplaySet&) = delete;

  // Takes over the ring kept at path, or creates it (mode 0600). 0 with err
  // set when the file cannot be used: the record then lasts as long as the process.
  int Open(const String& path, String& err);

  // The salted digest of a session key ('K') or of a request's encrypted bytes ('R').
  TReplayDigest Digest(char kind, const char* data, int length) const;
  // False when the digest is remembered or claimed by a request being served;
  // otherwise claims it, so that the same packet sent twice at once is served once.
  bool Claim(const TReplayDigest& digest);
  // Ends a claim; remember adds the digest to the ring.
  void Finish(const TReplayDigest& digest, bool remember);
  // Ends the claims of one request at once; remembered, they reach the file in one write.
  void Finish(std::span<const TReplayDigest> digests, bool remember);

  // The file a configuration keeps its ring in.
  static String PathFor(const String& tmpDir, const char* cfgFile);

 private:
  static constexpr uint32_t kIndexSize = 2 * kCapacity;  // a power of two, half full at most
  // An index entry: the ring position in its low bits, and above them a tag of the digest, so
  // that a probe reads the ring only when the tags agree.
  static constexpr int kPositionBits = 17;
  static constexpr uint32_t kPositionMask = (1u << kPositionBits) - 1;
  static constexpr uint32_t kNone = UINT32_MAX;  // no tag takes the highest value
  static_assert(kCapacity == 1u << kPositionBits);
  static constexpr size_t kMaxRun = 2;  // digests stored in one write: a request's two

  uint32_t Home(const TReplayDigest& digest) const;
  static uint32_t Entry(const TReplayDigest& digest, uint32_t position);
  // The index slot of digest, or of the empty slot where it would go.
  uint32_t Find(const TReplayDigest& digest) const;
  // The index slot of the ring's entry at position, which holds digest.
  uint32_t FindEntry(const TReplayDigest& digest, uint32_t position) const;
  void Erase(uint32_t slot);
  // Adds digest to the ring in memory, unless it is there already.
  void Remember(const TReplayDigest& digest);
  // Writes what was remembered since the ring stood at first to the file.
  void Store(uint32_t first);
  int Load(int fd);
  int Create(const String& path, String& err);
  bool WriteRing(int fd) const;
  // Writes bytes at offset at of the file: into its mapping, or with pwrite.
  void Put(const void* bytes, size_t length, off_t at);
  void MapFile();
  void Unmap();

  mutable std::mutex mutex_;
  uint8_t salt_[16] = {};
  std::vector<TReplayDigest> ring_;
  uint32_t next_ = 0;            // the ring's oldest entry, overwritten next
  std::vector<uint32_t> index_;  // entries, found by digest (linear probing)
  std::vector<TReplayDigest> claimed_;
  TUniqueFd file_;
  void* map_ = nullptr;  // the whole file, when mapped
};

// The agent's record.
TReplaySet& ReplaySet();
