#pragma once
// An echoing station on a virtual segment, in a child process: every frame it
// receives goes back with source and destination swapped. The bare round trip
// the benchmarks compare against.
#include <sys/types.h>

#include <string>

#include "Segment.h"

// Starts the echo and waits until it is attached; the child's pid, or -1.
pid_t StartSegmentEcho(const std::string& segment, const kvr::vseg::Mac& mac);
// Ends the echo started above.
void StopSegmentEcho(pid_t echo);
