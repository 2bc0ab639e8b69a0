// The clock offset between this host and another host of the PVM virtual machine.
#pragma once

#include "measure/recording.h"

#include <map>
#include <vector>

namespace recording {

// This host's clock minus host's (a PVM host id), from the pvm_hostsync sample with
// the shortest round trip (at least 3, up to 12 while none was within 1 ms); its
// bound is half that round trip. Nothing known (offset and bound 0) when the host
// does not answer.
ClockOffset OffsetToHost(int host);

// The clock offsets of the tasks' hosts to this host (the master's), measured from
// here, once per host, for tasks that measured none themselves (a task ended by
// SIGTERM); 0 for a task on this host.
std::map<int, ClockOffset> OffsetsMeasuredFromHere(const std::vector<int>& tasks);

}  // namespace recording
