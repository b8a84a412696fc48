// The host's semaphore set between real processes.
#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include "abuf.h"
#include "ipc_namespace.h"
#include "segment_fixture.h"
#include "semutils.h"
#include "zivevuva.h"

namespace {

using namespace zv;
using zvtest::SegmentTest;

// Polls until fn() holds or about 5 s pass.
template <class F>
bool eventually(F fn) {
  for (int i = 0; i < 5000; ++i) {
    if (fn()) return true;
    ::usleep(1000);
  }
  return fn();
}

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1;
}

TEST(Semaphores, CreateOpenAndResetToOnes) {
  ZV_PRIVATE_IPC();
  EXPECT_EQ(sem_open(SEMSET_KEY, 4), -1);
  EXPECT_EQ(::semget(SEMSET_KEY, 0, 0), -1) << "opening must not create";
  const int id = sem_create(SEMSET_KEY, 4);
  ASSERT_NE(id, -1);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(sem_getval(id, i), 1) << i;
  EXPECT_EQ(sem_open(SEMSET_KEY, 4), id);
  for (int i = 0; i < 4; ++i) sem_setval(id, i, 0);
  EXPECT_EQ(sem_create(SEMSET_KEY, 4), id) << "an existing set is opened";
  for (int i = 0; i < 4; ++i) EXPECT_EQ(sem_getval(id, i), 1) << i;
  semid_ds ds{};
  union { int val; semid_ds* buf; } arg{};
  arg.buf = &ds;
  ASSERT_EQ(::semctl(id, 0, IPC_STAT, arg), 0);
  EXPECT_EQ(ds.sem_perm.mode & 0777, 0660u);
  EXPECT_EQ(sem_getval(id, 4), -1);
  EXPECT_EQ(lock_wait(-1, 1), -1);
  ::semctl(id, 0, IPC_RMID);
}

TEST_F(SegmentTest, HeldLockBlocksAnotherProcessUntilReleased) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(lock_wait(semid, SEM_MDBS), 0);
  EXPECT_EQ(sem_getval(semid, SEM_MDBS), 0);
  const pid_t child = zvtest::fork_child([&] {
    if (lock_wait(semid, SEM_MDBS) != 0) return 1;
    (void)!::write(fds[1], "k", 1);
    return lock_rel(semid, SEM_MDBS) == 0 ? 0 : 2;
  });
  ASSERT_TRUE(eventually([] { return sem_getncnt(semid, SEM_MDBS) == 1; }));
  EXPECT_FALSE(readable(fds[0])) << "the child got a lock that was held";
  EXPECT_EQ(lock_rel(semid, SEM_MDBS), 0);
  char c = 0;
  EXPECT_EQ(::read(fds[0], &c, 1), 1);
  EXPECT_EQ(zvtest::wait_child(child), 0);
  EXPECT_EQ(sem_getval(semid, SEM_MDBS), 1);
  EXPECT_EQ(sem_getpid(semid, SEM_MDBS), child);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST_F(SegmentTest, LockOfAProcessThatEndsIsGivenBack) {
  struct row {
    const char* what;
    bool killed;
  } rows[] = {{"exit while holding", false}, {"killed while holding", true}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    int fds[2], go[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::pipe(go), 0);
    const pid_t child = zvtest::fork_child([&] {
      if (lock_wait(semid, SEM_BUFS) != 0) return 1;
      (void)!::write(fds[1], "k", 1);
      char g = 0;
      (void)!::read(go[0], &g, 1);  // holds the lock until told to end
      return 0;
    });
    char c = 0;
    ASSERT_EQ(::read(fds[0], &c, 1), 1);
    EXPECT_EQ(sem_getval(semid, SEM_BUFS), 0);
    if (r.killed)
      ::kill(child, SIGKILL);
    else
      (void)!::write(go[1], "g", 1);
    EXPECT_EQ(zvtest::wait_child(child), r.killed ? 128 + SIGKILL : 0);
    EXPECT_EQ(sem_getval(semid, SEM_BUFS), 1);
    EXPECT_NE(a_buf(), nullptr) << "the pool is usable again";
    for (int fd : {fds[0], fds[1], go[0], go[1]}) ::close(fd);
  }
}

int handler_fd = -1;
void on_usr1(int) { (void)!::write(handler_fd, "s", 1); }

TEST_F(SegmentTest, LockWaitInterruptedBySignalWaitsOn) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(lock_wait(semid, SEM_QUEUES), 0);
  const pid_t child = zvtest::fork_child([&] {
    handler_fd = fds[1];
    struct sigaction sa {};
    sa.sa_handler = on_usr1;  // no SA_RESTART; semop is never restarted anyway
    sigaction(SIGUSR1, &sa, nullptr);
    const int r = lock_wait(semid, SEM_QUEUES);
    if (r != 0) return 1;
    return sem_getval(semid, SEM_QUEUES) == 0 ? 0 : 2;
  });
  ASSERT_TRUE(eventually([] { return sem_getncnt(semid, SEM_QUEUES) == 1; }));
  ::kill(child, SIGUSR1);
  char c = 0;
  ASSERT_EQ(::read(fds[0], &c, 1), 1);  // the handler ran
  ASSERT_TRUE(eventually([] { return sem_getncnt(semid, SEM_QUEUES) == 1; }));
  int status = 0;
  EXPECT_EQ(::waitpid(child, &status, WNOHANG), 0) << "the child gave up its wait";
  lock_rel(semid, SEM_QUEUES);
  EXPECT_EQ(zvtest::wait_child(child), 0);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST_F(SegmentTest, WaitFor0ReturnsTheValueOnceItIsZero) {
  sem_setval(semid, SEM_RUNNING, 0);
  EXPECT_EQ(sem_waitfor0(semid, SEM_RUNNING), 0);
  sem_setval(semid, SEM_RUNNING, 1);
  const pid_t child = zvtest::fork_child([] { return sem_waitfor0(semid, SEM_RUNNING); });
  ASSERT_TRUE(eventually([] { return sem_getzcnt(semid, SEM_RUNNING) == 1; }));
  sem_setval(semid, SEM_RUNNING, 0);
  EXPECT_EQ(zvtest::wait_child(child), 0);
}

TEST_F(SegmentTest, HogKeepsOtherProcessesOffTheQueues) {
  mdbrec* m = a_mdb();
  ASSERT_EQ(hog(), 0);
  // Blocks and buffers may still be taken under hog.
  mdbrec* extra = a_mdb();
  EXPECT_NE(extra, nullptr);
  const pid_t child = zvtest::fork_child([m] { return queue_mdb(30, m) == 0 ? 0 : 1; });
  ASSERT_TRUE(eventually([] { return sem_getncnt(semid, SEM_QUEUES) == 1; }));
  EXPECT_EQ(shm->mdb[30], 0u);
  EXPECT_EQ(nohog(), 0);
  EXPECT_EQ(zvtest::wait_child(child), 0);
  EXPECT_EQ(shm->mdb[30], to_addr(m));
}

}  // namespace
