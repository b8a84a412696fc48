// semutils: semaphore wrappers over the host's set (key 6487) and the
// process helpers of doors: starting programs, waiting for them, signal
// catchers.
//
// The set has four semaphores (records.h): SEM_RUNNING (0 while the host
// runs), SEM_QUEUES (lock of the queue heads), SEM_MDBS (lock of the block
// pool) and SEM_BUFS (lock of the buffer pool). The locks hold 1 when free
// and 0 when held; they are taken and given back with SEM_UNDO, so the
// kernel gives back a lock whose holder ends.
#pragma once

namespace zv {

// ==== Semaphores (SEMAPHORES) ====
//
// Each wrapper returns its system call's result and prints nothing. Each
// semop carries exactly one operation. Locks are not recursive: a process
// holding SEM_QUEUES (hog) that queues or dequeues anything blocks on itself.

inline constexpr int SEM_CREATE_FLAGS = 944;  // IPC_CREAT | 0660
inline constexpr int SEM_UNDO_FLAG = 4096;    // SEM_UNDO

// semget(key, n, SEM_CREATE_FLAGS), then every semaphore 0..n-1 set to 1 in
// order. An existing set under the key is opened and reset to 1s (which also
// reads as "host not running"). Returns the identifier, or -1 (nothing set).
int sem_create(int key, int n);

// semget(key, n, 0): opens an existing set only. Returns the identifier, or
// -1 when there is none (nothing is created).
int sem_open(int key, int n);

// semctl SETVAL. Returns semctl's result (0, or -1).
int sem_setval(int id, int num, int value);

// semctl GETVAL. Returns the value, or -1.
int sem_getval(int id, int num);

// semctl GETPID: process id of the last process that operated on it, or -1.
int sem_getpid(int id, int num);

// semctl GETNCNT: processes waiting for the value to grow, or -1.
int sem_getncnt(int id, int num);

// semctl GETZCNT: processes waiting for the value to become 0, or -1.
int sem_getzcnt(int id, int num);

// Blocks until the semaphore holds 0 (one semop, operation 0, no flags), then
// returns sem_getval of it; the wait's own result is not looked at.
int sem_waitfor0(int id, int num);

// Takes a lock: semop -1 with SEM_UNDO, blocking while the value is 0. A wait
// interrupted by a signal (EINTR) is taken up again, so 0 means the lock is
// held. Returns 0, or -1 on any other failure (invalid id, removed set); the
// lock is then not held and the caller must not touch what it guards.
int lock_wait(int id, int num);

// Gives a lock back: semop +1 with SEM_UNDO. Never blocks. Returns 0 or -1.
int lock_rel(int id, int num);

// lock_wait(semid, SEM_QUEUES): holds the queue lock across a caller's own
// section; nothing may be queued or dequeued by anyone until nohog.
int hog();

// lock_rel(semid, SEM_QUEUES).
int nohog();

// ==== end SEMAPHORES ====

// ==== Door processes and signals (PROCESSES) ====

// ==== end PROCESSES ====

}  // namespace zv
