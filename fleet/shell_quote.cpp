#include "shell_quote.h"

#include <string_view>

namespace {

bool plain(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("@%+=:,./_-").find(c) != std::string_view::npos;
}

} // namespace

std::string shell_quote(const std::string& word) {
    bool quote = word.empty();
    for (char c : word) {
        quote = quote || !plain(c);
    }
    if (!quote) {
        return word;
    }
    std::string quoted = "'";
    for (char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

std::string shell_command(const std::vector<std::string>& words) {
    std::string command;
    for (const std::string& word : words) {
        command += (command.empty() ? "" : " ") + shell_quote(word);
    }
    return command;
}
