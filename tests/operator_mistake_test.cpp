// Operator mistakes that must cost nothing, end to end: a port that is no
// terminal or that another program holds, images that are no regular files or
// hold no text, and images that change while the run uses them. Each ends
// with its message and status 1, before anything reaches what it would harm.
#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using test_rows::operator<<;

const std::string loader_file = ":00\n" + eof_record;
const std::string loader_sent = ":00\r:00000001FF\r";

// The highest percentage a progress update on standard output shows.
int highest_percent(const std::string& out) {
    int highest = 0;
    for (std::size_t at = out.find("\b\b\b\b"); at != std::string::npos;
         at = out.find("\b\b\b\b", at + 4)) {
        highest = std::max(highest, std::atoi(out.c_str() + at + 4));
    }
    return highest;
}

// ---------------------------------------------------------------------------
// The port: only a terminal is taken; anything else is left as it was.

enum class port_kind { regular_file, null_device, fifo, socket };

struct port_case {
    const char* name;
    port_kind kind;
};

class PortThatIsNoTerminal : public ::testing::TestWithParam<port_case> {};

TEST_P(PortThatIsNoTerminal, IsLeftAsItWas) {
    const port_case& row = GetParam();
    temp_dir dir;
    std::string port = dir.path + "/port";
    int held = -1;
    switch (row.kind) {
    case port_kind::regular_file: {
        dir.file("port", "the operator's file\n");
        const timeval long_ago[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(utimes(port.c_str(), long_ago), 0);
        break;
    }
    case port_kind::null_device:
        port = "/dev/null";
        break;
    case port_kind::fifo:
        ASSERT_EQ(mkfifo(port.c_str(), 0600), 0);
        // A reader that would find whatever romup wrote.
        held = open(port.c_str(), O_RDONLY | O_NONBLOCK);
        break;
    case port_kind::socket: {
        held = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", port.c_str());
        ASSERT_EQ(bind(held, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        break;
    }
    }
    run_options options;
    options.args = {"-p" + port, "-f" + dir.file("fw.hex", ":00\n"),
                    "-l" + dir.file("loader.hex", loader_file)};
    const run_result run = run_romup(options);
    EXPECT_EQ(run.out, banner + "Can not open [" + port + "]\r\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "");
    if (row.kind == port_kind::regular_file) {
        EXPECT_EQ(read_file(port), "the operator's file\n");
        struct stat info {};
        ASSERT_EQ(stat(port.c_str(), &info), 0);
        EXPECT_EQ(info.st_mtime, 1000000000);
    }
    if (row.kind == port_kind::fifo) {
        char byte = 0;
        // With no writer left, an empty FIFO reads as its end.
        EXPECT_EQ(read(held, &byte, 1), 0);
    }
    if (held != -1) {
        close(held);
    }
}

INSTANTIATE_TEST_SUITE_P(Port, PortThatIsNoTerminal,
                         ::testing::Values(port_case{"RegularFile", port_kind::regular_file},
                                           port_case{"NullDevice", port_kind::null_device},
                                           port_case{"Fifo", port_kind::fifo},
                                           port_case{"Socket", port_kind::socket}),
                         row_name{});

// romup -pfirmware.hex -f/dev/ttyUSB0: the firmware is tested first, and a
// terminal is no image; the firmware file is not written.
TEST(Port, SwappedOptionsLeaveTheFirmwareAsItWas) {
    temp_dir dir;
    const std::string firmware = dir.file("fw.hex", ":00\n");
    run_options options;
    options.args = {"-p" + firmware, "-f{port}", "-l" + dir.file("loader.hex", loader_file)};
    const run_result run = run_romup(options);
    EXPECT_EQ(run.out, banner + "Can not open [" + run.port_path + "]\r\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(read_file(firmware), ":00\n");
    EXPECT_EQ(run.line.received, "");
}

// Another program holds the port's lock: nothing is written, nothing is set.
TEST(Port, HeldByAnotherProgramIsLeftAlone) {
    temp_dir dir;
    run_options options;
    options.args = {"-p{port}", "-f" + dir.file("fw.hex", ":00\n"),
                    "-l" + dir.file("loader.hex", loader_file)};
    options.port_locked = true;
    const run_result run = run_romup(options);
    EXPECT_EQ(run.out, banner + "Port [" + run.port_path + "] is in use by another program\r\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.line.received, "");
    // The pseudo-terminal's own settings: 9600 bit/s, raw, without NOFLSH.
    ASSERT_TRUE(run.have_settings);
    EXPECT_EQ(run.ospeed, static_cast<unsigned long>(B9600));
    EXPECT_EQ(run.lflag & NOFLSH, 0u);
}

// ---------------------------------------------------------------------------
// Firmware that cannot be used is refused before the port opens, and before
// the loader is looked at (here it does not exist).

enum class source { file, fifo, path };

struct refused_case {
    const char* name;
    source from;
    std::string content; // the file's or the FIFO's bytes, or the path itself, where
                         // "{port}" and "{dir}" stand for the port and the test's folder
    std::string message; // "{fw}" stands for the firmware's path
};

class RefusedFirmware : public ::testing::TestWithParam<refused_case> {};

TEST_P(RefusedFirmware, EndsTheRunBeforeThePortOpens) {
    const refused_case& row = GetParam();
    temp_dir dir;
    std::string firmware = dir.path + "/fw.hex";
    std::unique_ptr<fifo_writer> writer;
    switch (row.from) {
    case source::file:
        dir.file("fw.hex", row.content);
        break;
    case source::fifo:
        writer = std::make_unique<fifo_writer>(firmware, row.content);
        break;
    case source::path:
        // The harness puts the port's path in place of "{port}".
        firmware = with_paths(row.content, {{"{dir}", dir.path}});
        break;
    }
    run_options options;
    options.args = {"-p{port}", "-f" + firmware, "-l" + dir.path + "/missing.hex"};
    const run_result run = run_romup(options);
    EXPECT_EQ(run.out, banner + with_paths(row.message, {{"{fw}", firmware},
                                                         {"{port}", run.port_path},
                                                         {"{dir}", dir.path}}));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.line.received, "");
    ASSERT_TRUE(run.have_settings);
    EXPECT_EQ(run.ospeed, static_cast<unsigned long>(B9600));
}

const std::string empty_firmware = "Firmware file [{fw}] is empty\r\n";
const std::string cannot_open_firmware = "Can not open [{fw}]\r\n";

INSTANTIATE_TEST_SUITE_P(
    Firmware, RefusedFirmware,
    ::testing::Values(
        refused_case{"EmptyFile", source::file, "", empty_firmware},
        refused_case{"OneLineFeed", source::file, "\n", empty_firmware},
        refused_case{"BlankLines", source::file, "\r\n\n\r\r\n", empty_firmware},
        refused_case{"NulBytes", source::file, std::string(5000, '\0'), empty_firmware},
        refused_case{"NulBeforeText", source::file, std::string("\0:00\n", 5), empty_firmware},
        refused_case{"EmptyFifo", source::fifo, "", empty_firmware},
        refused_case{"FifoOfBlankLines", source::fifo, "\n\r\n\n", empty_firmware},
        refused_case{"NullDevice", source::path, "/dev/null", cannot_open_firmware},
        refused_case{"ZeroDevice", source::path, "/dev/zero", cannot_open_firmware},
        refused_case{"Terminal", source::path, "{port}", cannot_open_firmware},
        refused_case{"Directory", source::path, "{dir}", cannot_open_firmware},
        // A regular file whose first read fails (EIO): unreadable, not empty.
        refused_case{"ReadError", source::path, "/proc/self/mem", cannot_open_firmware}),
    row_name{});

// A firmware whose only text follows blank lines and NULs still has a line
// to write.
TEST(Firmware, TextAfterBlankLinesIsSent) {
    temp_dir dir;
    const std::string content = std::string("\n\0\n\r\nf1\n", 7);
    run_options options;
    options.args = {"-c", "-p{port}", "-f" + dir.file("fw.hex", content)};
    options.answer = "y\n";
    options.modem.start = sim_start::loader_running;
    options.modem.check_records = false;
    options.modem.erase_ms = 0;
    const run_result run = run_romup(options);
    EXPECT_EQ(run.line.received, "XREPROGRAM\r\r\r\rf1\r" + restart_commands);
    EXPECT_EQ(run.status, 0);
}

// ---------------------------------------------------------------------------
// Images from a pipe or FIFO are read whole before the port opens: their
// uploads show percentages and write exactly the image.

struct fifo_case {
    const char* name;
    bool reload;
};

class FifoFirmware : public ::testing::TestWithParam<fifo_case> {};

TEST_P(FifoFirmware, IsWrittenWholeWithPercentages) {
    const fifo_case& row = GetParam();
    const std::string images = ROMUP_IMAGES_DIR;
    const std::string content = read_file(images + "/firmware.hex");
    temp_dir dir;
    const fifo_writer writer(dir.path + "/fw.fifo", content);
    run_options options;
    options.args = {"-p{port}", "-f" + writer.path};
    if (row.reload) {
        options.args.emplace_back("-c");
        options.modem.start = sim_start::loader_running;
    } else {
        options.args.push_back("-l" + images + "/ramagent.hex");
    }
    options.answer = "y\n";
    options.modem.erase_ms = 20;
    const run_result run = run_romup(options);
    EXPECT_TRUE(ends_with(run.out, "Reprogram [Y/N]? " + erasing +
                                       progress_line(firmware_heading, percents_of(content)) +
                                       loaded))
        << run.out;
    EXPECT_EQ(std::string(run.line.flash.begin(), run.line.flash.end()),
              read_file(images + "/firmware.bin"));
    EXPECT_EQ(run.status, 0);
}

INSTANTIATE_TEST_SUITE_P(Firmware, FifoFirmware,
                         ::testing::Values(fifo_case{"Normal", false}, fifo_case{"Reload", true}),
                         row_name{});

// The copy of a pipe goes to /tmp when $TMPDIR cannot take it.
struct tmpdir_case {
    const char* name;
    const char* tmpdir;
};

class FifoCopy : public ::testing::TestWithParam<tmpdir_case> {};

TEST_P(FifoCopy, FallsBackToTmp) {
    temp_dir dir;
    dir.file("a-file", "");
    const fifo_writer writer(dir.path + "/fw.fifo", good_firmware);
    run_options options;
    options.args = {"-c", "-p{port}", "-f" + writer.path};
    options.environment = {"TMPDIR=" + with_paths(GetParam().tmpdir, {{"{dir}", dir.path}})};
    options.modem.start = sim_start::loader_running;
    options.answer = "n\n";
    const run_result run = run_romup(options);
    EXPECT_TRUE(ends_with(run.out, "Reprogram [Y/N]? " + aborted)) << run.out;
    EXPECT_EQ(run.status, 1);
}

INSTANTIATE_TEST_SUITE_P(Firmware, FifoCopy,
                         ::testing::Values(tmpdir_case{"Missing", "{dir}/missing"},
                                           tmpdir_case{"NotAFolder", "{dir}/a-file"},
                                           tmpdir_case{"Empty", ""}),
                         row_name{});

// While romup waits for a FIFO's writer or its end, the port is not open yet
// and the interrupt key ends the run.
struct interrupt_case {
    const char* name;
    bool with_writer; // a writer that sends half a line and stalls
};

class WaitForFifo : public ::testing::TestWithParam<interrupt_case> {};

TEST_P(WaitForFifo, EndsOnTheInterruptKey) {
    const interrupt_case& row = GetParam();
    temp_dir dir;
    const std::string fifo = dir.path + "/fw.fifo";
    std::unique_ptr<fifo_writer> writer;
    if (row.with_writer) {
        writer = std::make_unique<fifo_writer>(fifo, ":0000", false);
    } else {
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    }
    run_options options;
    options.args = {"-p{port}", "-f" + fifo, "-l" + dir.file("loader.hex", loader_file)};
    options.while_running = [](pid_t romup) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(romup, SIGINT);
    };
    const run_result run = run_romup(options);
    EXPECT_EQ(run.status, -1); // ended by the signal
    EXPECT_EQ(run.line.received, "");
    ASSERT_TRUE(run.have_settings);
    EXPECT_EQ(run.ospeed, static_cast<unsigned long>(B9600));
}

INSTANTIATE_TEST_SUITE_P(Firmware, WaitForFifo,
                         ::testing::Values(interrupt_case{"NoWriter", false},
                                           interrupt_case{"StalledWriter", true}),
                         row_name{});

// ---------------------------------------------------------------------------
// Images changed by another program after their test.

// A lenient run: a small loader, a modem that checks no records and erases
// at once.
run_options lenient_run(const temp_dir& dir, const std::string& firmware) {
    run_options options;
    options.args = {"-p{port}", "-f" + dir.file("fw.hex", firmware),
                    "-l" + dir.file("loader.hex", loader_file)};
    options.answer = "y\n";
    options.modem.check_records = false;
    options.modem.erase_ms = 0;
    return options;
}

// Many stdio buffers long, so that the change lands before romup reads on.
std::string long_firmware() {
    std::string firmware;
    for (int line = 0; line < 400; ++line) {
        firmware += ":10000000000102030405060708090A0B0C0D0E0F78\n";
    }
    return firmware;
}

enum class change { removed, directory, fifo, emptied, cut, extended, rewritten };

struct during_case {
    const char* name;
    change what;
};

class ChangedDuringUpload : public ::testing::TestWithParam<during_case> {};

TEST_P(ChangedDuringUpload, FailsAndNeverShowsMoreThanAll) {
    const during_case& row = GetParam();
    temp_dir dir;
    const std::string firmware = long_firmware();
    run_options options = lenient_run(dir, firmware);
    const std::string path = dir.path + "/fw.hex";
    options.modem.on_firmware_line = [&](int line) {
        if (line != 5) {
            return;
        }
        if (row.what == change::extended) {
            std::ofstream(path, std::ios::app) << firmware;
        } else if (row.what == change::cut) {
            std::filesystem::resize_file(path, firmware.size() / 2);
        } else {
            // The same size, one byte of the last line other.
            std::fstream file(path, std::ios::in | std::ios::out);
            file.seekp(static_cast<std::streamoff>(firmware.size() - 3));
            file << '9';
        }
    };
    const run_result run = run_romup(options);
    EXPECT_TRUE(ends_with(run.out, "\r\nError while loading Flash\r\n" +
                                       reload_hint(run.port_path, path, 19200, run.sleeping_waits)))
        << run.out;
    EXPECT_EQ(run.out.find("successfully"), std::string::npos);
    EXPECT_LE(highest_percent(run.out), 100);
    EXPECT_EQ(run.status, 1);
}

INSTANTIATE_TEST_SUITE_P(Firmware, ChangedDuringUpload,
                         ::testing::Values(during_case{"CutShort", change::cut},
                                           during_case{"Extended", change::extended},
                                           during_case{"RewrittenInPlace", change::rewritten}),
                         row_name{});

// Changed by another program after the start-up check: the image checked is
// the image sent, from the descriptor of the check. A name removed or put to
// another file changes nothing; the checked file changed in place ends the
// run before the erase, while the probe runs (before the question) or while
// the question is open (after the answer).

struct after_check_case {
    const char* name;
    bool loader; // the loader changes, else the firmware
    change what;
    bool at_question; // else while the probe runs
};

class ChangedAfterItsCheck : public ::testing::TestWithParam<after_check_case> {};

TEST_P(ChangedAfterItsCheck, NeverErasesForAnotherImage) {
    const after_check_case& row = GetParam();
    temp_dir dir;
    const std::string content = ":0100000000FF\n:0100000001FE\n:00000001FF\n";
    run_options options = lenient_run(dir, content);
    const std::string path = dir.path + (row.loader ? "/loader.hex" : "/fw.hex");
    bool changed = false;
    const auto change_it = [&] {
        changed = true;
        switch (row.what) {
        case change::removed:
        case change::directory:
        case change::fifo:
            std::filesystem::remove(path);
            if (row.what == change::directory) {
                std::filesystem::create_directory(path);
            } else if (row.what == change::fifo) {
                mkfifo(path.c_str(), 0600);
            }
            break;
        case change::emptied:
            std::filesystem::resize_file(path, 0);
            break;
        case change::cut:
            std::filesystem::resize_file(path, content.size() / 2);
            break;
        case change::extended:
            std::ofstream(path, std::ios::app) << ":0100000002FD\n";
            break;
        case change::rewritten: {
            std::fstream file(path, std::ios::in | std::ios::out);
            file.seekp(8);
            file << '9';
            break;
        }
        }
    };
    if (row.at_question) {
        options.on_poll = [&](pid_t, const std::string& out) {
            if (!changed && ends_with(out, "Reprogram [Y/N]? ")) {
                change_it();
            }
        };
    } else {
        options.modem.on_command = [&](const std::string& command) {
            if (command == "AT") {
                change_it();
            }
        };
    }
    const run_result run = run_romup(options);
    const std::string firmware = dir.path + "/fw.hex";
    const bool in_place = !row.loader && row.what != change::removed &&
                          row.what != change::directory && row.what != change::fifo;
    if (!in_place) {
        EXPECT_TRUE(ends_with(run.out, loaded)) << run.out;
        EXPECT_EQ(run.line.firmware_lines, 3);
        EXPECT_EQ(run.status, 0);
        return;
    }
    const std::string stopped = "Firmware file [" + firmware +
                                "] changed after romup checked it: the Flash was not touched\r\n"
                                "Please reset your modem to continue\r\n";
    const std::string until_question =
        banner + progress_line(loader_heading, {25, 100}) + question(ready, firmware);
    EXPECT_EQ(run.out, row.at_question
                           ? until_question + "\r\n" + stopped
                           : banner + progress_line(loader_heading, {25, 100}) + stopped);
    EXPECT_EQ(run.line.received, probe_commands + loader_sent + "STARTUP\r");
    EXPECT_FALSE(run.line.erased);
    EXPECT_EQ(run.status, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Images, ChangedAfterItsCheck,
    ::testing::Values(after_check_case{"LoaderRemoved", true, change::removed, false},
                      after_check_case{"LoaderMadeAFifo", true, change::fifo, false},
                      after_check_case{"FirmwareRemoved", false, change::removed, false},
                      after_check_case{"FirmwareMadeADirectory", false, change::directory, false},
                      after_check_case{"FirmwareMadeAFifo", false, change::fifo, true},
                      after_check_case{"FirmwareEmptied", false, change::emptied, false},
                      after_check_case{"FirmwareCut", false, change::cut, false},
                      after_check_case{"FirmwareExtended", false, change::extended, false},
                      after_check_case{"FirmwareRewritten", false, change::rewritten, false},
                      after_check_case{"FirmwareCutAtQuestion", false, change::cut, true},
                      after_check_case{"FirmwareExtendedAtQuestion", false, change::extended, true},
                      after_check_case{"FirmwareRewrittenAtQuestion", false, change::rewritten,
                                       true}),
    row_name{});

} // namespace
