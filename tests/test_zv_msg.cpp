// zv-msg as sysops and door authors run it: the sample library builds, the
// source format gives exactly the bytes it promises, errors name their line
// and write nothing, and `get` writes what getmsg gives a door.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bplus.h"
#include "bplus_fixture.h"
#include "dbfutl.h"
#include "zivevuva.h"

namespace {

using namespace zv;
using zvtest::Bytes;
namespace fs = std::filesystem;

std::string bin_dir() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return ".";
  self[n] = 0;
  const std::string s(self);
  return s.substr(0, s.rfind('/'));
}

std::string sample_source() {
  const std::string here = __FILE__;
  return here.substr(0, here.rfind('/')) + "/../samples/msg/sample.msgsrc";
}

struct Outcome {
  int status;
  std::string out, err;
};

Outcome run(const std::vector<std::string>& args) {
  int out[2], err[2];
  EXPECT_EQ(pipe(out), 0);
  EXPECT_EQ(pipe(err), 0);
  const std::string exe = bin_dir() + "/zv-msg";
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(err[0]);
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  Outcome r;
  char buf[4096];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof buf)) > 0) r.out.append(buf, static_cast<std::size_t>(n));
  while ((n = read(err[0], buf, sizeof buf)) > 0) r.err.append(buf, static_cast<std::size_t>(n));
  close(out[0]);
  close(err[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}

class ZvMsg : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(access((bin_dir() + "/zv-msg").c_str(), X_OK), 0) << "zv-msg not built";
    std::memset(&cfg_, 0, sizeof cfg_);
    const std::string home = dir_.path() + "/";
    ASSERT_LT(home.size(), sizeof cfg_.bbs_path);
    std::strcpy(cfg_.bbs_path, home.c_str());
    cfg = &cfg_;
  }
  void TearDown() override {
    close_msg_file();
    cfg = nullptr;
  }
  std::string source(const std::string& text) {
    const std::string p = dir_.file("src.msgsrc");
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }
  // What a door gets, fetched in this process.
  static std::string door_gets(int flavour, const std::string& label) {
    std::vector<char> buf(8192, '~');
    buf[0] = 0;
    const int n = getmsg(flavour, label.c_str(), buf.data());
    return std::string(buf.data(), static_cast<std::size_t>(n));
  }
  std::vector<std::string> files() const {
    std::vector<std::string> v;
    for (const auto& e : fs::directory_iterator(dir_.path())) v.push_back(e.path().filename().string());
    std::sort(v.begin(), v.end());
    return v;
  }
  zvtest::TempDir dir_;
  cfg_rec cfg_;
};

