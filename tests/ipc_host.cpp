// The host engine: set-up of segment and lines, doors on real
// pseudo-terminals, output transcripts, requests, drain answers, input and
// hang-up, all between real processes.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <sys/shm.h>
#include <termios.h>
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
using zv::host::LineConfig;
using zv::host::Stream;

constexpr int kWait = 10000;

DoorOptions no_tty_stdin() {
  DoorOptions o;
  o.terminal_stdin = false;
  return o;
}  // ms; generous, only reached when something is broken

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override { ZV_PRIVATE_IPC(); }
  // A configuration of n lines with default settings.
  static Config lines(int n) {
    Config c;
    c.lines = n;
    return c;
  }
  std::string start(Config c) {
    c.private_ipc = false;
    return host.start(c);
  }
  Engine host;
};

TEST_F(HostTest, StartFillsSegmentLinesAndSemaphores) {
  Config c;
  c.lines = 3;
  c.line.resize(3);
  c.line[1].ansi = 0;
  c.line[1].pagelen = 24;
  c.line[1].door_inq = 130;
  c.line[1].linlen = 40;
  c.line[1].linfed = 'y';
  c.line[1].name = "Ada";
  c.line[2].pty = false;
  c.line[2].active = false;
  c.line[2].caller = false;
  c.version = "Corvan 2.5";
  ASSERT_EQ(start(c), "");
  zv::shared_mem_structure& s = host.segment();
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&s), zv::SEGMENT_ADDR);
  EXPECT_EQ(s.nchans, 3);
  EXPECT_EQ(s.free_m_cnt, zv::NUM_MDBS);
  EXPECT_EQ(s.free_b_cnt, zv::NUM_BUFFERS);
  EXPECT_EQ(zv::sem_getval(zv::semid, zv::SEM_RUNNING), 0);
  for (int sem = zv::SEM_QUEUES; sem < zv::SEMSET_COUNT; ++sem) EXPECT_EQ(zv::sem_getval(zv::semid, sem), 1);
  EXPECT_STREQ(s.version, "Corvan 2.5");

  // The stored name is what ttyname() reports for the slave.
  for (int line : {0, 1}) {
    EXPECT_EQ(host.linctrl(line).active, 1);
    EXPECT_EQ(std::string(host.linctrl(line).ttyname), host.tty_name(line));
    EXPECT_EQ(host.tty_name(line).rfind("/dev/", 0), 0u) << host.tty_name(line);
    EXPECT_GE(host.pty_master(line), 0);
  }
  EXPECT_NE(host.tty_name(0), host.tty_name(1));
  EXPECT_EQ(host.user(0).u_stat, 1);
  EXPECT_EQ(host.user(0).u_ansi, 1);
  EXPECT_EQ(host.user(0).door_inq, zv::host::default_inq(0));
  EXPECT_EQ(host.user(0).door_outq, 0);
  EXPECT_EQ(host.acct(0).linlen, 80u);
  EXPECT_STREQ(host.acct(0).acctname, "Caller 0");
  EXPECT_EQ(host.user(1).u_ansi, 0);
  EXPECT_EQ(host.user(1).u_pagelen, 24);
  EXPECT_EQ(host.user(1).door_inq, 130);
  EXPECT_EQ(host.acct(1).linlen, 40u);
  EXPECT_EQ(host.acct(1).linfed, 'y');
  EXPECT_STREQ(host.acct(1).acctname, "Ada");
  EXPECT_EQ(host.linctrl(2).active, 0);
  EXPECT_EQ(host.linctrl(2).ttyname[0], '\0');
  EXPECT_EQ(host.user(2).u_stat, 0);
  EXPECT_EQ(host.tty_name(2), "");

  host.set_running(false);
  EXPECT_EQ(zv::sem_getval(zv::semid, zv::SEM_RUNNING), 1);
}

TEST_F(HostTest, StopRemovesSegmentAndSetAndKillsDoors) {
  ASSERT_EQ(start(lines(1)), "");
  const pid_t door = host.start_door(0, [] {
    for (;;) ::pause();
    return 0;
  });
  ASSERT_GT(door, 0);
  host.stop();
  EXPECT_FALSE(host.started());
  EXPECT_EQ(zv::shm, nullptr);
  EXPECT_EQ(zv::semid, -1);
  EXPECT_EQ(::shmget(zv::SEGMENT_KEY, 0, 0), -1);
  EXPECT_EQ(zv::sem_open(zv::SEMSET_KEY, zv::SEMSET_COUNT), -1);
  EXPECT_EQ(::kill(door, 0), -1);  // killed and reaped
  // A second engine can start in the same process afterwards.
  EXPECT_EQ(start(lines(1)), "");
}

