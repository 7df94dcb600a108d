#include "app/serve_main.h"

#include <sys/resource.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/quit_on_signal.h"
#include "app/systemd_notify.h"
#include "serve/log_sink.h"
#include "serve/qt_config.h"
#include "serve/service.h"

namespace mero::app {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr const char* kDefaultConfig = "/etc/mero-control/serve.conf";

constexpr const char* kUsage =
    "Usage: mero-control serve [--config FILE] [--check]\n"
    "Serves each projector of FILE (default /etc/mero-control/serve.conf) as a PJLink\n"
    "projector, and their status as Prometheus metrics. --check reads FILE and says whether\n"
    "it is valid. SIGHUP reads FILE again; SIGTERM stops the service.\n";

// Standard error, with priorities for the journal when it is the journal's stream.
struct ServeLog {
  serve::StderrOutput stream = serve::MakeStderrOutput();
  serve::LogSink sink{stream.output, serve::NamesStream(std::getenv("JOURNAL_STREAM"), 2)};
};

ServeLog& TheLog() {
  static ServeLog log;
  return log;
}

void Log(serve::Priority priority, const std::string& text) { TheLog().sink.log(priority, text); }

// Each projector holds a line, its lock and a listening socket, and each client a socket.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

bool IsServe(int argc, char** argv) { return argc > 1 && std::string_view(argv[1]) == "serve"; }

int ServeMain(int argc, char** argv) {
  std::string path = kDefaultConfig;
  bool check = false;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--check") {
      check = true;
    } else if (arg == "--config" && i + 1 < argc) {
      path = argv[++i];
    } else if (arg.starts_with("--config=")) {
      path = std::string(arg.substr(9));
    } else {
      std::fprintf(stderr, "mero-control serve: %s is not an option of serve\n%s", argv[i], kUsage);
      return kExitUsage;
    }
  }
  serve::ConfigResult read = serve::ReadConfigFile(path);
  if (!read.config) {
    Log(serve::Priority::Error, read.error);
    return kExitFailure;
  }
  if (check) {
    std::printf("%s: %zu projectors\n%s", path.c_str(), read.config->projectors.size(),
                serve::DescribeConfig(*read.config).c_str());
    return 0;
  }
  QuitOnSignal::Block();
  RaiseDescriptorLimit();
  QCoreApplication app(argc, argv);
  // Lines the stream did not take go out as soon as it takes them, not only with the next one.
  QSocketNotifier writable(TheLog().stream.descriptor, QSocketNotifier::Write);
  writable.setEnabled(TheLog().sink.hasWaiting());
  QObject::connect(&writable, &QSocketNotifier::activated, [] { TheLog().sink.flush(); });
  TheLog().sink.onWaiting = [&writable](bool waiting) { writable.setEnabled(waiting); };
  struct Unhook {
    ~Unhook() { TheLog().sink.onWaiting = nullptr; }
  } unhook;
  serve::Service service(Log);
  SystemdNotify systemd([&] { return service.summary(); }, Log);
  QuitOnSignal onSignal(
      [&] {
        systemd.stopping();
        QCoreApplication::quit();
      },
      [&] {
        systemd.reloading();
        serve::ConfigResult again = serve::ReadConfigFile(path);
        if (!again.config) {
          Log(serve::Priority::Error, "not reloaded: " + again.error);
          systemd.ready("not reloaded: " + again.error);
          return;
        }
        const bool listening = service.apply(*again.config);
        Log(serve::Priority::Notice, "reloaded " + path);
        systemd.ready(listening ? "" : "reloaded, but an address cannot be listened on");
      });
  if (!service.apply(*read.config)) {
    service.stop();
    return kExitFailure;
  }
  Log(serve::Priority::Info,
      "serving " + std::to_string(read.config->projectors.size()) + " projectors from " + path);
  // Every listener is bound: a unit ordered after this one finds them.
  systemd.ready();
  const int code = QCoreApplication::exec();
  service.stop();
  Log(serve::Priority::Info, "stopped");
  return code;
}

}  // namespace mero::app
