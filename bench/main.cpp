// romup-bench: measures romup's speed and memory and prints one table of
// figures, each beside its target. Benchmarks, not tests: a figure that
// misses its target is reported, and the exit status says whether every
// benchmark ran and met its target (0), one missed it (3), one could not run
// (1), or the options were wrong (2).
//
//   1. per-line cost of a streaming phase, romup's upload beside a minimal loop
//   2. the firmware phase at 115200 bit/s in a complete run of the production
//      binary against romup-sim --pace, the simulator being the only timed line
//   3. peak resident memory of complete runs with a 1 KiB and a 64 MiB firmware
//   4. complete runs with the sample images under -w: the share of processor
//      time, and how much a host busy on every processor stretches them
#include "harness.h"
#include "line_cost.h"
#include "option_number.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

const char bench_usage_text[] =
    "usage: romup-bench [--only NAME[,NAME...]] [--lines N] [--rounds N]\n"
    "                   [--firmware-kib N] [--quick]\n"
    "\n"
    "Benchmarks (all by default, in this order):\n"
    "  line        per-line cost: romup's upload beside a minimal stop-and-wait loop\n"
    "  throughput  firmware phase at 115200 bit/s in a complete run against romup-sim\n"
    "  memory      peak resident memory of complete runs, 1 KiB and 64 MiB firmware\n"
    "  sleep       complete runs with -w: processor time, and idle against loaded host\n"
    "\n"
    "  --lines N         lines of the per-line benchmark (default 50000)\n"
    "  --rounds N        rounds of each of the two loops (default 5)\n"
    "  --firmware-kib N  firmware data of the romup-sim run (default 256)\n"
    "  --quick           small sizes, for a check that everything runs\n";

constexpr std::int64_t line_rate = 115200;

// Two peaks count as the same within this much: the pages of romup's program
// and of the C library that end up resident vary by about 100 KiB from run to
// run of the very same command. Holding the image, or a few bytes more for
// each of the 64 MiB firmware's 131072 lines, shows as far more.
constexpr long same_memory_kb = 128;

struct options {
    bool line = true, throughput = true, memory = true, sleep = true;
    int lines = 50000;
    int rounds = 5;
    int firmware_kib = 256;
    int memory_mib = 64;
};

struct row {
    std::string name;
    std::string measured;
    std::string target; // empty: a figure without a target
    bool met = true;
};

struct report {
    std::vector<row> rows;
    std::vector<std::string> notes;
    bool all_ran = true;
};

