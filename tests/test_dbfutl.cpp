// The message-text library against index files made by the index module and
// against one put together by hand, byte by byte, from the index file
// format: lookups, letter case, label lengths, the "MAX:" limit, error texts,
// and the exact end of a process whose library is incomplete.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "bplus.h"
#include "bplus_fixture.h"
#include "dbfutl.h"
#include "zivevuva.h"

namespace {

using namespace zv;
using zvtest::Bytes;
namespace fs = std::filesystem;

using Texts = std::vector<std::pair<std::string, std::string>>;  // label, text

const char* const index_names[3] = {"msgtext.dbf", "msgansi.dbf", "msgrip.dbf"};
const char* const data_names[3] = {"msgtext.dat", "msgansi.dat", "msgrip.dat"};

const std::string label99 = "Long" + std::string(95, 'q');  // 99 characters
const std::string label100 = label99 + "q";

// ---- An index file written by hand from the format ----
//
// header: root block (1024) | free-list head | levels; blocks at 1032 + n*1024;
// block: blkpos | used | leftptr | entries; entry: childptr | recptr | reclen | key NUL.

void le32(Bytes& b, std::size_t off, std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  for (int i = 0; i < 4; ++i) b[off + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(u >> (8 * i));
}

struct HandEntry {
  std::int32_t child;
  std::int32_t recptr, reclen;
  std::string key;
};

Bytes hand_block(std::int32_t blkpos, std::int32_t leftptr, const std::vector<HandEntry>& entries) {
  Bytes b(1024, 0xEE);  // bytes past `used` carry no meaning
  std::size_t at = 12;
  for (const auto& e : entries) {
    le32(b, at, e.child);
    le32(b, at + 4, e.recptr);
    le32(b, at + 8, e.reclen);
    std::memcpy(b.data() + at + 12, e.key.data(), e.key.size());
    b[at + 12 + e.key.size()] = 0;
    at += 13 + e.key.size();
  }
  le32(b, 0, blkpos);
  le32(b, 4, static_cast<std::int32_t>(at - 12));
  le32(b, 8, leftptr);
  return b;
}

// A two-level tree: the root holds one key, "Middle", between two leaves.
// Texts lie in the data file out of key order, with a gap.
struct HandLibrary {
  Bytes index, data;
};

HandLibrary hand_library(const std::string& tag) {
  HandLibrary h;
  auto text = [&](const std::string& body) {
    const auto off = static_cast<std::int32_t>(h.data.size());
    h.data.insert(h.data.end(), body.begin(), body.end());
    h.data.insert(h.data.end(), {'#', '#'});  // bytes between texts
    return std::make_pair(off, static_cast<std::int32_t>(body.size()));
  };
  const auto zulu = text(tag + " zulu text");
  const auto middle = text(tag + " middle text");
  const auto alpha = text(tag + " alpha text\r");
  const auto beta = text(tag + " beta");
  const auto longer = text(tag + " text of the 99-character label");
  const auto omega = text(tag + " omega");

  const Bytes root = hand_block(0, 1032, {{2056, middle.first, middle.second, "Middle"}});
  const Bytes left = hand_block(1032, -1,
                                {{-1, alpha.first, alpha.second, "Alpha"}, {-1, beta.first, beta.second, "beta"},
                                 {-1, longer.first, longer.second, label99}});
  const Bytes right = hand_block(2056, -1,
                                 {{-1, omega.first, omega.second, "Omega"}, {-1, zulu.first, zulu.second, "ZULU"}});
  h.index = root;
  h.index.resize(1032);
  le32(h.index, 1024, -1);  // no free block
  le32(h.index, 1028, 2);   // two levels
  h.index.insert(h.index.end(), left.begin(), left.end());
  h.index.insert(h.index.end(), right.begin(), right.end());
  return h;
}

// ---- The same through the index module ----

void module_library(const std::string& dir, int flavour, const Texts& texts) {
  index_desc d;
  ASSERT_EQ(make_index((dir + "/" + index_names[flavour]).c_str(), &d, 0), 1);
  std::string data;
  for (const auto& [label, body] : texts) {
    index_entry e = zvtest::make_entry(label, static_cast<std::int32_t>(data.size()),
                                       static_cast<std::int32_t>(body.size()));
    ASSERT_EQ(add_key(&e, &d), 1) << label;
    data += body;
  }
  close_index(&d);
  zvtest::write_file(dir + "/" + data_names[flavour], Bytes(data.begin(), data.end()));
}

class Dbfutl : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&cfg_, 0, sizeof cfg_);
    const std::string home = dir_.path() + "/";
    ASSERT_LT(home.size(), sizeof cfg_.bbs_path) << "TMPDIR too long for the test";
    std::strcpy(cfg_.bbs_path, home.c_str());
    cfg = &cfg_;
  }
  void TearDown() override {
    close_msg_file();
    cfg = nullptr;
  }
  // Plain flavour by hand; ANSI and RIP through the index module.
  void standard_library() {
    const HandLibrary h = hand_library("plain");
    zvtest::write_file(dir_.file("msgtext.dbf"), h.index);
    zvtest::write_file(dir_.file("msgtext.dat"), h.data);
    long_text_ = std::string(200, 'L');
    for (int f = 1; f <= 2; ++f) {
      const std::string tag = f == 1 ? "\x1b[1mansi" : "!|rip";
      module_library(dir_.path(), f,
                     {{"Alpha", tag + " alpha"}, {"beta", tag + " beta"}, {"Long200", long_text_},
                      {"Short", "Hi"}, {label99, tag + " long label"}, {"Empty", ""}});
    }
  }
  // getmsg into a buffer that starts with `prefix` followed by '~' filler.
  struct Got {
    int n;
    std::string buf;  // the whole buffer afterwards
  };
  static Got fetch(int flavour, const std::string& label, const std::string& prefix, std::size_t size = 600) {
    std::string buf(size, '~');
    std::memcpy(buf.data(), prefix.c_str(), prefix.size() + 1);
    Got g;
    g.n = getmsg(flavour, label.c_str(), buf.data());
    g.buf = buf;
    return g;
  }
  static std::string not_found(const std::string& label) {
    return "\rThere has been an internal error, the label name (" + label +
           ") was not found, please notify the sysop.\r";
  }
  static std::string too_long(const std::string& label) {
    return "\rThere has been a internal error, the label name (" + label +
           ") is not within length specifications, please notify the sysop.\r";
  }

  zvtest::TempDir dir_;
  cfg_rec cfg_;
  std::string long_text_;
};

