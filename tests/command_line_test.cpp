// The command line and the start-up checks, end to end: the real binary, its
// exact standard output and its status.
#include "harness.h"

#include "run/state.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

using test_rows::operator<<;

struct start_up_case {
    const char* name;
    std::vector<std::string> args; // marks such as "{fw}" name the files of start_up_files
    std::string expected;          // standard output after the banner
    std::string fail_calloc = "";  // the size and occurrence of a calloc that fails ("": none)
};

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

struct start_up_files {
    temp_dir dir;
    std::string firmware = dir.file("fw.hex", ":00000001FF\n");
    std::string loader = dir.file("loader.hex", ":00000001FF\n");
    std::string empty = dir.file("empty.hex", "");
    std::string missing = dir.path + "/missing.hex";
    std::string folder = dir.path + "/folder";
    std::string too_long = "/" + std::string(512, 'x');
    std::string firmware_512 = path_of_length(dir, 512, ":00000001FF\n");
    std::string port_512 = "/nonexistent/" + std::string(512 - 13, 'p');
    start_up_files() {
        mkdir(folder.c_str(), 0755);
    }
    std::string expand(const std::string& text) const {
        return with_paths(text, {{"{fw}", firmware},
                                 {"{loader}", loader},
                                 {"{empty}", empty},
                                 {"{missing}", missing},
                                 {"{dir}", folder},
                                 {"{too_long}", too_long},
                                 {"{fw512}", firmware_512},
                                 {"{port512}", port_512}});
    }
};

class StartUp : public ::testing::TestWithParam<start_up_case> {};

TEST_P(StartUp, PrintsAndEnds) {
    const start_up_case& row = GetParam();
    start_up_files files;
    ASSERT_EQ(files.firmware_512.size(), 512u);
    // romup with exactly the row's arguments (no -w before them), no modem on any port.
    run_options options;
    options.with_modem = false;
    options.busy_poll = true;
    for (const std::string& arg : row.args) {
        options.args.push_back(files.expand(arg));
    }
    // No ramagent.hex in the folder romup runs in.
    options.cwd = files.dir.path;
    if (!row.fail_calloc.empty()) {
        options.environment = {"LD_PRELOAD=" ROMUP_FAIL_CALLOC, "FAIL_CALLOC=" + row.fail_calloc,
                               // The sanitizers' runtime would otherwise insist on coming first.
                               "ASAN_OPTIONS=verify_asan_link_order=0"};
    }
    const run_result run = run_romup(options);
    EXPECT_EQ(run.out, banner + files.expand(row.expected));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.line.received, "");
}

// What romup prints when it cannot open name, and a port it cannot open.
std::string cannot(const std::string& name) {
    return "Can not open [" + name + "]\r\n";
}
const std::string no_port = "-p/nonexistent/ttyS9";
const std::string not_found = cannot("/nonexistent/ttyS9");
const std::string is_empty = "Firmware file [{empty}] is empty\r\n";
const std::string no_memory = "Not enough memory\r\n";
// The calloc of size that fails, counted in the order romup makes them.
std::string failing(std::size_t size, int occurrence) {
    return std::to_string(size) + " " + std::to_string(occurrence);
}
// A port, a firmware and a loader, as a run names them.
const std::vector<std::string> complete = {no_port, "-f{fw}", "-l{loader}"};
using row = start_up_case;

INSTANTIATE_TEST_SUITE_P(
    CommandLine, StartUp,
    ::testing::Values(
        row{"NoArguments", {}, usage},
        row{"BlankBeforePortValue", {"-p", "/dev/ttyS0", "-f{fw}"}, usage},
        row{"BlankBeforeFirmwareValue", {"-p/dev/ttyS0", "-f", "fw.hex"}, usage},
        row{"LongOption", {"--help"}, usage},
        row{"NotAnOptionStopsAtOnce", {"fw.hex", no_port, "-f{fw}"}, usage},
        row{"EmptyArgument", {"", no_port, "-f{fw}"}, usage}, row{"PortOnly", {no_port}, usage},
        row{"FirmwareOnly", {"-f{fw}"}, usage}, row{"EmptyPortValue", {"-p", "-f{fw}"}, usage},
        row{"UnknownLettersIgnored",
            {"-x", "/q", "-", "/", no_port, "-f{fw}", "-l{loader}"},
            not_found},
        row{"UpperCaseDash", {"-P/nonexistent/ttyS9", "-F{fw}", "-L{loader}"}, not_found},
        row{"SlashLower", {"/p/nonexistent/ttyS9", "/f{fw}", "/l{loader}"}, not_found},
        row{"SlashUpper", {"/P/nonexistent/ttyS9", "/F{fw}", "/L{loader}"}, not_found},
        row{"LastPortWins", {"-p/nonexistent/first", no_port, "-f{fw}", "-l{loader}"}, not_found},
        row{"FirmwareMissing", {no_port, "-f{missing}", "-l{loader}"}, cannot("{missing}")},
        row{"BothMissingNamesFirmware",
            {no_port, "-f{missing}", "-l{missing}.loader"},
            cannot("{missing}")},
        row{"LoaderMissing", {no_port, "-f{fw}", "-l{missing}"}, cannot("{missing}")},
        row{"DefaultLoaderMissing", {no_port, "-f{fw}"}, cannot("ramagent.hex")},
        // "-l /opt/x": the value as a separate argument names no loader.
        row{"EmptyLoaderValue", {no_port, "-f{fw}", "-l"}, usage},
        row{"EmptyLoaderValueInReloadMode", {"-c", no_port, "-f{fw}", "-l"}, usage},
        row{"ReloadIgnoresMissingLoader", {"-c", no_port, "-f{fw}", "-l{missing}"}, not_found},
        row{"ReloadTextAfterLetterIgnored", {"-cwhatever", no_port, "-f{fw}"}, not_found},
        row{"FirmwareIsDirectory", {no_port, "-f{dir}", "-l{loader}"}, cannot("{dir}")},
        row{"LoaderIsDirectory", {no_port, "-f{fw}", "-l{dir}"}, cannot("{dir}")},
        row{"EmptyFirmware", {no_port, "-f{empty}", "-l{loader}"}, is_empty},
        row{"EmptyFirmwareReload", {"-c", no_port, "-f{empty}"}, is_empty},
        row{"EmptyFirmwareBeforeLoaderTest", {no_port, "-f{empty}", "-l{missing}"}, is_empty},
        row{"PortMissing", complete, not_found},
        row{"OneLetterPort", {"-pa", "-f{fw}", "-l{loader}"}, cannot("a")},
        // A path of 513 characters is refused in each option.
        row{"PortOf513", {no_port, "-f{fw}", "-l{loader}", "-p{too_long}"}, usage},
        row{"FirmwareOf513", {no_port, "-f{fw}", "-l{loader}", "-f{too_long}"}, usage},
        row{"LoaderOf513", {no_port, "-f{fw}", "-l{loader}", "-l{too_long}"}, usage},
        row{"PathsOf512AreTakenWhole",
            {"-p{port512}", "-f{fw512}", "-l{fw512}"},
            cannot("{port512}")},
        // An allocation that fails ends the run at once.
        row{"FirmwareAllocation", complete, no_memory, failing(path_size, 1)},
        row{"LoaderAllocation", complete, no_memory, failing(path_size, 2)},
        row{"ReplyAllocation", complete, no_memory, failing(reply_size, 1)},
        row{"PortAllocation", complete, no_memory, failing(path_size, 3)}),
    row_name{});

} // namespace
