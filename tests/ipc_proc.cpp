// Door ids on the lines, wake-ups through the host, and starting a program
// while holding the queue lock, on a private host segment with real
// processes.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <unistd.h>

#include "abuf.h"
#include "segment_fixture.h"
#include "semutils.h"
#include "test_proc_util.h"
#include "zivevuva.h"

namespace {

using namespace zv;

constexpr int OWN_LINE = 3;
constexpr int LINES = 8;

class DoorProcesses : public zvtest::SegmentTest {
 protected:
  void SetUp() override {
    zvtest::SegmentTest::SetUp();
    if (HasFatalFailure()) return;
    zvtest::set_line_globals(OWN_LINE, LINES);
  }

  static void set_id(int line, const char* id) {
    std::memset(shm->user[line].doors_id, 0, sizeof shm->user[line].doors_id);
    std::memcpy(shm->user[line].doors_id, id, std::strlen(id));
  }

  // Forks a door that (after `prepare`, when given) blocks SIGUSR1, says it
  // is ready and sleeps in suspend(); it exits with 6 once woken. Returns
  // once it is ready: a wake-up from then on is kept until suspend takes it.
  static pid_t sleeping_door(int (*prepare)() = nullptr) {
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    const pid_t pid = zvtest::fork_child([&] {
      ::close(ready[0]);
      if (prepare != nullptr && prepare() != 0) return 1;
      sigset_t usr1;
      sigemptyset(&usr1);
      sigaddset(&usr1, SIGUSR1);
      ::sigprocmask(SIG_BLOCK, &usr1, nullptr);
      if (::write(ready[1], "r", 1) != 1) return 2;
      suspend();
      return 6;
    });
    ::close(ready[1]);
    char c = 0;
    if (::read(ready[0], &c, 1) != 1) c = 0;
    ::close(ready[0]);
    return c == 'r' ? pid : -1;
  }
  static int become_nobody() { return ::setuid(65534); }

