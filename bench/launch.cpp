// romup-bench-launch REPORT PROGRAM [ARG...]: runs PROGRAM with the arguments
// and writes to the file REPORT one line when PROGRAM has started and one
// when it has ended:
//   started PID
//   ended STATUS MAX_RSS_KB USER_US SYSTEM_US
// STATUS is the exit status, or 128 plus the signal that ended it. The pid
// lets the caller watch the program's memory while it runs.
//
// Why a launcher: Linux starts a new process's peak resident size at the
// resident size of the process it was created from, and exec keeps it. Under
// the benchmark program (several MiB with the simulator and its transcript)
// romup's own peak would be hidden. This launcher is small (statically linked,
// about 0.5 MiB resident), so the peak that wait4 reports is romup's as long
// as romup needs more than that.
#include <cstdio>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: romup-bench-launch REPORT PROGRAM [ARG...]\n", stderr);
        return 2;
    }
    std::FILE* report = std::fopen(argv[1], "w");
    pid_t pid = -1;
    if (report == nullptr || posix_spawn(&pid, argv[2], nullptr, nullptr, argv + 2, environ) != 0) {
        std::perror("romup-bench-launch");
        return 127;
    }
    std::fprintf(report, "started %ld\n", static_cast<long>(pid));
    std::fflush(report);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) {
        std::perror("romup-bench-launch");
        return 127;
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::fprintf(report, "ended %d %ld %ld %ld\n", code, usage.ru_maxrss,
                 static_cast<long>(usage.ru_utime.tv_sec) * 1000000 + usage.ru_utime.tv_usec,
                 static_cast<long>(usage.ru_stime.tv_sec) * 1000000 + usage.ru_stime.tv_usec);
    return std::fclose(report) == 0 ? 0 : 127;
}
