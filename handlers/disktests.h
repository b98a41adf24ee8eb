// File-system workers of the disk, folder, file-presence, file-content and file-list requests.
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

// Bytes read at a time by the file-content workers.
constexpr int kFileReadBlock = 1 << 20;
// The largest file whose contents FindFileInFile looks for.
constexpr int64_t kMaxPatternFileSize = 8388608;

// Files of at least this size are read by two threads at once for their CRC.
constexpr int64_t kCrcSplitAt = 16 << 20;

// CRC-32 of a file's bytes; false with "File is not specified", "Cannot open
// file" or "Read error" in error.
bool GetFileCRC(const char* name, unsigned int* crc, String& error, int64_t splitAt = kCrcSplitAt);
// 1 when the shorter file is a prefix of the other, 0 when they differ, -1
// when a name is empty or a file cannot be opened or read.
int CompareFiles(const char* first, const char* second, int blockSize = kFileReadBlock);
// Positive when text occurs in the file (1-based offset of the first
// occurrence), 0 when it does not, -1 for an empty text or name or an I/O
// failure. Ignoring case lower-cases text in place. Whole words are bounded by
// the file's real neighbouring bytes or its start and end.
int64_t FindStrInFile(const char* name, String& text, int caseSensitive, int wholeWord,
                      int blockSize = kFileReadBlock);
// The same for the whole contents of patternFile (at most kMaxPatternFileSize
// bytes, else -1), compared byte for byte; an empty pattern file is found.
int64_t FindFileInFile(const char* name, const char* patternFile);
