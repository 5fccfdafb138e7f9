#include "sim.h"

#include "modem.h"

void sim_serve(int master_fd, const sim_scenario& scenario, sim_record& record,
               const std::atomic<bool>& stop) {
    modem m;
    modem_begin(m, master_fd, scenario, record);
    // Steps of at most 15 ms: the longest the caller waits for the modem to stop.
    while (!stop.load() && m.state != modem_state::vanished) {
        modem_step(m, 15);
    }
    modem_drain(m);
}
