// Text casing, typed dates, line references and the per-line work area.
// The globals point at records in ordinary memory: no segment is needed.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "bplus_fixture.h"
#include "zivevuva.h"

namespace {

using namespace zv;
namespace fs = std::filesystem;

TEST(UtilsCase, LowerAndUpperChangeOnlyLettersAndReturnZero) {
  char a[] = "Hello, World 1 \xc4\xe9~[`{@";
  EXPECT_EQ(strupr(a), 0);
  EXPECT_STREQ(a, "HELLO, WORLD 1 \xc4\xe9~[`{@");
  EXPECT_EQ(strlwr(a), 0);
  EXPECT_STREQ(a, "hello, world 1 \xc4\xe9~[`{@");
  char empty[] = "";
  EXPECT_EQ(strlwr(empty), 0);
  EXPECT_EQ(strupr(nullptr), 0);
}

// Dates are read as local standard time; the tests fix the zone.
class UtilsTime : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    had_tz_ = tz != nullptr;
    if (had_tz_) old_tz_ = tz;
  }
  void TearDown() override {
    if (had_tz_)
      setenv("TZ", old_tz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  static void zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }

 private:
  bool had_tz_ = false;
  std::string old_tz_;
};

TEST_F(UtilsTime, ReadsTheDateForms) {
  zone("UTC0");
  struct row {
    const char* text;
    long want;
  } rows[] = {
      {"12/25/1997 13:45", 883057500},      // 25 Dec 1997 13:45
      {"12/25/97", 883008000},              // same day, 00:00; 97 is 1997
      {"12/25/97 13", -1},                  // an hour without minutes
      {"2/29/1997", 857174400},             // carried over: 1 Mar 1997
      {"13/1/1997", 883612800},             // month 13: January 1998
      {"12/32/1997", 883612800},            // day 32: 1 Jan 1998
      {"1/32/1998 0:0", 886291200},         // 1 Feb 1998
      {"1/1/1900", 57749241600L},           // 1900 or less counts from 1900: year 3800
      {"1/1/1901", -2177452800L},           // above 1900 is the year itself
      {"  12/25/1997\t13:45", 883057500},   // white space before numbers
      {"12/25/1997 13:", -1},               // four numbers
      {"12/25/1997 13:45:59", 883057500},   // seconds are not read
      {"12/25", -1},                        // partial date
      {"12-25-1997", -1},
      {"-2147483648/1/1997", -1},          // a month before the first has no place
      {"", -1},
      {"noon", -1},
  };
  for (const auto& r : rows) EXPECT_EQ(strtotim(r.text), r.want) << "«" << r.text << "»";
  EXPECT_EQ(strtotim(nullptr), -1);
}

TEST_F(UtilsTime, SummerDatesAreTakenAsStandardTime) {
  // New York rules without the zone database: EST, EDT in summer.
  zone("EST5EDT,M3.2.0,M11.1.0");
  // 4 July 1997 12:00 standard time (UTC-5) is 17:00 UTC, not 16:00.
  EXPECT_EQ(strtotim("7/4/1997 12:00"), 868035600);
}

// Lines 0..63 with callers named as in the table below.
class UtilsFinduser : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(users_, 0, sizeof users_);
    std::memset(accts_, 0, sizeof accts_);
    user = users_;
    acnt = accts_;
    numlines = 4;
  }
  void TearDown() override {
    user = nullptr;
    acnt = nullptr;
  }
  void caller(int line, const char* name, bool on = true) {
    std::strncpy(accts_[line].acctname, name, sizeof accts_[line].acctname);
    users_[line].u_stat = on ? 1 : 0;
  }
  user_rec users_[MAX_LINES];
  acct_rec accts_[MAX_LINES];
};

TEST_F(UtilsFinduser, ByNumberAndByName) {
  caller(0, "Bob");
  caller(1, "Bob Smith");
  caller(2, "alice");
  caller(5, "Bobby");
  caller(6, "Carol", false);  // no caller on the line
  struct row {
    const char* text;
    int want;
    const char* rest;  // null: rest untouched
  } rows[] = {
      {"Bob Smith hello", 1, "hello"},
      {"bob hello", 0, "hello"},
      {"Bobby hi", 5, "hi"},
      {"Bobx hi", -1, nullptr},
      {"Bob Smithers", 0, "Smithers"},  // "Bob Smith" is followed by a letter
      {"alice,hi", 2, ",hi"},           // punctuation is not skipped
      {"ALICE", 2, ""},                 // end of text ends the name
      {"bob\t\r\n\v\f x", 0, "x"},
      {"007   y", 7, "y"},
      {"7 hello", 7, "hello"},          // numlines is 4 and line 7 is empty
      {"63", 63, ""},
      {"64 x", -1, "x"},
      {"99999999999999999999999 x", -1, "x"},
      {"0x", 0, "x"},
      {" Bob hi", -1, nullptr},         // a leading blank
      {"Carol hi", -1, nullptr},
      {"", -1, nullptr},
  };
  for (const auto& r : rows) {
    const char* marker = "untouched";
    const char* rest = marker;
    EXPECT_EQ(finduser(r.text, &rest), r.want) << "«" << r.text << "»";
    if (r.rest == nullptr)
      EXPECT_EQ(rest, marker) << "«" << r.text << "»";
    else
      EXPECT_STREQ(rest, r.rest) << "«" << r.text << "»";
    EXPECT_EQ(finduser(r.text, static_cast<const char**>(nullptr)), r.want);
  }
}

