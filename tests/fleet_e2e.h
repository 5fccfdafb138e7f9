// What the whole runs of romup-fleet share, over ports (fleet_test) and as a
// station (station_test): the fleet in a folder of the test's own, and the
// report read back. Nothing here starts a run.
#pragma once

#include "harness.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

// romup-fleet copied into the folder, beside a `romup` that is the test
// build: the fleet runs the romup beside itself. Its path.
inline std::string fleet_beside_romup(const temp_dir& dir) {
    const std::string fleet = dir.path + "/romup-fleet";
    std::filesystem::copy_file(ROMUP_FLEET_BINARY, fleet);
    if (symlink(ROMUP_FAST_BINARY, (dir.path + "/romup").c_str()) != 0) {
        ADD_FAILURE() << "cannot link romup";
    }
    return fleet;
}

// The report's lines, parsed; each must be one whole JSON object, the last
// one ended.
inline std::vector<nlohmann::json> report_lines(const std::string& path) {
    const std::string text = read_file(path);
    EXPECT_TRUE(text.empty() || text.back() == '\n') << text;
    std::vector<nlohmann::json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(nlohmann::json::parse(line, nullptr, false));
        EXPECT_TRUE(lines.back().is_object()) << line;
    }
    return lines;
}
