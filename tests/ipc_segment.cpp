// Host side of the segment: creation, reset and the dump.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include "abuf.h"
#include "ipc_namespace.h"
#include "segment_fixture.h"
#include "semutils.h"
#include "zivevuva.h"

namespace {

using namespace zv;
using zvtest::SegmentTest;

std::string dump() {
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* f = ::open_memstream(&data, &size);
  show_shared_mem(f);
  std::fclose(f);
  std::string s(data, size);
  std::free(data);
  return s;
}

// Runs fn in a child with stdout and stderr captured; returns exit status.
struct captured {
  int status;
  std::string out, err;
};
std::string read_all(int fd) {
  std::string s;
  char buf[256];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return s;
}
captured in_child(const std::function<int()>& fn) {
  int o[2], e[2];
  EXPECT_EQ(::pipe(o), 0);
  EXPECT_EQ(::pipe(e), 0);
  const pid_t pid = zvtest::fork_child([&] {
    ::dup2(o[1], 1);
    ::dup2(e[1], 2);
    ::close(o[0]);
    ::close(e[0]);
    return fn();
  });
  ::close(o[1]);
  ::close(e[1]);
  captured c{};
  c.out = read_all(o[0]);
  c.err = read_all(e[0]);
  c.status = zvtest::wait_child(pid);
  return c;
}

TEST_F(SegmentTest, DumpRightAfterResetShowsTheStartingAddresses) {
  EXPECT_EQ(dump(),
            "Shared memory at 80000000\n"
            "MDBS at 80035a24,  FREE = 80035a24, link = 80035a34\n"
            "Buffer at 8002ca1c, FREE = 8002ca1c, link = 8002ca64\n");
}

TEST_F(SegmentTest, DumpShowsEmptyFreeListsWithLinkZeroAndQueueHeadsUpTo128) {
  for (int i = 0; i < NUM_MDBS; ++i) ASSERT_NE(a_mdb(), nullptr);
  for (int i = 0; i < NUM_BUFFERS; ++i) ASSERT_NE(a_buf(), nullptr);
  // Queue heads set by hand: first block of queues 5 and 128 shown, 130 not.
  shm->mdblist[7].command = 201;
  shm->mdblist[7].fptr = to_addr(&shm->mdblist[8]);
  shm->mdblist[9].command = -218;
  shm->mdb[5] = to_addr(&shm->mdblist[7]);
  shm->mdb[128] = to_addr(&shm->mdblist[9]);
  shm->mdb[130] = to_addr(&shm->mdblist[10]);
  EXPECT_EQ(dump(),
            "Shared memory at 80000000\n"
            "MDBS at 80035a24,  FREE = 0, link = 0\n"
            "Buffer at 8002ca1c, FREE = 0, link = 0\n"
            "MDB on queue 5,  mdb=80035a94, command = 201\n"
            "MDB on queue 128,  mdb=80035ab4, command = -218\n");
}

TEST_F(SegmentTest, ResetRethreadsPoolsAndClearsPositionsOnly) {
  // Disturb everything the reset touches and some things it must not.
  for (int i = 0; i < 40; ++i) a_mdb();
  for (int i = 0; i < 40; ++i) a_buf();
  shm->buflist[3].count = 17;
  shm->buflist[3].text[0] = 'k';
  shm->mdblist[4].command = 222;
  shm->monitor_tail = 11;
  shm->log_tail = 12;
  shm->monitor_line = 13;
  shm->nchans = 14;
  shm->log_buf[5] = 'L';
  for (auto& l : shm->linctrl) l.cmdhead = l.cmdtail = l.incmdbyte = 9;
  shm->linctrl[63].pid = 1234;
  for (int q = 0; q < NUM_QUEUES; ++q) shm->mdb[q] = 0x80000000u + static_cast<addr32>(q);

  clear_shared_mem();

  EXPECT_EQ(shm->monitor_tail, 0);
  EXPECT_EQ(shm->log_tail, 0);
  for (const auto& l : shm->linctrl) {
    EXPECT_EQ(l.cmdhead, 0);
    EXPECT_EQ(l.cmdtail, 0);
    EXPECT_EQ(l.incmdbyte, 0);
  }
  EXPECT_EQ(shm->free_b_cnt, 512);
  EXPECT_EQ(shm->free_m_cnt, 512);
  for (int i = 0; i < 511; ++i) {
    ASSERT_EQ(shm->buflist[i].fptr, to_addr(&shm->buflist[i + 1]));
    ASSERT_EQ(shm->mdblist[i].fptr, to_addr(&shm->mdblist[i + 1]));
  }
  EXPECT_EQ(shm->buflist[511].fptr, 0u);
  EXPECT_EQ(shm->mdblist[511].fptr, 0u);
  for (int q = 0; q <= 128; ++q) EXPECT_EQ(shm->mdb[q], 0u) << q;
  for (int q = 129; q < NUM_QUEUES; ++q) EXPECT_EQ(shm->mdb[q], 0x80000000u + static_cast<addr32>(q)) << q;
  // Left alone.
  EXPECT_EQ(shm->buflist[3].count, 17);
  EXPECT_EQ(shm->buflist[3].text[0], 'k');
  EXPECT_EQ(shm->mdblist[4].command, 222);
  EXPECT_EQ(shm->monitor_line, 13);
  EXPECT_EQ(shm->nchans, 14);
  EXPECT_EQ(shm->log_buf[5], 'L');
  EXPECT_EQ(shm->linctrl[63].pid, 1234);
  // First allocations after a reset come in address order.
  EXPECT_EQ(a_mdb(), &shm->mdblist[0]);
  EXPECT_EQ(a_mdb(), &shm->mdblist[1]);
  EXPECT_EQ(a_buf(), &shm->buflist[0]);
}

TEST_F(SegmentTest, InitOfAnExistingSegmentAndSetKeepsContentsAndValues) {
  std::strcpy(shm->version, "marker");
  sem_setval(semid, SEM_RUNNING, 0);
  const int first_semid = semid;
  const captured c = in_child([&] {
    ::shmdt(shm);  // the child must attach anew, at the same address
    shm = nullptr;
    semid = -1;
    shm_init();
    sem_init();
    const bool ok = shm == from_addr<shared_mem_structure>(SEGMENT_ADDR) &&
                    std::strcmp(shm->version, "marker") == 0 && semid == first_semid &&
                    sem_getval(semid, SEM_RUNNING) == 0;
    return ok ? 0 : 1;
  });
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.out, "");
}

