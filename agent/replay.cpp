// The replay record: a ring of salted digests in memory and in a file beside the agent's
// temporary files.
#include "agent/replay.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <nettle/sha2.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// File layout: magic, salt, a position of the ring (little-endian), then the ring. The ring
// goes on at the first empty entry from that position on (see Store).
constexpr char kMagic[8] = {'O', 'R', 'V', 'S', 'E', 'E', 'N', '1'};
constexpr off_t kSaltAt = sizeof(kMagic);
constexpr off_t kNextAt = kSaltAt + 16;
constexpr off_t kRingAt = kNextAt + 8;
constexpr off_t kFileSize = kRingAt + off_t{TReplaySet::kCapacity} * sizeof(TReplayDigest);

// Runs a positioned read or write until all length bytes at p are done.
template <typename Byte, typename Call>
bool Whole(Call call, Byte* p, size_t length, off_t at) {
  while (length > 0) {
    const ssize_t n = call(p, length, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    at += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, void* buffer, size_t length, off_t at) {
  return Whole([fd](char* p, size_t n, off_t o) { return pread(fd, p, n, o); },
               static_cast<char*>(buffer), length, at);
}

bool WriteAll(int fd, const void* buffer, size_t length, off_t at) {
  return Whole([fd](const char* p, size_t n, off_t o) { return pwrite(fd, p, n, o); },
               static_cast<const char*>(buffer), length, at);
}

void RandomBytes(uint8_t* p, size_t length) {
  while (length > 0) {
    ssize_t n = getrandom(p, length, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) abort();  // no kernel randomness: nothing here would be safe
    p += n;
    length -= static_cast<size_t>(n);
  }
}

// The file's field for the ring's next position: little-endian, padded to 8 bytes.
using TNextField = std::array<uint8_t, kRingAt - kNextAt>;
TNextField NextField(uint32_t next) {
  TNextField field{};
  for (int i = 0; i < 4; ++i) field[i] = static_cast<uint8_t>(next >> (8 * i));
  return field;
}

off_t EntryAt(uint32_t position) {
  return kRingAt + off_t{position} * sizeof(TReplayDigest);
}

uint32_t ReadLE32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

bool TReplayDigest::operator==(const TReplayDigest& other) const {
  return memcmp(bytes, other.bytes, sizeof(bytes)) == 0;
}

TReplaySet::TReplaySet() : ring_(kCapacity), index_(kIndexSize, kNone) {
  RandomBytes(salt_, sizeof(salt_));
}

TReplayDigest TReplaySet::Digest(char kind, const char* data, int length) const {
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, sizeof(salt_), salt_);
  sha256_update(&context, 1, reinterpret_cast<const uint8_t*>(&kind));
  sha256_update(&context, length > 0 ? length : 0, reinterpret_cast<const uint8_t*>(data));
  TReplayDigest digest;
  sha256_digest(&context, sizeof(digest.bytes), digest.bytes);
  return digest;
}

uint32_t TReplaySet::Home(const TReplayDigest& digest) const {
  return ReadLE32(digest.bytes) & (kIndexSize - 1);
}

// The tag comes from bytes the home slot does not use.
uint32_t TReplaySet::Entry(const TReplayDigest& digest, uint32_t position) {
  constexpr uint32_t kTags = (kNone >> kPositionBits) - 1;  // kNone's own tag is left out
  const uint32_t tag = ReadLE32(digest.bytes + 4) % kTags;
  return (tag << kPositionBits) | position;
}

uint32_t TReplaySet::Find(const TReplayDigest& digest) const {
  const uint32_t tagged = Entry(digest, 0);
  uint32_t slot = Home(digest);
  for (uint32_t e; (e = index_[slot]) != kNone; slot = (slot + 1) & (kIndexSize - 1)) {
    if ((e & ~kPositionMask) == tagged && ring_[e & kPositionMask] == digest) break;
  }
  return slot;
}

uint32_t TReplaySet::FindEntry(const TReplayDigest& digest, uint32_t position) const {
  const uint32_t entry = Entry(digest, position);
  uint32_t slot = Home(digest);
  while (index_[slot] != kNone && index_[slot] != entry) slot = (slot + 1) & (kIndexSize - 1);
  return slot;
}

// Empties an index slot and moves later entries of its probe run back, so
// that every entry stays reachable from its home slot.
void TReplaySet::Erase(uint32_t slot) {
  constexpr uint32_t kMask = kIndexSize - 1;
  for (;;) {
    index_[slot] = kNone;
    uint32_t next = slot;
    for (;;) {
      next = (next + 1) & kMask;
      if (index_[next] == kNone) return;
      const uint32_t home = Home(ring_[index_[next] & kPositionMask]);
      // The entry may move into the hole unless its home lies after the hole.
      const bool stays =
          slot <= next ? (slot < home && home <= next) : (slot < home || home <= next);
      if (!stays) break;
    }
    index_[slot] = index_[next];
    slot = next;
  }
}

void TReplaySet::Remember(const TReplayDigest& digest) {
  if (index_[Find(digest)] != kNone) return;
  TReplayDigest& oldest = ring_[next_];
  if (!oldest.IsEmpty()) {
    const uint32_t slot = FindEntry(oldest, next_);
    if (index_[slot] != kNone) Erase(slot);
  }
  oldest = digest;
  index_[Find(digest)] = Entry(digest, next_);
  next_ = (next_ + 1) % kCapacity;
}

// Writes the entries remembered since the ring stood at `first`, and an
// empty entry after them: in the file the first empty entry from the stored
// position on is where the ring goes on, so the position need not be written
// with every digest, only when the ring wraps. One write as a rule.
void TReplaySet::Store(uint32_t first) {
  const uint32_t count = (next_ + kCapacity - first) % kCapacity;
  if (!file_.Valid() || count == 0) return;
  TReplayDigest run[kMaxRun + 1] = {};
  for (uint32_t i = 0; i < count; ++i) run[i] = ring_[(first + i) % kCapacity];
  const uint32_t beforeEnd = std::min(count + 1, kCapacity - first);
  Put(run, beforeEnd * sizeof(TReplayDigest), EntryAt(first));
  if (beforeEnd == count + 1) return;
  Put(run + beforeEnd, (count + 1 - beforeEnd) * sizeof(TReplayDigest), EntryAt(0));
  const TNextField next = NextField(0);
  Put(next.data(), next.size(), kNextAt);
}

void TReplaySet::Put(const void* bytes, size_t length, off_t at) {
  if (map_ != nullptr) {
    memcpy(static_cast<char*>(map_) + at, bytes, length);
    return;
  }
  // A failed write (a full disk) only shortens the memory of a later process.
  WriteAll(file_.Get(), bytes, length, at);
}

// The file in memory, shared with the page cache: a digest stored costs a copy, where a write
// costs a system call and the file system's write path (2 us of the 40 us a request takes).
// Only where a store into a page of the file can never need new space, else a full disk would
// end the agent with SIGBUS: file systems that overwrite in place, and tmpfs.
void TReplaySet::MapFile() {
  Unmap();
  struct statfs fs {};
  if (fstatfs(file_.Get(), &fs) != 0) return;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case XFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
      break;
    default:
      return;
  }
  void* map = mmap(nullptr, kFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, file_.Get(), 0);
  if (map != MAP_FAILED) map_ = map;
}

