// The descriptors a fleet stands on: the three standard ones, and enough of
// the rest for every port at once.
#pragma once

#include <cstddef>

// Opens /dev/null in place of each of the descriptors 0, 1 and 2 that the
// caller left closed: otherwise the next pipe or file the fleet opens would
// take its number, and a read of the operator's answer would wait on a pipe
// of its own. False when one cannot be opened.
bool open_standard_descriptors();

// What a fleet of count runs at once holds open: two pipe ends a run, its
// log, the pair of a run being started, and a fixed few (the report, the
// images, udev, the watch).
std::size_t descriptors_needed(std::size_t count, bool logs);

// Raises the soft limit of open descriptors to at least needed, as far as the
// hard limit allows. False, with the most that can be had in limit, when it
// cannot be raised so far.
bool reserve_descriptors(std::size_t needed, std::size_t& limit);
