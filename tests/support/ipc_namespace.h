// Private IPC namespaces for tests.
//
// The host's segment (key 6486) and semaphore set (key 6487) are global to
// the machine's IPC namespace. Every test that touches System V IPC first
// moves its process into a namespace of its own, so tests run in parallel
// and never meet a real host's segment. Forked children inherit it.
#pragma once

#include <string>

namespace zvtest {

// Moves the calling process into a fresh IPC namespace: as root with
// unshare(CLONE_NEWIPC), otherwise inside a new user namespace that maps the
// caller to root. Needs a single-threaded process. Returns "" on success or
// a description of what failed.
std::string enter_private_ipc_namespace();

}  // namespace zvtest

// Use at the top of every test (or fixture SetUp) that touches IPC.
#define ZV_PRIVATE_IPC()                                                  \
  do {                                                                    \
    const std::string zv_ipc_err_ = ::zvtest::enter_private_ipc_namespace(); \
    ASSERT_EQ(zv_ipc_err_, "") << "cannot enter a private IPC namespace"; \
  } while (0)
