#pragma once

#include <string>

#include "link/port/line.h"
#include "serve/answer_watch.h"
#include "serve/log.h"

namespace mero::serve {

// What happened to a projector's line, in the service's own words: the address, the reason,
// and what an operator of the service can do about it, at the priority it deserves. No text of
// the panel's.
Message DescribeLineDown(const std::string& address, const link::LineFailure& failure);
// `again`: after it was down.
Message DescribeLineUp(const std::string& address, bool again);
// What the line itself noticed (a device server that set the line otherwise than asked).
Message DescribeLineNotice(const std::string& address, const std::string& notice);
// The projector stopped answering, or answers again.
Message DescribeAnswering(const std::string& address, const AnswerWatch::Change& change);

// A moment as "2026-12-09 01:34:11 UTC": the same for every reader of the log, whatever the
// zone of the machine that logged it.
std::string UtcTime(double wallSeconds);
// A length of time as "25 s", "3 min 10 s" or "2 h 5 min".
std::string Duration(double ms);

}  // namespace mero::serve