std::string format(const char* pattern, double a, double b = 0, double c = 0) {
    char text[200];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

bool parse_only(const std::string& list, options& chosen) {
    chosen.line = chosen.throughput = chosen.memory = chosen.sleep = false;
    for (std::size_t from = 0; from <= list.size();) {
        const std::size_t comma = std::min(list.find(',', from), list.size());
        const std::string name = list.substr(from, comma - from);
        bool* flag = name == "line"         ? &chosen.line
                     : name == "throughput" ? &chosen.throughput
                     : name == "memory"     ? &chosen.memory
                     : name == "sleep"      ? &chosen.sleep
                                            : nullptr;
        if (flag == nullptr) {
            return false;
        }
        *flag = true;
        from = comma + 1;
    }
    return true;
}

bool read_options(int argc, char** argv, options& chosen) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--help") {
            std::fputs(bench_usage_text, stdout);
            std::exit(0);
        } else if (arg == "--quick") {
            chosen.lines = 5000;
            chosen.rounds = 2;
            chosen.firmware_kib = 16;
            chosen.memory_mib = 4;
        } else if (value == nullptr) {
            return false;
        } else if (arg == "--only") {
            ++i;
            if (!parse_only(value, chosen)) {
                return false;
            }
        } else if (arg == "--lines" || arg == "--rounds" || arg == "--firmware-kib") {
            ++i;
            int& target = arg == "--lines"    ? chosen.lines
                          : arg == "--rounds" ? chosen.rounds
                                              : chosen.firmware_kib;
            if (!parse_option_number(value, 1, arg == "--firmware-kib" ? 16384 : 10'000'000,
                                     target)) {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string list_of(const std::vector<double>& values) {
    std::string text;
    for (double value : values) {
        text += (text.empty() ? "" : " ") + format("%.1f", value);
    }
    return text;
}

void bench_line(const options& chosen, const temp_dir& dir, report& out) {
    const std::string image = dir.file("lines.txt", make_line_image(chosen.lines));
    line_cost_result result;
    std::string problem;
    if (!measure_line_cost(image, chosen.lines, chosen.rounds, result, problem)) {
        out.rows.push_back({"per-line cost", "could not run: " + problem, "", false});
        out.all_ran = false;
        return;
    }
    const double romup_us = median(result.romup_us);
    const double minimal_us = median(result.minimal_us);
    const double ratio = romup_us / minimal_us;
    const double sleeping_us = median(result.sleeping_us);
    out.rows.push_back({"per-line cost, romup's upload_firmware",
                        format("%.2f us/line, %.0f lines/s", romup_us, 1e6 / romup_us), ""});
    out.rows.push_back({"per-line cost, the same with -w",
                        format("%.2f us/line, %.0f lines/s", sleeping_us, 1e6 / sleeping_us), ""});
    out.rows.push_back({"per-line cost, minimal stop-and-wait loop",
                        format("%.2f us/line, %.0f lines/s", minimal_us, 1e6 / minimal_us), ""});
    out.rows.push_back({"romup / minimal loop", format("%.3f", ratio), "<= 1.10", ratio <= 1.10});
    const double sleeping_ratio = sleeping_us / romup_us;
    out.rows.push_back({"-w / busy poll, per line", format("%.3f", sleeping_ratio), "<= 1.20",
                        sleeping_ratio <= 1.20});
    out.notes.push_back(
        format("per-line cost: %.0f lines of 44 characters + LF, the median of %.0f "
               "round(s) of romup, romup with -w, then the minimal loop; the peer answers each CR "
               "with \".\" "
               "from a blocking read",
               chosen.lines, chosen.rounds));
    out.notes.push_back("  romup us/line by round:   " + list_of(result.romup_us));
    out.notes.push_back("  romup -w us/line by round: " + list_of(result.sleeping_us));
    out.notes.push_back("  minimal us/line by round: " + list_of(result.minimal_us));
}

std::string run_problem(const run_result& run) {
    if (!run.err.empty()) {
        return run.err;
    }
    return run.status == 0 ? "" : "romup ended with status " + std::to_string(run.status);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The firmware phase of a complete run of the production romup against the
// romup-sim program with --pace and sim_args besides (an adapter's latency,
// say), at 115200 bit/s: from the firmware's progress heading, printed just
// before the first line goes out, to the end of its progress line, printed
// just after the last acknowledgement came in, against the time the line
// needs for the lines, their CRs and the acknowledgements.
// With a latency the lines are few (an adapter's timer makes every line slow)
// and the figure has no target: it shows what the timer costs.
void bench_throughput(const temp_dir& dir, const std::vector<std::string>& sim_args,
                      int firmware_kib, report& out) {
    std::string name = "firmware phase at 115200 bit/s, romup-sim --pace";
    for (const std::string& arg : sim_args) {
        name += " " + arg;
    }
    // Lines like Intel HEX records of 16 data bytes; the modem checks none.
    const std::string content = make_line_image(firmware_kib * 1024 / 16);
    const std::string firmware = dir.file("firmware.hex", content);
    const std::string loader = dir.file("loader.hex", make_line_image(128) + eof_record);
    const std::string link = dir.path + "/ttyTAV0";
    std::vector<std::string> sim = {ROMUP_SIM_BINARY,    "--once", "--pace",
                                    "--no-record-check", "--link", link};
    sim.insert(sim.end(), sim_args.begin(), sim_args.end());
    const pid_t sim_pid = start_program(sim, dir.path + "/sim.out");
    for (int tenths = 0; sim_pid != -1 && tenths < 100 && access(link.c_str(), F_OK) != 0;
         ++tenths) {
        usleep(100000);
    }
    std::string problem;
    run_result run;
    double phase_s = -1;
    if (access(link.c_str(), F_OK) != 0) {
        problem = "romup-sim did not make its link: " + read_file(dir.path + "/sim.out");
    } else {
        run_options options;
        options.production = true;
        options.with_modem = false;
        options.args = {"-p" + link, "-f" + firmware, "-l" + loader, "-s115200"};
        options.answer = "y\n";
        // Each KiB of firmware needs about 0.3 s at the line's rate.
        options.deadline_s = 120 + firmware_kib * (sim_args.empty() ? 1 : 2);
        auto started = std::chrono::steady_clock::now();
        bool in_phase = false;
        options.on_poll = [&](pid_t, const std::string& printed) {
            const std::size_t heading = printed.find(firmware_heading);
            if (heading != std::string::npos && !in_phase) {
                in_phase = true;
                started = std::chrono::steady_clock::now();
            }
            if (in_phase && phase_s < 0 && printed.find("\r\n", heading) != std::string::npos) {
                phase_s = seconds_since(started);
            }
        };
        run = run_romup(options);
        problem = run_problem(run);
    }
    if (sim_pid != -1 && !ended_well(sim_pid, 10) && problem.empty()) {
        problem = "romup-sim did not end cleanly: " + read_file(dir.path + "/sim.out");
    }
    if (problem.empty() && phase_s <= 0) {
        problem = "no firmware phase in romup's output";
    }
    if (!problem.empty()) {
        out.rows.push_back({name, "could not run: " + problem, "", false});
        out.all_ran = false;
        return;
    }
    const framing sent = frame(content, false);
    const double limit_s = static_cast<double>(sent.bytes.size() + std::size_t(sent.lines)) * 10.0 /
                           static_cast<double>(line_rate);
    const double share = limit_s / phase_s;
    if (sim_args.empty()) {
        out.rows.push_back(
            {name, format("%.2f%% of the line's limit", share * 100), ">= 99%", share >= 0.99});
    } else {
        // 1 MiB of Intel HEX in records of 16 data bytes is 65,536 lines.
        const double lines_per_s = sent.lines / phase_s;
        out.rows.push_back({name,
                            format("%.0f lines/s, %.1f%% of the line's limit, %.1f min for 1 MiB",
                                   lines_per_s, share * 100, 65536 / lines_per_s / 60),
                            "", true});
    }
    out.notes.push_back(
        format("romup-sim run: %.0f lines of 44 characters + LF (%.0f KiB as Intel HEX); "
               "firmware phase %.3f s ",
               sent.lines, static_cast<double>(firmware_kib), phase_s) +
        format("for what needs %.3f s; whole run %.1f s of wall time, %.1f s of processor time",
               limit_s, run.wall_seconds, run.cpu_seconds));
}

// What the launcher reported of one run of romup.
struct launched {
    std::string problem;
    int status = -1;
    long max_rss_kb = 0;
    double wall_s = 0;
    // romup's private (anonymous) resident memory, the largest of the samples
    // taken from /proc while it ran: what romup allocates, without the pages
    // of its program and the C library, which vary a little from run to run
    // with what the page cache holds.
    long sampled_anon_kb = 0;
};

// RssAnon of a running process, in KiB; 0 when it cannot be read.
long anonymous_kb(long pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        long kb = 0;
        if (std::sscanf(line.c_str(), "RssAnon: %ld", &kb) == 1) {
            return kb;
        }
    }
    return 0;
}

// A complete run of the production romup under romup-bench-launch against
// an unpaced modem that checks no records, with a firmware of size bytes in
// lines of 1023 characters and LF, the longest image line there is.
launched memory_run(const temp_dir& dir, std::int64_t size) {
    launched result;
    std::string content;
    content.reserve(static_cast<std::size_t>(size));
    while (static_cast<std::int64_t>(content.size()) < size) {
        content += std::string(1023, 'D') + "\n";
    }
    content.resize(static_cast<std::size_t>(size));
    const std::string firmware = dir.file("flat.txt", content);
    content = std::string();
    const std::string report = dir.path + "/launch.report";
    run_options options;
    options.production = true;
    options.launcher = {ROMUP_BENCH_LAUNCH, report};
    options.args = {"-p{port}", "-f" + firmware,
                    "-l" + dir.file("loader.hex", make_line_image(128) + eof_record)};
    options.answer = "y\n";
    options.modem.check_records = false;
    options.modem.erase_ms = 0;
    options.deadline_s = 600;
    long romup = 0;
    options.on_poll = [&](pid_t, const std::string&) {
        if (romup == 0) {
            std::sscanf(read_file(report).c_str(), "started %ld", &romup);
        }
        result.sampled_anon_kb = std::max(result.sampled_anon_kb, anonymous_kb(romup));
    };
    const run_result run = run_romup(options);
    const std::string text = read_file(report);
    const std::size_t ended = text.find("ended ");
    if (!run.err.empty() || ended == std::string::npos ||
        std::sscanf(text.c_str() + ended, "ended %d %ld", &result.status, &result.max_rss_kb) !=
            2) {
        result.problem = run.err.empty() ? "romup-bench-launch gave no report" : run.err;
    } else if (result.status != 0) {
        result.problem = "romup ended with status " + std::to_string(result.status);
    }
    result.wall_s = run.wall_seconds;
    return result;
}

std::string kib(long value) {
    return format("%.0f KiB", static_cast<double>(value));
}

void bench_memory(const options& chosen, const temp_dir& dir, report& out) {
    const launched small = memory_run(dir, 1024);
    const launched big = memory_run(dir, std::int64_t{chosen.memory_mib} << 20);
    const std::string problem = !small.problem.empty() ? small.problem : big.problem;
    if (!problem.empty()) {
        out.rows.push_back({"peak memory", "could not run: " + problem, "", false});
        out.all_ran = false;
        return;
    }
    const long difference = std::labs(big.max_rss_kb - small.max_rss_kb);
    out.rows.push_back({"peak memory, 1 KiB firmware", kib(small.max_rss_kb), "< 4096 KiB",
                        small.max_rss_kb < 4096});
    out.rows.push_back({"peak memory, " + std::to_string(chosen.memory_mib) + " MiB firmware",
                        kib(big.max_rss_kb), "< 4096 KiB", big.max_rss_kb < 4096});
    out.rows.push_back({"peak memory, difference", kib(difference), "<= " + kib(same_memory_kb),
                        difference <= same_memory_kb});
    out.notes.push_back(
        format("memory: ru_maxrss from wait4 in romup-bench-launch; the modem unpaced, no "
               "record checks; the %.0f MiB firmware (lines of 1023 characters + LF) took "
               "%.1f s; ",
               chosen.memory_mib, big.wall_s) +
        "private memory sampled while running: " + kib(small.sampled_anon_kb) +
        " (1 KiB firmware), " + kib(big.sampled_anon_kb) + " (large firmware)");
}

// A complete run of the production romup with the project's sample images
// against the modem in this process, with -w or without; with a busy process
// on every processor meanwhile when loaded.
run_result sample_run(bool sleeping, bool loaded) {
    const std::string images = ROMUP_IMAGES_DIR;
    run_options options;
    options.production = true;
    options.args = {"-p{port}", "-f" + images + "/firmware.hex", "-l" + images + "/ramagent.hex"};
    if (sleeping) {
        options.args.emplace_back("-w");
    }
    options.answer = "y\n";
    options.deadline_s = 300;
    const busy_processes busy(loaded ? static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)) : 0, -1);
    return run_romup(options);
}

