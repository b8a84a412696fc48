// semutils: semaphore wrappers over the host's set (key 6487) and the
// process helpers of doors: starting programs, waiting for them, signal
// catchers.
#include "semutils.h"

#include <cerrno>
#include <sys/ipc.h>
#include <sys/sem.h>

#include "records.h"
#include "zivevuva.h"

namespace zv {

// ==== Semaphores (SEMAPHORES) ====

static_assert(SEM_CREATE_FLAGS == (IPC_CREAT | 0660), "semaphore create flags");
static_assert(SEM_UNDO_FLAG == SEM_UNDO, "SEM_UNDO");

namespace {

// The fourth argument of semctl; the caller defines it.
union semun {
  int val;
  struct semid_ds* buf;
  unsigned short* array;
};

int one_op(int id, int num, short op, short flags) {
  sembuf sb{};
  sb.sem_num = static_cast<unsigned short>(num);
  sb.sem_op = op;
  sb.sem_flg = flags;
  return ::semop(id, &sb, 1);
}

}  // namespace

int sem_create(int key, int n) {
  const int id = ::semget(static_cast<key_t>(key), n, SEM_CREATE_FLAGS);
  if (id == -1) return -1;
  for (int i = 0; i < n; ++i) sem_setval(id, i, 1);
  return id;
}

int sem_open(int key, int n) { return ::semget(static_cast<key_t>(key), n, 0); }

int sem_setval(int id, int num, int value) {
  semun arg{};
  arg.val = value;
  return ::semctl(id, num, SETVAL, arg);
}

int sem_getval(int id, int num) { return ::semctl(id, num, GETVAL); }
int sem_getpid(int id, int num) { return ::semctl(id, num, GETPID); }
int sem_getncnt(int id, int num) { return ::semctl(id, num, GETNCNT); }
int sem_getzcnt(int id, int num) { return ::semctl(id, num, GETZCNT); }

int sem_waitfor0(int id, int num) {
  (void)one_op(id, num, 0, 0);
  return sem_getval(id, num);
}

int lock_wait(int id, int num) {
  int r;
  do {
    r = one_op(id, num, -1, SEM_UNDO);
  } while (r == -1 && errno == EINTR);
  return r;
}

int lock_rel(int id, int num) { return one_op(id, num, 1, SEM_UNDO); }

int hog() { return lock_wait(semid, SEM_QUEUES); }
int nohog() { return lock_rel(semid, SEM_QUEUES); }

// ==== end SEMAPHORES ====

// ==== Door processes and signals (PROCESSES) ====

// ==== end PROCESSES ====

}  // namespace zv
