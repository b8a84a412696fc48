// The email store: email.idx records byte for byte, email.dat texts, and
// both files kept in step when an append fails.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "bplus_fixture.h"
#include "zivevuva.h"

namespace {

using namespace zv;
using zvtest::Bytes;
namespace fs = std::filesystem;

template <std::size_t N>
void put(char (&field)[N], const std::string& text) {
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

email_record letter(const std::string& to, const std::string& subject) {
  email_record r;
  std::memset(&r, 0xAB, sizeof r);  // what send_email fills must not stay 0xAB
  r.status = 7;
  put(r.to, to);
  put(r.from, "Sysop");
  put(r.subject, subject);
  put(r.filename, "file.zip");
  put(r.stored_as, "f0001.zip");
  r.node = {1, 2, 3, 4};
  put(r.inet_address, "someone@example.org");
  return r;
}

std::string text_at(const Bytes& b, std::size_t off) {
  return std::string(reinterpret_cast<const char*>(b.data() + off));
}

template <class F>
int in_child(F fn) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

class Email : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&cfg_, 0, sizeof cfg_);
    const std::string data = dir_.path() + "/";
    ASSERT_LT(data.size(), sizeof cfg_.data_path);
    std::strcpy(cfg_.data_path, data.c_str());
    std::strcpy(cfg_.email_path, "/nonexistent/");  // not where the store lives
    cfg = &cfg_;
    idx_ = dir_.file("email.idx");
    dat_ = dir_.file("email.dat");
  }
  void TearDown() override { cfg = nullptr; }
  int send(email_record& r, std::string text) {
    text.push_back('\0');
    return send_email(&r, text.data());
  }
  zvtest::TempDir dir_;
  cfg_rec cfg_;
  std::string idx_, dat_;
};

TEST_F(Email, TheRecordIsWrittenByteForByte) {
  email_record r = letter("Alice", "Hello there");
  const long before = static_cast<long>(std::time(nullptr));
  ASSERT_EQ(send(r, "Hi Alice!"), 1);
  const long after = static_cast<long>(std::time(nullptr));

  const Bytes idx = zvtest::read_file(idx_);
  ASSERT_EQ(idx.size(), 316u);
  EXPECT_EQ(zvtest::get32(idx, 0), 7);
  EXPECT_EQ(text_at(idx, 4), "Alice");
  EXPECT_EQ(text_at(idx, 36), "Sysop");
  EXPECT_EQ(zvtest::get32(idx, 68), 0);  // location
  EXPECT_EQ(text_at(idx, 72), "Hello there");
  EXPECT_EQ(text_at(idx, 114), "file.zip");
  EXPECT_EQ(text_at(idx, 144), "f0001.zip");
  EXPECT_EQ(idx[159], 0);                // the alignment byte carries nothing
  EXPECT_EQ(zvtest::get32(idx, 160), 9);  // length
  EXPECT_GE(zvtest::get32(idx, 164), before);
  EXPECT_LE(zvtest::get32(idx, 164), after);
  EXPECT_EQ(zvtest::get32(idx, 168), 0);  // offset
  EXPECT_EQ(zvtest::get32(idx, 172), 1);
  EXPECT_EQ(zvtest::get32(idx, 176), 2);
  EXPECT_EQ(zvtest::get32(idx, 180), 3);
  EXPECT_EQ(zvtest::get32(idx, 184), 4);
  EXPECT_EQ(text_at(idx, 188), "someone@example.org");
  // The tail of every text field is as the caller left it.
  EXPECT_EQ(idx[4 + 31], 0);
  EXPECT_EQ(idx[188 + 127], 0);

  EXPECT_EQ(r.location, 0);
  EXPECT_EQ(r.offset, 0);
  EXPECT_EQ(r.length, 9);
  EXPECT_EQ(r.timesent, zvtest::get32(idx, 164));
  EXPECT_EQ(zvtest::read_file(dat_), Bytes({'H', 'i', ' ', 'A', 'l', 'i', 'c', 'e', '!'}));
}

TEST_F(Email, LettersFollowEachOther) {
  email_record a = letter("a", "one"), b = letter("b", "two"), c = letter("c", "empty"), d = letter("d", "four");
  ASSERT_EQ(send(a, "first text"), 1);
  ASSERT_EQ(send(b, "second"), 1);
  EXPECT_EQ(b.location, a.location + 316);
  EXPECT_EQ(b.offset, a.offset + a.length);

  // An empty text: a record of length 0, email.dat does not grow.
  ASSERT_EQ(send(c, ""), 1);
  EXPECT_EQ(c.length, 0);
  EXPECT_EQ(c.offset, 16);
  EXPECT_EQ(zvtest::file_size(dat_), 16);

  // Line feeds become carriage returns, in the file and in the caller's text.
  char text[] = "line 1\r\nline 2\nend";
  ASSERT_EQ(send_email(&d, text), 1);
  EXPECT_STREQ(text, "line 1\r\rline 2\rend");
  const Bytes dat = zvtest::read_file(dat_);
  EXPECT_EQ(std::string(dat.begin() + d.offset, dat.end()), "line 1\r\rline 2\rend");
  EXPECT_EQ(d.location, 3 * 316);
  EXPECT_EQ(zvtest::file_size(idx_), 4 * 316);
}

TEST_F(Email, NothingIsWrittenWhenAFileCannotBeOpened) {
  // No data directory at all.
  std::strcpy(cfg_.data_path, (dir_.path() + "/none/").c_str());
  email_record r = letter("x", "y");
  EXPECT_EQ(send(r, "text"), 0);
  std::strcpy(cfg_.data_path, (dir_.path() + "/").c_str());

  // email.dat cannot be opened: email.idx is left as it was and unlocked.
  zvtest::write_file(idx_, Bytes(316, 1));
  fs::create_directory(dat_);
  EXPECT_EQ(send(r, "text"), 0);
  EXPECT_EQ(zvtest::read_file(idx_), Bytes(316, 1));
  const int fd = open(idx_.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "email.idx still locked";
  close(fd);

  EXPECT_EQ(send_email(nullptr, nullptr), 0);
  cfg = nullptr;
  EXPECT_EQ(send(r, "text"), 0);
}

// Appends stopped by the file-size limit: both files go back to their sizes.
TEST_F(Email, AFailedAppendCutsBothFilesBack) {
  struct row {
    const char* what;
    std::size_t idx_size, dat_size;
    rlim_t limit;
  } rows[] = {
      {"the record does not fit", 2 * 316, 100, 700},
      {"the text does not fit", 0, 1000, 1010},
  };
  for (const auto& r : rows) {
    Bytes idx(r.idx_size, 0x11), dat(r.dat_size, 0x22);
    zvtest::write_file(idx_, idx);
    zvtest::write_file(dat_, dat);
    const int status = in_child([&] {
      signal(SIGXFSZ, SIG_IGN);
      rlimit lim{r.limit, r.limit};
      if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 99;
      email_record e = letter("to", "subject");
      char text[] = "fifty bytes of text, more than the room left there";
      return send_email(&e, text) == 0 ? 0 : 1;
    });
    EXPECT_EQ(status, 0) << r.what;
    EXPECT_EQ(zvtest::read_file(idx_), idx) << r.what;
    EXPECT_EQ(zvtest::read_file(dat_), dat) << r.what;
  }
}

}  // namespace
