// The transcript of a session as text a person can read, for romup-sim's
// --log and the benchmarks: one line per event, with its time and direction;
// CR, LF and NUL shown as <CR>, <LF>, <NUL>, other control and non-ASCII
// bytes as <xx> in hex.
#pragma once

#include "sim.h"

#include <string>

// One transcript entry as one line of text, ending in LF.
std::string sim_event_text(const sim_event& event);

// Every entry of the record's transcript, in order.
std::string sim_transcript_text(const sim_record& record);
