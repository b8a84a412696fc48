// semutils: Semaphore wrappers over the host's set (key 6487) and the process helpers: starting programs, waiting for them, signal catchers.
#pragma once

namespace zv {

}  // namespace zv
