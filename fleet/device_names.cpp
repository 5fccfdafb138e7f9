#include "device_names.h"

#include <climits>
#include <cstdlib>
#include <libudev.h>
#include <sys/stat.h>

namespace {

constexpr char by_path[] = "/dev/serial/by-path/";

// Reads what udev's database holds of the character device: its links and
// properties. Nothing when udev has no record of it.
void add_udev_names(dev_t device, device_names& names) {
    udev* context = udev_new();
    if (context == nullptr) {
        return;
    }
    udev_device* found = udev_device_new_from_devnum(context, 'c', device);
    if (found != nullptr) {
        udev_list_entry* link = nullptr;
        udev_list_entry_foreach(link, udev_device_get_devlinks_list_entry(found)) {
            const std::string name = udev_list_entry_get_name(link);
            if (name.rfind(by_path, 0) == 0) {
                names.id_path = name;
                break;
            }
        }
        if (const char* serial = udev_device_get_property_value(found, "ID_SERIAL_SHORT")) {
            names.serial = std::string(serial);
        }
        udev_device_unref(found);
    }
    udev_unref(context);
}

} // namespace

device_names names_of_device(const std::string& port) {
    device_names names;
    char resolved[PATH_MAX];
    names.device = realpath(port.c_str(), resolved) != nullptr ? resolved : port;
    struct stat node {};
    if (stat(port.c_str(), &node) == 0 && S_ISCHR(node.st_mode)) {
        add_udev_names(node.st_rdev, names);
    }
    return names;
}
