#include "texts/messages.h"

#include "texts/shell_word.h"

std::string around(const named_text& text, const std::string& middle) {
    return text.before + middle + text.after;
}

std::string line_of(const char* text) {
    std::string line = text;
    const auto first = line.find_first_not_of("\r\n");
    if (first == std::string::npos) {
        return "";
    }
    return line.substr(first, line.find_last_not_of("\r\n") + 1 - first);
}

namespace {

std::string firmware_word(const char* firmware) {
    return firmware == nullptr ? firmware_placeholder : shell_word(firmware);
}

} // namespace

std::string reload_command_text(const char* port, const char* firmware, long rate,
                                bool sleeping_waits) {
    return std::string("  romup -c") + (sleeping_waits ? " -w" : "") + " -p" + shell_word(port) +
           " -f" + firmware_word(firmware) + " -s" + std::to_string(rate) + "\r\n";
}

std::string normal_command_text(const char* port, const char* firmware, long rate,
                                bool sleeping_waits, const char* loader) {
    return std::string("  romup") + (sleeping_waits ? " -w" : "") + " -p" + shell_word(port) +
           " -f" + firmware_word(firmware) + " -s" + std::to_string(rate) +
           (loader != nullptr ? " -l" + shell_word(loader) : "") + "\r\n";
}
