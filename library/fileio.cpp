// fileio: The host's account file users.dat.
#include "fileio.h"

namespace zv {

}  // namespace zv
