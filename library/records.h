// records: the shared segment's records, byte for byte.
#pragma once

namespace zv {

}  // namespace zv
