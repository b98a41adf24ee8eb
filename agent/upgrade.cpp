// Self-upgrade: receiving a new executable over a session and writing the swap script.
#include "agent/upgrade.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/log.h"
#include "base/environment.h"
#include "base/errors.h"
#include "base/fileutils.h"
#include "base/privileges.h"
#include "base/process.h"
#include "config/settings.h"
#include "protocol/cipher.h"
#include "protocol/envelope.h"
#include "protocol/reply.h"

std::mutex upgrade_mutex;

namespace {

constexpr int kChecksumSize = 16;
constexpr int64_t kMinUpgradeSize = 100;       // sizes must be above this
constexpr int64_t kMaxUpgradeSize = 10485760;  // and below this
constexpr mode_t kExecMode = 0775;             // the new executable, as the agent's own is
constexpr mode_t kScriptMode = 0700;           // the swap script: run by the agent alone
// A copy of 10 MiB takes far less: a swap script past this has hung.
constexpr int kScriptTimeLimitMs = 60000;
// Set once the swap script is written: every session's end asks, so it takes no lock.
std::atomic<bool> scriptReady{false};

// The temporary directory the manager's files go to: TMPDIR, else TMP, else none.
String TempDir() {
  return GetTempDirectory(nullptr);
}

String TempExecutableName() {
  String name = TempDir();
  if (name.Length() == 0 || name[name.Length()] != '/') name += '/';
  name += "orv__.upd";
  return name.SetZero();
}

String ScriptName() {
  String dir = TempDir();
  String name = dir.Copy(1, 1023);
  name += "/orvupd__.sh";
  return name.SetZero();
}

// Creates path afresh for writing: whatever stood there (a stale file or a
// planted link) is removed first, and the new file is never followed through a link.
FILE* CreateFresh(const String& path, const char* mode) {
  unlink(path.c_str());
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, mode);
  if (f == nullptr) close(fd);
  return f;
}

void CloseFile(UpgradeRec& upgrade) {
  if (upgrade.File != nullptr) {
    fclose(upgrade.File);
    upgrade.File = nullptr;
  }
}

int Fail(UpgradeRec& upgrade, String& err, const char* text, bool removeFile) {
  if (err.Length() == 0) err = text;
  CloseFile(upgrade);
  if (removeFile) unlink(upgrade.FileName.c_str());
  upgrade.ClearanceUpgrade();
  return 0;
}

bool WriteScript(const String& scriptName, const String& text, String& err) {
  FILE* script = CreateFresh(scriptName, "w");
  if (script == nullptr) return false;
  bool ok = fwrite(text.Data(), 1, text.Length(), script) == static_cast<size_t>(text.Length());
  if (fclose(script) != 0) ok = false;
  if (!ok) return false;
  if (chmod(scriptName.c_str(), kScriptMode) != 0) {
    err = "Cannot set exec flag for script";
    return false;
  }
  return true;
}

// Whether the agent's user may put a new file in the place of path: the swap script removes
// it and copies the new executable there. false with the reason otherwise.
bool CanReplace(String path, String& reason) {
  path.SetZero();
  const String dir = ExtractFileDir(path);
  const String who = String("the agent's user ") + CurrentAccount().name;
  if (faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    reason = String("Cannot replace ") + path + ": " + who + " may not write in " + dir + " (" +
             GetErrorStr(errno) + ")";
    return false;
  }
  // In a sticky directory only the owner of a file, or of the directory, may remove it.
  struct stat in {};
  struct stat file {};
  if (stat(dir.c_str(), &in) == 0 && (in.st_mode & S_ISVTX) != 0 &&
      lstat(path.c_str(), &file) == 0 && file.st_uid != geteuid() && in.st_uid != geteuid() &&
      geteuid() != 0) {
    reason = String("Cannot replace ") + path + ": " + who + " owns neither it nor " + dir;
    return false;
  }
  return true;
}

}  // namespace

UpgradeRec::~UpgradeRec() {
  if (!InProgress) return;
  CloseFile(*this);
  if (FileName.Length() > 0) unlink(FileName.c_str());
  ClearanceUpgrade();
}

int UpgradeRec::RequestUpgrade(const String& key) {
  std::lock_guard<std::mutex> lock(upgrade_mutex);
  if (ORVFlags.UpgradeInProgress != 0) return 0;
  ORVFlags.UpgradeInProgress = 1;
  InProgress = 1;
  Key = key;
  return 1;
}

void UpgradeRec::ClearanceUpgrade() {
  std::lock_guard<std::mutex> lock(upgrade_mutex);
  ORVFlags.UpgradeInProgress = 0;
  InProgress = 0;
}

void StartUpgrade(const JXRequest& params, ORVReply& reply, UpgradeRec& upgrade) {
  if (!upgrade.RequestUpgrade(params.GetSessionKey())) {
    reply.SetResult(kResultBusy);
    return;
  }
  upgrade.Size = orvDecodeInt64(params.GetParam(1, 1));
  if (upgrade.Size <= kMinUpgradeSize || upgrade.Size >= kMaxUpgradeSize) {
    upgrade.ClearanceUpgrade();
    reply.SetResult(kResultBadParam) += "Wrong file parameter(s)";
    return;
  }
  String err;
  // Refused before a byte is sent: nothing is left behind.
  if (!CanReplace(Settings().orvpath, err)) {
    upgrade.ClearanceUpgrade();
    showmessage("Upgrade refused: %s\n", LOCAL, mtFailure, 1, err.c_str());
    SystemLog(LOG_DAEMON | LOG_ERR, "upgrade refused: %s", err.c_str());
    reply.SetResult(kResultFailed) += err;
    return;
  }
  if (DoUpgrading(upgrade, nullptr, 0, err)) {
    reply.SetResult(kResultOk);
  } else {
    reply.SetResult(kResultFailed) += err;
  }
}

