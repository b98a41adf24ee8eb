// MD5 digests (Nettle underneath) behind the agent's open/digest/close interface.
#pragma once

#include <nettle/md5.h>

struct MD5 {
  md5_ctx ctx;
};

void MD5Open(MD5* context);
void MD5Digest(MD5* context, const void* data, unsigned int len);
// Writes the 16-byte digest and zeroes the whole context.
void MD5Close(MD5* context, unsigned char digest[16]);