void TReplaySet::Unmap() {
  if (map_ != nullptr) munmap(map_, kFileSize);
  map_ = nullptr;
}

TReplaySet::~TReplaySet() {
  Unmap();
}

bool TReplaySet::Claim(const TReplayDigest& digest) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index_[Find(digest)] != kNone) return false;
  if (std::find(claimed_.begin(), claimed_.end(), digest) != claimed_.end()) return false;
  claimed_.push_back(digest);
  return true;
}

void TReplaySet::Finish(const TReplayDigest& digest, bool remember) {
  Finish(std::span<const TReplayDigest>(&digest, 1), remember);
}

void TReplaySet::Finish(std::span<const TReplayDigest> digests, bool remember) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const TReplayDigest& digest : digests) {
    auto claim = std::find(claimed_.begin(), claimed_.end(), digest);
    if (claim != claimed_.end()) {
      *claim = claimed_.back();
      claimed_.pop_back();
    }
  }
  if (!remember) return;
  for (size_t done = 0; done < digests.size(); done += kMaxRun) {
    const uint32_t first = next_;
    for (size_t i = done; i < std::min(digests.size(), done + kMaxRun); ++i) {
      Remember(digests[i]);
    }
    Store(first);
  }
}

// Takes over a ring file: its salt, position and digests. 0 when it is not one.
int TReplaySet::Load(int fd) {
  struct stat st {};
  char magic[sizeof(kMagic)];
  uint8_t next[8];
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & 077) != 0 || st.st_size != kFileSize || !ReadAll(fd, magic, sizeof(magic), 0) ||
      memcmp(magic, kMagic, sizeof(kMagic)) != 0 || !ReadAll(fd, next, sizeof(next), kNextAt) ||
      ReadLE32(next) >= kCapacity) {
    return 0;
  }
  std::vector<TReplayDigest> ring(kCapacity);
  uint8_t salt[sizeof(salt_)];
  if (!ReadAll(fd, salt, sizeof(salt), kSaltAt) ||
      !ReadAll(fd, ring.data(), ring.size() * sizeof(TReplayDigest), kRingAt)) {
    return 0;
  }
  memcpy(salt_, salt, sizeof(salt_));
  ring_ = std::move(ring);
  std::fill(index_.begin(), index_.end(), kNone);
  for (uint32_t i = 0; i < kCapacity; ++i) {
    if (!ring_[i].IsEmpty()) index_[Find(ring_[i])] = Entry(ring_[i], i);
  }
  // The ring goes on at the first empty entry from the stored position; a ring
  // full without one (as an older agent kept it) goes on at that position.
  next_ = ReadLE32(next);
  for (uint32_t i = 0; i < kCapacity; ++i) {
    const uint32_t at = (next_ + i) % kCapacity;
    if (ring_[at].IsEmpty()) {
      next_ = at;
      break;
    }
  }
  return 1;
}

