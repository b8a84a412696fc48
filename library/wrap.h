// wrap: Cutting text into screen lines.
#pragma once

namespace zv {

}  // namespace zv
