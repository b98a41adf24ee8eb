// orvctl: send one request to an orv agent and print its reply; as check_orv, a monitoring plugin.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/errors.h"
#include "protocol/orv_const.h"
#include "tools/client.h"
#include "tools/nagios.h"
#include "tools/reply_fields.h"

#ifndef ORV_VERSION
#define ORV_VERSION "unknown"
#endif

namespace {

constexpr const char* kUsage =
    "Usage: orvctl [-H host] [-p port] [-P password | -F passwordfile] [-t seconds]\n"
    "              [--raw] [--json] COMMAND [PARAM ...]\n"
    "       orvctl [options] upgrade FILE\n"
    "       orvctl --nagios [options] [-w RANGE] [-c RANGE] [--field N|NAME] [--label L]\n"
    "              [--uom U] [-u] [-W] [--state-file FILE] COMMAND [PARAM ...]\n"
    "       check_orv [options] COMMAND [PARAM ...]   (the same as orvctl --nagios)\n";

constexpr const char* kHelp =
    "Sends one request to an orv agent and prints the result code and the reply lines.\n"
    "\n"
    "  -H, --host HOST        the agent's host name or IPv4 address (default 127.0.0.1)\n"
    "  -p, --port PORT        the agent's port, 1 to 65535 (default 1055)\n"
    "  -P, --password PASS    the agent's password (also from ORV_PASSWORD)\n"
    "  -F, --password-file F  read the password from the first line of F\n"
    "  -t, --timeout SECONDS  give up after SECONDS (default 30; 10 in check mode)\n"
    "      --raw              keep the %0A and %0D escapes of values\n"
    "      --json             print the reply as a JSON object with named fields\n"
    "  -h, --help             print this help;  -V, --version  print the version\n"
    "\n"
    "Check mode (--nagios, or run as check_orv), following the Monitoring Plugins rules:\n"
    "  -w, --warning RANGE    WARNING when the value alerts RANGE (10, 10:, ~:10, 10:20, @10:20)\n"
    "  -c, --critical RANGE   CRITICAL when the value alerts RANGE\n"
    "      --field N|NAME     the reply line to judge (default: the first number)\n"
    "      --label L          the performance data's label (default: the field's name)\n"
    "      --uom U            the performance data's unit (default: the field's own)\n"
    "  -u                     no connection or a time-out is UNKNOWN, not CRITICAL\n"
    "  -W                     a new text-log match is WARNING, not CRITICAL\n"
    "      --state-file FILE  where a text-log check keeps its log state\n"
    "                         (default: a file under /var/lib/orv/checks/)\n"
    "\n"
    "Exit status: 0 for result 200, 1 for any other result, 2 when no reply came or the\n"
    "command line is wrong; in check mode 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n"
    "See orvctl(1) for every command's parameters and reply lines.\n";

enum TLongOption {
  kRaw = 256,
  kJson,
  kNagios,
  kField,
  kLabel,
  kUom,
  kStateFile,
};

const option kOptions[] = {
    {"host", required_argument, nullptr, 'H'},
    {"hostname", required_argument, nullptr, 'H'},
    {"port", required_argument, nullptr, 'p'},
    {"password", required_argument, nullptr, 'P'},
    {"password-file", required_argument, nullptr, 'F'},
    {"timeout", required_argument, nullptr, 't'},
    {"warning", required_argument, nullptr, 'w'},
    {"critical", required_argument, nullptr, 'c'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"raw", no_argument, nullptr, kRaw},
    {"json", no_argument, nullptr, kJson},
    {"nagios", no_argument, nullptr, kNagios},
    {"field", required_argument, nullptr, kField},
    {"label", required_argument, nullptr, kLabel},
    {"uom", required_argument, nullptr, kUom},
    {"state-file", required_argument, nullptr, kStateFile},
    {nullptr, 0, nullptr, 0},
};

bool checkMode = false;

// A wrong command line: exit 2, or UNKNOWN with the plugin's status line in check mode.
[[noreturn]] void Fail(const std::string& error) {
  if (checkMode) {
    printf("ORV UNKNOWN - %s\n", error.c_str());
    exit(kStateUnknown);
  }
  fprintf(stderr, "orvctl: %s\nTry 'orvctl --help'.\n", error.c_str());
  exit(2);
}

// A whole decimal number from min to max, or the command line is wrong.
int ParseBounded(const char* text, int min, int max, const char* what) {
  char* end = nullptr;
  errno = 0;
  const long value = strtol(text, &end, 10);
  if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || value < min || value > max)
    Fail(std::string(what) + " must be a number from " + std::to_string(min) + " to " +
         std::to_string(max) + ", not '" + text + "'");
  return static_cast<int>(value);
}

String ReadPasswordFile(const char* path) {
  FILE* f = fopen(path, "r");
  char line[1024] = "";
  // A directory opens, but reading it fails; an empty file gives an empty password.
  const bool read = f != nullptr && (fgets(line, sizeof(line), f) != nullptr || !ferror(f));
  const int error = errno;
  if (f != nullptr) fclose(f);
  if (!read)
    Fail(std::string("cannot read the password file ") + path + ": " + GetErrorStr(error).c_str());
  line[strcspn(line, "\r\n")] = '\0';
  return String(line);
}

