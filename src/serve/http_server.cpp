#include "serve/http_server.h"

#include <algorithm>
#include <cctype>
#include <utility>

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

// Whether `path` has the pattern's segments, a "{}" standing for any segment not empty.
bool Matches(std::string_view pattern, std::string_view path, std::vector<std::string>& params) {
  while (!pattern.empty() && !path.empty()) {
    const std::size_t p = pattern.find('/');
    const std::size_t q = path.find('/');
    const std::string_view want = pattern.substr(0, p);
    const std::string_view got = path.substr(0, q);
    if (want == "{}") {
      if (got.empty()) return false;
      params.emplace_back(got);
    } else if (want != got) {
      return false;
    }
    if ((p == std::string_view::npos) != (q == std::string_view::npos)) return false;
    if (p == std::string_view::npos) return true;
    pattern.remove_prefix(p + 1);
    path.remove_prefix(q + 1);
  }
  return pattern.empty() && path.empty();
}

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

void Routes::add(std::string path, Route route) {
  if (path.find("{}") != std::string::npos) {
    patterns_.emplace_back(std::move(path), std::move(route));
  } else {
    routes_[std::move(path)] = std::move(route);
  }
}

Admission Routes::admit(std::string_view method, std::string_view path,
                        std::optional<std::uint64_t> declaredBody, bool chunked) const {
  const Route* found = nullptr;
  std::vector<std::string> params;
  if (const auto it = routes_.find(path); it != routes_.end()) {
    found = &it->second;
  } else {
    for (const auto& [pattern, route] : patterns_) {
      params.clear();
      if (Matches(pattern, path, params)) {
        found = &route;
        break;
      }
    }
  }
  if (found == nullptr) return {nullptr, 404, {}, {}};
  const Route& route = *found;
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
    return {nullptr, 405, allow, {}};
  }
  if ((declaredBody && *declaredBody > route.maxBody) || (chunked && route.maxBody == 0))
    return {nullptr, 413, {}, {}};
  return {&route, 0, {}, std::move(params)};
}

bool Outlet::send(std::string_view text) {
  if (!open()) return false;
  if (text.size() > bound_ - waiting_.size()) {
    end();
    return false;
  }
  const bool wasEmpty = waiting_.empty();
  waiting_.append(text);
  if (wasEmpty && wake_) wake_();
  return true;
}

void Outlet::end() {
  if (ended_) return;
  ended_ = true;
  if (wake_) wake_();
}

std::size_t Outlet::take(char* into, std::size_t room) {
  const std::size_t taken = std::min(room, waiting_.size());
  std::copy_n(waiting_.begin(), taken, into);
  waiting_.erase(0, taken);
  return taken;
}

void Outlet::gone() {
  if (gone_) return;
  gone_ = true;
  wake_ = nullptr;
  waiting_.clear();
  if (onGone) std::exchange(onGone, nullptr)();
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
