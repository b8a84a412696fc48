// abuf: message blocks, text buffers and queues in the shared segment, and
// the host-side creation, reset and dump of the segment.
//
// Layout of the records used here (see records.h):
//   buffer  0 fptr (address), 4 count (int32), 8 text[64]        72 bytes
//   mdbrec  0 command, 2 line, 4 length, 6 flag (int16),
//           8 bufptr (address), 12 fptr (address)               16 bytes
#include "abuf.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>

#include "semutils.h"
#include "zivevuva.h"

namespace zv {

namespace {

// Holds one lock of the set for a scope. ok() is false when it could not be
// taken; then nothing guarded may be touched.
class held_lock {
 public:
  explicit held_lock(int num) : num_(num), ok_(lock_wait(semid, num) == 0) {}
  ~held_lock() {
    if (ok_) lock_rel(semid, num_);
  }
  held_lock(const held_lock&) = delete;
  held_lock& operator=(const held_lock&) = delete;
  bool ok() const noexcept { return ok_; }
  // Gives the lock back early and returns lock_rel's result.
  int release() {
    ok_ = false;
    return lock_rel(semid, num_);
  }

 private:
  int num_;
  bool ok_;
};

// Membership of the pools: a pointer is accepted only when it names an
// element of the pool exactly.
template <class T, std::size_t N>
T* member_of(T (&pool)[N], std::uintptr_t p) noexcept {
  const auto base = reinterpret_cast<std::uintptr_t>(&pool[0]);
  if (p < base) return nullptr;
  const std::uintptr_t off = p - base;
  if (off >= sizeof pool || off % sizeof(T) != 0) return nullptr;
  return &pool[off / sizeof(T)];
}

mdbrec* mdb_ptr(const void* p) noexcept {
  if (shm == nullptr || p == nullptr) return nullptr;
  return member_of(shm->mdblist, reinterpret_cast<std::uintptr_t>(p));
}
buffer* buf_ptr(const void* p) noexcept {
  if (shm == nullptr || p == nullptr) return nullptr;
  return member_of(shm->buflist, reinterpret_cast<std::uintptr_t>(p));
}
// Follows a link; 0 and links outside the pool give null.
mdbrec* mdb_at(addr32 a) noexcept { return a == 0 ? nullptr : mdb_ptr(from_addr<mdbrec>(a)); }
buffer* buf_at(addr32 a) noexcept { return a == 0 ? nullptr : buf_ptr(from_addr<buffer>(a)); }

// The last buffer of a block's chain, or null when it has none.
buffer* chain_tail(const mdbrec* m) noexcept {
  buffer* b = buf_at(m->bufptr);
  if (b == nullptr) return nullptr;
  for (int steps = 0; steps < NUM_BUFFERS; ++steps) {
    buffer* next = buf_at(b->fptr);
    if (next == nullptr) break;
    b = next;
  }
  return b;
}

}  // namespace

// ---- Pools ----

buffer* a_buf() {
  if (shm == nullptr) return nullptr;
  held_lock lock(SEM_BUFS);
  if (!lock.ok()) return nullptr;
  buffer* b = buf_at(shm->freebuf);
  if (b == nullptr) return nullptr;
  shm->freebuf = b->fptr;
  b->fptr = 0;
  b->count = 0;
  --shm->free_b_cnt;
  return b;
}

void d_buf(buffer* b) {
  b = buf_ptr(b);
  if (b == nullptr) return;
  held_lock lock(SEM_BUFS);
  if (!lock.ok()) return;
  b->fptr = shm->freebuf;
  shm->freebuf = to_addr(b);
  ++shm->free_b_cnt;
}

mdbrec* a_mdb() {
  if (shm == nullptr) return nullptr;
  held_lock lock(SEM_MDBS);
  if (!lock.ok()) return nullptr;
  mdbrec* m = mdb_at(shm->freemdb);
  if (m == nullptr) return nullptr;
  shm->freemdb = m->fptr;
  --shm->free_m_cnt;
  m->fptr = 0;
  m->bufptr = 0;
  return m;
}

void d_mdb(mdbrec* m) {
  m = mdb_ptr(m);
  if (m == nullptr) return;
  held_lock lock(SEM_MDBS);
  if (!lock.ok()) return;
  m->fptr = shm->freemdb;
  shm->freemdb = to_addr(m);
  ++shm->free_m_cnt;
}

int copy_to_buffers(const void* src, int length, mdbrec* m) {
  m = mdb_ptr(m);
  if (m == nullptr || length <= 0 || src == nullptr) return 0;
  const auto* from = static_cast<const std::uint8_t*>(src);
  buffer* tail = chain_tail(m);
  int stored = 0;
  while (length > 0) {
    const int n = length < BUFFER_TEXT ? length : BUFFER_TEXT;
    length -= n;
    buffer* b = a_buf();
    if (b == nullptr) break;
    b->count = n;
    std::memcpy(b->text, from + stored, static_cast<std::size_t>(n));
    if (tail != nullptr)
      tail->fptr = to_addr(b);
    else
      m->bufptr = to_addr(b);
    tail = b;
    stored += n;
  }
  return stored;
}

int copy_from_buffers(void* dst, int room, const mdbrec* m) {
  m = mdb_ptr(m);
  if (m == nullptr || dst == nullptr) return 0;
  auto* to = static_cast<std::uint8_t*>(dst);
  int copied = 0;
  const buffer* b = buf_at(m->bufptr);
  for (int steps = 0; b != nullptr && room > 0 && steps < NUM_BUFFERS; ++steps) {
    const int n = b->count < room ? b->count : room;
    if (n >= 1 && n <= BUFFER_TEXT) {
      std::memcpy(to + copied, b->text, static_cast<std::size_t>(n));
      copied += n;
      room -= n;
    }
    b = buf_at(b->fptr);
  }
  return copied;
}

void release_buffers(buffer* b) {
  b = buf_ptr(b);
  for (int steps = 0; b != nullptr && steps < NUM_BUFFERS; ++steps) {
    buffer* next = buf_at(b->fptr);  // read before d_buf overwrites it
    d_buf(b);
    b = next;
  }
}

void release_mdb(mdbrec* m) {
  m = mdb_ptr(m);
  for (int steps = 0; m != nullptr && steps < NUM_MDBS; ++steps) {
    if (m->bufptr != 0) release_buffers(buf_at(m->bufptr));
    mdbrec* next = mdb_at(m->fptr);
    d_mdb(m);
    m = next;
  }
}

// ---- Queues ----

int queue_mdb(int q, mdbrec* m) {
  if (!valid_queue(q) || shm == nullptr) return -1;
  m = mdb_ptr(m);
  if (m == nullptr) return -1;
  held_lock lock(SEM_QUEUES);
  if (!lock.ok()) return -1;
  mdbrec* last = mdb_at(shm->mdb[q]);
  if (last == nullptr) {
    shm->mdb[q] = to_addr(m);
    return lock.release();
  }
  for (int steps = 0;; ++steps) {
    if (steps >= NUM_MDBS) return -1;  // a queue longer than the pool loops
    mdbrec* next = mdb_at(last->fptr);
    if (next == nullptr) break;
    last = next;
  }
  last->fptr = to_addr(m);
  return lock.release();
}

int message_out(int q, mdbrec* m) { return queue_mdb(q, m); }

mdbrec* dequeue_mdb(int q) {
  if (!valid_queue(q) || shm == nullptr) return nullptr;
  held_lock lock(SEM_QUEUES);
  if (!lock.ok()) return nullptr;
  mdbrec* m = mdb_at(shm->mdb[q]);
  if (m == nullptr) return nullptr;
  shm->mdb[q] = m->fptr;
  m->fptr = 0;
  return m;
}

mdbrec* recvmsg(int q) { return dequeue_mdb(q); }

void clean_queue(int q) {
  if (!valid_queue(q)) return;
  while (mdbrec* m = dequeue_mdb(q)) release_mdb(m);
}

void empty_queue(int q) { clean_queue(q); }

// ---- Host side ----

int segment_attach(bool create) {
  const int flags = SEGMENT_PERMS | (create ? IPC_CREAT : 0);
  const int id = ::shmget(static_cast<key_t>(SEGMENT_KEY), SEGMENT_SIZE, flags);
  if (id == -1) return -1;
  shmid_ds ds{};
  if (::shmctl(id, IPC_STAT, &ds) == 0 && ds.shm_segsz != SEGMENT_SIZE) {
    errno = EINVAL;
    return -1;
  }
  void* p = ::shmat(id, reinterpret_cast<void*>(SEGMENT_ADDR), 0);
  if (p == reinterpret_cast<void*>(-1)) return -2;
  shm = static_cast<shared_mem_structure*>(p);
  return 0;
}

int semset_open(bool create) {
  semid = sem_open(SEMSET_KEY, SEMSET_COUNT);
  if (semid == -1 && create) semid = sem_create(SEMSET_KEY, SEMSET_COUNT);
  return semid == -1 ? -1 : 0;
}

void shm_init() {
  const int r = segment_attach(true);
  if (r == 0) return;
  const int err = errno;
  if (r == -1) {
    std::printf("Error allocating shared mem struct : %d\n", err);
    std::fflush(stdout);
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "Error allocating shared mem struct : %d", err);
    errno = err;
    std::perror(prefix);
  } else {
    std::printf("Error attaching to shared memory. %d\n", err);
  }
  std::exit(0);
}

