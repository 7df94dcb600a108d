// What it costs to run the panel: the time from starting the program to its window being
// mapped and the memory it holds a second later, beside an empty Qt window and Debian's Qt
// serial terminal (cutecom) started the same way; then what the panel does while nobody
// touches it, COM1 open on a pseudo-terminal: how often its threads wake and how much
// processor time they take. Everything runs on a virtual X server started here, with no window
// manager; the map of a program's first top-level window is read from the server as it comes.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "report.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kServerLimit = 10s;  // for the X server to accept connections
constexpr auto kShowLimit = 30s;    // for a program's first window
constexpr auto kSettle = 1s;        // from the map to the memory reading
constexpr auto kIdleSettle = 2s;    // from the map to the start of the idle watch
constexpr auto kStopLimit = 5s;     // from SIGTERM to SIGKILL
constexpr int kFirstDisplay = 20;
constexpr int kDisplays = 80;

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The number after "name:" in /proc/PID/status and the like; -1 when there is none.
long long Field(const std::string& text, const std::string& name) {
  const std::size_t at = text.find("\n" + name + ":");
  return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + name.size() + 2);
}

double Median(std::vector<double> values) {
  std::ranges::sort(values);
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string FindProgram(const std::string& name) {
  std::istringstream path(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
  for (std::string folder; std::getline(path, folder, ':');) {
    std::string candidate = folder;
    candidate += "/";
    candidate += name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// A pseudo-terminal held open here, both ends; the program opens the other end as COM1. What
// it sends is read away and counted.
struct Line {
  int master = -1;
  int slave = -1;
  std::string path;
  long long received = 0;

  Line() {
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
      throw Failure(std::string("no pseudo-terminal: ") + std::strerror(errno));
    }
    path = ::ttyname(slave);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(master, F_SETFL, O_NONBLOCK);
  }
  ~Line() {
    ::close(master);
    ::close(slave);
  }
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  void drain() {
    char bytes[4096];
    for (ssize_t n; (n = ::read(master, bytes, sizeof bytes)) > 0;) received += n;
  }
};

// Waits until one of `fds` can be read or the time is up, reading away meanwhile what the
// program sends on the line; the index of the first descriptor ready, or -1 at the time.
int Wait(const std::vector<int>& fds, Clock::time_point until, Line* line) {
  while (true) {
    std::vector<pollfd> watched;
    watched.reserve(fds.size() + 1);
    for (int fd : fds) watched.push_back({fd, POLLIN, 0});
    if (line != nullptr) watched.push_back({line->master, POLLIN, 0});
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
    const int ready = ::poll(watched.data(), watched.size(),
                             static_cast<int>(std::max<long long>(0, left.count())));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return -1;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (watched[i].revents != 0) return static_cast<int>(i);
    }
    line->drain();
    if ((watched.back().revents & (POLLHUP | POLLERR)) != 0) line = nullptr;
  }
}

void Pause(Clock::duration duration, Line* line) { Wait({}, Clock::now() + duration, line); }

// The environment of a program started here: this one's, on the given display and home.
std::vector<std::string> Environment(const std::string& display, const fs::path& home) {
  const std::vector<std::string> replaced = {
      "DISPLAY=",         "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=", "HOME=",
      "XDG_CONFIG_HOME=", "XDG_CACHE_HOME=",  "XDG_RUNTIME_DIR="};
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (std::ranges::none_of(replaced, [&](const auto& name) { return text.starts_with(name); })) {
      environment.push_back(text);
    }
  }
  environment.push_back("DISPLAY=" + display);
  if (!home.empty()) {
    environment.push_back("HOME=" + home.string());
    environment.push_back("XDG_CONFIG_HOME=" + (home / ".config").string());
    environment.push_back("XDG_CACHE_HOME=" + (home / ".cache").string());
    environment.push_back("XDG_RUNTIME_DIR=" + (home / "run").string());
  }
  return environment;
}

// A program started here, its output in a log. It is stopped when this goes, and goes with
// this process should that end first.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::vector<std::string>& environment,
        fs::path log, bool signalWhenReady = false)
      : log_(std::move(log)) {
    std::vector<char*> argv;
    std::vector<char*> envp;
    argv.reserve(args.size() + 1);
    envp.reserve(environment.size() + 1);
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    for (const auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const int out = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      // An X server that finds SIGUSR1 ignored sends it to its parent once it takes clients.
      ::signal(SIGUSR1, signalWhenReady ? SIG_IGN : SIG_DFL);
      ::dup2(::open("/dev/null", O_RDONLY), 0);
      ::dup2(out, 1);
      ::dup2(out, 2);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(out);
    if (pid_ < 0) throw Failure(std::string("cannot start a process: ") + std::strerror(errno));
    // glibc 2.36 declares pidfd_open without C linkage.
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd_ < 0) {
      ::kill(pid_, SIGKILL);
      reap();
      throw Failure(std::string("pidfd_open: ") + std::strerror(errno));
    }
  }
  ~Child() { stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  int ended() const { return pidfd_; }  // readable once the program has ended
  bool hasEnded() const { return reaped_ || Wait({pidfd_}, Clock::now(), nullptr) == 0; }

  // SIGTERM, and SIGKILL if it is still there after kStopLimit; true when it took SIGKILL.
  bool stop() {
    if (reaped_) return false;
    ::kill(pid_, SIGTERM);
    const bool killed = Wait({pidfd_}, Clock::now() + kStopLimit, nullptr) != 0;
    if (killed) ::kill(pid_, SIGKILL);
    reap();
    return killed;
  }

  // How it ended, and the end of what it wrote.
  std::string why() {
    reap();
    std::string text = WIFEXITED(status_)
                           ? "exited with status " + std::to_string(WEXITSTATUS(status_))
                           : "ended by signal " + std::to_string(WTERMSIG(status_));
    const std::string output = ReadFile(log_);
    const std::size_t tail = std::min<std::size_t>(output.size(), 1500);
    if (tail > 0) text += "; its output ends:\n" + output.substr(output.size() - tail);
    return text;
  }

 private:
  void reap() {
    if (reaped_) return;
    while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    ::close(pidfd_);
    reaped_ = true;
  }

  fs::path log_;
  pid_t pid_ = -1;
  int pidfd_ = -1;
  int status_ = 0;
  bool reaped_ = false;
};