std::string seconds_of(const run_result& run) {
    return format("%.2f s of processor time in %.2f s", run.cpu_seconds, run.wall_seconds);
}

// Most of a run is its fixed waits (the 2 s of silence after each reply, the
// erase, the pauses): asleep they cost no processor time and last their real
// length whatever the load; polled, they take a processor each and stretch.
void bench_sleep(report& out) {
    const run_result idle = sample_run(true, false);
    const run_result loaded = sample_run(true, true);
    const run_result polled_idle = sample_run(false, false);
    const run_result polled_loaded = sample_run(false, true);
    for (const run_result* run : {&idle, &loaded, &polled_idle, &polled_loaded}) {
        const std::string problem = run_problem(*run);
        if (!problem.empty()) {
            out.rows.push_back({"complete runs, -w", "could not run: " + problem, "", false});
            out.all_ran = false;
            return;
        }
    }
    const double share = idle.cpu_seconds / idle.wall_seconds;
    out.rows.push_back({"-w run, processor time / wall time", format("%.2f%%", share * 100),
                        "<= 5%", share <= 0.05});
    const double stretch = loaded.wall_seconds / idle.wall_seconds;
    out.rows.push_back(
        {"-w run, loaded host / idle host", format("%.3f", stretch), "<= 1.10", stretch <= 1.10});
    out.rows.push_back({"busy-poll run, loaded host / idle host",
                        format("%.3f", polled_loaded.wall_seconds / polled_idle.wall_seconds), ""});
    out.notes.push_back(format("complete runs with the sample images, the modem in this "
                               "process; loaded: %.0f busy processes",
                               static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN))));
    out.notes.push_back("  -w, idle:          " + seconds_of(idle));
    out.notes.push_back("  -w, loaded:        " + seconds_of(loaded));
    out.notes.push_back("  busy poll, idle:   " + seconds_of(polled_idle));
    out.notes.push_back("  busy poll, loaded: " + seconds_of(polled_loaded));
}

