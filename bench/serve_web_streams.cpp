// A hundred browsers' event streams on one service over 100 projectors: the service's processor
// time and memory with the streams open, the time from a change on the line to its event on
// every stream, and the line's exchanges with no stream open beside those with a hundred, which
// should be the same since every stream hears what the polls learnt anyway.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "process_figures.h"
#include "report.h"
#include "serve_process.h"

namespace {

using mero::bench::Report;

constexpr int kProjectors = 100;
constexpr int kStreams = 100;
constexpr int kPollSeconds = 10;
constexpr int kWindowSeconds = 30;
constexpr int kRounds = 20;
// The projectors the changes are made on, powered on first: mutes are unknown in stand-by.
constexpr int kChanged = kRounds;
constexpr int kWarmUpMs = 3000;
constexpr int kEventWaitMs = 5000;
constexpr std::string_view kToken = "bench-token-0123456789ab";

QElapsedTimer g_sinceStart;

double NowMs() { return static_cast<double>(g_sinceStart.nsecsElapsed()) / 1e6; }

double Percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::ranges::sort(values);
  return values[static_cast<std::size_t>(share * static_cast<double>(values.size() - 1))];
}

// Turns of the event loop until the condition holds or the time is up; the streams are read
// throughout, as a browser reads them.
bool RunUntil(const std::function<bool()>& condition, int limitMs) {
  const double end = NowMs() + limitMs;
  while (!condition()) {
    if (NowMs() >= end) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
  }
  return true;
}

void RunFor(int ms) {
  (void)RunUntil([] { return false; }, ms);
}

struct Answer {
  int status = 0;
  std::string body;
  double atMs = 0;  // when the whole answer had come
};

// One HTTP/1.0 request, so that the answer is plain and ends with the connection.
Answer Fetch(quint16 port, const std::string& method, const std::string& path,
             const std::string& extraHeaders = "", const std::string& body = "") {
  QTcpSocket socket;
  std::string received;
  Answer answer;
  const auto complete = [&] {
    const auto headersEnd = received.find("\r\n\r\n");
    if (headersEnd == std::string::npos) return socket.state() == QAbstractSocket::UnconnectedState;
    const auto length = received.find("Content-Length: ");
    if (length == std::string::npos || length > headersEnd) {
      return socket.state() == QAbstractSocket::UnconnectedState;
    }
    return received.size() - headersEnd - 4 >=
           std::stoul(received.substr(length + 16, headersEnd - length - 16));
  };
  QObject::connect(&socket, &QTcpSocket::readyRead, [&] {
    received += socket.readAll().toStdString();
    if (answer.atMs == 0 && complete()) answer.atMs = NowMs();
  });
  socket.connectToHost(QHostAddress::LocalHost, port);
  const std::string request =
      method + " " + path + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" +
      extraHeaders + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  socket.write(request.data(), static_cast<qint64>(request.size()));
  (void)RunUntil(
      [&] { return answer.atMs != 0 || socket.state() == QAbstractSocket::UnconnectedState; },
      10000);
  if (answer.atMs == 0) answer.atMs = NowMs();
  if (received.starts_with("HTTP/1.")) answer.status = std::atoi(received.c_str() + 9);
  const auto headersEnd = received.find("\r\n\r\n");
  if (headersEnd != std::string::npos) answer.body = received.substr(headersEnd + 4);
  return answer;
}

Answer Command(quint16 port, const std::string& projector, const std::string& command) {
  return Fetch(
      port, "POST", "/api/v1/projectors/" + projector + "/commands/" + command,
      "Authorization: Bearer " + std::string(kToken) + "\r\nContent-Type: application/json\r\n",
      "{}");
}

// Strings are built piecewise here: GCC 12's Release build warns (-Wrestrict) of a literal
// added to a temporary string.
std::string Quoted(std::string_view text) {
  std::string quoted = "\"";
  quoted += text;
  quoted += '"';
  return quoted;
}

std::string Id(int projector) {
  std::string id = "p";
  id += std::to_string(projector);
  return id;
}

// What an event's data says of one field: the text after `"field":` up to the next comma.
std::string Field(std::string_view data, std::string_view field) {
  std::string key = Quoted(field);
  key += ':';
  const auto at = data.find(key);
  if (at == std::string_view::npos) return {};
  const auto start = at + key.size();
  const auto end = data.find_first_of(",}", start);
  return std::string(data.substr(start, end - start));
}

