// Line input on a real segment: the readers with input, hang-up, other
// codes, short buffers, time-outs and one_key, with the host's side played
// by this process or by another one.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>
#include <unistd.h>

#include "abuf.h"
#include "segment_fixture.h"
#include "zivevuva.h"

namespace {

using std::chrono::milliseconds;
using steady = std::chrono::steady_clock;

constexpr int kInq = 70;
constexpr int kOtherQueue = 131;

// Posts a block with `code` and the bytes of `text` on queue q, as the host does.
void post(int q, int code, const std::string& text = "") {
  zv::mdbrec* m = zv::a_mdb();
  ASSERT_NE(m, nullptr);
  m->command = static_cast<std::int16_t>(code);
  m->line = 0;
  if (!text.empty()) zv::copy_to_buffers(text.data(), static_cast<int>(text.size()), m);
  ASSERT_EQ(zv::queue_mdb(q, m), 0);
}

// The texts queued on q (given back to the pools).
std::vector<std::string> drain(int q) {
  std::vector<std::string> out;
  while (zv::mdbrec* m = zv::dequeue_mdb(q)) {
    char buf[4096];
    const int n = zv::copy_from_buffers(buf, sizeof buf, m);
    out.emplace_back(buf, static_cast<size_t>(n));
    zv::release_mdb(m);
  }
  return out;
}

long elapsed_ms(steady::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(steady::now() - since).count());
}

// Waits (bounded) until cond holds, looking every millisecond.
bool eventually(const std::function<bool()>& cond, int ms = 10000) {
  const auto until = steady::now() + milliseconds(ms);
  while (!cond()) {
    if (steady::now() >= until) return false;
    ::usleep(1000);
  }
  return true;
}

class InputTest : public zvtest::SegmentTest {
 protected:
  void SetUp() override {
    zvtest::SegmentTest::SetUp();
    if (HasFatalFailure()) return;
    zv::shm->user[0].door_inq = kInq;
    zv::shm->user[0].u_stat = 1;
    zv::shm->acct[0].linlen = 80;
    zvtest::set_line_globals(0, 4);
  }
  void ExpectPoolsFull() {
    EXPECT_EQ(zv::shm->free_m_cnt, zv::NUM_MDBS);
    EXPECT_EQ(zv::shm->free_b_cnt, zv::NUM_BUFFERS);
  }
};

// One reader under test, as the three text readers are called.
struct Reader {
  const char* name;
  std::function<int(char*, int)> read;
  int result_for_text;  // -2: the text's length
};

std::vector<Reader> readers() {
  return {
      {"qgets", [](char* b, int n) { return zv::qgets(b, n); }, -2},
      {"tqgets", [](char* b, int n) { return zv::tqgets(b, n, 5); }, -2},
      {"tnqgets", [](char* b, int n) { return zv::tnqgets(b, n, 5, kInq); }, zv::MSG_INPUT},
  };
}

TEST_F(InputTest, ReadersCopyTextCutToSizeAndDropOtherCodes) {
  struct Case {
    std::string text;
    int size;
    std::string got;
  };
  const std::string long_text(300, 'L');
  const Case cases[] = {
      {"hello", 80, "hello"},
      {"abcdef", 4, "abc"},  // cut to size - 1
      {"abcdef", 1, ""},     // size 1: nothing copied
      {"", 80, ""},
      {std::string("ab\0cd", 5), 80, "ab"},  // length up to the NUL
      {long_text, 200, long_text.substr(0, 199)},
  };
  for (const Reader& r : readers()) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << r.name << " " << testing::PrintToString(c.text) << " size " << c.size);
      // Blocks of other codes ahead of the text are taken and dropped.
      post(kInq, zv::MSG_DRAINED);
      post(kInq, zv::MSG_OUTPUT, "not input");
      post(kInq, 7);
      post(kInq, zv::MSG_INPUT, c.text);
      post(kInq, zv::MSG_INPUT, "next");
      char buf[400];
      std::memset(buf, '#', sizeof buf);
      const int got = r.read(buf, c.size);
      EXPECT_EQ(got, r.result_for_text == -2 ? static_cast<int>(c.got.size()) : r.result_for_text);
      EXPECT_EQ(std::string(buf), c.got);
      EXPECT_EQ(buf[c.size], '#');  // nothing written past the size
      EXPECT_EQ(drain(kInq), std::vector<std::string>{"next"});
      ExpectPoolsFull();
    }
  }
}

