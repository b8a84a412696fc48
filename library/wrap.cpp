// wrap: Cutting text into screen lines.
#include "wrap.h"

namespace zv {

}  // namespace zv