// What every stream is waiting to see: the projector `id` with its sound mute `muted`.
struct Awaited {
  std::string id;
  std::string muted;
  bool active = false;
};

// One browser's stream, read as EventSource reads it: the chunks of HTTP/1.1 taken apart,
// then the events at their blank lines.
struct Stream {
  QTcpSocket socket;
  std::string raw;   // bytes not yet taken out of their chunk
  std::string text;  // the event text of the chunks, up to an event's end
  bool headersRead = false;
  std::size_t chunkLeft = 0;  // bytes of the current chunk not yet taken, and its CRLF
  bool inChunk = false;
  int events = 0;
  std::optional<double> sawAtMs;  // when it saw the awaited state

  void read(const Awaited& awaited) {
    raw += socket.readAll().toStdString();
    const double at = NowMs();
    if (!headersRead) {
      const auto end = raw.find("\r\n\r\n");
      if (end == std::string::npos) return;
      raw.erase(0, end + 4);
      headersRead = true;
    }
    while (!raw.empty()) {
      if (!inChunk) {
        const auto line = raw.find("\r\n");
        if (line == std::string::npos) break;
        chunkLeft = std::stoul(raw.substr(0, line), nullptr, 16) + 2;
        raw.erase(0, line + 2);
        inChunk = true;
      }
      const std::size_t take = std::min(chunkLeft, raw.size());
      text.append(raw, 0, take);
      raw.erase(0, take);
      chunkLeft -= take;
      if (chunkLeft == 0) {
        text.resize(text.size() - 2);  // the chunk's own CRLF
        inChunk = false;
      }
    }
    for (auto end = text.find("\n\n"); end != std::string::npos; end = text.find("\n\n")) {
      const std::string event = text.substr(0, end);
      text.erase(0, end + 2);
      const auto data = event.find("data: ");
      if (!event.starts_with("event: projector\n") || data == std::string::npos) continue;
      ++events;
      const std::string_view json = std::string_view(event).substr(data + 6);
      if (awaited.active && !sawAtMs && Field(json, "id") == Quoted(awaited.id) &&
          Field(json, "soundMute") == awaited.muted) {
        sawAtMs = at;
      }
    }
  }
};

double ExchangesSoFar(quint16 port) {
  double total = 0;
  const std::string page = Fetch(port, "GET", "/metrics").body;
  for (std::size_t at = page.find("\nmero_projector_exchanges_total{"); at != std::string::npos;
       at = page.find("\nmero_projector_exchanges_total{", at + 1)) {
    const auto end = page.find('\n', at + 1);
    total += std::atof(page.c_str() + page.rfind(' ', end) + 1);
  }
  return total;
}

struct Window {
  double cpuPercent = 0;
  double exchangesPerProjectorMinute = 0;
};

// The event loop run for the window, the streams read throughout.
Window Measure(quint16 metricsPort, long pid) {
  const double exchangesBefore = ExchangesSoFar(metricsPort);
  const double cpuBefore = mero::bench::ProcessCpuSeconds(pid);
  const double startMs = NowMs();
  RunFor(kWindowSeconds * 1000);
  const double seconds = (NowMs() - startMs) / 1000;
  const double cpu = mero::bench::ProcessCpuSeconds(pid) - cpuBefore;
  const double exchanges = ExchangesSoFar(metricsPort) - exchangesBefore;
  return {100 * cpu / seconds, exchanges / kProjectors / seconds * 60};
}

bool StateIs(quint16 port, int projector, std::string_view power, std::string_view muted) {
  const std::string json = Fetch(port, "GET", "/api/v1/projectors/" + Id(projector)).body;
  return Field(json, "power") == Quoted(power) && Field(json, "soundMute") == muted;
}

bool Fail(const char* what) {
  std::fprintf(stderr, "serve_web_streams: %s\n", what);
  return false;
}

// The device paths the virtual projectors print, one a line.
std::vector<std::string> StartProjectors(QProcess& process) {
  process.start(
      QStringLiteral(MERO_VIRTUAL_PROJECTOR_BINARY),
      {QStringLiteral("--count"), QString::number(kProjectors), QStringLiteral("--warm-up"),
       QString::number(kWarmUpMs), QStringLiteral("--cool-down"), QString::number(kWarmUpMs)});
  std::vector<std::string> devices;
  QElapsedTimer waited;
  waited.start();
  while (devices.size() < kProjectors && waited.elapsed() < 30000) {
    process.waitForReadyRead(1000);
    while (process.canReadLine()) devices.push_back(process.readLine().trimmed().toStdString());
  }
  return devices;
}

