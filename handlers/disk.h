// File-system workers of the disk-space, folder, file-count and file-presence requests.
#pragma once

#include <cstdint>

#include "base/string.h"

// The condition a file must meet to be counted by CountFiles.
enum TCountFilesMode : int32_t {
  AllFiles = 0,
  OlderThan = 1,    // modified before (now - limit) minutes
  NewerThan = 2,    // modified after (now - limit) minutes
  BiggerThan = 3,   // more than limit bytes
  SmallerThan = 4,  // fewer than limit bytes
  SubFolders = 5,   // sub-folders count instead of files
};

// Total, free and unprivileged-available bytes of the file system holding
// path; false with errno as statfs left it.
bool GetUNCDriveInfo(const char* path, int64_t& total, int64_t& free, int64_t& available);
// Entries a folder walk reads on its own before a second thread joins it.
constexpr int64_t kWalkHelperAfter = 20000;

// Apparent bytes of the files in path (a folder, or a folder and a file mask),
// sub-folders too when recurse is set; -1 when the folder cannot be read.
int64_t GetFolderSize(String path, bool recurse, int64_t helperAfter = kWalkHelperAfter);
// Files in folder matching mask (sub-folders in mode SubFolders) that meet the
// mode's condition against limit; -1 when the folder cannot be read.
int CountFiles(String folder, const String& mask, bool recurse, TCountFilesMode mode, int limit,
               int64_t helperAfter = kWalkHelperAfter);
// lstat of name (links describe themselves, directories succeed too).
bool GetFileInfo(const char* name, long& size, long& ctime, long& mtime);
// path with "%newestfile%", "%oldestfile%", "%newestfolder%" and
// "%oldestfolder%" replaced, left to right, by an entry of the folder before
// each; path unchanged when one of them names nothing.
String GetFileUsingSpecialMacros(String path);
long now_min();
long sec2min(long seconds);
