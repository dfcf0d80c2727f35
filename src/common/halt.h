#pragma once
// The halt outcome: after a configuration error or a fatal stop the gateway does no further work.
// Library code unwinds with Halt to the program entry, which then waits (sleeping, not spinning)
// until the operator ends the process. Tests catch it and look at what was printed and logged.
#include <exception>

namespace mvo::common {

class Halt : public std::exception {
 public:
  const char* what() const noexcept override { return "halt"; }
};

[[noreturn]] inline void halt() { throw Halt(); }

// A stop asked for by the operator or the service manager, seen at a wait where no report is
// between its deletion and the end of its fan-out. It unwinds to the main loop, which shuts the
// modem down and ends the process.
class StopRequest : public std::exception {
 public:
  const char* what() const noexcept override { return "stop requested"; }
};

// A stop has waited for a text under way as long as it may: the wait for that text's result is
// cut short. It unwinds to the send, which leaves the text entry and reports the text as perhaps
// sent.
class StopOverdue : public std::exception {
 public:
  const char* what() const noexcept override { return "stop overdue"; }
};

}  // namespace mvo::common
