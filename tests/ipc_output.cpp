// Line output on a real segment: blocks on the lines' output queues, the
// staging limit, paging, the line's terminal settings, broadcast and the
// formatted entry points.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "abuf.h"
#include "segment_fixture.h"
#include "wrap.h"
#include "zivevuva.h"

namespace {

struct Block {
  std::string text;
  int flag;
  int code;
  int line;
};

// Takes every block off queue q (giving each back to the pools).
std::vector<Block> take_all(int q) {
  std::vector<Block> out;
  while (zv::mdbrec* m = zv::dequeue_mdb(q)) {
    char buf[zv::NUM_BUFFERS * zv::BUFFER_TEXT];
    const int n = zv::copy_from_buffers(buf, sizeof buf, m);
    out.push_back({std::string(buf, static_cast<size_t>(n)), m->flag, m->command, m->line});
    zv::release_mdb(m);
  }
  return out;
}

std::vector<std::string> texts(const std::vector<Block>& bs) {
  std::vector<std::string> t;
  for (const Block& b : bs) t.push_back(b.text);
  return t;
}

std::string joined(const std::vector<Block>& bs) {
  std::string s;
  for (const Block& b : bs) s += b.text;
  return s;
}

// The pieces wrap() gives for the text at the width, joined.
std::string wrapped(const std::string& text, int width, int keep_ansi, int after_cr) {
  std::string out;
  const char* p = text.c_str();
  char piece[300];
  while (*p != '\0') {
    const char* rest = p;
    const int n = zv::wrap(p, piece, width, &rest, keep_ansi, after_cr, 250, 1);
    out.append(piece, static_cast<size_t>(n));
    p = rest;
  }
  return out;
}

constexpr int kLines = 8;

class OutputTest : public zvtest::SegmentTest {
 protected:
  void SetUp() override {
    zvtest::SegmentTest::SetUp();
    if (HasFatalFailure()) return;
    for (int i = 0; i < kLines; ++i) {
      zv::shm->user[i].u_stat = 1;
      zv::shm->user[i].u_ansi = 1;
      zv::shm->user[i].u_pagelen = 0;
      zv::shm->acct[i].linlen = 80;
      zv::shm->acct[i].linfed = 'n';
    }
    zvtest::set_line_globals(0, kLines);
  }
  void ExpectPoolsFull() {
    EXPECT_EQ(zv::shm->free_m_cnt, zv::NUM_MDBS);
    EXPECT_EQ(zv::shm->free_b_cnt, zv::NUM_BUFFERS);
  }
};

TEST_F(OutputTest, BlockCarriesCodeLineFlagAndTextWithoutNul) {
  zv::transmit(3, "hello\r");
  zv::mdbrec* m = zv::dequeue_mdb(3);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->command, zv::MSG_OUTPUT);
  EXPECT_EQ(m->line, 3);
  EXPECT_EQ(m->flag, 0);
  EXPECT_EQ(m->fptr, 0u);
  const zv::buffer* b = zv::from_addr<zv::buffer>(m->bufptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->count, 6);  // no NUL
  EXPECT_EQ(b->fptr, 0u);
  EXPECT_EQ(std::memcmp(b->text, "hello\r", 6), 0);
  zv::release_mdb(m);
  EXPECT_EQ(zvtest::queue_length(3), 0);
  ExpectPoolsFull();
}

