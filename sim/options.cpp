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

// What an option does with its value, and which fields of its row say where
// the value goes.
enum class option_kind {
    help,           // --help
    setting,        // no value: the program's `setting` becomes true
    path,           // a path: the program's `path`
    flag,           // no value: the scenario's `flag` becomes `on`
    words,          // no value: the scenario's `words` become `text`
    number,         // a whole number from `low` to `high`: the scenario's `number`
    line,           // a line number from 1 on: the scenario's `number`
    line_answer,    // a line number whose acknowledgement in `acks` becomes `text`
    command_answer, // no value: `text` answers every `command`
    erase_noise,    // a count from `low` to `high` of "." before the erase's "0"
    loader_ack,     // a name of loader_ack_names
    firmware_ack,   // a name of firmware_ack_names
    loader_running, // no value: the session starts with the loader in RAM
};

struct option_row {
    const char* name = nullptr; // without its "--"
    option_kind kind = option_kind::help;
    bool sim_options::*setting = nullptr;
    std::string sim_options::*path = nullptr;
    bool sim_scenario::*flag = nullptr;
    bool on = true;
    std::string sim_scenario::*words = nullptr;
    int sim_scenario::*number = nullptr;
    long low = 0;
    long high = 0;
    std::map<int, std::string> sim_scenario::*acks = nullptr;
    const char* command = nullptr;
    const char* text = nullptr;
    const char* complaint = nullptr; // told, after "romup-sim: ", on a bad value
};

constexpr option_row row(const char* name, option_kind kind) {
    option_row r;
    r.name = name;
    r.kind = kind;
    return r;
}

constexpr option_row setting_row(const char* name, bool sim_options::*setting) {
    option_row r = row(name, option_kind::setting);
    r.setting = setting;
    return r;
}

constexpr option_row path_row(const char* name, std::string sim_options::*path) {
    option_row r = row(name, option_kind::path);
    r.path = path;
    return r;
}

constexpr option_row flag_row(const char* name, bool sim_scenario::*flag, bool on) {
    option_row r = row(name, option_kind::flag);
    r.flag = flag;
    r.on = on;
    return r;
}

constexpr option_row words_row(const char* name, std::string sim_scenario::*words,
                               const char* text) {
    option_row r = row(name, option_kind::words);
    r.words = words;
    r.text = text;
    return r;
}

// A number from low to high: where it goes (number; none for the erase's
// noise, which the scenario keeps as text) and the complaint on a bad one.
constexpr option_row range_row(const char* name, option_kind kind, int sim_scenario::*number,
                               long low, long high, const char* complaint) {
    option_row r = row(name, kind);
    r.number = number;
    r.low = low;
    r.high = high;
    r.complaint = complaint;
    return r;
}

constexpr option_row line_row(const char* name, int sim_scenario::*number) {
    option_row r = row(name, option_kind::line);
    r.number = number;
    return r;
}

constexpr option_row line_answer_row(const char* name,
                                     std::map<int, std::string> sim_scenario::*acks,
                                     const char* text) {
    option_row r = row(name, option_kind::line_answer);
    r.acks = acks;
    r.text = text;
    return r;
}

constexpr option_row command_answer_row(const char* name, const char* command, const char* text) {
    option_row r = row(name, option_kind::command_answer);
    r.command = command;
    r.text = text;
    return r;
}

constexpr option_row choice_row(const char* name, option_kind kind, const char* complaint) {
    option_row r = row(name, kind);
    r.complaint = complaint;
    return r;
}

