// Fuzz target: bytes as a client's side of a connection to a server session,
// over a database "fuzz" with a table t (a int not null unique, b char(10)).
// Statements get short limits so that no input runs for long.
#include "msql/server/client_session.h"
#include "msql/server/storage.h"

#include <cstdint>
#include <cstdlib>
#include <sqlite3.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

msqld::Storage* storage;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char pattern[] = "/tmp/msqld-fuzz-XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (dir == nullptr)
        std::abort();
    static std::string dataDir = dir;
    sqlite3* db = nullptr;
    if (sqlite3_open((dataDir + "/fuzz.db").c_str(), &db) != SQLITE_OK ||
        sqlite3_exec(db, "CREATE TABLE t (a int NOT NULL UNIQUE, b char(10)); INSERT INTO t VALUES (1, 'one');",
                     nullptr, nullptr, nullptr) != SQLITE_OK)
        std::abort();
    sqlite3_close(db);
    msqld::StatementLimits limits;
    limits.time = std::chrono::milliseconds(100);
    limits.resultBytes = 1 << 20;
    storage = new msqld::Storage(dataDir, limits);
    std::atexit([] { std::system(("rm -rf " + dataDir).c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16)
        return 0;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) < 0)
        return 0;
    // Replies are read and dropped while the session runs.
    std::thread drain([client = ends[1]] {
        char buffer[65536];
        while (read(client, buffer, sizeof buffer) > 0)
            ;
    });
    if (write(ends[1], data, size) == static_cast<ssize_t>(size))
        shutdown(ends[1], SHUT_WR);
    else
        shutdown(ends[1], SHUT_RDWR);
    {
        static msqld::ClientSlots slots(1);
        msqld::Session session(ends[0], *storage, slots, msqld::SessionLimits{});
        session.run();
    }
    drain.join();
    close(ends[1]);
    return 0;
}
