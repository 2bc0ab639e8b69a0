// An OTF2 archive's point-to-point messages as the OTF2 tools read them: otf2-print's
// events, each receive matched with a send of the same sender, receiver and tag in
// order, as OTF2 analysers pair them.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

struct Otf2Message {
    int sender = -1, receiver = -1, tag = 0;
    long long sendTime = 0, length = 0;
    bool received = false;
    long long recvTime = 0, recvLength = 0;
};

struct Otf2Events {
    int status = -1;                    // otf2-print's exit status
    std::string errors;                 // what it printed on standard error
    std::vector<std::string> lines;     // its event lines
    std::vector<Otf2Message> messages;  // by sender location, in send order
    int unmatchedReceives = 0;          // receives that no earlier send of their triple explains
};

// Reads the archive whose anchor file is anchor.
Otf2Events ReadOtf2Events(const std::filesystem::path& anchor);

// Checks what every OTF2 export must hold: otf2-print reads it, every receive has its
// send, comes no earlier than it and carries the send's length.
void ExpectMessagesInOrder(const Otf2Events& events);
