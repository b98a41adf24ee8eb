// How loading, saving and the check read a configuration file: pieces of lines, keys and values.
#pragma once

#include <sys/types.h>

#include <cstdio>

#include "base/string.h"
#include "base/unique_fd.h"
#include "config/settings_table.h"

// A file is read in pieces of at most this many bytes less one; each piece
// is handled as a line of its own.
inline constexpr int kPieceSize = 1024;

// Reads the next piece into buf: up to and including a line feed, at most
// kPieceSize - 1 bytes. Returns its length, 0 at the end of the file.
int ReadPiece(FILE* f, char (&buf)[kPieceSize]);

// What a line says, as 0-based offsets into it.
struct TConfigLine {
  bool assignment = false;           // neither a comment nor without '='
  const TSettingRow* row = nullptr;  // the known key it sets; null: none
  int keyStart = 0;
  int keyEnd = 0;
  int valueStart = 0;
  int valueEnd = 0;
};

TConfigLine ParseLine(const char* p, int n);

// A file that holds one secret (a password file) is read whole up to this many bytes.
inline constexpr int kMaxSecretFile = 4096;

// What a secret file holds, and who may read it.
struct TSecretFile {
  String value;            // its first line, without the LF or CR LF
  bool moreLines = false;  // anything but blanks follows that line
  uid_t owner = 0;
  mode_t mode = 0;  // the permission bits
};

// Reads the secret file at path. 1, or 0 with the reason (the system's, or why the file is not
// one).
int ReadSecretFile(const String& path, TSecretFile& file, String& reason);

// Opens the configuration file for reading; a directory is refused (reading
// one fails only later). Null with the system's reason when it cannot be read.
TFilePtr OpenConfigFile(const char* path, String& reason);
