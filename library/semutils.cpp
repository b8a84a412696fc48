// semutils: Semaphore wrappers over the host's set (key 6487) and the process helpers: starting programs, waiting for them, signal catchers.
#include "semutils.h"

namespace zv {

}  // namespace zv
