// Directory search, single-file queries and path string helpers over POSIX calls.
#include "base/fileutils.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/errors.h"

namespace {

// Bytes of directory entries read at once: a folder of some hundreds of entries in one call.
// The kernel writes them entry by entry, as fast into any buffer as into a page-aligned one.
constexpr int kBuffer = 32768;

// Symbolic links are never returned: bit 64 lies outside every request.
constexpr int32_t kRequestableAttr = 63;

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The bits that the entry type from readdir already proves, so that entries
// a search rejects anyway cost no system call.
int32_t AttrFromDirentType(unsigned char type) {
  switch (type) {
    case DT_UNKNOWN:
    case DT_REG:
      return 0;
    case DT_DIR:
      return AttrDirectory;
    case DT_LNK:
      return AttrSymLink | AttrSystem;
    default:
      return AttrSystem;
  }
}

// The attribute bits that lstat's mode proves; dirFd and name reach the
// entry again to see where a symbolic link points.
int32_t AttrFromMode(mode_t mode, int dirFd, const char* name, int32_t exclude) {
  if (S_ISDIR(mode)) return AttrDirectory;
  if (S_ISREG(mode)) return 0;
  int32_t attr = AttrSystem;
  if (S_ISLNK(mode)) {
    attr |= AttrSymLink;
    struct stat target;
    if ((attr & exclude) == 0 && fstatat(dirFd, name, &target, 0) == 0 && S_ISDIR(target.st_mode)) {
      attr |= AttrDirectory;
    }
  }
  return attr;
}

}  // namespace

int FindFirst(const String& path, const String& mask, int attr, TSearchRec& rec) {
  rec.ExcludeAttr = ~(attr & kRequestableAttr);
  rec.SkipReadOnly = (attr & kFindSkipReadOnly) != 0 && (attr & AttrReadOnly) != 0;
  rec.Path = SearchFolder(path);
  if (rec.Path.IsEmpty()) return ENOENT;
  rec.Mask = mask;
  rec.Mask.SetZero();
  rec.DirHandle = opendir(rec.Path.c_str());
  if (rec.DirHandle == nullptr) return errno;
  int result = FindMatchingFile(rec);
  if (result != 0) FindClose(rec);
  return result;
}

int FindNext(TSearchRec& rec) {
  return FindMatchingFile(rec);
}

void FindClose(TSearchRec& rec) {
  if (rec.DirHandle != nullptr) closedir(rec.DirHandle);
  rec.DirHandle = nullptr;
}

int FindMatchingFile(TSearchRec& rec) {
  if (rec.DirHandle == nullptr) return -1;
  String& mask = rec.Mask;
  if (mask.Length() >= mask.Capacity() || mask.Data()[mask.Length()] != '\0') mask.SetZero();
  const char* pattern = mask.c_str();
  const bool matchAll = pattern[0] == '*' && pattern[1] == '\0';
  const int dirFd = dirfd(rec.DirHandle);
  const int32_t exclude = rec.ExcludeAttr;

  // Entries are reached relative to the open directory: no full name is
  // built and the path is not walked again for every entry.
  for (;;) {
    const dirent* entry = readdir(rec.DirHandle);
    if (entry == nullptr) return -1;
    const char* name = entry->d_name;
    if (!matchAll && fnmatch(pattern, name, 0) != 0) continue;

    int32_t attr = (name[0] == '.' && !IsDotOrDotDot(name)) ? AttrHidden : 0;
    if (((attr | AttrFromDirentType(entry->d_type)) & exclude) != 0) continue;

    struct stat st;
    if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    attr |= AttrFromMode(st.st_mode, dirFd, name, exclude);
    if ((attr & exclude) != 0) continue;
    if (!rec.SkipReadOnly && faccessat(dirFd, name, W_OK, 0) != 0) {
      attr |= AttrReadOnly;
      if ((attr & exclude) != 0) continue;
    }

    rec.Size = st.st_size;
    rec.Attr = attr;
    rec.Mode = st.st_mode;
    rec.Time = st.st_mtime;
    size_t n = strnlen(name, sizeof(rec.Name) - 1);
    memcpy(rec.Name, name, n);
    rec.Name[n] = '\0';
    return 0;
  }
}

String SearchFolder(const String& path) {
  String folder = path.IsEmpty() ? GetCurrentDir() : path;
  // The system sees the path up to its first zero byte, and so must the names built from it:
  // a sub-folder's name would otherwise name this folder again.
  folder.SetLength(static_cast<int>(strlen(folder.SetZero().c_str())));
  // An unknown working directory must not turn into a search of "/".
  if (folder.IsEmpty()) return folder;
  folder = IncludeTrailingPathDelimiter(folder);
  folder.SetZero();
  return folder;
}

bool TDirReader::Open(const char* path) {
  fd_.Reset(open(path, O_RDONLY | O_NONBLOCK | O_DIRECTORY | O_CLOEXEC));
  length_ = offset_ = 0;
  if (!fd_.Valid()) return false;
  if (!buffer_) buffer_.reset(new char[kBuffer]);
  return true;
}