// A virtual X server on a display number nobody uses, and a connection to it that hears of
// every top-level window being mapped.
class Screen {
 public:
  explicit Screen(const fs::path& folder) {
    const std::string xvfb = FindProgram("Xvfb");
    if (xvfb.empty()) throw Failure("Xvfb is not installed (Debian package xvfb)");
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ::sigprocmask(SIG_BLOCK, &usr1, nullptr);
    const int ready = ::signalfd(-1, &usr1, SFD_CLOEXEC);
    for (int n = kFirstDisplay; n < kFirstDisplay + kDisplays && !server_; ++n) {
      const std::string number = std::to_string(n);
      const auto taken = [&] {
        return fs::exists("/tmp/.X" + number + "-lock") || fs::exists("/tmp/.X11-unix/X" + number);
      };
      if (taken()) continue;
      auto server =
          std::make_unique<Child>(std::vector<std::string>{xvfb, ":" + number, "-screen", "0",
                                                           "1280x1024x24", "-nolisten", "tcp"},
                                  Environment(":" + number, {}), folder / "Xvfb.log", true);
      const int which = Wait({ready, server->ended()}, Clock::now() + kServerLimit, nullptr);
      if (which == 0) {
        name_ = ":" + number;
        server_ = std::move(server);
      } else if (which < 0 || !taken()) {
        ::close(ready);
        throw Failure("Xvfb on :" + number +
                      " did not take clients: " + (which < 0 ? "not within 10 s" : server->why()));
      }
    }
    ::close(ready);
    if (!server_) throw Failure("no free X display number");
    connection_ = ::xcb_connect(name_.c_str(), nullptr);
    if (::xcb_connection_has_error(connection_) != 0)
      throw Failure("cannot connect to Xvfb " + name_);
    const xcb_window_t root = ::xcb_setup_roots_iterator(::xcb_get_setup(connection_)).data->root;
    const std::uint32_t events = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    if (xcb_generic_error_t* error =
            ::xcb_request_check(connection_, ::xcb_change_window_attributes_checked(
                                                 connection_, root, XCB_CW_EVENT_MASK, &events))) {
      std::free(error);
      throw Failure("cannot follow the windows of Xvfb " + name_);
    }
  }
  ~Screen() {
    if (connection_ != nullptr) ::xcb_disconnect(connection_);
  }
  Screen(const Screen&) = delete;
  Screen& operator=(const Screen&) = delete;