TEST_F(InputTest, HangUpEndsTheDoorWithStatusZero) {
  struct Case {
    const char* name;
    std::function<void()> read;
  };
  const Case cases[] = {
      {"qgets", [] { char b[8]; zv::qgets(b, sizeof b); }},
      {"tqgets", [] { char b[8]; zv::tqgets(b, sizeof b, 5); }},
      {"tqgets 0", [] { char b[8]; zv::tqgets(b, sizeof b, 0); }},
      {"one_key", [] { zv::one_key("YN", "?", "Y"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zv::myuser->hotkeys = 5;
    zv::myuser->process_global_comands = 'g';
    post(kInq, zv::MSG_DRAINED);
    post(kInq, zv::MSG_GONE);
    post(kInq, zv::MSG_INPUT, "after");
    const pid_t child = zvtest::fork_child([&] {
      c.read();
      return 3;  // not reached: the door ends in the reader
    });
    EXPECT_EQ(zvtest::wait_child(child), 0);
    // Both blocks up to the 243 went back to the pools; the input after it stays.
    EXPECT_EQ(drain(kInq), std::vector<std::string>{"after"});
    drain(0);
    ExpectPoolsFull();
    if (std::string(c.name) == "one_key") {
      EXPECT_EQ(zv::shm->user[0].hotkeys, 1);  // left as set
      EXPECT_EQ(zv::shm->user[0].process_global_comands, 1);
    }
  }
}

TEST_F(InputTest, TnqgetsHandsHangUpBackAndReadsAnyQueue) {
  char buf[16] = "untouched";
  post(kOtherQueue, zv::MSG_DRAINED);
  post(kOtherQueue, zv::MSG_GONE);
  EXPECT_EQ(zv::tnqgets(buf, sizeof buf, 0, kOtherQueue), zv::MSG_GONE);
  EXPECT_STREQ(buf, "untouched");
  post(kOtherQueue, zv::MSG_INPUT, "other");
  EXPECT_EQ(zv::tnqgets(buf, sizeof buf, 0, kOtherQueue), zv::MSG_INPUT);
  EXPECT_STREQ(buf, "other");
  post(kOtherQueue, zv::MSG_INPUT, "x");
  EXPECT_EQ(zv::tnqgets(buf, 1, 0, kOtherQueue), zv::MSG_INPUT);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(zv::tnqgets(buf, sizeof buf, 0, -1), -1);
  EXPECT_EQ(zv::tnqgets(buf, sizeof buf, 0, zv::NUM_QUEUES), -1);
  EXPECT_EQ(zvtest::queue_length(kInq), 0);
  ExpectPoolsFull();
}

TEST_F(InputTest, TimeOutsLookAtLeastOnceAndLeaveTheBufferAlone) {
  for (int seconds : {0, -3}) {
    char buf[16] = "untouched";
    const auto t0 = steady::now();
    EXPECT_EQ(zv::tqgets(buf, sizeof buf, seconds), -1);
    EXPECT_GE(elapsed_ms(t0), 75);  // one poll interval
    EXPECT_EQ(zv::tnqgets(buf, sizeof buf, seconds, kInq), -1);
    EXPECT_STREQ(buf, "untouched");
    // With a block there, seconds 0 still reads it.
    post(kInq, zv::MSG_INPUT, "there");
    EXPECT_EQ(zv::tqgets(buf, sizeof buf, seconds), 5);
    EXPECT_STREQ(buf, "there");
  }
  // A queue of dropped codes only: all taken, then the time-out.
  post(kInq, zv::MSG_DRAINED);
  post(kInq, 99);
  char buf[8];
  EXPECT_EQ(zv::tqgets(buf, sizeof buf, 1), -1);
  EXPECT_EQ(zvtest::queue_length(kInq), 0);
  ExpectPoolsFull();
}

TEST_F(InputTest, ReadersWaitForInputFromAnotherProcess) {
  for (int which = 0; which < 3; ++which) {
    SCOPED_TRACE(which);
    const pid_t host = zvtest::fork_child([] {
      ::usleep(200000);
      zv::mdbrec* m = zv::a_mdb();
      if (m == nullptr) return 1;
      m->command = static_cast<std::int16_t>(zv::MSG_INPUT);
      zv::copy_to_buffers("late", 4, m);
      return zv::queue_mdb(kInq, m) == 0 ? 0 : 2;
    });
    char buf[16] = "";
    int r = 0;
    if (which == 0) r = zv::qgets(buf, sizeof buf);
    if (which == 1) r = zv::tqgets(buf, sizeof buf, 5);
    if (which == 2) r = zv::tnqgets(buf, sizeof buf, 5, kInq);
    EXPECT_EQ(r, which == 2 ? zv::MSG_INPUT : 4);
    EXPECT_STREQ(buf, "late");
    EXPECT_EQ(zvtest::wait_child(host), 0);
  }
  ExpectPoolsFull();
}

TEST_F(InputTest, ReadersRefuseAnInvalidInputQueue) {
  char buf[8] = "keep";
  zv::inq = zv::NUM_QUEUES;
  EXPECT_EQ(zv::qgets(buf, sizeof buf), -1);
  EXPECT_EQ(zv::one_key("YN", "?", "Y"), 0);
  EXPECT_STREQ(buf, "keep");
}

TEST_F(InputTest, OneKeyAcceptsKeysDefaultAndRepeatsThePrompt) {
  struct Case {
    const char* keys;
    const char* dflt;
    std::vector<std::string> inputs;
    int key;
    size_t prompts;
  };
  const Case cases[] = {
      {"YN", "Y", {"y"}, 'Y', 1},
      {"YN", "Y", {"Y"}, 'Y', 1},
      {"YN", "Y", {""}, 'Y', 1},          // empty input takes the default
      {"YN", "Y", {"x", "n"}, 'N', 2},    // a key not accepted shows the prompt again
      {"YN", "Yes", {"no way"}, 'N', 1},  // only first characters count
      {"YN", "", {""}, 0, 1},             // empty default: empty input gives 0
      {"YN", nullptr, {""}, 0, 1},
      {"YN", "Q", {"", "y"}, 'Y', 2},     // a default not in the keys is refused
      {"yn", "", {"y", ""}, 0, 2},        // lower-case keys never match
      {"12", "", {"2"}, '2', 1},
      {"\xe9", "", {"\xe9"}, 0xe9, 1},    // bytes above 127 come back unsigned
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.keys << " inputs " << testing::PrintToString(c.inputs));
    zv::myuser->hotkeys = 7;
    zv::myuser->process_global_comands = 'a';
    post(kInq, zv::MSG_DRAINED);  // other codes are dropped
    for (const std::string& in : c.inputs) post(kInq, zv::MSG_INPUT, in);
    EXPECT_EQ(zv::one_key(c.keys, "100% sure? ", c.dflt), c.key);
    EXPECT_EQ(zv::myuser->hotkeys, 7);
    EXPECT_EQ(zv::myuser->process_global_comands, 'a');
    // The prompt is shown literally, once and then once per refused key.
    EXPECT_EQ(drain(0), std::vector<std::string>(c.prompts, "100% sure? "));
    EXPECT_EQ(zvtest::queue_length(kInq), 0);
    ExpectPoolsFull();
  }
}

TEST_F(InputTest, OneKeySetsItsFieldsWhileItWaits) {
  zv::myuser->hotkeys = 0;
  zv::myuser->process_global_comands = 0;
  const pid_t door = zvtest::fork_child([] { return zv::one_key("AB", "", "") == 'B' ? 0 : 1; });
  EXPECT_TRUE(eventually([] { return zv::shm->user[0].hotkeys == 1 && zv::shm->user[0].process_global_comands == 1; }));
  post(kInq, zv::MSG_INPUT, "b");
  EXPECT_EQ(zvtest::wait_child(door), 0);
  EXPECT_EQ(zv::shm->user[0].hotkeys, 0);
  EXPECT_EQ(zv::shm->user[0].process_global_comands, 0);
  ExpectPoolsFull();
}

}  // namespace