TEST_F(ZvMsg, BuildsTheSampleLibrary) {
  Outcome r = run({"build", sample_source(), dir_.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(files(), (std::vector<std::string>{"msgansi.dat", "msgansi.dbf", "msgrip.dat", "msgrip.dbf",
                                                "msgtext.dat", "msgtext.dbf"}));
  r = run({"check", dir_.path()});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("sound"), std::string::npos);

  EXPECT_EQ(door_gets(1, "prompt"), "\x1b[1;36mYour choice? \x1b[0m");
  EXPECT_EQ(door_gets(0, "PROMPT"), "Your choice? ");
  EXPECT_EQ(door_gets(2, "No_Credits"), "You have no credits left today.\rCome back tomorrow!\r");  // fallback
  EXPECT_EQ(door_gets(1, "NO_CREDITS"), door_gets(0, "NO_CREDITS"));
  EXPECT_EQ(door_gets(0, "AT_SIGN"), "@ is how a line that begins with an at sign is written.\rTabs:\tand a byte by number: ~\r");
  EXPECT_EQ(door_gets(1, "GOODBYE"), "\x1b[1;33mThank you for visiting the Tavern.\x1b[0m\a\r\x1b[2J");

  // `get` writes exactly what a door gets, for every label and flavour.
  r = run({"list", dir_.path()});
  ASSERT_EQ(r.status, 0);
  int lines = 0;
  for (std::size_t p = 0, q; (q = r.out.find('\n', p)) != std::string::npos; p = q + 1, ++lines) {
    const std::string line = r.out.substr(p, q - p);
    const std::string flavour = line.substr(0, line.find('\t'));
    const std::string rest = line.substr(line.find('\t') + 1);
    const std::string label = rest.substr(0, rest.find('\t'));
    const int f = flavour == "text" ? 0 : flavour == "ansi" ? 1 : 2;
    const Outcome g = run({"get", dir_.path(), flavour, label});
    EXPECT_EQ(g.status, 0) << label;
    EXPECT_EQ(g.out, door_gets(f, label)) << flavour << " " << label;
  }
  EXPECT_EQ(lines, 18);  // six labels in three flavours
}

TEST_F(ZvMsg, TheSourceFormat) {
  const std::string label99(99, 'k');
  const std::string src =
      "# comment before the first message\r\n"
      "\r\n"
      "@msg  Two Words  \r\n"             // blanks around the label go, inside stay
      "first line\r\n"
      "joined \\\r\n"
      "here\r\n"
      "\r\n"
      "\r\n"                               // trailing blank lines are dropped
      "@ansi\n"
      "\\e[0m\\x00\\\\\\t\\a\\b\\f\\n\\r\\@\n"
      "@rip\n"
      "@end\n"                             // an empty RIP text, given on purpose
      "@msg " + label99 + "\n"
      "ends with an empty line\\r\n"
      "@msg Bare\n";                       // no text at all
  ASSERT_EQ(run({"build", source(src), dir_.path()}).status, 0);
  EXPECT_EQ(door_gets(0, "two words"), "first line\rjoined here\r");
  EXPECT_EQ(door_gets(1, "TWO WORDS"), std::string("\x1b[0m\0\\\t\a\b\f\n\r@\r", 14));
  EXPECT_EQ(door_gets(2, "Two Words"), "");
  EXPECT_EQ(door_gets(2, label99), "ends with an empty line\r\r");
  EXPECT_EQ(door_gets(1, "bare"), "");
  const Outcome r = run({"check", dir_.path()});
  EXPECT_EQ(r.status, 0) << r.out;
}

TEST_F(ZvMsg, SourceErrorsNameTheirLineAndWriteNothing) {
  struct row {
    std::string src;
    std::string message;
  } rows[] = {
      {"@msg A\nok\n@msg a\n", ":3: label a given twice (first at line 1"},
      {"@msg\n", ":1: @msg needs a label"},
      {"@msg " + std::string(100, 'x') + "\n", ":1: label longer than 99 characters"},
      {"@msg A\n\\q\n", ":2: unknown escape \\q"},
      {"@msg A\n\\x4\n", ":2: \\x needs two hexadecimal digits"},
      {"@msg A\n\\xZZ\n", ":2: \\x needs two hexadecimal digits"},
      {"@ansi\n", ":1: @ansi outside a message"},
      {"@msg A\n@ansi\nx\n@ansi\n", ":4: a second @ansi for this label"},
      {"@msg A\n@end\n@rip\n", ":3: @rip outside a message"},
      {"hello\n", ":1: text outside a message"},
      {"@msg A\n@fancy\n", ":2: unknown directive @fancy"},
      {"@msg A\n@end now\n", ":2: @end takes nothing after it"},
  };
  for (const auto& r : rows) {
    const Outcome o = run({"build", source(r.src), dir_.path()});
    EXPECT_EQ(o.status, 1) << r.src;
    EXPECT_NE(o.err.find(r.message), std::string::npos) << r.src << "\n" << o.err;
    EXPECT_EQ(files(), std::vector<std::string>{"src.msgsrc"}) << r.src;
  }
  // A library in place stays as it was when a new source has errors.
  ASSERT_EQ(run({"build", source("@msg Keep\nkept\n"), dir_.path()}).status, 0);
  EXPECT_EQ(run({"build", source("@msg New\n\\q\n"), dir_.path()}).status, 1);
  EXPECT_EQ(door_gets(0, "keep"), "kept\r");
}

TEST_F(ZvMsg, RebuildingReplacesTheLibrary) {
  ASSERT_EQ(run({"build", source("@msg Old\nold\n"), dir_.path()}).status, 0);
  ASSERT_EQ(run({"build", source("@msg New\nnew\n"), dir_.path()}).status, 0);
  const Outcome r = run({"list", dir_.path()});
  EXPECT_EQ(r.out, "text\tNew\t0\t4\nansi\tNew\t0\t4\nrip\tNew\t0\t4\n");
  EXPECT_EQ(files().size(), 7u);  // no files left under other names
}

TEST_F(ZvMsg, GetCheckAndMisuse) {
  ASSERT_EQ(run({"build", source("@msg Hello\nhi\n@ansi\n\\e[1mhi\n"), dir_.path()}).status, 0);
  Outcome r = run({"get", dir_.path(), "ansi", "HELLO"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "\x1b[1mhi\r");
  r = run({"get", dir_.path(), "0", "nothing"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "\rThere has been an internal error, the label name (nothing) was not found, please notify the sysop.\r");
  EXPECT_EQ(run({"get", dir_.path(), "sepia", "Hello"}).status, 2);
  EXPECT_EQ(run({"frobnicate"}).status, 2);
  EXPECT_EQ(run({}).status, 2);

  // check: a label that one flavour lacks, and a text past its data file.
  index_desc d;
  ASSERT_EQ(open_index(dir_.file("msgrip.dbf").c_str(), &d, 0), 1);
  index_entry extra = zvtest::make_entry("Extra", 0, 1000);
  ASSERT_EQ(add_key(&extra, &d), 1);
  close_index(&d);
  r = run({"check", dir_.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("label extra is in msgrip.dbf but not in msgtext.dbf"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("label Extra: text at 0, 1000 bytes, lies outside msgrip.dat"), std::string::npos) << r.out;

  // A missing file.
  fs::remove(dir_.file("msgansi.dat"));
  r = run({"get", dir_.path(), "text", "Hello"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("msgansi.dat"), std::string::npos);
  EXPECT_EQ(run({"check", dir_.path()}).status, 2);
}

}  // namespace
