// A private host segment for tests.
//
// SegmentTest enters a private IPC namespace, creates the segment at
// 0x80000000 and the semaphore set with the host-side functions, resets the
// segment and points the door globals at line 0; TearDown detaches and
// removes both. The free functions do the same for code that is not a
// GoogleTest fixture (a host engine, a forked helper).
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <sys/types.h>

#include "records.h"

namespace zvtest {

// Creates (or opens) the segment and the set in the current IPC namespace,
// attaches at 0x80000000, resets the pools and queues, sets every semaphore
// to 1 and clears the lines' records. Returns "" or what failed.
std::string create_segment();

// Detaches the segment, removes segment and set, and clears the globals.
void destroy_segment();

// Points who, numlines, acnt, user, myuser, myacct, cfg, inq and outq at
// `line` as attaching would; inq/outq are taken from user[line].
void set_line_globals(int line, int nchans = 64);

// Semaphore 0: 0 when running, 1 when not.
void set_host_running(bool running);

// Forks a child that runs fn and _exits with its result (a GoogleTest
// assertion in the child does not reach the parent; return a code instead).
pid_t fork_child(const std::function<int()>& fn);

// Waits for a child. Returns its exit status, or 128 + signal number when a
// signal ended it, or -1 when waiting failed.
int wait_child(pid_t pid);

// Length of queue q (walks it without the lock: only for quiet queues).
int queue_length(int q);

class SegmentTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

}  // namespace zvtest