TEST_F(OutputTest, PagingSplitsOneTextIntoMarkedBlocks) {
  struct Case {
    int pagelen;
    const char* text;
    std::vector<std::string> blocks;
    std::vector<int> flags;
  };
  const Case cases[] = {
      {3, "1\r2\r3\r4\r5\r6\r", {"1\r2\r", "3\r4\r", "5\r6\r"}, {1, 1, 0}},
      {3, "1\r2\r", {"1\r2\r"}, {0}},                    // ends at a page end: unmarked
      {3, "1\r2\r3\r", {"1\r2\r", "3\r"}, {1, 0}},
      {0, "1\r2\r3\r4\r5\r6\r", {"1\r2\r3\r4\r5\r6\r"}, {0}},
      {1, "1\r2\r3\r", {"1\r", "2\r", "3\r"}, {1, 1, 0}},  // every piece ends a page
      {2, "1\r2\r3\r", {"1\r", "2\r", "3\r"}, {1, 1, 0}},
      {4, "1\r2\r3\rtail", {"1\r2\r3\r", "tail"}, {1, 0}},  // the unfinished end counts as a piece
      // Line feeds and dropped sequences alone make no piece and do not count.
      {3, "1\r\n\n2\r3\r", {"1\r2\r", "3\r"}, {1, 0}},
      // A "!|" line starts a new page count.
      {3, "1\r!|r\r2\r3\r", {"1\r!|r\r2\r", "3\r"}, {1, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "pagelen " << c.pagelen << " text " << testing::PrintToString(c.text));
    zv::shm->user[1].u_pagelen = c.pagelen;
    zv::transmit(1, c.text);
    const auto bs = take_all(1);
    EXPECT_EQ(texts(bs), c.blocks);
    std::vector<int> flags;
    for (const Block& b : bs) flags.push_back(b.flag);
    EXPECT_EQ(flags, c.flags);
  }
  // Separate calls never add up to a page.
  zv::shm->user[1].u_pagelen = 3;
  zv::transmit(1, "1\r");
  zv::transmit(1, "2\r");
  zv::transmit(1, "3\r");
  for (const Block& b : take_all(1)) EXPECT_EQ(b.flag, 0);
  ExpectPoolsFull();
}

TEST_F(OutputTest, StagedBytesUpTo510StayInOneBlock) {
  // Lines of n - 1 letters and a carriage return are n-byte pieces.
  auto line_of = [](int n) { return std::string(static_cast<size_t>(n - 1), 'x') + "\r"; };
  zv::shm->acct[0].linlen = 128;
  struct Case {
    std::vector<int> pieces;
    std::vector<size_t> blocks;
  };
  const Case cases[] = {
      {{102, 102, 102, 102, 102}, {510}},       // exactly 510: together
      {{102, 102, 102, 102, 103}, {408, 103}},  // 511: split before the new piece
      {{127, 127, 127, 127, 127, 127}, {508, 254}},
      {{2}, {2}},
  };
  for (const Case& c : cases) {
    std::string text;
    for (int n : c.pieces) text += line_of(n);
    zv::send(text.c_str());
    const auto bs = take_all(0);
    std::vector<size_t> sizes;
    for (const Block& b : bs) sizes.push_back(b.text.size());
    EXPECT_EQ(sizes, c.blocks) << text.size() << " bytes";
    EXPECT_EQ(joined(bs), text);
  }
  // A long text without line ends goes out in full, in blocks of at most 510.
  std::string word_salad;
  for (int i = 0; i < 400; ++i) word_salad += "word" + std::to_string(i) + " ";
  zv::send(word_salad.c_str());
  const auto bs = take_all(0);
  EXPECT_GT(bs.size(), 1u);
  for (const Block& b : bs) EXPECT_LE(b.text.size(), 510u);
  EXPECT_EQ(joined(bs), wrapped(word_salad, 128, 1, 0));
  ExpectPoolsFull();
}

TEST_F(OutputTest, WidthOutsideRangeIsReplacedBy80InTheSegment) {
  // Blank-separated letters: every line is broken at the width.
  std::string text;
  for (int i = 0; i < 150; ++i) text += "ab ";
  struct Case {
    std::uint32_t linlen;
    std::uint32_t stored;
  };
  for (const Case c : {Case{34, 80}, Case{35, 35}, Case{128, 128}, Case{129, 80}, Case{0, 80},
                       Case{0xffffffffu, 80}}) {
    SCOPED_TRACE(c.linlen);
    zv::shm->acct[2].linlen = c.linlen;
    zv::transmit(2, text.c_str());
    EXPECT_EQ(zv::shm->acct[2].linlen, c.stored);
    EXPECT_EQ(joined(take_all(2)), wrapped(text, static_cast<int>(c.stored), 1, 0));
  }
  // A line of exactly the width whose last word is short: the word wraps.
  zv::shm->acct[2].linlen = 35;
  const std::string first = "aaaaaaaaaa aaaaaaaaaa aaaaaaaaa";
  const std::string exact = first + " bcd\r";  // 35 visible characters
  ASSERT_EQ(exact.size(), 36u);
  zv::transmit(2, exact.c_str());
  EXPECT_EQ(joined(take_all(2)), first + "\rbcd\r");
}

TEST_F(OutputTest, LineFeedOnlyForLowerCaseY) {
  for (const auto& [linfed, expect] : {std::pair<char, const char*>{'y', "hello\r\nworld\r\n"},
                                       {'Y', "hello\rworld\r"},
                                       {'n', "hello\rworld\r"},
                                       {'\0', "hello\rworld\r"}}) {
    zv::shm->acct[1].linfed = linfed;
    zv::transmit(1, "hello\r\nworld\r");
    EXPECT_EQ(joined(take_all(1)), expect) << "linfed " << static_cast<int>(linfed);
  }
}

TEST_F(OutputTest, AnsiSequencesDroppedWhenTheCallerHasNoAnsi) {
  const char* text = "\x1b[1;31mRed\x1b[0m text\r";
  zv::shm->user[1].u_ansi = 1;
  zv::transmit(1, text);
  EXPECT_EQ(joined(take_all(1)), text);
  zv::shm->user[1].u_ansi = 0;
  zv::transmit(1, text);
  EXPECT_EQ(joined(take_all(1)), "Red text\r");
  // Only sequences: nothing at all is sent.
  zv::transmit(1, "\x1b[0m\x1b[2J");
  EXPECT_EQ(zvtest::queue_length(1), 0);
}

TEST_F(OutputTest, RipLineIgnoresWidthAndAnsiSetting) {
  zv::shm->acct[1].linlen = 35;
  zv::shm->user[1].u_ansi = 0;
  const std::string rip = "!|" + std::string(100, 'R') + " \x1b[1m" + std::string(50, 'S') + "\r";
  const std::string text = rip + std::string(50, 'x') + "\r";
  zv::transmit(1, text.c_str());
  const std::string got = joined(take_all(1));
  // The "!|" line goes out whole, sequence and all; the next line does not.
  EXPECT_EQ(got.substr(0, rip.size()), rip);
  EXPECT_EQ(got.substr(rip.size()), wrapped(std::string(50, 'x') + "\r", 35, 0, 0));
  // "!|" only counts at the start of a piece.
  zv::transmit(1, "a!|\x1b[1mb\r");
  EXPECT_EQ(joined(take_all(1)), "a!|b\r");
}

TEST_F(OutputTest, BroadcastStopsAtNegativeEntryUnknownLineAndNumlines) {
  zvtest::set_line_globals(0, 4);
  struct Case {
    std::vector<int> list;
    std::vector<int> served;
  };
  const Case cases[] = {
      {{2, 7, 1, -1}, {2}},         // 7 is not below numlines: it ends the list
      {{1, 3, -1, 2}, {1, 3}},      // the negative entry ends it
      {{-5, 1}, {}},
      {{4, 1, -1}, {}},
      {{0, 1, 2, 3, 0, 1}, {0, 1, 2, 3}},  // at most numlines entries, no terminator needed
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.list));
    zv::broadcast("news\r", c.list.data());
    std::vector<int> served;
    for (int q = 0; q < kLines; ++q)
      for (const Block& b : take_all(q)) {
        EXPECT_EQ(b.text, "news\r");
        served.push_back(q);
      }
    std::vector<int> expect = c.served;
    std::sort(expect.begin(), expect.end());
    EXPECT_EQ(served, expect);
  }
  zv::broadcast("x", nullptr);
  ExpectPoolsFull();
}

