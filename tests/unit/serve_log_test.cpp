// The service's log as an operations team filters it: each event at its priority and in the
// service's words, the journal's prefix only on the journal's stream, a stream that takes
// nothing never holding the service up, and a projector that stops answering told once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QTemporaryFile>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "serve/answer_watch.h"
#include "serve/line_words.h"
#include "serve/log_sink.h"
#include "virtual_clock.h"

namespace mero::serve {
namespace {

using Failure = link::LineFailure;
using Result = link::ExchangeResult;

constexpr const char* kAddress = "/dev/ttyUSB0";

TEST(ServeLog, EachEventAtItsPriorityInTheServicesWords) {
  AnswerWatch::Change stopped{false, 3, 1796780051.4, 0};
  AnswerWatch::Change answers{true, 13, 1796780051.4, 25300};
  struct Row {
    const char* event;
    Message message;
    Priority priority;
    std::string says;
  };
  const Row rows[] = {
      {"absent", DescribeLineDown(kAddress, Failure::Kind::Absent), Priority::Warning,
       "line /dev/ttyUSB0 is not there; it is opened when the device appears"},
      {"busy", DescribeLineDown(kAddress, {Failure::Kind::Busy, "", "picocom, process 12"}),
       Priority::Warning,
       "line /dev/ttyUSB0 is in use by picocom, process 12; it is tried again until that "
       "program lets it go"},
      {"no permission",
       DescribeLineDown(kAddress, {Failure::Kind::NoPermission, "Permission denied", "", "uucp"}),
       Priority::Error,
       "line /dev/ttyUSB0: the service's user may not open it; the device belongs to the group "
       "\"uucp\", which the unit must name in SupplementaryGroups= (see NOTES in "
       "mero-control-serve(1))"},
      {"no permission, group unknown", DescribeLineDown(kAddress, Failure::Kind::NoPermission),
       Priority::Error,
       "line /dev/ttyUSB0: the service's user may not open it; it needs read and write access "
       "(see NOTES in mero-control-serve(1))"},
      {"unreachable",
       DescribeLineDown("tcp://av-gw:4001", {Failure::Kind::Unreachable, "Connection refused"}),
       Priority::Warning,
       "line tcp://av-gw:4001 cannot be reached: Connection refused; it is "
       "tried again"},
      {"invalid",
       DescribeLineDown(kAddress, {Failure::Kind::Invalid, "cannot be used: its name is long"}),
       Priority::Error, "line /dev/ttyUSB0 cannot be used: its name is long"},
      {"lost", DescribeLineDown(kAddress, Failure::Kind::Lost), Priority::Warning,
       "line /dev/ttyUSB0 was lost; it is reopened when it is back"},
      {"other", DescribeLineDown(kAddress, {Failure::Kind::Other, "Input/output error"}),
       Priority::Warning,
       "line /dev/ttyUSB0 could not be opened: Input/output error; it is tried again"},
      {"first open", DescribeLineUp(kAddress, false), Priority::Info, "line /dev/ttyUSB0 is open"},
      {"open again", DescribeLineUp(kAddress, true), Priority::Notice,
       "line /dev/ttyUSB0 is open again"},
      {"line notice", DescribeLineNotice("rfc2217://gw:4001", "the server set the line to 9600"),
       Priority::Notice, "line rfc2217://gw:4001: the server set the line to 9600"},
      {"stops answering", DescribeAnswering(kAddress, stopped), Priority::Warning,
       "the projector on /dev/ttyUSB0 does not answer: no reply to 3 exchanges since "
       "2026-12-09 01:34:11 UTC; PJLink clients get ERR4 meanwhile"},
      {"answers again", DescribeAnswering(kAddress, answers), Priority::Notice,
       "the projector on /dev/ttyUSB0 answers again, after 25 s and 13 exchanges without a "
       "reply"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.message.priority, row.priority) << row.event;
    EXPECT_EQ(row.message.text, row.says) << row.event;
    // The panel's words mean nothing to whoever reads a service's journal.
    for (const char* panel : {"COM", "--com", "choose the port", "log in again", "your user"}) {
      EXPECT_EQ(row.message.text.find(panel), std::string::npos) << row.event << ": " << panel;
    }
  }
}

TEST(ServeLog, TheManualExplainsTheGroupThatAPermissionLinePointsTo) {
  std::ifstream file(std::string(MERO_SOURCE_DIR) + "/data/man/mero-control-serve.1.in");
  std::stringstream text;
  text << file.rdbuf();
  const std::string page = text.str();
  const auto notes = page.find("\n.SH NOTES\n");
  ASSERT_NE(notes, std::string::npos);
  const std::string section = page.substr(notes, page.find("\n.SH ", notes + 1) - notes);
  EXPECT_NE(section.find("SupplementaryGroups=dialout uucp"), std::string::npos);
  EXPECT_NE(section.find("systemctl edit mero\\-control\\-serve"), std::string::npos);
}

TEST(ServeLog, TimesAndLengthsAsAnOperatorReadsThem) {
  EXPECT_EQ(UtcTime(0), "1970-01-01 00:00:00 UTC");
  EXPECT_EQ(UtcTime(1796780051.999), "2026-12-09 01:34:11 UTC");
  const std::pair<double, const char*> lengths[] = {
      {-5, "0 s"},
      {400, "0 s"},
      {25300, "25 s"},
      {59499, "59 s"},
      {59500, "1 min 0 s"},
      {190000, "3 min 10 s"},
      {3599000, "59 min 59 s"},
      {3600000, "1 h 0 min"},
      {7530000, "2 h 5 min"},
  };
  for (const auto& [ms, text] : lengths) EXPECT_EQ(Duration(ms), text) << ms;
}

TEST(ServeLog, TheJournalsPrefixOnlyWhenJournalStreamNamesTheStream) {
  QTemporaryFile stream;
  ASSERT_TRUE(stream.open());
  const int fd = stream.handle();
  struct stat info {};
  ASSERT_EQ(::fstat(fd, &info), 0);
  const std::string device = std::to_string(info.st_dev);
  const std::string inode = std::to_string(info.st_ino);
  struct Row {
    std::string journalStream;
    bool names;
  };
  const Row rows[] = {
      {device + ":" + inode, true},
      {device + ":" + std::to_string(info.st_ino + 1), false},  // a stream the parent had
      {std::to_string(info.st_dev + 1) + ":" + inode, false},
      {device + ":" + inode + ":0", false},
      {device + ":", false},
      {":" + inode, false},
      {device + inode, false},
      {"", false},
      {"-1:" + inode, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(NamesStream(row.journalStream.c_str(), fd), row.names) << row.journalStream;
  }
  EXPECT_FALSE(NamesStream(nullptr, fd));
  EXPECT_FALSE(NamesStream((device + ":" + inode).c_str(), -1)) << "a closed stream";

  EXPECT_EQ(LogLineText(Priority::Warning, "[a] b", true), "<4>[a] b\n");
  EXPECT_EQ(LogLineText(Priority::Error, "x", true), "<3>x\n");
  EXPECT_EQ(LogLineText(Priority::Warning, "[a] b", false), "mero-control serve: [a] b\n");
}

TEST(ServeLog, NoTextOfAPeerStartsALineOfItsOwnOrRunsOnUnbounded) {
  EXPECT_EQ(LogLineText(Priority::Info, "busy by evil\n<0>forged\x1b[2J\x7f", true),
            "<6>busy by evil\\x0A<0>forged\\x1B[2J\\x7F\n");
  EXPECT_EQ(LogLineText(Priority::Info, "caf\xc3\xa9", false), "mero-control serve: caf\xc3\xa9\n");

  const std::string exact(kLongestLine, 'a');
  EXPECT_EQ(LogLineText(Priority::Info, exact, true), "<6>" + exact + "\n");
  EXPECT_EQ(LogLineText(Priority::Info, exact + "b", true), "<6>" + exact + "...\n");
  // "é" across the bound is left out whole rather than cut in two.
  const std::string split = std::string(kLongestLine - 1, 'a') + "\xc3\xa9";
  EXPECT_EQ(LogLineText(Priority::Info, split, true),
            "<6>" + std::string(kLongestLine - 1, 'a') + "...\n");
}

// A stream that takes what `room` allows at each write, and remembers what it took.
struct Stream {
  std::size_t room = SIZE_MAX;
  std::string taken;
  LogSink::Output output() {
    return [this](std::string_view bytes) {
      const std::size_t n = std::min(room, bytes.size());
      taken.append(bytes.substr(0, n));
      room -= n;
      return n;
    };
  }
};

TEST(ServeLog, AStreamThatTakesNothingHoldsLinesUpToTheBoundThenDropsAndSaysSo) {
  Stream stream;
  LogSink sink(stream.output(), true);
  std::vector<bool> waiting;
  sink.onWaiting = [&](bool now) { waiting.push_back(now); };

  sink.log(Priority::Info, "one");
  EXPECT_EQ(stream.taken, "<6>one\n");
  EXPECT_FALSE(sink.hasWaiting());

  stream.room = 4;  // "<6>t" of the next line, then nothing
  sink.log(Priority::Info, "two");
  EXPECT_EQ(waiting, std::vector<bool>{true});
  const std::string line(100, 'x');
  const std::size_t fits = (LogSink::kWaitingBound - std::string("<6>two\n").size()) /
                           LogLineText(Priority::Info, line, true).size();
  for (std::size_t i = 0; i < fits + 5; ++i) sink.log(Priority::Info, line);
  EXPECT_EQ(sink.dropped(), 5U);
  EXPECT_EQ(stream.taken, "<6>one\n<6>t");

  stream.room = SIZE_MAX;
  sink.flush();
  EXPECT_EQ(waiting, (std::vector<bool>{true, false}));
  EXPECT_FALSE(sink.hasWaiting());
  const std::string expected_tail =
      "<4>5 lines of this log were dropped: its stream took nothing while 64 KiB of lines "
      "waited\n";
  ASSERT_GE(stream.taken.size(), expected_tail.size());
  EXPECT_EQ(stream.taken.substr(0, 14), "<6>one\n<6>two\n") << "the line begun is finished";
  EXPECT_EQ(stream.taken.substr(stream.taken.size() - expected_tail.size()), expected_tail);
  EXPECT_EQ(stream.taken.size(), std::string("<6>one\n<6>two\n").size() +
                                     fits * LogLineText(Priority::Info, line, true).size() +
                                     expected_tail.size());

  sink.log(Priority::Notice, "after");
  EXPECT_TRUE(stream.taken.ends_with("waited\n<5>after\n")) << "the drop is told once";
}

// The watch over a projector's exchanges as the engine ends them, on the virtual clock.
struct Step {
  test::VirtualClock::Ms after;  // since the step before
  Result::Kind kind;
};
struct Told {
  test::VirtualClock::Ms at;
  bool answers;
  std::size_t unanswered;
};

std::vector<Told> Watch(const std::vector<Step>& steps) {
  constexpr double kEpochSeconds = 1796780000;
  constexpr double kWindowMs = 1000;
  test::VirtualClock clock;
  AnswerWatch watch;
  std::vector<Told> told;
  for (const Step& step : steps) {
    clock.advance(step.after);
    const double now = static_cast<double>(clock.now());
    const Result result{step.kind, {}, step.kind == Result::Kind::Reply ? 20 : kWindowMs};
    if (const auto change = watch.exchanged(result, now, kEpochSeconds + now / 1000)) {
      told.push_back({clock.now(), change->answers, change->unanswered});
    }
  }
  return told;
}

bool operator==(const Told& a, const Told& b) {
  return a.at == b.at && a.answers == b.answers && a.unanswered == b.unanswered;
}
void PrintTo(const Told& t, std::ostream* out) {
  *out << "{" << t.at << (t.answers ? " answers " : " silent ") << t.unanswered << "}";
}

TEST(ServeLog, AProjectorThatStopsAnsweringIsToldOnceAndAgainWhenItAnswers) {
  constexpr auto kNo = Result::Kind::NoReply;
  constexpr auto kYes = Result::Kind::Reply;
  constexpr auto kCut = Result::Kind::Cut;
  constexpr auto kDown = Result::Kind::LineDown;
  constexpr auto kBusy = Result::Kind::Busy;
  struct Row {
    const char* what;
    std::vector<Step> steps;
    std::vector<Told> told;
  };
  const Row rows[] = {
      {"answering", {{0, kYes}, {500, kYes}, {500, kYes}}, {}},
      {"two lost replies are noise", {{0, kNo}, {1500, kNo}, {1500, kYes}, {1500, kNo}}, {}},
      {"a frozen projector: one line for 13 exchanges, one when it answers",
       {{0, kYes},
        {1000, kNo},
        {1500, kNo},
        {1500, kNo},
        {1500, kNo},
        {1500, kNo},
        {1500, kNo},
        {1500, kNo},
        {1500, kNo},
        {1500, kNo},
        {1500, kNo},
        {1500, kNo},
        {1500, kNo},
        {1500, kNo},
        {1500, kYes},
        {500, kYes}},
       {{4000, false, 3}, {20500, true, 13}}},
      {"cut replies are no answer either",
       {{0, kCut}, {1500, kNo}, {1500, kCut}, {1500, kYes}},
       {{3000, false, 3}, {4500, true, 3}}},
      {"a slow poll: two exchanges 30 s apart",
       {{0, kNo}, {30000, kNo}, {30000, kYes}},
       {{30000, false, 2}, {60000, true, 2}}},
      {"a line down or a full queue says nothing of the projector",
       {{0, kNo}, {1500, kDown}, {100, kBusy}, {1500, kNo}, {1500, kDown}, {1500, kYes}},
       {}},
      {"nor ends an episode",
       {{0, kNo}, {1500, kNo}, {1500, kNo}, {1500, kDown}, {60000, kNo}, {1500, kYes}},
       {{3000, false, 3}, {66000, true, 4}}},
      {"two episodes, each told",
       {{0, kNo},
        {1500, kNo},
        {1500, kNo},
        {1500, kYes},
        {1500, kNo},
        {1500, kNo},
        {1500, kNo},
        {1500, kYes}},
       {{3000, false, 3}, {4500, true, 3}, {9000, false, 3}, {10500, true, 3}}},
  };
  for (const Row& row : rows) EXPECT_EQ(Watch(row.steps), row.told) << row.what;
}

TEST(ServeLog, TheSilenceIsMeasuredFromTheFirstUnansweredSend) {
  AnswerWatch watch;
  const Result none{Result::Kind::NoReply, {}, 2000};
  EXPECT_FALSE(watch.exchanged(none, 12000, 1000012));
  EXPECT_FALSE(watch.exchanged(none, 14500, 1000014.5));
  const auto stopped = watch.exchanged(none, 17000, 1000017);
  ASSERT_TRUE(stopped);
  EXPECT_DOUBLE_EQ(stopped->sinceWallSeconds, 1000010) << "sent 2 s before the first ended";
  EXPECT_TRUE(watch.silent());
  const auto answers = watch.exchanged({Result::Kind::Reply, {}, 30}, 35000, 1000035);
  ASSERT_TRUE(answers);
  EXPECT_DOUBLE_EQ(answers->silentMs, 25000);
  EXPECT_FALSE(watch.silent());
}

}  // namespace
}  // namespace mero::serve
