// Four processes save and load accounts in one users.dat at once, starting
// from no file at all: no record is torn, none lost, none misplaced.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bplus_fixture.h"
#include "fileio.h"
#include "zivevuva.h"

namespace {

using namespace zv;

constexpr int WORKERS = 4;
constexpr int PER_WORKER = 8;  // accounts p+1, p+1+4, ...
constexpr int ROUNDS = 150;
constexpr int ACCOUNTS = WORKERS * PER_WORKER;

// Every field of the record follows from its number and version, so a
// record pieced together from two writes shows.
acct_rec make(int num, int version) {
  acct_rec a;
  std::memset(&a, 0, sizeof a);
  std::snprintf(a.acctname, sizeof a.acctname, "user%d", num);
  std::snprintf(a.acctnum, sizeof a.acctnum, "%d", num);
  std::snprintf(a.realname, sizeof a.realname, "v%d", version);
  a.credits = version;
  for (int& x : a.lastmsgscan) x = num * 100000 + version;
  std::snprintf(a.inet_name, sizeof a.inet_name, "%d.%d", num, version);
  return a;
}

// 0 when the record is sound for `num` (or an untouched zero record), else a
// code naming the fault.
int check(const acct_rec& a, int num) {
  static const acct_rec zero{};
  if (std::memcmp(&a, &zero, sizeof a) == 0) return 0;
  const acct_rec want = make(num, a.credits);
  return std::memcmp(&a, &want, sizeof a) == 0 ? 0 : 1;
}

int worker(int p) {
  unsigned seed = static_cast<unsigned>(p) * 7919u + 1u;
  for (int round = 1; round <= ROUNDS; ++round) {
    for (int k = 0; k < PER_WORKER; ++k) {
      const int num = p + 1 + k * WORKERS;
      const acct_rec a = make(num, round);
      if (save_user_account(&a) != 1) return 10;
    }
    seed = seed * 1103515245u + 12345u;
    const int other = static_cast<int>((seed >> 8) % ACCOUNTS) + 1;
    acct_rec got;
    std::memset(&got, 0, sizeof got);
    if (load_user_account(&got, other - 1) != 1) return 11;
    if (check(got, other) != 0) return 12;
    const int mine = p + 1;
    char name[16];
    std::snprintf(name, sizeof name, "user%d", mine);
    if (find_user_name(name) != mine - 1) return 13;
    const int slot = find_user_slot();
    if (slot < 0 || slot > ACCOUNTS) return 14;
  }
  return 0;
}

TEST(FileioConcurrency, FourProcessesSaveAndLoadAtOnce) {
  zvtest::TempDir dir;
  cfg_rec c;
  std::memset(&c, 0, sizeof c);
  const std::string data = dir.path() + "/";
  ASSERT_LT(data.size(), sizeof c.data_path);
  std::strcpy(c.data_path, data.c_str());
  cfg = &c;

  int start[2];
  ASSERT_EQ(pipe(start), 0);
  std::fflush(nullptr);
  std::vector<pid_t> kids;
  for (int p = 0; p < WORKERS; ++p) {
    const pid_t pid = fork();
    if (pid == 0) {
      close(start[1]);
      char go;
      if (read(start[0], &go, 1) != 0) _exit(90);
      _exit(worker(p));
    }
    kids.push_back(pid);
  }
  close(start[0]);
  close(start[1]);
  for (pid_t k : kids) {
    int st = 0;
    waitpid(k, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "worker status " << st;
  }

  char path[DATA_NAME_SIZE];
  ASSERT_EQ(data_file_name(path, sizeof path, "users.dat"), 1);
  EXPECT_EQ(file_size(path), static_cast<unsigned>(ACCOUNTS * 2236));
  for (int num = 1; num <= ACCOUNTS; ++num) {
    acct_rec got;
    ASSERT_EQ(load_user_account(&got, num - 1), 1);
    const acct_rec want = make(num, ROUNDS);
    EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << "account " << num;
  }
  EXPECT_EQ(find_user_slot(), ACCOUNTS);
  cfg = nullptr;
}

}  // namespace
