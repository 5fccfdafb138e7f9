// romup's reads and writes under signals: a handler that restarts nothing
// cuts off a write blocked on a full pipe (EINTR, or a short count) and a read
// blocked on an empty one, many times over; every byte still passes, in
// order.
#include "rows.h"

#include "line/fd_io.h"

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <pthread.h>
#include <string>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace {

using test_rows::operator<<;

void caught(int /*signal_number*/) {}

struct signal_case {
    const char* name;
    std::size_t piece;       // what each fd_write_all of the writer is given
    useconds_t writer_pause; // after each piece
    useconds_t reader_pause; // after each read
    bool reader_interrupted; // the signals cut off the reads, else the writes
};

class Interrupted : public ::testing::TestWithParam<signal_case> {};

TEST_P(Interrupted, EveryBytePasses) {
    const signal_case& row = GetParam();
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::string text;
    for (int i = 0; text.size() < (1 << 20); ++i) {
        text += std::to_string(i) + ",";
    }
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction handler {};
    handler.sa_handler = caught;
    struct sigaction saved {};
    ASSERT_EQ(sigaction(SIGALRM, &handler, &saved), 0);
    const itimerval every_millisecond{{0, 1000}, {0, 1000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every_millisecond, nullptr), 0);

    // Only the thread whose calls block gets the signals.
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(row.reader_interrupted ? SIG_BLOCK : SIG_UNBLOCK, &alarm, nullptr);
    std::string got;
    bool read_failed = false;
    std::thread reader([&] {
        pthread_sigmask(row.reader_interrupted ? SIG_UNBLOCK : SIG_BLOCK, &alarm, nullptr);
        char chunk[65536];
        for (;;) {
            const ssize_t n = fd_read(ends[0], chunk, sizeof chunk);
            if (n <= 0) {
                read_failed = n < 0;
                // A writer left alone would wait for ever; this way it fails.
                close(ends[0]);
                return;
            }
            got.append(chunk, static_cast<std::size_t>(n));
            usleep(row.reader_pause);
        }
    });
    bool written = true;
    for (std::size_t at = 0; written && at < text.size(); at += row.piece) {
        written = fd_write_all(ends[1], text.data() + at, std::min(row.piece, text.size() - at));
        usleep(row.writer_pause);
    }
    close(ends[1]);
    reader.join();
    const itimerval stop{};
    setitimer(ITIMER_REAL, &stop, nullptr);
    pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
    sigaction(SIGALRM, &saved, nullptr);

    EXPECT_TRUE(written);
    EXPECT_FALSE(read_failed);
    EXPECT_EQ(got.size(), text.size());
    EXPECT_TRUE(got == text);
}

INSTANTIATE_TEST_SUITE_P(Descriptor, Interrupted,
                         ::testing::Values(
                             // The pipe stays full: writes block, with some bytes taken or none.
                             signal_case{"WriterAheadOfItsReader", std::size_t{1} << 20, 0, 3000,
                                         false},
                             // The pipe stays empty: reads block.
                             signal_case{"ReaderAheadOfItsWriter", 65536, 3000, 0, true}),
                         row_name{});

} // namespace
