// INI settings and screen files: what the loader reads from tavrine.ini and
// what a caller receives of a screen file, read back from the line's output
// queue and the host's request queue of a private segment.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "abuf.h"
#include "segment_fixture.h"
#include "test_proc_util.h"
#include "zivevuva.h"

namespace {

using namespace zv;

constexpr int OWN_LINE = 2;

class IniAndScreens : public zvtest::SegmentTest {
 protected:
  void SetUp() override {
    zvtest::SegmentTest::SetUp();
    if (HasFatalFailure()) return;
    zvtest::set_line_globals(OWN_LINE, 4);
    myuser->u_stat = 1;
    myuser->u_ansi = 1;
    myacct->linlen = 128;  // widest screen: messages arrive unbroken
    std::snprintf(datapath, sizeof datapath, "%s", tmp.dir().c_str());
  }

  // Everything queued for the caller so far, and the number of blocks.
  std::string caller_text(int* blocks = nullptr) {
    std::string all;
    int n = 0;
    while (mdbrec* m = dequeue_mdb(OWN_LINE)) {
      EXPECT_EQ(m->command, MSG_OUTPUT);
      char buf[1024];
      all.append(buf, static_cast<std::size_t>(copy_from_buffers(buf, sizeof buf, m)));
      release_mdb(m);
      ++n;
    }
    if (blocks != nullptr) *blocks = n;
    return all;
  }

  // Texts of the log requests queued so far.
  std::vector<std::string> log_lines() {
    std::vector<std::string> lines;
    while (mdbrec* m = dequeue_mdb(REQUEST_QUEUE)) {
      EXPECT_EQ(m->command, MSG_LOG);
      EXPECT_EQ(m->line, OWN_LINE);
      char buf[4096];
      lines.emplace_back(buf, static_cast<std::size_t>(copy_from_buffers(buf, sizeof buf, m)));
      release_mdb(m);
    }
    return lines;
  }

