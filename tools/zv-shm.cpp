// zv-shm: the host side of the link from the command line.
//
//   zv-shm create         create the segment (key 6486) and the semaphore set
//                         (key 6487) when absent; existing ones are kept
//   zv-shm reset          reset pools, queue heads 0-128, rings and line
//                         positions (refused while the host is running)
//   zv-shm dump           the segment dump, exactly as the host prints it
//   zv-shm running on|off semaphore 0 to 0 (running) or 1 (not running)
//   zv-shm status         semaphores, free counts, queue depths, lines in use
//   zv-shm remove         remove the segment and the semaphore set
//
// Errors are one line on standard error; the exit status is 0 on success,
// 1 when something is missing or fails, 2 for a wrong command line.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include "abuf.h"
#include "records.h"
#include "semutils.h"
#include "zivevuva.h"

namespace {

using namespace zv;

constexpr const char* PROG = "zv-shm";

int usage() {
  std::fprintf(stderr, "usage: %s create | reset | dump | running on|off | status | remove\n", PROG);
  return 2;
}

int fail(const char* what) {
  std::fprintf(stderr, "%s: %s\n", PROG, what);
  return 1;
}

int fail_errno(const char* what, int err) {
  std::fprintf(stderr, "%s: %s: %s\n", PROG, what, std::strerror(err));
  return 1;
}

bool segment_exists() { return ::shmget(SEGMENT_KEY, 0, 0) != -1; }
bool semset_exists() { return ::semget(SEMSET_KEY, 0, 0) != -1; }

// Attaches the existing segment; prints the reason and returns false when
// there is none usable.
bool attach_existing() {
  const int r = segment_attach(false);
  if (r == 0) return true;
  const int err = errno;
  if (r == -2)
    fail_errno("cannot attach the segment at 0x80000000", err);
  else if (err == ENOENT)
    fail("no shared segment under key 6486 (run 'zv-shm create' first)");
  else if (err == EINVAL)
    fail("the segment under key 6486 is not 325332 bytes: not the host's");
  else
    fail_errno("cannot open the segment under key 6486", err);
  return false;
}

bool open_semaphores() {
  if (semset_open(false) == 0) return true;
  if (errno == ENOENT)
    fail("no semaphore set under key 6487 (run 'zv-shm create' first)");
  else
    fail_errno("cannot open the semaphore set under key 6487", errno);
  return false;
}

int cmd_create() {
  const bool had_segment = segment_exists();
  const bool had_set = semset_exists();
  if (const int r = segment_attach(true); r != 0) {
    const int err = errno;
    if (r == -1 && err == EINVAL) return fail("a segment under key 6486 exists with another size: not the host's");
    return fail_errno(r == -1 ? "cannot create the segment under key 6486" : "cannot attach the segment at 0x80000000",
                      err);
  }
  if (semset_open(true) != 0) return fail_errno("cannot create the semaphore set under key 6487", errno);
  std::printf("segment 6486 (%zu bytes at %lx): %s; semaphore set 6487: %s\n", SEGMENT_SIZE,
              static_cast<unsigned long>(to_addr(shm)), had_segment ? "exists" : "created",
              had_set ? "exists" : "created");
  return 0;
}

int cmd_reset() {
  if (!attach_existing()) return 1;
  if (semset_open(false) == 0 && sem_getval(semid, SEM_RUNNING) == 0)
    return fail("the host is running (semaphore 0 is 0): run 'zv-shm running off' first");
  clear_shared_mem();
  std::printf("reset: %d blocks and %d buffers free, queues 0-128 empty\n", shm->free_m_cnt, shm->free_b_cnt);
  return 0;
}

int cmd_dump() {
  if (!attach_existing()) return 1;
  show_shared_mem();
  return 0;
}

int cmd_running(const char* arg) {
  const bool on = std::strcmp(arg, "on") == 0;
  if (!on && std::strcmp(arg, "off") != 0) return usage();
  if (!open_semaphores()) return 1;
  if (sem_setval(semid, SEM_RUNNING, on ? 0 : 1) != 0) return fail_errno("cannot set semaphore 0", errno);
  std::printf("running: %s (semaphore 0 = %d)\n", on ? "on" : "off", sem_getval(semid, SEM_RUNNING));
  return 0;
}

// Text field of the segment, printed no further than its size.
std::string field(const char* p, std::size_t size) {
  std::string s(p, strnlen(p, size));
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7f) c = '?';
  return s;
}

