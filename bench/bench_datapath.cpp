// The data paths against their floors, through the running agent and in process: a file's CRC
// against a plain read loop, the text-log scan against grep -F -c, the folder size against du.
// Every round times each subject once, in turn, so that all see the same load of a shared machine;
// ratios are taken round by round against the baseline of the same round.
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/pagebuffer.h"
#include "bench/bench_util.h"
#include "handlers/disk.h"
#include "handlers/files.h"
#include "handlers/textlog.h"
#include "tests/support/agent_process.h"
#include "tests/support/flood.h"

namespace {

using Clock = std::chrono::steady_clock;

// ORV_BENCH_FILES small files (200000 by default) of 0 to 4 bytes, in folders of 100.
class TTree {
 public:
  TTree() : root_(dir_.Join("tree")), files_(EnvInt("ORV_BENCH_FILES", 200000)) {
    for (int i = 0; i < files_; ++i) {
      std::string dir = root_ + "/d" + std::to_string(i / 100);
      if (i == 0 && mkdir(root_.c_str(), 0755) != 0) abort();
      if (i % 100 == 0 && mkdir(dir.c_str(), 0755) != 0) abort();
      int fd = open((dir + "/file" + std::to_string(i) + ".dat").c_str(),
                    O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0 || write(fd, "data", i % 5) < 0) abort();
      close(fd);
    }
  }
  const std::string& Root() const { return root_; }
  int Files() const { return files_; }
  // The bytes of all files: 0 to 4 bytes, one fifth each.
  int64_t Bytes() const { return int64_t{files_} / 5 * 10 + Tail(files_ % 5); }

 private:
  static int64_t Tail(int n) { return int64_t{n} * (n - 1) / 2; }

