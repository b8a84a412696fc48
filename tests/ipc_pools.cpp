// Block and buffer pools, text chains and queues in the segment.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>
#include <unistd.h>

#include "abuf.h"
#include "segment_fixture.h"
#include "semutils.h"
#include "zivevuva.h"

namespace {

using namespace zv;
using zvtest::SegmentTest;

std::vector<int> chain_counts(const mdbrec* m) {
  std::vector<int> counts;
  for (addr32 a = m->bufptr; a != 0; a = from_addr<buffer>(a)->fptr) counts.push_back(from_addr<buffer>(a)->count);
  return counts;
}

std::string pattern(int n, char seed = 'a') {
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(static_cast<char>(seed + i % 23));
  return s;
}

TEST_F(SegmentTest, BothPoolsHand512ItemsInAddressOrderThenNone) {
  for (int i = 0; i < NUM_MDBS; ++i) ASSERT_EQ(a_mdb(), &shm->mdblist[i]) << i;
  EXPECT_EQ(a_mdb(), nullptr);
  EXPECT_EQ(shm->free_m_cnt, 0);
  EXPECT_EQ(shm->freemdb, 0u);
  for (int i = 0; i < NUM_BUFFERS; ++i) ASSERT_EQ(a_buf(), &shm->buflist[i]) << i;
  EXPECT_EQ(a_buf(), nullptr);
  EXPECT_EQ(shm->free_b_cnt, 0);
  EXPECT_EQ(shm->freebuf, 0u);
}

TEST_F(SegmentTest, FreeListsAreLastInFirstOut) {
  mdbrec* a = a_mdb();
  mdbrec* b = a_mdb();
  d_mdb(a);
  d_mdb(b);
  EXPECT_EQ(a_mdb(), b);
  EXPECT_EQ(a_mdb(), a);
  buffer* x = a_buf();
  buffer* y = a_buf();
  d_buf(x);
  d_buf(y);
  EXPECT_EQ(a_buf(), y);
  EXPECT_EQ(a_buf(), x);
  EXPECT_EQ(shm->free_m_cnt, 510);
  EXPECT_EQ(shm->free_b_cnt, 510);
}

TEST_F(SegmentTest, AllocationResetsLinksAndKeepsTheRest) {
  mdbrec* m = a_mdb();
  m->command = 218;
  m->line = 4;
  m->length = 5;
  m->flag = 6;
  m->bufptr = to_addr(&shm->buflist[9]);
  d_mdb(m);
  ASSERT_EQ(a_mdb(), m);
  EXPECT_EQ(m->fptr, 0u);
  EXPECT_EQ(m->bufptr, 0u);
  EXPECT_EQ(m->command, 218);
  EXPECT_EQ(m->line, 4);
  EXPECT_EQ(m->length, 5);
  EXPECT_EQ(m->flag, 6);

  buffer* b = a_buf();
  b->count = 33;
  b->text[0] = 'T';
  d_buf(b);
  ASSERT_EQ(a_buf(), b);
  EXPECT_EQ(b->fptr, 0u);
  EXPECT_EQ(b->count, 0);
  EXPECT_EQ(b->text[0], 'T');
}

TEST_F(SegmentTest, ReleasingABlockChainGivesBackBlocksAndBuffers) {
  mdbrec* m = a_mdb();
  ASSERT_EQ(copy_to_buffers(pattern(150).data(), 150, m), 150);  // 3 buffers
  EXPECT_EQ(shm->free_m_cnt, 511);
  EXPECT_EQ(shm->free_b_cnt, 509);
  release_mdb(m);
  EXPECT_EQ(shm->free_m_cnt, 512);
  EXPECT_EQ(shm->free_b_cnt, 512);

  // Blocks linked through fptr go back together, each with its buffers.
  mdbrec* a = a_mdb();
  mdbrec* b = a_mdb();
  mdbrec* c = a_mdb();
  copy_to_buffers("x", 1, a);
  copy_to_buffers(pattern(70).data(), 70, c);
  a->fptr = to_addr(b);
  b->fptr = to_addr(c);
  release_mdb(a);
  EXPECT_EQ(shm->free_m_cnt, 512);
  EXPECT_EQ(shm->free_b_cnt, 512);
}

TEST_F(SegmentTest, CopyToBuffersCutsInto64BytePiecesAndAppends) {
  struct row {
    const char* what;
    int already;       // bytes the block carries before
    int length;        // bytes to store
    int leave_free;    // buffers left in the pool (-1: all)
    int stored;
    std::vector<int> counts;
  } rows[] = {
      {"zero", 0, 0, -1, 0, {}},
      {"negative", 0, -5, -1, 0, {}},
      {"one", 0, 1, -1, 1, {1}},
      {"64 fills one buffer", 0, 64, -1, 64, {64}},
      {"65 takes two", 0, 65, -1, 65, {64, 1}},
      {"130 with 2 buffers stores 128", 0, 130, 2, 128, {64, 64}},
      {"dry pool", 0, 10, 0, 0, {}},
      {"appends after an existing chain", 10, 70, -1, 70, {10, 64, 6}},
      {"appends, pool runs dry", 70, 100, 1, 64, {64, 6, 64}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    clear_shared_mem();
    mdbrec* m = a_mdb();
    const std::string before = pattern(r.already, 'A');
    if (r.already > 0) {
      ASSERT_EQ(copy_to_buffers(before.data(), r.already, m), r.already);
    }
    std::vector<buffer*> held;
    if (r.leave_free >= 0)
      while (shm->free_b_cnt > r.leave_free) held.push_back(a_buf());
    const addr32 bufptr_before = m->bufptr;
    const std::string text = pattern(r.length > 0 ? r.length : 0, 'a');
    EXPECT_EQ(copy_to_buffers(text.data(), r.length, m), r.stored);
    EXPECT_EQ(chain_counts(m), r.counts);
    if (r.already > 0 || r.stored == 0) {
      EXPECT_EQ(m->bufptr, bufptr_before);
    }
    // The chain holds the old text, then the stored part of the new.
    char out[1024];
    const int n = copy_from_buffers(out, sizeof out, m);
    EXPECT_EQ(std::string(out, static_cast<std::size_t>(n)), before + text.substr(0, static_cast<std::size_t>(r.stored)));
  }
}

TEST_F(SegmentTest, CopyFromBuffersHonoursRoomAndSkipsOddCounts) {
  struct row {
    const char* what;
    std::vector<int> counts;  // buffer counts in the chain (text: 'a'+index)
    int room;
    std::string expect;
  } rows[] = {
      {"room 0", {3}, 0, ""},
      {"room negative", {3}, -1, ""},
      {"no buffers", {}, 10, ""},
      {"room smaller than the text", {64, 1}, 64, std::string(64, 'a')},
      {"room exactly the text", {64, 1}, 65, std::string(64, 'a') + "b"},
      {"room larger than the text", {64, 1}, 100, std::string(64, 'a') + "b"},
      {"room ends inside a buffer", {5, 5}, 7, "aaaaabb"},
      {"count 0 skipped", {2, 0, 2}, 10, "aacc"},
      {"negative count skipped", {2, -4, 2}, 10, "aacc"},
      {"count above 64 skipped with room above 64", {2, 100, 2}, 100, "aacc"},
      {"count above 64 clipped to room of 64 or less", {2, 100, 2}, 12, "aabbbbbbbbbb"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    clear_shared_mem();
    mdbrec* m = a_mdb();
    buffer* tail = nullptr;
    for (std::size_t i = 0; i < r.counts.size(); ++i) {
      buffer* b = a_buf();
      b->count = r.counts[i];
      std::memset(b->text, 'a' + static_cast<int>(i), sizeof b->text);
      if (tail != nullptr)
        tail->fptr = to_addr(b);
      else
        m->bufptr = to_addr(b);
      tail = b;
    }
    char out[200];
    std::memset(out, '#', sizeof out);
    const int n = copy_from_buffers(out, r.room, m);
    EXPECT_EQ(std::string(out, static_cast<std::size_t>(n)), r.expect);
    EXPECT_EQ(out[n], '#');  // no terminator written
  }
}

TEST_F(SegmentTest, QueuesAreFirstInFirstOut) {
  mdbrec* a = a_mdb();
  mdbrec* b = a_mdb();
  EXPECT_EQ(queue_mdb(7, a), 0);
  EXPECT_EQ(message_out(7, b), 0);
  EXPECT_EQ(dequeue_mdb(7), a);
  EXPECT_EQ(a->fptr, 0u);
  EXPECT_EQ(recvmsg(7), b);
  EXPECT_EQ(dequeue_mdb(7), nullptr);
  EXPECT_EQ(shm->mdb[7], 0u);
}

TEST_F(SegmentTest, AChainOfBlocksIsAppendedWhole) {
  mdbrec* a = a_mdb();
  mdbrec* b = a_mdb();
  mdbrec* c = a_mdb();
  mdbrec* d = a_mdb();
  queue_mdb(128, a);
  b->fptr = to_addr(c);
  queue_mdb(128, b);
  queue_mdb(128, d);
  for (mdbrec* want : {a, b, c, d}) EXPECT_EQ(dequeue_mdb(128), want);
  EXPECT_EQ(dequeue_mdb(128), nullptr);
}

TEST_F(SegmentTest, CleanQueueTakesBlocksAppendedWhileItRuns) {
  mdbrec* a = a_mdb();
  mdbrec* b = a_mdb();
  copy_to_buffers("first", 5, a);
  queue_mdb(40, a);
  // Hold the block pool lock: the cleaner takes `a` off the queue and then
  // waits in d_mdb. Append `b` at that moment, then let it go on.
  ASSERT_EQ(lock_wait(semid, SEM_MDBS), 0);
  const pid_t cleaner = zvtest::fork_child([] {
    clean_queue(40);
    return 0;
  });
  for (int i = 0; i < 5000 && sem_getncnt(semid, SEM_MDBS) != 1; ++i) ::usleep(1000);
  ASSERT_EQ(sem_getncnt(semid, SEM_MDBS), 1);
  EXPECT_EQ(shm->mdb[40], 0u);  // `a` is already off the queue
  ASSERT_EQ(queue_mdb(40, b), 0);
  lock_rel(semid, SEM_MDBS);
  EXPECT_EQ(zvtest::wait_child(cleaner), 0);
  EXPECT_EQ(shm->mdb[40], 0u);
  EXPECT_EQ(shm->free_m_cnt, 512);
  EXPECT_EQ(shm->free_b_cnt, 512);
}

TEST_F(SegmentTest, EmptyQueueGivesEverythingBack) {
  for (int i = 0; i < 3; ++i) {
    mdbrec* m = a_mdb();
    copy_to_buffers(pattern(100).data(), 100, m);
    queue_mdb(3, m);
  }
  empty_queue(3);
  EXPECT_EQ(shm->mdb[3], 0u);
  EXPECT_EQ(shm->free_m_cnt, 512);
  EXPECT_EQ(shm->free_b_cnt, 512);
}

// Everything a refused call could have touched: the whole segment.
std::vector<unsigned char> snapshot() {
  const auto* p = reinterpret_cast<const unsigned char*>(shm);
  return {p, p + sizeof *shm};
}

TEST_F(SegmentTest, QueueIndexesOutsideTheRangeAreRefusedEverywhere) {
  mdbrec* m = a_mdb();
  mdbrec* other = a_mdb();
  queue_mdb(5, other);
  const auto before = snapshot();
  for (const int q : {-1, 138, 139, 1000, INT_MIN, INT_MAX}) {
    SCOPED_TRACE(q);
    EXPECT_EQ(queue_mdb(q, m), -1);
    EXPECT_EQ(message_out(q, m), -1);
    EXPECT_EQ(dequeue_mdb(q), nullptr);
    EXPECT_EQ(recvmsg(q), nullptr);
    EXPECT_EQ(waitformsg(q), nullptr);
    clean_queue(q);
    empty_queue(q);
    EXPECT_EQ(sendtoq("text", q), -1);
    EXPECT_EQ(send_message("text", q, 201), -1);
    EXPECT_EQ(clear_output_buffer(q), -1);
    EXPECT_TRUE(snapshot() == before);
  }
  // A door whose input queue index is bad does not wait for an answer.
  zv::inq = 200;
  waitforempty(who);
  EXPECT_TRUE(snapshot() == before);
}

TEST_F(SegmentTest, ForeignBlocksAndBuffersAreRefused) {
  const auto before = snapshot();
  auto* mid_block = reinterpret_cast<mdbrec*>(reinterpret_cast<char*>(&shm->mdblist[3]) + 4);
  auto* mid_buffer = reinterpret_cast<buffer*>(reinterpret_cast<char*>(&shm->buflist[3]) + 8);
  mdbrec outside{};
  d_mdb(nullptr);
  d_mdb(mid_block);
  d_mdb(&outside);
  d_buf(nullptr);
  d_buf(mid_buffer);
  release_mdb(mid_block);
  release_buffers(mid_buffer);
  EXPECT_EQ(queue_mdb(5, nullptr), -1);
  EXPECT_EQ(queue_mdb(5, &outside), -1);
  EXPECT_EQ(copy_to_buffers("abc", 3, &outside), 0);
  EXPECT_TRUE(snapshot() == before);
}

TEST_F(SegmentTest, WithoutTheLockNothingIsTouched) {
  mdbrec* m = a_mdb();
  buffer* b = a_buf();
  queue_mdb(9, a_mdb());
  const int good = semid;
  const auto before = snapshot();
  semid = -1;  // every lock_wait fails
  EXPECT_EQ(a_mdb(), nullptr);
  EXPECT_EQ(a_buf(), nullptr);
  d_mdb(m);
  d_buf(b);
  EXPECT_EQ(queue_mdb(9, m), -1);
  EXPECT_EQ(dequeue_mdb(9), nullptr);
  clean_queue(9);
  EXPECT_EQ(copy_to_buffers("abc", 3, m), 0);
  semid = good;
  EXPECT_TRUE(snapshot() == before);
}

TEST_F(SegmentTest, AQueueThatLoopsIsNotWalkedForever) {
  mdbrec* a = a_mdb();
  mdbrec* b = a_mdb();
  a->fptr = to_addr(b);
  b->fptr = to_addr(a);  // corrupted: a cycle
  shm->mdb[11] = to_addr(a);
  mdbrec* c = a_mdb();
  EXPECT_EQ(queue_mdb(11, c), -1);
  EXPECT_EQ(sem_getval(semid, SEM_QUEUES), 1);  // lock given back
}

TEST_F(SegmentTest, WaitForMsgReturnsABlockThatArrivesLater) {
  mdbrec* m = a_mdb();
  const pid_t sender = zvtest::fork_child([m] {
    ::usleep(100000);
    return queue_mdb(20, m) == 0 ? 0 : 1;
  });
  EXPECT_EQ(waitformsg(20), m);
  EXPECT_EQ(zvtest::wait_child(sender), 0);
}

}  // namespace
