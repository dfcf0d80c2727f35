// The trace file itself, on a real file: only its owner may read it (it holds every number and
// text, the un-authorized senders' too), and a full trace that cannot be renamed is kept.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "modem/modem.h"
#include "platform/trace_port.h"
#include "tests/support/harness.h"

namespace mvo::platform {
namespace {

namespace fs = std::filesystem;
using test::Harness;

std::string contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void bring_up_and_shut(Harness& h, const fs::path& file, std::uint64_t limit) {
  TracePort trace(h.port(), h.clock, h.wall, file.string(), limit);
  ASSERT_TRUE(trace.ok());
  Env env{h.env.clock, h.env.wall, h.env.console, h.env.site, trace};
  ASSERT_TRUE(modem::handle_modem(env, "COM1"));
  ASSERT_TRUE(modem::shut_modem(env));
}

#ifndef _WIN32
TEST(TraceFile, OnlyItsOwnerMayReadIt) {
  constexpr auto kOwnerOnly = fs::perms::owner_read | fs::perms::owner_write;
  const struct {
    const char* name;
    bool earlier;  // a trace left readable by all before
  } cases[] = {{"a new trace", false}, {"an earlier trace readable by all", true}};
  for (const auto& c : cases) {
    Harness h;
    const fs::path file = h.dir() / "trace.txt";
    if (c.earlier) {
      std::ofstream(file) << "earlier\r\n";
      fs::permissions(file, kOwnerOnly | fs::perms::group_read | fs::perms::others_read);
    }
    bring_up_and_shut(h, file, 1500);  // full twice over: rotated
    for (const auto& f : {file, fs::path(file.string() + ".1")}) {
      ASSERT_TRUE(fs::exists(f)) << c.name << " " << f;
      EXPECT_EQ(fs::status(f).permissions() & fs::perms::all, kOwnerOnly) << c.name << " " << f;
    }
  }
}
#endif

TEST(TraceFile, AFullTraceThatCannotBeRenamedIsKept) {
  constexpr std::uint64_t kLimit = 1500;
  Harness h;
  const fs::path file = h.dir() / "trace.txt";
  // Where the full trace would go stands a directory with a file in it: no rename replaces it,
  // as none replaces a trace that another program holds open on Windows.
  const fs::path previous = h.dir() / "trace.txt.1";
  fs::create_directories(previous);
  std::ofstream(previous / "keep") << "x";
  bring_up_and_shut(h, file, kLimit);
  const std::string first = contents(file);
  EXPECT_GT(first.size(), kLimit);
  EXPECT_EQ(first.rfind("20", 0), 0u);
  EXPECT_EQ(first.find("trace of the modem dialogue", first.find("\r\n")), std::string::npos)
      << "begun afresh";
  bring_up_and_shut(h, file, kLimit);
  EXPECT_EQ(contents(file).rfind(first, 0), 0u) << "the first start's records were lost";
  EXPECT_TRUE(fs::is_directory(previous));
  EXPECT_EQ(contents(previous / "keep"), "x");
  // Once the way is free, the next rename goes through.
  fs::remove_all(previous);
  bring_up_and_shut(h, file, kLimit);
  EXPECT_TRUE(fs::is_regular_file(previous));
  EXPECT_LE(fs::file_size(file), kLimit);
}

}  // namespace
}  // namespace mvo::platform
