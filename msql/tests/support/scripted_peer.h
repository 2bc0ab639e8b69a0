// A stand-in for an mSQL server in wire-level tests of the client.
#pragma once

#include "tests/support/testsupport.h"

#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace msqltest {

// The bytes of one packet: the 4-byte little-endian length, then text.
std::string packet(std::string_view text);

// Listens on a UNIX socket of its own, accepts one client and plays a script:
// bytes to send and packets to take. Records every byte the client sent, also
// after the script, until the client closes (or 5 s of silence pass).
class ScriptedPeer {
public:
    struct Step {
        enum Kind { SEND, TAKE, HANG_UP } kind;
        std::string bytes;
    };
    // Sends text as one packet.
    static Step send(std::string_view text) { return {Step::SEND, packet(text)}; }
    // Sends bytes as they are (for broken framing).
    static Step sendRaw(std::string bytes) { return {Step::SEND, std::move(bytes)}; }
    // Waits for one packet of the client's.
    static Step take() { return {Step::TAKE, {}}; }
    // Closes the connection at once.
    static Step hangUp() { return {Step::HANG_UP, {}}; }

    explicit ScriptedPeer(std::vector<Step> script);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // A configuration file whose unix_port is the peer's socket.
    const std::string& configPath() const { return mConfig; }
    // Waits for the peer to finish and returns what the client sent.
    std::string received();

private:
    void play(std::vector<Step> script);

    const ScratchFolder mDir{"msql-peer", ScratchFolder::SystemTemp};
    std::string mSocketPath, mConfig;
    int mListener = -1;
    std::string mReceived;
    std::thread mThread;
};

}  // namespace msqltest
