// Requests a door sends to the host, and the answers it waits for.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <unistd.h>

#include "abuf.h"
#include "segment_fixture.h"
#include "semutils.h"
#include "zivevuva.h"

namespace {

using namespace zv;

constexpr int OWN_LINE = 3;
constexpr int OWN_INQ = 70;

class Requests : public zvtest::SegmentTest {
 protected:
  void SetUp() override {
    zvtest::SegmentTest::SetUp();
    if (HasFatalFailure()) return;
    shm->user[OWN_LINE].door_inq = OWN_INQ;
    zvtest::set_line_globals(OWN_LINE);
  }

  // Takes the one block of queue q, checks it is alone, returns a copy and
  // its text, and gives it back.
  struct taken {
    mdbrec block;
    std::string text;
    int buffers;
  };
  static taken take(int q) {
    taken t{};
    mdbrec* m = dequeue_mdb(q);
    EXPECT_NE(m, nullptr);
    if (m == nullptr) return t;
    EXPECT_EQ(shm->mdb[q], 0u) << "more than one block on queue " << q;
    t.block = *m;
    char buf[4096];
    t.text.assign(buf, static_cast<std::size_t>(copy_from_buffers(buf, sizeof buf, m)));
    for (addr32 a = m->bufptr; a != 0; a = from_addr<buffer>(a)->fptr) ++t.buffers;
    release_mdb(m);
    return t;
  }
};

struct plain_request {
  const char* what;
  std::function<int()> send;
  int code, line;
  int length;  // -1: not set by the sender (stale value stays)
};

TEST_F(Requests, EachPlainRequestCarriesItsCodeAndFields) {
  const int pid16 = static_cast<std::int16_t>(::getpid() & 0xffff);
  const plain_request rows[] = {
      {"bbs_logoff", [] { return bbs_logoff(7); }, 205, 7, -1},
      {"settextmode", [] { return settextmode(8); }, 207, 8, -1},
      {"setbinarymode", [] { return setbinarymode(9); }, 208, 9, -1},
      {"clear_input_buffer", [] { return clear_input_buffer(10); }, 213, 10, -1},
      {"pid_monitor", [] { return pid_monitor(11); }, 238, 11, pid16},
      {"pid_monitor_off", [] { return pid_monitor_off(12); }, 238, 12, 0},
      {"setecho(0)", [] { return setecho(0); }, 241, OWN_LINE, -1},
      {"setecho(1)", [] { return setecho(1); }, 240, OWN_LINE, -1},
      {"setecho(2)", [] { return setecho(2); }, 242, OWN_LINE, -1},
      {"setecho(3)", [] { return setecho(3); }, 240, OWN_LINE, -1},
      {"setecho(-1)", [] { return setecho(-1); }, 240, OWN_LINE, -1},
      {"setnecho(13, 0)", [] { return setnecho(13, 0); }, 241, 13, -1},
      {"setnecho(14, 2)", [] { return setnecho(14, 2); }, 242, 14, -1},
      {"setnecho(15, 99)", [] { return setnecho(15, 99); }, 240, 15, -1},
      {"bbs_save_acct", [] { return bbs_save_acct(); }, 222, OWN_LINE, -1},
      {"bbs_sendmsg low 16 bits", [] { return bbs_sendmsg(16, 70000); }, 229, 16, 4464},
      {"bbs_sendmsg negative", [] { return bbs_sendmsg(17, -2); }, 229, 17, -2},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    mdbrec* next = from_addr<mdbrec>(shm->freemdb);  // the block a_mdb hands out
    next->length = 1234;
    next->flag = 4321;
    EXPECT_EQ(r.send(), 0);
    const taken t = take(REQUEST_QUEUE);
    EXPECT_EQ(t.block.command, r.code);
    EXPECT_EQ(t.block.line, r.line);
    EXPECT_EQ(t.block.length, r.length == -1 ? 1234 : r.length);
    EXPECT_EQ(t.block.flag, 4321);
    EXPECT_EQ(t.block.bufptr, 0u);
    EXPECT_EQ(shm->free_m_cnt, 512);
  }
}

TEST_F(Requests, TextRequestsCarryTheirText) {
  struct row {
    const char* what;
    std::function<int()> send;
    int result, queue, code;
    std::string text;
    int buffers;
  } rows[] = {
      {"send_bbslog", [] { return send_bbslog("disk full"); }, 9, 128, 218, "disk full", 1},
      {"send_bbslog empty", [] { return send_bbslog(""); }, 0, 128, 218, "", 0},
      {"send_lprintf", [] { return send_lprintf("line %d: %s", 4, "gone"); }, 0, 128, 218, "line 4: gone", 1},
      {"sendtoq", [] { return sendtoq("hi", 5); }, 2, 5, 201, std::string("hi\0", 3), 1},
      {"send_message low 16 bits", [] { return send_message("abc", 130, 70000); }, 3, 130, 4464,
       std::string("abc\0", 4), 1},
      {"send_message 64 + NUL", [] { return send_message(std::string(64, 'x').c_str(), 137, 201); }, 64, 137, 201,
       std::string(64, 'x') + std::string(1, '\0'), 2},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(r.send(), r.result);
    const taken t = take(r.queue);
    EXPECT_EQ(t.block.command, r.code);
    EXPECT_EQ(t.block.line, OWN_LINE);
    EXPECT_EQ(t.text, r.text);
    EXPECT_EQ(t.buffers, r.buffers);
    EXPECT_EQ(shm->free_b_cnt, 512);
  }
}

TEST_F(Requests, SendLprintfCutsALongTextToTheWorkBuffer) {
  const std::string big(3000, 'w');
  std::memset(wrkbuf, '#', sizeof wrkbuf);
  EXPECT_EQ(send_lprintf("%s!", big.c_str()), 0);
  const taken t = take(REQUEST_QUEUE);
  EXPECT_EQ(t.text, std::string(WRKBUF_TEXT_MAX, 'w'));
  EXPECT_EQ(wrkbuf[WRKBUF_SIZE - 1], '\0');
  EXPECT_EQ(shm->free_b_cnt, 512);
}

TEST_F(Requests, AShortBufferPoolSendsTheTextShortened) {
  while (shm->free_b_cnt > 2) a_buf();
  const std::string text(200, 'q');
  EXPECT_EQ(send_bbslog(text.c_str()), 200);
  EXPECT_EQ(take(REQUEST_QUEUE).text, std::string(128, 'q'));
}

TEST_F(Requests, WithAnEmptyBlockPoolEveryRequestIsDropped) {
  while (a_mdb() != nullptr) {
  }
  const std::function<int()> sends[] = {
      [] { return bbs_logoff(1); },
      [] { return settextmode(1); },
      [] { return setbinarymode(1); },
      [] { return clear_input_buffer(1); },
      [] { return pid_monitor(1); },
      [] { return pid_monitor_off(1); },
      [] { return setecho(1); },
      [] { return setnecho(1, 0); },
      [] { return bbs_save_acct(); },
      [] { return bbs_sendmsg(1, 1); },
      [] { return send_bbslog("text"); },
      [] { return send_lprintf("%s", "zzz"); },
      [] { return sendtoq("text", 5); },
      [] { return send_message("text", 5, 201); },
  };
  std::memset(wrkbuf, '#', sizeof wrkbuf);
  for (const auto& send : sends) EXPECT_EQ(send(), 0);
  EXPECT_EQ(wrkbuf[0], '#') << "send_lprintf formatted without a block";
  EXPECT_EQ(shm->mdb[REQUEST_QUEUE], 0u);
  EXPECT_EQ(shm->mdb[5], 0u);
  EXPECT_EQ(shm->free_b_cnt, 512);
  // waitforempty returns at once: nothing sent, nothing awaited.
  const pid_t child = zvtest::fork_child([] {
    ::alarm(10);
    waitforempty(OWN_LINE);
    return 7;
  });
  EXPECT_EQ(zvtest::wait_child(child), 7);
  EXPECT_EQ(shm->mdb[REQUEST_QUEUE], 0u);
}

// Plays the host for waitforempty: takes the 210 request and posts the
// given codes on the door's input queue.
void answer_waitforempty(std::initializer_list<int> codes) {
  mdbrec* req = nullptr;
  for (int i = 0; i < 500 && req == nullptr; ++i) {
    req = dequeue_mdb(REQUEST_QUEUE);
    if (req == nullptr) ::usleep(10000);
  }
  ASSERT_NE(req, nullptr);
  EXPECT_EQ(req->command, MSG_WAITEMPTY);
  EXPECT_EQ(req->line, OWN_LINE);
  release_mdb(req);
  for (int code : codes) {
    mdbrec* m = a_mdb();
    ASSERT_NE(m, nullptr);
    m->command = static_cast<std::int16_t>(code);
    copy_to_buffers("typed", 5, m);
    ASSERT_EQ(queue_mdb(OWN_INQ, m), 0);
  }
}

TEST_F(Requests, WaitForEmptyPassesOverInputAndReturnsOnDrained) {
  const pid_t door = zvtest::fork_child([] {
    ::alarm(20);
    waitforempty(OWN_LINE);
    return 7;  // returned, not ended
  });
  answer_waitforempty({MSG_INPUT, MSG_DRAINED});
  EXPECT_EQ(zvtest::wait_child(door), 7);
  EXPECT_EQ(shm->mdb[OWN_INQ], 0u);
  EXPECT_EQ(shm->free_m_cnt, 512);
  EXPECT_EQ(shm->free_b_cnt, 512);
}

TEST_F(Requests, WaitForEmptyEndsTheDoorWhenTheCallerIsGone) {
  const pid_t door = zvtest::fork_child([] {
    ::alarm(20);
    waitforempty(OWN_LINE);
    return 7;
  });
  answer_waitforempty({MSG_INPUT, MSG_GONE, MSG_DRAINED});
  EXPECT_EQ(zvtest::wait_child(door), 0);
  // The door gave back what it took; the 244 behind the 243 stays queued.
  ASSERT_NE(shm->mdb[OWN_INQ], 0u);
  EXPECT_EQ(from_addr<mdbrec>(shm->mdb[OWN_INQ])->command, MSG_DRAINED);
  EXPECT_EQ(zvtest::queue_length(OWN_INQ), 1);
  EXPECT_EQ(shm->free_m_cnt, 511);
  EXPECT_EQ(shm->free_b_cnt, 511);
}

TEST_F(Requests, ClearOutputBufferThrowsAwayQueuedOutput) {
  for (int i = 0; i < 3; ++i) sendtoq("pending output", OWN_LINE);
  EXPECT_EQ(zvtest::queue_length(OWN_LINE), 3);
  EXPECT_EQ(clear_output_buffer(OWN_LINE), 0);
  EXPECT_EQ(shm->mdb[OWN_LINE], 0u);
  EXPECT_EQ(shm->free_m_cnt, 512);
  EXPECT_EQ(shm->free_b_cnt, 512);
  EXPECT_EQ(clear_output_buffer(OWN_LINE), 0);  // empty queue: only the pause
  EXPECT_EQ(shm->mdb[REQUEST_QUEUE], 0u) << "nothing is sent to the host";
}

}  // namespace