bool TDirReader::Next(const char** name, unsigned char* type) {
  if (offset_ >= length_) {
    const ssize_t n = fd_.Valid() ? getdents64(fd_.Get(), buffer_.get(), kBuffer) : -1;
    if (n <= 0) return false;
    length_ = static_cast<int>(n);
    offset_ = 0;
  }
  const auto* entry = reinterpret_cast<const dirent64*>(buffer_.get() + offset_);
  offset_ += entry->d_reclen;
  *name = entry->d_name;
  *type = entry->d_type;
  return true;
}

String GetFirstMatchedFile(const String& pathmask) {
  String name = ExtractFileName(pathmask);
  String dir = ExtractFilePath(pathmask);
  TSearchRec rec;
  constexpr int kNotDirectory = AttrReadOnly | AttrHidden | AttrSystem | AttrVolume | AttrArchive;
  if (FindFirst(dir, name, kNotDirectory | kFindSkipReadOnly, rec) != 0) {
    return String();
  }
  FindClose(rec);
  if ((rec.Attr & AttrDirectory) != 0) return String();
  return dir + rec.Name;
}

bool FileExists(const char* name) {
  struct stat st;
  return stat(name, &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const char* name) {
  struct stat st;
  return stat(name, &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsOwnFile(int fd, uid_t directoryOwner, String& why) {
  struct stat st;
  char text[64];
  if (fstat(fd, &st) != 0) {
    why = GetErrorStr(errno);
  } else if (!S_ISREG(st.st_mode)) {
    why = "not a regular file";
  } else if (st.st_uid != geteuid() && st.st_uid != 0 && st.st_uid != directoryOwner) {
    snprintf(text, sizeof(text), "owned by another user (uid %u)",
             static_cast<unsigned>(st.st_uid));
    why = text;
  } else if (st.st_nlink > 1) {
    snprintf(text, sizeof(text), "has %lu names (hard links)",
             static_cast<unsigned long>(st.st_nlink));
    why = text;
  } else {
    return true;
  }
  return false;
}

int OpenOwnFile(const char* path, int flags, mode_t mode, String& why) {
  // The file is opened in the very directory whose owner is looked at, whatever is renamed
  // meanwhile.
  const String dirName = ExtractFileDir(String(path));
  TUniqueFd dir(open(dirName.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat dirStat;
  if (!dir.Valid() || fstat(dir.Get(), &dirStat) != 0) {
    why = GetErrorStr(errno);
    return -1;
  }
  String name = ExtractFileName(String(path));
  name.SetZero();
  // Non-blocking, in case the name is a pipe: the check refuses it before anything waits.
  TUniqueFd fd(openat(dir.Get(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode));
  if (!fd.Valid()) {
    why = errno == ELOOP ? String("a symbolic link") : GetErrorStr(errno);
    return -1;
  }
  if (!IsOwnFile(fd.Get(), dirStat.st_uid, why)) return -1;
  fcntl(fd.Get(), F_SETFL, fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK);
  return fd.Release();
}

int64_t FileSize(const char* name) {
  struct stat st;
  return stat(name, &st) == 0 ? st.st_size : -1;
}

int FileAge(const char* name) {
  struct stat st;
  return stat(name, &st) == 0 ? static_cast<int>(st.st_mtime) : -1;
}

String GetCurrentDir() {
  char buf[4095];
  return getcwd(buf, sizeof(buf)) != nullptr ? String(buf) : String();
}

bool IsPathDelimiter(const String& s, int i) {
  return i >= 1 && i <= s.Length() && s[i] == '/';
}

int LastDelimiter(const char* delims, const String& s) {
  for (int i = s.Length(); i >= 1; --i) {
    char c = s[i];
    if (c != '\0' && strchr(delims, c) != nullptr) return i;
  }
  return 0;
}

String IncludeTrailingPathDelimiter(const String& s) {
  if (IsPathDelimiter(s, s.Length())) return s;
  return s + '/';
}

String ExcludeTrailingPathDelimiter(const String& s) {
  if (!IsPathDelimiter(s, s.Length())) return s;
  return s.Copy(1, s.Length() - 1);
}

String ExtractFilePath(const String& s) {
  return s.Copy(1, LastDelimiter("/", s));
}

String ExtractFileDir(const String& s) {
  String dir = ExtractFilePath(s);
  if (dir.Length() > 1) dir = ExcludeTrailingPathDelimiter(dir);
  return (dir.IsEmpty() ? String(".") : dir).SetZero();
}

String ExtractFileName(const String& s) {
  constexpr int kMaxName = 4095;
  int from = LastDelimiter("/", s) + 1;
  int count = s.Length() - from + 1;
  return s.Copy(from, count < kMaxName ? count : kMaxName);
}

int64_t GetUniqueThreadID() {
  // The shift wraps in 32 bits and is then sign-extended, as the names of
  // existing scratch files expect.
  int32_t pidPart = static_cast<int32_t>(static_cast<uint32_t>(getpid()) << 8);
  return static_cast<int64_t>(static_cast<uint64_t>(static_cast<int64_t>(pidPart)) +
                              static_cast<uint64_t>(pthread_self()));
}
