#include "line/system_roots.h"

const char* const proc_root = "/proc";
const char* const udev_root = "/run/udev";
