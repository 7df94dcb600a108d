#include "cli/headless.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/addresses.h"
#include "cli/exchange.h"
#include "cli/fleet.h"
#include "cli/request.h"
#include "cli/verdict.h"
#include "link/lines/qt_log_drain.h"
#include "link/lines/qt_port_discovery.h"
#include "link/port/port_discovery.h"
#include "link/port/traffic_log.h"

namespace mero::cli {
namespace {

void Print(std::FILE* stream, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fputc('\n', stream);
}

// The projectors to ask, each once, with a note for every address left out.
std::vector<Target> TargetsOf(const Request& request, std::vector<std::string>& notes) {
  DistinctAddresses distinct = Distinct(request.addresses);
  notes = std::move(distinct.notes);
  std::vector<Target> targets;
  targets.reserve(distinct.kept.size());
  for (std::string& address : distinct.kept) {
    link::ComDevice device{address, link::StableNameOf(address), false};
    targets.push_back({std::move(device), std::move(address)});
  }
  return targets;
}

}  // namespace

bool IsHeadless(int argc, char** argv) {
  return argc > 1 && (CommandOf(argv[1]).has_value() || IsMistypedCommand(argv[1]));
}

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
    std::fputs(ListText(request.command, request.json).c_str(), stdout);
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
  std::vector<std::string> notes;
  const std::vector<Target> targets = TargetsOf(request, notes);
  for (const std::string& note : notes) Print(stderr, "mero-control: " + note);

  const ExchangeSetup setup{request.settings, request.message.text, request.message.replyWindowMs,
                            log.get()};
  const bool several = targets.size() > 1;
  int exitCode = kExitDone;
  const auto report = [&](std::size_t index, const Outcome& outcome) {
    const std::string& address = targets[index].address;
    const Verdict verdict = Judge(request.message, address, outcome);
    exitCode = std::max(exitCode, verdict.exitCode);
    if (request.json) {
      Print(stdout, QJsonDocument(verdict.json).toJson(QJsonDocument::Compact).toStdString());
    } else if (several) {
      Print(stdout, link::ShowPath(address) + '\t' + std::string(ResultWord(verdict.result)) +
                        '\t' + verdict.line());
    } else {
      if (verdict.value) Print(stdout, *verdict.value);
      if (!verdict.problem.empty()) {
        Print(stderr, "mero-control: " + link::ShowPath(address) + ": " + verdict.problem);
      }
    }
    // A script reading the lines sees each as soon as it is known.
    std::fflush(stdout);
  };

  AskFleet(targets, setup, {.inFlight = InFlightNow()}, report);
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
