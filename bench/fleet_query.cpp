// Asks fleets of virtual projectors, each on its own pseudo-terminal, for their lamp hours
// with one run of `mero-control query` each, and prints the time of the whole run, how many
// were decoded and the run's peak resident memory, beside one query to one projector. The
// fleets: a hundred and two thousand answering (two thousand asked one at a time would be two
// thousand query times; at most 64 in flight makes it about one per 64), a hundred through
// ser2net where it is installed, and fleets that keep silent, whose run is one reply window
// per 64 projectors. Then one projector that floods the line without end: the run's memory
// beside a plain query's, for the bound on what a reply keeps.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/fleet.h"
#include "link/protocol/commands.h"
#include "projector/pty_server.h"
#include "report.h"

namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

constexpr int kSmallFleet = 100;
constexpr int kLargeFleet = 2000;
constexpr int kRounds = 5;
constexpr int kLargeRounds = 3;
constexpr int kSingleRounds = 20;
constexpr int kWaitMs = 60000;
constexpr int kFirstTcpPort = 21400;
constexpr int kStartTries = 100;
constexpr int kStartPauseMs = 50;
// Descriptors the benchmark holds for each projector it serves (the pseudo-terminal's two
// ends and its thread's wake-up pipe), besides its own.
constexpr rlim_t kDescriptorsPerProjector = 4;
constexpr rlim_t kOwnDescriptors = 256;
constexpr double kKilobytesPerMegabyte = 1024.0;

constexpr auto kSampleEvery = 1ms;
constexpr int kInFlight = static_cast<int>(mero::cli::kMostInFlight);

// The turns a fleet takes when each holds its place for a whole reply window.
int Rounds(int projectors) { return (projectors + kInFlight - 1) / kInFlight; }

// The peak resident memory of the program the process runs, from its status, once it runs
// mero-control; 0 before.
double ProgramPeakMb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  bool program = false;
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("Name:")) program = line.find("mero-control") != std::string::npos;
    if (program && line.starts_with("VmHWM:")) {
      return std::stod(line.substr(line.find_first_of("0123456789"))) / kKilobytesPerMegabyte;
    }
  }
  return 0;
}

struct Run {
  double ms = 0;
  int exitCode = -1;
  int lines = 0;
  int decoded = 0;
  double peakMb = 0;
};

// One run of the program, timed from its start to its end, no display in its environment;
// its output counted (lines, and those that say "decoded") and its peak resident memory
// sampled while it runs.
Run Time(const std::vector<std::string>& args, const std::string& outPath) {
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.starts_with("DISPLAY=") || entry.starts_with("WAYLAND_DISPLAY=") ||
        entry.starts_with("QT_QPA_PLATFORM=")) {
      continue;
    }
    environment.push_back(entry);
  }
  std::vector<char*> envp;
  envp.reserve(environment.size() + 1);
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> argvStrings{MERO_CONTROL_BINARY};
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(argvStrings.size() + 1);
  for (std::string& arg : argvStrings) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  Run run;
  const auto start = steady_clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return run;
  // The kernel's own account of a child's peak (wait4) would include this process's memory,
  // which the child shares until it has started the program: the program's high-water mark
  // is read from its status instead, as long as it runs.
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    run.peakMb = std::max(run.peakMb, ProgramPeakMb(pid));
    std::this_thread::sleep_for(kSampleEvery);
  }
  run.ms = duration<double, std::milli>(steady_clock::now() - start).count();
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream out(outPath);
  for (std::string line; std::getline(out, line);) {
    ++run.lines;
    if (line.find("\tdecoded\t") != std::string::npos) ++run.decoded;
  }
  return run;
}

struct Summary {
  double median = 0;
  double worst = 0;
  int exitCode = -1;
  int lines = 0;
  int decoded = 0;  // in the worst round
  double peakMb = 0;
};

Summary Repeat(int rounds, const std::vector<std::string>& args, const std::string& outPath) {
  std::vector<double> times;
  Summary summary;
  summary.decoded = -1;
  for (int i = 0; i < rounds; ++i) {
    const Run run = Time(args, outPath);
    times.push_back(run.ms);
    summary.exitCode = std::max(summary.exitCode, run.exitCode);
    summary.lines = run.lines;
    summary.decoded = summary.decoded < 0 ? run.decoded : std::min(summary.decoded, run.decoded);
    summary.peakMb = std::max(summary.peakMb, run.peakMb);
  }
  std::ranges::sort(times);
  summary.median = times[times.size() / 2];
  summary.worst = times.back();
  return summary;
}

