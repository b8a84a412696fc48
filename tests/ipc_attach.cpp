// Attaching to the host, with doors started by the host engine on real
// pseudo-terminals: the line found by terminal name, every stop with its
// message and exit status, util_init and getversion.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include "abuf.h"
#include "engine.h"
#include "ipc_namespace.h"
#include "semutils.h"
#include "zivevuva.h"

namespace {

using zv::host::Config;
using zv::host::DoorOptions;
using zv::host::Engine;

constexpr int kWait = 10000;

// Exit codes a door body uses to say which of its checks failed.
enum : int { kOk = 0, kWrongLine = 20, kWrongGlobals, kWrongResult };

class AttachTest : public ::testing::Test {
 protected:
  void SetUp() override { ZV_PRIVATE_IPC(); }
  void Start(int lines) {
    Config c;
    c.lines = lines;
    c.private_ipc = false;
    ASSERT_EQ(host.start(c), "");
  }
  // Runs body as a door on `line`; returns its exit status.
  int Door(int line, const std::function<int()>& body, const DoorOptions& opt = {}) {
    last = host.start_door(line, body, opt);
    if (last <= 0) return -1;
    const int status = host.wait_door(last, kWait);
    host.run_for(20);  // take whatever it queued last
    return status;
  }
  std::string Stdout() const { return host.door_stdout(last); }
  // Requests the doors sent with the code.
  std::vector<zv::host::Request> Sent(int code) const {
    std::vector<zv::host::Request> r;
    for (const auto& q : host.requests())
      if (q.code == code) r.push_back(q);
    return r;
  }
  Engine host;
  pid_t last = -1;
};

// The door found `line`: init's result and every global say so.
int attached_as(int line) {
  const int r = zv::init();
  if (r != line || zv::who != line) return kWrongLine;
  const bool ok = zv::shm == reinterpret_cast<zv::shared_mem_structure*>(zv::SEGMENT_ADDR) &&
                  zv::semid != -1 && zv::numlines == zv::shm->nchans && zv::acnt == &zv::shm->acct[0] &&
                  zv::user == &zv::shm->user[0] && zv::myuser == &zv::shm->user[line] &&
                  zv::myacct == &zv::shm->acct[line] && zv::cfg == &zv::shm->cfg &&
                  zv::inq == zv::shm->user[line].door_inq && zv::outq == zv::shm->user[line].door_outq;
  return ok ? kOk : kWrongGlobals;
}

TEST_F(AttachTest, DoorFindsItsLineByTerminalName) {
  Start(4);
  host.user(2).door_inq = 99;
  host.user(2).door_outq = 17;
  for (int line : {0, 2, 3}) {
    EXPECT_EQ(Door(line, [line] { return attached_as(line); }), kOk) << "line " << line;
    EXPECT_EQ(Stdout(), "");
  }
  // Nothing was sent: no start-up line, no requests.
  EXPECT_TRUE(host.requests().empty());
  for (int line = 0; line < 4; ++line) EXPECT_EQ(host.transcript(line), "");
}

TEST_F(AttachTest, InactiveLineIsPassedOverAndTheLowerOfTwoNamesIsTaken) {
  Start(4);
  // Line 3 names line 1's terminal too.
  std::memcpy(host.linctrl(3).ttyname, host.linctrl(1).ttyname, sizeof host.linctrl(3).ttyname);
  EXPECT_EQ(Door(1, [] { return attached_as(1); }), kOk);
  host.linctrl(1).active = 0;
  EXPECT_EQ(Door(1, [] { return attached_as(3); }), kOk);
  // The name must match whole: a longer stored name does not match.
  const std::string longer = host.tty_name(1) + "0";
  ASSERT_LT(longer.size(), sizeof host.linctrl(3).ttyname);
  std::memcpy(host.linctrl(3).ttyname, longer.c_str(), longer.size() + 1);
  EXPECT_EQ(Door(1, [] { return attached_as(-1); }), 0);  // ends in init
  ASSERT_EQ(Sent(zv::MSG_LOG).size(), 1u);
}

TEST_F(AttachTest, NoMatchingLineLogsAndEndsWithStatusZero) {
  Start(3);
  struct Case {
    const char* what;
    std::function<void()> arrange;
    DoorOptions opt;
    int line_field;
  };
  DoorOptions not_a_terminal;
  not_a_terminal.terminal_stdin = false;
  std::vector<Case> cases;
  cases.push_back({"line inactive", [&] { host.linctrl(1).active = 0; }, {}, 3});
  cases.push_back({"name cleared", [&] { host.linctrl(1).ttyname[0] = '\0'; }, {}, 3});
  cases.push_back({"stdin not a terminal", [] {}, not_a_terminal, 3});
  cases.push_back({"nchans 0", [&] { host.segment().nchans = 0; }, {}, 0});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    host.stop();
    Start(3);
    c.arrange();
    const int status = Door(1, [] {
      zv::init();
      return kWrongResult;  // init must not return
    }, c.opt);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Stdout(), "");
    const auto logs = Sent(zv::MSG_LOG);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].text, "Terminal name not found!");
    EXPECT_EQ(logs[0].line, c.line_field);
    EXPECT_EQ(host.transcript(1), "");  // nothing shown to the caller
  }
}