void print(const report& out, const std::string& load_before) {
    std::printf("\n%-50s  %-32s  %-12s  %s\n", "figure", "measured", "target", "result");
    for (const row& r : out.rows) {
        const char* result = r.target.empty() ? (r.met ? "" : "FAILED") : r.met ? "PASS" : "MISS";
        std::printf("%-50s  %-32s  %-12s  %s\n", r.name.c_str(), r.measured.c_str(),
                    r.target.c_str(), result);
    }
    std::printf("\n");
    for (const std::string& note : out.notes) {
        std::printf("%s\n", note.c_str());
    }
    std::printf("load average before: %s, after: %s\n", load_before.c_str(),
                load_average().c_str());
}

} // namespace

int main(int argc, char** argv) {
    options chosen;
    if (!read_options(argc, argv, chosen)) {
        std::fputs(bench_usage_text, stderr);
        return 2;
    }
    // As in a real run, where the port's opening makes standard output
    // unbuffered: each progress update is a write of its own.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string load_before = load_average();
    report out;
    try {
        temp_dir dir;
        // The in-process benchmark comes first, while this process has one
        // thread: romup's clock counts the processor time of all of them.
        if (chosen.line) {
            bench_line(chosen, dir, out);
        }
        if (chosen.throughput) {
            bench_throughput(dir, {}, chosen.firmware_kib, out);
            // A USB adapter's latency timer: FTDI's default, then what romup asks for.
            const int latency_kib = std::max(1, chosen.firmware_kib / 8);
            bench_throughput(dir, {"--latency", "16"}, latency_kib, out);
            bench_throughput(dir, {"--latency", "1"}, latency_kib, out);
        }
        if (chosen.memory) {
            bench_memory(chosen, dir, out);
        }
        if (chosen.sleep) {
            bench_sleep(out);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "romup-bench: %s\n", error.what());
        return 1;
    }
    print(out, load_before);
    const bool met =
        std::all_of(out.rows.begin(), out.rows.end(), [](const row& r) { return r.met; });
    return !out.all_ran ? 1 : met ? 0 : 3;
}