TEST_F(Dbfutl, FindsLabelsInAHandMadeIndexWhateverTheirCase) {
  standard_library();
  index_check_report report;
  ASSERT_EQ(check_index(dir_.file("msgtext.dbf").c_str(), 0, &report), 1) << report.detail;
  EXPECT_EQ(report.keys, 6);
  EXPECT_EQ(report.levels, 2);
  struct row {
    const char* label;
    const char* want;
  } rows[] = {
      {"Alpha", "plain alpha text\r"}, {"ALPHA", "plain alpha text\r"}, {"bEtA", "plain beta"},
      {"middle", "plain middle text"},  // the key in the root
      {"omega", "plain omega"},        {"Zulu", "plain zulu text"},
  };
  for (const auto& r : rows) {
    const Got g = fetch(0, r.label, "");
    ASSERT_EQ(g.n, static_cast<int>(std::strlen(r.want))) << r.label;
    EXPECT_EQ(g.buf.substr(0, static_cast<std::size_t>(g.n)), r.want) << r.label;
    EXPECT_EQ(g.buf[static_cast<std::size_t>(g.n)], '~') << "no terminator is added";
  }
  EXPECT_EQ(files_are_open, 1);

  // 99 characters are looked up, 100 are refused before the search.
  Got g = fetch(0, label99, "");
  EXPECT_EQ(g.buf.substr(0, static_cast<std::size_t>(g.n)), "plain text of the 99-character label");
  g = fetch(0, label100, "", 800);
  EXPECT_EQ(g.n, static_cast<int>(too_long(label100).size()));
  EXPECT_EQ(std::string(g.buf.c_str()), too_long(label100));

  // Between keys, before the first and after the last: not found.
  for (const char* absent : {"Beta2", "Aardvark", "Zz", "Mid", ""}) {
    g = fetch(0, absent, "");
    EXPECT_EQ(std::string(g.buf.c_str()), not_found(absent));
    EXPECT_EQ(g.n, static_cast<int>(not_found(absent).size()));
  }
}

TEST_F(Dbfutl, EachFlavourHasItsOwnTexts) {
  standard_library();
  EXPECT_EQ(fetch(1, "alpha", "").buf.substr(0, 11), "\x1b[1mansi al");
  EXPECT_EQ(fetch(2, "ALPHA", "").buf.substr(0, 10), "!|rip alph");
  const Got g = fetch(1, label99, "");
  EXPECT_EQ(g.buf.substr(0, static_cast<std::size_t>(g.n)), "\x1b[1mansi long label");
  EXPECT_EQ(fetch(2, "middle", "").buf.c_str(), not_found("middle"));  // only in the plain index
  EXPECT_EQ(fetch(1, "Empty", "").n, 0);
}

