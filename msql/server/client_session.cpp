// Request handling of one client connection.
#include "msql/server/client_session.h"

#include "msql/src/wire.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sqlite3.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>

namespace msqld {

namespace {

void appendItem(std::string& out, bool null, std::string_view text)
{
    if (null) {
        out += std::to_string(MSQL_NULL_LENGTH) + ":";
        return;
    }
    out += std::to_string(text.size());
    out += ':';
    out += text;
}

std::string fieldPacket(const FieldDescription& field)
{
    std::string text;
    appendItem(text, false, field.name);
    appendItem(text, false, field.table);
    appendItem(text, false, std::to_string(field.type));
    appendItem(text, false, std::to_string(field.length));
    appendItem(text, false, field.notNull ? "Y" : "N");
    appendItem(text, false, field.unique ? "Y" : "N");
    return text;
}

// Appends text as one framed packet.
void appendPacket(std::string& out, std::string_view text)
{
    size_t at = out.size();
    out.resize(at + MSQL_LENGTH_BYTES);
    msqlPutPacketLength(reinterpret_cast<unsigned char*>(&out[at]), static_cast<int>(text.size()));
    out += text;
}

const std::string endMarker = std::to_string(MSQL_END_MARKER) + ":\n";

}  // namespace

bool ClientSlots::take(std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> lock(mMutex);
    if (mFree == 0) {
        mWaiting++;
        mGiveWay++;
        mFreed.wait_for(lock, wait, [this] { return mFree > 0; });
        mWaiting--;
        mGiveWay = std::min(mGiveWay, mWaiting);
    }
    if (mFree == 0)
        return false;
    mFree--;
    return true;
}

void ClientSlots::giveBack()
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mFree++;
    }
    mFreed.notify_one();
}

bool ClientSlots::giveWayWanted()
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (mGiveWay == 0)
        return false;
    mGiveWay--;
    return true;
}

bool PeerConnections::enter(const std::string& peer)
{
    std::lock_guard<std::mutex> lock(mMutex);
    int& held = mHeld[peer];
    if (held >= mPerPeer)
        return false;
    held++;
    return true;
}

void PeerConnections::leave(const std::string& peer)
{
    std::lock_guard<std::mutex> lock(mMutex);
    auto found = mHeld.find(peer);
    if (found != mHeld.end() && --found->second <= 0)
        mHeld.erase(found);
}

Session::Session(int fd, Storage& storage, ClientSlots& slots, const SessionLimits& limits)
    : mFd(fd), mStorage(storage), mSlots(slots), mLimits(limits), mPacket(MSQL_PKT_LEN + 1)
{
    msqlInputReset(&mInput, fd);
    // A request that stops half-way, or a client that stops taking its reply, ends
    // the session instead of holding its thread and memory.
    timeval transfer{static_cast<time_t>(limits.transfer.count()), 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &transfer, sizeof transfer);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &transfer, sizeof transfer);
}

Session::~Session()
{
    close(mFd);
    if (mHoldsSlot)
        mSlots.giveBack();
}

std::string Session::serverInfo()
{
    return std::string("msqld 1.0 (SQLite ") + sqlite3_libversion() + ")";
}

void Session::refuse(int fd, std::string_view message)
{
    std::string packet;
    appendPacket(packet, "-1:" + std::string(message) + "\n");
    send(fd, packet.data(), packet.size(), MSG_NOSIGNAL);
    close(fd);
}

void Session::queue(std::string_view text)
{
    appendPacket(mOut, text);
}

void Session::queueError(std::string_view message)
{
    queue("-1:" + std::string(message) + "\n");
}

bool Session::awaitRequest()
{
    if (mInput.end > mInput.start)
        return true;
    const auto since = std::chrono::steady_clock::now();
    for (;;) {
        pollfd ready{mFd, POLLIN, 0};
        const int got = poll(&ready, 1, 200);
        if (got > 0)
            return true;  // a request, or the end of the connection
        if (got < 0 && errno != EINTR)
            return false;
        const auto idle = std::chrono::steady_clock::now() - since;
        if (idle >= mLimits.idle)
            return false;
        if (idle >= mLimits.idleWhenFull && mSlots.giveWayWanted())
            return false;
    }
}

bool Session::flush()
{
    size_t sent = 0;
    while (sent < mOut.size()) {
        ssize_t done = send(mFd, mOut.data() + sent, mOut.size() - sent, MSG_NOSIGNAL);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            std::string().swap(mOut);
            mHeld.release();
            return false;
        }
        sent += static_cast<size_t>(done);
    }
    // A large reply's memory goes back at once, not with the next one.
    if (mOut.capacity() > (1u << 20))
        std::string().swap(mOut);
    else
        mOut.clear();
    mHeld.release();
    return true;
}

