// One client connection of the server.
#pragma once

#include "msql/server/request.h"
#include "msql/server/storage.h"
#include "msql/src/wire.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace msqld {

// How long a client may leave its connection unused or stalled.
struct SessionLimits {
    std::chrono::seconds idle{3600};         // between requests
    std::chrono::seconds idleWhenFull{30};   // between requests, while another client waits for a slot
    std::chrono::seconds transfer{30};       // inside a request, or while a reply waits to be taken
    std::chrono::milliseconds slotWait{2000};  // for a slot, once the first request has arrived
};

// The server's client slots. A client that finds them all taken waits a little,
// while a session idle for long enough gives its slot up. A connection takes its
// slot only once its first request has arrived whole, so that clients which
// connect and send nothing, or trickle their first bytes, hold none.
class ClientSlots {
public:
    explicit ClientSlots(int count) : mFree(count) {}
    // Takes a slot, waiting up to wait for one; false when none came free.
    bool take(std::chrono::milliseconds wait);
    void giveBack();
    // True (once per waiting client) when a client waits for a slot: the idle
    // session that hears it ends.
    bool giveWayWanted();

private:
    std::mutex mMutex;
    std::condition_variable mFreed;
    int mFree;
    int mWaiting = 0;
    int mGiveWay = 0;  // waiting clients that no session has made way for yet
};

// The connections that one peer (an address, or a local user on the UNIX socket)
// holds: each peer gets at most a share, so that no peer can keep the others out.
class PeerConnections {
public:
    explicit PeerConnections(int perPeer) : mPerPeer(perPeer) {}
    // Counts a connection of peer; false when the peer holds its share already.
    bool enter(const std::string& peer);
    void leave(const std::string& peer);

private:
    std::mutex mMutex;
    const int mPerPeer;
    std::map<std::string, int> mHeld;
};

// Serves one client: sends the greeting, takes the user line and a slot, then
// answers requests until the client quits, the connection breaks or a packet cannot
// be framed. Owns the socket and closes it (and gives its slot back) at the end.
class Session {
public:
    Session(int fd, Storage& storage, ClientSlots& slots, const SessionLimits& limits);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void run();
    // Turns a client away with an error greeting and closes its socket.
    static void refuse(int fd, std::string_view message);
    // The greeting's text after the protocol version.
    static std::string serverInfo();

private:
    // Waits until a request begins; false when the connection stayed idle too long.
    bool awaitRequest();
    // Answers one request; false when the session ends.
    bool answer(const Request& request);
    void answerQuery(const std::string& statement);
    void answerFieldList(const std::string& table);
    void answerNames(const std::vector<std::string>& names);
    void queue(std::string_view text);
    void queueError(std::string_view message);
    bool flush();

    int mFd;
    Storage& mStorage;
    ClientSlots& mSlots;
    SessionLimits mLimits;
    BudgetShare mHeld;          // the memory of the reply not yet sent
    std::shared_ptr<Database> mDatabase;
    msqlInput mInput;           // bytes of the client read ahead
    std::vector<char> mPacket;  // text of the packet last read
    std::string mOut;           // framed packets not yet written
    bool mHoldsSlot = false;
};

}  // namespace msqld
