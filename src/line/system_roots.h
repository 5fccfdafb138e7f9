// Where romup looks at the rest of the system: the process table and the
// udev database. romup links the real folders; a test program may link
// folders of its own in their place (a fake process table, fake udev data).
#pragma once

// The process table, "/proc".
extern const char* const proc_root;
// The udev database, "/run/udev", which holds a device's properties in
// data/c<major>:<minor>.
extern const char* const udev_root;
