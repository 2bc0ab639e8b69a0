// Helpers that move objects and container ranges between PVM tasks, start slaves on
// chosen hosts and name the host of a task.
#pragma once

#include "container/packing.h"

#include <climits>
#include <string>
#include <type_traits>
#include <vector>

// An object (typically a function object) that travels between processes: pack()
// writes its transferable fields into the active send buffer, unpack() reads them back
// from the active receive buffer in the same order.
class Serialisable {
public:
    virtual void pack() = 0;
    virtual void unpack() = 0;

protected:
    ~Serialisable() = default;
};

// Starts one copy of task and returns its task id, negative on failure. With debug it
// starts under PVM's debugger on the caller's own host, otherwise on machine; with
// measureWithKOVA the slave gets the option -m. An unknown host ends the process.
int SpawnSlave(const char* task, const char* machine, bool debug, bool measureWithKOVA);

// The name of the host that runs procs_tid, or null when no host of the virtual
// machine does. The text belongs to PVM and lasts until the next pvm_config call.
const char* MachineName(int procs_tid);

// The host of tid as printable text: empty when PVM does not know it.
std::string MachineNameText(int tid);

// The names of the hosts of the virtual machine, in configuration order.
std::vector<std::string> VirtualMachineHosts();

// Reports msg through pvm_perror and ends the process with status 1.
[[noreturn]] void MsgError(const char* msg);

// Blocks until a message with tag arrives from slave_tid and makes it the active
// receive buffer.
void WaitForMessage(int slave_tid, int tag);

// Sends what object->pack() writes to destination_tid with messageTag.
void SendObject(int destination_tid, Serialisable* object, int messageTag);

// Reads an object message from the active receive buffer into object.
void RecvObject(Serialisable* object);

// Opens a send buffer (a failure is reported and the packing goes on).
void OpenSendBuffer();

// Sends the active send buffer; a failure is reported and the task leaves PVM.
void SendActiveBuffer(int destination_tid, int messageTag);

// Ends the process with a clear message when a container message announces a count
// that is negative or larger than maxSize elements.
void CheckContainerSize(int size, int maxSize);

// Ends the process: RecvContainer was asked to allocate for an iterator type that is
// neither a pointer nor a vector iterator.
[[noreturn]] void RefuseAllocation();

// Sends the container message of the size elements from begin: their count, then the
// elements in order.
template <typename Iterator>
void SendContainer(int destination_tid, Iterator begin, int size, int messageTag) {
    OpenSendBuffer();
    pvm_pack(&size, 1);
    pvm_pack(begin, size);
    SendActiveBuffer(destination_tid, messageTag);
}

// Reads a container message from the active receive buffer into the range from front
// and returns its element count. With allocateContainer the elements go into a fresh
// container that lives until the process ends, and front (a pointer or a vector
// iterator) is set to its first element;
// otherwise the range from front must hold maxSize elements, and a message announcing
// more ends the process instead of writing past it.
template <typename Iterator>
int RecvContainer(Iterator& front, bool allocateContainer, int maxSize = INT_MAX) {
    int size = 0;
    pvm_unpack(&size, 1);
    CheckContainerSize(size, maxSize);
    if (allocateContainer) {
        using Value = typename std::iterator_traits<Iterator>::value_type;
        if constexpr (std::is_pointer_v<Iterator>)
            front = (new std::vector<Value>(size))->data();
        else if constexpr (std::is_same_v<Iterator, typename std::vector<Value>::iterator>)
            front = (new std::vector<Value>(size))->begin();
        else
            RefuseAllocation();
    }
    pvm_unpack(front, size);
    return size;
}
