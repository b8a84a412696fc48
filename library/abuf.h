// abuf: Message blocks, text buffers and queues in the shared segment, and the host-side creation, reset and dump of the segment.
#pragma once

namespace zv {

}  // namespace zv
