// The one instance of the control flags and the locks around them.
#include "agent/flags.h"

TORVFlags ORVFlags;
std::mutex thread_mutex;
std::mutex upgrade_mutex;
