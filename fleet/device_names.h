// The names a port goes by beyond the one the operator typed, so that a
// report can say which physical modem got which image: the device node the
// path resolves to and, where udev knows the device (read through libudev),
// its place on the bus (its /dev/serial/by-path name) and its adapter's
// serial number. A pseudo-terminal is none of udev's.
#pragma once

#include <optional>
#include <string>

struct device_names {
    std::string device; // the node the port resolves to; the port itself when it does not
    std::optional<std::string> id_path; // its /dev/serial/by-path/ link
    std::optional<std::string> serial;  // ID_SERIAL_SHORT of its adapter
};

device_names names_of_device(const std::string& port);
