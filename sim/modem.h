// The simulated modem's engine, shared by sim_serve and the romup-sim program:
// the modem's state and its side of the line. Each step waits in poll for the
// line, takes the bytes that have arrived, acts on them one at a time and sends
// the answers that are due. Every byte in either direction goes into the record.
//
// With pacing, the modem acts on romup's bytes as soon as it reads them, each
// as of when its ten bits will have arrived, and times its answers from then;
// it wakes only to send. What it sends leaves in batches of up to about a
// millisecond of line time, each handed to romup when its last byte has
// left: never a byte before its ten bits have left, the first of a batch up
// to a millisecond late. A line's acknowledgement, a batch of its own, is on
// time to the wake-up.
//
// The modem's three states (modem_state) and what it answers in each are told
// once, for its users, in man/romup-sim.1 ("The modem's states").
#pragma once

#include "sim.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

enum class modem_state {
    command,
    loader_receiving,
    loader_running,
    vanishing, // the line that makes the modem vanish is on its way; nothing is acted on
    vanished,  // the modem closed its side of the line; nothing more happens
};

// Bytes the modem will send once the clock reaches due_ns.
struct modem_output {
    std::string bytes;
    std::int64_t due_ns = 0;
    int firmware_line = 0; // when sent: the acknowledgement of this firmware line
};

struct modem {
    int fd = -1; // the master side of the pseudo-terminal, non-blocking
    const sim_scenario* scenario = nullptr;
    sim_record* record = nullptr;
    std::chrono::steady_clock::time_point started;
    std::int64_t now_ns = 0; // the clock as read at the start of the current step

    // The line rate for pacing, 10 bits a byte; 0 for none.
    std::int64_t bits_per_second = 0;
    // Take bits_per_second from the rate romup set on the port, read (never
    // set) through fd whenever bytes find the line idle.
    bool follow_rate = false;
    // The signal mask while a step waits, so that the signals that end a
    // session, blocked otherwise, can only arrive then; null: the mask as it is.
    const sigset_t* wait_mask = nullptr;

    modem_state state = modem_state::command;
    bool echo = true;
    bool verbose = true;
    std::string line;                       // the line being received, without its CR
    bool programming = false;               // the loader takes firmware records into Flash
    std::uint32_t base = 0;                 // address base of the firmware's data records
    std::map<std::string, int> occurrences; // of each command, for the overrides

    // What happened, for romup-sim's messages and run ends.
    int erases = 0;
    int programs_completed = 0; // programming phases ended with "X"
    int restarts = 0;           // "STARTUP" handled
    bool flash_changed = false; // set at every erase and write; romup-sim clears it
    bool hung_up = false;       // no process holds the slave side open

    std::int64_t input_free_ns = 0;  // when the last byte romup sent finishes arriving
    std::int64_t vanish_ns = 0;      // vanishing: when the modem closes its side
    std::deque<modem_output> outbox; // waiting to be sent, in order
    std::int64_t outbox_free_ns = 0; // when the last byte sent finished leaving
    bool write_blocked = false;      // the line's buffer is full: wait until writable

    // A USB adapter's latency timer on the way to romup; 0 for none.
    std::int64_t latency_ns = 0;
    std::string held;               // sent, held by the adapter until its timer runs out
    std::int64_t held_until_ns = 0; // when the hold is passed on
};

// Takes over fd (makes it non-blocking) and starts the modem in the scenario's
// start state with echo on and verbose result codes. The scenario and the record
// must outlive the modem.
void modem_begin(modem& m, int fd, const sim_scenario& scenario, sim_record& record);

// Waits at most max_wait_ms (no limit when negative) for something to do, less
// when an answer or a paced batch falls due sooner, or until a signal that
// wait_mask lets in; then does what is due. Returns at once once vanished.
void modem_step(modem& m, int max_wait_ms);

// Reads whatever is still queued on the line into the record without acting on it.
void modem_drain(modem& m);
