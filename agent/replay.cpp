// The replay record: the keyed fingerprints of two memories in one table, a file of fixed size
// read a page and written a slot at a time.
#include "agent/replay.h"

#include <endian.h>
#include <fcntl.h>
#include <nettle/sha2.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/log.h"
#include "base/errors.h"

namespace {

// Page 0 holds the header: magic, salt, the shape, then each memory's newest generation, all
// little-endian. The table's pages follow.
constexpr char kMagic[8] = {'O', 'R', 'V', 'S', 'E', 'E', 'N', '2'};
constexpr off_t kSaltAt = 8;
constexpr off_t kShapeAt = 24;
constexpr int kShapeFields = 2 + kReplayMemories;
constexpr off_t kGenerationsAt = kShapeAt + 4 * kShapeFields;
constexpr size_t kHeaderBytes = kGenerationsAt + 4 * kReplayMemories;

// A slot: the generation's low byte, the memory, then 55 bits of the digest; 0 when empty.
constexpr int kMemoryBit = 8;
constexpr int kFingerprintShift = 9;
constexpr int kJunk = static_cast<int>(TReplayMemory::kJunk);

// The ring an earlier version kept: magic, salt, a position, then 131,072 digests.
constexpr char kRingMagic[8] = {'O', 'R', 'V', 'S', 'E', 'E', 'N', '1'};
constexpr off_t kRingPositionAt = 24;
constexpr off_t kRingAt = 32;
constexpr uint32_t kRingEntries = 131072;
constexpr off_t kRingFileBytes = kRingAt + off_t{kRingEntries} * sizeof(TReplayDigest);

// How a note ends: what became of the file.
constexpr const char* kReplaced = ": a new record replaces it";
constexpr const char* kInMemory = ": the record lasts until the agent ends";
// How many checks (seconds) apart a file that cannot be written again is tried again.
constexpr uint32_t kRewriteChecks = 60;

// Bytes read at `at` into buffer, up to length; fewer only at the end of the file; -1 on error.
ssize_t ReadUpTo(int fd, void* buffer, size_t length, off_t at) {
  auto* p = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = pread(fd, p + done, length - done, at + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

bool ReadAll(int fd, void* buffer, size_t length, off_t at) {
  return ReadUpTo(fd, buffer, length, at) == static_cast<ssize_t>(length);
}

bool WriteAll(int fd, const void* buffer, size_t length, off_t at) {
  const auto* p = static_cast<const char*>(buffer);
  while (length > 0) {
    const ssize_t n = pwrite(fd, p, length, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    at += n;
    length -= static_cast<size_t>(n);
  }
  return true;
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

uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The slot's 55 bits of a digest, never all zero: an empty slot reads 0.
uint64_t Fingerprint(const TReplayDigest& digest) {
  uint64_t fingerprint = 0;
  for (int i = 0; i < 7; ++i) fingerprint |= uint64_t{digest.bytes[4 + i]} << (8 * i);
  fingerprint &= ~uint64_t{0} >> kFingerprintShift;
  return fingerprint != 0 ? fingerprint : 1;
}

uint64_t SlotValue(uint64_t fingerprint, int memory, uint32_t generation) {
  return (fingerprint << kFingerprintShift) | (uint64_t(memory) << kMemoryBit) |
         (generation & 0xFF);
}

off_t SlotAt(uint32_t page, int index) {
  return off_t{page} * TReplaySet::kPageBytes + off_t{index} * sizeof(uint64_t);
}

int MemoryOf(uint64_t slot) {
  return static_cast<int>((slot >> kMemoryBit) & 1);
}

// How many generations ago, by the memory's newest generation, a slot's key was remembered.
uint32_t AgeIn(uint64_t slot, const uint32_t* generation) {
  return (generation[MemoryOf(slot)] - static_cast<uint32_t>(slot)) & 0xFF;
}

// Zero pages over [from, to) (from a page's start), one write a page: the file's blocks are
// taken now, so that no later write fails for want of space, and its cache stays in single
// pages. A larger write or read leaves large folios, and each slot written into one later costs
// time in proportion to it (in the agent on ext4, claim and remember took 18 us rather than 13).
bool FillZeros(int fd, off_t from, off_t to) {
  static const char kZeros[TReplaySet::kPageBytes] = {};
  for (off_t at = from; at < to; at += TReplaySet::kPageBytes) {
    if (!WriteAll(fd, kZeros, sizeof(kZeros), at)) return false;
  }
  return true;
}

// A record file, never through a link.
TUniqueFd OpenRecord(const String& path, int flags) {
  TUniqueFd fd(open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | flags, 0600));
  // Keys are spread evenly over the file: reading ahead would only fill the cache, and in
  // large folios.
  if (fd.Valid()) posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_RANDOM);
  return fd;
}

bool AllZero(const char* p, size_t length) {
  return length == 0 || (p[0] == 0 && memcmp(p, p + 1, length - 1) == 0);
}

// Copies every page but the header from one record file to another, a page at a time. Empty
// pages are written only when holes must not be left (a file on disk, not one in memory).
bool CopyPages(int from, int to, off_t bytes, bool holes) {
  char page[TReplaySet::kPageBytes];
  for (off_t at = TReplaySet::kPageBytes; at < bytes; at += TReplaySet::kPageBytes) {
    ssize_t n = ReadUpTo(from, page, sizeof(page), at);
    if (n < 0) n = 0;
    memset(page + n, 0, sizeof(page) - n);
    if ((!holes || !AllZero(page, sizeof(page))) && !WriteAll(to, page, sizeof(page), at)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool TReplayDigest::operator==(const TReplayDigest& other) const {
  return memcmp(bytes, other.bytes, sizeof(bytes)) == 0;
}

TReplaySet::TReplaySet(TReplayShape shape) : shape_(shape) {
  for (int m = 0; m < kReplayMemories; ++m) {
    capacity_[m] = std::max<uint32_t>(
        1, static_cast<uint32_t>(uint64_t{shape.pages} * shape.perPage[m] / shape.generations));
    generation_[m] = 0;
    count_[m] = 0;
  }
  RandomBytes(salt_, sizeof(salt_));
  MoveToMemory();
}

uint64_t TReplaySet::Span(TReplayMemory memory) const {
  // A key's generation lasts through generations - 1 more; a full page may drop a junk key
  // during the last of them.
  return uint64_t{shape_.generations - 2} * capacity_[static_cast<int>(memory)];
}

uint64_t TReplaySet::FileBytes() const {
  return (uint64_t{1} + shape_.pages) * kPageBytes;
}

TReplayNote TReplaySet::Note(bool warning, const char* format, ...) const {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return {warning, (String("Replay record ") + path_ + text).SetZero()};
}

TReplayDigest TReplaySet::Digest(const String& sessionKey) const {
  // The kind byte keeps the digests of keys what they were in the earlier ring.
  static constexpr uint8_t kKind = 'K';
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, sizeof(salt_), salt_);
  sha256_update(&context, 1, &kKind);
  sha256_update(&context, sessionKey.Length(), reinterpret_cast<const uint8_t*>(sessionKey.Data()));
  TReplayDigest digest;
  sha256_digest(&context, sizeof(digest.bytes), digest.bytes);
  return digest;
}

uint32_t TReplaySet::PageOf(const TReplayDigest& digest) const {
  return 1 + static_cast<uint32_t>((uint64_t{Le32(digest.bytes)} * shape_.pages) >> 32);
}

uint32_t TReplaySet::Age(uint64_t slot) const {
  return AgeIn(slot, generation_);
}

bool TReplaySet::Live(uint64_t slot) const {
  return slot != 0 && Age(slot) < shape_.generations;
}

const uint64_t* TReplaySet::Find(const TPage& page, const TReplayDigest& digest) const {
  const uint64_t fingerprint = Fingerprint(digest);
  for (const uint64_t& slot : page.slots) {
    if ((slot >> kFingerprintShift) == fingerprint && Live(slot)) return &slot;
  }
  return nullptr;
}

// A page cut off by the file's end reads as empty. False when the read failed.
bool TReplaySet::ReadPage(uint32_t page, TPage& out) {
  const ssize_t n = ReadUpTo(fd_.Get(), out.slots, kPageBytes, off_t{page} * kPageBytes);
  if (n < 0) {
    writeError_ = errno;
    memset(out.slots, 0, kPageBytes);
    return false;
  }
  if (n < static_cast<ssize_t>(kPageBytes)) cutShort_ = true;
  memset(reinterpret_cast<char*>(out.slots) + n, 0, kPageBytes - n);
  for (uint64_t& slot : out.slots) slot = le64toh(slot);
  return true;
}

bool TReplaySet::WriteHeader(int fd) const {
  uint8_t header[kHeaderBytes];
  BuildHeader(header);
  return WriteAll(fd, header, sizeof(header), 0);
}

bool TReplaySet::HeaderIntact() {
  uint8_t expected[kHeaderBytes];
  uint8_t found[kHeaderBytes];
  BuildHeader(expected);
  return ReadAll(fd_.Get(), found, sizeof(found), 0) && memcmp(found, expected, kHeaderBytes) == 0;
}

void TReplaySet::BuildHeader(uint8_t* header) const {
  memset(header, 0, kHeaderBytes);
  memcpy(header, kMagic, sizeof(kMagic));
  memcpy(header + kSaltAt, salt_, sizeof(salt_));
  const uint32_t shape[kShapeFields] = {shape_.pages, shape_.generations, shape_.perPage[0],
                                        shape_.perPage[1]};
  for (int i = 0; i < kShapeFields; ++i) PutLe32(header + kShapeAt + 4 * i, shape[i]);
  for (int m = 0; m < kReplayMemories; ++m)
    PutLe32(header + kGenerationsAt + 4 * m, generation_[m]);
}

bool TReplaySet::ReadPageOrMove(uint32_t page, TPage& out) {
  if (ReadPage(page, out)) return true;
  MoveToMemory();
  return ReadPage(page, out);
}

bool TReplaySet::WriteSlot(off_t at, uint64_t value) {
  const uint64_t stored = htole64(value);
  if (WriteAll(fd_.Get(), &stored, sizeof(stored), at)) return true;
  writeError_ = errno;
  MoveToMemory();
  return WriteAll(fd_.Get(), &stored, sizeof(stored), at);
}

void TReplaySet::Count(int memory) {
  if (++count_[memory] < capacity_[memory]) return;
  ++generation_[memory];
  count_[memory] = 0;
  if (!WriteHeader(fd_.Get())) writeError_ = errno;
}

// The slot that matters least: an empty one, else one whose generation has left its memory's
// window (the oldest: so none lives long enough for its generation's tag to come round again, 256
// generations on), else the page's oldest junk key, else, for a recognised key only, the page's
// oldest recognised key. Never the slot of a key being served: its claim re-tags it later.
int TReplaySet::ChooseSlot(uint32_t number, const TPage& page, int memory) const {
  std::bitset<kSlotsPerPage> claimed;
  const off_t first = SlotAt(number, 0);
  for (const TClaim& c : claimed_) {
    if (c.at >= first && c.at < first + off_t{kPageBytes})
      claimed.set((c.at - first) / sizeof(uint64_t));
  }
  int chosen = -1;
  uint32_t chosenRank = 0;
  for (uint32_t i = 0; i < kSlotsPerPage; ++i) {
    const uint64_t slot = page.slots[i];
    const uint32_t age = Age(slot);
    uint32_t rank;  // higher goes first; 0 never
    if (claimed[i]) {
      rank = 0;
    } else if (slot == 0) {
      rank = 4 << 8;
    } else if (age >= shape_.generations) {
      rank = (3 << 8) | age;
    } else if (MemoryOf(slot) == kJunk) {
      rank = (2 << 8) | age;
    } else {
      rank = memory == kJunk ? 0 : (1 << 8) | age;
    }
    if (rank > chosenRank) {
      chosen = static_cast<int>(i);
      chosenRank = rank;
    }
  }
  return chosen;
}

bool TReplaySet::Claim(const TReplayDigest& digest) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const TClaim& c : claimed_) {
    if (c.digest == digest) return false;
  }
  const uint32_t number = PageOf(digest);
  TPage page;
  // A record that cannot be read serves nothing rather than everything.
  if (!ReadPageOrMove(number, page) || Find(page, digest) != nullptr) return false;
  // Junk until its request proves otherwise: a stranger's claims must not push out recognised
  // keys. A page of recognised keys alone takes it only when it is finished.
  const int chosen = ChooseSlot(number, page, kJunk);
  off_t at = chosen < 0 ? 0 : SlotAt(number, chosen);
  if (at != 0 && !WriteSlot(at, SlotValue(Fingerprint(digest), kJunk, generation_[kJunk]))) at = 0;
  claimed_.push_back({digest, at});
  return true;
}

void TReplaySet::Finish(const TReplayDigest& digest, TReplayMemory into) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int memory = static_cast<int>(into);
  auto claim = std::find_if(claimed_.begin(), claimed_.end(),
                            [&digest](const TClaim& c) { return c.digest == digest; });
  bool written;
  if (claim != claimed_.end() && claim->at != 0) {
    // In place: the slot it was claimed in is its own until now.
    written = WriteSlot(claim->at, SlotValue(Fingerprint(digest), memory, generation_[memory]));
    if (written) Count(memory);
  } else {
    written = Remember(digest, memory);
  }
  if (!written) {
    // Neither the file nor memory took it: kept here, it is still never served again.
    if (claim == claimed_.end()) {
      claimed_.push_back({digest, 0});
    } else {
      claim->at = 0;
    }
    return;
  }
  if (claim != claimed_.end()) {
    *claim = claimed_.back();
    claimed_.pop_back();
  }
}

std::optional<TReplayMemory> TReplaySet::Remembered(const TReplayDigest& digest) {
  std::lock_guard<std::mutex> lock(mutex_);
  TPage page;
  const uint64_t* slot = ReadPage(PageOf(digest), page) ? Find(page, digest) : nullptr;
  if (slot == nullptr) return std::nullopt;
  return static_cast<TReplayMemory>(MemoryOf(*slot));
}

bool TReplaySet::Remember(const TReplayDigest& digest, int memory) {
  const uint32_t number = PageOf(digest);
  TPage page;
  if (!ReadPageOrMove(number, page)) return false;
  if (Find(page, digest) != nullptr) return true;
  const int chosen = ChooseSlot(number, page, memory);
  if (chosen < 0) return true;  // a page of recognised keys alone: junk does not push one out
  if (!WriteSlot(SlotAt(number, chosen),
                 SlotValue(Fingerprint(digest), memory, generation_[memory]))) {
    return false;
  }
  Count(memory);
  return true;
}

// Gives a file of `size` bytes the record's length back, with the blocks of what it adds taken.
bool TReplaySet::Resize(int fd, off_t size) const {
  const auto bytes = static_cast<off_t>(FileBytes());
  const off_t kept = (std::min(size, bytes) + kPageBytes - 1) / kPageBytes * kPageBytes;
  return ftruncate(fd, bytes) == 0 && FillZeros(fd, kept, bytes);
}

void TReplaySet::UseFile(TUniqueFd fd) {
  fd_ = std::move(fd);
  inFile_ = true;
}

void TReplaySet::MoveToMemory() {
  TUniqueFd memory(memfd_create("orv-replay", MFD_CLOEXEC));
  if (!memory.Valid() || ftruncate(memory.Get(), FileBytes()) != 0 || !WriteHeader(memory.Get()) ||
      (fd_.Valid() && !CopyPages(fd_.Get(), memory.Get(), FileBytes(), true))) {
    return;
  }
  fd_ = std::move(memory);
  inFile_ = false;
}

bool TReplaySet::WriteFile(String& err) {
  const String temp = (path_ + ".new").SetZero();
  unlink(temp.c_str());
  TUniqueFd fd = OpenRecord(temp, O_CREAT | O_EXCL);
  const bool written = fd.Valid() && flock(fd.Get(), LOCK_EX | LOCK_NB) == 0 &&
                       WriteHeader(fd.Get()) &&
                       CopyPages(fd_.Get(), fd.Get(), static_cast<off_t>(FileBytes()), false) &&
                       rename(temp.c_str(), path_.c_str()) == 0;
  if (!written) {
    err = GetErrorStr(errno);
    err.SetZero();
    if (fd.Valid()) unlink(temp.c_str());
    return false;
  }
  UseFile(std::move(fd));
  return true;
}

bool TReplaySet::Import(int fd) {
  uint8_t salt[sizeof(salt_)];
  uint8_t position[4];
  std::vector<TReplayDigest> ring(kRingEntries);
  if (!ReadAll(fd, salt, sizeof(salt), kSaltAt) ||
      !ReadAll(fd, position, sizeof(position), kRingPositionAt) ||
      !ReadAll(fd, ring.data(), ring.size() * sizeof(TReplayDigest), kRingAt)) {
    return false;
  }
  memcpy(salt_, salt, sizeof(salt_));
  WriteHeader(fd_.Get());
  // The ring went on at its first empty entry from the stored position: the oldest follow it.
  const TReplayDigest empty{};
  uint32_t start = Le32(position) % kRingEntries;
  for (uint32_t i = 0; i < kRingEntries; ++i) {
    if (ring[(start + i) % kRingEntries] == empty) {
      start = (start + i) % kRingEntries;
      break;
    }
  }
  for (uint32_t i = 0; i < kRingEntries; ++i) {
    const TReplayDigest& digest = ring[(start + i) % kRingEntries];
    if (!(digest == empty)) Remember(digest, static_cast<int>(TReplayMemory::kRecognised));
  }
  return true;
}

bool TReplaySet::Adopt(TUniqueFd& fd, std::vector<TReplayNote>& notes) {
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    notes.push_back(Note(true, " is not a regular file%s", kReplaced));
    return false;
  }
  if (st.st_uid != geteuid()) {
    notes.push_back(Note(true, " belongs to user %u%s", st.st_uid, kReplaced));
    return false;
  }
  if (st.st_nlink > 1) {  // a name planted for another file
    notes.push_back(
        Note(true, " has %lu names%s", static_cast<unsigned long>(st.st_nlink), kReplaced));
    return false;
  }
  if ((st.st_mode & 077) != 0) {
    notes.push_back(Note(true, " had mode %04o: made 0600", st.st_mode & 07777));
    fchmod(fd.Get(), 0600);
  }
  const auto unreadable = [&] {
    notes.push_back(Note(true, " cannot be read (%s)%s", GetErrorStr(errno).c_str(), kReplaced));
    return false;
  };
  uint8_t header[kHeaderBytes] = {};
  const ssize_t got = ReadUpTo(fd.Get(), header, sizeof(header), 0);
  if (got < 0) return unreadable();
  if (memcmp(header, kRingMagic, sizeof(kRingMagic)) == 0 && st.st_size == kRingFileBytes &&
      Import(fd.Get())) {
    notes.push_back(Note(false, " converted from the earlier ring of 65,536 requests"));
    return false;
  }
  uint8_t expected[kHeaderBytes];
  BuildHeader(expected);
  if (got < static_cast<ssize_t>(kHeaderBytes) || memcmp(header, kMagic, sizeof(kMagic)) != 0 ||
      memcmp(header + kShapeAt, expected + kShapeAt, kGenerationsAt - kShapeAt) != 0) {
    notes.push_back(Note(true, " is not a replay record of this agent%s", kReplaced));
    return false;
  }
  // The newest generation of each memory takes the keys it holds already.
  uint32_t generation[kReplayMemories];
  for (int m = 0; m < kReplayMemories; ++m) generation[m] = Le32(header + kGenerationsAt + 4 * m);
  uint32_t count[kReplayMemories] = {};
  for (uint32_t page = 1; page <= shape_.pages; ++page) {
    uint64_t slots[kSlotsPerPage];
    const ssize_t n = ReadUpTo(fd.Get(), slots, kPageBytes, off_t{page} * kPageBytes);
    if (n < 0) return unreadable();
    for (size_t i = 0; i < static_cast<size_t>(n) / sizeof(uint64_t); ++i) {
      const uint64_t slot = le64toh(slots[i]);
      count[MemoryOf(slot)] += slot != 0 && AgeIn(slot, generation) == 0;
    }
  }
  if (st.st_size < static_cast<off_t>(FileBytes())) {
    notes.push_back(Note(true,
                         " was cut short to %lld bytes: the keys it held past them are forgotten",
                         static_cast<long long>(st.st_size)));
  }
  if (st.st_size != static_cast<off_t>(FileBytes()) && !Resize(fd.Get(), st.st_size)) {
    notes.push_back(Note(true, " cannot be resized (%s)%s", GetErrorStr(errno).c_str(), kReplaced));
    return false;
  }
  memcpy(salt_, header + kSaltAt, sizeof(salt_));
  for (int m = 0; m < kReplayMemories; ++m) {
    generation_[m] = generation[m];
    count_[m] = std::min(count[m], capacity_[m] - 1);
  }
  UseFile(std::move(fd));
  return true;
}

int TReplaySet::Open(const String& path, std::vector<TReplayNote>& notes) {
  std::lock_guard<std::mutex> lock(mutex_);
  path_ = path;
  path_.SetZero();
  TUniqueFd fd = OpenRecord(path_, 0);
  const int openError = fd.Valid() ? 0 : errno;
  if (openError == ELOOP) {
    notes.push_back(Note(true, " is a symbolic link, not followed%s", kReplaced));
  } else if (openError != 0 && openError != ENOENT) {
    notes.push_back(
        Note(true, " cannot be opened (%s)%s", GetErrorStr(openError).c_str(), kReplaced));
  } else if (fd.Valid() && flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    // Another agent on the same configuration keeps it: share nothing with it.
    notes.push_back(Note(true, " is in use by another process%s", kInMemory));
    return 0;
  } else if (fd.Valid() && Adopt(fd, notes)) {
    return 1;
  }
  String err;
  if (!WriteFile(err)) {
    notes.push_back(Note(true, " cannot be written (%s)%s", err.c_str(), kInMemory));
    return 0;
  }
  if (openError == ENOENT) notes.push_back(Note(false, " created"));
  return 1;
}

std::vector<TReplayNote> TReplaySet::Check() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<TReplayNote> notes;
  // Once for a run of seconds with failures: each request may fail the same way.
  if (writeError_ != 0 && !writeFailing_) {
    notes.push_back(
        Note(true, " cannot be written (%s)%s", GetErrorStr(writeError_).c_str(), kInMemory));
  }
  writeFailing_ = writeError_ != 0;
  writeError_ = 0;
  struct stat own {};
  if (!inFile_ || fstat(fd_.Get(), &own) != 0) return notes;
  struct stat named {};
  const char* what = nullptr;
  if (lstat(path_.c_str(), &named) != 0) {
    what = " was deleted";
  } else if (named.st_ino != own.st_ino || named.st_dev != own.st_dev) {
    what = " was replaced";
  }
  if (what == nullptr) {
    rewriteFailures_ = 0;
    if (cutShort_ || own.st_size < static_cast<off_t>(FileBytes()) || !HeaderIntact()) {
      // Writes since may have given it its length back: a short read or the header tells.
      notes.push_back(
          Note(true, " was cut short: the keys it held past its new end are forgotten"));
      if (!Resize(fd_.Get(), own.st_size) || !WriteHeader(fd_.Get())) writeError_ = errno;
    }
  } else if (rewriteFailures_++ % kRewriteChecks == 0) {
    // Tried again once a minute, and warned of once, while it cannot be written: each try
    // copies the whole record.
    String err;
    if (WriteFile(err)) {
      notes.push_back(Note(true, "%s: written again", what));
      rewriteFailures_ = 0;
    } else if (rewriteFailures_ == 1) {
      notes.push_back(
          Note(true, "%s, and cannot be written again (%s)%s", what, err.c_str(), kInMemory));
    }
  }
  cutShort_ = false;
  return notes;
}

TReplaySet& ReplaySet() {
  static TReplaySet set;
  return set;
}

void LogReplayNotes(const std::vector<TReplayNote>& notes) {
  for (const TReplayNote& note : notes) {
    String text = note.text;
    text.SetZero();
    showmessage("%s\n", LOCAL, note.warning ? mtFailure : mtInfo, 1, text.c_str());
    SystemLog(LOG_DAEMON | (note.warning ? LOG_WARNING : LOG_INFO), "%s", text.c_str());
  }
}

void CheckReplayRecord() {
  LogReplayNotes(ReplaySet().Check());
}