bool WriteToken(const QString& path) {
  QFile token(path);
  if (!token.open(QIODevice::WriteOnly) ||
      !token.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
    return false;
  }
  token.write(kToken.data(), static_cast<qint64>(kToken.size()));
  return token.write("\n") == 1;
}

std::string Config(const std::vector<std::string>& devices, const std::vector<quint16>& ports,
                   const QString& tokenPath) {
  std::string config = "[service]\npoll-interval = " + std::to_string(kPollSeconds) +
                       "\nmetrics = 127.0.0.1:" + std::to_string(ports.back()) +
                       "\ntoken-file = " + tokenPath.toStdString() + "\n";
  for (int i = 0; i < kProjectors; ++i) {
    const auto at = static_cast<std::size_t>(i);
    config += '[';
    config += Id(i) + "]\naddress = " + devices[at] +
              "\npjlink = 127.0.0.1:" + std::to_string(ports[at]) + "\n";
  }
  return config;
}

// Every projector polled once, then those to be changed on and their mutes known.
bool PrepareChanges(quint16 port) {
  const auto polled = [&] {
    RunFor(500);
    const std::string page = Fetch(port, "GET", "/metrics").body;
    const std::string_view sample = "\nmero_projector_last_poll_timestamp_seconds{";
    std::size_t count = 0;
    for (auto at = page.find(sample); at != std::string::npos; at = page.find(sample, at + 1)) {
      ++count;
    }
    return count == kProjectors;
  };
  if (!RunUntil(polled, 3 * kPollSeconds * 1000)) return Fail("not every projector was polled");
  for (int i = 0; i < kChanged; ++i) (void)Command(port, Id(i), "power-on");
  RunFor(kWarmUpMs + 500);
  for (int i = 0; i < kChanged; ++i) (void)Command(port, Id(i), "mute-off");
  const auto ready = [&] {
    RunFor(200);
    for (int i = 0; i < kChanged; ++i) {
      if (!StateIs(port, i, "on", "false")) return false;
    }
    return true;
  };
  return RunUntil(ready, 2 * kPollSeconds * 1000) ||
         Fail("the projectors to change did not come on");
}

using Streams = std::vector<std::unique_ptr<Stream>>;

bool OpenStreams(quint16 port, Streams& streams, const Awaited& awaited) {
  for (int i = 0; i < kStreams; ++i) {
    auto stream = std::make_unique<Stream>();
    Stream* s = stream.get();
    QObject::connect(&s->socket, &QTcpSocket::readyRead, [s, &awaited] { s->read(awaited); });
    // Distinct source addresses: the service holds at most 32 streams of one.
    s->socket.bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(2 + i)), 0);
    s->socket.connectToHost(QHostAddress::LocalHost, port);
    const std::string request =
        "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
        "\r\nAccept: text/event-stream\r\nCache-Control: no-cache\r\n\r\n";
    s->socket.write(request.data(), static_cast<qint64>(request.size()));
    streams.push_back(std::move(stream));
  }
  const auto allOpened = [&] {
    return std::ranges::all_of(streams, [](const auto& s) { return s->events >= kProjectors; });
  };
  return RunUntil(allOpened, 10000) || Fail("not every stream heard every projector");
}

struct Changes {
  std::vector<double> latencyMs;
  int unseen = 0;
  int refused = 0;
  int readFirst = 0;
};

// One change and its event on every stream.
void Change(quint16 port, const std::string& id, bool mute, Streams& streams, Awaited& awaited,
            Changes& changes) {
  for (auto& s : streams) s->sawAtMs.reset();
  awaited = {id, mute ? "true" : "false", true};
  const Answer answer = Command(port, id, mute ? "mute-on" : "mute-off");
  if (answer.status != 200) {
    ++changes.refused;
    awaited.active = false;
    return;
  }
  const auto everyStream = [&] {
    return std::ranges::all_of(streams, [](const auto& s) { return s->sawAtMs.has_value(); });
  };
  (void)RunUntil(everyStream, kEventWaitMs);
  awaited.active = false;
  for (const auto& s : streams) {
    if (!s->sawAtMs) {
      ++changes.unseen;
      continue;
    }
    // Sockets that became readable together are read in any order, so an event sent after the
    // answer may be read just before it.
    if (*s->sawAtMs < answer.atMs) ++changes.readFirst;
    changes.latencyMs.push_back(std::max(0.0, *s->sawAtMs - answer.atMs));
  }
}

