// Fuzzes the two uploads: any image content, any acknowledgement bytes from
// the modem. The input is a two-byte length (little-endian, taken modulo what
// follows), that many acknowledgement bytes, then the image. Each input is
// uploaded in both phases over a fake port, a socket pair whose far end holds
// the acknowledgements before the upload starts. The bytes on the line must
// be exactly the phase's framing of each image line, up to the line whose
// acknowledgement fails; the run must end where and how the acknowledgements
// say; a whole upload must close its image.
#include "exits_for_fuzzing.h"
#include "framing.h"
#include "memory_image.h"
#include "test_port.h"

#include "run/state.h"
#include "transfer/upload.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Far below a socket's buffer, so that no write of the upload ever waits and
// the line is read only after the upload. The buffer counts each write at its
// bytes and about a kilobyte besides: the number of lines is bounded too.
constexpr std::size_t largest_input = 64 * 1024;
constexpr std::size_t most_lines = 100;

void require(bool holds, const char* what, bool loader) {
    if (!holds) {
        std::fprintf(stderr, "fuzz_upload (%s phase): %s\n", loader ? "loader" : "firmware", what);
        std::abort();
    }
}

// Takes one line's acknowledgement from acks at next, with the bytes that
// follow it; whether the line is accepted.
bool acknowledged(const std::string& acks, std::size_t& next, bool loader) {
    if (next == acks.size()) {
        return false;
    }
    const char ack = acks[next++];
    std::size_t further = 0;
    if (loader) {
        if (ack == '0') {
            further = 1;
        } else if (ack == '8') {
            further = 2;
        } else if (ack != '\r' && ack != '.') {
            return false;
        }
    } else if (ack == '\r') {
        further = 1;
    } else if (ack != '.') {
        return false;
    }
    next = std::min(acks.size(), next + further);
    return true;
}

void check_phase(const std::string& content, const std::string& acks, bool loader) {
    std::string expected_sent;
    bool expected_accepted = true;
    std::size_t next_ack = 0;
    const std::vector<std::string> lines = image_lines(content);
    for (const std::string& line : lines) {
        expected_sent += framed(line, loader);
        if (!acknowledged(acks, next_ack, loader)) {
            expected_accepted = false;
            break;
        }
    }

    test_port port(line_kind::socket_pair);
    port.peer_sends(acks);
    require(reply != nullptr, "no reply buffer", loader);
    memory_image source{content};
    std::FILE* image = open_memory_image(source);
    require(image != nullptr, "fopencookie failed", loader);

    bool accepted = true;
    try {
        if (loader) {
            upload_loader(image, digest_of(content));
        } else {
            upload_firmware(image, digest_of(content));
        }
    } catch (const run_end& end) {
        accepted = false;
        // The process would end here and close the image with it.
        if (!source.closed) {
            std::fclose(image);
        }
        require(end.status == 1, "failure status is not 1", loader);
        const char* message =
            loader ? "\r\nError while loading code\r\n" : "\r\nError while loading Flash\r\n";
        require(end.message != nullptr && std::strcmp(end.message, message) == 0,
                "wrong failure message", loader);
    }

    require(port.peer_receives() == expected_sent, "bytes on the line differ from the framing",
            loader);
    require(accepted == expected_accepted, "upload ended otherwise than the acks say", loader);
    if (accepted) {
        require(source.closed, "the image was left open", loader);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The progress lines would flood the fuzzer's report.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
    block_held_signals_for_later_threads();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    unblock_held_signals_in_this_thread();
    if (size > largest_input) {
        return -1;
    }
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t ack_length = 0;
    std::size_t at = std::min<std::size_t>(size, 2);
    if (size >= 2) {
        ack_length = (std::size_t{data[0]} | std::size_t{data[1]} << 8) % (size - 2 + 1);
    }
    const std::string acks = input.substr(at, ack_length);
    at += ack_length;
    const std::string content = input.substr(at);
    if (image_lines(content).size() > most_lines) {
        return -1;
    }
    check_phase(content, acks, true);
    check_phase(content, acks, false);
    return 0;
}