void Session::run()
{
    queue("0:" + std::to_string(MSQL_PROTOCOL_VERSION) + ":" + serverInfo() + "\n");
    if (!flush())
        return;
    int length;
    if (msqlReadPacket(&mInput, mPacket.data(), &length) != MSQL_WIRE_OK)
        return;
    mHoldsSlot = mSlots.take(mLimits.slotWait);
    if (!mHoldsSlot) {
        queueError("Too many connections");
        flush();
        return;
    }
    queue("0:\n");
    if (!flush())
        return;
    for (;;) {
        if (!awaitRequest())
            return;
        msqlWireStatus status = msqlReadPacket(&mInput, mPacket.data(), &length);
        if (status == MSQL_WIRE_TOO_LARGE || status == MSQL_WIRE_MALFORMED) {
            // The stream cannot be framed any more: say why, then hang up.
            queueError(status == MSQL_WIRE_TOO_LARGE ? "Packet too large" : "Malformed packet");
            flush();
            return;
        }
        if (status != MSQL_WIRE_OK)
            return;
        Request request;
        std::string error;
        bool keepGoing = true;
        if (parseRequest(std::string_view(mPacket.data(), static_cast<size_t>(length)), request, error))
            keepGoing = answer(request);
        else
            queueError(error);
        if (!flush() || !keepGoing)
            return;
    }
}

bool Session::answer(const Request& request)
{
    std::string error;
    switch (request.command) {
    case CMD_QUIT:
        return false;
    case CMD_INIT_DB:
        if (auto db = mStorage.open(request.argument, error)) {
            mDatabase = db;
            queue("0:\n");
        } else {
            queueError(error);
        }
        return true;
    case CMD_DB_LIST:
        answerNames(mStorage.databaseNames());
        return true;
    case CMD_QUERY:
    case CMD_TABLE_LIST:
    case CMD_FIELD_LIST:
        break;
    default:
        queueError("Command " + std::to_string(request.command) + " is not served by this server");
        return true;
    }
    if (!mDatabase) {
        queueError("No database selected");
        return true;
    }
    if (request.command == CMD_QUERY) {
        answerQuery(request.argument);
    } else if (request.command == CMD_FIELD_LIST) {
        answerFieldList(request.argument);
    } else {
        std::vector<std::string> names = mDatabase->tableNames(error);
        if (error.empty())
            answerNames(names);
        else
            queueError(error);
    }
    return true;
}

void Session::answerQuery(const std::string& statement)
{
    StatementResult result = mDatabase->execute(statement);
    if (!result.ok) {
        queueError(result.error);
        return;
    }
    if (!result.hasColumns) {
        queue(std::to_string(result.changes) + "\n");
        return;
    }
    // Every packet's length is known first, so that a row too long for a packet
    // turns the whole reply into an error instead of breaking it off half sent.
    const auto itemLength = [](const Cell& cell) {
        return cell.null ? std::to_string(MSQL_NULL_LENGTH).size() + 1
                         : std::to_string(cell.text.size()).size() + 1 + cell.text.size();
    };
    size_t replyBytes = 0;
    for (const auto& row : result.rows) {
        size_t length = 0;
        for (const auto& cell : row)
            length += itemLength(cell);
        if (length > MSQL_PKT_LEN) {
            queueError("Result row too long for a packet");
            return;
        }
        replyBytes += MSQL_LENGTH_BYTES + length;
    }
    std::vector<std::string> fields;
    for (const auto& field : result.fields) {
        fields.push_back(fieldPacket(field));
        if (fields.back().size() > MSQL_PKT_LEN) {
            queueError("Result row too long for a packet");
            return;
        }
    }
    // The result's share of the server's memory stays until the reply is sent; each
    // row is freed as soon as it is a packet.
    mHeld = std::move(result.memory);
    mOut.reserve(mOut.size() + replyBytes + 64 * (fields.size() + 3));
    queue(std::to_string(result.rows.size()) + ":" + std::to_string(fields.size()) + "\n");
    std::string text;
    for (auto& row : result.rows) {
        text.clear();
        for (const auto& cell : row)
            appendItem(text, cell.null, cell.text);
        queue(text);
        std::vector<Cell>().swap(row);
    }
    queue(endMarker);
    for (const auto& field : fields)
        queue(field);
    queue(endMarker);
}

void Session::answerFieldList(const std::string& table)
{
    std::vector<FieldDescription> fields;
    std::string error;
    if (!mDatabase->describeTable(table, fields, error)) {
        queueError(error);
        return;
    }
    for (const auto& field : fields)
        queue(fieldPacket(field));
    queue(endMarker);
}

void Session::answerNames(const std::vector<std::string>& names)
{
    for (const auto& name : names) {
        std::string text;
        appendItem(text, false, name);
        queue(text);
    }
    queue(endMarker);
}

}  // namespace msqld