void HandOverUpgrade() {
  if (!scriptReady.load(std::memory_order_acquire)) return;
  ORVFlags.Upgrade = 1;
  WakeMainLoop();
}

String UpgradeScriptPath() {
  std::lock_guard<std::mutex> lock(upgrade_mutex);
  return ORVFlags.UpgradeScript;
}

String UpgradeScriptText(const String& agentPath, const String& newPath, const String& scriptPath) {
  String text("#! /bin/sh\n");
  text += "oldORV=";
  text += ShellQuote(agentPath);
  text += "\nnewORV=";
  text += ShellQuote(newPath);
  text += '\n';
  // Copied beside the old executable into a file of its own (never through a name another user
  // planted), then given the old one's name in one step: the host is never without one. The
  // agent starts the new executable when the swap succeeded.
  text +=
      "new=`mktemp \"$oldORV.XXXXXX\"` || exit 1\n"
      "cp -f \"$newORV\" \"$new\" &&\n"
      "  { chmod --reference=\"$oldORV\" \"$new\" 2>/dev/null || chmod 755 \"$new\"; } &&\n"
      "  mv -f \"$new\" \"$oldORV\"\n"
      "status=$?\n"
      "rm -f \"$newORV\" \"$new\"\n";
  text += "rm ";
  text += ShellQuote(scriptPath);
  text += "\nexit $status\n";
  return text;
}

bool RunUpgradeScript(String& err) {
  String script;
  {
    std::lock_guard<std::mutex> lock(upgrade_mutex);
    script = ORVFlags.UpgradeScript;
    // Spent whatever comes of it: a failed swap is not tried again at every session's end.
    ORVFlags.UpgradeScript = "";
    scriptReady.store(false, std::memory_order_release);
  }
  script.SetZero();
  char* argv[] = {const_cast<char*>("/bin/sh"), script.Data(), nullptr};
  TRunOptions options;
  options.TimeLimitMs = kScriptTimeLimitMs;
  TChildEnd end;
  int code = 0;
  const bool ran = RunProgram(argv, options, end, code, err) == 1;
  if (ran && end == TChildEnd::kExited && code == 0) return true;
  if (ran) {
    err =
        String(script) + (end == TChildEnd::kExited ? " ended with status " : " ended by signal ");
    err += String(std::to_string(code).c_str());
  }
  unlink(script.c_str());
  unlink(TempExecutableName().c_str());
  return false;
}

int DoUpgrading(UpgradeRec& upgrade, const char* data, int length, String& err) {
  err = "";
  if (upgrade.FileName.Length() == 0) {
    upgrade.FileName = TempExecutableName();
    upgrade.File = CreateFresh(upgrade.FileName, "wb");
    if (upgrade.File == nullptr) return Fail(upgrade, err, "Cannot create temp file", false);
    MD5Open(&upgrade.Digest);
  }
  if (data == nullptr || length <= 0) return 1;

  if (upgrade.Received < upgrade.Size) {
    int64_t wanted = upgrade.Size - upgrade.Received;
    int n = wanted < length ? static_cast<int>(wanted) : length;
    if (fwrite(data, 1, n, upgrade.File) != static_cast<size_t>(n)) {
      return Fail(upgrade, err, "Write error", false);
    }
    MD5Digest(&upgrade.Digest, data, n);
    upgrade.Received += n;
    data += n;
    length -= n;
  }
  upgrade.Checksum.AddData(data, length);
  if (upgrade.Received < upgrade.Size || upgrade.Checksum.Length() < kChecksumSize) return 1;

  // Executable and checksum block are in: check and hand over.
  if (fflush(upgrade.File) != 0 || fsync(fileno(upgrade.File)) != 0) {
    return Fail(upgrade, err, "Write error", true);
  }
  CloseFile(upgrade);
  if (chmod(upgrade.FileName.c_str(), kExecMode) != 0) {
    return Fail(upgrade, err, "Cannot set exec flag new module", true);
  }
  unsigned char digest[16];
  MD5Close(&upgrade.Digest, digest);
  String decoded = DecodeData(upgrade.Checksum, upgrade.Key);
  if (decoded.Length() != kChecksumSize || memcmp(decoded.Data(), digest, 16) != 0) {
    return Fail(upgrade, err, "Wrong CRC", true);
  }

  String scriptName = ScriptName();
  String text = UpgradeScriptText(Settings().orvpath, upgrade.FileName, scriptName);
  if (!WriteScript(scriptName, text, err)) {
    unlink(scriptName.c_str());
    return Fail(upgrade, err, "Binary code transferred. Cannot create script file", true);
  }
  upgrade.ClearanceUpgrade();
  std::lock_guard<std::mutex> lock(upgrade_mutex);
  ORVFlags.UpgradeScript = scriptName;
  scriptReady.store(true, std::memory_order_release);
  return 1;
}
