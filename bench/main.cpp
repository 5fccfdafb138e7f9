// romup-bench: measures romup's speed and memory and prints one table of
// figures, each beside its target. Benchmarks, not tests: a figure that
// misses its target is reported, and the exit status says only whether every
// benchmark could run (0), not (1), or the options were wrong (2).
//
//   1. per-line cost of a streaming phase, romup's upload beside a minimal loop
//   2. the firmware phase at 115200 bit/s: against romup-sim in a complete
//      run of the production binary, and against an exactly timed peer
//   3. peak resident memory of complete runs with a 1 KiB and a 64 MiB firmware
#include "firmware_phase.h"
#include "line_cost.h"
#include "option_number.h"
#include "production_run.h"
#include "support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

const char usage_text[] =
    "usage: romup-bench [--only NAME[,NAME...]] [--lines N] [--rounds N]\n"
    "                   [--firmware-kib N] [--same-core] [--quick] [--transcript FILE]\n"
    "\n"
    "Benchmarks (all by default, in this order):\n"
    "  line        per-line cost: romup's upload beside a minimal stop-and-wait loop\n"
    "  paced       firmware phase at 115200 bit/s against an exactly timed peer\n"
    "  throughput  firmware phase at 115200 bit/s in a complete run against romup-sim\n"
    "  memory      peak resident memory of complete runs, 1 KiB and 64 MiB firmware\n"
    "\n"
    "  --lines N         lines of the per-line benchmark (default 50000)\n"
    "  --rounds N        rounds of each of the two loops (default 5)\n"
    "  --firmware-kib N  firmware data of the romup-sim run (default 256)\n"
    "  --same-core       run the benchmark and its peer on one processor\n"
    "  --quick           small sizes, for a check that everything runs\n"
    "  --transcript FILE write what crossed the line in the romup-sim run to FILE\n";

constexpr std::int64_t line_rate = 115200;

// Two peaks count as the same within this much: the pages of romup's program
// and of the C library that end up resident vary by about 100 KiB from run to
// run of the very same command. Holding the image, or a few bytes more for
// each of the 64 MiB firmware's 131072 lines, shows as far more.
constexpr long same_memory_kb = 128;

