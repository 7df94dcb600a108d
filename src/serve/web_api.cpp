#include "serve/web_api.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <utility>

#include "link/protocol/commands.h"
#include "serve/json_text.h"
#include "serve/keypad.h"
#include "serve/projector_json.h"

namespace mero::serve {
namespace {

using http::Request;
using http::Response;
using link::ExchangeResult;

constexpr std::string_view kJson = "application/json";
constexpr char kAck = '\x06';
constexpr char kNak = '\x15';

Response Json(int status, std::string body) {
  return Response{status, std::string(kJson), std::move(body), {}, {}};
}

Response Error(int status, std::string_view word, std::string_view message) {
  Response response = Json(
      status,
      json::Object().add("error", json::Quoted(word)).add("message", json::Quoted(message)).text());
  if (status == 401) response.headers.emplace_back("WWW-Authenticate", "Bearer");
  if (status == 503) response.headers.emplace_back("Retry-After", "1");
  return response;
}

bool StartsWithWord(std::string_view text, std::string_view word) {
  return text.size() >= word.size() &&
         std::ranges::equal(text.substr(0, word.size()), word, [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == b;
         });
}

// Compares every byte whatever differs, so that the time taken tells nothing of the token.
bool SameSecret(std::string_view given, std::string_view secret) {
  unsigned char differs = given.size() == secret.size() ? 0 : 1;
  for (std::size_t i = 0; i < given.size(); ++i) {
    differs |= static_cast<unsigned char>(given[i] ^ secret[i % secret.size()]);
  }
  return differs == 0;
}

// The host[:port] of an Origin header ("http://host:port"); "" for "null" and the like.
std::string_view OriginHost(std::string_view origin) {
  for (const std::string_view scheme : {"http://", "https://"}) {
    if (origin.starts_with(scheme)) return origin.substr(scheme.size());
  }
  return {};
}

bool IsJsonObject(std::string_view body) {
  const auto first = body.find_first_not_of(" \t\r\n");
  const auto last = body.find_last_not_of(" \t\r\n");
  return first != std::string_view::npos && body[first] == '{' && body[last] == '}';
}

// How a command's exchange ended, as the API answers it.
Response Outcome(const std::string& projector, std::string_view name, std::string_view code,
                 const ExchangeResult& result) {
  std::string_view reply = result.reply;
  if (reply.ends_with('\r')) reply.remove_suffix(1);
  switch (result.kind) {
    case ExchangeResult::Kind::Reply:
      break;
    case ExchangeResult::Kind::NoReply:
      return Error(504, "no-reply", std::string("the projector did not answer ").append(code));
    case ExchangeResult::Kind::LineDown:
      return Error(503, "line-down", "the projector's line is not open");
    case ExchangeResult::Kind::Busy:
      return Error(503, "busy", "too many commands wait for this projector; try again");
    case ExchangeResult::Kind::Cut:
      return Error(502, "bad-reply",
                   std::string("the projector's reply to ")
                       .append(code)
                       .append(" was longer than any reply is"));
  }
  if (reply == std::string_view(&kNak, 1)) {
    return Error(409, "refused",
                 std::string("the projector refused ").append(code).append(" (NAK)"));
  }
  const bool acknowledged = reply == std::string_view(&kAck, 1);
  return Json(200, json::Object()
                       .add("projector", json::Quoted(projector))
                       .add("command", json::Quoted(name))
                       .add("sent", json::Quoted(code))
                       .add("outcome", json::Quoted(acknowledged ? "acknowledged" : "replied"))
                       .add("reply", json::QuotedBytes(reply))
                       .text());
}

// Every answer of the page and the API, whichever handler gives it.
http::Handler WithPageHeaders(http::Handler handler) {
  return [handler = std::move(handler)](const Request& request, const http::Answer& answer) {
    handler(request, [answer](Response response) {
      AddPageHeaders(response);
      answer(std::move(response));
    });
  };
}

}  // namespace

void AddPageHeaders(Response& response) {
  response.headers.emplace_back(
      "Content-Security-Policy",
      "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
      "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
  response.headers.emplace_back("X-Content-Type-Options", "nosniff");
  response.headers.emplace_back("Referrer-Policy", "no-referrer");
  response.headers.emplace_back("Cache-Control", "no-store");
}

WebApi::WebApi(Projectors projectors, EventStreams& streams, Log log)
    : projectors_(std::move(projectors)), streams_(streams), log_(std::move(log)) {}

WebProjector* WebApi::find(const std::string& id) const {
  for (WebProjector* projector : projectors_()) {
    if (projector->figures().id == id) return projector;
  }
  return nullptr;
}

std::string WebApi::listJson() const {
  json::List list;
  for (WebProjector* projector : projectors_()) {
    list.add(ProjectorJson(projector->figures(), projector->keys().held()));
  }
  return json::Object().add("projectors", list.text()).text();
}

void WebApi::refresh() {
  // Projectors a reload removed are forgotten; one added anew is told as it comes.
  std::erase_if(told_, [this](const auto& told) { return find(told.first) == nullptr; });
  for (WebProjector* projector : projectors_()) refresh(projector->figures().id);
}

void WebApi::refresh(const std::string& id) {
  WebProjector* projector = find(id);
  if (projector == nullptr) return;
  std::string now = ProjectorJson(projector->figures(), projector->keys().held());
  std::string& told = told_[id];
  if (told == now) return;
  streams_.publish("projector", now);
  told = std::move(now);
}

void WebApi::addRoutes(http::Routes& routes, const std::vector<WebFile>& files) {
  const auto add = [&routes](std::string path, std::vector<std::string> methods,
                             std::size_t maxBody, http::Handler handler) {
    routes.add(std::move(path), {std::move(methods), maxBody, WithPageHeaders(std::move(handler))});
  };
  routes.refusal = [](int status) {
    static const std::map<int, std::pair<std::string_view, std::string_view>> kRefused{
        {404, {"not-found", "nothing is at this address"}},
        {405, {"method-not-allowed", "this address does not take that method"}},
        {413, {"too-large", "the body is larger than this address takes"}},
    };
    const auto it = kRefused.find(status);
    Response response = it != kRefused.end() ? Error(status, it->second.first, it->second.second)
                                             : Error(status, "refused", "the request was refused");
    AddPageHeaders(response);
    return response;
  };
  for (const WebFile& file : files) {
    add(file.path, {"GET"}, 0, http::Now([file](const Request&) {
          return Response{200, file.contentType, file.body, {}, {}};
        }));
  }
  add("/api/v1/projectors", {"GET"}, 0,
      http::Now([this](const Request&) { return Json(200, listJson()); }));
  add("/api/v1/projectors/{}", {"GET"}, 0, http::Now([this](const Request& request) {
        WebProjector* projector = find(request.params[0]);
        if (projector == nullptr) return Error(404, "unknown-projector", "no such projector");
        return Json(200, ProjectorJson(projector->figures(), projector->keys().held()));
      }));
  add("/api/v1/keypad", {"GET"}, 0,
      http::Now([](const Request&) { return Json(200, KeypadJson()); }));
  add("/api/v1/events", {"GET"}, 0, http::Now([this](const Request& request) {
        std::string opening = "retry: 2000\n\n";
        for (WebProjector* projector : projectors_()) {
          opening += EventStreams::EventText(
              "projector", ProjectorJson(projector->figures(), projector->keys().held()));
        }
        Response response{200, "text/event-stream", {}, {}, {}};
        response.outlet = streams_.open(request.peer, opening);
        return response;
      }));
  add("/api/v1/projectors/{}/commands/{}", {"POST"}, kLongestWriteBody,
      [this](const Request& request, const http::Answer& answer) { command(request, answer); });
  add("/api/v1/projectors/{}/keys/{}", {"POST"}, kLongestWriteBody,
      [this](const Request& request, const http::Answer& answer) { key(request, answer); });
  add("/api/v1/holds/{}/heartbeat", {"POST"}, kLongestWriteBody,
      http::Now([this](const Request& request) { return heldKey(request, false); }));
  add("/api/v1/holds/{}/release", {"POST"}, kLongestWriteBody,
      http::Now([this](const Request& request) { return heldKey(request, true); }));
}

std::optional<Response> WebApi::refuseWrite(const Request& request) {
  if (token_.empty()) {
    return Error(403, "writes-disabled",
                 "this service takes no changes: its configuration names no token "
                 "(token-file or token-credential)");
  }
  const std::string origin = request.header("Origin");
  if ((!origin.empty() && OriginHost(origin) != request.header("Host")) ||
      request.header("Sec-Fetch-Site") == "cross-site") {
    return Error(403, "cross-origin", "changes are taken only from this service's own page");
  }
  const std::string authorization = request.header("Authorization");
  if (!StartsWithWord(authorization, "bearer ") ||
      !SameSecret(std::string_view(authorization).substr(7), token_)) {
    ++unauthorized_;
    if (!std::exchange(failureTold_, true)) {
      log_(Priority::Warning, "web: a change from " + request.peer +
                                  " refused: no token or a wrong one; more are counted, not "
                                  "logged, until a change is taken");
    }
    return Error(401, "unauthorized", "a change needs the service's token");
  }
  if (!StartsWithWord(request.header("Content-Type"), kJson)) {
    return Error(415, "not-json", "a change takes a JSON body, application/json");
  }
  if (!IsJsonObject(request.body)) return Error(400, "bad-body", "the body is not a JSON object");
  failureTold_ = false;
  return std::nullopt;
}

void WebApi::command(const Request& request, const http::Answer& answer) {
  if (auto refused = refuseWrite(request)) return answer(std::move(*refused));
  WebProjector* projector = find(request.params[0]);
  if (projector == nullptr) return answer(Error(404, "unknown-projector", "no such projector"));
  const link::OneShotCommand* command = link::FindOneShotCommand(request.params[1]);
  if (command == nullptr) {
    return answer(Error(400, "unknown-command", "no command is called " + request.params[1]));
  }
  const bool query = link::FindStatusQueryByCode(command->code) != nullptr;
  limited(
      request.peer,
      [projector, command](Done done) {
        projector->exchanges().exchange(command->code, std::move(done));
      },
      [this, id = request.params[0], command, query, answer](const ExchangeResult& result) {
        Response response = Outcome(id, command->name, command->code, result);
        if (response.status == 200 && !query) {
          if (WebProjector* asked = find(id)) asked->askStatus();
        }
        answer(std::move(response));
      },
      answer);
}

void WebApi::limited(const std::string& peer, const std::function<void(Done)>& start, Done done,
                     const http::Answer& answer) {
  int& waiting = waiting_[peer];
  if (waiting >= kWaitingWritesPerAddress) {
    ++tooMany_;
    if (!std::exchange(floodTold_, true)) {
      log_(Priority::Warning, "web: commands from " + peer + " refused: more than " +
                                  std::to_string(kWaitingWritesPerAddress) +
                                  " wait for the line; more are counted, not logged, until none "
                                  "waits");
    }
    Response response = Error(429, "too-many", "this address has commands waiting already");
    response.headers.emplace_back("Retry-After", "1");
    return answer(std::move(response));
  }
  ++waiting;
  start([this, peer, done = std::move(done)](const ExchangeResult& result) {
    if (const auto it = waiting_.find(peer); it != waiting_.end() && --it->second <= 0) {
      waiting_.erase(it);
    }
    if (waiting_.empty()) floodTold_ = false;
    done(result);
  });
}

void WebApi::key(const Request& request, const http::Answer& answer) {
  if (auto refused = refuseWrite(request)) return answer(std::move(*refused));
  WebProjector* projector = find(request.params[0]);
  if (projector == nullptr) return answer(Error(404, "unknown-projector", "no such projector"));
  const std::optional<KeyAction> key = FindKey(request.params[1]);
  if (!key) return answer(Error(400, "unknown-key", "no key is called " + request.params[1]));
  const std::string id = request.params[0];
  if (key->repeat == nullptr) {
    // Through the keypad, which keeps the mode the cursor keys repeat in.
    limited(
        request.peer,
        [projector, key](Done done) { projector->keys().press(*key, std::move(done)); },
        [id, key, answer](const ExchangeResult& result) {
          answer(Outcome(id, key->name, key->code, result));
        },
        answer);
    return;
  }
  const std::string hold = id + "." + std::to_string(++holds_);
  projector->keys().hold(*key, hold, [](const ExchangeResult&) {});
  answer(Json(200, json::Object()
                       .add("projector", json::Quoted(id))
                       .add("key", json::Quoted(key->name))
                       .add("hold", json::Quoted(hold))
                       .add("periodMs", std::to_string(projector->keys().periodMs()))
                       .add("heartbeatMs", std::to_string(kKeyHeartbeatMs))
                       .text()));
}

Response WebApi::heldKey(const Request& request, bool release) {
  if (auto refused = refuseWrite(request)) return std::move(*refused);
  const std::string& hold = request.params[0];
  const std::size_t dot = hold.rfind('.');
  WebProjector* projector = dot == std::string::npos ? nullptr : find(hold.substr(0, dot));
  if (release) {
    if (projector != nullptr) projector->keys().release(hold);
    return Response{204, "text/plain; charset=utf-8", {}, {}, {}};
  }
  if (projector == nullptr || !projector->keys().heartbeat(hold)) {
    return Error(404, "unknown-hold", "the key is no longer held");
  }
  return Response{204, "text/plain; charset=utf-8", {}, {}, {}};
}

}  // namespace mero::serve
