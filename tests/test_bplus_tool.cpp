// zv-index as its users run it: output lines, exit status, messages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "bplus.h"
#include "bplus_fixture.h"

using namespace zvtest;

namespace {

// The tool lies beside the test program in the build's bin directory.
std::string tool() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "zv-index";
  self[n] = 0;
  std::string dir(self);
  return dir.substr(0, dir.rfind('/')) + "/zv-index";
}

struct Outcome {
  int status;
  std::string out, err;
};

std::string drain(int fd) {
  std::string s;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}

Outcome run(std::vector<std::string> args) {
  int out[2], err[2];
  EXPECT_EQ(pipe(out), 0);
  EXPECT_EQ(pipe(err), 0);
  std::string exe = tool();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(err[0]);
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  Outcome r;
  r.out = drain(out[0]);  // outputs here are small enough for the pipes
  r.err = drain(err[0]);
  close(out[0]);
  close(err[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}

class BplusTool : public ::testing::Test {
 protected:
  TempDir dir;
  std::string f = dir.file("x.idx");
  void SetUp() override { ASSERT_EQ(access(tool().c_str(), X_OK), 0) << "zv-index not built at " << tool(); }
};

TEST_F(BplusTool, MaintainsAnIndex) {
  ASSERT_EQ(run({"create", f}).status, 0);
  EXPECT_EQ(file_size(f), 1032);
  for (int i = 0; i < 40; ++i) {
    std::string k = sized_key("Label" + std::to_string(100 + i), 40 + i);
    ASSERT_EQ(run({"add", f, k, std::to_string(i * 100), std::to_string(i)}).status, 0) << k;
  }
  Outcome r = run({"add", f, sized_key("LABEL100", 40), "1", "1"});  // equal but for case
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("already present"), std::string::npos);

  r = run({"get", f, sized_key("label105", 45)});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, sized_key("Label105", 45) + "\t500\t5\n");
  r = run({"get", f, "label105"});  // not there: the next greater key is handed back
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, sized_key("Label105", 45) + "\t500\t5\n");
  r = run({"get", f, "zzz"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");

  r = run({"list", f});
  EXPECT_EQ(r.status, 0);
  std::vector<std::string> lines;
  for (size_t p = 0, q; (q = r.out.find('\n', p)) != std::string::npos; p = q + 1) lines.push_back(r.out.substr(p, q - p));
  ASSERT_EQ(lines.size(), 40u);
  EXPECT_EQ(lines[0], sized_key("Label100", 40) + "\t0\t0");
  EXPECT_EQ(lines[39], sized_key("Label139", 79) + "\t3900\t39");

  EXPECT_EQ(run({"del", f, sized_key("LABEL120", 60)}).status, 0);
  EXPECT_EQ(run({"del", f, sized_key("LABEL120", 60)}).status, 1);
  r = run({"check", f});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("39 keys"), std::string::npos) << r.out;
  r = run({"dump", f});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("block 0 (root)"), std::string::npos);
  EXPECT_NE(r.out.find("block 1032:"), std::string::npos);
  EXPECT_NE(r.out.find("free list:"), std::string::npos);
}

TEST_F(BplusTool, DuplicatesNeedTheFlagAndDeleteByRecptr) {
  ASSERT_EQ(run({"create", f, "--dups"}).status, 0);
  for (const char* rp : {"1", "2", "3"}) ASSERT_EQ(run({"add", f, "same", rp, "9", "--dups"}).status, 0);
  EXPECT_EQ(run({"add", f, "SAME", "4", "9"}).status, 1);  // without --dups an equal key is refused
  EXPECT_EQ(run({"get", f, "Same", "--dups"}).out, "same\t3\t9\n");
  EXPECT_EQ(run({"del", f, "same", "--dups"}).status, 2);  // which one?
  EXPECT_EQ(run({"del", f, "same", "7", "--dups"}).status, 1);
  EXPECT_EQ(run({"del", f, "same", "3", "--dups"}).status, 0);
  EXPECT_EQ(run({"list", f}).out, "same\t2\t9\nsame\t1\t9\n");
  EXPECT_EQ(run({"check", f}).status, 0);
  Outcome r = run({"check", f, "--unique"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("equal keys"), std::string::npos) << r.err;
}

TEST_F(BplusTool, ReportsErrorsAndBrokenRules) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* err;
  } cases[] = {
      {{"get", dir.file("none.idx"), "k"}, 2, "cannot open"},
      {{"create", dir.file("no/dir/x.idx")}, 2, "cannot create"},
      {{"add", f, std::string(100, 'k'), "1", "1"}, 2, "longer than 99"},
      {{"add", f, "k", "1x", "1"}, 2, "32-bit"},
      {{"add", f, "k", "99999999999", "1"}, 2, "32-bit"},
      {{"frob", f}, 2, "usage"},
      {{"list"}, 2, "usage"},
      {{"dump", dir.file("none.idx")}, 2, "cannot open"},
  };
  ASSERT_EQ(run({"create", f}).status, 0);
  for (const auto& c : cases) {
    Outcome r = run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args[0] << ": " << r.err;
  }
  // A damaged block is named with its rule.
  Bytes file = encode_file(encode_block(0, 1032, {RawEntry{2056, 1, 1, "m"}}), -1, 2);
  place_block(file, 1032, encode_block(1032, -1, {RawEntry{-1, 1, 1, "a"}}));
  place_block(file, 2056, encode_block(2056, -1, {RawEntry{-1, 1, 1, "z"}}, 2000));
  write_file(f, file);
  Outcome r = run({"check", f});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("block 2056: used outside 0..1012"), std::string::npos) << r.err;
  r = run({"dump", f});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("used outside"), std::string::npos);
  r = run({"list", f});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "a\t1\t1\nm\t1\t1\n");  // the broken block reads as empty
  write_file(f, Bytes(100, 0));
  r = run({"check", f});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("shorter than the 1032-byte header"), std::string::npos) << r.err;
  EXPECT_EQ(run({"dump", f}).status, 2);
}

}  // namespace
