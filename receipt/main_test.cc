// The fiskal binary end to end, in a temporary folder.

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testing/ports.h"
#include "testing/process.h"
#include "testing/pty.h"
#include "testing/temp_dir.h"

namespace fiskal {
namespace {

using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

using Result = testing::ProcessResult;

// Runs the binary in `folder` with `args`. Every FISKAL_COM<n> points at a
// path that does not exist, except port `port` at `device` when given.
Result RunFiskal(const std::string& folder, std::vector<std::string> args = {},
                 int port = 0, const std::string& device = "") {
  testing::PointPortsAt(port, device);
  args.insert(args.begin(), FISKAL_BINARY);
  return testing::RunProcess(args, folder);
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// The bundled example, log-only, byte for byte.
TEST(Fiskal, BundledExampleLogOnly) {
  TempDir dir;
  WriteAll(dir.File("fiskal.txt"), ReadAll(FISKAL_EXAMPLES "/fiskal.txt"));
  const Result r = RunFiskal(dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ReadAll(dir.File("fiskal.log")),
            "\"ver.:0.6a\"\r\n"
            "\"\x1bP0;0$h88\x1b\\\"\r\n"
            "\"\x1bP1;0$lBREAD\r1.00\rA/2.50/2.50/AC\x1b\\\"\r\n"
            "\"\x1bP2;0$lMILK 2%\r2.00\rB/3.00/6.00/CE\x1b\\\"\r\n"
            "\"\x1bP3;0$lAPPLES\r1.25\rA/4.20/5.25/E6\x1b\\\"\r\n"
            "\"\x1bP1;0;1$e\rTHANK YOU\r0.00/13.75/85\x1b\\\"\r\n");
}

TEST(Fiskal, MissingInputLeavesAnOldTranscriptUntouched) {
  TempDir dir;
  WriteAll(dir.File("fiskal.log"), "from the last run");
  const Result r = RunFiskal(dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("fiskal: fiskal.txt: cannot open: No such file or directory", 0), 0u)
      << r.err;
  EXPECT_EQ(ReadAll(dir.File("fiskal.log")), "from the last run");
}

TEST(Fiskal, EmptyInputLeavesAnEmptyTranscript) {
  TempDir dir;
  WriteAll(dir.File("fiskal.txt"), "");
  WriteAll(dir.File("fiskal.log"), "from the last run");
  const Result r = RunFiskal(dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "fiskal: fiskal.txt is empty: it needs at least the header "
                   "line; nothing was sent\n");
  EXPECT_EQ(ReadAll(dir.File("fiskal.log")), "");
}

TEST(Fiskal, RefusedInputNamesTheLine) {
  TempDir dir;
  WriteAll(dir.File("fiskal.txt"), "0;THANK YOU\r\n1 BREAD 1 100 250 pcs\r\n");
  const Result r = RunFiskal(dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("fiskal: fiskal.txt:2: item line has 0 TABs", 0), 0u) << r.err;
  EXPECT_EQ(ReadAll(dir.File("fiskal.log")), "");
}

TEST(Fiskal, CommandLine) {
  TempDir dir;
  WriteAll(dir.File("fiskal.txt"), "0;THANK YOU\r\n");

  Result r = RunFiskal(dir.path(), {"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("usage: fiskal", 0), 0u);
  r = RunFiskal(dir.path(), {"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "fiskal ver.:0.6a\n");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-x"}, {"fiskal.txt"}, {"--help", "extra"}}) {
    r = RunFiskal(dir.path(), args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("usage: fiskal"), std::string::npos);
    EXPECT_NE(r.err.find("fiskal: unexpected argument"), std::string::npos);
  }
  // None of these read or wrote anything.
  EXPECT_FALSE(Exists(dir.File("fiskal.log")));
}

TEST(Fiskal, SendsOverTheSerialLine) {
  TempDir dir;
  testing::Pty pty;
  WriteAll(dir.File("fiskal.txt"), "3;THANK YOU\r\n");
  const Result r = RunFiskal(dir.path(), {}, 3, pty.path());
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string texts =
      "ver.:0.6a"
      "\x1bP0;0$h88\x1b\\"
      "\x1bP1;0;1$e\rTHANK YOU\r0.00/0.00/B5\x1b\\";
  EXPECT_EQ(pty.Read(texts.size()), texts);
  EXPECT_EQ(ReadAll(dir.File("fiskal.log")),
            "\"ver.:0.6a\"\r\n"
            "\"\x1bP0;0$h88\x1b\\\"\r\n"
            "\"\x1bP1;0;1$e\rTHANK YOU\r0.00/0.00/B5\x1b\\\"\r\n");
}

TEST(Fiskal, PortThatDoesNotExist) {
  TempDir dir;
  WriteAll(dir.File("fiskal.txt"), "2;THANK YOU\r\n");
  const Result r = RunFiskal(dir.path(), {}, 0);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "fiskal: version text (text 1 of 3): port 2 "
            "(/nonexistent/fiskal-test-port-2): cannot open: No such file or "
            "directory (no such device; check the port digit in fiskal.txt or "
            "set FISKAL_COM2 to the printer's device); nothing is recorded in "
            "fiskal.log; no receipt was begun on the printer\n");
  EXPECT_EQ(ReadAll(dir.File("fiskal.log")), "");
}

}  // namespace
}  // namespace fiskal
