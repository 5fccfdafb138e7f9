#include "options.h"

#include "option_number.h"

#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <vector>

const char sim_usage_text[] =
    "usage: romup-sim [options]\n"
    "\n"
    "A simulated Tavrin 3306 modem for rehearsing romup. Creates a pseudo-terminal,\n"
    "prints its path (\"romup-sim: modem on /dev/pts/N\") and answers there as the\n"
    "modem would: AT commands, the loader upload into RAM, the erase, the firmware\n"
    "upload into Flash and the restart. It serves one romup run after another, the\n"
    "modem keeping its state between them, until interrupted (SIGINT, SIGTERM,\n"
    "SIGHUP): it then saves the Flash, removes the link and says it stopped.\n"
    "A standard output that closes does not stop the modem.\n"
    "\n"
    "The modem's states and its answers in each: romup-sim(1), man/romup-sim.1.\n"
    "\n"
    "Options:\n"
    "  --link PATH            also make a symbolic link PATH to the device (an existing\n"
    "                         link there is replaced); removed on exit\n"
    "  --once                 serve one run, then exit: the run ends when romup closes\n"
    "                         the device after sending its first byte\n"
    "  --loader-running       start with the loader already in RAM (for romup -c)\n"
    "  --flash FILE           write the Flash's data bytes to FILE, from address 0 to\n"
    "                         the highest programmed (gaps 0xFF), whenever the loader\n"
    "                         ends programming with \"X\", and on exit if the Flash\n"
    "                         changed since\n"
    "  --log FILE             write a transcript of every byte in both directions,\n"
    "                         with times since start, to FILE as it happens\n"
    "  --pace                 bytes travel at the line rate romup set on the port,\n"
    "                         10 bits a byte, in both directions\n"
    "  --latency MS           hold what the modem sends until MS milliseconds (0 to\n"
    "                         255) after the first byte of its batch, or until 62\n"
    "                         bytes wait, as a USB adapter's latency timer does\n"
    "                         (16 on FTDI adapters by default, 1 with low latency)\n"
    "  --loader-ack=KIND      how the loader acknowledges a good line: cr, dot (the\n"
    "                         default), zero (\"0\" CR) or eight (\"8\" CR LF)\n"
    "  --firmware-ack=KIND    how a good firmware line is acknowledged: dot (the\n"
    "                         default) or cr (CR LF)\n"
    "  --no-record-check      acknowledge every line as good, checksum or not\n"
    "  --erase-ms N           the erase takes N milliseconds (default 1500)\n"
    "\n"
    "Faults to rehearse:\n"
    "  --silent               never send a byte\n"
    "  --probe-without-zero   answer AT&FE&D3V with OK and no \"0\"\n"
    "  --bad-loader-ack N     answer loader line N with \"E\"\n"
    "  --no-loader-ack N      leave loader line N unanswered\n"
    "  --no-ready             announce the loader without READY\n"
    "  --erase-never-ends     never send the \"0\" that ends the erase\n"
    "  --erase-noise N        send N other bytes (\".\") before the erase's \"0\"\n"
    "  --bad-firmware-ack N   answer firmware line N with \"E\"\n"
    "  --no-firmware-ack N    leave firmware line N unanswered\n"
    "  --firmware-fault-once  the two faults above act in the first firmware upload\n"
    "                         only, so that a romup -c after it can succeed\n"
    "  --no-startup-answer    say nothing to STARTUP (the restart still happens)\n"
    "  --no-ok                answer AT&F1 with its echo only, no OK\n"
    "  --vanish-loader N      close the device on receiving loader line N, and exit\n"
    "  --vanish-firmware N    close the device on receiving firmware line N, and exit\n"
    "\n"
    "  --help                 show this text\n"
    "\n"
    "Line numbers N count from 1 within each upload. Each option may be repeated.\n"
    "\n"
    "Exit status: 0 when interrupted, after --once, or after the modem vanished;\n"
    "1 when the device, the link or a file cannot be made (the Flash file is\n"
    "tried at start), or the Flash could not be written; 2 on bad usage.\n";

