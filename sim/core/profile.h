#pragma once
// Named modem families for the modem model: the habits their public AT command manuals describe
// and their users meet, each on top of the plain model (which obeys the set-up to the letter).
//   industrial-gsm    boot lines after a power-up (RDY, +CFUN: 1, +CPIN: READY, Call Ready, and
//                     SMS Ready late); echo on again after every reset
//   lte-module        memories SM and ME only (MT refused); +CREG:/+CGREG: lines whatever
//                     AT+CREG says; the SIM busy ("+CME ERROR: 14") for seconds after a power-up
//   usb-stick         ^RSSI/^HCSQ/^MODE lines every few seconds until AT^CURC=0, ^BOOT after a
//                     power-up; listings and reads carry the alpha field ("")
//   classic-terminal  a submission's result 2 to 8 s after Ctrl-Z (seeded)
// Each names its store: the SIM's and the phone's slots. A full memory keeps new messages
// waiting, as the network holds them for a modem with no room (ModemModel::deliver).
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace mvo::sim {

struct Habits {
  std::string name;  // empty: the plain model
  // Lines sent after every power-up: ms after the modem has power again, and the line.
  std::vector<std::pair<std::int64_t, std::string>> boot_lines;
  bool has_mt = true;                   // false: AT+CPMS naming "MT" is "+CMS ERROR: 302"
  std::int64_t busy_after_boot_ms = 0;  // the commands needing the SIM: "+CME ERROR: 14"
  // Network registration lines (+CREG: 1 and +CGREG: 1) this often, whatever AT+CREG says.
  std::int64_t registration_every_ms = 0;
  // Vendor status lines (^RSSI, ^HCSQ, ^MODE) this often, until AT^CURC=0.
  std::int64_t status_every_ms = 0;
  bool alpha_field = false;  // +CMGL:/+CMGR: with <alpha> as ""
  // A submission's result this long after Ctrl-Z, drawn evenly (0, 0: cmgs_delay_ms).
  std::int64_t send_min_ms = 0;
  std::int64_t send_max_ms = 0;
  int sm_capacity = 30;
  int me_capacity = 25;
  const char* summary = "";  // one line for --help
};

// The families above, in that order.
const std::vector<Habits>& profiles();
// The family of that name, or nullptr.
const Habits* profile_named(const std::string& name);

}  // namespace mvo::sim
