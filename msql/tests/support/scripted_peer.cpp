// Scripted stand-in server for wire-level tests.
#include "msql/tests/support/scripted_peer.h"

#include <cstring>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace msqltest {

std::string packet(std::string_view text)
{
    std::string bytes(4, '\0');
    uint32_t length = static_cast<uint32_t>(text.size());
    for (int i = 0; i < 4; i++)
        bytes[i] = static_cast<char>((length >> (8 * i)) & 0xff);
    bytes += text;
    return bytes;
}

namespace {

// Reads up to count bytes, waiting at most 5 s for each; appends them to out.
// Returns false at the end of the stream or on silence.
bool readSome(int fd, size_t count, std::string& out)
{
    while (count > 0) {
        pollfd watch{fd, POLLIN, 0};
        if (poll(&watch, 1, 5000) <= 0)
            return false;
        char buffer[4096];
        ssize_t got = read(fd, buffer, std::min(count, sizeof buffer));
        if (got <= 0)
            return false;
        out.append(buffer, static_cast<size_t>(got));
        count -= static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

ScriptedPeer::ScriptedPeer(std::vector<Step> script)
{
    mSocketPath = (mDir.path() / "peer.sock").string();
    mConfig = (mDir.path() / "msql.conf").string();
    std::ofstream(mConfig) << "[general]\nunix_port = " << mSocketPath << "\n";
    mListener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, mSocketPath.c_str(), sizeof address.sun_path - 1);
    if (bind(mListener, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        listen(mListener, 1) < 0)
        throw std::runtime_error("scripted peer cannot listen on " + mSocketPath);
    mThread = std::thread(&ScriptedPeer::play, this, std::move(script));
}

ScriptedPeer::~ScriptedPeer()
{
    if (mThread.joinable())
        mThread.join();
    close(mListener);
}

void ScriptedPeer::play(std::vector<Step> script)
{
    pollfd watch{mListener, POLLIN, 0};
    if (poll(&watch, 1, 5000) <= 0)
        return;
    int client = accept(mListener, nullptr, nullptr);
    if (client < 0)
        return;
    bool open = true;
    for (const Step& step : script) {
        if (step.kind == Step::SEND) {
            if (write(client, step.bytes.data(), step.bytes.size()) != static_cast<ssize_t>(step.bytes.size()))
                break;
        } else if (step.kind == Step::TAKE) {
            size_t start = mReceived.size();
            if (!readSome(client, 4, mReceived))
                break;
            uint32_t length = 0;
            for (int i = 0; i < 4; i++)
                length |= static_cast<uint32_t>(static_cast<unsigned char>(mReceived[start + i])) << (8 * i);
            if (!readSome(client, length, mReceived))
                break;
        } else {
            close(client);
            open = false;
            break;
        }
    }
    if (open) {
        while (readSome(client, 1, mReceived))
            ;
        close(client);
    }
}

std::string ScriptedPeer::received()
{
    if (mThread.joinable())
        mThread.join();
    return mReceived;
}

}  // namespace msqltest
