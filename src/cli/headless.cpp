#include "cli/headless.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonDocument>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/exchange.h"
#include "cli/request.h"
#include "cli/verdict.h"
#include "link/port/port_discovery.h"
#include "link/lines/qt_log_drain.h"
#include "link/lines/qt_port_discovery.h"
#include "link/port/traffic_log.h"

namespace mero::cli {
namespace {

void Print(std::FILE* stream, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fputc('\n', stream);
}

// The address as the port takes it; with none, the first serial port found, as COM1 is.
link::ComDevice DeviceOf(const std::string* address) {
  if (address != nullptr) {
    return {*address, link::StableNameOf(*address), false};
  }
  const link::ComDevices found =
      link::MapPorts(link::OrderPorts(link::ListSystemPorts()), std::nullopt, std::nullopt);
  return found.com1;
}

// Every projector is asked at once; the loop runs until the last exchange has ended.
std::vector<Outcome> RunExchanges(const Request& request,
                                  const std::vector<link::ComDevice>& devices,
                                  link::TrafficLog* log) {
  QEventLoop loop;
  std::size_t pending = devices.size();
  std::vector<std::unique_ptr<Exchange>> exchanges;
  exchanges.reserve(devices.size());
  for (const link::ComDevice& device : devices) {
    exchanges.push_back(std::make_unique<Exchange>(device, request.settings, request.message.text,
                                                   request.message.replyWindowMs, log, [&] {
                                                     if (--pending == 0) loop.quit();
                                                   }));
  }
  for (const auto& exchange : exchanges) exchange->start();
  if (pending > 0) loop.exec();
  std::vector<Outcome> outcomes;
  outcomes.reserve(exchanges.size());
  for (const auto& exchange : exchanges) outcomes.push_back(exchange->outcome());
  return outcomes;
}

}  // namespace

bool IsHeadless(int argc, char** argv) { return argc > 1 && CommandOf(argv[1]).has_value(); }

int Main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  const Request request = ParseRequest(args);
  if (!request.error.empty()) {
    Print(stderr, "mero-control: " + request.error);
    return kExitUsage;
  }
  if (request.help) {
    std::fputs(HelpText(request.command).c_str(), stdout);
    return kExitDone;
  }
  if (request.list) {
    std::fputs(ListText(request.command).c_str(), stdout);
    return kExitDone;
  }

  std::unique_ptr<link::TrafficLog> log;
  if (request.log) {
    std::string reason;
    log = link::TrafficLog::Open(*request.log, &reason);
    if (!log) {
      Print(stderr,
            "mero-control: cannot write the log " + link::ShowPath(*request.log) + ": " + reason);
      return kExitFailure;
    }
  }

  QCoreApplication app(argc, argv);
  std::optional<link::QtLogDrain> drain;
  if (log) drain.emplace(*log);
  std::vector<link::ComDevice> devices;
  std::vector<std::string> shownAddresses;
  if (request.addresses.empty()) {
    devices.push_back(DeviceOf(nullptr));
    shownAddresses.push_back(devices.back().path);
  }
  for (const std::string& address : request.addresses) {
    devices.push_back(DeviceOf(&address));
    shownAddresses.push_back(address);
  }

  const std::vector<Outcome> outcomes = RunExchanges(request, devices, log.get());
  const bool several = devices.size() > 1;
  int exitCode = kExitDone;
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    const std::string& address = shownAddresses[i];
    const Verdict verdict = Judge(request.message, address, outcomes[i]);
    exitCode = std::max(exitCode, verdict.exitCode);
    if (request.json) {
      Print(stdout, QJsonDocument(verdict.json).toJson(QJsonDocument::Compact).toStdString());
    } else if (several) {
      Print(stdout, link::ShowPath(address) + '\t' + std::string(ResultWord(verdict.result)) +
                        '\t' + verdict.line);
    } else {
      if (verdict.result != Result::NotDecoded && verdict.result != Result::NoReply &&
          verdict.result != Result::NoPort) {
        Print(stdout, verdict.line);
      }
      if (!verdict.problem.empty()) {
        Print(stderr, "mero-control: " + link::ShowPath(address) + ": " + verdict.problem);
      }
    }
  }
  if (log) {
    // One last try that does not wait: what the file still does not take is missing.
    log->flush();
    if (log->linesMissing() > 0) {
      Print(stderr, "mero-control: " + log->missingText());
      exitCode = std::max(exitCode, kExitFailure);
    }
  }
  return exitCode;
}

}  // namespace mero::cli
