// fileio: The host's account file users.dat.
#pragma once

namespace zv {

}  // namespace zv
