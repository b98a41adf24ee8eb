// The system's text for an error number.
#include "base/errors.h"

#include <cstring>

String GetErrorStr(int error) {
  char buf[1024];
  return String(strerror_r(error, buf, sizeof(buf)));
}