TEST_F(OutputTest, EmptyTextSendsNothingAndQputsAddsAReturn) {
  zv::send("");
  zv::transmit(0, nullptr);
  EXPECT_EQ(zvtest::queue_length(0), 0);
  zv::qputs("");
  EXPECT_EQ(texts(take_all(0)), std::vector<std::string>{"\r"});
  zv::qputs("abc");
  EXPECT_EQ(texts(take_all(0)), (std::vector<std::string>{"abc", "\r"}));
  zvtest::set_line_globals(3, kLines);
  zv::sendtoline(5, "to five");
  zv::send("to three");
  EXPECT_EQ(texts(take_all(5)), std::vector<std::string>{"to five"});
  EXPECT_EQ(texts(take_all(3)), std::vector<std::string>{"to three"});
  ExpectPoolsFull();
}

TEST_F(OutputTest, OutputForLinesWithoutCallerOrOutsideTheHostIsDropped) {
  zv::shm->user[2].u_stat = 0;
  zv::shm->acct[2].linlen = 0;
  zv::transmit(2, "nobody\r");
  EXPECT_EQ(zv::shm->acct[2].linlen, 0u);  // not even the width is touched
  zv::shm->user[kLines].u_stat = 1;
  for (int line : {-1, kLines, 63, 64, 1000}) zv::transmit(line, "nowhere\r");
  for (int q = 0; q < zv::NUM_QUEUES; ++q) EXPECT_EQ(zvtest::queue_length(q), 0) << q;
  ExpectPoolsFull();
}