// Takes the queue lock for at most a second: status must not hang behind a
// process that holds it.
bool try_queue_lock() {
  sembuf op{};
  op.sem_num = SEM_QUEUES;
  op.sem_op = -1;
  op.sem_flg = SEM_UNDO;
  timespec limit{1, 0};
  int r;
  do {
    r = ::semtimedop(semid, &op, 1, &limit);
  } while (r == -1 && errno == EINTR);
  return r == 0;
}

int cmd_status() {
  if (!attach_existing() || !open_semaphores()) return 1;
  const int running = sem_getval(semid, SEM_RUNNING);
  std::printf("semaphores: running=%d (%s) queues=%d blocks=%d buffers=%d\n", running,
              running == 0 ? "host running" : "host not running", sem_getval(semid, SEM_QUEUES),
              sem_getval(semid, SEM_MDBS), sem_getval(semid, SEM_BUFS));
  std::printf("free: %d of %d blocks, %d of %d buffers\n", shm->free_m_cnt, NUM_MDBS, shm->free_b_cnt, NUM_BUFFERS);

  int depth[NUM_QUEUES] = {};
  const bool locked = try_queue_lock();
  for (int q = 0; q < NUM_QUEUES; ++q)
    for (addr32 a = shm->mdb[q]; a != 0 && depth[q] <= NUM_MDBS; ++depth[q]) {
      const std::uintptr_t off = a - to_addr(&shm->mdblist[0]);
      if (a < to_addr(&shm->mdblist[0]) || off >= sizeof shm->mdblist || off % sizeof(mdbrec) != 0) break;
      a = from_addr<mdbrec>(a)->fptr;
    }
  if (locked) lock_rel(semid, SEM_QUEUES);
  int nonempty = 0;
  for (int q = 0; q < NUM_QUEUES; ++q)
    if (depth[q] > 0) {
      std::printf("queue %d: %d block%s\n", q, depth[q], depth[q] == 1 ? "" : "s");
      ++nonempty;
    }
  if (nonempty == 0) std::printf("queues: all empty\n");
  if (!locked) std::printf("(queue lock busy: depths read without it)\n");

  std::printf("lines: %d run by the host\n", shm->nchans);
  int in_use = 0;
  for (int i = 0; i < MAX_LINES; ++i) {
    const line_def_struct& l = shm->linctrl[i];
    if (l.active == 0) continue;
    ++in_use;
    std::printf("line %d: %s  caller \"%s\"  door \"%s\"\n", i, field(l.ttyname, sizeof l.ttyname).c_str(),
                field(shm->acct[i].acctname, sizeof shm->acct[i].acctname).c_str(),
                field(shm->user[i].doors_id, sizeof shm->user[i].doors_id).c_str());
  }
  if (in_use == 0) std::printf("lines: none in use\n");
  return 0;
}

int cmd_remove() {
  int status = 0;
  const int shmid = ::shmget(SEGMENT_KEY, 0, 0);
  const int id = ::semget(SEMSET_KEY, 0, 0);
  if (shmid == -1 && id == -1) return fail("nothing to remove: no segment under key 6486, no semaphore set under key 6487");
  if (shmid == -1)
    status = fail("no shared segment under key 6486");
  else if (::shmctl(shmid, IPC_RMID, nullptr) != 0)
    status = fail_errno("cannot remove the segment", errno);
  else
    std::printf("segment 6486 removed\n");
  if (id == -1)
    status = fail("no semaphore set under key 6487");
  else if (::semctl(id, 0, IPC_RMID) != 0)
    status = fail_errno("cannot remove the semaphore set", errno);
  else
    std::printf("semaphore set 6487 removed\n");
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string cmd = argv[1];
  if (cmd == "running") return argc == 3 ? cmd_running(argv[2]) : usage();
  if (argc != 2) return usage();
  if (cmd == "create") return cmd_create();
  if (cmd == "reset") return cmd_reset();
  if (cmd == "dump") return cmd_dump();
  if (cmd == "status") return cmd_status();
  if (cmd == "remove") return cmd_remove();
  return usage();
}
