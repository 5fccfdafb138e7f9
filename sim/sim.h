// The simulated Tavrin 3306: the far end of romup's serial line.
//
// One session serves one romup run on the master side of a pseudo-terminal,
// from romup's first AT command to its last byte. The modem has three states:
// the Hayes command interpreter, the loader receiving its image into RAM, and
// the loader running (erase, Flash programming, restart). A scenario says how
// the modem answers, including the faults to rehearse; the record keeps every
// byte in both directions and the Flash as programmed.
//
// Used in-process by the end-to-end tests (one session per test, on a thread)
// and by the romup-sim program, which maps its options onto a scenario. The
// session's steps are modem.h's; its transcript as text, transcript.h's.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// Where a session starts.
enum class sim_start {
    command,        // a modem in its AT command state (a normal run)
    loader_running, // a loader already in RAM, as after a failed upload (romup -c)
};

// The loader phase's acknowledgement of a good line.
enum class sim_loader_ack {
    cr,    // CR alone
    dot,   // "." alone
    zero,  // "0" and one more byte
    eight, // "8" and two more bytes
};

// The firmware phase's acknowledgement of a good line.
enum class sim_firmware_ack {
    dot, // "." alone
    cr,  // CR and one more byte
};

// Replaces the modem's answer to one occurrence of a command.
struct sim_answer_override {
    std::string command; // as received, without its CR: "AT&F1", "AT", "AT&FE&D3V",
                         // "X", "REPROGRAM", "STARTUP"
    int occurrence = 0;  // 1 for the first time the command is received in the
                         // session, 2 for the second...; 0 for every time
    std::string answer;  // the bytes sent instead (may hold NULs; empty: silence)
};

struct sim_scenario {
    sim_start start = sim_start::command;
    bool silent = false; // the modem never sends a byte

    // Intel HEX checks on loader and firmware lines. With checks off every line
    // is acknowledged as good; the end-of-file record ":00000001FF" still ends
    // the loader's reception.
    bool check_records = true;

    sim_loader_ack loader_ack = sim_loader_ack::dot;
    sim_firmware_ack firmware_ack = sim_firmware_ack::dot;

    // Per-line replacement of the acknowledgement (and any bytes after it),
    // keyed by the 1-based line number within the phase. Empty: no answer.
    std::map<int, std::string> loader_ack_at;
    std::map<int, std::string> firmware_ack_at;
    // firmware_ack_at acts in the first firmware upload of the session only (a
    // fault on the line rather than in the image), so a recovery can succeed.
    bool firmware_faults_once = false;

    std::vector<sim_answer_override> answers;

    // The announcement of a loader that has started after its image was received.
    std::string loader_ready = "\r\nTAVRIN 3306 RAM LOADER READY\r\n";

    int erase_ms = 1500;            // how long the Flash erase takes
    std::string erase_answer = "0"; // bytes sent when the erase ends (empty: never ends)

    // The modem vanishes (the simulator closes its side of the line) when it
    // has received this line of the loader or the firmware; 0 for never.
    int vanish_at_loader_line = 0;
    int vanish_at_firmware_line = 0;

    // Bytes travel at this rate, 10 bits a byte, in both directions; 0 for no pacing.
    std::int64_t pace_bits_per_second = 0;

    // What the modem sends is held until this many milliseconds after the first
    // byte of its batch (at once when 62 bytes wait), as a USB serial adapter's
    // latency timer holds what it receives; 0 for none.
    int latency_ms = 0;

    // Called on the session's thread when a command arrives, before it is
    // answered, with the command as the answer overrides name it.
    std::function<void(const std::string&)> on_command;

    // Called on the session's thread after each firmware line has been acknowledged,
    // with its 1-based number (tests use it to signal romup mid-upload).
    std::function<void(int)> on_firmware_line;
};

// One entry of the transcript: bytes that crossed the line in one direction.
struct sim_event {
    std::int64_t at_us = 0; // wall-clock microseconds since the session started
    bool to_modem = false;  // true: romup to modem; false: modem to romup
    std::string bytes;
};

struct sim_record {
    std::string received; // every byte romup sent, in order
    std::string sent;     // every byte the modem sent, in order
    std::vector<sim_event> transcript;
    int loader_lines = 0;   // loader lines received
    int firmware_lines = 0; // firmware lines received
    bool erased = false;
    bool vanished = false; // the modem closed master_fd (vanish_at_*_line)
    // The Flash: the programmed bytes from address 0 to the highest address
    // written; bytes never programmed since the erase read 0xFF.
    std::vector<std::uint8_t> flash;
};

// Serves one session on master_fd (the master side of a raw pseudo-terminal
// whose slave the caller keeps open) until stop becomes true; then reads what
// is still queued and returns. Waits by blocking in poll, never by spinning.
// Closes master_fd only when the scenario makes the modem vanish.
void sim_serve(int master_fd, const sim_scenario& scenario, sim_record& record,
               const std::atomic<bool>& stop);