TEST_F(OutputTest, DryPoolsLoseTextButNothingElse) {
  // No block free: nothing is queued.
  std::vector<zv::mdbrec*> taken;
  while (zv::mdbrec* m = zv::a_mdb()) taken.push_back(m);
  zv::send("lost\r");
  EXPECT_EQ(zvtest::queue_length(0), 0);
  EXPECT_EQ(zv::shm->free_b_cnt, zv::NUM_BUFFERS);
  // One block free: the first block of a long text goes out, the rest is lost.
  zv::d_mdb(taken.back());
  taken.pop_back();
  const std::string text = std::string(300, 'a') + "\r" + std::string(300, 'b') + "\r";
  zv::shm->acct[0].linlen = 128;
  zv::send(text.c_str());
  auto bs = take_all(0);
  ASSERT_EQ(bs.size(), 1u);
  EXPECT_EQ(bs[0].text, wrapped(text, 128, 1, 0).substr(0, bs[0].text.size()));
  for (zv::mdbrec* m : taken) zv::d_mdb(m);
  // Two buffers free: the block carries the 128 bytes that fitted.
  std::vector<zv::buffer*> bufs;
  while (zv::buffer* b = zv::a_buf()) bufs.push_back(b);
  zv::d_buf(bufs.back()), bufs.pop_back();
  zv::d_buf(bufs.back()), bufs.pop_back();
  zv::send(std::string(200, 'c').c_str());
  bs = take_all(0);
  ASSERT_EQ(bs.size(), 1u);
  EXPECT_EQ(bs[0].text.size(), 128u);
  for (zv::buffer* b : bufs) zv::d_buf(b);
  ExpectPoolsFull();
}

