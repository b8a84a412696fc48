// abuf: Message blocks, text buffers and queues in the shared segment, and the host-side creation, reset and dump of the segment.
#include "abuf.h"

namespace zv {

}  // namespace zv
