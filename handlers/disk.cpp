// Disk space, folder size, file count and file presence tests with their file-system workers.
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "base/fileutils.h"
#include "handlers/disktests.h"
#include "handlers/handlers.h"
#include "handlers/handlerutil.h"

namespace {

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool MatchesMask(const String& mask, const char* name) {
  const char* pattern = mask.c_str();
  return (pattern[0] == '*' && pattern[1] == '\0') || fnmatch(pattern, name, 0) == 0;
}

// The rule of a count, worked out once per walk.
struct TCountRule {
  String mask;
  TCountFilesMode mode;
  int64_t limit;
  long thresholdMin;  // now in minutes less the limit, for the time modes
};

bool FileCounts(const TCountRule& rule, const TSearchRec& rec) {
  switch (rule.mode) {
    case AllFiles:
      return true;
    case OlderThan:
      return sec2min(rec.Time) < rule.thresholdMin;
    case NewerThan:
      return sec2min(rec.Time) > rule.thresholdMin;
    case BiggerThan:
      return rec.Size > rule.limit;
    case SmallerThan:
      return rec.Size < rule.limit;
    case SubFolders:
      return false;
  }
  return false;
}

// One folder of a count. Its own entries are counted by the rule; the
// attribute set 16 (plain, visible entries the agent may write) decides
// whether the folder counts at all and which sub-folders are entered, so
// that one pass over the folder answers both questions.
struct TFolderCount {
  int count = 0;
  bool matched = false;  // an entry matched the mask (the search for it found something)
  bool admits = false;   // an entry passes the attribute set 16
};

bool CountFolder(const String& folder, const TCountRule& rule, std::vector<String>* subFolders,
                 TFolderCount& result) {
  // Sizes and times are only read when the mode looks at them.
  const bool needStat = rule.mode != AllFiles && rule.mode != SubFolders;
  TSearchRec rec;
  TFindGuard guard(rec);
  int r = FindFirst(folder, "*", 63 | kFindSkipReadOnly | (needStat ? 0 : kFindSkipStat), rec);
  if (r > 0) return false;
  for (; r == 0; r = FindNext(rec)) {
    const bool isDir = (rec.Attr & AttrDirectory) != 0;
    const bool dots = isDir && IsDotOrDotDot(rec.Name);
    if (MatchesMask(rule.mask, rec.Name)) {
      result.matched = true;
      if (isDir ? rule.mode == SubFolders && !dots : FileCounts(rule, rec)) ++result.count;
    }
    // Set 16 admits only entries without other bits; the read-only bit is
    // worked out only where it can still change the outcome.
    const bool enter = isDir && !dots && subFolders != nullptr;
    if ((rec.Attr & ~AttrDirectory) != 0 || (result.admits && !enter)) continue;
    if (faccessat(dirfd(rec.DirHandle), rec.Name, W_OK, 0) != 0) continue;
    result.admits = true;
    if (enter) subFolders->push_back(rec.Path + rec.Name + "/");
  }
  return true;
}

}  // namespace

long now_min() {
  return sec2min(time(nullptr));
}

long sec2min(long seconds) {
  return seconds / 60;
}

bool GetUNCDriveInfo(const char* path, int64_t& total, int64_t& free, int64_t& available) {
  struct statfs st;
  if (statfs(path, &st) != 0) return false;
  const int64_t block = st.f_bsize;
  total = static_cast<int64_t>(st.f_blocks) * block;
  free = static_cast<int64_t>(st.f_bfree) * block;
  available = static_cast<int64_t>(st.f_bavail) * block;
  return true;
}

// Walks the folders one at a time from a list of pending ones, so a deep tree
// holds one directory stream and no stack per level.
int64_t GetFolderSize(String path, bool recurse) {
  String mask = "*";
  path.SetZero();
  if (!DirectoryExists(path.c_str())) {
    mask = ExtractFileName(path);
    path = ExtractFilePath(path);
  }
  mask.SetZero();
  std::vector<String> pending{path};
  int64_t total = 0;
  bool top = true;
  while (!pending.empty()) {
    String folder = std::move(pending.back());
    pending.pop_back();
    TSearchRec rec;
    TFindGuard guard(rec);
    int r = FindFirst(folder, "*", 63 | kFindSkipReadOnly, rec);
    // Unreadable sub-folders add nothing; only the folder asked for fails.
    if (r != 0 && top) return -1;
    top = false;
    for (; r == 0; r = FindNext(rec)) {
      if ((rec.Attr & AttrDirectory) == 0) {
        if (MatchesMask(mask, rec.Name)) total += rec.Size;
      } else if (recurse && !IsDotOrDotDot(rec.Name)) {
        pending.push_back(rec.Path + rec.Name + "/");
      }
    }
  }
  return total;
}

// A sub-folder counts, with everything below it, only when it admits an
// entry of the attribute set 16; the folder asked for fails in that case.
int CountFiles(String folder, const String& mask, bool recurse, TCountFilesMode mode, int limit) {
  if (!folder.IsEmpty() && folder[folder.Length()] != '/') folder += '/';
  TCountRule rule{mask, mode, limit, now_min() - limit};
  rule.mask.SetZero();
  std::vector<String> pending;
  TFolderCount top;
  if (!CountFolder(folder, rule, recurse ? &pending : nullptr, top)) return -1;
  if (!recurse) return top.matched || top.admits ? top.count : -1;
  if (!top.admits) return -1;
  int count = top.count;
  while (!pending.empty()) {
    String sub = std::move(pending.back());
    pending.pop_back();
    // Sub-folders are only queued by a folder that admits an entry.
    TFolderCount part;
    if (CountFolder(sub, rule, &pending, part) && part.admits) count += part.count;
  }
  return count;
}

