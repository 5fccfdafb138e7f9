// A stand-in for line/low_latency.cpp that leaves the driver's latency alone,
// linked only into romup-control.
#include "line/low_latency.h"

void low_latency_request() {}

void low_latency_restore() {}
