#include "sim/core/profile.h"

namespace mvo::sim {

const std::vector<Habits>& profiles() {
  static const std::vector<Habits> kProfiles = [] {
    Habits gsm;
    gsm.name = "industrial-gsm";
    gsm.boot_lines = {{0, "RDY"},
                      {1500, "+CFUN: 1"},
                      {1600, "+CPIN: READY"},
                      {6000, "Call Ready"},
                      {12000, "SMS Ready"}};
    gsm.sm_capacity = 50;
    gsm.me_capacity = 0;
    gsm.summary = "boot lines after a power-up, SMS Ready late; SIM store of 50";

    Habits lte;
    lte.name = "lte-module";
    lte.boot_lines = {
        {0, "RDY"}, {2000, "+CFUN: 1"}, {2100, "+CPIN: READY"}, {7000, "+QIND: SMS DONE"}};
    lte.has_mt = false;
    lte.busy_after_boot_ms = 8000;
    lte.registration_every_ms = 45000;
    lte.sm_capacity = 40;
    lte.me_capacity = 255;
    lte.summary = "SM and ME only, +CREG:/+CGREG: lines, SIM busy 8 s after a power-up";

    Habits stick;
    stick.name = "usb-stick";
    stick.boot_lines = {{0, "^BOOT:12345678,0,0,0,75"}};
    stick.status_every_ms = 3000;
    stick.alpha_field = true;
    stick.sm_capacity = 20;
    stick.me_capacity = 10;
    stick.summary = "^RSSI/^HCSQ/^MODE every 3 s until AT^CURC=0, alpha field in listings";

    Habits terminal;
    terminal.name = "classic-terminal";
    terminal.send_min_ms = 2000;
    terminal.send_max_ms = 8000;
    terminal.sm_capacity = 20;
    terminal.me_capacity = 25;
    terminal.summary = "a send's result 2 to 8 s after the text; SIM 20 and phone 25 slots";
    return std::vector<Habits>{gsm, lte, stick, terminal};
  }();
  return kProfiles;
}

const Habits* profile_named(const std::string& name) {
  for (const Habits& h : profiles()) {
    if (h.name == name) return &h;
  }
  return nullptr;
}

}  // namespace mvo::sim