TEST_F(OutputTest, BtuxctLengthPageMarkAndQueueIndex) {
  const std::string data(600, 'd');
  struct Case {
    int length;
    size_t bytes;
    int flag;
  };
  for (const Case c : {Case{5, 5, 0}, Case{510, 510, 0}, Case{600, 510, 0}, Case{10000 + 7, 7, 1},
                       Case{10000, 0, 1}, Case{29999, 510, 1}, Case{-3, 0, 0}}) {
    SCOPED_TRACE(c.length);
    EXPECT_EQ(zv::btuxct(6, data.c_str(), c.length), 0);
    const auto bs = take_all(6);
    ASSERT_EQ(bs.size(), 1u);
    EXPECT_EQ(bs[0].text.size(), c.bytes);
    EXPECT_EQ(bs[0].flag, c.flag);
    EXPECT_EQ(bs[0].line, 6);
    EXPECT_EQ(bs[0].code, zv::MSG_OUTPUT);
  }
  // Any queue index is a queue; the line field names it.
  EXPECT_EQ(zv::btuxct(130, "q", 1), 0);
  EXPECT_EQ(texts(take_all(130)), std::vector<std::string>{"q"});
  EXPECT_EQ(zv::btuxct(-1, "q", 1), -1);
  EXPECT_EQ(zv::btuxct(zv::NUM_QUEUES, "q", 1), -1);
  // No block free: 0, nothing queued.
  std::vector<zv::mdbrec*> taken;
  while (zv::mdbrec* m = zv::a_mdb()) taken.push_back(m);
  EXPECT_EQ(zv::btuxct(6, "x", 1), 0);
  for (zv::mdbrec* m : taken) zv::d_mdb(m);
  EXPECT_EQ(zvtest::queue_length(6), 0);
  ExpectPoolsFull();
}

TEST_F(OutputTest, FormattedTextIsCutToTheWorkBuffer) {
  zv::shm->acct[0].linlen = 128;
  EXPECT_EQ(zv::qprintf("%d-%s\r", 42, "x"), 5);
  EXPECT_EQ(joined(take_all(0)), "42-x\r");
  EXPECT_EQ(zv::qnprintf(4, "%5s|", "ab"), 6);
  EXPECT_EQ(joined(take_all(4)), "   ab|");
  // Longer than wrkbuf: cut to 2047 characters, the buffer's last byte the NUL.
  const std::string big(5000, 'z');
  EXPECT_EQ(zv::qprintf("%s", big.c_str()), static_cast<int>(zv::WRKBUF_TEXT_MAX));
  EXPECT_EQ(std::strlen(zv::wrkbuf), static_cast<size_t>(zv::WRKBUF_TEXT_MAX));
  std::string sent = joined(take_all(0));
  sent.erase(std::remove(sent.begin(), sent.end(), '\r'), sent.end());
  EXPECT_EQ(sent, std::string(zv::WRKBUF_TEXT_MAX, 'z'));
  EXPECT_EQ(zv::qnprintf(4, "%s%s", big.c_str(), big.c_str()), zv::WRKBUF_TEXT_MAX);
  take_all(4);
  // The length counts up to the first NUL of the formatted text.
  EXPECT_EQ(zv::qprintf("ab%cde", '\0'), 2);
  EXPECT_EQ(joined(take_all(0)), "ab");
  ExpectPoolsFull();
}

TEST_F(OutputTest, PageLengthSettersStayInsideTheUserRecords) {
  zvtest::set_line_globals(2, kLines);
  zv::setpagelen(23);
  EXPECT_EQ(zv::shm->user[2].u_pagelen, 23);
  zv::setnpagelen(63, 5);
  EXPECT_EQ(zv::shm->user[63].u_pagelen, 5);
  zv::setnpagelen(0, 0);
  EXPECT_EQ(zv::shm->user[0].u_pagelen, 0);
  // Outside 0..63 nothing is written anywhere in the segment.
  static zv::shared_mem_structure before;
  std::memcpy(&before, zv::shm, sizeof before);
  for (int line : {-1, 64, 65, -100000, 1 << 20}) zv::setnpagelen(line, 0x5a5a5a5a);
  EXPECT_EQ(std::memcmp(&before, zv::shm, sizeof before), 0);
}

}  // namespace