  TTempDir dir_;
  std::string root_;
  int files_;
};

// One thing timed every round. run adds the CPU seconds it used and is false on a wrong answer.
struct TSubject {
  std::string name;
  std::function<bool(double& cpu)> run;
  std::vector<double> ms{};
  std::vector<double> cpuMs{};
  bool wrong = false;
};

double SelfCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// Code of this process; its CPU is the process's, helper threads included.
TSubject InProcess(std::string name, std::function<bool()> run) {
  return {std::move(name), [run = std::move(run)](double& cpu) {
            const double before = SelfCpuSeconds();
            const bool ok = run();
            cpu += SelfCpuSeconds() - before;
            return ok;
          }};
}

// A command run to its end, which must exit with status; its output goes to a file.
TSubject Command(std::string name, std::vector<std::string> args, int status) {
  static const TTempDir dir;
  return {std::move(name), [args = std::move(args), status](double& cpu) {
            return RunChild(args, &cpu, "C", dir.Join("output").c_str()) == status;
          }};
}

// A request to an agent, whose reply must begin with expected; its CPU is the agent process's
// (to the clock tick, dead threads included).
TSubject AgentRequest(std::string name, const TAgentProcess& agent, std::string command,
                      std::vector<std::string> params, std::string expected) {
  return {std::move(name), [&agent, command = std::move(command), params = std::move(params),
                            expected = std::move(expected)](double& cpu) {
            const double before = ProcessCpuSeconds(agent.Pid());
            const bool ok = agent.Request(command, params).rfind(expected, 0) == 0;
            cpu += ProcessCpuSeconds(agent.Pid()) - before;
            return ok;
          }};
}

// The agents measured: the one built here, and one named by ORV_BENCH_COMPARE.
struct TAgents {
  std::vector<std::unique_ptr<TAgentProcess>> list;
  std::vector<std::string> names;
};

// The same request to every agent, as subjects.
void AddAgents(std::vector<TSubject>& subjects, const TAgents& agents, const std::string& command,
               const std::vector<std::string>& params, const std::string& expected) {
  for (size_t k = 0; k < agents.list.size(); ++k) {
    subjects.push_back(
        AgentRequest(agents.names[k] + " " + command, *agents.list[k], command, params, expected));
  }
}

// Runs every subject once untimed (the page cache, the dentries and each agent's first use
// warmed alike), then rounds of all in turn, and prints each subject's median and worst time and
// its ratio to the first subject, the baseline, round by round: their median and worst.
void RunGroup(const std::string& title, std::vector<TSubject>& subjects, int rounds) {
  printf("%s\n", title.c_str());
  fflush(stdout);
  for (TSubject& s : subjects) {
    double cpu = 0;
    s.wrong = !s.run(cpu);
  }
  for (int r = 0; r < rounds; ++r) {
    for (TSubject& s : subjects) {
      double cpu = 0;
      const Clock::time_point start = Clock::now();
      s.wrong |= !s.run(cpu);
      s.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      s.cpuMs.push_back(cpu * 1000);
    }
  }
  printf("  %-46s %8s %8s %8s %8s %8s\n", "", "median", "worst", "CPU", "x base", "worst x");
  for (const TSubject& s : subjects) {
    std::vector<double> ratios;
    for (int r = 0; r < rounds; ++r) ratios.push_back(s.ms[r] / subjects[0].ms[r]);
    printf("  %-46s %5.0f ms %5.0f ms %5.0f ms %7.2fx %7.2fx%s\n", s.name.c_str(),
           Quantile(s.ms, 0.5), Quantile(s.ms, 1), Quantile(s.cpuMs, 0.5), Quantile(ratios, 0.5),
           Quantile(ratios, 1), s.wrong ? "  WRONG ANSWER" : "");
    if (EnvInt("ORV_BENCH_VERBOSE", 0) != 0) {
      printf("   ");
      for (int r = 0; r < rounds; ++r) printf(" %.0f/%.0f", s.ms[r], s.cpuMs[r]);
      printf(" (ms/CPU ms, round by round)\n");
    }
  }
  fflush(stdout);
}

// Reads the file to its end in blocks of the size the agent reads, into buffer.
bool ReadLoop(const std::string& name, char* buffer) {
  const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (read(fd, buffer, kFileReadBlock) > 0) {
  }
  close(fd);
  return true;
}

void Crc(const TAgents& agents, const TSyslogFile& file, int rounds) {
  const std::string& name = file.Name();
  unsigned int crc = 0;
  String error;
  if (!GetFileCRC(name.c_str(), &crc, error, INT64_MAX)) {
    printf("no CRC of %s: %s\n", name.c_str(), error.c_str());
    return;
  }
  const std::string expected = "200\n" + std::to_string(crc) + "\n";
  const TPageBuffer buffer(kFileReadBlock + TPageBuffer::PageSize());
  auto crcOf = [&name, crc](int64_t splitAt) {
    unsigned int got = 0;
    String err;
    return GetFileCRC(name.c_str(), &got, err, splitAt) && got == crc;
  };
  std::vector<TSubject> subjects{
      InProcess("read loop, page-aligned buffer", [&] { return ReadLoop(name, buffer.Data()); }),
      InProcess("read loop, buffer at page offset 16",
                [&] { return ReadLoop(name, buffer.Data() + 16); })};
  AddAgents(subjects, agents, "TEST-FileCRC", {name}, expected);
  subjects.push_back(InProcess("GetFileCRC, two threads", [&] { return crcOf(kCrcSplitAt); }));
  subjects.push_back(InProcess("GetFileCRC, one thread", [&] { return crcOf(INT64_MAX); }));
  subjects.push_back(Command("cksum (another CRC, for scale)", {"cksum", name}, 0));
  RunGroup("CRC-32 of a " + std::to_string(file.Bytes() >> 20) + " MiB cached file", subjects,
           rounds);
}

// A scan of the whole log for text, case-sensitive, to the end: with the state of a log whose
// every line was appended since the last check.
void TextLog(const TAgents& agents, const TSyslogFile& file, const char* text, int rounds) {
  const std::string& name = file.Name();
  TTextLogFilter filter;
  filter.Text = text;
  filter.CaseSensitive = 1;
  TLogFilters filters;
  filters.Prepare(filter, nullptr);
  auto scan = [&] {
    TLogState state{.Position = 0, .StoredSize = 1, .StoredTime = 1};
    String lastLine;
    String err;
    return ScanTextLog(name.c_str(), filters, 1, state, lastLine, err) >= 0 &&
           state.Position == file.Bytes();
  };
  // grep's exit status: 0 when a line matched, 1 when none did.
  const bool occurs = strcmp(text, TSyslogFile::kOneIn150) == 0;
  std::vector<TSubject> subjects{
      Command("LC_ALL=C grep -F -c", {"grep", "-F", "-c", text, name}, occurs ? 0 : 1)};
  AddAgents(subjects, agents, "TEST-TextLog", {name, text, "0", "1", "1", "0", "1", "1", "0"},
            "200\n");
  subjects.push_back(InProcess("ScanTextLog", scan));
  RunGroup(std::string("Text-log scan of the same file for \"") + text + "\" (" +
               (occurs ? "one line in 150" : "no line") + ")",
           subjects, rounds);
}

// The walks with a second thread from kWalkHelperAfter entries on, and alone.
const std::pair<const char*, int64_t> kWalkers[] = {{"two threads", kWalkHelperAfter},
                                                    {"one thread", INT64_MAX}};

void FolderSize(const TAgents& agents, const TTree& tree, int rounds) {
  const std::string& root = tree.Root();
  char expected[64];
  snprintf(expected, sizeof(expected), "200\n%6lld\n", static_cast<long long>(tree.Bytes()));
  std::vector<TSubject> subjects{
      Command("du -sb --apparent-size", {"du", "-sb", "--apparent-size", root}, 0)};
  AddAgents(subjects, agents, "TEST-FolderSize", {root, "1"}, expected);
  for (const auto& [label, helperAfter] : kWalkers) {
    const int64_t after = helperAfter;
    subjects.push_back(InProcess(std::string("GetFolderSize, ") + label, [&tree, &root, after] {
      return GetFolderSize(root.c_str(), true, after) == tree.Bytes();
    }));
  }
  RunGroup("Folder size of " + std::to_string(tree.Files()) + " files in folders of 100", subjects,
           rounds);
}

void CountAll(const TAgents& agents, const TTree& tree, int rounds) {
  const std::string& root = tree.Root();
  std::vector<TSubject> subjects{Command("find -type f", {"find", root, "-type", "f"}, 0)};
  AddAgents(subjects, agents, "TEST-CountFiles", {root, "*", "1", "0", "0"},
            "200\n" + std::to_string(tree.Files()) + "\n");
  for (const auto& [label, helperAfter] : kWalkers) {
    const int64_t after = helperAfter;
    subjects.push_back(InProcess(std::string("CountFiles, ") + label, [&tree, &root, after] {
      return CountFiles(root.c_str(), "*", true, AllFiles, 0, after) == tree.Files();
    }));
  }
  RunGroup("Count of the same files", subjects, rounds);
}

// Gives the run a session of its own, whose scheduling group gets the nice value niceness: a
// busy machine shares its processors between sessions, so that a second thread adds nothing while
// another session keeps every processor busy. false when it cannot.
bool RunInOwnSession(int niceness) {
  if (setsid() < 0) {
    // A process group's leader cannot start a session: a child that is not one goes on.
    const pid_t child = fork();
    if (child < 0) return false;
    if (child > 0) {
      int status = 0;
      waitpid(child, &status, 0);
      _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    }
    if (setsid() < 0) return false;
  }
  FILE* group = fopen("/proc/self/autogroup", "w");
  const bool set = group != nullptr && fprintf(group, "%d", niceness) > 0;
  return group != nullptr && fclose(group) == 0 && set;
}

}  // namespace

