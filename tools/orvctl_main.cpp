// orvctl: send one request to an orv agent and print its reply.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocol/orv_const.h"
#include "tools/client.h"

namespace {

[[noreturn]] void Usage(const char* error) {
  if (error != nullptr) fprintf(stderr, "orvctl: %s\n", error);
  fputs(
      "Usage: orvctl [-H host] [-p port] [-P password | -F passwordfile] [-t seconds] [--raw]\n"
      "              COMMAND [PARAM ...]\n"
      "       orvctl [options] upgrade FILE\n"
      "Sends one request to an orv agent (default 127.0.0.1:1055) and prints the result\n"
      "code and the reply lines. The password may also come from ORV_PASSWORD.\n"
      "Exit status: 0 for result 200, 1 for any other result, 2 when no reply came.\n",
      stderr);
  exit(2);
}

String ReadPasswordFile(const char* path) {
  FILE* f = fopen(path, "r");
  if (f == nullptr) Usage("cannot read the password file");
  char line[1024] = "";
  if (fgets(line, sizeof(line), f) == nullptr) line[0] = '\0';
  fclose(f);
  line[strcspn(line, "\r\n")] = '\0';
  return String(line);
}

}  // namespace

int main(int argc, char** argv) {
  TOrvTarget target;
  if (const char* env = getenv("ORV_PASSWORD")) target.password = env;
  bool raw = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const char* option = argv[i];
    bool hasValue = i + 1 < argc;
    if (strcmp(option, "--raw") == 0) {
      raw = true;
    } else if (strcmp(option, "-H") == 0 && hasValue) {
      target.host = argv[++i];
    } else if (strcmp(option, "-p") == 0 && hasValue) {
      target.port = atoi(argv[++i]);
    } else if (strcmp(option, "-P") == 0 && hasValue) {
      target.password = argv[++i];
    } else if (strcmp(option, "-F") == 0 && hasValue) {
      target.password = ReadPasswordFile(argv[++i]);
    } else if (strcmp(option, "-t") == 0 && hasValue) {
      target.timeoutMs = atoi(argv[++i]) * 1000;
    } else if (strcmp(option, "-h") == 0 || strcmp(option, "--help") == 0) {
      Usage(nullptr);
    } else {
      Usage("unknown option or missing value");
    }
  }
  if (i >= argc) Usage("no command given");

  String reply;
  String err;
  int ok;
  if (strcmp(argv[i], "upgrade") == 0) {
    if (i + 1 >= argc) Usage("upgrade needs a FILE");
    ok = OrvUpgrade(target, argv[i + 1], reply, err);
  } else {
    std::vector<String> params(argv + i + 1, argv + argc);
    ok = OrvRequest(target, argv[i], params, reply, err);
  }
  if (!ok) {
    err.SetZero();
    fprintf(stderr, "orvctl: no reply: %s\n", err.Data());
    return 2;
  }
  std::vector<String> lines = ReplyLines(reply);
  bool success = !lines.empty() && lines[0] == kResultOk;
  FILE* out = success ? stdout : stderr;
  for (String& line : lines) {
    String shown = raw ? line : orvDecodeStrings(line);
    fwrite(shown.Data(), 1, shown.Length(), out);
    fputc('\n', out);
  }
  return success ? 0 : 1;
}
