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

#include <csignal>

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
//
// Starting programs from a command line, waiting for them, sleeping until a
// SIGUSR1, and the signal catchers. Signals: SIGUSR1 wakes a door sleeping
// in suspend() and is ignored once it has returned; SIGCHLD is caught by
// __child_signal_handler from the first load_a_door on; SIGALRM is never
// installed here (__alarm_signal_handler is offered for a door that wants
// it). The functions that need the segment (wakeup, check_tcb_names,
// set_tcb_name) live in zivevuva.h.
//
// A command line is a text of at most CMDLINE_MAX characters, split into at
// most CMDLINE_WORDS words:
//   - blanks (the space character only; a tab is an ordinary character)
//     separate words; leading and trailing blanks make no word;
//   - a word that begins with ' or " runs to the next occurrence of the same
//     quote, which ends it (characters right behind it begin the next word);
//     the quotes are not part of the word; without a closing quote the word
//     runs to the end of the line, blanks included; "" is an empty word;
//   - a quote inside a word is an ordinary character.

inline constexpr int CMDLINE_MAX = 255;   // characters of a command line
inline constexpr int CMDLINE_WORDS = 19;  // words; the argument list has one more slot for its null
inline constexpr int CMDLINE_BUF = CMDLINE_MAX + 1;

// Set to 1 by __user_signal_handler, cleared by suspend() before it waits.
extern volatile sig_atomic_t got_user_signal;

// Copies `command` into `copy` and splits the copy in place into `argv`
// (words, then a null). Returns the number of words (0 for a line of blanks
// only), or -1 when the line is longer than CMDLINE_MAX characters or holds
// more than CMDLINE_WORDS words (argv[0] is then null and nothing may be
// run from it). A null command counts as empty. Never blocks.
int split_command_line(const char* command, char (&copy)[CMDLINE_BUF],
                       char* (&argv)[CMDLINE_WORDS + 1]);

// Starts the program named by the first word of `command_line` (searched in
// PATH when it holds no "/") with all words as its arguments, in a child
// process. The child gets SIGUSR1, SIGCHLD and SIGALRM back at their default
// and an empty signal mask before the program runs. Installs
// __child_signal_handler for SIGCHLD (also when it fails).
// Returns the child's process id once the program runs (an empty command
// line gives a child that ends at once, silently). Returns -1 with errno set
// when no process could be created, when the line is too long or has too
// many words (E2BIG, nothing started), and when the program could not be
// run (errno from execvp): that child sends "Error starting door..." to the
// host's log and ends by itself, so the caller must not wait for it and may
// hold the queue lock (hog) meanwhile. Blocks only until the child has run
// its program or failed to.
int load_a_door(const char* command_line);

// Waits for any child process to end and reaps it; a wait cut short by a
// signal is taken up again. Returns at once when there is no child (for
// instance when __child_signal_handler reaped it already). Blocks.
void wait_for_door();

// load_a_door(command_line); when that gives a process id, wait_for_door().
// Returns load_a_door's result: positive when a child (normally this one)
// has ended by the time it returns, -1 when nothing was started. Blocks.
int bbs_start_a_door(const char* command_line);

// Sleeps until a SIGUSR1 arrives. A SIGUSR1 that is pending (blocked) when
// it is called, or arrives at any moment during the call, ends the wait;
// other signals do not. SIGUSR1 is ignored (and unblocked) when it returns.
// A caller that makes itself known to a waker before calling it blocks
// SIGUSR1 first (sigprocmask), so an early wake-up is kept, not fatal.
// Blocks.
void suspend();

// Puts the process in the background: forks; the parent sleeps one second
// and exits with status 0; the child calls setsid and returns 0. Returns -1
// (the caller goes on in the foreground) when no process could be created.
int make_daemon();

// Probes `pid` with signal 0. Returns 0 when no such process exists (and
// for a pid of 0 or below, which names no single process), 1 otherwise,
// also when the process belongs to another user.
int is_pid_active(int pid);

// SIGUSR1 catcher: sets got_user_signal to 1.
void __user_signal_handler(int sig);

// SIGCHLD catcher: reaps every ended child without blocking. Keeps errno.
void __child_signal_handler(int sig);

// Empty catcher, for a door that wants SIGALRM to cut a wait short.
void __alarm_signal_handler(int sig);

// ==== end PROCESSES ====

}  // namespace zv