struct options {
    bool line = true, paced = true, throughput = true, memory = true;
    int lines = 50000;
    int rounds = 5;
    int firmware_kib = 256;
    int memory_mib = 64;
    int paced_lines = 1000;
    int paced_rounds = 3;
    bool same_core = false;
    std::string transcript;
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
    char text[160];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

bool parse_only(const std::string& list, options& chosen) {
    chosen.line = chosen.paced = chosen.throughput = chosen.memory = false;
    std::size_t from = 0;
    while (from <= list.size()) {
        const std::size_t comma = std::min(list.find(',', from), list.size());
        const std::string name = list.substr(from, comma - from);
        bool* flag = name == "line"         ? &chosen.line
                     : name == "paced"      ? &chosen.paced
                     : name == "throughput" ? &chosen.throughput
                     : name == "memory"     ? &chosen.memory
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
            std::fputs(usage_text, stdout);
            std::exit(0);
        } else if (arg == "--same-core") {
            chosen.same_core = true;
        } else if (arg == "--quick") {
            chosen.lines = 5000;
            chosen.rounds = 2;
            chosen.firmware_kib = 16;
            chosen.memory_mib = 4;
            chosen.paced_lines = 200;
            chosen.paced_rounds = 1;
        } else if (value == nullptr) {
            return false;
        } else if (arg == "--transcript") {
            chosen.transcript = value;
            ++i;
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

std::string list_of(const std::vector<double>& values, const char* pattern = "%.1f") {
    std::string text;
    for (double value : values) {
        text += (text.empty() ? "" : " ") + format(pattern, value);
    }
    return text;
}

placement choose_placement(const options& chosen) {
    // The first two processors this process may use; with only one, nobody
    // is placed (unless both sides are to share it).
    const std::uint64_t cpus = allowed_cpus();
    placement where;
    const int first = lowest_cpu(cpus);
    if (first < 0) {
        return where;
    }
    const int second = lowest_cpu(cpus & ~(std::uint64_t{1} << first));
    if (chosen.same_core || second >= 0) {
        where.tool_cpu = first;
        where.peer_cpu = chosen.same_core ? first : second;
    }
    return where;
}

void bench_line(const options& chosen, const scratch_dir& dir, report& out) {
    const std::string image = dir.path + "/lines.txt";
    line_cost_result result;
    std::string problem;
    const placement where = choose_placement(chosen);
    if (!write_file(image, make_line_image(chosen.lines)) ||
        !measure_line_cost(image, chosen.lines, chosen.rounds, where, result, problem)) {
        out.rows.push_back({"per-line cost", "could not run: " + problem, "", false});
        out.all_ran = false;
        return;
    }
    const double romup_us = median(result.romup_us);
    const double minimal_us = median(result.minimal_us);
    const double ratio = romup_us / minimal_us;
    out.rows.push_back({"per-line cost, romup's upload_firmware",
                        format("%.2f us/line, %.0f lines/s", romup_us, 1e6 / romup_us), ""});
    out.rows.push_back({"per-line cost, minimal stop-and-wait loop",
                        format("%.2f us/line, %.0f lines/s", minimal_us, 1e6 / minimal_us), ""});
    out.rows.push_back({"romup / minimal loop", format("%.3f", ratio), "<= 1.10", ratio <= 1.10});
    out.notes.push_back(
        format("per-line cost: %.0f lines of 44 characters + LF, the median of %.0f "
               "round(s) of romup, then the minimal loop; ",
               chosen.lines, chosen.rounds) +
        placement_text(where, "romup and the minimal loop") +
        "; the peer answers each CR with \".\" from a blocking read");
    out.notes.push_back("  romup us/line by round:   " + list_of(result.romup_us));
    out.notes.push_back("  minimal us/line by round: " + list_of(result.minimal_us));
}

void bench_paced(const options& chosen, const scratch_dir& dir, report& out) {
    const std::string image = dir.path + "/paced.txt";
    const placement where = choose_placement(chosen);
    std::vector<double> romup_share, minimal_share;
    std::string problem;
    bool ran = write_file(image, make_line_image(chosen.paced_lines));
    for (int round = 0; ran && round < chosen.paced_rounds; ++round) {
        for (uploader which : {uploader::romup, uploader::minimal}) {
            paced_upload_result result;
            ran = ran && measure_paced_upload(image, line_rate, where, which, result, problem);
            (which == uploader::romup ? romup_share : minimal_share)
                .push_back(result.limit_us / result.elapsed_us * 100);
        }
    }
    if (!ran) {
        out.rows.push_back({"firmware phase, exact peer", "could not run: " + problem, "", false});
        out.all_ran = false;
        return;
    }
    const double share = median(romup_share);
    out.rows.push_back({"firmware phase at 115200 bit/s, exactly timed peer, romup",
                        format("%.2f%% of the line's limit", share), ">= 99%", share >= 99});
    out.rows.push_back({"firmware phase at 115200 bit/s, exactly timed peer, minimal loop",
                        format("%.2f%% of the line's limit", median(minimal_share)), ""});
    out.notes.push_back(
        format("exactly timed peer: %.0f lines of 44 characters + LF, the median of %.0f "
               "round(s) of romup, then the minimal loop; ",
               chosen.paced_lines, chosen.paced_rounds) +
        placement_text(where, "romup and the minimal loop") +
        "; the peer sleeps between lines and its wake-up is counted against the uploader");
    out.notes.push_back("  romup % of the limit by round:   " + list_of(romup_share, "%.2f"));
    out.notes.push_back("  minimal % of the limit by round: " + list_of(minimal_share, "%.2f"));
}

// Runs romup-mkimage with args; false when it fails.
bool make_hex_image(const std::vector<std::string>& args) {
    std::vector<std::string> all = {ROMUP_MKIMAGE};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return false;
    }
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string make_loader(const scratch_dir& dir) {
    const std::string loader = dir.path + "/ramagent.hex";
    const bool made = make_hex_image({"--bytes", "2048", "--seed", "3306", "--hex", loader});
    return made ? loader : std::string();
}

std::string run_problem(const production_result& run) {
    if (!run.ran) {
        return run.problem;
    }
    if (run.status != 0) {
        return "romup ended with status " + std::to_string(run.status);
    }
    return "";
}

void bench_throughput(const options& chosen, const scratch_dir& dir, report& out) {
    const std::string firmware = dir.path + "/firmware.hex";
    const std::string loader = make_loader(dir);
    production_run run;
    run.args = {"-f" + firmware, "-l" + loader, "-s115200"};
    run.modem.pace_bits_per_second = line_rate;
    // Each KiB of firmware needs about 0.3 s at the line's rate.
    run.deadline_s = 120 + chosen.firmware_kib;
    production_result result;
    if (!loader.empty() && make_hex_image({"--bytes", std::to_string(chosen.firmware_kib * 1024),
                                           "--seed", "15", "--hex", firmware})) {
        result = run_production(run);
    } else {
        result.problem = "romup-mkimage failed";
    }
    const firmware_phase phase = find_firmware_phase(result.line);
    std::string problem = run_problem(result);
    if (!chosen.transcript.empty() &&
        !write_file(chosen.transcript, sim_transcript_text(result.line))) {
        problem = "cannot write " + chosen.transcript;
    }
    if (problem.empty() && !phase.found) {
        problem = "no firmware phase in the transcript";
    }
    if (!problem.empty()) {
        out.rows.push_back({"firmware phase, romup-sim", "could not run: " + problem, "", false});
        out.all_ran = false;
        return;
    }
    const double elapsed_us = static_cast<double>(phase.last_us - phase.first_us);
    const double limit_us = firmware_phase_limit_us(phase, line_rate);
    const double share = limit_us / elapsed_us;
    out.rows.push_back({"firmware phase at 115200 bit/s, romup-sim",
                        format("%.2f%% of the line's limit", share * 100), ">= 99%",
                        share >= 0.99});
    out.notes.push_back(
        format("romup-sim run: %.0f KiB of firmware as Intel HEX, %.0f lines; firmware "
               "phase %.3f s ",
               chosen.firmware_kib, phase.lines, elapsed_us / 1e6) +
        format("for what needs %.3f s; whole run %.1f s of wall time, %.1f s of processor time",
               limit_us / 1e6, result.wall_s, result.cpu_s));
}

// A firmware of size bytes in lines of 1023 characters and LF, the longest
// image line there is; a modem that checks no records takes it.
bool make_flat_firmware(const std::string& path, std::int64_t size) {
    const std::string line = std::string(1023, 'D') + "\n";
    std::string content;
    content.reserve(static_cast<std::size_t>(size));
    while (static_cast<std::int64_t>(content.size()) < size) {
        content += line;
    }
    content.resize(static_cast<std::size_t>(size));
    return write_file(path, content);
}

production_result memory_run(const scratch_dir& dir, const std::string& loader,
                             std::int64_t firmware_size, bool reload) {
    const std::string firmware = dir.path + "/flat.txt";
    production_result result;
    if (loader.empty() || !make_flat_firmware(firmware, firmware_size)) {
        result.problem = "cannot write the images";
        return result;
    }
    production_run run;
    run.args = {"-f" + firmware, "-l" + loader};
    if (reload) {
        run.args.push_back("-c");
        run.modem.start = sim_start::loader_running;
    }
    run.modem.check_records = false;
    run.modem.erase_ms = 0;
    return run_production(run);
}

void bench_memory(const options& chosen, const scratch_dir& dir, report& out) {
    const std::string loader = make_loader(dir);
    const production_result small = memory_run(dir, loader, 1024, false);
    const production_result big =
        memory_run(dir, loader, std::int64_t{chosen.memory_mib} << 20, false);
    const production_result reload = memory_run(dir, loader, 1024, true);
    std::string problem = run_problem(small);
    problem = problem.empty() ? run_problem(big) : problem;
    if (!problem.empty()) {
        out.rows.push_back({"peak memory", "could not run: " + problem, "", false});
        out.all_ran = false;
        return;
    }
    const std::string big_name =
        "peak memory, " + std::to_string(chosen.memory_mib) + " MiB firmware";
    const long difference = std::labs(big.max_rss_kb - small.max_rss_kb);
    out.rows.push_back({"peak memory, 1 KiB firmware",
                        format("%.0f KiB", static_cast<double>(small.max_rss_kb)), "< 4096 KiB",
                        small.max_rss_kb < 4096});
    out.rows.push_back({big_name, format("%.0f KiB", static_cast<double>(big.max_rss_kb)),
                        "< 4096 KiB", big.max_rss_kb < 4096});
    out.rows.push_back(
        {"peak memory, difference", format("%.0f KiB", static_cast<double>(difference)),
         format("<= %.0f KiB", static_cast<double>(same_memory_kb)), difference <= same_memory_kb});
    out.notes.push_back(
        format("memory: ru_maxrss from wait4 in romup-bench-launch; romup-sim unpaced, no "
               "record checks; the %.0f MiB firmware (lines of 1023 characters + LF) took "
               "%.1f s; ",
               chosen.memory_mib, big.wall_s) +
        format("private memory sampled while running: %.0f KiB (1 KiB firmware), %.0f KiB "
               "(large firmware)",
               static_cast<double>(small.sampled_anon_kb),
               static_cast<double>(big.sampled_anon_kb)));
    out.rows.push_back({"complete run, 1 KiB firmware",
                        format("%.1f s wall, %.1f s processor", small.wall_s, small.cpu_s), ""});
    const std::string reload_problem = run_problem(reload);
    out.rows.push_back({"complete run with -c, 1 KiB firmware",
                        reload_problem.empty()
                            ? format("%.1f s wall, %.1f s processor", reload.wall_s, reload.cpu_s)
                            : "could not run: " + reload_problem,
                        "", reload_problem.empty()});
    out.all_ran = out.all_ran && reload_problem.empty();
}

void print(const report& out, const std::string& load_before) {
    std::size_t name_width = 6, measured_width = 8, target_width = 6;
    for (const row& r : out.rows) {
        name_width = std::max(name_width, r.name.size());
        measured_width = std::max(measured_width, r.measured.size());
        target_width = std::max(target_width, r.target.size());
    }
    const int nw = static_cast<int>(name_width), mw = static_cast<int>(measured_width),
              tw = static_cast<int>(target_width);
    std::printf("\n%-*s  %-*s  %-*s  %s\n", nw, "figure", mw, "measured", tw, "target", "result");
    for (const row& r : out.rows) {
        const char* result = r.target.empty() ? (r.met ? "" : "FAILED") : r.met ? "PASS" : "MISS";
        std::printf("%-*s  %-*s  %-*s  %s\n", nw, r.name.c_str(), mw, r.measured.c_str(), tw,
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
        std::fputs(usage_text, stderr);
        return 2;
    }
    // As in a real run, where the port's opening makes standard output
    // unbuffered: each progress update is a write of its own.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string load_before = load_average();
    report out;
    try {
        scratch_dir dir;
        // The in-process benchmarks come first, while this process has one
        // thread: romup's clock counts the processor time of all of them.
        if (chosen.line) {
            bench_line(chosen, dir, out);
        }
        if (chosen.paced) {
            bench_paced(chosen, dir, out);
        }
        if (chosen.throughput) {
            bench_throughput(chosen, dir, out);
        }
        if (chosen.memory) {
            bench_memory(chosen, dir, out);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "romup-bench: %s\n", error.what());
        return 1;
    }
    print(out, load_before);
    return out.all_ran ? 0 : 1;
}
