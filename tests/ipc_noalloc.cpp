// The wrapper, line output and the readers allocate nothing from the heap,
// on a real segment with every path taken: paging, staging splits, dropped
// sequences, RIP lines, time-outs, dropped codes and one_key's repeats.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "abuf.h"
#include "alloc_counter.h"
#include "segment_fixture.h"
#include "wrap.h"
#include "zivevuva.h"

namespace {

constexpr int kInq = 70;

void post(int code, const char* text) {
  zv::mdbrec* m = zv::a_mdb();
  ASSERT_NE(m, nullptr);
  m->command = static_cast<std::int16_t>(code);
  zv::copy_to_buffers(text, static_cast<int>(std::strlen(text)), m);
  ASSERT_EQ(zv::queue_mdb(kInq, m), 0);
}

class NoAllocTest : public zvtest::SegmentTest {
 protected:
  void SetUp() override {
    zvtest::SegmentTest::SetUp();
    if (HasFatalFailure()) return;
    for (int i = 0; i < 3; ++i) {
      zv::shm->user[i].u_stat = 1;
      zv::shm->user[i].u_ansi = i != 1;
      zv::shm->user[i].u_pagelen = i == 2 ? 5 : 0;
      zv::shm->acct[i].linlen = i == 1 ? 0 : 40;
      zv::shm->acct[i].linfed = i == 2 ? 'y' : 'n';
    }
    zv::shm->user[0].door_inq = kInq;
    zvtest::set_line_globals(0, 3);
  }
};

std::string mixed_text() {
  std::string t;
  for (int i = 0; i < 40; ++i) {
    t += "word \x1b[1;3" + std::to_string(i % 8) + "mcolour\x1b[0m and a longer line of text ";
    if (i % 7 == 0) t += std::string(45, 'L') + "\r\n";
    if (i % 11 == 0) t += "!|1K00\r";
    if (i % 13 == 0) t += "\xb0\xb1\xb2 \x1b[12";
  }
  return t;
}

TEST_F(NoAllocTest, WrapTransmitAndReadersAllocateNothing) {
  ZV_REQUIRE_ALLOC_COUNTING();
  const std::string text = mixed_text();
  const int lines[] = {2, 0, 1, -1};
  // Input waiting for the readers, with codes they drop in between.
  post(zv::MSG_INPUT, "first line");
  post(zv::MSG_DRAINED, "");
  post(zv::MSG_INPUT, "second");
  post(zv::MSG_INPUT, "third, cut short");
  post(zv::MSG_INPUT, "x");  // refused by one_key
  post(zv::MSG_INPUT, "");   // takes its default
  post(zv::MSG_GONE, "");    // tnqgets hands it back

  long allocations = -1;
  int wrapped = 0;
  int got[8] = {};
  {
    zvtest::AllocCounter counter;
    char piece[260];
    for (const char* p = text.c_str(); *p != '\0';) {
      const char* rest = p;
      wrapped += zv::wrap(p, piece, 30, &rest, 0, 10, 250, 1);
      p = rest;
    }
    zv::transmit(0, text.c_str());
    zv::transmit(2, text.c_str());
    zv::broadcast(text.c_str(), lines);
    zv::qprintf("%s %d %s\r", "formatted", 42, text.c_str());
    zv::qnprintf(2, "%.*s", 3000, text.c_str());
    zv::qputs("one more");
    zv::btuxct(5, "raw", 3 + zv::PAGE_MARK);
    char buf[64];
    got[0] = zv::qgets(buf, sizeof buf);
    got[1] = zv::tqgets(buf, sizeof buf, 1);
    got[2] = zv::tnqgets(buf, 6, 1, kInq);
    got[3] = zv::one_key("YN", "Sure? ", "N");
    got[4] = zv::tnqgets(buf, sizeof buf, 0, kInq);
    got[5] = zv::tqgets(buf, sizeof buf, 0);  // time-out
    got[6] = zv::tnqgets(buf, sizeof buf, 0, kInq);
    allocations = counter.count();
  }
  EXPECT_EQ(allocations, 0);
  // The calls did their work.
  EXPECT_GT(wrapped, 0);
  EXPECT_EQ(got[0], 10);
  EXPECT_EQ(got[1], 6);
  EXPECT_EQ(got[2], zv::MSG_INPUT);
  EXPECT_EQ(got[3], 'N');
  EXPECT_EQ(got[4], zv::MSG_GONE);
  EXPECT_EQ(got[5], -1);
  EXPECT_EQ(got[6], -1);
  for (int q : {0, 1, 2, 5}) EXPECT_GT(zvtest::queue_length(q), 0) << q;
}

}  // namespace
