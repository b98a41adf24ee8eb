// MD5 open/digest/close on top of Nettle.
#include "protocol/md5.h"

#include <cstdint>
#include <cstring>

void MD5Open(MD5* context) {
  memset(context, 0, sizeof(*context));
  md5_init(&context->ctx);
}

void MD5Digest(MD5* context, const void* data, unsigned int len) {
  if (len > 0) md5_update(&context->ctx, len, static_cast<const uint8_t*>(data));
}

void MD5Close(MD5* context, unsigned char digest[16]) {
  md5_digest(&context->ctx, MD5_DIGEST_SIZE, digest);
  memset(context, 0, sizeof(*context));
}