TEST_F(AttachTest, HostStopsPrintTheirMessageAndExitZero) {
  const std::string prefix = "Corvan BBS not running : ";
  struct Case {
    const char* what;
    std::function<void(Engine&)> arrange;
    std::function<int()> body;
    const char* message;
  };
  auto plain_init = [] {
    zv::init();
    return kWrongResult;
  };
  const Case cases[] = {
      {"host not running", [](Engine& h) { h.set_running(false); }, plain_init, "Corvan semaphore not set."},
      {"semaphore 0 holds 2", [](Engine&) { zv::sem_setval(zv::semid, zv::SEM_RUNNING, 2); }, plain_init,
       "Corvan semaphore not set."},
      {"no semaphore set", [](Engine&) { ::semctl(zv::semid, 0, IPC_RMID); }, plain_init,
       "Corvan semaphore not set."},
      {"no segment",
       [](Engine&) { ::shmctl(::shmget(zv::SEGMENT_KEY, 0, 0), IPC_RMID, nullptr); }, plain_init,
       "shmget failed"},
      {"segment too small",
       [](Engine&) {
         ::shmctl(::shmget(zv::SEGMENT_KEY, 0, 0), IPC_RMID, nullptr);
         ::shmget(zv::SEGMENT_KEY, zv::SEGMENT_SIZE - 1, IPC_CREAT | 0660);
       },
       plain_init, "shmget failed"},
      {"address taken", [](Engine&) {},
       [] {
         // Something else already lives at the fixed address: the attach
         // must fail rather than land elsewhere.
         void* p = ::mmap(reinterpret_cast<void*>(zv::SEGMENT_ADDR), 4096, PROT_READ,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
         if (p != reinterpret_cast<void*>(zv::SEGMENT_ADDR)) return kWrongGlobals;
         zv::init();
         return kWrongResult;
       },
       "shmat failed"},
      {"util_init, host not running", [](Engine& h) { h.set_running(false); },
       [] {
         zv::util_init();
         return kWrongResult;
       },
       "Corvan semaphore not set."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    host.stop();
    Start(2);
    c.arrange(host);
    EXPECT_EQ(Door(1, c.body), 0);
    EXPECT_EQ(Stdout(), prefix + c.message + "\n");
    EXPECT_TRUE(host.requests().empty());
  }
}

TEST_F(AttachTest, DebugStartUpLineGoesToTheDoorsOwnLine) {
  Start(2);
  EXPECT_EQ(Door(1, [] {
    zv::zivevuva_debug = 1;
    return attached_as(1);
  }), kOk);
  EXPECT_EQ(host.transcript(1), "\rZivevuva modules 1.0.0 initilizing.\r\r");
  EXPECT_EQ(host.transcript(0), "");
}

TEST_F(AttachTest, StartUpRaisesPriorityByFiveSteps) {
  Start(1);
  EXPECT_EQ(Door(0, [] {
    errno = 0;
    const int before = ::getpriority(PRIO_PROCESS, 0);
    if (zv::init() != 0) return kWrongLine;
    const int after = ::getpriority(PRIO_PROCESS, 0);
    // Only a privileged process may raise it; others go on unchanged.
    if (::geteuid() == 0) return after == before - 5 ? kOk : kWrongResult;
    return after == before || after == before - 5 ? kOk : kWrongResult;
  }), kOk);
}

TEST_F(AttachTest, UtilInitTakesLineZeroWhateverTheTerminal) {
  Start(3);
  host.user(0).door_inq = 77;
  host.user(0).door_outq = 3;
  DoorOptions no_tty;
  no_tty.terminal_stdin = false;
  no_tty.controlling_terminal = false;
  for (int line : {0, 2}) {
    EXPECT_EQ(Door(line, [] {
      if (zv::util_init() != 0) return kWrongResult;
      const bool ok = zv::who == 0 && zv::numlines == 3 && zv::inq == 77 && zv::outq == 3 &&
                      zv::myuser == &zv::shm->user[0] && zv::myacct == &zv::shm->acct[0] &&
                      zv::acnt == &zv::shm->acct[0] && zv::user == &zv::shm->user[0] &&
                      zv::cfg == &zv::shm->cfg;
      return ok ? kOk : kWrongGlobals;
    }, line == 0 ? no_tty : DoorOptions{}), kOk);
  }
  EXPECT_TRUE(host.requests().empty());
}

TEST_F(AttachTest, ActivityCheckReadsSemaphoreZero) {
  Start(1);
  EXPECT_EQ(zv::is_active(), 1);
  EXPECT_EQ(zv::check_active(), 1);
  for (int v : {1, 2}) {
    zv::sem_setval(zv::semid, zv::SEM_RUNNING, v);
    EXPECT_EQ(zv::check_active(), 0);
    EXPECT_EQ(zv::is_active(), 0);
  }
  const int saved = zv::semid;
  zv::semid = -1;
  EXPECT_EQ(zv::check_active(), 0);  // semctl fails: not running
  zv::semid = saved;
}

TEST_F(AttachTest, GetversionCopiesAtMostNineteenCharacters) {
  Start(1);
  char dst[32];
  struct Case {
    std::string stored;  // bytes of the 20-byte field (padded with NULs)
    std::string copied;
  };
  const Case cases[] = {
      {"1.2", "1.2"},
      {"", ""},
      {std::string(19, 'v'), std::string(19, 'v')},
      {std::string(20, 'w'), std::string(19, 'w')},  // no NUL in the field: still bounded
  };
  for (const Case& c : cases) {
    std::memset(host.segment().version, 0, sizeof host.segment().version);
    std::memcpy(host.segment().version, c.stored.data(), c.stored.size());
    std::memset(dst, '#', sizeof dst);
    EXPECT_EQ(zv::getversion(dst), static_cast<int>(c.copied.size()));
    EXPECT_EQ(std::string(dst), c.copied);
    EXPECT_EQ(dst[c.copied.size() + 1], '#');  // nothing written past the NUL
  }
  EXPECT_EQ(zv::getversion(nullptr), 0);
}

}  // namespace
