// Operator mistakes that must cost nothing, end to end: a port that is no
// terminal or that another program holds, images that are no regular files or
// hold no text, and images that change while the run uses them. Each ends
// with its message and status 1, before anything reaches what it would harm.
#include "harness.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using test_rows::operator<<;

const std::string images = ROMUP_IMAGES_DIR;
const std::string loader_file = ":00\n" + eof_record;

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
// A port that is no terminal or that another program holds, and firmware
// that cannot be used: the run ends with its message before anything reaches
// the line or what stands at the port's path. The pseudo-terminal keeps its
// own settings: 9600 bit/s, raw, without NOFLSH.

// What stands at the port's path: the pseudo-terminal the modem answers on,
// free or with its lock held by another program, or something else.
enum class port_kind { terminal, locked, regular_file, null_device, fifo, socket };
enum class source { file, fifo, path };

struct refused_case {
    const char* name;
    std::string message; // "{fw}" and "{port}" stand for the firmware's path and the port's
    // The file's or the FIFO's bytes, or the path itself, where "{port}" and
    // "{dir}" stand for the pseudo-terminal and the test's folder.
    std::string firmware;
    source from = source::file;
    port_kind port = port_kind::terminal;
};

class Refused : public ::testing::TestWithParam<refused_case> {};

TEST_P(Refused, EndsTheRunBeforeAnythingIsTouched) {
    const refused_case& row = GetParam();
    temp_dir dir;
    std::string port = dir.path + "/port";
    int held = -1;
    switch (row.port) {
    case port_kind::terminal:
    case port_kind::locked:
        port = "{port}";
        break;
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
    std::string firmware = dir.path + "/fw.hex";
    std::unique_ptr<fifo_writer> writer;
    if (row.from == source::file) {
        dir.file("fw.hex", row.firmware);
    } else if (row.from == source::fifo) {
        writer = std::make_unique<fifo_writer>(firmware, row.firmware);
    } else {
        firmware = with_paths(row.firmware, {{"{dir}", dir.path}});
    }
    // With the modem's port, the firmware is what is refused: before the
    // loader is looked at (here it does not exist).
    const std::string loader = row.port == port_kind::terminal
                                   ? dir.path + "/missing.hex"
                                   : dir.file("loader.hex", loader_file);
    run_options options;
    options.args = {"-p" + port, "-f" + firmware, "-l" + loader};
    // Another program's descriptor holds the port's lock for the run.
    int locker = -1;
    if (row.port == port_kind::locked) {
        options.before_start = [&](const std::string& pty) {
            locker = open(pty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            EXPECT_EQ(flock(locker, LOCK_EX | LOCK_NB), 0);
        };
    }
    const run_result run = run_romup(options);
    if (locker != -1) {
        close(locker);
    }
    const auto on_pty = [&](const std::string& path) {
        return with_paths(path, {{"{port}", run.port_path}});
    };
    EXPECT_EQ(run.out, banner + with_paths(row.message,
                                           {{"{fw}", on_pty(firmware)}, {"{port}", on_pty(port)}}));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.line.received, "");
    if (row.port == port_kind::regular_file) {
        EXPECT_EQ(read_file(port), "the operator's file\n");
        struct stat info {};
        ASSERT_EQ(stat(port.c_str(), &info), 0);
        EXPECT_EQ(info.st_mtime, 1000000000);
    }
    if (row.port == port_kind::fifo) {
        char byte = 0;
        // With no writer left, an empty FIFO reads as its end.
        EXPECT_EQ(read_some(held, &byte, 1), 0);
    }
    if (held != -1) {
        close(held);
    }
    ASSERT_TRUE(run.have_settings);
    EXPECT_EQ(run.ospeed, static_cast<unsigned long>(B9600));
    EXPECT_EQ(run.lflag & NOFLSH, 0u);
}

const std::string empty_firmware = "Firmware file [{fw}] is empty\r\n";
const std::string cannot_open_firmware = "Can not open [{fw}]\r\n";
const std::string cannot_open_port = "Can not open [{port}]\r\n";

INSTANTIATE_TEST_SUITE_P(
    Mistake, Refused,
    ::testing::Values(
        refused_case{"PortIsARegularFile", cannot_open_port, ":00\n", source::file,
                     port_kind::regular_file},
        refused_case{"PortIsTheNullDevice", cannot_open_port, ":00\n", source::file,
                     port_kind::null_device},
        refused_case{"PortIsAFifo", cannot_open_port, ":00\n", source::file, port_kind::fifo},
        refused_case{"PortIsASocket", cannot_open_port, ":00\n", source::file, port_kind::socket},
        refused_case{"PortHeldByAnotherProgram", "Port [{port}] is in use by another program\r\n",
                     ":00\n", source::file, port_kind::locked},
        // romup -pfirmware.hex -f/dev/ttyUSB0: the firmware is tested first,
        // and a terminal is no image; the file named as the port stays as it was.
        refused_case{"SwappedOptions", cannot_open_firmware, "{port}", source::path,
                     port_kind::regular_file},
        refused_case{"EmptyFile", empty_firmware, ""},
        refused_case{"OneLineFeed", empty_firmware, "\n"},
        refused_case{"BlankLines", empty_firmware, "\r\n\n\r\r\n"},
        refused_case{"NulBytes", empty_firmware, std::string(5000, '\0')},
        refused_case{"NulBeforeText", empty_firmware, std::string("\0:00\n", 5)},
        refused_case{"EmptyFifo", empty_firmware, "", source::fifo},
        refused_case{"FifoOfBlankLines", empty_firmware, "\n\r\n\n", source::fifo},
        refused_case{"NullDevice", cannot_open_firmware, "/dev/null", source::path},
        refused_case{"ZeroDevice", cannot_open_firmware, "/dev/zero", source::path},
        refused_case{"Terminal", cannot_open_firmware, "{port}", source::path},
        refused_case{"Directory", cannot_open_firmware, "{dir}", source::path},
        // A regular file whose first read fails (EIO): unreadable, not empty.
        refused_case{"ReadError", cannot_open_firmware, "/proc/self/mem", source::path}),
    row_name{});

// romup -p/dev/tty from the operator's own terminal (under script, say): the
// terminal shows the refusal and nothing else, and keeps its speed.
TEST(OwnTerminalRun, DevTtyIsRefusedBeforeAnythingIsWritten) {
    const deadline_guard guard{20};
    temp_dir dir;
    pty_pair terminal = open_raw_pty();
    std::vector<std::string> args = {ROMUP_FAST_BINARY, "-w", "-p/dev/tty",
                                     "-f" + dir.file("fw.hex", good_firmware),
                                     "-l" + dir.file("loader.hex", loader_file)};
    const std::vector<char*> argv = argv_of(args);
    const pid_t romup = fork();
    if (romup == 0) {
        // The leader of a new session takes the first terminal it opens as its own.
        setsid();
        const int own = open(terminal.slave_path.c_str(), O_RDWR);
        for (int standard = 0; standard <= 2; ++standard) {
            dup2(own, standard);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(romup, &status, 0), romup);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    fcntl(terminal.master, F_SETFL, O_NONBLOCK);
    EXPECT_EQ(read_available(terminal.master), banner + "Can not open [/dev/tty]\r\n");
    termios settings{};
    ASSERT_EQ(tcgetattr(terminal.slave, &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));
    close_pty(terminal);
}

// A firmware whose only text follows blank lines and NULs still has a line
// to write.
TEST(Firmware, TextAfterBlankLinesIsSent) {
    small_run setup(loader_file, std::string("\n\0\n\r\nf1\n", 7), "y\n");
    setup.options.args = {"-c", "-p{port}", "-f" + setup.firmware};
    setup.options.modem.start = sim_start::loader_running;
    const run_result run = run_romup(setup.options);
    EXPECT_EQ(run.line.received, "XREPROGRAM\r\r\r\rf1\r" + restart_commands);
    EXPECT_EQ(run.status, 0);
}

// ---------------------------------------------------------------------------
// Images from a pipe or FIFO are read whole before the port opens, into a
// copy that goes to /tmp when $TMPDIR cannot take it: their uploads show
// percentages and write exactly the image.

struct fifo_case {
    const char* name;
    bool reload;
    const char* tmpdir = nullptr; // "{dir}" stands for the test's folder (null: the test's own)
};

class FifoFirmware : public ::testing::TestWithParam<fifo_case> {};

TEST_P(FifoFirmware, IsWrittenWholeWithPercentages) {
    const fifo_case& row = GetParam();
    const std::string content = read_file(images + "/firmware.hex");
    temp_dir dir;
    dir.file("a-file", "");
    const fifo_writer writer(dir.path + "/fw.fifo", content);
    run_options options;
    options.args = {"-p{port}", "-f" + writer.path};
    if (row.reload) {
        options.args.emplace_back("-c");
        options.modem.start = sim_start::loader_running;
    } else {
        options.args.push_back("-l" + images + "/ramagent.hex");
    }
    if (row.tmpdir != nullptr) {
        options.environment = {"TMPDIR=" + with_paths(row.tmpdir, {{"{dir}", dir.path}})};
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
                         ::testing::Values(fifo_case{"Normal", false}, fifo_case{"Reload", true},
                                           fifo_case{"TmpdirMissing", true, "{dir}/missing"},
                                           fifo_case{"TmpdirNotAFolder", true, "{dir}/a-file"},
                                           fifo_case{"TmpdirEmpty", true, ""}),
                         row_name{});

// While romup waits for a FIFO's writer or its end, the port is not open yet
// and the interrupt key ends the run.
struct interrupt_case {
    const char* name;
    bool with_writer; // a writer that sends half a line and stalls
};

class WaitForFifo : public ::testing::TestWithParam<interrupt_case> {};

TEST_P(WaitForFifo, EndsOnTheInterruptKey) {
    temp_dir dir;
    const std::string fifo = dir.path + "/fw.fifo";
    std::unique_ptr<fifo_writer> writer;
    if (GetParam().with_writer) {
        writer = std::make_unique<fifo_writer>(fifo, ":0000", false);
    } else {
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    }
    run_options options;
    options.args = {"-p{port}", "-f" + fifo, "-l" + dir.file("loader.hex", loader_file)};
    // Time to come to the wait; should it come later, the key ends it all the same.
    const auto interrupt_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    bool interrupted = false;
    options.on_poll = [&](pid_t romup, const std::string&) {
        if (!interrupted && std::chrono::steady_clock::now() >= interrupt_at) {
            interrupted = kill(romup, SIGINT) == 0;
        }
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
// Images changed by another program after their test: the image checked is
// the image sent, from the descriptor of the check. A name removed or put to
// another file changes nothing. The checked file changed in place ends the
// run before the erase, while the probe runs (before the question) or while
// the question is open (after the answer), also when its modification time is
// put back; during the upload, it fails the upload, which never shows more
// than all of the image. A new mode, like a new name, leaves the bytes alone.

enum class change {
    removed,
    directory,
    fifo,
    mode,
    emptied,
    cut,
    extended,
    rewritten,
    rewritten_time_kept
};
enum class moment { probe, question, upload };

struct change_case {
    std::string name;
    change what;
    moment when;
    bool loader = false; // the loader changes, else the firmware
};

// Many stdio buffers long, so that a change during the upload lands before
// romup reads on.
std::string long_firmware() {
    std::string firmware;
    for (int line = 0; line < 400; ++line) {
        firmware += ":10000000000102030405060708090A0B0C0D0E0F78\n";
    }
    return firmware;
}

class ChangedAfterItsCheck : public ::testing::TestWithParam<change_case> {};

TEST_P(ChangedAfterItsCheck, NeverErasesOrLoadsForAnotherImage) {
    const change_case& row = GetParam();
    const std::string content = row.when == moment::upload
                                    ? long_firmware()
                                    : ":0100000000FF\n:0100000001FE\n:00000001FF\n";
    small_run setup(loader_file, content, "y\n");
    const std::string path = row.loader ? setup.dir.path + "/loader.hex" : setup.firmware;
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
            std::ofstream(path, std::ios::app) << content;
            break;
        case change::mode:
            chmod(path.c_str(), 0400);
            break;
        case change::rewritten:
        case change::rewritten_time_kept: {
            struct stat before {};
            stat(path.c_str(), &before);
            {
                // The same size, one byte of the last line other.
                std::fstream file(path, std::ios::in | std::ios::out);
                file.seekp(static_cast<std::streamoff>(content.size() - 3));
                file << '9';
            }
            if (row.what == change::rewritten_time_kept) {
                // As touch -r does.
                const timespec times[2] = {before.st_atim, before.st_mtim};
                utimensat(AT_FDCWD, path.c_str(), times, 0);
            }
            break;
        }
        }
    };
    setup.options.modem.on_command = [&](const std::string& command) {
        if (row.when == moment::probe && command == "AT") {
            change_it();
        }
    };
    setup.options.on_poll = [&](pid_t, const std::string& out) {
        if (row.when == moment::question && !changed && ends_with(out, "Reprogram [Y/N]? ")) {
            change_it();
        }
    };
    setup.options.modem.on_firmware_line = [&](int line) {
        if (row.when == moment::upload && line == 5) {
            change_it();
        }
    };
    const run_result run = run_romup(setup.options);
    if (row.when == moment::upload) {
        EXPECT_TRUE(ends_with(
            run.out, "\r\nError while loading Flash\r\n" +
                         reload_hint(run.port_path, setup.firmware, 19200, run.sleeping_waits)))
            << run.out;
        EXPECT_EQ(run.out.find("successfully"), std::string::npos);
        EXPECT_LE(highest_percent(run.out), 100);
        EXPECT_EQ(run.status, 1);
        return;
    }
    if (row.loader || row.what == change::removed || row.what == change::directory ||
        row.what == change::fifo || row.what == change::mode) {
        EXPECT_TRUE(ends_with(run.out, loaded)) << run.out;
        EXPECT_EQ(run.line.firmware_lines, 3);
        EXPECT_EQ(run.status, 0);
        return;
    }
    const std::string stopped = "Firmware file [" + setup.firmware +
                                "] changed after romup checked it: the Flash was not touched\r\n"
                                "Please reset your modem to continue\r\n";
    EXPECT_EQ(run.out, row.when == moment::question
                           ? setup.until_question() + "\r\n" + stopped
                           : banner + progress_line(loader_heading, {25, 100}) + stopped);
    EXPECT_EQ(run.line.received, probe_commands + ":00\r:00000001FF\rSTARTUP\r");
    EXPECT_FALSE(run.line.erased);
    EXPECT_EQ(run.status, 1);
}

// A name put to another file, a new mode, the firmware emptied, and each
// change in place at each moment.
std::vector<change_case> change_cases() {
    std::vector<change_case> rows = {
        {"LoaderRemoved", change::removed, moment::probe, true},
        {"LoaderMadeAFifo", change::fifo, moment::probe, true},
        {"FirmwareRemoved", change::removed, moment::probe},
        {"FirmwareMadeADirectory", change::directory, moment::probe},
        {"FirmwareMadeAFifo", change::fifo, moment::question},
        {"FirmwareModeChanged", change::mode, moment::question},
        {"FirmwareEmptied", change::emptied, moment::probe},
    };
    for (const auto& [what, name] : {std::pair{change::cut, "Cut"},
                                     {change::extended, "Extended"},
                                     {change::rewritten, "Rewritten"},
                                     {change::rewritten_time_kept, "RewrittenTimeKept"}}) {
        for (const auto& [when, at] : {std::pair{moment::probe, ""},
                                       {moment::question, "AtQuestion"},
                                       {moment::upload, "DuringUpload"}}) {
            rows.push_back({std::string("Firmware") + name + at, what, when});
        }
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Images, ChangedAfterItsCheck, ::testing::ValuesIn(change_cases()),
                         row_name{});

} // namespace
