// The test build's system: a process table and a udev database in a folder
// of the build tree that the tests fill, never the machine's own.
#include "line/system_roots.h"

const char* const proc_root = ROMUP_FAKE_SYSTEM "/proc";
const char* const udev_root = ROMUP_FAKE_SYSTEM "/udev";
