// What the fuzz targets share: a scratch directory and settings that point into it.
#include "fuzz/support.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "config/settings.h"
#include "protocol/twofish.h"

const std::string& ScratchDir() {
  static const std::string dir = [] {
    // Memory-backed when possible: the configuration saves fsync every file.
    char shm[] = "/dev/shm/orv-fuzz-XXXXXX";
    char tmp[] = "/tmp/orv-fuzz-XXXXXX";
    const char* made = mkdtemp(shm);
    if (made == nullptr) made = mkdtemp(tmp);
    if (made == nullptr) abort();
    static char removeAtExit[sizeof(shm)];
    snprintf(removeAtExit, sizeof(removeAtExit), "%s", made);
    atexit([] { std::filesystem::remove_all(removeAtExit); });
    return std::string(made);
  }();
  return dir;
}

void UseScratchSettings() {
  static bool done = false;
  if (done) return;
  done = true;
  Twofish_initialise();
  const std::string dir = ScratchDir();
  std::ofstream(dir + "/orv.cfg") << "port=1055\npassword=secret\norvpath=/bin/true\n"
                                  << "tmpdir=" << dir << "\n";
  std::ofstream(dir + "/count.sh") << "#!/bin/sh\necho 3\n";
  std::ofstream(dir + "/list.sh") << "#!/bin/sh\necho one\necho two\n";
  std::ofstream(dir + "/cpu.sh") << "#!/bin/sh\necho 12.5\n";
  for (const char* script : {"/count.sh", "/list.sh", "/cpu.sh"}) {
    chmod((dir + script).c_str(), 0755);
  }
  auto s = std::make_shared<TORVSettings>();
  s->SetCfgFile((dir + "/orv.cfg").c_str());
  String msg;
  s->ReadConfigFile(msg);
  s->proccntscript = (dir + "/count.sh").c_str();
  s->proclistscript = (dir + "/list.sh").c_str();
  s->cpuusagescript = (dir + "/cpu.sh").c_str();
  for (int32_t TORVSettings::*flag :
       {&TORVSettings::executeaction, &TORVSettings::tcpudpaction, &TORVSettings::syslogaction}) {
    (*s).*flag = 1;
  }
  s->PutRight(msg);
  PublishSettings(s);
  if (chdir(dir.c_str()) != 0) abort();
}
