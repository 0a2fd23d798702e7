// Window messages: per-thread queues, classes, windows, posting and sending.
#include "Objects.h"

namespace platform::detail {

// Threads end without queues until the window messages arrive in this file.
void EndThreadMessages() {}

} // namespace platform::detail