void Print(const std::string& what, const Summary& s) {
  std::printf(
      "%-50s median %8.1f ms, worst %8.1f ms, exit %d, %d lines, %d decoded, "
      "peak %.1f MB\n",
      what.c_str(), s.median, s.worst, s.exitCode, s.lines, s.decoded, s.peakMb);
}

// ser2net serving every device on a loopback port of its own; the addresses, or none when it
// does not start.
std::vector<std::string> ServeThroughSer2net(const std::vector<std::string>& devices,
                                             const QString& folder, QProcess& ser2net,
                                             const std::string& outPath) {
  const QString program = QStandardPaths::findExecutable(
      QStringLiteral("ser2net"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
  if (program.isEmpty()) return {};
  QFile config(folder + QStringLiteral("/ser2net.yaml"));
  if (!config.open(QIODevice::WriteOnly)) return {};
  std::vector<std::string> addresses;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const int port = kFirstTcpPort + static_cast<int>(i);
    config.write(QStringLiteral("connection: &c%1\n"
                                "  accepter: tcp,127.0.0.1,%2\n"
                                "  connector: serialdev,%3,19200n81,local\n")
                     .arg(i)
                     .arg(port)
                     .arg(QString::fromStdString(devices[i]))
                     .toUtf8());
    addresses.push_back("tcp://127.0.0.1:" + std::to_string(port));
  }
  config.close();
  ser2net.start(
      program, {QStringLiteral("-n"), QStringLiteral("-d"), QStringLiteral("-c"), config.fileName(),
                QStringLiteral("-P"), folder + QStringLiteral("/ser2net.pid")});
  if (!ser2net.waitForStarted(kWaitMs)) return {};
  // Ready once the last projector answers through it.
  for (int i = 0; i < kStartTries; ++i) {
    if (Time({"query", "status", addresses.back()}, outPath).exitCode == 0) return addresses;
    QThread::msleep(kStartPauseMs);
  }
  return {};
}

std::string AddressFile(const QString& folder, const char* name,
                        const std::vector<std::string>& addresses) {
  std::string path = (folder + QLatin1Char('/') + QLatin1String(name)).toStdString();
  std::ofstream file(path);
  for (const std::string& address : addresses) file << address << '\n';
  return path;
}

// As many projectors as the descriptor limit allows, up to `wanted`.
int FleetSizeAllowed(int wanted) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  const rlim_t room = limit.rlim_cur > kOwnDescriptors ? limit.rlim_cur - kOwnDescriptors : 0;
  return static_cast<int>(
      std::min<rlim_t>(static_cast<rlim_t>(wanted), room / kDescriptorsPerProjector));
}

}  // namespace

