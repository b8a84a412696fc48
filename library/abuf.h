// abuf: message blocks, text buffers and queues in the shared segment, and
// the host-side creation, reset and dump of the segment.
//
// Pools and queues live in shared_mem_structure (records.h):
//   buflist[512]  buffer  (72 bytes: fptr, count, text[64]); free list
//                 headed by freebuf through fptr, counted by free_b_cnt;
//                 guarded by SEM_BUFS
//   mdblist[512]  mdbrec  (16 bytes: command, line, length, flag, bufptr,
//                 fptr); free list headed by freemdb through fptr, counted
//                 by free_m_cnt; guarded by SEM_MDBS
//   mdb[138]      queue heads; a queue is a list of blocks through fptr,
//                 first in, first out, no tail pointer; guarded by
//                 SEM_QUEUES (also the fptr links of queued blocks)
// All links are absolute segment addresses (to_addr/from_addr); 0 ends a
// chain. Both free lists are last in, first out.
//
// Every operation here reads the global shm and semid. A pool or queue
// operation holds its one semaphore from before it reads a head until after
// its last write, and never holds two. When the lock cannot be taken (an
// invalid or removed set; a signal only delays it) the operation touches
// nothing and reports failure as its contract says.
//
// Queue indexes must lie in 0..137. An index outside that range is refused
// by every function: nothing is read or written, and the function returns
// -1 (int results), a null block (block results) or does nothing (void).
// Blocks and buffers passed in must be members of the pools; a null or
// foreign pointer is refused the same way, and a link that leads outside the
// pools is taken as the end of its chain.
#pragma once

#include <cstdio>

#include "records.h"

namespace zv {

// True for the queue indexes 0..137.
constexpr bool valid_queue(int q) noexcept { return q >= 0 && q < NUM_QUEUES; }

// ---- Pools ----

// Takes a buffer off the free list (SEM_BUFS); its fptr and count become 0,
// its text is left as it was. Returns null when the pool is empty or the
// lock cannot be taken. Blocks only on the lock.
buffer* a_buf();

// Puts a buffer back at the head of the free list (SEM_BUFS). Refuses a
// pointer that is not a pool buffer.
void d_buf(buffer* b);

// Takes a block off the free list (SEM_MDBS); its fptr and bufptr become 0,
// command, line, length and flag keep what the previous use left. Returns
// null when the pool is empty or the lock cannot be taken.
mdbrec* a_mdb();

// Puts a block back at the head of the free list (SEM_MDBS); its buffers are
// not touched. Refuses a pointer that is not a pool block.
void d_mdb(mdbrec* m);

// Appends `length` bytes from `src` to the block's text chain, one a_buf per
// 64-byte piece, after the buffers it already carries. Stops when the buffer
// pool runs dry; pieces already linked stay. Returns the number of bytes
// stored (0 for length <= 0, a null source or a refused block).
int copy_to_buffers(const void* src, int length, mdbrec* m);

// Copies the block's text into `dst`, at most `room` bytes; a buffer whose
// count lies outside 1..64 after clipping to the room left is skipped. Writes
// no terminator. Returns the number of bytes copied (0 for a refused block).
int copy_from_buffers(void* dst, int room, const mdbrec* m);

// Gives back every buffer of the chain that starts at b.
void release_buffers(buffer* b);

// Gives back the block, the blocks linked after it through fptr, and all
// their buffers.
void release_mdb(mdbrec* m);

// ---- Queues ----

// Appends the block (and any blocks linked after it) at the tail of queue q
// under SEM_QUEUES. Returns lock_rel's result (0), or -1 when refused (bad
// queue index or block, lock not taken, a looping queue); the block is then
// not queued and still the caller's. Blocks on the lock.
int queue_mdb(int q, mdbrec* m);

// Same as queue_mdb.
int message_out(int q, mdbrec* m);

// Takes the first block off queue q under SEM_QUEUES; its fptr becomes 0.
// Returns null when the queue is empty, the index is refused or the lock
// cannot be taken.
mdbrec* dequeue_mdb(int q);

// Same as dequeue_mdb.
mdbrec* recvmsg(int q);

// Takes every block off queue q one at a time, blocks that others append
// meanwhile included, and gives each back with release_mdb.
void clean_queue(int q);

// Same as clean_queue.
void empty_queue(int q);

// ---- Host side: creating, resetting and showing the segment ----

// Finds (or, with create, creates with permissions 0660) the segment under
// SEGMENT_KEY and attaches it at SEGMENT_ADDR, setting shm. A segment whose
// size is not exactly SEGMENT_SIZE is not the host's and is refused (errno
// EINVAL). An existing segment is attached as it is. Returns 0, -1 when the
// segment cannot be found or created, -2 when it cannot be attached; errno
// tells why. Prints nothing.
int segment_attach(bool create);

// Opens the set under SEMSET_KEY or, with create, makes it when it does not
// exist (every semaphore 1); an existing set keeps its values. Sets semid.
// Returns 0, or -1 with errno. Prints nothing.
int semset_open(bool create);

// segment_attach(true); on failure prints "Error allocating shared mem
// struct : %d\n" (and the error text on stderr) or "Error attaching to
// shared memory. %d\n" and exits with status 0.
void shm_init();

// semset_open(true); on failure prints "Error attaching to Corvan
// semaphores.  Errno = %d\n" and exits with status 0.
void sem_init();

// Resets the ring positions, the per-line command positions of all 64
// lines, both pools (all 512 free, linked in address order) and queue heads
// 0..128 (129..137 keep their values). Takes no lock: only for host start-up,
// before any door runs. Needs shm.
void clear_shared_mem();

// Prints the segment's address, both free lists (pool address, head, and the
// head's link, 0 for an empty list) and the first block of every non-empty
// queue 0..128, on standard output or `out`. A diagnostic snapshot taken
// without locks. Needs shm.
void show_shared_mem();
void show_shared_mem(std::FILE* out);

}  // namespace zv