// ORV_BENCH_ROUNDS rounds (5); ORV_BENCH_MB MiB of log (1024); ORV_BENCH_FILES files (200000);
// ORV_BENCH_ONLY one group: "crc", "textlog" or "folders"; ORV_BENCH_COMPARE another build of
// the agent to take its turn beside this one (before and after a change, in the same run);
// ORV_BENCH_NICE the nice value of the run's own session (-10: the run takes the processors
// the rest of a busy machine would otherwise share with it, for the baselines as for the agent).
int main() {
  const int rounds = std::max(1, EnvInt("ORV_BENCH_ROUNDS", 5));
  if (const char* niceness = getenv("ORV_BENCH_NICE")) {
    if (!RunInOwnSession(atoi(niceness))) {
      printf("cannot give the run a session with nice %s: %s\n", niceness, strerror(errno));
      return 1;
    }
    printf("in a session of its own, nice %s\n", niceness);
  }
  const char* only = getenv("ORV_BENCH_ONLY");
  auto wanted = [only](const char* group) { return only == nullptr || strcmp(only, group) == 0; };
  TAgents agents;
  agents.list.push_back(std::make_unique<TAgentProcess>());
  agents.names.push_back("agent");
  if (const char* other = getenv("ORV_BENCH_COMPARE")) {
    agents.list.push_back(std::make_unique<TAgentProcess>("", "secret", other));
    agents.names.push_back("other agent");
  }
  for (const auto& agent : agents.list) {
    if (!agent->Start()) {
      printf("an agent did not start\n");
      return 1;
    }
  }
  printf(
      "%d rounds; times: median and worst of the rounds; CPU: median of the rounds, of the\n"
      "process that did the work (the agent's, the child's or this one's); x base: the time\n"
      "over the first line's of the same round, median and worst of the rounds\n",
      rounds);
  if (wanted("crc") || wanted("textlog")) {
    const TSyslogFile file(EnvInt("ORV_BENCH_MB", 1024));
    if (wanted("crc")) Crc(agents, file, rounds);
    if (wanted("textlog")) {
      TextLog(agents, file, "segfault", rounds);
      TextLog(agents, file, TSyslogFile::kOneIn150, rounds);
    }
  }
  if (wanted("folders")) {
    const TTree tree;
    FolderSize(agents, tree, rounds);
    CountAll(agents, tree, rounds);
  }
  return 0;
}
