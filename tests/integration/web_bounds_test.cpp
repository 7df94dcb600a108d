// The web page's side of the real service under load a browser or a script can make: a
// hundred event streams, one that never reads, bodies over the bound and a flood of writes
// from one address leave the others served and the service its size.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <array>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "http_probe.h"
#include "projector/pty_server.h"
#include "serve_process.h"

namespace mero::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::string_view kToken = "web-bounds-token-0123456789";

// A raw client from a loopback address of its own choosing: the service bounds what one
// address may hold, as it would a host on the network.
class Client {
 public:
  Client(quint16 port, const std::string& from, int receiveBuffer = 0)
      : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    if (receiveBuffer > 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    }
    (void)::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof(local));
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&remote), sizeof(remote)) == 0;
  }
  ~Client() { ::close(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool send(std::string_view bytes) {
    return connected_ && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                             static_cast<ssize_t>(bytes.size());
  }
  // Reads until `text` has come (counted from the start), the peer closes or time is up.
  bool waitFor(std::string_view text, int withinMs = 5000, std::size_t times = 1) {
    const auto until = Clock::now() + std::chrono::milliseconds(withinMs);
    while (Count(received, text) < times) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      pollfd ready{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) return false;
      std::array<char, 16384> buffer{};
      const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), 0);
      if (got <= 0) return false;
      received.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return true;
  }
  // Takes what has come, without waiting: a browser reads its stream as it comes.
  void drain() {
    std::array<char, 16384> buffer{};
    for (;;) {
      const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (got <= 0) return;
      received.append(buffer.data(), static_cast<std::size_t>(got));
    }
  }
  static std::size_t Count(std::string_view in, std::string_view text) {
    std::size_t count = 0;
    for (auto at = in.find(text); at != std::string_view::npos; at = in.find(text, at + 1)) ++count;
    return count;
  }

  std::string received;

 private:
  int fd_;
  bool connected_ = false;
};

std::string Post(std::string_view path, std::string_view body = "{}") {
  return "POST " + std::string(path) + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
         std::string(kToken) +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + std::string(body);
}

constexpr std::string_view kEvents = "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

struct WebService {
  WebService() {
    const std::vector<quint16> free = FreePorts(2);
    http = free[1];
    const std::string token = folder.filePath("token").toStdString();
    std::ofstream(token) << kToken << "\n";
    ::chmod(token.c_str(), 0600);
    serve = std::make_unique<ServeProcess>(
        QStringLiteral(MERO_CTL_BINARY),
        "[service]\nmetrics = 127.0.0.1:" + std::to_string(http) + "\ntoken-file = " + token +
            "\n[hall]\naddress = " + projector.DevicePath() +
            "\npjlink = 127.0.0.1:" + std::to_string(free[0]) + "\n");
  }
  std::string pid() const { return std::to_string(serve->pid()); }
  // A reader from another address is answered within the time.
  bool served() const {
    Client other(http, "127.0.0.250");
    return other.send("GET /api/v1/projectors/hall HTTP/1.1\r\nHost: h\r\n\r\n") &&
           other.waitFor("\"id\":\"hall\"", 2000);
  }

  QTemporaryDir folder;
  vp::PtyServer projector;
  quint16 http = 0;
  std::unique_ptr<ServeProcess> serve;
};

TEST(WebBounds, AHundredStreamsAndOneThatNeverReadsLeaveTheOthersServed) {
  WebService web;
  ASSERT_TRUE(web.serve->started()) << web.serve->log();
  std::vector<std::unique_ptr<Client>> streams;
  for (int i = 0; i < 100; ++i) {
    // 25 from each of four addresses, within what one address may hold.
    streams.push_back(std::make_unique<Client>(web.http, "127.0.0." + std::to_string(2 + i / 25)));
    ASSERT_TRUE(streams.back()->send(kEvents));
  }
  for (auto& stream : streams) ASSERT_TRUE(stream->waitFor("event: projector"));
  Client stalled(web.http, "127.0.0.9", 1024);
  ASSERT_TRUE(stalled.send(kEvents));
  const long before = ResidentKiB(web.pid());

  // Each hold and release of a key changes the projector's state, and every stream hears it.
  Client writer(web.http, "127.0.0.10");
  constexpr int kChanges = 300;
  for (int i = 1; i <= kChanges; ++i) {
    ASSERT_TRUE(writer.send(Post("/api/v1/projectors/hall/keys/volume-up")));
    ASSERT_TRUE(writer.waitFor("\"hold\":", 5000, static_cast<std::size_t>(i)));
    ASSERT_TRUE(writer.send(Post("/api/v1/holds/hall." + std::to_string(i) + "/release")));
    ASSERT_TRUE(writer.waitFor("HTTP/1.1 204", 5000, static_cast<std::size_t>(i)));
    for (auto& stream : streams) stream->drain();
  }
  for (std::size_t i : {0UL, 50UL, 99UL}) {
    EXPECT_TRUE(streams[i]->waitFor("\"busy\":false", 10000, kChanges))
        << "stream " << i << ": " << Client::Count(streams[i]->received, "\"busy\":false") << " "
        << Client::Count(streams[i]->received, "\"busy\":true") << " "
        << streams[i]->received.substr(streams[i]->received.size() - 300);
  }
  EXPECT_TRUE(web.served());
  Client newcomer(web.http, "127.0.0.2");
  ASSERT_TRUE(newcomer.send(kEvents));
  EXPECT_TRUE(newcomer.waitFor("event: projector")) << "a full address makes room, never refuses";
  EXPECT_LT(ResidentKiB(web.pid()) - before, 32 * 1024);
}

TEST(WebBounds, AFloodOfWritesFromOneAddressLeavesTheLineToTheOthers) {
  WebService web;
  ASSERT_TRUE(web.serve->started()) << web.serve->log();
  // A thousand commands sent without waiting for their answers, on ten connections.
  std::vector<std::unique_ptr<Client>> flood;
  for (int c = 0; c < 10; ++c) {
    flood.push_back(std::make_unique<Client>(web.http, "127.0.0.20"));
    std::string burst;
    for (int i = 0; i < 100; ++i) burst += Post("/api/v1/projectors/hall/commands/mute-on");
    ASSERT_TRUE(flood.back()->send(burst));
  }
  Client other(web.http, "127.0.0.21");
  ASSERT_TRUE(other.send(Post("/api/v1/projectors/hall/commands/input-pc2")));
  EXPECT_TRUE(other.waitFor("\"outcome\":\"acknowledged\"", 5000))
      << "the other address's command reached the projector: " << other.received;
  EXPECT_TRUE(web.served());
  std::size_t refused = 0;
  for (auto& client : flood) {
    (void)client->waitFor("HTTP/1.1 ", 20000, 100);
    refused += Client::Count(client->received, "HTTP/1.1 429");
  }
  EXPECT_GT(refused, 500U) << "the flood was held back at its address";

  Client large(web.http, "127.0.0.22");
  ASSERT_TRUE(
      large.send(Post("/api/v1/projectors/hall/commands/power-on", std::string(1025, ' '))));
  EXPECT_TRUE(large.waitFor("HTTP/1.1 413"));
}

}  // namespace
}  // namespace mero::test