  zvproc::TempDir tmp;
};

const std::string kNoPath = "PATH not found in INI file, or INI file not found\r";

TEST_F(IniAndScreens, InitIniFileTakesTheFirstPathPiece) {
  const std::string dir74 = "/" + std::string(72, 'd') + "/";  // 74 characters
  struct row {
    const char* what;
    std::optional<std::string> file;  // none: no INI file
    int result;
    std::string path, pathApp;  // pathApp "keep": left as it was
    std::string shown;
  } rows[] = {
      {"directory with its slash", "PATH=/games/tav/\n", 1, "/games/tav/", "/games/tav/tavrine", ""},
      {"slash appended", "PATH=/games/tav\n", 1, "/games/tav/", "/games/tav/tavrine", ""},
      {"key in any case, other keys ignored", "NAME=x\npath=/g/\n", 1, "/g/", "/g/tavrine", ""},
      {"a blank after = is kept", "PATH= /g\n", 1, " /g/", " /g/tavrine", ""},
      {"blanks inside are kept", "PATH=/my games/tav\n", 1, "/my games/tav/", "/my games/tav/tavrine", ""},
      {"CR LF line ends", "NAME=a\r\nPATH=/g/t\r\nX=1\r\n", 1, "/g/t/", "/g/t/tavrine", ""},
      {"last line without line feed", "PATH=/eof", 1, "/eof/", "/eof/tavrine", ""},
      {"first PATH wins even when empty", "PATH=\nPATH=/later/\n", 0, "", "keep", kNoPath},
      {"PATHFINDER= answers the key PATH", "PATHFINDER=/pf\nPATH=/real/\n", 1, "/pf/", "/pf/tavrine", ""},
      {"PATHS= too", "Paths=/ps/\n", 1, "/ps/", "/ps/tavrine", ""},
      {"a leading blank hides the key", " PATH=/x/\n", 0, "", "keep", kNoPath},
      {"a piece without = is passed over", "PATH\nPATH=/ok/\n", 1, "/ok/", "/ok/tavrine", ""},
      {"79 characters are one piece", "PATH=" + dir74 + "\nPATH=/no/\n", 1, dir74, "", ""},
      {"80 characters: the value ends at 79", "PATH=" + dir74 + "x\n", 1, dir74, "", ""},
      {"the rest of a long line is a piece of its own", std::string(79, 'Q') + "PATH=/tail/\n", 1, "/tail/",
       "/tail/tavrine", ""},
      {"no PATH", "GAME=tavrine\n", 0, "", "keep", kNoPath},
      {"empty file", "", 0, "", "keep", kNoPath},
      {"missing file", std::nullopt, 0, "", "keep",
       "Error opening INI file.  Attempted to open [" + tmp.dir() + "tavrine.ini].\r" + kNoPath},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    const std::string ini_name = tmp.dir() + "tavrine.ini";
    ::unlink(ini_name.c_str());
    if (r.file) zvproc::write_file(ini_name, *r.file);
    ini_file got;
    std::memset(&got, '#', sizeof got);
    std::snprintf(got.pathApp, sizeof got.pathApp, "keep");
    EXPECT_EQ(init_ini_file("tavrine", &got), r.result);
    EXPECT_STREQ(got.app, "tavrine");
    EXPECT_EQ(std::string(got.path), r.path);
    EXPECT_EQ(std::string(got.pathApp), r.pathApp);
    EXPECT_EQ(caller_text(), r.shown);
    EXPECT_TRUE(log_lines().empty());
  }
}

TEST_F(IniAndScreens, GetIniVarReturnsTheTargetOnlyOnAMatch) {
  zvproc::write_file(tmp.dir() + "game.ini", "Colour=blue \r\nEMPTY=\nCOLOUR=red\n");
  char targ[INI_VALUE_SIZE];
  EXPECT_EQ(get_ini_var(targ, "colour", "game"), targ);
  EXPECT_STREQ(targ, "blue ");
  EXPECT_EQ(get_ini_var(targ, "EMPTY", "game"), targ) << "an empty value still matches";
  EXPECT_STREQ(targ, "");
  std::snprintf(targ, sizeof targ, "old");
  const char* none = get_ini_var(targ, "SIZE", "game");
  EXPECT_NE(none, targ);
  EXPECT_STREQ(none, "");
  EXPECT_STREQ(targ, "") << "the target is emptied first";
  EXPECT_EQ(caller_text(), "");

  // An application name longer than 8 characters is cut in init_ini_file.
  zvproc::write_file(tmp.dir() + "longname.ini", "PATH=/l/\n");
  ini_file got{};
  EXPECT_EQ(init_ini_file("longnameXYZ", &got), 1);
  EXPECT_STREQ(got.app, "longname");
  EXPECT_STREQ(got.pathApp, "/l/longname");
}

TEST_F(IniAndScreens, AnIniNameTooLongForItsBufferIsNotTried) {
  // datapath 120 characters + "tavrine.ini" is 131: a cut name would name
  // another file, which exists here.
  const std::string dir = tmp.dir() + std::string(119 - tmp.dir().size(), 'p') + "/";
  ASSERT_EQ(dir.size(), 120u);
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  const std::string cut = (dir + "tavrine.ini").substr(0, 127);
  zvproc::write_file(cut, "PATH=/wrong/\n");
  std::snprintf(datapath, sizeof datapath, "%s", dir.c_str());
  ini_file got{};
  EXPECT_EQ(init_ini_file("tavrine", &got), 0);
  EXPECT_STREQ(got.path, "");
  std::string shown = caller_text();
  shown.erase(std::remove(shown.begin(), shown.end(), '\r'), shown.end());  // wrapped on the screen
  EXPECT_EQ(shown, "Error opening INI file.  Attempted to open [" + dir + "tavrine.ini]." +
                       kNoPath.substr(0, kNoPath.size() - 1));
}

// The stream a caller receives for one send() of `piece` at width 128: the
// wrapper breaks a word without blanks after every 128 characters.
std::string as_sent(const std::string& piece) {
  std::string out;
  int col = 0;
  for (char c : piece) {
    out += c;
    if (c == '\r') {
      col = 0;
    } else if (++col == 128) {
      out += '\r';
      col = 0;
    }
  }
  return out;
}

TEST_F(IniAndScreens, DispScreenSendsEachPieceWithCarriageReturns) {
  std::string digits;
  for (int i = 0; i < 1500; ++i) digits += static_cast<char>('0' + i % 10);
  struct row {
    const char* what;
    std::string file;
    std::string shown;
    int blocks;  // -1: not checked
  } rows[] = {
      {"lines become one send each", "one\ntwo\nthree\n", "one\rtwo\rthree\r", 3},
      {"escape sequences pass", "\x1b[1;31mred\x1b[0m\n", "\x1b[1;31mred\x1b[0m\r", 1},
      {"last line without line feed", "a\nb", "a\rb", 2},
      {"empty file", "", "", 0},
      {"a NUL ends what is sent of its piece", std::string("ab\0cd\nef\n", 9), "abef\r", 2},
      // 1019 characters in the first send, the rest and the line end in the
      // second: the wrapper's count starts again with the second send.
      {"a line over 1019 characters", digits + "\nend\n",
       as_sent(digits.substr(0, 1019)) + as_sent(digits.substr(1019) + "\r") + "end\r", -1},
      {"exactly 1019 characters", digits.substr(0, 1019) + "\n",
       as_sent(digits.substr(0, 1019)) + "\r", -1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    zvproc::write_file(tmp.dir() + "screen00.ans", r.file);
    disp_screen(tmp.dir().c_str(), "screen00.ans");
    int blocks = 0;
    EXPECT_EQ(caller_text(&blocks), r.shown);
    if (r.blocks >= 0) {
      EXPECT_EQ(blocks, r.blocks);
    }
    EXPECT_TRUE(log_lines().empty());
  }
}

TEST_F(IniAndScreens, AMissingScreenTellsTheCallerAndTheLog) {
  disp_screen(tmp.dir().c_str(), "screen00.ans");
  EXPECT_EQ(caller_text(), "Screen file not found");
  EXPECT_EQ(log_lines(), std::vector<std::string>{"Error in Tavrine.  Cannot find <" + tmp.dir() + "screen00.ans>"});

  // An empty path looks in the current directory.
  disp_screen("", "zv-no-such-screen.ans");
  EXPECT_EQ(caller_text(), "Screen file not found");
  EXPECT_EQ(log_lines(), std::vector<std::string>{"Error in Tavrine.  Cannot find <zv-no-such-screen.ans>"});

  // A name over 1023 characters is not cut to another file's name.
  const std::string longname(1030, 'n');
  disp_screen(tmp.dir().c_str(), longname.c_str());
  EXPECT_EQ(caller_text(), "Screen file not found");
  EXPECT_EQ(log_lines(), std::vector<std::string>{"Error in Tavrine.  Cannot find <" + tmp.dir() + longname + ">"});
}

}  // namespace
