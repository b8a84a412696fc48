// semutils: semaphore wrappers over the host's set (key 6487) and the
// process helpers of doors: starting programs, waiting for them, signal
// catchers.
#include "semutils.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

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

volatile sig_atomic_t got_user_signal = 0;

namespace {

bool is_quote(char c) noexcept { return c == '"' || c == '\''; }

// Installs `handler` for `sig` with an empty mask and the flags given.
void catch_signal(int sig, void (*handler)(int), int flags) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = flags;
  ::sigaction(sig, &sa, nullptr);
}

// What a started program must not inherit: the catchers and ignored
// dispositions of this library, and any blocked signal.
void reset_child_signals() {
  catch_signal(SIGUSR1, SIG_DFL, 0);
  catch_signal(SIGCHLD, SIG_DFL, 0);
  catch_signal(SIGALRM, SIG_DFL, 0);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Reads the whole of `n` bytes, taking up reads cut short by a signal.
// Returns the bytes read (less than n at end of file).
ssize_t read_fully(int fd, void* dst, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, static_cast<char*>(dst) + got, n - got);
    if (r == -1 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

}  // namespace

int split_command_line(const char* command, char (&copy)[CMDLINE_BUF],
                       char* (&argv)[CMDLINE_WORDS + 1]) {
  argv[0] = nullptr;
  copy[0] = '\0';
  if (command == nullptr) return 0;
  const std::size_t len = ::strnlen(command, CMDLINE_BUF);
  if (len > static_cast<std::size_t>(CMDLINE_MAX)) return -1;
  std::memcpy(copy, command, len + 1);

  int n = 0;
  char* p = copy;
  for (;;) {
    while (*p == ' ') ++p;
    if (*p == '\0') break;
    if (n == CMDLINE_WORDS) {
      argv[0] = nullptr;
      return -1;
    }
    if (is_quote(*p)) {
      const char q = *p++;
      argv[n++] = p;
      char* close = std::strchr(p, q);
      if (close != nullptr) {
        *close = '\0';
        p = close + 1;
      } else {
        p += std::strlen(p);
      }
    } else {
      argv[n++] = p;
      while (*p != '\0' && *p != ' ') ++p;
      if (*p == ' ') *p++ = '\0';
    }
  }
  argv[n] = nullptr;
  return n;
}

int load_a_door(const char* command_line) {
  // The catcher goes in before the fork, so that a child that ends at once
  // cannot stay a zombie; the child puts SIGCHLD back at its default.
  catch_signal(SIGCHLD, __child_signal_handler, SA_RESTART | SA_NOCLDSTOP);

  char copy[CMDLINE_BUF];
  char* argv[CMDLINE_WORDS + 1];
  const int words = split_command_line(command_line, copy, argv);
  if (words < 0) {
    errno = E2BIG;
    return -1;
  }

  // The child reports a failed exec over this pipe; a successful exec closes
  // the child's end (close-on-exec), which the parent reads as end of file.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return -1;

  std::fflush(nullptr);  // nothing buffered may be written twice
  const pid_t pid = ::fork();
  if (pid == -1) {
    const int e = errno;
    ::close(report[0]);
    ::close(report[1]);
    errno = e;
    return -1;
  }
  if (pid == 0) {
    ::close(report[0]);
    reset_child_signals();
    if (words == 0) end_task();
    ::execvp(argv[0], argv);
    const int e = errno;
    // The parent may end as soon as it has read the report below; when it
    // leads the terminal's session the system then sends its process group
    // a hang-up, which must not cost this child its log line.
    catch_signal(SIGHUP, SIG_IGN, 0);
    ssize_t w;
    do {
      w = ::write(report[1], &e, sizeof e);
    } while (w == -1 && errno == EINTR);
    ::close(report[1]);
    // Queued once the queue lock is free: the parent may hold it (hog) and
    // has already been told, so it does not wait for this child.
    send_bbslog("Error starting door...");
    end_task();
  }

  ::close(report[1]);
  int child_errno = 0;
  const ssize_t got = read_fully(report[0], &child_errno, sizeof child_errno);
  ::close(report[0]);
  if (got == static_cast<ssize_t>(sizeof child_errno)) {
    errno = child_errno;
    return -1;
  }
  return static_cast<int>(pid);
}

void wait_for_door() {
  while (::wait(nullptr) == -1 && errno == EINTR) {
  }
}

int bbs_start_a_door(const char* command_line) {
  const int pid = load_a_door(command_line);
  if (pid > 0) wait_for_door();
  return pid;
}

void suspend() {
  sigset_t usr1, before;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  // Blocked from here to the sleep, so that the test of the flag and the
  // sleep are one step for SIGUSR1; one that is already pending (blocked by
  // the caller) is delivered by the first sigsuspend.
  ::sigprocmask(SIG_BLOCK, &usr1, &before);
  got_user_signal = 0;
  catch_signal(SIGUSR1, __user_signal_handler, 0);
  sigset_t sleeping = before;
  sigdelset(&sleeping, SIGUSR1);
  while (got_user_signal == 0) ::sigsuspend(&sleeping);
  catch_signal(SIGUSR1, SIG_IGN, 0);
  ::sigprocmask(SIG_SETMASK, &sleeping, nullptr);
}

int make_daemon() {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == -1) return -1;
  if (pid > 0) {
    ::sleep(1);
    ::_exit(0);
  }
  ::setsid();
  return 0;
}

int is_pid_active(int pid) {
  if (pid <= 0) return 0;
  if (::kill(static_cast<pid_t>(pid), 0) == -1 && errno == ESRCH) return 0;
  return 1;
}

void __user_signal_handler(int) { got_user_signal = 1; }

void __child_signal_handler(int) {
  const int saved = errno;
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  errno = saved;
}

void __alarm_signal_handler(int) {}

// ==== end PROCESSES ====

}  // namespace zv
