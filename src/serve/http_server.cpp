#include "serve/http_server.h"

#include <algorithm>
#include <cctype>

namespace mero::serve::http {
namespace {

bool SameWord(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

struct RefusalKind {
  Priority priority;
  bool endsOnAnswer;  // otherwise on a connection taken
  std::string_view told;
};

// In the order of Refusal.
constexpr std::array<RefusalKind, kRefusalKinds> kRefusalTable{{
    {Priority::Warning, true, "request line or headers over the bound, answered and closed"},
    {Priority::Warning, true, "request body over the bound, answered 413 and closed"},
    {Priority::Warning, true, "request refused as malformed"},
    {Priority::Warning, true, "connection closed after the idle time"},
    {Priority::Warning, false, "connection turned away: too many open"},
    {Priority::Error, false,
     "no descriptor left for a new connection: not accepting until one is free"},
}};

}  // namespace

std::string Request::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (SameWord(key, name)) return value;
  }
  return {};
}

Handler Now(std::function<Response(const Request&)> answer) {
  return [answer = std::move(answer)](const Request& request, const Answer& reply) {
    reply(answer(request));
  };
}

void Routes::add(std::string path, Route route) { routes_[std::move(path)] = std::move(route); }

Admission Routes::admit(std::string_view method, std::string_view path,
                        std::optional<std::uint64_t> declaredBody, bool chunked) const {
  const auto it = routes_.find(path);
  if (it == routes_.end()) return {nullptr, 404, {}};
  const Route& route = it->second;
  const auto takes = [&](std::string_view m) {
    return std::ranges::find(route.methods, m) != route.methods.end();
  };
  if (!takes(method) && !(method == "HEAD" && takes("GET"))) {
    std::string allow;
    for (const std::string& m : route.methods) {
      if (!allow.empty()) allow += ", ";
      allow += m;
      if (m == "GET" && !takes("HEAD")) allow += ", HEAD";
    }
    return {nullptr, 405, allow};
  }
  if ((declaredBody && *declaredBody > route.maxBody) || (chunked && route.maxBody == 0))
    return {nullptr, 413, {}};
  return {&route, 0, {}};
}

RefusalLog::RefusalLog(std::string name, Log log, std::function<void(Refusal)> counted)
    : name_(std::move(name)), log_(std::move(log)), counted_(std::move(counted)) {}

void RefusalLog::refused(Refusal kind, const std::string& detail) {
  const auto index = static_cast<std::size_t>(kind);
  if (counted_) counted_(kind);
  if (open_[index]) return;
  open_[index] = true;
  const RefusalKind& told = kRefusalTable[index];
  std::string line = name_ + ": " + std::string(told.told);
  if (!detail.empty()) line += " (" + detail + ")";
  log_(told.priority, line + "; more of the kind are counted, not logged, until it passes");
}

void RefusalLog::answered() { end(true); }

void RefusalLog::accepted() { end(false); }

void RefusalLog::end(bool byAnswer) {
  for (std::size_t i = 0; i < kRefusalTable.size(); ++i) {
    if (kRefusalTable[i].endsOnAnswer == byAnswer) open_[i] = false;
  }
}

}  // namespace mero::serve::http