TEST_F(Dbfutl, TheCallersLimit) {
  standard_library();
  struct row {
    const char* prefix;
    const char* label;
    int want;  // bytes of the text
  } rows[] = {
      {"max:80", "Long200", 80},        {"MAX:80", "Long200", 80},       {"Max:199", "Long200", 199},
      {"MAX:0", "Long200", 0},          {"MAX:", "Long200", 0},          {"MAX:abc", "Long200", 0},
      {"MAX:-1", "Long200", 200},       {"", "Long200", 200},            {"MAX -5", "Long200", 200},
      {"MAX:-5", "Long200", 0},         {"MAX:-2", "Long200", 0},        {"MAX: \t+300", "Long200", 200},
      {"MAX:99999999999999999999", "Long200", 200},
      {"MAX:80", "Short", 2},           {"MAX:2", "Short", 2},           {"MAX:1", "Short", 1},
  };
  for (const auto& r : rows) {
    const std::string prefix = r.prefix;
    const Got g = fetch(1, r.label, prefix);
    ASSERT_EQ(g.n, r.want) << "«" << prefix << "» " << r.label;
    const auto n = static_cast<std::size_t>(r.want);
    const std::string text = std::string(r.label) == "Short" ? "Hi" : long_text_;
    EXPECT_EQ(g.buf.substr(0, n), text.substr(0, n));
    // Past the text the buffer keeps its bytes, the rest of "MAX:" included.
    std::string before(600, '~');
    std::memcpy(before.data(), prefix.c_str(), prefix.size() + 1);
    EXPECT_EQ(g.buf.substr(n), before.substr(n)) << "«" << prefix << "» " << r.label;
  }
}

TEST_F(Dbfutl, ErrorTextsKeepToTheLimit) {
  standard_library();
  const std::string nf = not_found("Nothing");
  struct row {
    int flavour;
    const char* label;
    const char* prefix;
    std::string whole;
    int limit;  // -1: none
  } rows[] = {
      {0, "Nothing", "MAX:20", nf, 20},
      {0, "Nothing", "max:1", nf, 1},
      {0, "Nothing", "MAX:0", nf, 0},
      {0, "Nothing", "MAX:-7", nf, 0},
      {0, "Nothing", "MAX:-1", nf, -1},
      {0, "Nothing", "MAX:500", nf, 500},
      {0, label100.c_str(), "MAX:30", too_long(label100), 30},
      {3, "Alpha", "", "\rThere has been an internal error, the message flavour (3) is not valid, please notify the sysop.\r", -1},
      {-1, "Alpha", "MAX:12", "\rThere has been an internal error, the message flavour (-1) is not valid, please notify the sysop.\r", 12},
  };
  for (const auto& r : rows) {
    const std::string prefix = r.prefix;
    const Got g = fetch(r.flavour, r.label, prefix, 800);
    const std::size_t keep =
        r.limit < 0 ? r.whole.size() : std::min(r.whole.size(), static_cast<std::size_t>(r.limit > 0 ? r.limit - 1 : 0));
    EXPECT_EQ(g.n, static_cast<int>(keep)) << "«" << prefix << "» flavour " << r.flavour;
    std::string want(800, '~');
    std::memcpy(want.data(), prefix.c_str(), prefix.size() + 1);
    if (r.limit != 0) {
      std::memcpy(want.data(), r.whole.data(), keep);
      want[keep] = '\0';
    }
    EXPECT_EQ(g.buf, want) << "«" << prefix << "» flavour " << r.flavour;
  }
  EXPECT_EQ(getmsg(0, "Alpha", nullptr), 0);
  EXPECT_EQ(fetch(0, "", "").buf.c_str(), not_found(""));
}

TEST_F(Dbfutl, TextsReachingPastTheDataFileGiveWhatIsThere) {
  standard_library();
  // Cut the RIP data file inside the 200-byte text.
  const std::string rip = dir_.file("msgrip.dat");
  Bytes data = zvtest::read_file(rip);
  index_desc d;
  index_entry e = zvtest::make_entry("Long200");
  ASSERT_EQ(open_index(dir_.file("msgrip.dbf").c_str(), &d, 0), 1);
  ASSERT_EQ(locate_key(&e, &d), 1);
  close_index(&d);
  data.resize(static_cast<std::size_t>(e.recptr) + 50);
  zvtest::write_file(rip, data);
  EXPECT_EQ(fetch(2, "Long200", "").n, 50);
}

