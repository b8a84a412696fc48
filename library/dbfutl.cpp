// dbfutl: The message-text library: prompts by label in plain, ANSI and RIP flavours.
#include "dbfutl.h"

namespace zv {

}  // namespace zv
