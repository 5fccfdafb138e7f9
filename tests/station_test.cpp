// romup-fleet --watch end to end: a station over a folder of the test's own,
// beside a `romup` that is the test build, its slots romup-sim programs that
// the test starts and stops (each one's link appears when it starts and
// vanishes when it ends; --once ends it after one run). The day at the station
// is a script of steps driven by the station's own output and the files it
// writes: each step waits for an event, never for a length of time.
#include "fleet_e2e.h"
#include "harness.h"

#include <csignal>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using json = nlohmann::json;

const std::string images = ROMUP_IMAGES_DIR;
const std::string firmware_hex = images + "/firmware.hex";

// A modem plugged into a slot: a romup-sim program, its Flash and its
// transcript in files of the test's folder.
struct plugged {
    pid_t pid = -1;
    std::string flash;
    std::string log;
    int status = -1; // its exit status once it has ended
};

// The station's folder and everything the test does to it.
struct station {
    temp_dir dir;
    std::string fleet = fleet_beside_romup(dir);
    std::string slots = dir.path + "/slots";
    std::string report = dir.path + "/report.json";
    std::string logs = dir.path + "/logs";
    std::vector<plugged> modems;

    // With the slots' folder made, or not yet.
    explicit station(bool with_folder = true) {
        if (with_folder) {
            std::filesystem::create_directory(slots);
        }
    }

    // Every modem still plugged in is pulled out (it saves its Flash).
    ~station() {
        unplug_all();
    }