TEST(HostPrivate, EngineEntersItsOwnIpcNamespace) {
  ZV_PRIVATE_IPC();
  // A segment under the host's key outside the engine's namespace stays
  // untouched by the engine.
  const int outer = ::shmget(zv::SEGMENT_KEY, 4096, IPC_CREAT | 0600);
  ASSERT_NE(outer, -1);
  {
    Engine host;
    Config c;
    c.lines = 1;
    ASSERT_EQ(host.start(c), "");
    EXPECT_EQ(host.segment().nchans, 1);
  }
  shmid_ds ds{};
  EXPECT_EQ(::shmctl(outer, IPC_STAT, &ds), -1);  // not visible from the engine's namespace
}

TEST_F(HostTest, DoorRunsOnItsLinesTerminalAndOutputReachesTheTranscript) {
  ASSERT_EQ(start(lines(3)), "");
  const std::string expect_tty = host.tty_name(2);
  const pid_t door = host.start_door(2, [expect_tty] {
    const char* t = ::ttyname(STDIN_FILENO);
    if (t == nullptr || expect_tty != t) return 10;
    if (::getsid(0) != ::getpid()) return 11;                 // own session
    if (::tcgetsid(STDIN_FILENO) != ::getpid()) return 12;    // controlling terminal
    if (zv::init() != 2) return 13;
    zv::send("hello from line 2\r");
    std::printf("on stdout\n");
    return 0;
  });
  ASSERT_GT(door, 0);
  EXPECT_TRUE(host.run_until_text(2, "hello from line 2\r", kWait));
  EXPECT_EQ(host.wait_door(door, kWait), 0);
  EXPECT_EQ(host.door_stdout(door), "on stdout\n");
  ASSERT_EQ(host.blocks(2).size(), 1u);
  EXPECT_EQ(host.blocks(2)[0].code, zv::MSG_OUTPUT);
  EXPECT_EQ(host.blocks(2)[0].line, 2);
  EXPECT_FALSE(host.blocks(2)[0].page);
  EXPECT_EQ(host.transcript(0), "");
  // Every block went back to the pools.
  EXPECT_EQ(host.segment().free_m_cnt, zv::NUM_MDBS);
  EXPECT_EQ(host.segment().free_b_cnt, zv::NUM_BUFFERS);
}

TEST_F(HostTest, ExecutedProgramGetsTheTerminalAndCapturedStreams) {
  ASSERT_EQ(start(lines(1)), "");
  const pid_t door = host.start_door(0, std::vector<std::string>{"sh", "-c", "tty; echo oops >&2; exit 3"});
  ASSERT_GT(door, 0);
  EXPECT_EQ(host.wait_door(door, kWait), 3);
  EXPECT_EQ(host.door_stdout(door), host.tty_name(0) + "\n");
  EXPECT_EQ(host.door_stderr(door), "oops\n");

  const pid_t missing = host.start_door(0, std::vector<std::string>{"/nonexistent/door"});
  EXPECT_EQ(host.wait_door(missing, kWait), 127);

  // Standard input elsewhere than the terminal, output to the terminal.
  const pid_t plain =
      host.start_door(0, std::vector<std::string>{"sh", "-c", "tty; s=$?; printf 'raw bytes' >/dev/tty; exit $s"},
                      no_tty_stdin());
  EXPECT_EQ(host.wait_door(plain, kWait), 1);  // tty(1): standard input is not a terminal
  EXPECT_EQ(host.door_stdout(plain), "not a tty\n");
  EXPECT_TRUE(host.run_until([&] { return host.tty_output(0) == "raw bytes"; }, kWait));
}

