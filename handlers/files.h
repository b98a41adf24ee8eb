// File-content workers: a file's CRC, the comparison of two files, and text in a file.
#pragma once

#include <cstdint>

#include "base/string.h"

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