    // Starts a romup-sim for the slot (its link appears soon after).
    void plug(const std::string& slot, std::vector<std::string> sim_options) {
        plugged modem;
        const std::string number = std::to_string(modems.size());
        modem.flash = dir.path + "/flash" + number;
        modem.log = dir.path + "/transcript" + number;
        std::vector<std::string> args = {
            ROMUP_SIM_BINARY, "--link", slots + "/" + slot, "--once",     "--flash",
            modem.flash,      "--log",  modem.log,          "--erase-ms", "0"};
        args.insert(args.end(), sim_options.begin(), sim_options.end());
        modem.pid = start_program(args, dir.path + "/sim" + number + ".out");
        EXPECT_NE(modem.pid, -1);
        modems.push_back(modem);
    }
    // Whether the modem's romup-sim has ended (after its one run).
    bool unplugged(std::size_t index) {
        plugged& modem = modems[index];
        int status = 0;
        if (modem.pid != -1 && waitpid(modem.pid, &status, WNOHANG) == modem.pid) {
            modem.pid = -1;
            modem.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return modem.pid == -1;
    }
    void unplug_all() {
        for (plugged& modem : modems) {
            if (modem.pid != -1) {
                kill(modem.pid, SIGINT);
                modem.status = ended_well(modem.pid, 10) ? 0 : -1;
                modem.pid = -1;
            }
        }
    }
    bool flashed(std::size_t index) const {
        return read_file(modems[index].flash) == read_file(images + "/firmware.bin");
    }
    // No byte from romup in the modem's transcript, and its Flash never written.
    bool untouched(std::size_t index) const {
        return read_file(modems[index].log).find(" romup ") == std::string::npos &&
               !std::filesystem::exists(modems[index].flash);
    }
    // Never asked to erase.
    bool never_erased(std::size_t index) const {
        return read_file(modems[index].log).find("REPROGRAM") == std::string::npos &&
               !std::filesystem::exists(modems[index].flash);
    }
};

// The steps of a day at the station, each tried at every output of the
// station and every 100 ms, the next one once it has returned true.
using step = std::function<bool(pid_t station_pid, const std::string& out)>;

struct script {
    std::vector<step> steps;
    std::size_t done = 0;
    void take(pid_t station_pid, const std::string& out) {
        while (done < steps.size() && steps[done](station_pid, out)) {
            ++done;
        }
    }
};

step shown(const std::string& text) {
    return [text](pid_t, const std::string& out) { return out.find(text) != std::string::npos; };
}

// Done once the modem's link is in the slot.
step plug_in(station& place, const std::string& slot, std::vector<std::string> sim_options = {}) {
    auto plugged = std::make_shared<bool>(false);
    return [&place, slot, sim_options, plugged](pid_t, const std::string&) {
        if (!*plugged) {
            *plugged = true;
            place.plug(slot, sim_options);
        }
        struct stat link {};
        return lstat((place.slots + "/" + slot).c_str(), &link) == 0;
    };
}

step reported(const station& place, std::size_t lines) {
    return [&place, lines](pid_t, const std::string&) {
        return report_lines(place.report).size() == lines;
    };
}

step signal_station(int signal_number) {
    return [signal_number](pid_t pid, const std::string&) {
        kill(pid, signal_number);
        return true;
    };
}

// The station over the slots with the script; after its last step the test
// waits for the station to end.
run_result run_station(station& place, script& day, std::vector<std::string> options) {
    run_options run;
    run.binary = place.fleet;
    run.with_modem = false;
    run.args = {"--watch", place.slots, "-f" + firmware_hex, "-l" + images + "/ramagent.hex",
                "--yes",   "--report",  place.report,        "--logs",
                place.logs};
    run.args.insert(run.args.end(), options.begin(), options.end());
    run.deadline_s = 90;
    run.on_poll = [&day](pid_t pid, const std::string& out) { day.take(pid, out); };
    run_result result = run_romup(run);
    EXPECT_EQ(day.done, day.steps.size()) << "the script stopped at step " << day.done;
    return result;
}

const std::string watching = "romup-fleet: watching ";

// The run's start time as its log's name holds it: 20261209T101112Z.
std::string compact(std::string time) {
    std::string kept;
    for (char c : time) {
        if (c != '-' && c != ':') {
            kept += c;
        }
    }
    return kept;
}

TEST(Station, FlashesEachPlugInOnceWithItsLog) {
    station place;
    // A station appends to the report of the days before.
    const std::string earlier = "{\"port\":\"an earlier day's\"}\n";
    place.dir.file("report.json", earlier);
    script day;
    day.steps.push_back(shown(watching));
    std::size_t index = 0;
    for (const char* slot : {"slot1", "slot2", "slot3", "slot1"}) {
        day.steps.push_back(plug_in(place, slot));
        day.steps.push_back(
            [&place, index](pid_t, const std::string&) { return place.unplugged(index); });
        ++index;
    }
    day.steps.push_back(reported(place, 5));
    day.steps.push_back(signal_station(SIGTERM));
    const run_result run = run_station(place, day, {});

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(read_file(place.report).rfind(earlier, 0), 0U);
    std::vector<json> lines = report_lines(place.report);
    ASSERT_EQ(lines.size(), 5U) << run.out;
    lines.erase(lines.begin());
    std::multiset<std::string> expected_logs;
    const char* slots[] = {"slot1", "slot2", "slot3", "slot1"};
    for (std::size_t run_index = 0; run_index < 4; ++run_index) {
        SCOPED_TRACE(run_index);
        EXPECT_TRUE(place.flashed(run_index));
        EXPECT_EQ(place.modems[run_index].status, 0);
        EXPECT_EQ(lines[run_index].value("port", ""), place.slots + "/" + slots[run_index]);
        EXPECT_EQ(lines[run_index].value("result", ""), "flashed");
        expected_logs.insert(std::string(slots[run_index]) + "-" +
                             compact(lines[run_index].value("started", "")) + ".log");
    }
    std::multiset<std::string> logs;
    for (const auto& entry : std::filesystem::directory_iterator(place.logs)) {
        logs.insert(entry.path().filename().string());
        const std::string log = read_file(entry.path().string());
        EXPECT_EQ(log.find(place.dir.path + "/romup -w "), 0U) << log;
        EXPECT_NE(log.find(flash_loaded_text), std::string::npos) << log;
    }
    EXPECT_EQ(logs, expected_logs);
}

TEST(Station, FailurePastTheEraseReportsItsReloadCommand) {
    station place;
    script day;
    day.steps = {
        shown(watching),
        plug_in(place, "slot1", {"--bad-firmware-ack", "3"}),
        reported(place, 1),
        signal_station(SIGTERM),
    };
    const run_result run = run_station(place, day, {});

    EXPECT_EQ(run.status, 1) << run.out << run.err;
    const std::vector<json> lines = report_lines(place.report);
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0].value("result", ""), line_of(flash_refused_text));
    EXPECT_EQ(lines[0].value("erased", false), true);
    const std::string command =
        "romup-fleet -c -f" + firmware_hex + " -s19200 " + place.slots + "/slot1";
    EXPECT_EQ(lines[0].value("reload_command", json()), command);
    EXPECT_NE(run.out.find("\n  " + command + "\n"), std::string::npos) << run.out;
}

