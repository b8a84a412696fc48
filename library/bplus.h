// bplus: The disk B+tree index.
#pragma once

namespace zv {

}  // namespace zv