void sem_init() {
  if (semset_open(true) == 0) return;
  std::printf("Error attaching to Corvan semaphores.  Errno = %d\n", errno);
  std::exit(0);
}

void clear_shared_mem() {
  if (shm == nullptr) return;
  shm->monitor_tail = 0;
  shm->log_tail = 0;
  for (line_def_struct& l : shm->linctrl) {
    l.incmdbyte = 0;
    l.cmdhead = 0;
    l.cmdtail = 0;
  }
  for (int i = 0; i < NUM_BUFFERS - 1; ++i) shm->buflist[i].fptr = to_addr(&shm->buflist[i + 1]);
  shm->buflist[NUM_BUFFERS - 1].fptr = 0;
  shm->freebuf = to_addr(&shm->buflist[0]);
  shm->free_b_cnt = NUM_BUFFERS;
  for (int i = 0; i < NUM_MDBS - 1; ++i) shm->mdblist[i].fptr = to_addr(&shm->mdblist[i + 1]);
  shm->mdblist[NUM_MDBS - 1].fptr = 0;
  shm->freemdb = to_addr(&shm->mdblist[0]);
  shm->free_m_cnt = NUM_MDBS;
  for (int q = 0; q <= REQUEST_QUEUE; ++q) shm->mdb[q] = 0;
}

