#include "framing.h"

#include <algorithm>

constexpr std::size_t image_line_max = 1023;

std::vector<std::string> image_lines(const std::string& content) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < content.size()) {
        std::size_t length = std::min(image_line_max, content.size() - at);
        const std::size_t lf = content.find('\n', at);
        if (lf != std::string::npos && lf - at < length) {
            length = lf - at + 1;
        }
        lines.push_back(content.substr(at, length));
        at += length;
    }
    return lines;
}

std::string framed(const std::string& line, bool loader) {
    const std::string stops = loader ? std::string("\n\0", 2) : std::string("\n\r\0", 3);
    std::string text = line.substr(0, line.find_first_of(stops));
    if (!loader || text.find('\r') == std::string::npos) {
        text += '\r';
    }
    return text;
}

framing frame(const std::string& content, bool loader) {
    framing result;
    for (const std::string& line : image_lines(content)) {
        result.bytes += framed(line, loader);
        ++result.lines;
    }
    return result;
}

std::vector<int> percents_of(const std::string& content) {
    std::vector<int> percents;
    std::size_t position = 0;
    int shown = 0;
    for (const std::string& line : image_lines(content)) {
        position += line.size();
        const int percent = static_cast<int>(position * 100 / content.size());
        if (percent != shown) {
            percents.push_back(percent);
            shown = percent;
        }
    }
    return percents;
}