bool GetFileInfo(const char* name, long& size, long& ctime, long& mtime) {
  struct stat st;
  if (name == nullptr || *name == '\0' || lstat(name, &st) != 0) return false;
  size = st.st_size;
  ctime = st.st_ctime;
  mtime = st.st_mtime;
  return true;
}

String GetFileUsingSpecialMacros(String path) {
  struct TMacro {
    const char* text;
    bool folders;
    bool newest;
  };
  static const TMacro kMacros[] = {{"%newestfile%", false, true},
                                   {"%oldestfile%", false, false},
                                   {"%newestfolder%", true, true},
                                   {"%oldestfolder%", true, false}};
  String done;
  String rest = path;
  String low = path;
  low.LowerCase();
  for (;;) {
    const TMacro* macro = nullptr;
    int at = 0;
    for (const TMacro& m : kMacros) {
      int p = low.Pos(m.text);
      if (p > 0 && (at == 0 || p < at)) {
        at = p;
        macro = &m;
      }
    }
    if (macro == nullptr) return done + rest;
    done += rest.Copy(1, at - 1);
    const int used = at - 1 + static_cast<int>(strlen(macro->text));
    rest.Delete(1, used);
    low.Delete(1, used);

    TSearchRec rec;
    TFindGuard guard(rec);
    bool chosen = false;
    int64_t chosenTime = 0;
    char chosenName[sizeof(rec.Name)];
    for (int r = FindFirst(done, "*", 63 | kFindSkipReadOnly, rec); r == 0; r = FindNext(rec)) {
      if (IsDotOrDotDot(rec.Name) || ((rec.Attr & AttrDirectory) != 0) != macro->folders) continue;
      if (chosen && (macro->newest ? rec.Time <= chosenTime : rec.Time >= chosenTime)) continue;
      chosen = true;
      chosenTime = rec.Time;
      memcpy(chosenName, rec.Name, sizeof(chosenName));
    }
    if (!chosen) return path;
    done += chosenName;
  }
}

void ProcessTest_UNC(const JXRequest& params, ORVReply& reply) {
  String path = params.GetParam(1, 1);
  if (!path.IsEmpty() && path[path.Length()] == '\\') path.SetLength(path.Length() - 1);
  if (path.IsEmpty()) return FailWith(reply, kResultBadParam, "Path not specified");
  path.SetZero();
  int64_t total = 0, free = 0, available = 0;
  if (!GetUNCDriveInfo(path.c_str(), total, free, available)) {
    const int error = errno;
    char text[256];
    reply.SetResult(kResultError);
    reply.AddStringParam(strerror_r(error, text, sizeof(text)), 1);
    return;
  }
  reply.SetResult(kResultOk);
  reply.AddIntParam(static_cast<long long>(total));
  reply.AddIntParam(static_cast<long long>(free));
  reply.AddIntParam(static_cast<long long>(available));
}

void ProcessTest_FolderSize(const JXRequest& params, ORVReply& reply) {
  String path = PathParam(params, 1, 8);
  int64_t size = GetFolderSize(path, orvDecodeBool(params.GetParam(2, 1)));
  if (size < 0) return FailWith(reply, kResultError, "Folder/File doesn`t exist or access denied");
  reply.SetResult(kResultOk);
  reply.AddIntParam(static_cast<long long>(size));
}

void ProcessTest_CountFiles(const JXRequest& params, ORVReply& reply) {
  String folder = PathParam(params, 1, 11);
  String mask = params.GetParam(2, 1);
  bool recurse = orvDecodeBool(params.GetParam(3, 1));
  int mode = 0;
  if (!LeadingIntParams(params, {{4, &mode}}) || mode < AllFiles || mode > SubFolders)
    return WrongParameter(reply);
  int limit = 0;
  if (!IntParams(params, {{5, &limit}})) return WrongParameter(reply);
  int count = CountFiles(folder, mask, recurse, static_cast<TCountFilesMode>(mode), limit);
  if (count == -1) return FailWith(reply, kResultError, "Folder doesn`t exist or access denied");
  reply.SetResult(kResultOk);
  reply.AddIntParam(count);
}

void ProcessTest_FileExists(const JXRequest& params, ORVReply& reply) {
  String name = PathParam(params, 1, 7);
  long size = 0, ctime = 0, mtime = 0;
  bool found = GetFileInfo(name.c_str(), size, ctime, mtime);
  if (!found) {
    name = GetFirstMatchedFile(name);
    name.SetZero();
    found = !name.IsEmpty() && GetFileInfo(name.c_str(), size, ctime, mtime);
  }
  if (!found) return FailWith(reply, kResultError, "no such file or acess denied");
  reply.SetResult(kResultOk);
  reply.AddIntParam(static_cast<long long>(size));
  reply.AddTimeParam(static_cast<time_t>(ctime));
  reply.AddTimeParam(static_cast<time_t>(mtime));
  reply.AddStringParam(name, 0);
}