int main(int argc, char** argv) {
  using mero::bench::Report;
  QCoreApplication app(argc, argv);
  QTemporaryDir folder;
  const std::string out = (folder.path() + QStringLiteral("/out.txt")).toStdString();
  const int large = FleetSizeAllowed(kLargeFleet);
  std::vector<std::unique_ptr<mero::vp::PtyServer>> fleet;
  std::vector<std::string> devices;
  for (int i = 0; i < large; ++i) {
    mero::vp::ServerOptions options;
    options.projector.lampHours = i;
    try {
      fleet.push_back(std::make_unique<mero::vp::PtyServer>(options));
    } catch (const std::exception& e) {
      std::printf("the fleet stops at %d projectors: %s\n", i, e.what());
      break;
    }
    devices.push_back(fleet.back()->DevicePath());
  }
  const int served = static_cast<int>(devices.size());
  const int small = std::min(kSmallFleet, served);
  const int windowMs = mero::link::ReplyWindowOf(mero::link::FindStatusQuery("lamp-hours")->timing);
  const int modelWindowMs = mero::link::ReplyWindowOf(mero::link::FindStatusQuery("model")->timing);
  std::printf("lamp-hours: %d ms reply window; %d virtual projectors on pseudo-terminals\n",
              windowMs, served);

  const std::vector<std::string> command = {"query", "lamp-hours"};
  const auto with = [&](const std::vector<std::string>& more) {
    std::vector<std::string> args = command;
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  const std::vector<std::string> smallFleet(devices.begin(), devices.begin() + small);
  const std::string smallFile = AddressFile(folder.path(), "small.txt", smallFleet);
  const std::string largeFile = AddressFile(folder.path(), "large.txt", devices);

  const Summary one = Repeat(kSingleRounds, with({devices[0]}), out);
  Print("one projector, end to end:", one);
  Report({"lamp hours, one projector, median", one.median, "ms", "", 0, ""});
  Report({"one query, peak memory", one.peakMb, "MB", "", 0, ""});

  const Summary hundred = Repeat(kRounds, with({"--addresses", smallFile}), out);
  Print("the fleet of " + std::to_string(small) + ", all answering:", hundred);
  Report({"lamp hours, fleet of " + std::to_string(small) + " answering, median", hundred.median,
          "ms", "one projector", one.median, "a few query times, not one per projector"});

  const Summary thousands = Repeat(kLargeRounds, with({"--addresses", largeFile}), out);
  Print("the fleet of " + std::to_string(served) + ", all answering:", thousands);
  Report({"lamp hours, fleet of " + std::to_string(served) + " answering, median", thousands.median,
          "ms", "one projector", one.median,
          "about one query time per " + std::to_string(kInFlight) + " projectors"});
  Report({"fleet of " + std::to_string(served) + " answering, decoded (worst round)",
          static_cast<double>(thousands.decoded), "projectors", "projectors asked",
          static_cast<double>(served), "all"});
  Report({"fleet of " + std::to_string(served) + " answering, peak memory", thousands.peakMb, "MB",
          "one query", one.peakMb, "a few MB above one query"});

  QProcess ser2net;
  const std::vector<std::string> addresses =
      ServeThroughSer2net(smallFleet, folder.path(), ser2net, out);
  if (addresses.empty()) {
    std::printf("ser2net: not installed or did not start, no run through it\n");
  } else {
    const std::string file = AddressFile(folder.path(), "ser2net.txt", addresses);
    const Summary through = Repeat(kRounds, with({"--addresses", file}), out);
    Print("the fleet of " + std::to_string(small) + " through ser2net, all answering:", through);
    Report({"lamp hours, fleet of " + std::to_string(small) + " through ser2net, median",
            through.median, "ms", "one projector", one.median, ""});
  }

  for (auto& projector : fleet) projector->DropAllReplies(true);
  const Summary silent = Repeat(kRounds, with({"--addresses", smallFile}), out);
  Print("the fleet of " + std::to_string(small) + ", none answering:", silent);
  Report({"lamp hours, fleet of " + std::to_string(small) + " silent, median", silent.median, "ms",
          "one reply window per " + std::to_string(kInFlight),
          static_cast<double>(Rounds(small) * windowMs), ""});
  const Summary silentLarge = Repeat(1, with({"--addresses", largeFile}), out);
  Print("the fleet of " + std::to_string(served) + ", none answering:", silentLarge);
  Report({"lamp hours, fleet of " + std::to_string(served) + " silent", silentLarge.median, "ms",
          "one reply window per " + std::to_string(kInFlight),
          static_cast<double>(Rounds(served) * windowMs), ""});
  if (!addresses.empty()) {
    ser2net.terminate();
    ser2net.waitForFinished(kWaitMs);
  }

  // A line that never stops: the reply is cut at its bound and the run ends there.
  mero::vp::PtyServer& flooding = *fleet.front();
  std::atomic<bool> stop = false;
  std::thread flood([&] {
    while (!stop) {
      flooding.SendRaw(std::string(std::size_t{16} * 1024, 'A'));
      std::this_thread::sleep_for(1ms);
    }
  });
  const Summary flooded = Repeat(kRounds, {"query", "model", devices.front()}, out);
  stop = true;
  flood.join();
  Print("one projector flooding the line (query model):", flooded);
  Report({"a flooding projector (query model), median", flooded.median, "ms", "its reply window",
          static_cast<double>(modelWindowMs), "ended at the bound, before the window"});
  Report({"a flooding projector, peak memory", flooded.peakMb, "MB", "one query", one.peakMb,
          "bounded: about one query's"});
  return 0;
}