TEST_F(UtilsFinduser, EqualNamesGoToTheLowestLineAndRestPointsIntoTheText) {
  caller(4, "Bob");
  caller(0, "bob");
  char text[] = "BOB  hi";
  char* rest = nullptr;
  EXPECT_EQ(finduser(text, &rest), 0);
  EXPECT_EQ(rest, text + 5);
}

TEST_F(UtilsFinduser, NamesFillingTheWholeFieldAreReadWithinIt) {
  // 32 letters and no NUL in the field; the next field follows at once.
  std::memset(accts_[9].acctname, 'Z', sizeof accts_[9].acctname);
  std::strcpy(accts_[9].acctnum, "77");
  users_[9].u_stat = 1;
  const std::string go = std::string(32, 'z') + " go", digits = std::string(32, 'z') + "77";
  const char* rest = nullptr;
  EXPECT_EQ(finduser(go.c_str(), &rest), 9);
  EXPECT_STREQ(rest, "go");
  EXPECT_EQ(finduser(digits.c_str(), &rest), -1);
}

TEST_F(UtilsFinduser, WithoutTheLineRecordsOnlyNumbersAreFound) {
  user = nullptr;
  acnt = nullptr;
  EXPECT_EQ(finduser("12 x", static_cast<const char**>(nullptr)), 12);
  EXPECT_EQ(finduser("Bob", static_cast<const char**>(nullptr)), -1);
  EXPECT_EQ(finduser(static_cast<const char*>(nullptr), static_cast<const char**>(nullptr)), -1);
}

// The work area of line 3 under a temporary directory; the test goes back
// to its first current directory afterwards.
class UtilsWorkArea : public ::testing::Test {
 protected:
  void SetUp() override {
    start_ = fs::current_path();
    std::memset(&cfg_, 0, sizeof cfg_);
    const std::string work = tmp_.path() + "/";
    ASSERT_LT(work.size(), sizeof cfg_.work_file_path) << "TMPDIR too long for the test";
    std::strcpy(cfg_.work_file_path, work.c_str());
    fs::create_directory(tmp_.file("home"));
    const std::string home = tmp_.file("home") + "/";
    ASSERT_LT(home.size(), sizeof cfg_.bbs_path);
    std::strcpy(cfg_.bbs_path, home.c_str());
    cfg = &cfg_;
    who = 3;
    area_ = tmp_.file("node3");
  }
  void TearDown() override {
    fs::current_path(start_);
    cfg = nullptr;
    who = 0;
  }
  static void touch(const std::string& path) { std::ofstream(path) << "x"; }

  zvtest::TempDir tmp_;
  cfg_rec cfg_;
  fs::path start_;
  std::string area_;
};

TEST_F(UtilsWorkArea, LifeOfAWorkArea) {
  char name[WORK_AREA_NAME_SIZE];
  ASSERT_EQ(work_area_name(name, sizeof name), 1);
  EXPECT_EQ(std::string(name), area_);

  EXPECT_EQ(change_to_work_area(), 0);  // not made yet
  ASSERT_EQ(create_work_area(), 0);
  EXPECT_TRUE(fs::is_directory(area_));
  EXPECT_EQ(create_work_area(), -1);  // exists already

  ASSERT_EQ(change_to_work_area(), 1);
  EXPECT_EQ(fs::current_path(), fs::path(area_));
  touch(area_ + "/a.txt");
  touch(area_ + "/.hidden");
  fs::create_directory(area_ + "/sub");
  touch(area_ + "/sub/kept");
  EXPECT_EQ(remove_work_area(), -1);  // not empty

  // Entries are removed inside the work area even when the current
  // directory holds files of the same names.
  fs::current_path(tmp_.path());
  touch(tmp_.file("a.txt"));
  clear_work_area();
  EXPECT_FALSE(fs::exists(area_ + "/a.txt"));
  EXPECT_FALSE(fs::exists(area_ + "/.hidden"));
  EXPECT_TRUE(fs::exists(area_ + "/sub/kept"));  // the subdirectory stays, contents and all
  EXPECT_TRUE(fs::exists(tmp_.file("a.txt")));
  EXPECT_EQ(fs::current_path(), fs::path(tmp_.file("home")));

  fs::remove_all(area_ + "/sub");
  EXPECT_EQ(remove_work_area(), 0);
  EXPECT_FALSE(fs::exists(area_));
  EXPECT_EQ(remove_work_area(), -1);
}

TEST_F(UtilsWorkArea, ClearingAMissingWorkAreaChangesNothing) {
  fs::current_path(tmp_.path());
  clear_work_area();
  EXPECT_EQ(fs::current_path(), fs::path(tmp_.path()));
}

TEST_F(UtilsWorkArea, TwoDigitLinesAndMissingConfiguration) {
  who = 63;
  char name[WORK_AREA_NAME_SIZE];
  ASSERT_EQ(work_area_name(name, sizeof name), 1);
  EXPECT_EQ(std::string(name), tmp_.file("node63"));
  EXPECT_EQ(work_area_name(name, 5), 0);  // does not fit

  // A path field filled to its last byte is read within the field.
  std::memset(cfg_.work_file_path, 'w', sizeof cfg_.work_file_path);
  ASSERT_EQ(work_area_name(name, sizeof name), 1);
  EXPECT_EQ(std::string(name), std::string(30, 'w') + "node63");

  cfg = nullptr;
  EXPECT_EQ(create_work_area(), -1);
  EXPECT_EQ(remove_work_area(), -1);
  EXPECT_EQ(change_to_work_area(), 0);
  clear_work_area();
  EXPECT_EQ(fs::current_path(), start_);
}

}  // namespace