// The ring, a page at a time: one large write leaves the file's cache in large folios, and each
// digest stored later then costs time in proportion to its folio (6 us rather than 0.5 on ext4).
bool TReplaySet::WriteRing(int fd) const {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const auto* bytes = reinterpret_cast<const char*>(ring_.data());
  const size_t size = ring_.size() * sizeof(TReplayDigest);
  for (size_t done = 0; done < size; done += page) {
    if (!WriteAll(fd, bytes + done, std::min(page, size - done),
                  kRingAt + static_cast<off_t>(done))) {
      return false;
    }
  }
  return true;
}

// A new ring file holding what this process has remembered so far.
int TReplaySet::Create(const String& path, String& err) {
  unlink(path.c_str());
  TUniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  const TNextField next = NextField(next_);
  if (!fd.Valid() || flock(fd.Get(), LOCK_EX | LOCK_NB) != 0 || ftruncate(fd.Get(), 0) != 0 ||
      !WriteAll(fd.Get(), kMagic, sizeof(kMagic), 0) ||
      !WriteAll(fd.Get(), salt_, sizeof(salt_), kSaltAt) ||
      !WriteAll(fd.Get(), next.data(), next.size(), kNextAt) || !WriteRing(fd.Get())) {
    err = strerror(errno);
    err.SetZero();
    if (fd.Valid()) unlink(path.c_str());
    return 0;
  }
  file_ = std::move(fd);
  MapFile();
  return 1;
}

int TReplaySet::Open(const String& path, String& err) {
  err = "";
  std::lock_guard<std::mutex> lock(mutex_);
  String name = path;
  name.SetZero();
  TUniqueFd fd(open(name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
  if (fd.Valid()) {
    // Another agent on the same configuration keeps it: share nothing with it.
    if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
      err = "in use by another process";
      err.SetZero();
      return 0;
    }
    if (Load(fd.Get())) {
      file_ = std::move(fd);
      MapFile();
      return 1;
    }
  }
  return Create(name, err);
}

String TReplaySet::PathFor(const String& tmpDir, const char* cfgFile) {
  // Named after the configuration, so that agents sharing a temporary
  // directory keep apart and a re-executed agent finds its own.
  char resolved[PATH_MAX];
  const char* name = realpath(cfgFile, resolved) != nullptr ? resolved : cfgFile;
  uint64_t hash = 14695981039346656037ULL;  // FNV-1a
  for (const char* p = name; *p != '\0'; ++p) {
    hash = (hash ^ static_cast<unsigned char>(*p)) * 1099511628211ULL;
  }
  char file[40];
  snprintf(file, sizeof(file), "/orv__%016llx.seen", static_cast<unsigned long long>(hash));
  String path = tmpDir.IsEmpty() ? String(".") : tmpDir;
  if (path[path.Length()] == '/') path.SetLength(path.Length() - 1);
  return (path + file).SetZero();
}

TReplaySet& ReplaySet() {
  static TReplaySet set;
  return set;
}
