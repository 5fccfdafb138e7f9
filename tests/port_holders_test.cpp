// Other programs on the port: a process that holds the device without its
// lock is found before anything is written, the line's peer is not; and the
// warning about ModemManager, against process tables and udev data of the
// test's own.
#include "harness.h"
#include "line/port_holders.h"
#include "line/system_roots.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// This program's process table and udev database: the machine's own but
// where a test names folders of its own.
char proc_folder[512] = "/proc";
char udev_folder[512] = "/run/udev";
const char* const proc_root = proc_folder;
const char* const udev_root = udev_folder;

namespace {

using test_rows::operator<<;

// A process that sleeps with the pseudo-terminal's slave (path, unless empty)
// and, when master is not -1, its master open; killed with the object.
struct holder {
    pid_t pid = -1;
    holder(const std::string& path, int master) {
        spawn_setup setup;
        setup.in = path.empty() ? -1 : open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        setup.out = master;
        pid = spawn_program({"/bin/sleep", "60"}, setup);
        close(setup.in);
        // Until its descriptors are in place, the process table shows none.
        const char* fd = master != -1 ? "1" : path.empty() ? "2" : "0";
        wait_for_file("/proc/" + std::to_string(pid) + "/fd/" + fd);
        usleep(20000);
    }
    ~holder() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

struct holder_case {
    const char* name;
    bool holds_slave;
    bool holds_master;
    bool held;
};

class PortHolders : public ::testing::TestWithParam<holder_case> {};

TEST_P(PortHolders, OnlyAnotherThanThePeerHoldsThePort) {
    const holder_case& row = GetParam();
    pty_pair pty = open_raw_pty();
    {
        const holder other(row.holds_slave ? pty.slave_path : "",
                           row.holds_master ? pty.master : -1);
        EXPECT_EQ(port_held_elsewhere(pty.slave), row.held);
    }
    EXPECT_FALSE(port_held_elsewhere(pty.slave));
    close_pty(pty);
}

INSTANTIATE_TEST_SUITE_P(Port, PortHolders,
                         ::testing::Values(holder_case{"NobodyElse", false, false, false},
                                           holder_case{"AnotherHoldsTheDevice", true, false, true},
                                           // romup-sim and other peers keep the slave open too.
                                           holder_case{"PeerWithMasterAndSlave", true, true, false},
                                           holder_case{"PeerWithMasterOnly", false, true, false}),
                         row_name{});

// A process of the table in proc, its id id, that holds the devices at paths on its descriptors
// 0, 1...: links in fd/, and fdinfo without a tty-index, as the system shows any device but a
// pseudo-terminal's master. Ids from 5000000 on: no process of the machine's has them.
void fake_holder(const std::string& proc, int id, const std::vector<std::string>& paths) {
    const std::string process = proc + "/" + std::to_string(id);
    for (const std::string folder : {"", "/fd", "/fdinfo"}) {
        mkdir((process + folder).c_str(), 0755);
    }
    for (std::size_t fd = 0; fd < paths.size(); ++fd) {
        symlink(paths[fd].c_str(), (process + "/fd/" + std::to_string(fd)).c_str());
        std::ofstream(process + "/fdinfo/" + std::to_string(fd)) << "pos:\t0\nflags:\t02\n";
    }
}

// Scans the process table in folder for another holder of the device at port (opened for the
// scan, and closed), proc_root set back after.
bool held_in_table(const std::string& folder, const char* port) {
    const int fd = open(port, O_RDONLY | O_CLOEXEC);
    std::snprintf(proc_folder, sizeof proc_folder, "%s", folder.c_str());
    const bool held = port_held_elsewhere(fd);
    std::snprintf(proc_folder, sizeof proc_folder, "/proc");
    close(fd);
    return held;
}

// A device that is no pseudo-terminal has no peer: any holder is another
// program. /dev/zero stands in for a serial port such as /dev/ttyS0 (the scan
// goes by device numbers, and a test must not open a real port).
struct table_case {
    const char* name;
    std::vector<std::string> holds; // by the one process of the table
    bool held;
};

class FakeTable : public ::testing::TestWithParam<table_case> {};

TEST_P(FakeTable, AnyHolderOfASerialPortIsAnotherProgram) {
    const table_case& row = GetParam();
    temp_dir system;
    fake_holder(system.path, 5000000, row.holds);
    EXPECT_EQ(held_in_table(system.path, "/dev/zero"), row.held);
}

INSTANTIATE_TEST_SUITE_P(
    Port, FakeTable,
    ::testing::Values(
        // cat /dev/ttyS0 >/dev/null 2>&1
        table_case{"HolderWithOtherDevices", {"/dev/zero", "/dev/null", "/dev/null"}, true},
        table_case{"HolderOfItAlone", {"/dev/zero"}, true},
        table_case{"OtherDevicesOnly", {"/dev/null", "/dev/null"}, false}),
    row_name{});

// Each process's folder is closed once looked through: under a descriptor
// limit of 64 a table of 200 processes is scanned whole, and again.
TEST(PortHolderScan, KeepsNoDescriptorOfTheProcessesItLookedAt) {
    temp_dir system;
    for (int id = 5000000; id < 5000200; ++id) {
        fake_holder(system.path, id, {"/dev/null"});
    }
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &small), 0);
    const bool before = held_in_table(system.path, "/dev/zero");
    fake_holder(system.path, 5000200, {"/dev/zero"});
    const bool after = held_in_table(system.path, "/dev/zero");
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_FALSE(before);
    EXPECT_TRUE(after);
}