TEST_F(HostTest, RequestsAreRecordedWithTheirFields) {
  ASSERT_EQ(start(lines(2)), "");
  const pid_t door = host.start_door(1, [] {
    zv::init();
    zv::send_bbslog("a log line");
    zv::setecho(0);
    zv::bbs_sendmsg(0, 70000);
    return 0;
  });
  EXPECT_EQ(host.wait_door(door, kWait), 0);
  EXPECT_TRUE(host.run_until([&] { return host.requests().size() >= 3; }, kWait));
  ASSERT_EQ(host.requests().size(), 3u);
  EXPECT_EQ(host.requests()[0].code, zv::MSG_LOG);
  EXPECT_EQ(host.requests()[0].line, 1);
  EXPECT_EQ(host.requests()[0].text, "a log line");
  EXPECT_EQ(host.requests()[1].code, zv::MSG_ECHO_OFF);
  EXPECT_EQ(host.requests()[1].line, 1);
  EXPECT_EQ(host.requests()[2].code, zv::MSG_SENDMSG);
  EXPECT_EQ(host.requests()[2].line, 0);
  EXPECT_EQ(host.requests()[2].length, 70000 - 65536);
  EXPECT_EQ(host.segment().free_m_cnt, zv::NUM_MDBS);
}

TEST_F(HostTest, DrainRequestIsAnsweredOnlyOnceTheLinesOutputIsTaken) {
  ASSERT_EQ(start(lines(2)), "");
  host.hold_output(1, true);
  const pid_t door = host.start_door(1, [] {
    zv::init();
    zv::send("before\r");
    zv::waitforempty(zv::who);
    zv::send("after\r");
    return 0;
  });
  ASSERT_TRUE(host.run_until_request(zv::MSG_WAITEMPTY, kWait));
  host.run_for(300);
  EXPECT_FALSE(host.door_done(door));  // still waiting: its output is held
  EXPECT_EQ(host.transcript(1), "");
  host.hold_output(1, false);
  EXPECT_TRUE(host.run_until_text(1, "before\rafter\r", kWait));
  EXPECT_EQ(host.wait_door(door, kWait), 0);
  EXPECT_EQ(host.segment().free_m_cnt, zv::NUM_MDBS);
}

TEST_F(HostTest, PostedInputReachesTheDoorAndHangUpEndsIt) {
  ASSERT_EQ(start(lines(1)), "");
  const pid_t door = host.start_door(0, [] {
    zv::init();
    char buf[80];
    for (;;) {
      const int n = zv::qgets(buf, sizeof buf);
      zv::qprintf("got %d [%s]\r", n, buf);
    }
    return 1;
  });
  ASSERT_TRUE(host.post_input(0, "first"));
  EXPECT_TRUE(host.run_until_text(0, "got 5 [first]\r", kWait));
  ASSERT_TRUE(host.post_input(0, ""));
  EXPECT_TRUE(host.run_until_text(0, "got 0 []\r", kWait));
  ASSERT_TRUE(host.post_gone(0));
  EXPECT_EQ(host.wait_door(door, kWait), 0);
  EXPECT_EQ(host.segment().free_m_cnt, zv::NUM_MDBS);
  EXPECT_EQ(host.segment().free_b_cnt, zv::NUM_BUFFERS);
}

TEST_F(HostTest, WaitsEndAtTheirDeadline) {
  ASSERT_EQ(start(lines(1)), "");
  const pid_t door = host.start_door(0, [] {
    for (;;) ::pause();
    return 0;
  });
  EXPECT_EQ(host.wait_door(door, 100), -1);
  EXPECT_FALSE(host.run_until_text(0, "never", 100));
  EXPECT_FALSE(host.run_until_request(zv::MSG_LOG, 100));
  EXPECT_EQ(host.wait_door(12345678, 100), -1);  // not a door of this engine
  host.signal_door(door, SIGTERM);
  EXPECT_EQ(host.wait_door(door, kWait), 128 + SIGTERM);
}

TEST_F(HostTest, LineWithoutTerminalCannotStartADoorOnIt) {
  Config c = lines(2);
  c.line.resize(2);
  c.line[1].pty = false;
  ASSERT_EQ(start(c), "");
  EXPECT_EQ(host.start_door(1, [] { return 0; }), -1);
  DoorOptions detached;
  detached.terminal_stdin = false;
  detached.controlling_terminal = false;
  detached.out = detached.err = Stream::null;
  const pid_t d = host.start_door(1, [] { return 4; }, detached);
  EXPECT_EQ(host.wait_door(d, kWait), 4);
}

}  // namespace
