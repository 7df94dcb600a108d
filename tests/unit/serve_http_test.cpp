// The plain side of the service's HTTP server: which route a request reaches, and how its
// refusals are counted and told.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "serve/http_server.h"

namespace mero::serve::http {
namespace {

Routes Sample() {
  Routes routes;
  const Handler none = [](const Request&, const Answer&) {};
  routes.add("/metrics", {{"GET"}, 0, none});
  routes.add("/api", {{"GET", "POST"}, 1024, none});
  return routes;
}

TEST(ServeHttp, ARequestReachesItsRouteOrIsRefusedBeforeItsBody) {
  struct Case {
    std::string method;
    std::string path;
    std::optional<std::uint64_t> declared;
    bool chunked;
    int status;  // 0: the route takes it
    std::string allow;
  };
  const std::vector<Case> cases = {
      {"GET", "/metrics", {}, false, 0, ""},
      {"HEAD", "/metrics", {}, false, 0, ""},
      {"GET", "/metrics/", {}, false, 404, ""},
      {"GET", "/", {}, false, 404, ""},
      {"POST", "/metrics", 5, false, 405, "GET, HEAD"},
      {"DELETE", "/api", {}, false, 405, "GET, HEAD, POST"},
      {"GET", "/metrics", 0, false, 0, ""},
      {"GET", "/metrics", 1, false, 413, ""},
      {"GET", "/metrics", {}, true, 413, ""},
      {"POST", "/api", 1024, false, 0, ""},
      {"POST", "/api", 1025, false, 413, ""},
      {"POST", "/api", {}, true, 0, ""},  // bounded as it comes
  };
  const Routes routes = Sample();
  for (const Case& c : cases) {
    const Admission admission = routes.admit(c.method, c.path, c.declared, c.chunked);
    const std::string shown = c.method + " " + c.path;
    EXPECT_EQ(admission.status, c.status) << shown;
    EXPECT_EQ(admission.route != nullptr, c.status == 0) << shown;
    EXPECT_EQ(admission.allow, c.allow) << shown;
  }
}

TEST(ServeHttp, HeadersAreFoundInAnyCase) {
  const Request request{"GET", "/", {{"Content-Type", "a"}, {"content-type", "b"}}, "", "", {}};
  EXPECT_EQ(request.header("CONTENT-TYPE"), "a");
  EXPECT_EQ(request.header("Content-Length"), "");
}

TEST(ServeHttp, APatternsSegmentsMatchOneSegmentEach) {
  Routes routes;
  const Handler none = [](const Request&, const Answer&) {};
  routes.add("/p/{}", {{"GET"}, 0, none});
  routes.add("/p/{}/do/{}", {{"POST"}, 16, none});
  routes.add("/p/list", {{"GET"}, 0, none});
  const std::vector<std::pair<std::string, std::vector<std::string>>> matched = {
      {"/p/hall", {"hall"}},
      {"/p/list", {}},  // as it stands, before the pattern
      {"/p/hall/do/power-on", {"hall", "power-on"}},
      {"/p/a.b/do/x", {"a.b", "x"}},
  };
  for (const auto& [path, params] : matched) {
    const Admission admission =
        routes.admit(path.find("/do/") != std::string::npos ? "POST" : "GET", path, {}, false);
    EXPECT_EQ(admission.status, 0) << path;
    EXPECT_EQ(admission.params, params) << path;
  }
  for (const std::string path : {"/p/", "/p//do/x", "/p/hall/do/", "/p/hall/do/x/y", "/p/hall/"}) {
    EXPECT_EQ(routes.admit("POST", path, {}, false).status, 404) << path;
  }
}

TEST(ServeHttp, EachRefusalIsCountedAndEachEpisodeLoggedOnce) {
  std::vector<std::pair<Priority, std::string>> logged;
  std::vector<Refusal> counted;
  RefusalLog refusals(
      "web", [&](Priority p, const std::string& line) { logged.emplace_back(p, line); },
      [&](Refusal r) { counted.push_back(r); });
  // Each step, then how many lines the log has after it.
  struct Step {
    std::function<void()> act;
    std::size_t lines;
  };
  const std::vector<Step> steps = {
      {[&] { refusals.refused(Refusal::BodyTooLarge, "10.0.0.1"); }, 1},
      {[&] { refusals.refused(Refusal::BodyTooLarge, "10.0.0.2"); }, 1},
      {[&] { refusals.refused(Refusal::Idle, "10.0.0.2"); }, 2},
      {[&] { refusals.refused(Refusal::NoDescriptor, ""); }, 3},
      {[&] { refusals.accepted(); }, 3},  // ends the connection's episodes only
      {[&] { refusals.refused(Refusal::BodyTooLarge, "10.0.0.3"); }, 3},
      {[&] { refusals.refused(Refusal::NoDescriptor, ""); }, 4},
      {[&] { refusals.answered(); }, 4},
      {[&] { refusals.refused(Refusal::BodyTooLarge, "10.0.0.4"); }, 5},
      {[&] { refusals.refused(Refusal::NoDescriptor, ""); }, 5},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    steps[i].act();
    EXPECT_EQ(logged.size(), steps[i].lines) << "after step " << i;
  }
  EXPECT_EQ(counted.size(), 8U);
  EXPECT_EQ(logged[0].first, Priority::Warning);
  EXPECT_NE(logged[0].second.find("web: "), std::string::npos) << logged[0].second;
  EXPECT_NE(logged[0].second.find("10.0.0.1"), std::string::npos) << logged[0].second;
  EXPECT_EQ(logged[2].first, Priority::Error) << logged[2].second;
}

}  // namespace
}  // namespace mero::serve::http
