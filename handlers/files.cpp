// File CRC and file compare tests with their file-content workers.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>
#include <thread>

#include "base/fileutils.h"
#include "base/pagebuffer.h"
#include "base/unique_fd.h"
#include "handlers/files.h"
#include "handlers/handlers.h"
#include "handlers/handlerutil.h"
#include "protocol/crc32.h"
#include "search/rpolish.h"

namespace {

// Pipes, terminals and character devices such as /dev/zero block or never
// end: a request must not hold its session for ever, so they are not read.
bool Readable(const struct stat& st) {
  return !S_ISCHR(st.st_mode) && !S_ISFIFO(st.st_mode) && !S_ISSOCK(st.st_mode);
}

TUniqueFd OpenForReading(const char* name) {
  struct stat st;
  if (name == nullptr || *name == '\0' || stat(name, &st) != 0 || !Readable(st)) return {};
  TUniqueFd fd(open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  // Look again at what was opened: the name may have been replaced meanwhile.
  if (fd.Valid() && (fstat(fd.Get(), &st) != 0 || !Readable(st))) fd.Reset();
  if (fd.Valid()) posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  return fd;
}

// Reads until n bytes or the end of the file; -1 on a read error.
ssize_t ReadFull(int fd, char* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, buf + got, n - got);
    if (r == 0) break;
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    got += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

enum TCrcEnd { kCrcEnd, kCrcStop, kCrcError };

// Adds the file's bytes from offset on to sum, a block of buf at a time, moving offset along:
// to the end of the file (kCrcEnd), to stop (kCrcStop), or to a read that fails (kCrcError;
// with RWF_NOWAIT also one that would wait for the disk).
TCrcEnd CrcFrom(int fd, char* buf, int64_t& offset, int64_t stop, int flags, TCRC32& sum) {
  while (offset < stop) {
    iovec block{buf, static_cast<size_t>(std::min<int64_t>(kFileReadBlock, stop - offset))};
    const ssize_t n = flags == 0 ? pread(fd, block.iov_base, block.iov_len, offset)
                                 : preadv2(fd, &block, 1, offset, flags);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return kCrcError;
    if (n == 0) return kCrcEnd;
    sum.UpdateCRC(buf, static_cast<int>(n));
    offset += n;
  }
  return kCrcStop;
}

bool IsAlnumByte(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

bool GetFileCRC(const char* name, unsigned int* crc, String& error, int64_t splitAt) {
  error = "";
  if (name == nullptr || *name == '\0') {
    error = "File is not specified";
    return false;
  }
  TUniqueFd fd = OpenForReading(name);
  if (!fd.Valid()) {
    error = "Cannot open file";
    return false;
  }
  TPageBuffer buf(kFileReadBlock);
  struct stat st;
  if (!buf.Valid() || fstat(fd.Get(), &st) != 0) {
    error = "Read error";
    return false;
  }
  // A large file is read in two halves at once, the second by a helper thread: copying a cached
  // file out of the kernel and folding it are all the work, and a second processor shares it
  // (bench_datapath, 1 GiB cached: 80 ms against 124 ms alone, 35% less, when one is free; the
  // same as alone when none is). The helper reads only what is cached, so that a file on a disk
  // is still read from start to end in one run.
  const int64_t half = st.st_size >= splitAt ? st.st_size / 2 : 0;
  TPageBuffer tailBuf;
  if (half > 0) tailBuf.Allocate(kFileReadBlock);
  TCRC32 tail;
  int64_t tailOffset = half;
  TCrcEnd tailEnd = kCrcError;
  std::thread helper;
  if (tailBuf.Valid()) {
    try {
      helper = std::thread([&] {
        tailEnd = CrcFrom(fd.Get(), tailBuf.Data(), tailOffset, INT64_MAX, RWF_NOWAIT, tail);
      });
    } catch (const std::system_error&) {
    }
  }
  TCRC32 sum;
  int64_t offset = 0;
  TCrcEnd end = CrcFrom(fd.Get(), buf.Data(), offset, helper.joinable() ? half : INT64_MAX, 0, sum);
  if (helper.joinable()) helper.join();
  // The first half read whole: the helper's part follows it, and whatever it left (not cached,
  // or appended meanwhile) is read here. A file cut below the half ended the read already.
  if (end == kCrcStop) {
    sum.Combine(tail.GetCRC(), tailOffset - half);
    offset = tailOffset;
    end = tailEnd == kCrcEnd ? kCrcEnd : CrcFrom(fd.Get(), buf.Data(), offset, INT64_MAX, 0, sum);
  }
  if (end == kCrcError) {
    error = "Read error";
    return false;
  }
  *crc = sum.GetCRC();
  return true;
}

int CompareFiles(const char* first, const char* second, int blockSize) {
  TUniqueFd a = OpenForReading(first);
  if (!a.Valid()) return -1;
  TUniqueFd b = OpenForReading(second);
  if (!b.Valid()) return -1;
  const size_t block = static_cast<size_t>(std::max(blockSize, 1));
  const TPageBuffer bufferA(block);
  const TPageBuffer bufferB(block);
  if (!bufferA.Valid() || !bufferB.Valid()) return -1;
  char* bufA = bufferA.Data();
  char* bufB = bufferB.Data();
  for (;;) {
    ssize_t na = ReadFull(a.Get(), bufA, block);
    ssize_t nb = ReadFull(b.Get(), bufB, block);
    if (na < 0 || nb < 0) return -1;
    if (memcmp(bufA, bufB, static_cast<size_t>(std::min(na, nb))) != 0) return 0;
    // Only the common length is compared: a prefix of the other file is the same.
    if (static_cast<size_t>(na) < block || static_cast<size_t>(nb) < block) return 1;
  }
}

// The file is read in blocks after a carry of the last n + 1 bytes of the
// previous ones, so a match across two reads is found and a whole-word match
// is judged by the bytes really beside it: only the file's start and end bound
// a word, never the edge of a read. The carry goes in front of the read area,
// so that every read still lands on a page boundary.
int64_t FindStrInFile(const char* name, String& text, int caseSensitive, int wholeWord,
                      int blockSize) {
  const int n = text.Length();
  if (n == 0 || n > INT_MAX / 4 || name == nullptr || *name == '\0') return -1;
  TUniqueFd fd = OpenForReading(name);
  struct stat st;
  if (!fd.Valid() || fstat(fd.Get(), &st) != 0) return -1;
  if (n > st.st_size) return 0;
  if (!caseSensitive) text.LowerCase();
  TTextMatcher matcher;
  matcher.Prepare(text, caseSensitive, 0);

  // A long text gets longer reads, so that carrying it costs less than reading.
  const int block = static_cast<int>(
      std::min<int64_t>({std::max(blockSize, 2 * n), st.st_size + 1, INT_MAX / 2}));
  const size_t front = TPageBuffer::RoundUp(static_cast<size_t>(n) + 1);
  const TPageBuffer buf(front + static_cast<size_t>(block));
  if (!buf.Valid()) return -1;
  char* const readArea = buf.Data() + front;
  char* b = readArea;  // the carried bytes, then the last read
  int64_t base = 0;    // file offset of b[0]
  int len = 0;         // bytes in b
  int from = 0;        // first start position in b not yet examined
  for (;;) {
    ssize_t got = ReadFull(fd.Get(), readArea, static_cast<size_t>(block));
    if (got < 0) return -1;
    const bool atEnd = got < block;
    len += static_cast<int>(got);

    int next = std::max(from, len - n + 1);  // where the next read's search starts
    for (int pos = from; pos <= len - n;) {
      int found = matcher.Find(b + pos, len - pos);
      if (found == 0) break;
      const int i = pos + found - 1;
      if (!wholeWord) return base + i + 1;
      if (i + n == len && !atEnd) {
        next = i;  // the byte after it is not read yet
        break;
      }
      // i is 0 only at the start of the file: later reads begin with a carried byte.
      const bool boundedBefore = i == 0 || !IsAlnumByte(b[i - 1]);
      const bool boundedAfter = i + n == len || !IsAlnumByte(b[i + n]);
      if (boundedBefore && boundedAfter) return base + i + 1;
      pos = i + 1;
    }
    if (atEnd) return 0;

    // Keep the unexamined tail and the byte before it, just before the read area.
    const int keep = next - 1;
    const int carry = len - keep;
    memmove(readArea - carry, b + keep, static_cast<size_t>(carry));
    b = readArea - carry;
    base += keep;
    len = carry;
    from = 1;
  }
}

int64_t FindFileInFile(const char* name, const char* patternFile) {
  if (patternFile == nullptr || *patternFile == '\0') return -1;
  const int64_t size = FileSize(patternFile);
  if (size == 0) return 1;
  if (size < 0 || size > kMaxPatternFileSize) return -1;
  String contents;
  {
    TUniqueFd fd = OpenForReading(patternFile);
    const TPageBuffer buf(static_cast<size_t>(size));
    if (!fd.Valid() || !buf.Valid()) return -1;
    ssize_t got = ReadFull(fd.Get(), buf.Data(), static_cast<size_t>(size));
    if (got < 0) return -1;
    contents.CopyData(buf.Data(), static_cast<int>(got));
  }  // the read's buffer goes before the search takes its own
  return FindStrInFile(name, contents, 1, 0);
}

int64_t FileCRCMemory(const JXRequest&) {
  return 2 * kFileReadBlock;  // the halves read at once
}

int64_t FileCompareMemory(const JXRequest& params) {
  const String mode = params.GetParam(1, 1);
  if (mode == "2") {
    // The text, its matcher, the carry in front of the reads and reads of twice its length.
    return 4 * int64_t{params.GetParam(3, 1).Length()} + kFileReadBlock;
  }
  if (mode == "3") {
    String second = params.GetParam(3, 1);
    const int64_t size =
        std::clamp<int64_t>(FileSize(second.SetZero().c_str()), 0, kMaxPatternFileSize);
    // The pattern as read, as a text, and then as mode 2 holds a text.
    return 5 * size + kFileReadBlock;
  }
  return 2 * kFileReadBlock;
}

void ProcessTest_FileCRC(const JXRequest& params, ORVReply& reply) {
  String name = params.GetParam(1, 1);
  name.SetZero();
  unsigned int crc = 0;
  String error;
  if (!GetFileCRC(name.c_str(), &crc, error)) {
    reply.SetResult(kResultError) += error;
    return;
  }
  reply.SetResult(kResultOk);
  reply.AddIntParam(static_cast<long long>(crc));
}

void ProcessTest_FileCompare(const JXRequest& params, ORVReply& reply) {
  // Stands whenever a file named below is missing.
  FailWith(reply, kResultError, "File doesn`t exist");
  const String mode = params.GetParam(1, 1);
  const String first = PathParam(params, 2, 12);
  if (!FileExists(first.c_str())) return;

  int64_t result = 0;
  if (mode == "1") {
    const String second = PathParam(params, 3, 13);
    if (!FileExists(second.c_str())) return;
    const bool times = orvDecodeBool(params.GetParam(4, 1));
    const bool sizes = orvDecodeBool(params.GetParam(5, 1));
    const bool contents = orvDecodeBool(params.GetParam(6, 1));
    result = 1;
    if (times && FileAge(first.c_str()) != FileAge(second.c_str())) {
      result = 0;
    } else {
      if (sizes) result = FileSize(first.c_str()) == FileSize(second.c_str());
      if (result == 1 && contents) result = CompareFiles(first.c_str(), second.c_str());
    }
  } else if (mode == "2") {
    String text = params.GetParam(3, 1);
    result = FindStrInFile(first.c_str(), text, orvDecodeBool(params.GetParam(4, 1)),
                           orvDecodeBool(params.GetParam(5, 1)));
  } else if (mode == "3") {
    String second = params.GetParam(3, 1);
    second.SetZero();
    if (!FileExists(second.c_str())) return;
    const int64_t size = FileSize(second.c_str());
    if (size > kMaxPatternFileSize) {
      return FailWith(reply, kResultError, "The size of the second file cannot exceed 8Mb");
    }
    result = FindFileInFile(first.c_str(), second.c_str());
  } else {
    return FailWith(reply, kResultBadParam, "Wrong parameter");
  }
  if (result < 0) return FailWith(reply, kResultError, "I/O Error");
  reply.SetResult(kResultOk);
  reply.AddBoolParam(result > 0);
}