// A process table of one process, 731 named comm, and an empty udev database,
// in root.
void fake_system(const std::string& root, const std::string& comm) {
    for (const std::string folder : {"", "/proc", "/proc/731", "/udev", "/udev/data"}) {
        mkdir((root + folder).c_str(), 0755);
    }
    std::ofstream(root + "/proc/731/comm") << comm << "\n";
}

// Where the udev database in root keeps the record of the device at path.
std::string udev_record(const std::string& root, const std::string& path) {
    struct stat device {};
    stat(path.c_str(), &device);
    return root + "/udev/data/c" + std::to_string(major(device.st_rdev)) + ":" +
           std::to_string(minor(device.st_rdev));
}

struct manager_case {
    const char* name;
    std::string comm;   // of the one process in the table
    std::string record; // the device's udev record ("": it has none)
    bool warned;
};

class ModemManager : public ::testing::TestWithParam<manager_case> {};

TEST_P(ModemManager, WarnedWhereItRunsAndMayTakeThePort) {
    const manager_case& row = GetParam();
    temp_dir system;
    fake_system(system.path, row.comm);
    pty_pair pty = open_raw_pty();
    if (!row.record.empty()) {
        std::ofstream(udev_record(system.path, pty.slave_path)) << row.record;
    }
    std::snprintf(proc_folder, sizeof proc_folder, "%s/proc", system.path.c_str());
    std::snprintf(udev_folder, sizeof udev_folder, "%s/udev", system.path.c_str());
    EXPECT_EQ(modem_manager_may_probe(pty.slave), row.warned);
    std::snprintf(proc_folder, sizeof proc_folder, "/proc");
    std::snprintf(udev_folder, sizeof udev_folder, "/run/udev");
    close_pty(pty);
}

const std::string some_record = "I:1234\nE:ID_BUS=usb\nE:ID_VENDOR_ID=0403\n";
const std::string mm = "ModemManager";

INSTANTIATE_TEST_SUITE_P(
    Port, ModemManager,
    ::testing::Values(manager_case{"RunsAndThePortIsNotIgnored", mm, some_record, true},
                      manager_case{"RunsAndThePortIsIgnored", mm,
                                   some_record + "E:ID_MM_DEVICE_IGNORE=1\n", false},
                      manager_case{"IgnoreSetToZero", mm, some_record + "E:ID_MM_DEVICE_IGNORE=0\n",
                                   true},
                      manager_case{"NotRunning", mm + "X", some_record, false},
                      // A device udev does not know, such as a pseudo-terminal, is none the
                      // daemon probes.
                      manager_case{"NoUdevRecord", mm, "", false}),
    row_name{});

// End to end, through a link as /dev/serial/by-id gives: refused before anything is written. That
// a holder of the device by its own path counts, PortHolders checks.
TEST(PortHeldRun, RefusedBeforeAnythingIsWritten) {
    small_run setup(eof_record, good_firmware, "y\n");
    const std::string link = setup.dir.path + "/usb-Tavrin_3306-if00";
    setup.options.args[0] = "-p" + link;
    std::unique_ptr<holder> other;
    setup.options.before_start = [&](const std::string& port) {
        symlink(port.c_str(), link.c_str());
        other = std::make_unique<holder>(port, -1);
    };
    const run_result run = run_romup(setup.options);
    EXPECT_EQ(run.out, banner + "Port [" + link + "] is in use by another program\r\n");
    EXPECT_EQ(run.line.received, "");
    EXPECT_EQ(run.status, 1);
}

// The test build, on the system's own process table and udev folder (which a
// preload moves to a folder of the test's): with a process named ModemManager
// running and a record of the port, the warning, once, before the question.
TEST(ModemManagerRun, WarnsBeforeTheQuestion) {
    temp_dir system;
    const std::string udev = system.path + "/udev";
    mkdir(udev.c_str(), 0755);
    mkdir((udev + "/data").c_str(), 0755);
    // A process is named after the file it runs.
    const std::string daemon = system.path + "/" + mm;
    ASSERT_EQ(symlink("/bin/sleep", daemon.c_str()), 0);
    const pid_t manager = spawn_program({daemon, "60"}, spawn_setup{});
    ASSERT_NE(manager, -1);
    const std::string comm = "/proc/" + std::to_string(manager) + "/comm";
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (read_file(comm) != mm + "\n" && std::chrono::steady_clock::now() < give_up) {
        usleep(5000);
    }
    small_run setup(eof_record, good_firmware, "n\n");
    setup.options.environment = {"LD_PRELOAD=" ROMUP_UDEV_PRELOAD, "ROMUP_UDEV_ROOT=" + udev,
                                 // A sanitized romup wants its runtime loaded first.
                                 "ASAN_OPTIONS=verify_asan_link_order=0"};
    setup.options.before_start = [&](const std::string& port) {
        std::ofstream(udev_record(system.path, port)) << some_record;
    };
    const run_result run = run_romup(setup.options);
    kill(manager, SIGKILL);
    waitpid(manager, nullptr, 0);
    EXPECT_EQ(run.out, banner + progress_line(loader_heading, percents_of(eof_record)) + "\r\n" +
                           ready + "\r\n\n" + "Warning: ModemManager runs and may probe [" +
                           run.port_path +
                           "] with AT commands of its own: stop it for the run or mark the "
                           "port ID_MM_DEVICE_IGNORE=1 in a udev rule (README: ModemManager "
                           "probing the modem)\r\nReady to transfer [" +
                           setup.firmware + "] to the Flash. Reprogram [Y/N]? " + aborted);
    EXPECT_EQ(run.status, 1);
}

} // namespace
