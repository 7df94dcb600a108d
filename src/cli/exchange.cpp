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
      done_(std::move(done)),
      engine_([this](const link::Bytes& text) { return write(text); }, window_,
              [] { return MsSince(std::chrono::steady_clock::time_point{}); }) {}

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
  engine_.setLineUp(true);
  engine_.exchange(link::ExchangeRequest{setup_.text, setup_.replyWindowMs, false},
                   [this](const link::ExchangeResult& result) { ended(result); });
}

bool Exchange::write(const link::Bytes& text) {
  if (!line_->write(text)) {
    outcome_.failure = line_->failure();
    return false;
  }
  sentAt_ = std::chrono::steady_clock::now();
  outcome_.stage = Outcome::Stage::Sent;
  if (setup_.log != nullptr) setup_.log->record(logName_, link::Direction::Sent, text);
  return true;
}

void Exchange::received() {
  if (finished_) return;
  const link::Bytes bytes = line_->takeAll();
  if (setup_.log != nullptr) setup_.log->record(logName_, link::Direction::Received, bytes);
  // Arrivals come only once the line is open, and the send is made as it opens.
  outcome_.replyMs = MsSince(sentAt_);
  engine_.received(bytes);
}

void Exchange::failed(const link::LineFailure& failure) {
  if (finished_) return;
  outcome_.failure = failure;
  if (outcome_.stage != Outcome::Stage::Sent) outcome_.descriptorLimit = OutOfDescriptors();
  if (engine_.lineUp()) {
    engine_.setLineUp(false);  // ends the exchange under way, with what came of its reply
  } else {
    finish();
  }
}

void Exchange::ended(const link::ExchangeResult& result) {
  outcome_.received = result.reply;
  outcome_.cut = result.kind == link::ExchangeResult::Kind::Cut;
  if (outcome_.failure && outcome_.stage != Outcome::Stage::Sent && !outcome_.descriptorLimit) {
    outcome_.descriptorLimit = OutOfDescriptors();
  }
  finish();
}

void Exchange::finish() {
  if (finished_) return;
  finished_ = true;
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
