#include "run/state.h"

#include <cstdlib>

char* port_name = nullptr;
char* firmware_name = nullptr;
char* loader_name = nullptr;
char* reply = nullptr;
std::int32_t line_speed = default_line_speed;
bool reload_mode = false;
bool sleeping_waits = false;

void alloc_buffers() {
    firmware_name = static_cast<char*>(std::calloc(path_size, 1));
    loader_name = static_cast<char*>(std::calloc(path_size, 1));
    reply = static_cast<char*>(std::calloc(reply_size, 1));
    port_name = static_cast<char*>(std::calloc(path_size, 1));
}

void free_buffers() {
    std::free(firmware_name);
    std::free(loader_name);
    std::free(reply);
    std::free(port_name);
    firmware_name = nullptr;
    loader_name = nullptr;
    reply = nullptr;
    port_name = nullptr;
}
