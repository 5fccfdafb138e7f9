// The firmware phase of a run as romup-sim's transcript shows it: from the
// first byte of the first firmware line to the last acknowledgement, with the
// bytes that crossed the line in each direction meanwhile; and the transcript
// read back from romup-sim's --log.
#pragma once

#include "sim.h"

#include <cstdint>
#include <string>

struct firmware_phase {
    bool found = false;
    int lines = 0;                 // CR-ended lines romup sent
    std::int64_t line_bytes = 0;   // bytes romup sent, CRs included
    std::int64_t answer_bytes = 0; // bytes the modem sent (the acknowledgements)
    std::int64_t first_us = 0;     // transcript time of the first line byte
    std::int64_t last_us = 0;      // transcript time of the last acknowledgement
};

// Reads the text of romup-sim --log (transcript.h) back into record's
// transcript, received and sent. A "<" of the bytes themselves that forms
// "<CR>" or the like reads as that byte: sample images hold no "<".
// False at a line it cannot read.
bool read_transcript(const std::string& text, sim_record& record);

// The phase runs from the byte after "REPROGRAM\r" to the "X" that restarts
// the loader, which the simulated loader takes only at the start of a line.
// Not found when either is missing or no line was acknowledged.
firmware_phase find_firmware_phase(const sim_record& record);

// The shortest time, in microseconds, that a line at bits_per_second (10 bits
// a byte) needs for the phase's bytes. The transcript stamps the first line
// byte once it has fully arrived, so its own time lies before first_us and is
// left out.
double firmware_phase_limit_us(const firmware_phase& phase, std::int64_t bits_per_second);
