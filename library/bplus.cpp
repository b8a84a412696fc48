// bplus: The disk B+tree index.
#include "bplus.h"

namespace zv {

}  // namespace zv
