// orvctl: send one request to an orv agent and print its reply; as check_orv, a monitoring plugin.
#include <getopt.h>

#include <algorithm>
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

// The usage, naming the program as it was called.
std::string Usage(const std::string& name, bool check) {
  const std::string more(7 + name.size() + 1, ' ');
  if (check) {
    return "Usage: " + name + " [-H host] [-4|-6] [-p port] [-P password | -F passwordfile]\n" +
           more + "[-t seconds[:state]] [-v] [-w RANGE] [-c RANGE] [--field N|NAME]\n" + more +
           "[--percent | --age] [--label L]\n" + more +
           "[--uom U] [-u] [-W] [--state-file FILE] COMMAND [PARAM ...]\n       " + name +
           " [options] --plugin 'PLUGIN [ARG ...]'\n";
  }
  return "Usage: " + name +
         " [-H host] [-4|-6] [-p port] [-P password | -F passwordfile] [-t seconds] [-v]\n" + more +
         "[--raw] [--json] COMMAND [PARAM ...]\n       " + name +
         " [options] upgrade FILE\n       " + name +
         " --nagios [options] [-w RANGE] [-c RANGE] [--field N|NAME]\n" + more +
         "[--percent | --age] [--label L] [--uom U] [-u] [-W] [--state-file FILE]\n" + more +
         "COMMAND [PARAM ...]\n       " + name +
         " --nagios [options] --plugin 'PLUGIN [ARG ...]'\n"
         "       check_orv [options] ...   (the same as --nagios)\n";
}

constexpr const char* kHelp =
    "  -H, --host HOST        the agent's host name, IPv4 or IPv6 address (also [ADDRESS])\n"
    "                         (default 127.0.0.1)\n"
    "  -4, --ipv4             connect over IPv4 only;  -6, --ipv6  over IPv6 only\n"
    "  -p, --port PORT        the agent's port, 1 to 65535 (default 1055)\n"
    "  -P, --password PASS    the agent's password (also from ORV_PASSWORD)\n"
    "  -F, --password-file F  read the password from the first line of F\n"
    "  -t, --timeout SECONDS[:STATE]\n"
    "                         give up after SECONDS (default 30; 10 in check mode); in check\n"
    "                         mode a time-out is STATE (OK, WARNING, CRITICAL or UNKNOWN)\n"
    "  -v, --verbose          also print the request: on standard error, or in check mode\n"
    "                         with the raw reply after the status line\n"
    "      --raw              keep the %0A and %0D escapes of values\n"
    "      --json             print the reply as a JSON object with named fields\n"
    "  -h, --help             print this help;  -V, --version  print the version\n"
    "\n"
    "Check mode (--nagios, or run as check_orv), following the Monitoring Plugins rules:\n"
    "  -w, --warning RANGE    WARNING when the value alerts RANGE (10, 10:, ~:10, 10:20, @10:20)\n"
    "  -c, --critical RANGE   CRITICAL when the value alerts RANGE\n"
    "      --field N|NAME     the reply line to judge (default: the first number)\n"
    "      --percent          TEST-UNC: the free, available or used space (--field; default\n"
    "                         used) in percent of the total\n"
    "      --age              judge a date field (--field; default mtime) as the seconds\n"
    "                         since then\n"
    "      --label L          the performance data's label (default: the field's name)\n"
    "      --uom U            the performance data's unit (default: the field's own)\n"
    "  -u                     no connection or a time-out is UNKNOWN, not CRITICAL\n"
    "  -W                     a new text-log match is WARNING, not CRITICAL\n"
    "      --state-file FILE  where a text-log check keeps its log state\n"
    "                         (default: a file under /var/lib/orv/checks/)\n"
    "      --plugin 'PLUGIN [ARG ...]'\n"
    "                         run a monitoring plugin on the agent's host and pass on its\n"
    "                         output and state (the agent needs shellscript=1)\n"
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
  kPercent,
  kAge,
  kPlugin,
};

const option kOptions[] = {
    {"host", required_argument, nullptr, 'H'},
    {"hostname", required_argument, nullptr, 'H'},
    {"ipv4", no_argument, nullptr, '4'},
    {"ipv6", no_argument, nullptr, '6'},
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
    {"verbose", no_argument, nullptr, 'v'},
    {"percent", no_argument, nullptr, kPercent},
    {"age", no_argument, nullptr, kAge},
    {"plugin", required_argument, nullptr, kPlugin},
    {nullptr, 0, nullptr, 0},
};

bool checkMode = false;
std::string programName = "orvctl";  // as it was called