  const std::string& name() const { return name_; }

  // Drops what the server has told so far: the windows of programs that have ended.
  void forget() {
    std::free(
        ::xcb_get_input_focus_reply(connection_, ::xcb_get_input_focus(connection_), nullptr));
    while (xcb_generic_event_t* event = ::xcb_poll_for_event(connection_)) std::free(event);
  }

  // When the next top-level window was mapped; none if the program ended first or took too long.
  std::optional<Clock::time_point> waitForMap(const Child& program, Line* line) {
    const auto until = Clock::now() + kShowLimit;
    while (true) {
      while (xcb_generic_event_t* event = ::xcb_poll_for_event(connection_)) {
        const bool mapped =
            (event->response_type & 0x7f) == XCB_MAP_NOTIFY &&
            reinterpret_cast<xcb_map_notify_event_t*>(event)->override_redirect == 0;
        std::free(event);
        if (mapped) return Clock::now();
      }
      if (::xcb_connection_has_error(connection_) != 0)
        throw Failure("lost the connection to Xvfb");
      if (Wait({::xcb_get_file_descriptor(connection_), program.ended()}, until, line) != 0) {
        return std::nullopt;
      }
    }
  }

 private:
  std::unique_ptr<Child> server_;
  std::string name_;
  xcb_connection_t* connection_ = nullptr;
};

