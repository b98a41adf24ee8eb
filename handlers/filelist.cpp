// The file list request: the sub-folders and files of one folder with their attributes.
#include <atomic>
#include <cstring>
#include <ctime>
#include <tuple>

#include "base/fileutils.h"
#include "handlers/disk.h"
#include "handlers/handlers.h"
#include "handlers/handlerutil.h"

namespace {

std::atomic<int> fileListRoom{kReplyTextRoom};

void AddFileStr(ORVReply& list, const String& folder, const TSearchRec& entry, int withSize,
                int withStatusTime, int withModTime) {
  // Names travel with the line-break escapes: a name holding LF or CR would
  // otherwise shift every line of the listing after it.
  list.AddStringParam(entry.Name, 1);
  list.AddIntParam(static_cast<int>(entry.Attr));
  if (withSize) list.AddIntParam(static_cast<long long>(entry.Size));
  if (withStatusTime) {
    String full = folder + entry.Name;
    full.SetZero();
    long size = 0, ctime = 0, mtime = 0;
    if (!GetFileInfo(full.c_str(), size, ctime, mtime)) ctime = 0;
    list.AddTimeParam(static_cast<time_t>(ctime));
  }
  if (withModTime) list.AddTimeParam(static_cast<time_t>(entry.Time));
}

}  // namespace

void SetFileListRoom(int bytes) {
  fileListRoom = bytes;
}

void ProcessInfo_GetFileList(const JXRequest& params, ORVReply& reply) {
  String folder = params.GetParam(1, 1);
  String mask = params.GetParam(2, 1);
  const bool withFolders = orvDecodeBool(params.GetParam(3, 1));
  const bool withFiles = orvDecodeBool(params.GetParam(4, 1));
  const bool withHidden = orvDecodeBool(params.GetParam(5, 1));
  const bool withSystem = orvDecodeBool(params.GetParam(6, 1));
  const int withSize = orvDecodeBool(params.GetParam(7, 1));
  const int withStatusTime = orvDecodeBool(params.GetParam(8, 1));
  const int withModTime = orvDecodeBool(params.GetParam(9, 1));

  if (folder.IsEmpty()) folder = "/";
  folder.SetZero();
  if (folder[folder.Length()] != '/' && !DirectoryExists(folder.c_str())) {
    folder = ExtractFilePath(folder);
  }
  folder = IncludeTrailingPathDelimiter(folder);
  if (mask.IsEmpty()) mask = "*";
  const int attr = 63 & ~(withHidden ? 0 : AttrHidden) & ~(withSystem ? 0 : AttrSystem);

  // The listing is cut off as soon as it and the folder line would pass the
  // packet cap, so that a huge folder costs no more than one full reply.
  const int64_t room = static_cast<int64_t>(fileListRoom) - folder.Length();
  ORVReply list;
  int count = 0;
  TSearchRec rec;
  const std::tuple<bool, const String, bool> passes[] = {{withFolders, "*", true},
                                                         {withFiles, mask, false}};
  for (const auto& [wanted, passMask, folders] : passes) {
    if (!wanted) continue;
    TFindGuard guard(rec);
    for (int r = FindFirst(folder, passMask, attr, rec); r == 0 && list.Length() <= room;
         r = FindNext(rec)) {
      if (((rec.Attr & AttrDirectory) != 0) != folders || strcmp(rec.Name, ".") == 0) continue;
      ++count;
      AddFileStr(list, folder, rec, withSize, withStatusTime, withModTime);
    }
  }
  if (list.Length() > room)
    return FailWith(reply, kResultError, "FilesList output is too large for the reply");

  reply.SetResult(kResultOk);
  reply.AddStringParam(folder, 0);
  reply.AddIntParam(count);
  reply.AddIntParam(2 + withSize + withStatusTime + withModTime);
  reply += list;
}
