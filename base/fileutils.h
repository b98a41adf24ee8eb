// Directory search with name masks and attribute filters, file queries and path string helpers.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>

#include "base/string.h"
#include "base/unique_fd.h"

// Attribute bits of a directory entry and of the set a search accepts.
enum : int32_t {
  AttrReadOnly = 1,    // access(W_OK) fails
  AttrHidden = 2,      // name starts with '.' and is neither "." nor ".."
  AttrSystem = 4,      // neither a regular file nor a directory
  AttrVolume = 8,      // accepted in a request, never set
  AttrDirectory = 16,  // a directory, or a symbolic link to one
  AttrArchive = 32,    // accepted in a request, never set
  AttrSymLink = 64,    // a symbolic link; never returned by a search
};

// An option of FindFirst's attribute set, outside the attribute bits: the
// caller does not read bit 1, so it is only worked out (one access() per
// entry) when the set excludes it. Folder walks that only add sizes or count
// entries pass it to run at the speed of a bare readdir and lstat.
constexpr int kFindSkipReadOnly = 0x100;

// One directory search and the entry it found last. Copies share the open
// directory; only FindClose closes it.
struct TSearchRec {
  int64_t Time = 0;  // st_mtime of the entry itself (lstat)
  int64_t Size = 0;  // st_size of the entry itself (lstat)
  int32_t Attr = 0;
  char Name[256] = {};
  uint32_t Mode = 0;  // st_mode (lstat)
  DIR* DirHandle = nullptr;
  int32_t ExcludeAttr = 0;  // attribute bits that reject an entry
  String Path;              // the directory searched, ending in '/'
  String Mask;
  bool SkipReadOnly = false;  // kFindSkipReadOnly was given and bit 1 is allowed
};

// Starts a search of path (the working directory when empty) for names
// matching mask whose attribute bits all lie within attr. 0: rec describes
// the first match and the directory stays open; -1: nothing matched (the
// directory is closed again); otherwise the errno of opendir.
int FindFirst(const String& path, const String& mask, int attr, TSearchRec& rec);
// 0 and rec describes the next match, or -1 when there is none.
int FindNext(TSearchRec& rec);
// Closes the directory if one is open; harmless when called twice.
void FindClose(TSearchRec& rec);
// Reads entries until one matches; 0 on a match, -1 at the end or on error.
int FindMatchingFile(TSearchRec& rec);

// Closes a search when the scope ends.
class TFindGuard {
 public:
  explicit TFindGuard(TSearchRec& rec) : rec_(rec) {}
  ~TFindGuard() { FindClose(rec_); }
  TFindGuard(const TFindGuard&) = delete;
  TFindGuard& operator=(const TFindGuard&) = delete;

 private:
  TSearchRec& rec_;
};

// The folder a search of path looks in, ending in '/': the working directory when path is
// empty, the path up to its first zero byte (as the system reads it); "" when there is none.
String SearchFolder(const String& path);

// Reads a directory's entries in large batches straight from the kernel, each with the type the
// file system records for it, without a stat: walks over large trees read folders with it.
class TDirReader {
 public:
  // Opens path as opendir does; false, with errno set, when it cannot.
  bool Open(const char* path);
  // The open directory, for lookups relative to it.
  int Fd() const { return fd_.Get(); }
  // The next entry's name and type (a DT_ value, DT_UNKNOWN when the file system keeps none),
  // or false at the end or on a read error. The name lives until the next call.
  bool Next(const char** name, unsigned char* type);

 private:
  TUniqueFd fd_;
  std::unique_ptr<char[]> buffer_;
  int length_ = 0;
  int offset_ = 0;
};

// Directory part of pathmask plus the name of the first entry, in directory
// order, that matches the name part and is not a directory; "" when none.
String GetFirstMatchedFile(const String& pathmask);

// Single-file queries; all follow symbolic links.
bool FileExists(const char* name);       // a regular file
bool DirectoryExists(const char* name);  // a directory
int64_t FileSize(const char* name);      // -1 when stat fails
int FileAge(const char* name);           // st_mtime cut to 32 bits, -1 when stat fails

// Whether the open file fd is one the agent may write into: a regular file of this process's
// user, of root or of its directory's owner (who could replace it anyway: a root agent's logs
// that logrotate makes for the agent's user), with no other name (a hard link planted
// elsewhere). why says what it is not.
bool IsOwnFile(int fd, uid_t directoryOwner, String& why);
// Opens path with flags (O_WRONLY, O_APPEND, O_CREAT ...) as a file of the agent's own:
// never through a symbolic link in its last component, created with mode when missing, and
// only when IsOwnFile. -1 otherwise, with why set (the system's text when it cannot be opened).
int OpenOwnFile(const char* path, int flags, mode_t mode, String& why);

// Path strings; '/' is the only delimiter and positions are 1-based.
String GetCurrentDir();  // "" when getcwd fails
bool IsPathDelimiter(const String& s, int i);
int LastDelimiter(const char* delims, const String& s);
String IncludeTrailingPathDelimiter(const String& s);
String ExcludeTrailingPathDelimiter(const String& s);
String ExtractFilePath(const String& s);
// The directory part without its final '/' (but for the root), "." when there is none.
String ExtractFileDir(const String& s);
String ExtractFileName(const String& s);

// Distinguishes the scratch files of concurrent threads and processes.
int64_t GetUniqueThreadID();
