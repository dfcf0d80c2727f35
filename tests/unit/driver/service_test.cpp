// The gateway as a Windows service, whole, in virtual time against the modem model: what the
// Service Control Manager is told from the start to the exit code.
#include <gtest/gtest.h>

#include "driver/gateway.h"
#include "logs/life.h"
#include "platform/service_status.h"
#include "tests/support/harness.h"

namespace mvo::platform {
namespace {

struct Manager final : ControlManager {
  explicit Manager(sim::VirtualClock& c) : clock(c) {}
  sim::VirtualClock& clock;
  std::vector<std::pair<std::int64_t, ServiceReport>> reports;  // with the time of each
  void report(const ServiceReport& r) override { reports.emplace_back(clock.now_ms(), r); }
};

bool pending(std::uint32_t state) {
  return state == scm::kStartPending || state == scm::kStopPending;
}

TEST(WindowsService, TellsTheManagerEachStepAndTheExitCode) {
  using namespace scm;
  struct Case {
    const char* name;
    bool cfg;            // configuration/cfg.txt is there
    int bad_port_state;  // the get_settings call of the port that fails; 0: none
    bool stop;           // a stop control at the report's first text, whose next never ends
    std::vector<std::uint32_t> states;  // each state once, in order
    std::uint32_t exit_code;
    std::uint32_t service_exit_code;
  } cases[] = {
      {"stop during a fan-out, past its patience",
       true,
       0,
       true,
       {kStartPending, kRunning, kStopPending, kStopped},
       0,
       0},
      {"halt at the configuration", false, 0, false, {kStartPending, kStopped}, 1066, 78},
      {"halt after running", true, 1, false, {kStartPending, kRunning, kStopped}, 1066, 1},
  };
  for (const auto& c : cases) {
    test::Harness g;
    if (c.cfg) g.write_config("cfg.txt", "port COM1\n");
    g.write_config("stations.txt", "\"Tank3\";\"+44 10\"\n");
    g.write_config("human.txt", "Normal\nOverflow\n");
    g.write_config("destinations.txt", "\"Control\";\"+111\";SMC\n\"Ops\";\"+222\";HMN;\"1\"\n");
    Manager manager(g.clock);
    Service service;
    ServiceStatus status(manager, [&service](bool urgent) {
      service.stop.urgent = urgent ? 1 : 0;
      service.stop.requested = 1;
    });
    service.notifier = &status;
    service.exit_on_halt = true;
    g.env.service = &service;
    if (c.bad_port_state != 0) g.port().fail_settings(c.bad_port_state);
    std::int64_t asked = -1;
    if (c.stop) {
      g.modem.add_fault({"+222", sim::FaultKind::kSendSilent, 1});
      g.modem.deliver("+4410", "12/02/26,13:19:42+04", "10,2.5,c,400,e,f,1", 30000);
      g.modem.on_submit = [&](const sim::Submitted&) {
        if (asked >= 0) return;
        asked = g.now();
        EXPECT_TRUE(status.control(kControlStop));
      };
    }
    g.clock.stop_at(600000);
    status.start();
    status.stopped(driver::run_site(g.env));

    std::vector<std::uint32_t> states;
    for (std::size_t i = 0; i < manager.reports.size(); ++i) {
      const auto& [at, r] = manager.reports[i];
      if (states.empty() || states.back() != r.state) {
        states.push_back(r.state);
        EXPECT_EQ(r.checkpoint, pending(r.state) ? 1u : 0u) << c.name << " " << i;
      } else {
        EXPECT_EQ(r.checkpoint, manager.reports[i - 1].second.checkpoint + 1) << c.name << " " << i;
      }
      // While pending, the next checkpoint comes well inside the wait hint.
      if (i > 0 && pending(manager.reports[i - 1].second.state)) {
        EXPECT_LE(at - manager.reports[i - 1].first, 2 * ServiceStatus::kCheckpointMs)
            << c.name << " " << i;
        EXPECT_GE(manager.reports[i - 1].second.wait_hint_ms, 2 * ServiceStatus::kCheckpointMs);
      }
    }
    EXPECT_EQ(states, c.states) << c.name;
    const auto& [end, last] = manager.reports.back();
    EXPECT_EQ(last.exit_code, c.exit_code) << c.name;
    EXPECT_EQ(last.service_exit_code, c.service_exit_code) << c.name;
    if (c.stop) {
      EXPECT_GE(end - asked, logs::kStopPatienceMs) << c.name;
      EXPECT_LE(end - asked, logs::kStopBoundMs) << c.name;
    }
  }
}

}  // namespace
}  // namespace mvo::platform
