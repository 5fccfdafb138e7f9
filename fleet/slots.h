// A station's slots: the entries of its folder, each where a modem is
// plugged in (a hub's /dev/serial/by-path/ link, say). A slot is flashed once
// each time it appears: a modem left plugged in after its run is not flashed
// again, and when its entry vanishes and appears again (the next modem in
// that slot), it is. A run starts a settling time after the entry appeared,
// so that udev has done with it and the adapter is ready. Rules over the
// folder's events alone, with the time as a number, so that a day at the
// station is one row of a table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct slot {
    std::string name;
    bool present = false;         // the entry is in the folder
    std::int64_t appeared_ms = 0; // when it last appeared
    bool started = false;         // this appearance has had its run (or was passed over)
    bool running = false;         // a run of the slot has not ended
};

// The entry appeared at now_ms. An entry already there (udev renaming a
// new link over it) has not appeared again.
void slot_appeared(std::vector<slot>& slots, const std::string& name, std::int64_t now_ms);

// The entry vanished; a run in flight goes on to its end.
void slot_vanished(std::vector<slot>& slots, const std::string& name);

// Every entry vanished (the folder itself went away).
void all_slots_vanished(std::vector<slot>& slots);

// The slot's run has ended.
void slot_run_ended(std::vector<slot>& slots, const std::string& name);

// The slots whose run is due at now_ms: present for settle_ms, not yet
// started for this appearance, and with no run in flight.
std::vector<std::string> slots_due(const std::vector<slot>& slots, std::int64_t now_ms,
                                   std::int64_t settle_ms);

// The slot's due run has started (terminal), or the entry was passed over,
// being no terminal.
void slot_started(std::vector<slot>& slots, const std::string& name, bool terminal);

// The milliseconds from now_ms until the next slot settles; -1 for none.
std::int64_t next_settled_ms(const std::vector<slot>& slots, std::int64_t now_ms,
                             std::int64_t settle_ms);
