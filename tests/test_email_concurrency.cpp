// Four processes send 300 letters each into one email store at once: every
// record's location and offset exact, every text where its record says.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bplus_fixture.h"
#include "zivevuva.h"

namespace {

using namespace zv;
using zvtest::Bytes;

constexpr int SENDERS = 4;
constexpr int LETTERS = 300;

// The text of letter n of sender p: its length varies, and it carries line
// feeds that the store must turn into carriage returns.
std::string letter_text(int p, int n) {
  std::string s = "from " + std::to_string(p) + " letter " + std::to_string(n) + "\n";
  s.append(static_cast<std::size_t>((p * 37 + n * 11) % 200), static_cast<char>('a' + (n % 26)));
  s += "\nend";
  return s;
}

std::string as_stored(std::string s) {
  for (char& c : s)
    if (c == '\n') c = '\r';
  return s;
}

TEST(EmailConcurrency, FourSendersThreeHundredLettersEach) {
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
  for (int p = 0; p < SENDERS; ++p) {
    const pid_t pid = fork();
    if (pid == 0) {
      close(start[1]);
      char go;
      if (read(start[0], &go, 1) != 0) _exit(90);  // all start when the pipe closes
      for (int n = 0; n < LETTERS; ++n) {
        email_record r;
        std::memset(&r, 0, sizeof r);
        r.status = p;
        std::snprintf(r.from, sizeof r.from, "sender%d", p);
        std::snprintf(r.subject, sizeof r.subject, "%d/%d", p, n);
        std::string text = letter_text(p, n);
        if (send_email(&r, text.data()) != 1) _exit(1);
        if (r.length != static_cast<int>(text.size())) _exit(2);
      }
      _exit(0);
    }
    kids.push_back(pid);
  }
  close(start[0]);
  close(start[1]);
  for (pid_t k : kids) {
    int st = 0;
    waitpid(k, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "sender status " << st;
  }
  cfg = nullptr;

  const Bytes idx = zvtest::read_file(dir.file("email.idx"));
  const Bytes dat = zvtest::read_file(dir.file("email.dat"));
  ASSERT_EQ(idx.size(), static_cast<std::size_t>(SENDERS * LETTERS) * 316);
  std::map<int, int> next;  // each sender's letters arrive in its own order
  std::int64_t expected_offset = 0;
  for (int k = 0; k < SENDERS * LETTERS; ++k) {
    const std::size_t base = static_cast<std::size_t>(k) * 316;
    const int location = zvtest::get32(idx, base + 68);
    const int length = zvtest::get32(idx, base + 160);
    const int offset = zvtest::get32(idx, base + 168);
    ASSERT_EQ(location, static_cast<int>(base)) << "record " << k;
    ASSERT_EQ(offset, expected_offset) << "record " << k;
    int p = -1, n = -1;
    ASSERT_EQ(std::sscanf(reinterpret_cast<const char*>(idx.data() + base + 72), "%d/%d", &p, &n), 2);
    ASSERT_EQ(zvtest::get32(idx, base), p);
    ASSERT_EQ(n, next[p]) << "sender " << p;
    ++next[p];
    const std::string want = as_stored(letter_text(p, n));
    ASSERT_EQ(length, static_cast<int>(want.size()));
    ASSERT_LE(static_cast<std::size_t>(offset) + static_cast<std::size_t>(length), dat.size());
    ASSERT_EQ(std::string(dat.begin() + offset, dat.begin() + offset + length), want) << "record " << k;
    expected_offset += length;
  }
  EXPECT_EQ(static_cast<std::size_t>(expected_offset), dat.size());
  for (int p = 0; p < SENDERS; ++p) EXPECT_EQ(next[p], LETTERS);
}

}  // namespace
