// What the PVM front end asks of the group library's wrappers.
#pragma once

namespace groups {

// Whether a multicast made inside a wrapped call is the one of a pvm_bcast under
// way; then the broadcast's sync phase ends here and the multicast is recorded as
// the program's, one send phase per addressee.
bool MulticastOfBroadcast();

}  // namespace groups