std::optional<TRange> Range(const char* text) {
  if (text[0] == '\0') return std::nullopt;  // an empty threshold argument sets none
  TRange range;
  std::string err;
  if (!ParseRange(text, range, err)) Fail(err);
  return range;
}

// Prints the reply as text or JSON; the exit status says whether the result was 200.
int PrintReply(const char* command, const String& reply, bool raw, bool json) {
  std::string code;
  const std::vector<std::string> body = ReplyBody(reply, raw, code);
  const bool success = code == kResultOk;
  if (json) {
    printf("%s\n", ReplyJson(command, code, body).c_str());
    return success ? 0 : 1;
  }
  FILE* out = success ? stdout : stderr;
  fprintf(out, "%s\n", code.c_str());
  for (const std::string& line : body) {
    fwrite(line.data(), 1, line.size(), out);
    fputc('\n', out);
  }
  return success ? 0 : 1;
}

// What the options asked for; the command and its parameters follow them at argv[next].
struct TCtlOptions {
  TOrvTarget target;
  TCheckOptions check;
  bool raw = false;
  bool json = false;
  bool timeoutGiven = false;
  int next = 0;
};

TCtlOptions ParseOptions(int argc, char** argv) {
  TCtlOptions o;
  if (const char* env = getenv("ORV_PASSWORD")) o.target.password = env;
  opterr = 0;
  // "+": options end at the command, so parameters may begin with "-".
  for (int c; (c = getopt_long(argc, argv, "+:H:p:P:F:t:w:c:uWhV", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'H':
        o.target.host = optarg;
        break;
      case 'p':
        o.target.port = ParseBounded(optarg, 1, 65535, "the port");
        break;
      case 'P':
        o.target.password = optarg;
        break;
      case 'F':
        o.target.password = ReadPasswordFile(optarg);
        break;
      case 't':
        o.check.timeoutSeconds = ParseBounded(optarg, 1, 86400, "the time-out");
        o.timeoutGiven = true;
        break;
      case 'w':
        o.check.thresholds.warnText = optarg;
        o.check.thresholds.warn = Range(optarg);
        break;
      case 'c':
        o.check.thresholds.critText = optarg;
        o.check.thresholds.crit = Range(optarg);
        break;
      case 'u':
        o.check.unknownOnConnect = true;
        break;
      case 'W':
        o.check.warnOnMatch = true;
        break;
      case 'h':
        printf("%s\n%s", kUsage, kHelp);
        exit(0);
      case 'V':
        printf("orvctl (orv) %s\n", ORV_VERSION);
        exit(0);
      case kRaw:
        o.raw = true;
        break;
      case kJson:
        o.json = true;
        break;
      case kNagios:
        checkMode = true;
        break;
      case kField:
        o.check.field = optarg;
        break;
      case kLabel:
        o.check.label = optarg;
        break;
      case kUom:
        o.check.uom = optarg;
        break;
      case kStateFile:
        o.check.stateFile = optarg;
        break;
      default:
        Fail(std::string(c == ':' ? "a value is missing after " : "unknown option ") +
             argv[optind - 1]);
    }
  }
  if (optind >= argc) Fail("no command given");
  // The agent never runs without a password: an empty one would only be refused, and logged
  // there as a wrong password.
  if (o.target.password.IsEmpty()) Fail("no password was given (-P, -F or ORV_PASSWORD)");
  o.next = optind;
  return o;
}

// Sends the request (or the upgrade) and prints what came back.
int SendAndPrint(TCtlOptions& o, const char* command, const std::vector<std::string>& params) {
  o.target.timeoutMs = (o.timeoutGiven ? o.check.timeoutSeconds : 30) * 1000;
  String reply;
  String err;
  int ok;
  if (strcmp(command, "upgrade") == 0) {
    if (params.size() != 1) Fail("upgrade needs one FILE");
    ok = OrvUpgrade(o.target, params[0].c_str(), reply, err);
  } else {
    ok = OrvRequest(o.target, command, ToParams(params), reply, err);
  }
  if (!ok) {
    fprintf(stderr, "orvctl: no reply: %s\n", err.c_str());
    return 2;
  }
  return PrintReply(command, reply, o.raw, o.json);
}

}  // namespace

int main(int argc, char** argv) {
  const char* self = strrchr(argv[0], '/');
  checkMode = strcmp(self != nullptr ? self + 1 : argv[0], "check_orv") == 0;
  TCtlOptions options = ParseOptions(argc, argv);
  const char* command = argv[options.next];
  const std::vector<std::string> params(argv + options.next + 1, argv + argc);
  if (!checkMode) return SendAndPrint(options, command, params);
  if (!options.timeoutGiven) options.check.timeoutSeconds = 10;
  options.target.timeoutMs = options.check.timeoutSeconds * 1000;
  return RunCheck(options.check, options.target, command, params);
}