// A temporary folder, removed with everything in it.
struct Folder {
  fs::path path;
  Folder() {
    std::string name = (fs::temp_directory_path() / "program-costs-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) throw Failure("cannot make a temporary folder");
    path = name;
  }
  ~Folder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

struct Program {
  std::string label;
  std::vector<std::string> args;
  bool com1OnLine = false;
};

// A program started on the screen in a new home folder of its own, COM1 on a pseudo-terminal
// when it takes one, and shown.
struct Shown {
  std::unique_ptr<Line> line;
  std::unique_ptr<Child> child;
  double startMs = 0;
};

Shown Show(const Program& program, Screen& screen, const fs::path& folder) {
  static int launches = 0;
  const fs::path home = folder / ("home-" + std::to_string(++launches));
  fs::create_directories(home / ".config");
  fs::create_directories(home / "run");
  fs::permissions(home / "run", fs::perms::owner_all);
  Shown shown;
  std::vector<std::string> args = program.args;
  if (program.com1OnLine) {
    shown.line = std::make_unique<Line>();
    args.insert(args.end(), {"--com1", shown.line->path});
  }
  screen.forget();
  const auto start = Clock::now();
  shown.child =
      std::make_unique<Child>(args, Environment(screen.name(), home), home / "output.log");
  const auto mapped = screen.waitForMap(*shown.child, shown.line.get());
  if (!mapped) {
    if (!shown.child->hasEnded()) throw Failure(program.label + ": no window within 30 s");
    throw Failure(program.label + " ended before showing a window: " + shown.child->why());
  }
  shown.startMs = std::chrono::duration<double, std::milli>(*mapped - start).count();
  return shown;
}

fs::path Proc(pid_t pid) { return "/proc/" + std::to_string(pid); }

bool HoldsOpen(pid_t pid, const std::string& device) {
  std::error_code error;
  for (const auto& fd : fs::directory_iterator(Proc(pid) / "fd", error)) {
    if (fs::read_symlink(fd.path(), error) == device) return true;
  }
  return false;
}

struct Costs {
  std::vector<double> startMs;
  std::vector<double> residentMb;
  int portOpen = 0;
  int killed = 0;
};

void Measure(const Program& program, Screen& screen, const fs::path& folder, Costs& costs) {
  Shown shown = Show(program, screen, folder);
  Pause(kSettle, shown.line.get());
  const long long kb = Field(ReadFile(Proc(shown.child->pid()) / "status"), "VmRSS");
  if (kb < 0) {
    throw Failure(program.label + " ended after showing its window: " + shown.child->why());
  }
  costs.startMs.push_back(shown.startMs);
  costs.residentMb.push_back(static_cast<double>(kb) / 1024.0);
  if (shown.line && HoldsOpen(shown.child->pid(), shown.line->path)) ++costs.portOpen;
  if (shown.child->stop()) ++costs.killed;
}

struct Thread {
  std::string name;
  long long switches = 0;  // voluntary and involuntary context switches
};

std::map<int, Thread> Threads(pid_t pid) {
  std::map<int, Thread> threads;
  std::error_code error;
  for (const auto& task : fs::directory_iterator(Proc(pid) / "task", error)) {
    const std::string status = ReadFile(task.path() / "status");
    if (status.empty()) continue;  // ended just now
    std::string name = ReadFile(task.path() / "comm");
    if (!name.empty() && name.back() == '\n') name.pop_back();
    threads[std::stoi(task.path().filename())] = {
        name,
        Field(status, "voluntary_ctxt_switches") + Field(status, "nonvoluntary_ctxt_switches")};
  }
  return threads;
}

// User and system time of the whole process, in clock ticks.
long long CpuTicks(pid_t pid) {
  const std::string stat = ReadFile(Proc(pid) / "stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long long ticks = 0;
  // After the name come the state (field 3) ... utime (14) and stime (15).
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::stoll(field);
  }
  return ticks;
}

void Idle(const Program& panel, Screen& screen, const fs::path& folder, int seconds) {
  Shown shown = Show(panel, screen, folder);
  Line& line = *shown.line;
  const pid_t pid = shown.child->pid();
  Pause(kIdleSettle, &line);
  if (!HoldsOpen(pid, line.path)) {
    throw Failure("mero-control does not hold COM1 (" + line.path + ") open after start-up");
  }
  const auto before = Threads(pid);
  const long long ticksBefore = CpuTicks(pid);
  const long long bytesBefore = line.received;
  const auto start = Clock::now();
  Pause(std::chrono::seconds(seconds), &line);
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const auto after = Threads(pid);
  const long long ticks = CpuTicks(pid) - ticksBefore;
  if (shown.child->hasEnded()) {
    throw Failure("mero-control ended while idle: " + shown.child->why());
  }
  shown.child->stop();

  long long wakeUps = 0;
  std::printf("\nmero-control idle for %d s, COM1 open on %s; its threads:\n", seconds,
              line.path.c_str());
  for (const auto& [tid, thread] : after) {
    const auto was = before.find(tid);
    const long long woke = thread.switches - (was == before.end() ? 0 : was->second.switches);
    wakeUps += woke;
    std::printf("  %-7d %-16s %6lld wake-ups%s\n", tid, thread.name.c_str(), woke,
                was == before.end() ? " (started meanwhile)" : "");
  }
  for (const auto& [tid, thread] : before) {
    if (!after.contains(tid)) {
      std::printf("  %-7d %-16s ended meanwhile\n", tid, thread.name.c_str());
    }
  }
  const double cpu =
      100.0 * static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK)) / elapsed;
  std::printf("  all threads: %lld wake-ups, %lld clock ticks of CPU (%.2f %%)\n", wakeUps, ticks,
              cpu);
  std::printf("  sent on COM1 meanwhile: %lld bytes\n\n", line.received - bytesBefore);
  mero::bench::Report({"idle wake-ups over " + std::to_string(seconds) + " s with the port open",
                       static_cast<double>(wakeUps), "count", "", 0, "zero"});
  mero::bench::Report({"idle CPU", cpu, "%", "", 0, "zero"});
}

