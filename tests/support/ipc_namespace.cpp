#include "ipc_namespace.h"

#include "engine.h"

namespace zvtest {

std::string enter_private_ipc_namespace() { return zv::host::enter_private_ipc_namespace(); }

}  // namespace zvtest
