#include "segment_fixture.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include "abuf.h"
#include "ipc_namespace.h"
#include "semutils.h"
#include "zivevuva.h"

namespace zvtest {

std::string create_segment() {
  const int r = zv::segment_attach(true);
  if (r != 0)
    return std::string(r == -1 ? "shmget: " : "shmat: ") + std::strerror(errno);
  if (zv::semset_open(true) != 0) return std::string("semget: ") + std::strerror(errno);
  for (int i = 0; i < zv::SEMSET_COUNT; ++i) zv::sem_setval(zv::semid, i, 1);
  std::memset(zv::shm->acct, 0, sizeof zv::shm->acct);
  std::memset(zv::shm->user, 0, sizeof zv::shm->user);
  std::memset(zv::shm->linctrl, 0, sizeof zv::shm->linctrl);
  for (auto& q : zv::shm->mdb) q = 0;
  zv::clear_shared_mem();
  set_line_globals(0);
  return "";
}

void destroy_segment() {
  if (zv::shm != nullptr) ::shmdt(zv::shm);
  const int id = ::shmget(zv::SEGMENT_KEY, 0, 0);
  if (id != -1) ::shmctl(id, IPC_RMID, nullptr);
  if (zv::semid != -1) ::semctl(zv::semid, 0, IPC_RMID);
  zv::shm = nullptr;
  zv::semid = -1;
  zv::acnt = zv::myacct = nullptr;
  zv::user = zv::myuser = nullptr;
  zv::cfg = nullptr;
  zv::who = zv::numlines = zv::inq = zv::outq = 0;
}

void set_line_globals(int line, int nchans) {
  zv::shm->nchans = nchans;
  zv::numlines = nchans;
  zv::who = line;
  zv::acnt = &zv::shm->acct[0];
  zv::user = &zv::shm->user[0];
  zv::myuser = &zv::shm->user[line];
  zv::myacct = &zv::shm->acct[line];
  zv::cfg = &zv::shm->cfg;
  zv::inq = zv::shm->user[line].door_inq;
  zv::outq = zv::shm->user[line].door_outq;
}

void set_host_running(bool running) { zv::sem_setval(zv::semid, zv::SEM_RUNNING, running ? 0 : 1); }

pid_t fork_child(const std::function<int()>& fn) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    int code = 99;
    code = fn();
    std::fflush(nullptr);
    ::_exit(code);
  }
  return pid;
}

int wait_child(pid_t pid) {
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &status, 0);
  } while (r == -1 && errno == EINTR);
  if (r != pid) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int queue_length(int q) {
  int n = 0;
  for (zv::addr32 a = zv::shm->mdb[q]; a != 0 && n <= zv::NUM_MDBS; a = zv::from_addr<zv::mdbrec>(a)->fptr) ++n;
  return n;
}

void SegmentTest::SetUp() {
  ZV_PRIVATE_IPC();
  const std::string err = create_segment();
  ASSERT_EQ(err, "") << "cannot create the test segment";
}

void SegmentTest::TearDown() { destroy_segment(); }

}  // namespace zvtest