bool PositiveOption(const std::string& arg, const char* name, char** next, int* value) {
  if (arg != name || *next == nullptr) return false;
  *value = std::atoi(*next);
  return *value > 0;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 10;
  int idleSeconds = 10;
  for (int i = 1; i < argc; i += 2) {
    if (!PositiveOption(argv[i], "--runs", argv + i + 1, &runs) &&
        !PositiveOption(argv[i], "--idle-seconds", argv + i + 1, &idleSeconds)) {
      std::fprintf(stderr, "usage: program_costs [--runs N] [--idle-seconds S]\n");
      return 2;
    }
  }
  try {
    const Folder folder;
    Screen screen(folder.path);
    std::vector<Program> programs = {{"mero-control", {MERO_CONTROL_BINARY}, true},
                                     {"bare Qt window", {BARE_WINDOW_BINARY}}};
    if (const std::string cutecom = FindProgram("cutecom"); !cutecom.empty()) {
      programs.push_back({"cutecom", {cutecom}});
    } else {
      std::printf("cutecom is not installed (Debian package cutecom): not measured\n");
    }
    std::printf("Xvfb %s, no window manager; %d runs of each program, one after the other\n",
                screen.name().c_str(), runs);

    std::vector<Costs> costs(programs.size());
    for (int run = 0; run < runs; ++run) {
      for (std::size_t p = 0; p < programs.size(); ++p) {
        Measure(programs[p], screen, folder.path, costs[p]);
      }
    }
    std::printf("\n%-16s %30s %30s\n", "", "start-up to window mapped, ms",
                "resident 1 s later, MB");
    std::printf("%-16s %10s %19s %10s %19s\n", "", "median", "min .. max", "median", "min .. max");
    for (std::size_t p = 0; p < programs.size(); ++p) {
      const Costs& c = costs[p];
      std::printf("%-16s %10.1f %8.1f .. %7.1f %10.1f %8.1f .. %7.1f", programs[p].label.c_str(),
                  Median(c.startMs), std::ranges::min(c.startMs), std::ranges::max(c.startMs),
                  Median(c.residentMb), std::ranges::min(c.residentMb),
                  std::ranges::max(c.residentMb));
      if (programs[p].com1OnLine) std::printf("   COM1 open in %d of %d", c.portOpen, runs);
      if (c.killed > 0) std::printf("   SIGKILL needed %d times", c.killed);
      std::printf("\n");
    }
    std::printf("\n");
    for (std::size_t p = 1; p < programs.size(); ++p) {
      const bool bare = p == 1;
      mero::bench::Report({"start-up to window shown", Median(costs[0].startMs), "ms",
                           programs[p].label, Median(costs[p].startMs),
                           bare ? "within 1.3x the bare window" : ""});
    }
    for (std::size_t p = 1; p < programs.size(); ++p) {
      mero::bench::Report({"resident memory after start-up", Median(costs[0].residentMb), "MB",
                           programs[p].label, Median(costs[p].residentMb), ""});
    }
    Idle(programs[0], screen, folder.path, idleSeconds);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "program_costs: %s\n", failure.what());
    return 1;
  }
  return 0;
}
