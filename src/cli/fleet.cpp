#include "cli/fleet.h"

#include <sys/resource.h>

#include <QEventLoop>
#include <QMetaObject>
#include <QObject>
#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>

namespace mero::cli {
namespace {

std::size_t DescriptorsOpen() {
  std::error_code error;
  std::size_t open = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
       it.increment(error)) {
    ++open;
  }
  return open;
}

// The exchanges of one run: started in the order of the targets while there is room, their
// outcomes handed on in the same order.
class Run {
 public:
  Run(const std::vector<Target>& targets, const ExchangeSetup& setup, FleetLimits limits,
      const std::function<void(std::size_t, const Outcome&)>& report)
      : targets_(targets),
        setup_(setup),
        inFlight_(std::max<std::size_t>(limits.inFlight, 1)),
        heldLimit_(limits.heldBytes),
        report_(report) {}

  void exec() {
    startMore();
    if (reported_ < targets_.size()) loop_.exec();
  }

 private:
  void startMore() {
    while (started_ < targets_.size() && running_.size() < inFlight_ && heldBytes_ < heldLimit_) {
      const std::size_t index = started_++;
      auto exchange = std::make_unique<Exchange>(
          targets_[index].device, targets_[index].address, setup_, [this, index] {
            // The exchange is inside its own call: it goes on the next turn.
            QMetaObject::invokeMethod(
                &context_, [this, index] { ended(index); }, Qt::QueuedConnection);
          });
      Exchange& started = *exchange;
      running_.emplace(index, std::move(exchange));
      started.start();
    }
  }

  void ended(std::size_t index) {
    const auto it = running_.find(index);
    Outcome outcome = it->second->takeOutcome();
    running_.erase(it);
    heldBytes_ += outcome.received.size();
    held_.emplace(index, std::move(outcome));
    for (auto next = held_.find(reported_); next != held_.end(); next = held_.find(reported_)) {
      report_(reported_, next->second);
      heldBytes_ -= next->second.received.size();
      held_.erase(next);
      ++reported_;
    }
    startMore();
    if (reported_ == targets_.size()) loop_.quit();
  }

  const std::vector<Target>& targets_;
  const ExchangeSetup& setup_;
  const std::size_t inFlight_;
  const std::size_t heldLimit_;
  const std::function<void(std::size_t, const Outcome&)>& report_;
  QEventLoop loop_;
  QObject context_;
  std::map<std::size_t, std::unique_ptr<Exchange>> running_;
  std::map<std::size_t, Outcome> held_;
  std::size_t heldBytes_ = 0;
  std::size_t started_ = 0;
  std::size_t reported_ = 0;
};

}  // namespace

std::size_t InFlightFor(std::size_t descriptorLimit, std::size_t descriptorsOpen) {
  const std::size_t used = descriptorsOpen + kDescriptorReserve;
  const std::size_t room = descriptorLimit > used ? descriptorLimit - used : 0;
  return std::clamp<std::size_t>(room / kDescriptorsPerExchange, 1, kMostInFlight);
}

std::size_t InFlightNow() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return kMostInFlight;
  }
  return InFlightFor(static_cast<std::size_t>(limit.rlim_cur), DescriptorsOpen());
}

void AskFleet(const std::vector<Target>& targets, const ExchangeSetup& setup, FleetLimits limits,
              const std::function<void(std::size_t index, const Outcome&)>& report) {
  if (targets.empty()) return;
  Run run(targets, setup, limits, report);
  run.exec();
}

}  // namespace mero::cli
