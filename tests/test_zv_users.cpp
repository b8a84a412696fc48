// zv-users on a sample users.dat built byte by byte: listing, finding as
// doors find, and adding into the record find_user_slot gives.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "bplus_fixture.h"
#include "fileio.h"
#include "records.h"

namespace {

using namespace zv;
using zvtest::Bytes;

std::string tool() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "zv-users";
  self[n] = 0;
  const std::string s(self);
  return s.substr(0, s.rfind('/')) + "/zv-users";
}

struct Outcome {
  int status;
  std::string out, err;
};

Outcome run(const std::vector<std::string>& args) {
  int out[2], err[2];
  EXPECT_EQ(pipe(out), 0);
  EXPECT_EQ(pipe(err), 0);
  const std::string exe = tool();
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

// A record of users.dat: name at 0, acctnum at 32, realname at 56, status
// at 496, written into raw bytes from the layout.
Bytes record(const std::string& name, const std::string& num, const std::string& real, int status) {
  Bytes b(2236, 0);
  std::memcpy(b.data(), name.data(), name.size());
  std::memcpy(b.data() + 32, num.data(), num.size());
  std::memcpy(b.data() + 56, real.data(), real.size());
  zvtest::put32(b, 496, status);
  return b;
}

class ZvUsers : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(access(tool().c_str(), X_OK), 0) << "zv-users not built";
    Bytes file;
    for (const Bytes& r : {record("alice", "1", "Alice Liddell", 0), record("olduser", "2", "", 2),
                           Bytes(2236, 0), record("Carol", "4", "Carol King", 0), Bytes(100, 0x7f)})
      file.insert(file.end(), r.begin(), r.end());
    zvtest::write_file(users(), file);
  }
  std::string users() const { return dir_.file("users.dat"); }
  std::string rec(int k) const {
    const Bytes f = zvtest::read_file(users());
    return std::string(f.begin() + k * 2236, f.begin() + (k + 1) * 2236);
  }
  zvtest::TempDir dir_;
};

TEST_F(ZvUsers, ListsEveryRecord) {
  const Outcome r = run({dir_.path(), "list"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("     0  1            alice                            Alice Liddell"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("olduser"), std::string::npos);
  EXPECT_NE(r.out.find("  free\n"), std::string::npos);
  EXPECT_NE(r.out.find("  empty\n"), std::string::npos);
  EXPECT_NE(r.out.find("4 records, and 100 bytes of a partial record at the end\n"), std::string::npos) << r.out;
}

TEST_F(ZvUsers, ShowsAccountsAsDoorsFindThem) {
  struct row {
    const char* which;
    int status;
    const char* record;
  } rows[] = {
      {"1", 0, "record:       0\n"},      {"ALICE", 0, "record:       0\n"},
      {"carol king", 0, "record:       3\n"}, {"4", 0, "record:       3\n"},
      {"2", 1, nullptr},                   {"olduser", 1, nullptr},  // free
      {"5", 1, nullptr},                   // the partial record
      {"nobody", 1, nullptr},
  };
  for (const auto& r : rows) {
    const Outcome o = run({dir_.path(), "show", r.which});
    EXPECT_EQ(o.status, r.status) << r.which;
    if (r.record != nullptr) {
      EXPECT_EQ(o.out.rfind(r.record, 0), 0u) << r.which << "\n" << o.out;
    } else {
      EXPECT_EQ(o.out, "") << r.which;
    }
  }
  const Outcome o = run({dir_.path(), "show", "carol"});
  EXPECT_NE(o.out.find("real name:    Carol King\n"), std::string::npos);
}

TEST_F(ZvUsers, AddsIntoTheFirstFreeRecordWithTheMatchingNumber) {
  Outcome r = run({dir_.path(), "add", "Dave", "Dave Brubeck"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "added Dave as account 2 (record 1)\n");
  std::string k1 = rec(1);
  EXPECT_EQ(std::string(k1.c_str()), "Dave");
  EXPECT_EQ(std::string(k1.c_str() + 32), "2");
  EXPECT_EQ(std::string(k1.c_str() + 56), "Dave Brubeck");
  EXPECT_EQ(run({dir_.path(), "show", "dave brubeck"}).out.rfind("record:       1\n", 0), 0u);

  // No free record left: the new one takes the place of the partial record.
  r = run({dir_.path(), "add", "Eve"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "added Eve as account 5 (record 4)\n");
  EXPECT_EQ(zvtest::file_size(users()), 5 * 2236);
  EXPECT_EQ(std::string(rec(4).c_str() + 32), "5");

  const Bytes before = zvtest::read_file(users());
  for (const std::vector<std::string>& refused :
       {std::vector<std::string>{"add", "NetWork"}, {"add", "visitor", "Someone"}, {"add", "ALICE"},
        {"add", "7up"}, {"add", std::string(32, 'n')}, {"add", "x", std::string(32, 'r')}, {"add", ""}}) {
    std::vector<std::string> args{dir_.path()};
    args.insert(args.end(), refused.begin(), refused.end());
    r = run(args);
    EXPECT_EQ(r.status, 1) << refused[1];
    EXPECT_FALSE(r.err.empty()) << refused[1];
  }
  EXPECT_EQ(zvtest::read_file(users()), before);
}

TEST_F(ZvUsers, AStartWithoutAFileAndMisuse) {
  zvtest::TempDir empty;
  EXPECT_EQ(run({empty.path(), "list"}).status, 2);
  const Outcome r = run({empty.path(), "add", "First"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "added First as account 1 (record 0)\n");
  EXPECT_EQ(run({empty.path(), "show", "first"}).status, 0);
  EXPECT_EQ(run({dir_.path() + "/nowhere", "list"}).status, 2);
  EXPECT_EQ(run({dir_.path(), "remove", "alice"}).status, 2);
  EXPECT_EQ(run({dir_.path()}).status, 2);
}

}  // namespace