  // Waits for one block on the request queue and returns a copy with its
  // text; gives it back.
  struct request {
    mdbrec block{};
    std::string text;
    bool got = false;
  };
  static request next_request(int ms = 10000) {
    request r;
    mdbrec* m = nullptr;
    zvproc::wait_until([&] { return (m = dequeue_mdb(REQUEST_QUEUE)) != nullptr; }, ms);
    if (m == nullptr) return r;
    r.got = true;
    r.block = *m;
    char buf[512];
    r.text.assign(buf, static_cast<std::size_t>(copy_from_buffers(buf, sizeof buf, m)));
    release_mdb(m);
    return r;
  }
};

TEST_F(DoorProcesses, SetTcbNameStoresAtMostNineCharacters) {
  struct row {
    const char* what;
    const char* name;
    std::string stored;  // the first ten bytes
  } rows[] = {
      {"13 characters are cut to 9", "LoadTavrDevel", std::string("LoadTavrD\0", 10)},
      {"short name, NULs to the tenth byte", "Tav", std::string("Tav\0\0\0\0\0\0\0", 10)},
      {"exactly 9", "123456789", std::string("123456789\0", 10)},
      {"null clears", nullptr, std::string(10, '\0')},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    std::memset(myuser->doors_id, 'Z', sizeof myuser->doors_id);
    set_tcb_name(r.name);
    EXPECT_EQ(std::string(myuser->doors_id, 10), r.stored);
    EXPECT_EQ(std::string(myuser->doors_id + 10, 11), std::string(11, 'Z')) << "bytes after the tenth stay";
    EXPECT_EQ(shm->user[OWN_LINE - 1].doors_id[0], '\0');
  }
}

TEST_F(DoorProcesses, CheckTcbNamesLooksAtTheOtherLinesWithoutRegardToCase) {
  struct row {
    const char* what;
    int line;
    const char* id;
    int found;
  } rows[] = {
      {"only the own line", OWN_LINE, "Tavrine", 0},
      {"another line", 0, "Tavrine", 1},
      {"other letter case", 7, "tAVRINE", 1},
      {"longer id", 1, "Tavrine2", 0},
      {"shorter id", 1, "Tavrin", 0},
      {"a line beyond numlines", LINES, "Tavrine", 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    for (int i = 0; i < MAX_LINES; ++i) set_id(i, "");
    set_id(r.line, r.id);
    EXPECT_EQ(check_tcb_names("Tavrine"), r.found);
  }
  // A field filled to its last byte, without its NUL, is read as 21 bytes.
  for (int i = 0; i < MAX_LINES; ++i) set_id(i, "");
  std::memset(shm->user[2].doors_id, 'q', sizeof shm->user[2].doors_id);
  std::memset(shm->user[2].u_tempbuf, 'q', sizeof shm->user[2].u_tempbuf);
  EXPECT_EQ(check_tcb_names(std::string(21, 'Q').c_str()), 1);
  EXPECT_EQ(check_tcb_names(std::string(22, 'Q').c_str()), 0);
  EXPECT_EQ(check_tcb_names(nullptr), 0);
}

TEST_F(DoorProcesses, WakeupOfAGoneProcessSendsNothing) {
  const pid_t gone = zvtest::fork_child([] { return 0; });
  ASSERT_EQ(zvtest::wait_child(gone), 0);
  for (int pid : {static_cast<int>(gone), 0, -1, -static_cast<int>(::getpgrp())}) wakeup(pid);
  EXPECT_EQ(shm->mdb[REQUEST_QUEUE], 0u);
  EXPECT_EQ(shm->free_m_cnt, NUM_MDBS);
}

TEST_F(DoorProcesses, WakeupSignalsASleepingDoorItself) {
  const pid_t door = sleeping_door();
  ASSERT_GT(door, 0);
  wakeup(door);
  EXPECT_EQ(zvtest::wait_child(door), 6);
  EXPECT_EQ(shm->mdb[REQUEST_QUEUE], 0u);
}

TEST_F(DoorProcesses, WakeupAsksTheHostWhenTheSystemRefuses) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs two other users' processes";
  const pid_t door = sleeping_door(become_nobody);
  ASSERT_GT(door, 0);
  mdbrec* next = from_addr<mdbrec>(shm->freemdb);  // the block a_mdb hands out
  next->length = 1234;
  const pid_t waker = zvtest::fork_child([door] {
    if (::setuid(65533) != 0) return 1;
    wakeup(door);
    return 0;
  });
  EXPECT_EQ(zvtest::wait_child(waker), 0);
  const request r = next_request();
  ASSERT_TRUE(r.got);
  EXPECT_EQ(r.block.command, MSG_WAKEUP);
  EXPECT_EQ(r.block.line, OWN_LINE);
  EXPECT_EQ(static_cast<std::uint16_t>(r.block.flag), static_cast<std::uint16_t>(door & 0xffff));
  EXPECT_EQ(r.block.length, 1234) << "length is not set";
  EXPECT_EQ(r.block.bufptr, 0u);
  EXPECT_EQ(shm->mdb[REQUEST_QUEUE], 0u);
  // Playing the host: it wakes the door.
  ::kill(door, SIGUSR1);
  EXPECT_EQ(zvtest::wait_child(door), 6);

  // With no block free the request is dropped.
  const pid_t door2 = sleeping_door(become_nobody);
  ASSERT_GT(door2, 0);
  while (a_mdb() != nullptr) {
  }
  const pid_t waker2 = zvtest::fork_child([door2] {
    if (::setuid(65533) != 0) return 1;
    wakeup(door2);
    return 0;
  });
  EXPECT_EQ(zvtest::wait_child(waker2), 0);
  EXPECT_EQ(shm->mdb[REQUEST_QUEUE], 0u);
  ::kill(door2, SIGUSR1);
  EXPECT_EQ(zvtest::wait_child(door2), 6);
}

TEST_F(DoorProcesses, AFailedStartUnderTheQueueLockNeitherHangsNorLosesTheLogLine) {
  zvproc::TempDir tmp;
  const std::string cmd = tmp.dir() + "tavrine][ " + tmp.dir();
  const pid_t loader = zvtest::fork_child([&] {
    ::alarm(20);  // a hang ends the test instead of the run
    if (hog() != 0) return 1;
    errno = 0;
    const int r = bbs_start_a_door(cmd.c_str());
    const int e = errno;
    // Still under the lock: the failed child cannot have queued its line.
    const bool quiet = shm->mdb[REQUEST_QUEUE] == 0;
    nohog();
    if (r != -1) return 2;
    if (e != ENOENT) return 3;
    if (!quiet) return 4;
    return 0;
  });
  EXPECT_EQ(zvtest::wait_child(loader), 0);
  const request r = next_request();
  ASSERT_TRUE(r.got) << "the failed child's log line never came";
  EXPECT_EQ(r.block.command, MSG_LOG);
  EXPECT_EQ(r.block.line, OWN_LINE);
  EXPECT_EQ(r.text, "Error starting door...");
  EXPECT_FALSE(next_request(300).got) << "only one log line";
  EXPECT_EQ(sem_getval(semid, SEM_QUEUES), 1);
}

TEST_F(DoorProcesses, AStartUnderTheQueueLockWaitsForTheProgram) {
  zvproc::TempDir tmp;
  const std::string out = tmp.dir() + "ran";
  const std::string cmd = "sh -c 'sleep 0.2; echo ran > " + out + "'";
  const pid_t loader = zvtest::fork_child([&] {
    ::alarm(20);
    if (hog() != 0) return 1;
    const int r = bbs_start_a_door(cmd.c_str());
    const bool done = zvproc::read_file(out) == "ran\n";
    nohog();
    return r > 0 && done ? 0 : 2;
  });
  EXPECT_EQ(zvtest::wait_child(loader), 0);
  EXPECT_EQ(shm->mdb[REQUEST_QUEUE], 0u);
}

}  // namespace
