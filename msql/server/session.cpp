// Request handling of one client connection.
#include "session.h"

#include "wire.h"

#include <cerrno>
#include <sqlite3.h>
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

Session::Session(int fd, Storage& storage) : mFd(fd), mStorage(storage), mPacket(MSQL_PKT_LEN + 1)
{
    msqlInputReset(&mInput, fd);
}

Session::~Session()
{
    close(mFd);
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

bool Session::flush()
{
    size_t sent = 0;
    while (sent < mOut.size()) {
        ssize_t done = send(mFd, mOut.data() + sent, mOut.size() - sent, MSG_NOSIGNAL);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            mOut.clear();
            return false;
        }
        sent += static_cast<size_t>(done);
    }
    mOut.clear();
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
    queue("0:\n");
    if (!flush())
        return;
    for (;;) {
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
    // Every packet is built first, so that a row too long for a packet turns the
    // whole reply into an error instead of breaking it off half sent.
    std::vector<std::string> rows;
    rows.reserve(result.rows.size());
    for (const auto& row : result.rows) {
        std::string text;
        for (const auto& cell : row)
            appendItem(text, cell.null, cell.text);
        rows.push_back(std::move(text));
    }
    std::vector<std::string> fields;
    for (const auto& field : result.fields)
        fields.push_back(fieldPacket(field));
    for (const auto* list : {&rows, &fields}) {
        for (const auto& text : *list) {
            if (text.size() > MSQL_PKT_LEN) {
                queueError("Result row too long for a packet");
                return;
            }
        }
    }
    queue(std::to_string(rows.size()) + ":" + std::to_string(fields.size()) + "\n");
    for (const auto* list : {&rows, &fields}) {
        for (const auto& text : *list)
            queue(text);
        queue(endMarker);
    }
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
