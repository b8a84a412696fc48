// Many processes on the pools and queues at once: 6 senders, 2 drainers.
//
// Each sender sends ZV_STRESS_MESSAGES messages (20000 unless the
// environment says otherwise, e.g. under valgrind) of 0..600 bytes derived
// from its number and the message's sequence number, alternating between two
// queues. Each drainer empties one queue and checks every message: whole,
// uncorrupted, and in its sender's order. At the end every block and buffer
// is back in its pool.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include "abuf.h"
#include "segment_fixture.h"
#include "zivevuva.h"

namespace {

using namespace zv;

constexpr int SENDERS = 6;
constexpr int MAX_LEN = 600;
constexpr int QUEUES[2] = {100, 101};
constexpr int MAX_MESSAGES = 30000;  // the sequence number travels in an int16

int message_count() {
  const char* env = std::getenv("ZV_STRESS_MESSAGES");
  const int n = env != nullptr ? std::atoi(env) : 20000;
  return n < 1 ? 1 : (n > MAX_MESSAGES ? MAX_MESSAGES : n);
}

std::uint8_t content(int sender, int seq, int i) {
  std::uint32_t h = static_cast<std::uint32_t>(sender) * 0x9e3779b1u ^ static_cast<std::uint32_t>(seq) * 0x85ebca6bu;
  h ^= static_cast<std::uint32_t>(i) * 0xc2b2ae35u;
  h ^= h >> 15;
  return static_cast<std::uint8_t>(h);
}

int queue_of(int sender, int seq) { return (sender + seq) % 2; }

// Results shared by the processes (an anonymous shared mapping).
struct results {
  std::atomic<int> errors;
  std::atomic<int> retries;  // dry pools and short stores met by senders
  char first_error[200];
  std::uint8_t seen[SENDERS][MAX_MESSAGES];
};

void report(results* r, const char* what, int sender, int seq) {
  if (r->errors.fetch_add(1) == 0)
    std::snprintf(r->first_error, sizeof r->first_error, "%s (sender %d, seq %d)", what, sender, seq);
}

int run_sender(int s, int n, results* r) {
  std::mt19937 rng(static_cast<unsigned>(s) + 1);
  std::uint8_t text[MAX_LEN];
  for (int seq = 0; seq < n; ++seq) {
    const int len = static_cast<int>(rng() % (MAX_LEN + 1));
    for (int i = 0; i < len; ++i) text[i] = content(s, seq, i);
    for (;;) {
      mdbrec* m = a_mdb();
      if (m == nullptr) {
        r->retries.fetch_add(1, std::memory_order_relaxed);
        ::usleep(5000);
        continue;
      }
      if (copy_to_buffers(text, len, m) != len) {
        release_mdb(m);
        r->retries.fetch_add(1, std::memory_order_relaxed);
        ::usleep(5000);
        continue;
      }
      m->command = MSG_OUTPUT;
      m->line = static_cast<std::int16_t>(s);
      m->length = static_cast<std::int16_t>(seq);
      m->flag = static_cast<std::int16_t>(len);
      if (queue_mdb(QUEUES[queue_of(s, seq)], m) != 0) {
        report(r, "queue_mdb failed", s, seq);
        return 1;
      }
      break;
    }
  }
  return 0;
}

int run_drainer(int d, int n, results* r) {
  int expected = 0;
  int next[SENDERS];
  for (int s = 0; s < SENDERS; ++s) {
    next[s] = queue_of(s, 0) == d ? 0 : 1;
    for (int seq = next[s]; seq < n; seq += 2) ++expected;
  }
  std::uint8_t out[MAX_LEN + 64];
  time_t last_progress = std::time(nullptr);
  for (int got = 0; got < expected;) {
    mdbrec* m = dequeue_mdb(QUEUES[d]);
    if (m == nullptr) {
      if (std::time(nullptr) - last_progress > 60) {
        report(r, "drainer starved", -1, got);
        return 1;
      }
      ::usleep(100);
      continue;
    }
    last_progress = std::time(nullptr);
    ++got;
    const int s = m->line;
    const int seq = static_cast<std::uint16_t>(m->length);
    const int len = m->flag;
    if (m->command != MSG_OUTPUT || s < 0 || s >= SENDERS || seq >= n || len < 0 || len > MAX_LEN) {
      report(r, "bad block fields", s, seq);
      release_mdb(m);
      continue;
    }
    if (seq != next[s]) report(r, "out of order", s, seq);
    next[s] = seq + 2;
    std::atomic_ref<std::uint8_t>(r->seen[s][seq]).fetch_add(1);
    const int copied = copy_from_buffers(out, sizeof out, m);
    if (copied != len) report(r, "wrong length", s, seq);
    for (int i = 0; i < copied && i < len; ++i)
      if (out[i] != content(s, seq, i)) {
        report(r, "corrupted text", s, seq);
        break;
      }
    release_mdb(m);
  }
  return 0;
}

using Stress = zvtest::SegmentTest;

TEST_F(Stress, SixSendersTwoDrainersEveryMessageArrivesWholeAndInOrder) {
  const int n = message_count();
  void* mem = ::mmap(nullptr, sizeof(results), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  auto* r = new (mem) results{};

  pid_t pids[SENDERS + 2];
  for (int d = 0; d < 2; ++d) pids[d] = zvtest::fork_child([=] { return run_drainer(d, n, r); });
  for (int s = 0; s < SENDERS; ++s) pids[2 + s] = zvtest::fork_child([=] { return run_sender(s, n, r); });
  for (pid_t p : pids) EXPECT_EQ(zvtest::wait_child(p), 0);

  EXPECT_EQ(r->errors.load(), 0) << r->first_error;
  int missing = 0, doubled = 0;
  for (int s = 0; s < SENDERS; ++s)
    for (int seq = 0; seq < n; ++seq) {
      missing += r->seen[s][seq] == 0;
      doubled += r->seen[s][seq] > 1;
    }
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(doubled, 0);
  EXPECT_EQ(shm->free_m_cnt, 512);
  EXPECT_EQ(shm->free_b_cnt, 512);
  EXPECT_EQ(shm->mdb[QUEUES[0]], 0u);
  EXPECT_EQ(shm->mdb[QUEUES[1]], 0u);
  std::printf("%d messages, %d sender retries on a dry pool\n", SENDERS * n, r->retries.load());
  ::munmap(mem, sizeof(results));
}

}  // namespace
