// One client connection of the server.
#pragma once

#include "request.h"
#include "storage.h"
#include "wire.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace msqld {

// Serves one client: sends the greeting, takes the user line, then answers
// requests until the client quits, the connection breaks or a packet cannot be
// framed. Owns the socket and closes it at the end.
class Session {
public:
    Session(int fd, Storage& storage);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void run();
    // Turns a client away with an error greeting and closes its socket.
    static void refuse(int fd, std::string_view message);
    // The greeting's text after the protocol version.
    static std::string serverInfo();

private:
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
    std::shared_ptr<Database> mDatabase;
    msqlInput mInput;           // bytes of the client read ahead
    std::vector<char> mPacket;  // text of the packet last read
    std::string mOut;           // framed packets not yet written
};

}  // namespace msqld
