// Weak stand-in for the configuration file reader, so that this test binary links while the
// reader lives elsewhere; a real definition linked in replaces it.
#include "config/settings.h"

__attribute__((weak)) int TORVSettings::LoadOptions_(String& msg) {
  msg = "configuration reader not linked into this test binary";
  return 0;
}