namespace {

// The options by what they do with their value, a table for each kind, each
// in the order of the usage text. getopt_long resolves abbreviations over all
// of them.

// No value: the program's setting becomes true.
struct setting_option {
    const char* name; // without its "--"
    bool sim_options::*setting;
};
constexpr setting_option setting_options[] = {
    {"once", &sim_options::once},
    {"pace", &sim_options::pace},
};

// A path for the program.
struct path_option {
    const char* name;
    std::string sim_options::*path;
};
constexpr path_option path_options[] = {
    {"link", &sim_options::link_path},
    {"flash", &sim_options::flash_path},
    {"log", &sim_options::log_path},
};

// No value: the scenario's flag becomes on.
struct flag_option {
    const char* name;
    bool sim_scenario::*flag;
    bool on;
};
constexpr flag_option flag_options[] = {
    {"silent", &sim_scenario::silent, true},
    {"no-record-check", &sim_scenario::check_records, false},
    {"firmware-fault-once", &sim_scenario::firmware_faults_once, true},
};

// No value: the scenario's words become text.
struct words_option {
    const char* name;
    std::string sim_scenario::*words;
    const char* text;
};
constexpr words_option words_options[] = {
    {"no-ready", &sim_scenario::loader_ready, "\r\nTAVRIN 3306 RAM LOADER\r\n"},
    {"erase-never-ends", &sim_scenario::erase_answer, ""},
};

// A whole number from low to high for the scenario; the complaint is told,
// after "romup-sim: ", on a bad one.
struct number_option {
    const char* name;
    int sim_scenario::*number;
    long low;
    long high;
    const char* complaint;
};
constexpr number_option number_options[] = {
    {"erase-ms", &sim_scenario::erase_ms, 0, 600'000, "--erase-ms needs 0 to 600000"},
    {"latency", &sim_scenario::latency_ms, 0, 255, "--latency needs 0 to 255 milliseconds"},
};

// A line number from 1 on: where the modem vanishes.
struct line_option {
    const char* name;
    int sim_scenario::*number;
};
constexpr line_option line_options[] = {
    {"vanish-loader", &sim_scenario::vanish_at_loader_line},
    {"vanish-firmware", &sim_scenario::vanish_at_firmware_line},
};

// A line number whose acknowledgement becomes text.
struct line_answer_option {
    const char* name;
    std::map<int, std::string> sim_scenario::*acks;
    const char* text;
};
constexpr line_answer_option line_answer_options[] = {
    {"bad-loader-ack", &sim_scenario::loader_ack_at, "E"},
    {"no-loader-ack", &sim_scenario::loader_ack_at, ""},
    {"bad-firmware-ack", &sim_scenario::firmware_ack_at, "E"},
    {"no-firmware-ack", &sim_scenario::firmware_ack_at, ""},
};

// No value: text answers every command.
struct command_answer_option {
    const char* name;
    const char* command;
    const char* text;
};
constexpr command_answer_option command_answer_options[] = {
    {"probe-without-zero", "AT&FE&D3V", "\r\nOK\r\n"},
    {"no-startup-answer", "STARTUP", ""},
    {"no-ok", "AT&F1", ""},
};

// The options that each work in a way of their own.
enum class option_kind {
    setting,
    path,
    flag,
    words,
    number,
    line,
    line_answer,
    command_answer,
    help,
    loader_running, // the session starts with the loader in RAM
    loader_ack,     // a name of loader_ack_names
    firmware_ack,   // a name of firmware_ack_names
    erase_noise,    // a count from 0 to 10000 of "." before the erase's "0"
};
struct own_option {
    const char* name;
    option_kind kind;
    const char* complaint; // none for an option without a value
};
constexpr own_option own_options[] = {
    {"loader-running", option_kind::loader_running, nullptr},
    {"loader-ack", option_kind::loader_ack, "--loader-ack is cr, dot, zero or eight"},
    {"firmware-ack", option_kind::firmware_ack, "--firmware-ack is dot or cr"},
    {"erase-noise", option_kind::erase_noise, "--erase-noise needs 0 to 10000"},
    {"help", option_kind::help, nullptr},
};

struct loader_ack_name {
    const char* name;
    sim_loader_ack value;
};

constexpr loader_ack_name loader_ack_names[] = {
    {"cr", sim_loader_ack::cr},
    {"dot", sim_loader_ack::dot},
    {"zero", sim_loader_ack::zero},
    {"eight", sim_loader_ack::eight},
};

struct firmware_ack_name {
    const char* name;
    sim_firmware_ack value;
};

constexpr firmware_ack_name firmware_ack_names[] = {
    {"dot", sim_firmware_ack::dot},
    {"cr", sim_firmware_ack::cr},
};

// Stores the value named text in value; false when no entry of names has that name.
template <typename Name, std::size_t count, typename Value>
bool choose(const Name (&names)[count], const char* text, Value& value) {
    for (const Name& entry : names) {
        if (std::strcmp(entry.name, text) == 0) {
            value = entry.value;
            return true;
        }
    }
    return false;
}

// A line number, for the options that name one.
bool line_number(const char* name, const char* text, int& value) {
    if (!parse_option_number(text, 1, 10'000'000, value)) {
        std::fprintf(stderr, "romup-sim: --%s needs a line number from 1 on, not '%s'\n", name,
                     text);
        return false;
    }
    return true;
}

// getopt_long gives back first_id + the option's place: above every short option.
constexpr int first_id = 256;

// An option as getopt_long found it: its kind, and its row in the kind's table.
struct found_option {
    option_kind kind;
    std::size_t row;
};

// Adds the rows of a table to what getopt_long looks for.
template <typename Row, std::size_t count>
void look_for(const Row (&rows)[count], option_kind kind, bool with_value,
              std::vector<option>& options, std::vector<found_option>& found) {
    for (std::size_t i = 0; i < count; ++i) {
        options.push_back({rows[i].name, with_value ? required_argument : no_argument, nullptr,
                           first_id + static_cast<int>(found.size())});
        found.push_back({kind, i});
    }
}

// Puts one option's value where its row says; false on a bad value, told on
// standard error.
bool apply_option(found_option f, const char* value, sim_options& o) {
    sim_scenario& s = o.scenario;
    int n = 0;
    switch (f.kind) {
    case option_kind::setting:
        o.*setting_options[f.row].setting = true;
        return true;
    case option_kind::path:
        o.*path_options[f.row].path = value;
        return true;
    case option_kind::flag:
        s.*flag_options[f.row].flag = flag_options[f.row].on;
        return true;
    case option_kind::words:
        s.*words_options[f.row].words = words_options[f.row].text;
        return true;
    case option_kind::number: {
        const number_option& r = number_options[f.row];
        if (!parse_option_number(value, r.low, r.high, s.*r.number)) {
            std::fprintf(stderr, "romup-sim: %s\n", r.complaint);
            return false;
        }
        return true;
    }
    case option_kind::line:
        return line_number(line_options[f.row].name, value, s.*line_options[f.row].number);
    case option_kind::line_answer: {
        const line_answer_option& r = line_answer_options[f.row];
        if (!line_number(r.name, value, n)) {
            return false;
        }
        (s.*r.acks)[n] = r.text;
        return true;
    }
    case option_kind::command_answer: {
        const command_answer_option& r = command_answer_options[f.row];
        s.answers.push_back({r.command, 0, r.text});
        return true;
    }
    case option_kind::help:
        return true;
    case option_kind::loader_running:
        s.start = sim_start::loader_running;
        return true;
    default:
        break;
    }
    bool good = false;
    if (f.kind == option_kind::loader_ack) {
        good = choose(loader_ack_names, value, s.loader_ack);
    } else if (f.kind == option_kind::firmware_ack) {
        good = choose(firmware_ack_names, value, s.firmware_ack);
    } else if (parse_option_number(value, 0, 10'000, n)) {
        s.erase_answer = std::string(static_cast<std::size_t>(n), '.') + "0";
        good = true;
    }
    if (!good) {
        std::fprintf(stderr, "romup-sim: %s\n", own_options[f.row].complaint);
    }
    return good;
}

} // namespace

int parse_sim_options(int argc, char** argv, sim_options& o) {
    std::vector<option> options;
    std::vector<found_option> found;
    look_for(setting_options, option_kind::setting, false, options, found);
    look_for(path_options, option_kind::path, true, options, found);
    look_for(flag_options, option_kind::flag, false, options, found);
    look_for(words_options, option_kind::words, false, options, found);
    look_for(number_options, option_kind::number, true, options, found);
    look_for(line_options, option_kind::line, true, options, found);
    look_for(line_answer_options, option_kind::line_answer, true, options, found);
    look_for(command_answer_options, option_kind::command_answer, false, options, found);
    for (const own_option& r : own_options) {
        options.push_back({r.name, r.complaint != nullptr ? required_argument : no_argument,
                           nullptr, first_id + static_cast<int>(found.size())});
        found.push_back({r.kind, static_cast<std::size_t>(&r - own_options)});
    }
    options.push_back({nullptr, 0, nullptr, 0});
    int id;
    while ((id = getopt_long(argc, argv, "", options.data(), nullptr)) != -1) {
        if (id < first_id || id >= first_id + static_cast<int>(found.size())) {
            return 2;
        }
        const found_option f = found[static_cast<std::size_t>(id - first_id)];
        if (f.kind == option_kind::help) {
            return 1;
        }
        if (!apply_option(f, optarg, o)) {
            return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "romup-sim: unexpected argument '%s'\n", argv[optind]);
        return 2;
    }
    return 0;
}
