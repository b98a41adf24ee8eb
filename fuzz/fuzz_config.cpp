// Fuzzes the configuration loader, its check and the in-place rewrite on arbitrary files.
#include <fstream>

#include "config/settings.h"
#include "config/settings_check.h"
#include "fuzz/support.h"
#include "net/peer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  UseScratchSettings();
  const std::string path = ScratchDir() + "/fuzz.cfg";
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  TORVSettings settings;
  settings.SetCfgFile(path.c_str());
  String msg;
  settings.ReadConfigFile(msg);
  // The check resolves a host name: a fuzzed one would go out to the name servers.
  TPeerAddress literal;
  if (!TPeerAddress::Parse(settings.host.c_str(), literal)) settings.host = "";
  CheckSettings(settings);
  settings.WriteConfigFile(msg);
  TORVSettings reloaded;
  reloaded.SetCfgFile(path.c_str());
  reloaded.ReadConfigFile(msg);
  return 0;
}
