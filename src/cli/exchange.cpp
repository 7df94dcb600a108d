#include "cli/exchange.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QMetaObject>
#include <array>
#include <cerrno>
#include <utility>

#include "link/lines/qt_line_host.h"
#include "link/port/port_discovery.h"

namespace mero::cli {
namespace {

constexpr char kReplyEnd = '\r';

double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

std::optional<long> OutOfDescriptors() {
  // What an exchange holds is back by the time its failure is known, so the room for a
  // whole exchange is what counts, not a single descriptor.
  std::array<int, kDescriptorsPerExchange> probes{};
  probes.fill(-1);
  bool out = false;
  for (int& probe : probes) {
    probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (probe < 0) {
      out = errno == EMFILE || errno == ENFILE;
      break;
    }
  }
  for (const int probe : probes) {
    if (probe >= 0) ::close(probe);
  }
  if (!out) return std::nullopt;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  return static_cast<long>(limit.rlim_cur);
}

Exchange::Exchange(link::ComDevice device, const std::string& address, const ExchangeSetup& setup,
                   std::function<void()> done)
    : device_(std::move(device)),
      logName_(link::ShowPath(address)),
      setup_(setup),
      done_(std::move(done)) {
  window_.setSingleShot(true);
  window_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&window_, &QTimer::timeout, [this] { finish(); });
}

Exchange::~Exchange() {
  if (line_) line_->close();
}

void Exchange::start() {
  link::QtLineHost host;
  line_ = host.makeLine(device_);
  line_->onOpened = [this] { send(); };
  line_->onArrival = [this] { received(); };
  line_->onFailed = [this](const link::LineFailure& failure) { failed(failure); };
  line_->onNotice = [this](const std::string& notice) {
    if (outcome_.lineNotice.empty()) outcome_.lineNotice = notice;
  };
  switch (line_->open(setup_.settings)) {
    case link::Line::Opening::Open:
      send();
      return;
    case link::Line::Opening::Pending:
      outcome_.stage = Outcome::Stage::Connecting;
      return;
    case link::Line::Opening::Failed:
      failed(line_->failure());
      return;
  }
}

void Exchange::send() {
  if (finished_) return;
  outcome_.stage = Outcome::Stage::Open;
  if (!line_->write(setup_.text)) {
    failed(line_->failure());
    return;
  }
  sentAt_ = std::chrono::steady_clock::now();
  outcome_.stage = Outcome::Stage::Sent;
  if (setup_.log != nullptr) setup_.log->record(logName_, link::Direction::Sent, setup_.text);
  window_.start(setup_.replyWindowMs);
}

void Exchange::received() {
  if (finished_) return;
  const link::Bytes bytes = line_->takeAll();
  if (setup_.log != nullptr) setup_.log->record(logName_, link::Direction::Received, bytes);
  // Arrivals come only once the line is open, and the send is made as it opens.
  const std::size_t room = kReplyLimit - outcome_.received.size();
  if (bytes.size() > room) {
    outcome_.received.append(bytes, 0, room);
    outcome_.cut = true;
  } else {
    outcome_.received += bytes;
  }
  outcome_.replyMs = MsSince(sentAt_);
  // What comes beyond the bound is never read: the line is closed.
  if (outcome_.cut || (!outcome_.received.empty() && outcome_.received.back() == kReplyEnd)) {
    finish();
  }
}

void Exchange::failed(const link::LineFailure& failure) {
  if (finished_) return;
  outcome_.failure = failure;
  if (outcome_.stage != Outcome::Stage::Sent) outcome_.descriptorLimit = OutOfDescriptors();
  finish();
}

void Exchange::finish() {
  if (finished_) return;
  finished_ = true;
  window_.stop();
  // Not from inside the line's own report: the line is closed once that has returned.
  QMetaObject::invokeMethod(
      &window_,
      [this] {
        line_->close();
        done_();
      },
      Qt::QueuedConnection);
}

}  // namespace mero::cli
