// From the modem's command state to a running loader: the AT probe, the loader
// upload and the loader's announcement; in re-load mode only "X" to a loader
// that already runs. Leaves the last reply in reply for the confirmation.
#pragma once

// Ends the run with its message when the modem does not answer the probe, the
// loader file cannot be opened ("Can not open"), a loader line is refused or
// the loader does not announce itself.
void start_loader();

// Whether a loader has answered with "READY": after the loader's announcement
// in a normal run; in re-load mode, whether the answer to "X" held it. Set by
// start_loader.
extern bool loader_ready;