TEST(Station, StopsAfterTheFailuresAllowed) {
    station place;
    script day;
    // The first modem's erase never ends; the second is plugged in while
    // romup waits for it, and waits for the one place.
    day.steps = {
        shown(watching),
        plug_in(place, "slot1", {"--erase-never-ends"}),
        shown("slot1: erase\n"),
        plug_in(place, "slot2"),
    };
    const run_result run = run_station(place, day, {"--max-failures", "1", "--jobs", "1"});
    place.unplug_all();

    EXPECT_EQ(run.status, 1) << run.out << run.err;
    const std::string why = "stopped after 1 failure past the y";
    const auto tally = run.out.rfind("\nflashed 0, failed 1, held back ");
    ASSERT_NE(tally, std::string::npos) << run.out;
    EXPECT_NE(run.out.find("; " + why + "\n", tally), std::string::npos) << run.out;
    EXPECT_TRUE(place.never_erased(1));
    for (const json& line : report_lines(place.report)) {
        if (line.value("port", "") == place.slots + "/slot1") {
            EXPECT_EQ(line.value("result", ""), line_of(erase_failed_text));
        } else {
            EXPECT_EQ(line.value("result", ""), "held back: " + why);
        }
    }
}

TEST(Station, TerminationLetsTheRunEndAndStartsNoOther) {
    station place;
    script day;
    day.steps = {
        shown(watching),
        // An erase that outlasts the second modem's settling, had the station
        // gone on watching.
        plug_in(place, "slot1", {"--erase-ms", "2000"}),
        shown("slot1: erase\n"),
        signal_station(SIGTERM),
        plug_in(place, "slot2"),
    };
    const run_result run = run_station(place, day, {});
    place.unplug_all();

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("the watch stops"), std::string::npos) << run.out;
    EXPECT_TRUE(place.flashed(0));
    EXPECT_TRUE(place.untouched(1));
    const std::vector<json> lines = report_lines(place.report);
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0].value("result", ""), "flashed");
}

TEST(Station, WaitsForItsFolderToBeMade) {
    station place(false);
    script day;
    day.steps = {
        shown(watching + place.slots + " (not there yet)"),
        [&place](pid_t, const std::string&) { return mkdir(place.slots.c_str(), 0700) == 0; },
        plug_in(place, "slot1"),
        reported(place, 1),
        signal_station(SIGTERM),
    };
    const run_result run = run_station(place, day, {});

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(place.flashed(0));
}

TEST(Station, RefusesAFolderWhoseParentIsMissing) {
    station place(false);
    place.slots = place.dir.path + "/missing/slots";
    script day;
    const run_result run = run_station(place, day, {});
    EXPECT_EQ(run.status, 2) << run.out << run.err;
    EXPECT_NE(run.err.find("its parent folder " + place.dir.path + "/missing is missing"),
              std::string::npos)
        << run.err;
    // A usage error, found before anything is made.
    EXPECT_FALSE(std::filesystem::exists(place.report));
    EXPECT_FALSE(std::filesystem::exists(place.logs));
}

} // namespace
