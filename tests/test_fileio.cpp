// The account file users.dat, the locked open and close, and copy_file,
// against files built byte by byte from the record layout. cfg points at a
// cfg_rec in ordinary memory whose data_path is a temporary directory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bplus_fixture.h"
#include "fileio.h"
#include "zivevuva.h"

namespace {

using namespace zv;
using zvtest::Bytes;
namespace fs = std::filesystem;

// Puts a text into a fixed field (zero-filled), without a NUL when it fills it.
template <std::size_t N>
void put(char (&field)[N], const char* text) {
  std::memset(field, 0, N);
  std::memcpy(field, text, std::min(std::strlen(text), N));
}

acct_rec account(const char* name, int num, const char* realname = "", int status = 0) {
  acct_rec a;
  std::memset(&a, 0, sizeof a);
  put(a.acctname, name);
  std::snprintf(a.acctnum, sizeof a.acctnum, "%d", num);
  put(a.realname, realname);
  a.acct_status = status;
  // Fill the far end of the record too, so a cut record shows.
  std::snprintf(a.inet_name, sizeof a.inet_name, "%s@host", name);
  a.credits = num * 100;
  return a;
}

Bytes bytes_of(const acct_rec& a) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&a);
  return Bytes(p, p + sizeof a);
}

// Runs fn in a child process and returns its exit status (128+signal).
template <class F>
int in_child(F fn) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

class Fileio : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&cfg_, 0, sizeof cfg_);
    const std::string data = dir_.path() + "/";
    ASSERT_LT(data.size(), sizeof cfg_.data_path) << "TMPDIR too long for the test";
    std::strcpy(cfg_.data_path, data.c_str());
    cfg = &cfg_;
    users_ = dir_.file("users.dat");
  }
  void TearDown() override {
    cfg = nullptr;
    f_open_lock_tries = F_OPEN_LOCK_TRIES;
    f_open_lock_pause_usec = F_OPEN_LOCK_PAUSE_USEC;
  }
  void write_users(const std::vector<acct_rec>& recs, const Bytes& tail = {}) {
    Bytes b;
    for (const auto& r : recs) {
      Bytes one = bytes_of(r);
      b.insert(b.end(), one.begin(), one.end());
    }
    b.insert(b.end(), tail.begin(), tail.end());
    zvtest::write_file(users_, b);
  }
  Bytes users_bytes() const { return zvtest::read_file(users_); }

  zvtest::TempDir dir_;
  cfg_rec cfg_;
  std::string users_;
};

TEST_F(Fileio, FindsAccountsByNumberAndByName) {
  acct_rec zero;
  std::memset(&zero, 0, sizeof zero);
  write_users({
      account("alice", 1, "Alice Liddell"),
      account("Bob", 2, "Robert Smith"),
      account("Carol", 3, "Carol Free", ACCT_FREE),
      zero,                                  // a record of the gap
      account("Dan", 5, "Carol"),            // realname of a free account's name
      account("3jane", 6),
  }, Bytes(100, 0x55));                      // a partial record at the end
  struct row {
    const char* name;
    int want;
  } rows[] = {
      {"1", 0},  {"2", 1},  {"  2", 1},  {"+2", 1},
      {"3", -1},               // free
      {"4", 3},                // a zero record is not free
      {"6", 5},
      {"7", -1},               // the partial record does not count
      {"2abc", 1},             // digits first: taken as the number
      {"3jane", -1},           // so this is record 2, which is free
      {"0", -1}, {"-1", -1},   // not numbers > 0: searched by name
      {"ALICE", 0}, {"alice liddell", 0}, {"robert SMITH", 1},
      {"Carol", 4},            // the free Carol is passed over; Dan's realname
      {"Carol Free", -1},
      {"Bo", -1}, {"Bob ", -1},  // the whole text must match
      {"", 3},                 // empty names of the zero record
  };
  for (const auto& r : rows) EXPECT_EQ(find_user_name(r.name), r.want) << "«" << r.name << "»";
  EXPECT_EQ(find_user_name(nullptr), -1);
}

TEST_F(Fileio, FindsNothingWithoutAFile) {
  EXPECT_EQ(find_user_name("1"), -1);
  EXPECT_EQ(find_user_name("alice"), -1);
  EXPECT_EQ(find_user_slot(), 0);
  acct_rec a = account("x", 1);
  const Bytes before = bytes_of(a);
  EXPECT_EQ(load_user_account(&a, 0), 0);
  EXPECT_EQ(bytes_of(a), before);
  EXPECT_FALSE(fs::exists(users_));  // nothing is created by looking
}

