// Stand-ins for the configuration loader until it lands, so tests that touch settings link.
// Weak: the loader's own definitions replace these. Delete this file when it arrives.
#include "config/settings.h"

__attribute__((weak)) int TORVSettings::LoadOptions_(String& msg) {
  msg = "configuration loader not built";
  return 0;
}

__attribute__((weak)) int TORVSettings::SaveOptions_(String& msg) {
  msg = "configuration loader not built";
  return 0;
}

__attribute__((weak)) void TORVSettings::PutRight(String& msg) {
  msg = "";
}