TEST_F(Dbfutl, SearchingChangesNoByteOfTheFiles) {
  standard_library();
  std::vector<Bytes> before;
  for (int f = 0; f < 3; ++f) before.push_back(zvtest::read_file(dir_.file(index_names[f])));
  for (int f = 0; f < 3; ++f)
    for (const char* l : {"alpha", "beta", "zulu", "nothing", "Long200"}) fetch(f, l, "");
  close_msg_file();
  for (int f = 0; f < 3; ++f) EXPECT_EQ(zvtest::read_file(dir_.file(index_names[f])), before[static_cast<std::size_t>(f)]) << index_names[f];
}

TEST_F(Dbfutl, ClosingIsRegisteredWithTheEndOfTheTask) {
  standard_library();
  EXPECT_EQ(end_task_hook, nullptr);
  opnmsg();
  EXPECT_EQ(files_are_open, 1);
  EXPECT_EQ(end_task_hook, &close_msg_file);
  opnmsg();  // open already: nothing more is opened
  EXPECT_EQ(end_task_hook, &close_msg_file);
  close_msg_file();
  EXPECT_EQ(files_are_open, 0);
  EXPECT_EQ(end_task_hook, nullptr);
  for (int f = 0; f < 3; ++f) EXPECT_EQ(msg_files[f].desc.fd, -1);
  // A later fetch opens the library again.
  EXPECT_EQ(fetch(0, "beta", "").n, 10);
  EXPECT_EQ(end_task_hook, &close_msg_file);

  // end_task in a door that has fetched texts: the hook runs, status 0.
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (fetch(1, "alpha", "").n <= 0) _exit(3);
    end_task();
  }
  int st = 0;
  waitpid(pid, &st, 0);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

// Runs the first getmsg of a process in a child; returns its exit status and
// what it wrote on standard error and standard output.
struct Ended {
  int status;
  std::string err, out;
};

Ended first_fetch_in_child(int flavour) {
  int err[2], out[2];
  EXPECT_EQ(pipe(err), 0);
  EXPECT_EQ(pipe(out), 0);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(err[1], 2);
    dup2(out[1], 1);
    char buf[512] = "";
    getmsg(flavour, "Alpha", buf);
    _exit(42);  // not reached when a file is missing
  }
  close(err[1]);
  close(out[1]);
  Ended e;
  char b[1024];
  ssize_t n;
  while ((n = read(err[0], b, sizeof b)) > 0) e.err.append(b, static_cast<std::size_t>(n));
  while ((n = read(out[0], b, sizeof b)) > 0) e.out.append(b, static_cast<std::size_t>(n));
  close(err[0]);
  close(out[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  e.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return e;
}

TEST_F(Dbfutl, AnIncompleteLibraryEndsTheProcessNamingTheFirstMissingFile) {
  standard_library();
  const std::string home = dir_.path() + "/";
  auto frame = [](const std::string& t) { return "\n\nError : " + t + "\nCannot continue, aborting load.\n\n"; };
  // The files in the order they are opened; each missing in turn.
  const std::vector<std::pair<std::string, std::string>> order = {
      {"msgtext.dbf", "index"}, {"msgtext.dat", "data"}, {"msgansi.dbf", "index"},
      {"msgansi.dat", "data"},  {"msgrip.dbf", "index"}, {"msgrip.dat", "data"}};
  for (const auto& [name, kind] : order) {
    const std::string path = dir_.file(name);
    fs::rename(path, path + ".away");
    const Ended e = first_fetch_in_child(0);  // even a plain-text fetch opens all six
    EXPECT_EQ(e.status, 0) << name;
    EXPECT_EQ(e.err, frame("ERROR: Unable to open " + kind + " file " + home + name)) << name;
    EXPECT_EQ(e.out, "") << name;
    fs::rename(path + ".away", path);
  }
  // Two missing: the one opened first is named.
  fs::remove(dir_.file("msgrip.dat"));
  fs::remove(dir_.file("msgansi.dbf"));
  const Ended e = first_fetch_in_child(2);
  EXPECT_EQ(e.status, 0);
  EXPECT_EQ(e.err, frame("ERROR: Unable to open index file " + home + "msgansi.dbf"));
}

TEST(DbfutlCatastro, PrintsTheFrameAndEndsWithStatusZero) {
  int err[2];
  ASSERT_EQ(pipe(err), 0);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(err[1], 2);
    catastro("something broke");
  }
  close(err[1]);
  std::string got;
  char b[256];
  ssize_t n;
  while ((n = read(err[0], b, sizeof b)) > 0) got.append(b, static_cast<std::size_t>(n));
  close(err[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  EXPECT_EQ(got, "\n\nError : something broke\nCannot continue, aborting load.\n\n");
}

}  // namespace