TEST_F(Fileio, FreeSlots) {
  zvtest::write_file(users_, {});
  EXPECT_EQ(find_user_slot(), 0);
  write_users({account("a", 1), account("b", 2), account("c", 3)});
  EXPECT_EQ(find_user_slot(), 3);
  write_users({account("a", 1), account("b", 2), account("c", 3)}, Bytes(2235, 1));
  EXPECT_EQ(find_user_slot(), 3);  // the index of the partial record
  write_users({account("a", 1), account("b", 2, "", ACCT_FREE), account("c", 3, "", ACCT_FREE)});
  EXPECT_EQ(find_user_slot(), 1);
}

TEST_F(Fileio, LoadsRecordsWholeOrAsFarAsTheFileGoes) {
  const acct_rec a = account("alice", 1), b = account("bob", 2);
  const Bytes cut = bytes_of(account("cut", 3));
  write_users({a, b}, Bytes(cut.begin(), cut.begin() + 40));
  acct_rec got = account("junk", 99);
  ASSERT_EQ(load_user_account(&got, 1), 1);
  EXPECT_EQ(bytes_of(got), bytes_of(b));

  // Past the end: unchanged, and still 1 (the file could be opened).
  got = account("junk", 99);
  const Bytes junk = bytes_of(got);
  EXPECT_EQ(load_user_account(&got, 7), 1);
  EXPECT_EQ(bytes_of(got), junk);
  EXPECT_EQ(load_user_account(&got, -1), 1);
  EXPECT_EQ(bytes_of(got), junk);

  // The partial record: its 40 bytes, the rest as it was.
  EXPECT_EQ(load_user_account(&got, 2), 1);
  Bytes want = cut;
  std::copy(junk.begin() + 40, junk.end(), want.begin() + 40);
  EXPECT_EQ(bytes_of(got), want);
  EXPECT_EQ(load_user_account(nullptr, 0), 0);
}

TEST_F(Fileio, SavingPlacesTheRecordByItsNumber) {
  // Account 5 into a missing file: four zero records in front.
  const acct_rec five = account("eve", 5, "Eve Adams");
  ASSERT_EQ(save_user_account(&five), 1);
  Bytes file = users_bytes();
  ASSERT_EQ(file.size(), 5u * 2236);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 4 * 2236), Bytes(4 * 2236, 0));
  EXPECT_EQ(Bytes(file.begin() + 4 * 2236, file.end()), bytes_of(five));
  EXPECT_EQ(find_user_name("eve adams"), 4);
  EXPECT_EQ(find_user_name("5"), 4);

  // Over an existing record: the others stay, the file keeps its length.
  const acct_rec two = account("bob", 2);
  ASSERT_EQ(save_user_account(&two), 1);
  file = users_bytes();
  ASSERT_EQ(file.size(), 5u * 2236);
  EXPECT_EQ(Bytes(file.begin() + 2236, file.begin() + 2 * 2236), bytes_of(two));
  EXPECT_EQ(Bytes(file.begin() + 4 * 2236, file.end()), bytes_of(five));

  // An acctnum filling its field without a NUL, with leading blanks.
  acct_rec three = account("carl", 3);
  std::memcpy(three.acctnum, "          03", 12);
  ASSERT_EQ(save_user_account(&three), 1);
  EXPECT_EQ(find_user_name("carl"), 2);
}

TEST_F(Fileio, RefusedAccountsWriteNothing) {
  write_users({account("alice", 1), account("bob", 2)});
  const Bytes before = users_bytes();
  struct row {
    const char* name;
    const char* num;
  } rows[] = {
      {"", "1"},        {"visitor", "1"}, {"ViSiToR", "1"}, {"NETWORK", "2"},
      {"network", "3"}, {"dave", ""},     {"dave", "0"},    {"dave", "-3"},
      {"dave", "abc"},  {"dave", "x5"},   {"dave", "99999999999"},
  };
  for (const auto& r : rows) {
    acct_rec a = account(r.name, 1);
    put(a.acctnum, r.num);
    EXPECT_EQ(save_user_account(&a), 0) << r.name << " / " << r.num;
  }
  EXPECT_EQ(save_user_account(nullptr), 0);
  EXPECT_EQ(users_bytes(), before);

  // "visitors" is not reserved.
  const acct_rec v = account("visitors", 3);
  EXPECT_EQ(save_user_account(&v), 1);
}