void show_shared_mem() { show_shared_mem(stdout); }

void show_shared_mem(std::FILE* out) {
  if (shm == nullptr || out == nullptr) return;
  const mdbrec* fm = mdb_at(shm->freemdb);
  const buffer* fb = buf_at(shm->freebuf);
  std::fprintf(out, "Shared memory at %lx\n", static_cast<unsigned long>(to_addr(shm)));
  std::fprintf(out, "MDBS at %lx,  FREE = %lx, link = %lx\n",
               static_cast<unsigned long>(to_addr(&shm->mdblist[0])),
               static_cast<unsigned long>(shm->freemdb),
               static_cast<unsigned long>(fm != nullptr ? fm->fptr : 0));
  std::fprintf(out, "Buffer at %lx, FREE = %lx, link = %lx\n",
               static_cast<unsigned long>(to_addr(&shm->buflist[0])),
               static_cast<unsigned long>(shm->freebuf),
               static_cast<unsigned long>(fb != nullptr ? fb->fptr : 0));
  for (int q = 0; q <= REQUEST_QUEUE; ++q) {
    const addr32 head = shm->mdb[q];
    if (head == 0) continue;
    const mdbrec* m = mdb_at(head);
    std::fprintf(out, "MDB on queue %d,  mdb=%lx, command = %d\n", q,
                 static_cast<unsigned long>(head), m != nullptr ? static_cast<int>(m->command) : 0);
  }
}

}  // namespace zv
