// An account that can be neither opened nor created is reported in the
// host's log (request 218 on queue 128), on a real segment.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "abuf.h"
#include "bplus_fixture.h"
#include "fileio.h"
#include "segment_fixture.h"
#include "zivevuva.h"

namespace {

using namespace zv;

class FileioLog : public zvtest::SegmentTest {
 protected:
  void SetUp() override {
    zvtest::SegmentTest::SetUp();
    if (HasFatalFailure()) return;
    zvtest::set_line_globals(6);
  }
  void data_path(const std::string& p) {
    ASSERT_LT(p.size(), sizeof cfg->data_path);
    std::memset(cfg->data_path, 0, sizeof cfg->data_path);
    std::memcpy(cfg->data_path, p.data(), p.size());
  }
  static acct_rec account(const char* name, const char* num) {
    acct_rec a;
    std::memset(&a, 0, sizeof a);
    std::memcpy(a.acctname, name, std::min(std::strlen(name), sizeof a.acctname));
    std::memcpy(a.acctnum, num, std::strlen(num));
    return a;
  }
  // The text of the one block on the request queue, or "<none>".
  static std::string logged(int* line = nullptr) {
    mdbrec* m = dequeue_mdb(REQUEST_QUEUE);
    if (m == nullptr) return "<none>";
    EXPECT_EQ(m->command, MSG_LOG);
    if (line != nullptr) *line = m->line;
    char buf[256];
    const int n = copy_from_buffers(buf, sizeof buf, m);
    release_mdb(m);
    EXPECT_EQ(shm->mdb[REQUEST_QUEUE], 0u) << "more than one request";
    return std::string(buf, static_cast<std::size_t>(n));
  }
  zvtest::TempDir dir_;
};

TEST_F(FileioLog, AFileThatCannotBeMadeIsLogged) {
  data_path(dir_.path() + "/missing/");
  const acct_rec a = account("alice", "1");
  EXPECT_EQ(save_user_account(&a), 0);
  int line = -1;
  EXPECT_EQ(logged(&line), "Error saving alice's account.");
  EXPECT_EQ(line, 6);

  // A name that fills its field is logged whole and no further.
  const acct_rec full = account("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", "2");
  EXPECT_EQ(save_user_account(&full), 0);
  EXPECT_EQ(logged(), "Error saving ABCDEFGHIJKLMNOPQRSTUVWXYZ012345's account.");
}

TEST_F(FileioLog, SavedAndRefusedAccountsLogNothing) {
  data_path(dir_.path() + "/");
  const acct_rec a = account("alice", "1");
  EXPECT_EQ(save_user_account(&a), 1);
  const acct_rec v = account("Visitor", "2");
  EXPECT_EQ(save_user_account(&v), 0);
  const acct_rec bad = account("bob", "0");
  EXPECT_EQ(save_user_account(&bad), 0);
  EXPECT_EQ(logged(), "<none>");
}

}  // namespace
