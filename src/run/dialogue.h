// The reprogramming dialogue, with the loader running in the modem: the
// operator's confirmation, the erase, the firmware upload, the restart and
// the reset.
#pragma once

// Returns after the firmware has been written and the modem restarted, also
// when the modem's answer to the reset lacks "OK" (the operator is told to
// reset it). Ends the run through fail otherwise, and when the operator
// declines (after telling the loader to start the modem unchanged).
void reprogram();
