// The replay record: keyed fingerprints of every session key that passed the password proof, so
// that each key serves one request, and a captured packet, as it is or changed, serves none.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "base/string.h"
#include "base/unique_fd.h"

// The salted digest of a session key; the record keeps seven of its bytes and a generation.
struct TReplayDigest {
  uint8_t bytes[16] = {};
  bool operator==(const TReplayDigest& other) const;
};

// Where a used-up key is remembered. Keys of recognised requests are kept apart from the rest, so
// that junk, which anybody holding one captured proof can make, never pushes a real request out.
enum class TReplayMemory : uint8_t { kRecognised, kJunk };
inline constexpr int kReplayMemories = 2;

// The record's dimensions: 4 KiB pages, how many generations share them, and how many keys of
// each memory a page takes over the whole window, on average.
struct TReplayShape {
  uint32_t pages;
  uint32_t generations;  // 3 to 128
  uint32_t perPage[kReplayMemories];
};

// What Open and Check found, for the logs.
struct TReplayNote {
  bool warning;  // else a note for the system log only
  String text;
};

// The file is the table, read with pread and written with pwrite (so no change to the file can
// raise SIGBUS), and the process keeps none of it: what it reads sits in the page cache. The
// table is a hash of pages of 512 slots, a key's page the same in both memories, so that one
// read tells whether it was used. A slot holds 55 bits of a key's digest, its memory, and the
// generation of that memory it was remembered in. A memory's generation moves on when it has
// taken its share of keys, and the slots of the generation that falls out of its window read as
// free: forgetting in the order of remembering, without a ring or a deletion per key. A junk key
// never takes the slot of a recognised one. Without a usable file the same table lives in an
// anonymous memory file.
class TReplaySet {
 public:
  static constexpr uint32_t kPageBytes = 4096;
  static constexpr uint32_t kSlotsPerPage = kPageBytes / 8;
  // 32 MiB. Its pages are 64% recognised keys and 21% junk at most, on average, so that a page
  // is rarely full (its oldest junk key then goes, one generation early at most). A recognised
  // request's key is refused through 2,602,636 later recognised requests (30 days at one a
  // second), a junk key through 856,964 later junk requests.
  static constexpr TReplayShape kFullShape = {8191, 64, {328, 108}};

  explicit TReplaySet(TReplayShape shape = kFullShape);
  TReplaySet(const TReplaySet&) = delete;
  TReplaySet& operator=(const TReplaySet&) = delete;

  // Takes over the record kept at path, or writes it there. 1 when the record is kept in that
  // file; 0 when it lasts only as long as the process. notes receive what was wrong with the
  // file and what was done about it.
  int Open(const String& path, std::vector<TReplayNote>& notes);
  // Once a second: writes the record to its path again when the file there was deleted or
  // replaced, and gives a file that was cut short its length back.
  std::vector<TReplayNote> Check();

  TReplayDigest Digest(const String& sessionKey) const;
  // False when the key is remembered, or claimed by a request being served; otherwise claims
  // it, so that the same packet sent twice at once is served once. The claimed key is in the
  // record as junk before its request runs: an end of the process meanwhile (a restart, an
  // upgrade, a crash) leaves it used up.
  bool Claim(const TReplayDigest& digest);
  // Ends a claim: the key joins the memory of what its request turned out to be. A key that
  // nothing could be written for stays claimed, so that it is never served again.
  void Finish(const TReplayDigest& digest, TReplayMemory into);
  // The memory that holds the key now; none when it was forgotten or never came.
  std::optional<TReplayMemory> Remembered(const TReplayDigest& digest);

  // How many later keys of the same memory a remembered key stays refused through, at least.
  uint64_t Span(TReplayMemory memory) const;
  uint64_t FileBytes() const;

 private:
  struct TPage {
    uint64_t slots[kSlotsPerPage];
  };
  // A key being served, and the slot it was written to when claimed (0: none had room, or the
  // write failed; Finish then remembers it the ordinary way).
  struct TClaim {
    TReplayDigest digest;
    off_t at;
  };

  uint32_t PageOf(const TReplayDigest& digest) const;
  // How many generations of its memory ago a slot's key was remembered.
  uint32_t Age(uint64_t slot) const;
  bool Live(uint64_t slot) const;
  // The page's live slot of the key; null when it holds none.
  const uint64_t* Find(const TPage& page, const TReplayDigest& digest) const;
  bool ReadPage(uint32_t page, TPage& out);
  // ReadPage, and when the file cannot be read, the same from the record moved to memory.
  bool ReadPageOrMove(uint32_t page, TPage& out);
  // The slot of the page a key of memory goes in; -1 when it must not push any out.
  int ChooseSlot(uint32_t page, const TPage& slots, int memory) const;
  // Writes a slot's value, moving the record to memory when the file takes no write; false when
  // that failed too.
  bool WriteSlot(off_t at, uint64_t value);
  // A key has joined memory: its generation moves on once it has taken its share.
  void Count(int memory);
  // Into the key's page unless it is there; false when nothing could be written.
  bool Remember(const TReplayDigest& digest, int memory);
  void BuildHeader(uint8_t* header) const;
  bool WriteHeader(int fd) const;
  bool HeaderIntact();
  // Adopts fd as the record when it holds one of this shape; false with a note otherwise.
  bool Adopt(TUniqueFd& fd, std::vector<TReplayNote>& notes);
  // Takes over the keys of the ring an earlier version kept; false when fd holds none.
  bool Import(int fd);
  // Writes the record to path (through a new file renamed over it) and keeps it there.
  bool WriteFile(String& err);
  bool Resize(int fd, off_t size) const;
  // Makes fd, a file holding the record, the record's.
  void UseFile(TUniqueFd fd);
  // Moves the record into an anonymous memory file, so that it outlives a file it cannot use.
  void MoveToMemory();
  // A note about the file: "Replay record <path>" and the text.
  TReplayNote Note(bool warning, const char* format, ...) const
      __attribute__((format(printf, 3, 4)));

  const TReplayShape shape_;
  uint32_t capacity_[kReplayMemories];    // keys per generation
  uint32_t generation_[kReplayMemories];  // the newest
  uint32_t count_[kReplayMemories];       // keys of the newest generation
  uint8_t salt_[16] = {};

  mutable std::mutex mutex_;
  TUniqueFd fd_;
  String path_;
  bool inFile_ = false;
  int writeError_ = 0;            // of the last read or write that failed, until Check reports it
  bool writeFailing_ = false;     // Check reported the write error of the second before
  uint32_t rewriteFailures_ = 0;  // checks since the file could not be written again
  bool cutShort_ = false;         // a read met the file's end, until Check reports it
  std::vector<TClaim> claimed_;
};

// The agent's record.
TReplaySet& ReplaySet();
// Writes the notes to the system log, and warnings also to the failure log.
void LogReplayNotes(const std::vector<TReplayNote>& notes);
// The main loop's second: keeps the record's file in place and reports what happened to it.
void CheckReplayRecord();