TEST_F(Fileio, SavingReportsFilesItCannotOpenOrWrite) {
  // No such directory: neither opened nor created.
  std::strcpy(cfg_.data_path, (dir_.path() + "/none/").c_str());
  const acct_rec a = account("alice", 1);
  EXPECT_EQ(save_user_account(&a), 0);
  std::strcpy(cfg_.data_path, (dir_.path() + "/").c_str());

  // A write that the file-size limit stops: reported, not taken for done.
  write_users({account("alice", 1)});
  const int status = in_child([&] {
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim{2 * 2236, 2 * 2236};
    if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 99;
    const acct_rec far = account("zed", 10);
    const acct_rec near = account("bob", 2);
    if (save_user_account(&far) != 0) return 1;  // must fail
    if (save_user_account(&near) != 1) return 2;  // within the limit
    return 0;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(users_bytes().size(), 2u * 2236);
}

TEST_F(Fileio, OpenTakesTheLockAndCloseFlushesBeforeReleasingIt) {
  const std::string f = dir_.file("shared");
  zvtest::write_file(f, {});
  int fd = 12345;
  std::FILE* fp = f_open(f.c_str(), "ab", 1, &fd);
  ASSERT_NE(fp, nullptr);
  EXPECT_EQ(fd, fileno(fp));

  // A second process asking for the lock waits until the close, and then
  // finds everything that was written through the stream's buffer.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    int cfd = -1;
    if (write(ready[1], "r", 1) != 1) _exit(90);
    std::FILE* c = f_open(f.c_str(), "rb", 1, &cfd);
    if (c == nullptr) _exit(91);
    char buf[64] = {};
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, c);
    f_close(c, cfd);
    _exit(n == 11 && std::strcmp(buf, "hello world") == 0 ? 0 : 1);
  }
  close(ready[1]);
  char r;
  ASSERT_EQ(read(ready[0], &r, 1), 1);
  close(ready[0]);
  usleep(100000);  // the child is now (most likely) waiting in flock
  std::fputs("hello world", fp);  // still in the stream's buffer
  EXPECT_EQ(f_close(fp, fd), 1);
  int st = 0;
  waitpid(pid, &st, 0);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;

  // Without the lock the descriptor is -1 and nothing waits.
  fd = 777;
  fp = f_open(f.c_str(), "rb", 0, &fd);
  ASSERT_NE(fp, nullptr);
  EXPECT_EQ(fd, -1);
  f_close(fp, fd);

  // A file that cannot be opened: null, and fd_out is not written.
  fd = 777;
  EXPECT_EQ(f_open(dir_.file("missing").c_str(), "rb", 1, &fd), nullptr);
  EXPECT_EQ(fd, 777);
}

TEST_F(Fileio, AFailedUnlockIsReportedAndTheStreamClosedAllTheSame) {
  const std::string f = dir_.file("x");
  zvtest::write_file(f, {1, 2, 3});
  std::FILE* fp = std::fopen(f.c_str(), "rb");
  ASSERT_NE(fp, nullptr);
  const int real = fileno(fp);
  testing::internal::CaptureStdout();
  f_close(fp, 999);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Error: " + std::string(std::strerror(EBADF)) + " (999)\n");
  EXPECT_EQ(fcntl(real, F_GETFD), -1);  // the stream's descriptor is closed
}

volatile sig_atomic_t ticks = 0;
void on_tick(int) { ticks = ticks + 1; }

