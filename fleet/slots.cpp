#include "slots.h"

#include <algorithm>

namespace {

slot& slot_named(std::vector<slot>& slots, const std::string& name) {
    for (slot& one : slots) {
        if (one.name == name) {
            return one;
        }
    }
    slots.push_back(slot{name});
    return slots.back();
}

bool waiting(const slot& one) {
    return one.present && !one.started && !one.running;
}

} // namespace

void slot_appeared(std::vector<slot>& slots, const std::string& name, std::int64_t now_ms) {
    slot& one = slot_named(slots, name);
    if (one.present) {
        return;
    }
    one.present = true;
    one.appeared_ms = now_ms;
    one.started = false;
}

void slot_vanished(std::vector<slot>& slots, const std::string& name) {
    slot_named(slots, name).present = false;
}

void all_slots_vanished(std::vector<slot>& slots) {
    for (slot& one : slots) {
        one.present = false;
    }
}

void slot_run_ended(std::vector<slot>& slots, const std::string& name) {
    slot_named(slots, name).running = false;
}

std::vector<std::string> slots_due(const std::vector<slot>& slots, std::int64_t now_ms,
                                   std::int64_t settle_ms) {
    std::vector<std::string> due;
    for (const slot& one : slots) {
        if (waiting(one) && now_ms >= one.appeared_ms + settle_ms) {
            due.push_back(one.name);
        }
    }
    return due;
}

void slot_started(std::vector<slot>& slots, const std::string& name, bool terminal) {
    slot& one = slot_named(slots, name);
    one.started = true;
    one.running = terminal;
}

std::int64_t next_settled_ms(const std::vector<slot>& slots, std::int64_t now_ms,
                             std::int64_t settle_ms) {
    std::int64_t next = -1;
    for (const slot& one : slots) {
        if (waiting(one)) {
            const std::int64_t left =
                std::max<std::int64_t>(one.appeared_ms + settle_ms - now_ms, 0);
            next = next < 0 ? left : std::min(next, left);
        }
    }
    return next;
}
