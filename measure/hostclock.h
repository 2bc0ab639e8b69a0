// The clock offset of a PVM task's host to another host of the virtual machine,
// as the PVM front ends of the recording core measure it at a task's end.
#pragma once

#include "measure/recording.h"

namespace recording {

// This host's clock minus the clock of PVM host masterHost, from the pvm_hostsync
// sample with the shortest round trip (at least 3, up to 12 while none was within
// 1 ms); its bound is half that round trip. 0 when masterHost is 0 or the host of
// task me.
ClockOffset MeasurePvmClockOffset(int masterHost, int me);

}  // namespace recording