// Without the fixture: an IPC namespace of the test's own making.
TEST(SegmentInit, CreatesSegmentAndSetWhenAbsent) {
  ZV_PRIVATE_IPC();
  const captured c = in_child([] {
    shm_init();
    sem_init();
    if (shm != from_addr<shared_mem_structure>(SEGMENT_ADDR)) return 1;
    shmid_ds ds{};
    if (::shmctl(::shmget(SEGMENT_KEY, 0, 0), IPC_STAT, &ds) != 0) return 2;
    if (ds.shm_segsz != SEGMENT_SIZE || (ds.shm_perm.mode & 0777) != 0660) return 3;
    for (int i = 0; i < 4; ++i)
      if (sem_getval(semid, i) != 1) return 4;
    return 0;
  });
  EXPECT_EQ(c.status, 0);
  ::shmctl(::shmget(SEGMENT_KEY, 0, 0), IPC_RMID, nullptr);
  ::semctl(::semget(SEMSET_KEY, 0, 0), 0, IPC_RMID);
}

TEST(SegmentInit, FailuresPrintTheHostMessagesAndExitZero) {
  ZV_PRIVATE_IPC();
  // A segment of another size under the key is not the host's: smaller ones
  // fail in shmget, larger ones are refused as well.
  for (const std::size_t size : {std::size_t{100}, std::size_t{400000}}) {
    SCOPED_TRACE(size);
    const int id = ::shmget(SEGMENT_KEY, size, IPC_CREAT | 0660);
    ASSERT_NE(id, -1);
    const captured c = in_child([] {
      shm_init();
      return 9;
    });
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.out, "Error allocating shared mem struct : 22\n");
    EXPECT_EQ(c.err, "Error allocating shared mem struct : 22: Invalid argument\n");
    ::shmctl(id, IPC_RMID, nullptr);
  }
  {
    // Something else already mapped at the segment's address.
    const captured c = in_child([] {
      void* p = ::mmap(reinterpret_cast<void*>(SEGMENT_ADDR), 4096, PROT_READ,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
      if (p == MAP_FAILED) return 8;
      shm_init();
      return 9;
    });
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.out, "Error attaching to shared memory. 22\n");
    ::shmctl(::shmget(SEGMENT_KEY, 0, 0), IPC_RMID, nullptr);
  }
  {
    // A set under the key with too few semaphores can be neither opened nor made.
    const int id = ::semget(SEMSET_KEY, 2, IPC_CREAT | 0660);
    ASSERT_NE(id, -1);
    const captured c = in_child([] {
      sem_init();
      return 9;
    });
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.out, "Error attaching to Corvan semaphores.  Errno = 22\n");
    ::semctl(id, 0, IPC_RMID);
  }
}

}  // namespace