// In the order of the usage text; getopt_long resolves abbreviations over them.
constexpr option_row option_rows[] = {
    path_row("link", &sim_options::link_path),
    setting_row("once", &sim_options::once),
    row("loader-running", option_kind::loader_running),
    flag_row("silent", &sim_scenario::silent, true),
    choice_row("loader-ack", option_kind::loader_ack, "--loader-ack is cr, dot, zero or eight"),
    choice_row("firmware-ack", option_kind::firmware_ack, "--firmware-ack is dot or cr"),
    flag_row("no-record-check", &sim_scenario::check_records, false),
    range_row("erase-ms", option_kind::number, &sim_scenario::erase_ms, 0, 600'000,
              "--erase-ms needs 0 to 600000"),
    command_answer_row("probe-without-zero", "AT&FE&D3V", "\r\nOK\r\n"),
    line_answer_row("bad-loader-ack", &sim_scenario::loader_ack_at, "E"),
    line_answer_row("no-loader-ack", &sim_scenario::loader_ack_at, ""),
    line_answer_row("bad-firmware-ack", &sim_scenario::firmware_ack_at, "E"),
    line_answer_row("no-firmware-ack", &sim_scenario::firmware_ack_at, ""),
    flag_row("firmware-fault-once", &sim_scenario::firmware_faults_once, true),
    words_row("no-ready", &sim_scenario::loader_ready, "\r\nTAVRIN 3306 RAM LOADER\r\n"),
    words_row("erase-never-ends", &sim_scenario::erase_answer, ""),
    range_row("erase-noise", option_kind::erase_noise, nullptr, 0, 10'000,
              "--erase-noise needs 0 to 10000"),
    command_answer_row("no-startup-answer", "STARTUP", ""),
    command_answer_row("no-ok", "AT&F1", ""),
    line_row("vanish-loader", &sim_scenario::vanish_at_loader_line),
    line_row("vanish-firmware", &sim_scenario::vanish_at_firmware_line),
    setting_row("pace", &sim_options::pace),
    path_row("flash", &sim_options::flash_path),
    path_row("log", &sim_options::log_path),
    range_row("latency", option_kind::number, &sim_scenario::latency_ms, 0, 255,
              "--latency needs 0 to 255 milliseconds"),
    row("help", option_kind::help),
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

bool takes_value(option_kind kind) {
    switch (kind) {
    case option_kind::path:
    case option_kind::number:
    case option_kind::line:
    case option_kind::line_answer:
    case option_kind::erase_noise:
    case option_kind::loader_ack:
    case option_kind::firmware_ack:
        return true;
    default:
        return false;
    }
}

// A line number, for the options that name one.
bool line_number(const option_row& r, const char* text, int& value) {
    if (!parse_option_number(text, 1, 10'000'000, value)) {
        std::fprintf(stderr, "romup-sim: --%s needs a line number from 1 on, not '%s'\n", r.name,
                     text);
        return false;
    }
    return true;
}

// Puts one option's value where its row says; false on a bad value, told on
// standard error.
bool apply_option(const option_row& r, const char* value, sim_options& o) {
    sim_scenario& s = o.scenario;
    bool good = true;
    int n = 0;
    switch (r.kind) {
    case option_kind::help:
        return true;
    case option_kind::setting:
        o.*r.setting = true;
        return true;
    case option_kind::path:
        o.*r.path = value;
        return true;
    case option_kind::flag:
        s.*r.flag = r.on;
        return true;
    case option_kind::words:
        s.*r.words = r.text;
        return true;
    case option_kind::number:
        good = parse_option_number(value, r.low, r.high, s.*r.number);
        break;
    case option_kind::line:
        return line_number(r, value, s.*r.number);
    case option_kind::line_answer:
        if (!line_number(r, value, n)) {
            return false;
        }
        (s.*r.acks)[n] = r.text;
        return true;
    case option_kind::command_answer:
        s.answers.push_back({r.command, 0, r.text});
        return true;
    case option_kind::erase_noise:
        good = parse_option_number(value, r.low, r.high, n);
        if (good) {
            s.erase_answer = std::string(static_cast<std::size_t>(n), '.') + "0";
        }
        break;
    case option_kind::loader_ack:
        good = choose(loader_ack_names, value, s.loader_ack);
        break;
    case option_kind::firmware_ack:
        good = choose(firmware_ack_names, value, s.firmware_ack);
        break;
    case option_kind::loader_running:
        s.start = sim_start::loader_running;
        return true;
    }
    if (!good) {
        std::fprintf(stderr, "romup-sim: %s\n", r.complaint);
    }
    return good;
}

} // namespace

int parse_sim_options(int argc, char** argv, sim_options& o) {
    // getopt_long gives back 256 + the row's index: above every short option.
    constexpr int first_id = 256;
    constexpr std::size_t row_count = sizeof option_rows / sizeof option_rows[0];
    std::vector<option> options;
    for (std::size_t i = 0; i < row_count; ++i) {
        options.push_back({option_rows[i].name,
                           takes_value(option_rows[i].kind) ? required_argument : no_argument,
                           nullptr, first_id + static_cast<int>(i)});
    }
    options.push_back({nullptr, 0, nullptr, 0});
    int id;
    while ((id = getopt_long(argc, argv, "", options.data(), nullptr)) != -1) {
        if (id < first_id || id >= first_id + static_cast<int>(row_count)) {
            return 2;
        }
        const option_row& r = option_rows[id - first_id];
        if (r.kind == option_kind::help) {
            return 1;
        }
        if (!apply_option(r, optarg, o)) {
            return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "romup-sim: unexpected argument '%s'\n", argv[optind]);
        return 2;
    }
    return 0;
}
