// The command line and the start-up checks, end to end: the real binary, its
// exact standard output and its status.
#include "harness.h"

#include "run/command_line.h"
#include "run/state.h"

#include <climits>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

using test_rows::operator<<;

struct start_up_case {
    const char* name;
    std::vector<std::string> args; // "{fw}", "{loader}", "{dir}" and "{empty}" name test files
    std::string expected;          // standard output after the banner
};

// Paths of the files that the rows name.
struct start_up_files {
    temp_dir dir;
    std::string firmware = dir.file("fw.hex", ":00000001FF\n");
    std::string loader = dir.file("loader.hex", ":00000001FF\n");
    std::string empty = dir.file("empty.hex", "");
    std::string missing = dir.path + "/missing.hex";
    std::string folder = dir.path + "/folder";
    start_up_files() {
        mkdir(folder.c_str(), 0755);
    }
    std::string expand(std::string text) const {
        const std::pair<const char*, std::string> names[] = {{"{fw}", firmware},
                                                             {"{loader}", loader},
                                                             {"{empty}", empty},
                                                             {"{missing}", missing},
                                                             {"{dir}", folder}};
        for (const auto& [token, value] : names) {
            for (std::size_t at; (at = text.find(token)) != std::string::npos;) {
                text.replace(at, std::string(token).size(), value);
            }
        }
        return text;
    }
};

class StartUp : public ::testing::TestWithParam<start_up_case> {};

TEST_P(StartUp, PrintsAndEnds) {
    const start_up_case& row = GetParam();
    start_up_files files;
    run_options options;
    for (const std::string& arg : row.args) {
        options.args.push_back(files.expand(arg));
    }
    // No ramagent.hex in the folder romup runs in.
    options.cwd = files.dir.path;
    options.with_modem = false;
    const run_result run = run_romup(options);
    EXPECT_EQ(run.out, banner + files.expand(row.expected));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.line.received, "");
}

const std::string not_found = "Can not open [/nonexistent/ttyS9]\r\n";

INSTANTIATE_TEST_SUITE_P(
    CommandLine, StartUp,
    ::testing::Values(
        start_up_case{"NoArguments", {}, usage},
        start_up_case{"BlankBeforePortValue", {"-p", "/dev/ttyS0", "-f{fw}"}, usage},
        start_up_case{"BlankBeforeFirmwareValue", {"-p/dev/ttyS0", "-f", "fw.hex"}, usage},
        start_up_case{"LongOption", {"--help"}, usage},
        start_up_case{
            "NotAnOptionStopsAtOnce", {"fw.hex", "-p/nonexistent/ttyS9", "-f{fw}"}, usage},
        start_up_case{"EmptyArgument", {"", "-p/nonexistent/ttyS9", "-f{fw}"}, usage},
        start_up_case{"PortOnly", {"-p/nonexistent/ttyS9"}, usage},
        start_up_case{"FirmwareOnly", {"-f{fw}"}, usage},
        start_up_case{"EmptyPortValue", {"-p", "-f{fw}"}, usage},
        start_up_case{"UnknownLettersIgnored",
                      {"-x", "/q", "-", "/", "-p/nonexistent/ttyS9", "-f{fw}", "-l{loader}"},
                      not_found},
        start_up_case{"UpperCaseDash", {"-P/nonexistent/ttyS9", "-F{fw}", "-L{loader}"}, not_found},
        start_up_case{"SlashLower", {"/p/nonexistent/ttyS9", "/f{fw}", "/l{loader}"}, not_found},
        start_up_case{"SlashUpper", {"/P/nonexistent/ttyS9", "/F{fw}", "/L{loader}"}, not_found},
        start_up_case{"LastPortWins",
                      {"-p/nonexistent/first", "-p/nonexistent/ttyS9", "-f{fw}", "-l{loader}"},
                      not_found},
        start_up_case{"FirmwareMissing",
                      {"-p/nonexistent/ttyS9", "-f{missing}", "-l{loader}"},
                      "Can not open [{missing}]\r\n"},
        start_up_case{"BothMissingNamesFirmware",
                      {"-p/nonexistent/ttyS9", "-f{missing}", "-l{missing}.loader"},
                      "Can not open [{missing}]\r\n"},
        start_up_case{"LoaderMissing",
                      {"-p/nonexistent/ttyS9", "-f{fw}", "-l{missing}"},
                      "Can not open [{missing}]\r\n"},
        start_up_case{"DefaultLoaderMissing",
                      {"-p/nonexistent/ttyS9", "-f{fw}"},
                      "Can not open [ramagent.hex]\r\n"},
        start_up_case{
            "EmptyLoaderValue", {"-p/nonexistent/ttyS9", "-f{fw}", "-l"}, "Can not open []\r\n"},
        start_up_case{"ReloadIgnoresMissingLoader",
                      {"-c", "-p/nonexistent/ttyS9", "-f{fw}", "-l{missing}"},
                      not_found},
        start_up_case{"ReloadTextAfterLetterIgnored",
                      {"-cwhatever", "-p/nonexistent/ttyS9", "-f{fw}"},
                      not_found},
        start_up_case{"FirmwareIsDirectory",
                      {"-p/nonexistent/ttyS9", "-f{dir}", "-l{loader}"},
                      "Can not open [{dir}]\r\n"},
        start_up_case{"LoaderIsDirectory",
                      {"-p/nonexistent/ttyS9", "-f{fw}", "-l{dir}"},
                      "Can not open [{dir}]\r\n"},
        start_up_case{"EmptyFirmware",
                      {"-p/nonexistent/ttyS9", "-f{empty}", "-l{loader}"},
                      "Firmware file [{empty}] is empty\r\n"},
        start_up_case{"EmptyFirmwareReload",
                      {"-c", "-p/nonexistent/ttyS9", "-f{empty}"},
                      "Firmware file [{empty}] is empty\r\n"},
        start_up_case{"EmptyFirmwareAfterLoaderTest",
                      {"-p/nonexistent/ttyS9", "-f{empty}", "-l{missing}"},
                      "Can not open [{missing}]\r\n"},
        start_up_case{"PortMissing", {"-p/nonexistent/ttyS9", "-f{fw}", "-l{loader}"}, not_found},
        start_up_case{"OneLetterPort", {"-pa", "-f{fw}", "-l{loader}"}, "Can not open [a]\r\n"}),
    [](const ::testing::TestParamInfo<start_up_case>& info) { return info.param.name; });