// Interrupts every flock with a timer signal (no SA_RESTART) while another
// process holds the lock: every request fails, and f_open gives up.
TEST_F(Fileio, TheLockRetryIsBounded) {
  const std::string f = dir_.file("locked");
  zvtest::write_file(f, {});
  int go[2], held[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(held), 0);
  std::fflush(nullptr);
  const pid_t holder = fork();
  if (holder == 0) {
    const int fd = open(f.c_str(), O_RDONLY);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
    if (write(held[1], "h", 1) != 1) _exit(2);
    char c;
    if (read(go[0], &c, 1) < 0) _exit(3);  // hold until told (or the parent goes)
    if (c == 'd') usleep(300000);           // 'd': hold a little longer, then release
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(held[0], &c, 1), 1);

  struct sigaction sa {};
  sa.sa_handler = on_tick;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: flock returns EINTR
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
  itimerval every{{0, 40000}, {0, 40000}};
  ASSERT_EQ(setitimer(ITIMER_REAL, &every, nullptr), 0);

  f_open_lock_tries = 4;
  f_open_lock_pause_usec = 1000;
  ticks = 0;
  int fd = 555;
  std::FILE* fp = f_open(f.c_str(), "rb", 1, &fd);
  EXPECT_EQ(fp, nullptr);
  EXPECT_EQ(fd, 555);
  EXPECT_GE(ticks, 4);

  // With room for retries, an interrupted wait goes on to take the lock once
  // the holder lets go.
  f_open_lock_tries = 1000;
  ASSERT_EQ(write(go[1], "d", 1), 1);
  fp = f_open(f.c_str(), "rb", 1, &fd);
  EXPECT_NE(fp, nullptr);
  if (fp != nullptr) f_close(fp, fd);

  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  int st = 0;
  waitpid(holder, &st, 0);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  for (int p : {go[0], go[1], held[0], held[1]}) close(p);
}

TEST_F(Fileio, FileSize) {
  zvtest::write_file(dir_.file("five"), {1, 2, 3, 4, 5});
  EXPECT_EQ(file_size(dir_.file("five").c_str()), 5u);
  EXPECT_EQ(file_size(dir_.file("none").c_str()), 0u);
  EXPECT_EQ(file_size(nullptr), 0u);
}

TEST_F(Fileio, CopyLowerCasesItsTargetAndCopiesExactly) {
  Bytes data;
  for (int i = 0; i < 10000; ++i) data.push_back(static_cast<std::uint8_t>(i * 7));
  zvtest::write_file(dir_.file("Src.BIN"), data);

  // The whole target path is lower-cased, the temporary directory's own
  // name included, so the copy lands below the lower-case twin of it.
  std::string lower_dir = dir_.path();
  for (char& ch : lower_dir) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  const bool twin = lower_dir != dir_.path();
  fs::create_directories(lower_dir + "/dest");
  const std::string want = lower_dir + "/dest/copy.bin";

  std::string target = dir_.path() + "/DEST/Copy.BIN";
  ASSERT_EQ(copy_file(dir_.file("Src.BIN").c_str(), target.data()), 1);
  EXPECT_EQ(target, want);
  EXPECT_EQ(zvtest::read_file(want), data);

  // Over a longer file: exactly the source afterwards.
  zvtest::write_file(dir_.file("short"), {9, 8, 7});
  std::string t2 = want;
  ASSERT_EQ(copy_file(dir_.file("short").c_str(), t2.data()), 1);
  EXPECT_EQ(zvtest::read_file(want), (Bytes{9, 8, 7}));

  // Zero bytes give zero bytes.
  zvtest::write_file(dir_.file("empty"), {});
  ASSERT_EQ(copy_file(dir_.file("empty").c_str(), t2.data()), 1);
  EXPECT_EQ(zvtest::file_size(want), 0);
  if (twin) fs::remove_all(lower_dir);
}

TEST_F(Fileio, CopyFailures) {
  zvtest::write_file(dir_.file("src"), {1, 2, 3});
  // A missing source: nothing opened, the target text untouched.
  std::string t = dir_.path() + "/OUT";
  EXPECT_EQ(copy_file(dir_.file("nosuch").c_str(), t.data()), 0);
  EXPECT_EQ(t, dir_.path() + "/OUT");
  // A target whose directory is missing.
  std::string t2 = dir_.path() + "/nodir/out";
  EXPECT_EQ(copy_file(dir_.file("src").c_str(), t2.data()), 0);
  // A target that refuses the bytes.
  std::string full = "/dev/full";
  if (fs::exists(full)) {
    EXPECT_EQ(copy_file(dir_.file("src").c_str(), full.data()), 0);
  }

  // The source itself as target (the same name once lower-cased): refused,
  // the source intact, and no wait for its own lock.
  const int status = in_child([&] {
    alarm(10);
    std::string self = dir_.path() + "/SRC";
    return copy_file((dir_.path() + "/src").c_str(), self.data()) == 0 ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(zvtest::read_file(dir_.file("src")), (Bytes{1, 2, 3}));
}

}  // namespace
