// What the PVM front end asks of the group library's wrappers.
#pragma once

namespace groups {

// Whether a multicast made inside a wrapped call is the one of a pvm_bcast under
// way; then the broadcast's sync phase ends here and the multicast is recorded as
// the program's, one send phase per addressee.
bool MulticastOfBroadcast();

// Whether a message passing call is the group library's own traffic (with its
// server, or between the members inside a collective), which runs in the
// library's message context: a call no group wrapper stands around, as in a
// program with the group library linked in statically.
bool GroupTraffic();

// Whether a spawn of file starts the group server, which is no task of the program.
bool StartsGroupServer(const char* file);

}  // namespace groups
