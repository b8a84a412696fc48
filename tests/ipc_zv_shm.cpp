// The zv-shm command, run as a separate program in the test's namespace.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "abuf.h"
#include "ipc_namespace.h"
#include "segment_fixture.h"
#include "semutils.h"
#include "zivevuva.h"

namespace {

using namespace zv;

struct run_result {
  int status;
  std::string out, err;
};

std::string tool_path() {
  char exe[PATH_MAX] = {};
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string dir(exe, n > 0 ? static_cast<std::size_t>(n) : 0);
  return dir.substr(0, dir.rfind('/') + 1) + "zv-shm";
}

run_result zv_shm(const std::string& args) {
  const std::string cmd = "'" + tool_path() + "' " + args + " 2>/tmp/zv-shm-err." + std::to_string(::getpid());
  run_result r{};
  std::FILE* p = ::popen(cmd.c_str(), "r");
  char buf[512];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  const std::string errfile = "/tmp/zv-shm-err." + std::to_string(::getpid());
  if (std::FILE* f = std::fopen(errfile.c_str(), "r")) {
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) r.err.append(buf, n);
    std::fclose(f);
  }
  std::remove(errfile.c_str());
  return r;
}

TEST(ZvShm, MissingSegmentOrSetIsAOneLineErrorAndNonZeroExit) {
  ZV_PRIVATE_IPC();
  for (const char* cmd : {"reset", "dump", "status", "running on", "remove"}) {
    SCOPED_TRACE(cmd);
    const run_result r = zv_shm(cmd);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("zv-shm: ", 0), 0u) << r.err;
  }
  for (const char* cmd : {"", "bogus", "running", "running maybe", "dump extra"}) {
    SCOPED_TRACE(cmd);
    EXPECT_EQ(zv_shm(cmd).status, 2);
  }
}

TEST(ZvShm, CreateResetRunningDumpRemove) {
  ZV_PRIVATE_IPC();
  EXPECT_EQ(zv_shm("create").status, 0);
  EXPECT_EQ(zv_shm("create").status, 0) << "an existing segment is kept";
  EXPECT_EQ(zv_shm("reset").status, 0);
  run_result r = zv_shm("dump");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "Shared memory at 80000000\n"
            "MDBS at 80035a24,  FREE = 80035a24, link = 80035a34\n"
            "Buffer at 8002ca1c, FREE = 8002ca1c, link = 8002ca64\n");
  const int id = sem_open(SEMSET_KEY, SEMSET_COUNT);
  ASSERT_NE(id, -1);
  EXPECT_EQ(sem_getval(id, SEM_RUNNING), 1);
  EXPECT_EQ(zv_shm("running on").status, 0);
  EXPECT_EQ(sem_getval(id, SEM_RUNNING), 0);
  r = zv_shm("reset");
  EXPECT_EQ(r.status, 1) << "no reset under a running host";
  EXPECT_EQ(zv_shm("running off").status, 0);
  EXPECT_EQ(sem_getval(id, SEM_RUNNING), 1);
  EXPECT_EQ(zv_shm("remove").status, 0);
  EXPECT_EQ(sem_open(SEMSET_KEY, SEMSET_COUNT), -1);
  EXPECT_EQ(zv_shm("dump").status, 1);
}

using ZvShmStatus = zvtest::SegmentTest;

TEST_F(ZvShmStatus, StatusShowsSemaphoresCountsQueuesAndWhoIsInWhichDoor) {
  shm->nchans = 8;
  shm->linctrl[2].active = 1;
  std::strcpy(shm->linctrl[2].ttyname, "/dev/pts/7");
  std::strcpy(shm->acct[2].acctname, "ANN");
  std::strcpy(shm->user[2].doors_id, "Tavrine");
  shm->linctrl[5].active = 1;
  std::strcpy(shm->linctrl[5].ttyname, "/dev/pts/9");
  std::strcpy(shm->acct[5].acctname, "BOB");
  std::strcpy(shm->user[5].doors_id, "LoadTavrDevel");
  sendtoq("a", 2);
  sendtoq("b", 2);
  sendtoq("c", 133);
  send_bbslog(std::string(100, 'x').c_str());
  zvtest::set_host_running(true);
  const run_result r = zv_shm("status");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "semaphores: running=0 (host running) queues=1 blocks=1 buffers=1\n"
            "free: 508 of 512 blocks, 507 of 512 buffers\n"
            "queue 2: 2 blocks\n"
            "queue 128: 1 block\n"
            "queue 133: 1 block\n"
            "lines: 8 run by the host\n"
            "line 2: /dev/pts/7  caller \"ANN\"  door \"Tavrine\"\n"
            "line 5: /dev/pts/9  caller \"BOB\"  door \"LoadTavrDevel\"\n");
}

}  // namespace