// A path of exactly n characters that names the file content, in nested
// folders below dir (a single name may have at most 255 characters).
std::string path_of_length(const temp_dir& dir, std::size_t n, const std::string& content) {
    std::string path = dir.path;
    while (n - path.size() > 200) {
        path += "/" + std::string(150, 'd');
        mkdir(path.c_str(), 0755);
    }
    path += "/" + std::string(n - path.size() - 1, 'f');
    return dir.file(path.substr(dir.path.size() + 1), content);
}

TEST(CommandLine, PathsOfFiveHundredTwelveAreTakenWhole) {
    temp_dir dir;
    const std::string firmware = path_of_length(dir, 512, ":00000001FF\n");
    ASSERT_EQ(firmware.size(), 512u);
    ASSERT_EQ(read_file(firmware), ":00000001FF\n");
    const std::string port = "/nonexistent/" + std::string(512 - 13, 'p');
    run_options options;
    options.args = {"-p" + port, "-f" + firmware, "-l" + firmware};
    options.with_modem = false;
    const run_result run = run_romup(options);
    EXPECT_EQ(run.out, banner + "Can not open [" + port + "]\r\n");
    EXPECT_EQ(run.status, 1);
}

TEST(CommandLine, PathsOfFiveHundredThirteenAreRefused) {
    temp_dir dir;
    const std::string firmware = dir.file("fw.hex", ":00000001FF\n");
    const std::string long_path = "/" + std::string(512, 'x');
    for (const char* letter : {"-p", "-f", "-l"}) {
        run_options options;
        options.args = {"-p/nonexistent/ttyS9", "-f" + firmware, "-l" + firmware,
                        letter + long_path};
        options.with_modem = false;
        const run_result run = run_romup(options);
        EXPECT_EQ(run.out, banner + usage) << letter;
        EXPECT_EQ(run.status, 1) << letter;
    }
}

struct allocation_case {
    const char* name;
    std::size_t count; // the buffer's size
    int occurrence;    // which allocation of that size, in the order romup makes them
};

class Allocation : public ::testing::TestWithParam<allocation_case> {};

TEST_P(Allocation, FailureEndsTheRunAtOnce) {
    const allocation_case& row = GetParam();
    temp_dir dir;
    run_options options;
    options.args = {"-p/nonexistent/ttyS9", "-f" + dir.file("fw.hex", ":00000001FF\n"),
                    "-l" + dir.file("loader.hex", ":00000001FF\n")};
    options.with_modem = false;
    options.environment = {"LD_PRELOAD=" ROMUP_FAIL_CALLOC,
                           "FAIL_CALLOC=" + std::to_string(row.count) + " " +
                               std::to_string(row.occurrence),
                           // The sanitizers' runtime would otherwise insist on coming first.
                           "ASAN_OPTIONS=verify_asan_link_order=0"};
    const run_result run = run_romup(options);
    EXPECT_EQ(run.out, banner + "Not enough memory\r\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(CommandLine, Allocation,
                         ::testing::Values(allocation_case{"Firmware", path_size, 1},
                                           allocation_case{"Loader", path_size, 2},
                                           allocation_case{"Reply", reply_size, 1},
                                           allocation_case{"Port", path_size, 3}),
                         [](const ::testing::TestParamInfo<allocation_case>& info) {
                             return info.param.name;
                         });

struct speed_case {
    const char* name; // the text after -s
    int expected;
};

class SpeedText : public ::testing::TestWithParam<speed_case> {};

TEST_P(SpeedText, ReadsAsAtoiButSaturates) {
    EXPECT_EQ(read_speed(GetParam().name), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, SpeedText,
    ::testing::Values(speed_case{"19200", 19200}, speed_case{"", 0}, speed_case{"abc", 0},
                      speed_case{"9600abc", 9600}, speed_case{"  \t+4800", 4800},
                      speed_case{"-9600", -9600}, speed_case{"- 5", 0}, speed_case{"+-5", 0},
                      speed_case{"2147483647", INT_MAX}, speed_case{"2147483648", INT_MAX},
                      speed_case{"99999999999999999999999", INT_MAX},
                      speed_case{"-2147483648", INT_MIN}, speed_case{"-2147483649", INT_MIN},
                      speed_case{"-99999999999999999999999", INT_MIN},
                      speed_case{"00000000000000000000115200", 115200}));

} // namespace