void Print(const Window& quiet, const Window& busy, double quietRss, double busyRss, double peak,
           const Changes& changes, long long open) {
  std::printf(
      "%d projectors on one virtual projector process, %d event streams from %d "
      "addresses (%lld still open at the end)\n",
      kProjectors, kStreams, kStreams, open);
  std::printf(
      "windows of %d s; %zu change-to-event times from %d changes (%d refused, %d events "
      "not seen within %d ms, %d read before the answer)\n",
      kWindowSeconds, changes.latencyMs.size(), 2 * kRounds, changes.refused, changes.unseen,
      kEventWaitMs, changes.readFirst);
  std::printf(
      "line exchanges per projector per minute: %.2f with no stream, %.2f with %d "
      "(ratio %.3f)\n",
      quiet.exchangesPerProjectorMinute, busy.exchangesPerProjectorMinute, kStreams,
      quiet.exchangesPerProjectorMinute > 0
          ? busy.exchangesPerProjectorMinute / quiet.exchangesPerProjectorMinute
          : 0.0);
  Report({"web_streams_100_service_cpu", busy.cpuPercent, "% of a core", "no stream open",
          quiet.cpuPercent, ""});
  Report({"web_streams_100_service_memory", busyRss, "MB", "no stream open", quietRss, ""});
  Report({"web_streams_100_service_peak_memory", peak, "MB", "", 0, ""});
  Report({"web_streams_100_change_to_event_p50", Percentile(changes.latencyMs, 0.5), "ms", "", 0,
          "from the command's answer to the event on every stream"});
  Report({"web_streams_100_change_to_event_p99", Percentile(changes.latencyMs, 0.99), "ms", "", 0,
          ""});
  Report({"web_streams_100_line_exchanges", busy.exchangesPerProjectorMinute,
          "per projector per minute", "no stream open", quiet.exchangesPerProjectorMinute,
          "the same as with no stream open"});
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  g_sinceStart.start();
  QProcess projectors;
  const std::vector<std::string> devices = StartProjectors(projectors);
  if (devices.size() != kProjectors) {
    std::fprintf(stderr, "serve_web_streams: %zu of %d virtual projectors started\n",
                 devices.size(), kProjectors);
    return 1;
  }
  QTemporaryDir folder;
  const QString tokenPath = folder.filePath(QStringLiteral("token"));
  if (!WriteToken(tokenPath)) {
    Fail("cannot write the token file");
    return 1;
  }
  // Each projector's PJLink port as well: they would all take the same one by default.
  const std::vector<quint16> ports = mero::test::FreePorts(kProjectors + 1);
  const quint16 port = ports.back();
  mero::test::ServeProcess serve(QStringLiteral(MERO_CONTROL_BINARY),
                                 Config(devices, ports, tokenPath));
  if (!serve.started()) {
    std::fprintf(stderr, "the service did not start: %s\n", serve.log().c_str());
    return 1;
  }
  const long pid = static_cast<long>(serve.pid());
  if (!PrepareChanges(port)) return 1;

  const Window quiet = Measure(port, pid);
  const double quietRss = mero::bench::ProcessMegabytes(pid, "VmRSS:");
  Awaited awaited;
  Streams streams;
  if (!OpenStreams(port, streams, awaited)) return 1;
  const Window busy = Measure(port, pid);
  const double busyRss = mero::bench::ProcessMegabytes(pid, "VmRSS:");

  Changes changes;
  for (int round = 0; round < kRounds; ++round) {
    for (const bool mute : {true, false}) {
      Change(port, Id(round % kChanged), mute, streams, awaited, changes);
    }
  }
  const double peak = mero::bench::ProcessMegabytes(pid, "VmHWM:");
  const auto open = std::ranges::count_if(
      streams, [](const auto& s) { return s->socket.state() == QAbstractSocket::ConnectedState; });
  Print(quiet, busy, quietRss, busyRss, peak, changes, static_cast<long long>(open));
  for (auto& s : streams) s->socket.abort();
  serve.stop();
  projectors.terminate();
  projectors.waitForFinished(5000);
  return 0;
}
