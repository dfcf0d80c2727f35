#pragma once
// The serial line: the modem port's opening, time-outs, command writes, reply lines and the ">"
// prompt. Failures print their console text and log their tag before returning false.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace mvo::modem {

using platform::Env;

inline constexpr std::uint32_t kNormalTimeoutMs = 3000;
inline constexpr std::uint32_t kLongTimeoutMs = 30000;
inline constexpr std::int64_t kOpenRetryMs = 20000;
inline constexpr std::size_t kMaxReplyLine = 200;
// Bytes one read_chars call takes from the port, stored or not, before it ends the line.
inline constexpr std::size_t kMaxLineBytes = 1000;
inline constexpr std::int64_t kPromptBoundMs = 30000;

// Opens the device, retrying every 20000 ms (a sleep) without limit; "cannot open COM port\n" and
// its tag at the first failure only. Then 19200 8N1 and the normal time-outs; a port whose line
// state cannot be read or written ends in fatal_stop.
void open_port(Env& env, const std::string& device);

void set_port_timeouts(Env& env, std::uint32_t read_ms, std::uint32_t write_ms);

// One read of the port under the read time-out last set, as SerialPort::read: it returns when
// `size` bytes came or the time-out passed. Every wait's duties are kept while it waits: the
// watchdog is fed at its interval and a stop is seen as soon as it is asked for (logs::on_wait,
// which may unwind). When either needs it, the time-out is served in shorter slices; otherwise it
// is one read, as it always was.
bool read_port(Env& env, char* buffer, std::size_t size, std::size_t& got);
void purge_port(Env& env);

// Assembles one reply line after a 200 ms pause: leading CR/LF skipped, CRs dropped, LF ends the
// line unstored, byte 26 ends it stored (except as the first byte), two time-outs with nothing
// stored give an empty line, 200 characters end it, and so do 1000 received bytes (an endless
// stream of CR or LF). The line ends at its first zero byte. `line` receives at most
// buffer_size - 1 characters (the caller's buffer with its end); characters of the line beyond
// that are read and dropped, so the next call starts on the next line. False on a port read failure
// ("ReadFile in read_chars1 failed (%s).", "read_chars1").
bool read_chars(Env& env, std::string& line, std::size_t buffer_size = kMaxReplyLine + 1);

// Lines a modem sends of its own accord: network and new-message indications, vendor status
// lines (any line that begins with '^'), boot and SIM notices. None is ever the reply to a command.
bool is_unsolicited(const std::string& line);
// Lines in a row read_reply skips before it judges the next one as the reply all the same.
inline constexpr int kMaxSkippedLines = 8;

// read_chars for a line that answers a command: a line that begins like an unsolicited one is
// skipped, and the next line is read in its place under the same rules, unless the awaited reply
// itself begins that way (`awaited`: "+CPIN:" for AT+CPIN?). At most kMaxSkippedLines in a row
// are skipped; the next is judged as the reply. With no such line it is read_chars exactly. A
// skipped line shows only in the trace of the port's bytes.
bool read_reply(Env& env, std::string& line, std::size_t buffer_size = kMaxReplyLine + 1,
                const std::string& awaited = "");

// Purges, writes the text under 30000/30000 ms, restores 3000/3000. False on a failed or short
// write ("WriteChars1((%d))((%d))((%d)).", "WriteChars1"), after another purge.
bool WriteChars(Env& env, const std::string& text);

// Reads and discards bytes up to the first ">", then purges. False on a read failure, or when no
// ">" came within 30000 ms ("get_prompt1.", "get_prompt1").
bool get_prompt(Env& env);

}  // namespace mvo::modem