// A wrong command line: exit 2, or UNKNOWN with the plugin's status line in check mode.
[[noreturn]] void Fail(const std::string& error) {
  if (checkMode) {
    printf("ORV UNKNOWN - %s\n", error.c_str());
    exit(kStateUnknown);
  }
  fprintf(stderr, "%s: %s\nTry '%s --help'.\n", programName.c_str(), error.c_str(),
          programName.c_str());
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

// -t SECONDS, or SECONDS:STATE for the state of a time-out.
void ParseTimeout(const std::string& text, TCheckOptions& check) {
  const size_t colon = text.find(':');
  check.timeoutSeconds = ParseBounded(text.substr(0, colon).c_str(), 1, 86400, "the time-out");
  if (colon == std::string::npos) return;
  const std::string name = text.substr(colon + 1);
  const int state = CheckStateByName(name);
  if (state < 0)
    Fail("the time-out state must be OK, WARNING, CRITICAL or UNKNOWN, not '" + name + "'");
  check.timeoutState = state;
}

std::optional<TRange> Range(const char* text) {
  if (text[0] == '\0') return std::nullopt;  // an empty threshold argument sets none
  TRange range;
  std::string err;
  if (!ParseRange(text, range, err)) Fail(err);
  return range;
}

// Prints the reply as text or JSON; the exit status says whether the result was 200.
int PrintReply(const char* command, const std::vector<std::string>& params, const String& reply,
               bool raw, bool json) {
  std::string code;
  const std::vector<std::string> body = ReplyBody(reply, raw, code);
  const bool success = code == kResultOk;
  if (json) {
    printf("%s\n", ReplyJson(command, params, code, body).c_str());
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

// Options that say the same thing twice or ask for what cannot be.
void CheckCombinations(const TCheckOptions& check, bool commandGiven) {
  if (check.percent && check.age) Fail("--percent and --age cannot be used together");
  if (check.plugin.empty()) {
    if (!commandGiven) Fail("no command given");
    return;
  }
  if (commandGiven)
    Fail("--plugin takes the plugin's whole command line as one argument: quote it");
  const TThresholds& t = check.thresholds;
  if (t.warn || t.crit || !check.field.empty() || check.percent || check.age ||
      !check.label.empty() || check.uom || !check.stateFile.empty() || check.warnOnMatch)
    Fail(
        "--plugin passes on the plugin's own state and performance data: -w, -c, -W, --field, "
        "--percent, --age, --label, --uom and --state-file do not apply");
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
  for (int c; (c = getopt_long(argc, argv, "+:H:46p:P:F:t:w:c:uWvhV", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'H':
        o.target.host = optarg;
        break;
      case '4':
        o.target.family = AF_INET;
        break;
      case '6':
        o.target.family = AF_INET6;
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
        ParseTimeout(optarg, o.check);
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
      case 'v':
        o.check.verbose = true;
        break;
      case 'h':
        printf("%s\n%s\n%s", Usage(programName, checkMode).c_str(),
               checkMode ? "Sends one request to an orv agent and judges its reply as a monitoring "
                           "plugin does.\n"
                         : "Sends one request to an orv agent and prints the result code and the "
                           "reply lines.\n",
               kHelp);
        exit(0);
      case 'V':
        printf("%s (orv) %s\n", programName.c_str(), ORV_VERSION);
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
      case kPercent:
        o.check.percent = true;
        break;
      case kAge:
        o.check.age = true;
        break;
      case kPlugin:
        o.check.plugin = optarg;
        checkMode = true;
        break;
      default:
        Fail(std::string(c == ':' ? "a value is missing after " : "unknown option ") +
             argv[optind - 1]);
    }
  }
  CheckCombinations(o.check, optind < argc);
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
    const String request = BuildRequestText(command, ToParams(params));
    // The request goes to standard error, so that standard output holds the reply alone.
    if (o.check.verbose) {
      for (const String& line : ReplyLines(request.Copy(1, request.Length() - 1)))
        fprintf(stderr, "request: %s\n", ToText(line).c_str());
    }
    ok = OrvExchange(o.target, request, reply, err);
  }
  if (!ok) {
    fprintf(stderr, "%s: no reply: %s\n", programName.c_str(), err.c_str());
    return 2;
  }
  return PrintReply(command, params, reply, o.raw, o.json);
}

}  // namespace

int main(int argc, char** argv) {
  const char* self = argv[0] != nullptr ? strrchr(argv[0], '/') : nullptr;
  const char* base = self != nullptr ? self + 1 : argv[0];
  if (base != nullptr && base[0] != '\0') programName = base;
  checkMode = programName == "check_orv";
  TCtlOptions options = ParseOptions(argc, argv);
  const char* command = options.next < argc ? argv[options.next] : "";
  const std::vector<std::string> params(argv + std::min(options.next + 1, argc), argv + argc);
  if (!checkMode) return SendAndPrint(options, command, params);
  if (!options.timeoutGiven) options.check.timeoutSeconds = 10;
  options.target.timeoutMs = options.check.timeoutSeconds * 1000;
  return RunCheck(options.check, options.target, command, params);
}
