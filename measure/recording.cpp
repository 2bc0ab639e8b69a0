// The recording core. The program's thread appends fixed-size records to the
// chunk it fills; a full chunk is handed to the writer thread through a lock-free
// stack and the program goes on in a spare one, so it never waits for the
// server. The writer connects to the database when the task begins, stores each
// chunk as one block (a prepared INSERT of a BLOB) and, at the task's end or on
// SIGTERM, the last one. It never calls the program's communication library,
// which need not be thread-safe; the clock offsets come from the front end.
//
// Every wait is bounded: the connection (kConnectSeconds, retried for
// kConnectRetrySeconds while the server is busy), each read and
// write (kReadWriteSeconds), the end of a task (kFinalWaitMs) and a SIGTERM
// (kFinalWaitMs). A failure of the database stops the measurement, never the
// program: the task says so on standard error and runs on.
#include "measure/recording.h"

#include "measure/block.h"
#include "measure/blockrow.h"

#include "probe/KOVAData.h"
#include "probe/databaseaddress.h"

#include <mysql.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace recording {
namespace {

// A chunk is stored once it holds this many phases (6 MiB), unless
// kBlockPhasesVariable says otherwise.
constexpr std::uint32_t kDefaultChunkRecords = 131072;
// Bytes of full chunks waiting for the writer before the measurement gives up.
constexpr std::size_t kMostBytesWaiting = std::size_t{96} << 20;
constexpr unsigned kConnectSeconds = 3;
constexpr int kConnectRetrySeconds = 20;
constexpr unsigned kReadWriteSeconds = 10;
constexpr int kFinalWaitMs = 20000;
// Readings of the start's two clocks until they lie within kStartReadingNs.
constexpr int kStartReadings = 10;
constexpr std::int64_t kStartReadingNs = 2000;

std::int64_t Now() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

struct Chunk {
    Chunk* next = nullptr;
    std::atomic<std::uint32_t> count{0};
    std::int32_t sequence = 0;
    std::int64_t firstPhase = 1;
    std::int64_t previousEnd = 0;
    // Allocated, not filled: a page costs only once a phase is written to it.
    std::unique_ptr<PhaseRecord[]> records;
};

// Pushes onto a stack that one thread pushes to and another empties whole.
void Push(std::atomic<Chunk*>& stack, Chunk* chunk) {
    chunk->next = stack.load(std::memory_order_relaxed);
    while (!stack.compare_exchange_weak(chunk->next, chunk, std::memory_order_release, std::memory_order_relaxed)) {
    }
}

// The measurement of this task. Allocated by BeginTask and never freed: the
// writer thread may outlive the program's exit handlers.
struct Recorder {
    // Fixed once BeginTask returns.
    TaskIdentity task;
    int experiment = 0;
    std::uint32_t chunkRecords = kDefaultChunkRecords;
    int mostChunksWaiting = 2;
    pid_t pid = 0;
    char host[64] = {};
    char executable[64] = {};
    timeval startWall = {};
    std::int64_t start = 0;
    double nsPerCall = 0;
    DatabaseAddress address;
    // Carries the last block when no chunk went to the database before it.
    BlockCourier courier = nullptr;
    struct sigaction previousTerm = {};

    // The program's thread only.
    Chunk* current = nullptr;
    Chunk* spare = nullptr;
    std::int64_t phases = 0;
    std::int32_t nextSequence = 1;
    std::int64_t lastEnd = 0;
    // The end of the task's measured time when its front end ended it after the
    // last phase; 0 none.
    std::int64_t measuredEnd = 0;
    bool handedOff = false;

    // Shared with the writer.
    std::atomic<Chunk*> filling{nullptr};
    std::atomic<Chunk*> full{nullptr};
    std::atomic<Chunk*> freed{nullptr};
    std::atomic<int> waiting{0};
    std::atomic<std::int64_t> recorded{0};
    char groupNames[kMaxGroups][kGroupNameBytes] = {};
    std::atomic<int> groups{0};
    std::atomic<bool> active{false};
    std::atomic<bool> lost{false};
    std::atomic<bool> finishing{false};
    std::atomic<bool> killed{false};
    std::atomic<std::int64_t> killTime{0};
    ClockOffset startOffset, endOffset;
    bool offsetsKnown = false;

    // The writer's own.
    int wake[2] = {-1, -1};
    int done[2] = {-1, -1};
    bool connectTried = false;
    MYSQL* mysql = nullptr;
    MYSQL_STMT* statement = nullptr;
    // Allocated, not filled, when the task begins: their pages cost only once used.
    std::unique_ptr<char[]> block;
    std::unique_ptr<char[]> spawned;
    std::size_t spawnedBytes = 0;
};

// The database client library, loaded by the writer thread: linked into the
// preloaded library, it and its dependencies (TLS, Kerberos) would be loaded into
// every task before its first instruction.
struct Client {
    decltype(&::mysql_init) init;
    decltype(&::mysql_options) options;
    decltype(&::mysql_real_connect) connect;
    decltype(&::mysql_error) error;
    decltype(&::mysql_errno) errnoOf;
    decltype(&::mysql_close) close;
    decltype(&::mysql_stmt_init) stmtInit;
    decltype(&::mysql_stmt_prepare) stmtPrepare;
    decltype(&::mysql_stmt_bind_param) stmtBind;
    decltype(&::mysql_stmt_execute) stmtExecute;
    decltype(&::mysql_stmt_error) stmtError;
    decltype(&::mysql_stmt_close) stmtClose;
};

// The client's functions; false when the library or one of them is missing.
bool LoadClient(Client& client) {
    void* library = dlopen("libmariadb.so.3", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return false;
    bool complete = true;
    auto take = [&](auto& function, const char* name) {
        function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(library, name));
        complete = complete && function != nullptr;
    };
    take(client.init, "mysql_init");
    take(client.options, "mysql_options");
    take(client.connect, "mysql_real_connect");
    take(client.error, "mysql_error");
    take(client.errnoOf, "mysql_errno");
    take(client.close, "mysql_close");
    take(client.stmtInit, "mysql_stmt_init");
    take(client.stmtPrepare, "mysql_stmt_prepare");
    take(client.stmtBind, "mysql_stmt_bind_param");
    take(client.stmtExecute, "mysql_stmt_execute");
    take(client.stmtError, "mysql_stmt_error");
    take(client.stmtClose, "mysql_stmt_close");
    return complete;
}

Client gClient;

std::atomic<Recorder*> gRecorder{nullptr};
std::atomic<bool> gForkedChild{false};
TaskStarter gStarter = nullptr;
thread_local int tDepth = 0;

// Says on standard error that the task's measurement is lost, without the
// stream's lock, which the interrupted program may hold.
void SayLost(const TaskIdentity& task, const char* reason) {
    char line[512];
    const int length =
        std::snprintf(line, sizeof line, "%s: task %d: the measurement is lost: %s\n", task.voice, task.id, reason);
    if (length > 0) {
        const ssize_t ignored = write(2, line, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof line - 1));
        (void)ignored;
    }
}

// Gives the measurement up, once, with its reason; the program runs on.
void Lose(Recorder& recorder, const char* reason) {
    if (recorder.lost.exchange(true)) return;
    recorder.active.store(false);
    SayLost(recorder.task, reason);
}

void Wake(Recorder& recorder, char command) {
    while (write(recorder.wake[1], &command, 1) < 0 && errno == EINTR) {
    }
}

// Waits at most kFinalWaitMs for the writer to have stored the last block.
void AwaitWriter(Recorder& recorder) {
    pollfd done = {recorder.done[0], POLLIN, 0};
    const std::int64_t deadline = Now() + std::int64_t{kFinalWaitMs} * 1000000;
    for (;;) {
        const int left = static_cast<int>((deadline - Now()) / 1000000);
        if (left <= 0 || poll(&done, 1, left) > 0 || (errno != EINTR && errno != 0)) return;
    }
}

// ---- the writer thread ----

bool Connect(Recorder& recorder) {
    const std::int64_t giveUp = Now() + std::int64_t{kConnectRetrySeconds} * 1000000000;
    for (;;) {
        recorder.mysql = gClient.init(nullptr);
        if (recorder.mysql == nullptr) {
            Lose(recorder, "no memory for the database connection");
            return false;
        }
        gClient.options(recorder.mysql, MYSQL_OPT_CONNECT_TIMEOUT, &kConnectSeconds);
        gClient.options(recorder.mysql, MYSQL_OPT_READ_TIMEOUT, &kReadWriteSeconds);
        gClient.options(recorder.mysql, MYSQL_OPT_WRITE_TIMEOUT, &kReadWriteSeconds);
        const DatabaseAddress& address = recorder.address;
        const bool socket = !address.socket.empty();
        if (gClient.connect(recorder.mysql, socket ? "localhost" : address.host.c_str(), "KOVAUser", "",
                               "KOVAData", address.port, socket ? address.socket.c_str() : nullptr, 0) != nullptr) {
            recorder.statement = gClient.stmtInit(recorder.mysql);
            if (recorder.statement != nullptr &&
                gClient.stmtPrepare(recorder.statement, kInsertBlock, sizeof kInsertBlock - 1) == 0)
                return true;
            Lose(recorder, recorder.statement != nullptr ? gClient.stmtError(recorder.statement)
                                                         : gClient.error(recorder.mysql));
            return false;
        }
        // A busy server (no free connection, a handshake cut short while many
        // tasks start) is asked again, a little later; one that is not there is not.
        const unsigned error = gClient.errnoOf(recorder.mysql);
        const bool busy = error == 1040 || error == 1203 || error == 2013;
        if (!busy || Now() > giveUp) {
            char reason[400];
            std::snprintf(reason, sizeof reason, "cannot connect to the measurement database: %s",
                          gClient.error(recorder.mysql));
            gClient.close(recorder.mysql);
            recorder.mysql = nullptr;
            Lose(recorder, reason);
            return false;
        }
        gClient.close(recorder.mysql);
        recorder.mysql = nullptr;
        usleep(50000 + static_cast<useconds_t>(recorder.task.id % 100) * 1000);
    }
}

// A block formatted into the recorder's buffers: its bytes and the text of the
// tasks its spawn phases started (for kova measure to wait for).
struct Formatted {
    std::size_t bytes = 0;
    std::size_t spawnedBytes = 0;
    std::uint32_t records = 0;
};

// Formats the first count records of chunk (and a last work phase ending at
// extraEnd when that is not 0) as one block into recorder.block.
Formatted Format(Recorder& recorder, const Chunk& chunk, std::uint32_t count, std::uint32_t flags,
                 std::int64_t extraEnd) {
    Formatted formatted;
    formatted.records = count + (extraEnd != 0 ? 1 : 0);
    const std::uint32_t groups = static_cast<std::uint32_t>(recorder.groups.load(std::memory_order_acquire));
    formatted.bytes = BlockBytes(formatted.records, groups);
    char* out = recorder.block.get();
    BlockHeader header = {};
    std::memcpy(header.magic, kBlockMagic, sizeof kBlockMagic);
    header.flags = flags | (recorder.task.master ? kMasterTask : 0);
    header.experiment = recorder.experiment;
    header.task = recorder.task.id;
    header.parent = recorder.task.parent;
    header.sequence = chunk.sequence;
    header.records = formatted.records;
    header.groups = groups;
    header.firstPhase = chunk.firstPhase;
    header.previousEnd = chunk.previousEnd;
    header.startSec = recorder.startWall.tv_sec;
    header.startUsec = recorder.startWall.tv_usec;
    if (flags & kOffsetsKnown) {
        header.startOffset = recorder.startOffset.offset;
        header.startBound = recorder.startOffset.bound;
        header.endOffset = recorder.endOffset.offset;
        header.endBound = recorder.endOffset.bound;
    }
    if (flags & kFinalBlock) header.endTime = recorder.measuredEnd / 1000;
    header.recordedCalls = recorder.recorded.load(std::memory_order_relaxed);
    header.nsPerCall = recorder.nsPerCall;
    std::memcpy(header.host, recorder.host, sizeof header.host);
    std::memcpy(header.executable, recorder.executable, sizeof header.executable);
    std::memcpy(out, &header, sizeof header);
    char* at = out + sizeof header;
    std::memcpy(at, chunk.records.get(), count * sizeof(PhaseRecord));
    at += count * sizeof(PhaseRecord);
    if (extraEnd != 0) {
        PhaseRecord last = {};
        last.end = extraEnd;
        last.partner = -1;
        last.askedSource = last.askedTag = kNotKnown;
        last.instance = last.root = -1;
        last.group = -1;
        last.type = PH_WORK;
        std::memcpy(at, &last, sizeof last);
        at += sizeof last;
    }
    for (std::uint32_t g = 0; g < groups; ++g, at += kGroupNameBytes)
        std::memcpy(at, recorder.groupNames[g], kGroupNameBytes);
    char* text = recorder.spawned.get();
    char* const textEnd = text + recorder.spawnedBytes;
    for (std::uint32_t i = 0; i < count; ++i) {
        const PhaseRecord& record = chunk.records[i];
        if (record.type != PH_SPAWN || record.partner <= 0 || textEnd - text < 16) continue;
        if (text != recorder.spawned.get()) *text++ = ' ';
        text = std::to_chars(text, textEnd, record.partner).ptr;
    }
    formatted.spawnedBytes = static_cast<std::size_t>(text - recorder.spawned.get());
    return formatted;
}

// The writer's connection, made when it first has a block to store: a task
// whose last block goes to a courier never loads the client library.
bool Connected(Recorder& recorder) {
    if (!recorder.connectTried) {
        recorder.connectTried = true;
        if (LoadClient(gClient))
            Connect(recorder);
        else
            Lose(recorder, "the database client library libmariadb.so.3 cannot be loaded");
    }
    return !recorder.lost.load() && recorder.statement != nullptr;
}

// Stores the first count records of chunk (and a last work phase ending at
// extraEnd when that is not 0) as one block.
void Store(Recorder& recorder, const Chunk& chunk, std::uint32_t count, std::uint32_t flags, std::int64_t extraEnd) {
    if (recorder.lost.load() || !Connected(recorder)) return;
    const Formatted formatted = Format(recorder, chunk, count, flags, extraEnd);
    BlockRow row(recorder.experiment, recorder.task.id, chunk.sequence, (flags & kFinalBlock) != 0,
                 recorder.spawned.get(), formatted.spawnedBytes, recorder.block.get(), formatted.bytes);
    if (gClient.stmtBind(recorder.statement, row.bind) != 0 || gClient.stmtExecute(recorder.statement) != 0) {
        char reason[400];
        std::snprintf(reason, sizeof reason, "the database refused a block of %u phases: %s", formatted.records,
                      gClient.stmtError(recorder.statement));
        Lose(recorder, reason);
    }
}

// Stores the full chunks in the order they were filled and returns them.
void StoreFullChunks(Recorder& recorder) {
    Chunk* stack = recorder.full.exchange(nullptr, std::memory_order_acquire);
    std::vector<Chunk*> chunks;
    for (; stack != nullptr; stack = stack->next) chunks.push_back(stack);
    for (auto chunk = chunks.rbegin(); chunk != chunks.rend(); ++chunk) {
        Store(recorder, **chunk, (*chunk)->count.load(std::memory_order_acquire), 0, 0);
        recorder.waiting.fetch_sub(1);
        Push(recorder.freed, *chunk);
    }
}

// Closes the connection and tells the task's end that the writer is done.
void Finished(Recorder& recorder) {
    if (recorder.mysql != nullptr) {
        if (recorder.statement != nullptr) gClient.stmtClose(recorder.statement);
        gClient.close(recorder.mysql);
    }
    const char finished = 'd';
    while (write(recorder.done[1], &finished, 1) < 0 && errno == EINTR) {
    }
}

void* Writer(void* self) {
    Recorder& recorder = *static_cast<Recorder*>(self);
    // Without a courier every block goes to the database: the connection is made
    // while the program runs, not at its end.
    if (recorder.courier == nullptr) Connected(recorder);
    for (;;) {
        char command = 0;
        const ssize_t got = read(recorder.wake[0], &command, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got != 1) break;
        StoreFullChunks(recorder);
        if (command == 'c') continue;
        if (command == 'q') {
            // The courier carried the last block.
            Finished(recorder);
            break;
        }
        // The last block: the chunk being filled, as the program left it.
        const Chunk* last = recorder.filling.load(std::memory_order_acquire);
        const bool killed = command == 't';
        std::uint32_t flags = kFinalBlock | (killed ? kKilledTask : 0) | (recorder.offsetsKnown ? kOffsetsKnown : 0);
        Store(recorder, *last, last->count.load(std::memory_order_acquire), flags,
              killed ? recorder.killTime.load() - recorder.start : 0);
        Finished(recorder);
        break;
    }
    return nullptr;
}

// ---- the program's side ----

// A SIGTERM (pvm_kill) stores what the task recorded, then takes its earlier
// course. The handler only wakes the writer, which formats into memory of its
// own, and waits for it a bounded time.
void OnTerm(int signal) {
    const int savedErrno = errno;
    Recorder* recorder = gRecorder.load();
    if (recorder != nullptr && getpid() == recorder->pid && !gForkedChild.load()) {
        if (!recorder->finishing.exchange(true)) {
            recorder->active.store(false);
            recorder->killTime.store(Now());
            Wake(*recorder, 't');
        }
        AwaitWriter(*recorder);
    }
    if (recorder != nullptr) sigaction(signal, &recorder->previousTerm, nullptr);
    raise(signal);
    errno = savedErrno;
}

void OnForkChild() {
    // The child shares the parent's connection and buffers: it never touches them.
    gForkedChild.store(true);
}

Chunk* NewChunk(Recorder& recorder) {
    Chunk* chunk = recorder.spare;
    if (chunk == nullptr) chunk = recorder.freed.exchange(nullptr, std::memory_order_acquire);
    if (chunk != nullptr) {
        recorder.spare = chunk->next;
    } else {
        chunk = new (std::nothrow) Chunk;
        if (chunk == nullptr) return nullptr;
        chunk->records.reset(new (std::nothrow) PhaseRecord[recorder.chunkRecords]);
        if (chunk->records == nullptr) {
            delete chunk;
            return nullptr;
        }
    }
    chunk->next = nullptr;
    chunk->count.store(0, std::memory_order_relaxed);
    chunk->sequence = recorder.nextSequence++;
    chunk->firstPhase = recorder.phases + 1;
    chunk->previousEnd = recorder.lastEnd;
    return chunk;
}

// Holds SIGTERM back on this thread while it lives: its handler then never sees
// the measurement half-changed.
class TermDeferred {
public:
    TermDeferred() {
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &term, &mPrevious);
    }
    ~TermDeferred() { pthread_sigmask(SIG_SETMASK, &mPrevious, nullptr); }
    TermDeferred(const TermDeferred&) = delete;
    TermDeferred& operator=(const TermDeferred&) = delete;

private:
    sigset_t mPrevious;
};

// Hands the full chunk to the writer and goes on in a fresh one. SIGTERM waits
// meanwhile, so that the writer never sees a chunk in neither place.
bool HandOff(Recorder& recorder) {
    if (recorder.waiting.load() >= recorder.mostChunksWaiting) {
        Lose(recorder, "the database server does not keep up with the phases");
        return false;
    }
    Chunk* next = nullptr;
    {
        const TermDeferred deferred;
        next = NewChunk(recorder);
        if (next != nullptr) {
            recorder.waiting.fetch_add(1);
            recorder.handedOff = true;
            Push(recorder.full, recorder.current);
            recorder.current = next;
            recorder.filling.store(next, std::memory_order_release);
        }
    }
    if (next == nullptr) {
        Lose(recorder, "no memory for a further chunk of phases");
        return false;
    }
    Wake(recorder, 'c');
    return true;
}

// Appends a phase that ends now.
inline void Append(PhaseRecord record) {
    Recorder& recorder = *gRecorder.load(std::memory_order_relaxed);
    record.end = Now() - recorder.start;
    Chunk* chunk = recorder.current;
    std::uint32_t count = chunk->count.load(std::memory_order_relaxed);
    if (count == recorder.chunkRecords) {
        if (!HandOff(recorder)) {
            recorder.active.store(false);
            return;
        }
        chunk = recorder.current;
        count = 0;
    }
    chunk->records[count] = record;
    chunk->count.store(count + 1, std::memory_order_release);
    ++recorder.phases;
    recorder.lastEnd = record.end;
    recorder.recorded.store(recorder.phases, std::memory_order_relaxed);
}

PhaseRecord Plain(int type) {
    PhaseRecord record = {};
    record.partner = -1;
    record.askedSource = record.askedTag = kNotKnown;
    record.instance = record.root = -1;
    record.group = -1;
    record.type = static_cast<std::uint8_t>(type);
    return record;
}

bool Recording() {
    Recorder* recorder = gRecorder.load(std::memory_order_relaxed);
    return recorder != nullptr && recorder->active.load(std::memory_order_relaxed) && !gForkedChild.load();
}

// Whether the measurement has ended and its writer is done, after waiting for
// the writer a bounded time.
bool WriterDone(Recorder& recorder) {
    if (!recorder.finishing.load()) return false;
    AwaitWriter(recorder);
    pollfd done = {recorder.done[0], POLLIN, 0};
    return poll(&done, 1, 0) > 0;
}

// Frees an ended measurement whose writer is done.
void Discard(Recorder* recorder) {
    for (Chunk* list : {recorder->current, recorder->spare, recorder->freed.load()})
        while (list != nullptr) delete std::exchange(list, list->next);
    for (int fd : {recorder->wake[0], recorder->wake[1], recorder->done[0], recorder->done[1]}) close(fd);
    delete recorder;
}

// Phases per chunk: what kBlockPhasesVariable asks for (kova measure refuses a
// wrong value before the program starts), or the default.
std::uint32_t ChunkRecords() {
    const char* given = std::getenv(kBlockPhasesVariable);
    return given != nullptr ? BlockPhasesOf(given).value_or(kDefaultChunkRecords) : kDefaultChunkRecords;
}

// The cost of one recorded call: the median of a few rounds of records into the
// task's first chunk, which is emptied again.
void Calibrate(Recorder& recorder) {
    constexpr int kRounds = 5, kPerRound = 200;
    double rounds[kRounds];
    for (double& round : rounds) {
        const std::int64_t begin = Now();
        for (int i = 0; i < kPerRound; ++i) Append(Plain(PH_WORK));
        round = static_cast<double>(Now() - begin) / kPerRound;
        recorder.current->count.store(0);
        recorder.phases = 0;
        recorder.lastEnd = 0;
    }
    std::sort(rounds, rounds + kRounds);
    recorder.nsPerCall = rounds[kRounds / 2];
    recorder.recorded.store(0);
}

}  // namespace

bool SetTaskStarter(TaskStarter starter) {
    gStarter = starter;
    return true;
}

Call::Call(Kind kind) {
    if (++tDepth > 1 || gForkedChild.load(std::memory_order_relaxed)) return;
    Recorder* recorder = gRecorder.load(std::memory_order_relaxed);
    if (recorder == nullptr) {
        static bool started = false;
        if (started || gStarter == nullptr) return;
        started = true;
        gStarter();
        recorder = gRecorder.load(std::memory_order_relaxed);
        if (recorder == nullptr) return;
    }
    mRecording = recorder->active.load(std::memory_order_relaxed);
    if (mRecording && kind == Communication) Append(Plain(PH_WORK));
}

Call::~Call() { --tDepth; }

bool BeginTask(const TaskIdentity& task, int experiment, void (*synchronise)(), BlockCourier courier) {
    // synchronise is called on every way out, so that tasks waiting in it for
    // each other never wait for one whose measurement failed.
    struct Synchronised {
        void (*call)();
        void operator()() {
            if (call != nullptr) call();
            call = nullptr;
        }
        ~Synchronised() { (*this)(); }
    } synchronised{synchronise};
    // A process measured again after its measurement ended (a second kova_master)
    // begins afresh once the earlier measurement's writer is done.
    Recorder* const earlier = gRecorder.load();
    if (gForkedChild.load() || (earlier != nullptr && !WriterDone(*earlier))) return false;
    if (experiment == 0) {
        const char* given = std::getenv("KOVA_MEASURE_EXPERIMENT");
        experiment = given != nullptr ? std::atoi(given) : 0;
    }
    if (experiment <= 0) return false;
    auto* recorder = new (std::nothrow) Recorder;
    if (recorder == nullptr) return false;
    recorder->task = task;
    recorder->experiment = experiment;
    recorder->courier = courier;
    recorder->pid = getpid();
    gethostname(recorder->host, sizeof recorder->host - 1);
    std::strncpy(recorder->executable, program_invocation_short_name, sizeof recorder->executable - 1);
    try {
        recorder->address = MeasurementDatabaseAddress();
        recorder->chunkRecords = ChunkRecords();
        recorder->mostChunksWaiting =
            std::max<int>(2, static_cast<int>(kMostBytesWaiting / (recorder->chunkRecords * sizeof(PhaseRecord))));
        recorder->block.reset(new char[BlockBytes(recorder->chunkRecords + 1, kMaxGroups)]);
        recorder->spawnedBytes = std::size_t{recorder->chunkRecords} * 12 + 16;
        recorder->spawned.reset(new char[recorder->spawnedBytes]);
    } catch (const std::exception& failure) {
        SayLost(task, failure.what());
        return false;
    }
    recorder->current = NewChunk(*recorder);
    if (recorder->current == nullptr || pipe2(recorder->wake, O_CLOEXEC) != 0 ||
        pipe2(recorder->done, O_CLOEXEC) != 0) {
        SayLost(task, "no chunk or pipe for the phases");
        return false;
    }
    recorder->filling.store(recorder->current);
    static const bool forkHandled = pthread_atfork(nullptr, nullptr, OnForkChild) == 0;
    (void)forkHandled;

    // The writer starts with every signal blocked, so that signals reach the program.
    sigset_t all, previousMask;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previousMask);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t writer;
    const bool started = pthread_create(&writer, &attributes, Writer, recorder) == 0;
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    if (!started) {
        SayLost(task, "no thread to store the phases");
        return false;
    }
    {
        // SIGTERM waits while the earlier measurement goes, so that its handler
        // never holds a recorder that is freed.
        const TermDeferred deferred;
        gRecorder.store(recorder);
        if (earlier != nullptr) Discard(earlier);
    }
    Calibrate(*recorder);

    struct sigaction term = {};
    term.sa_handler = OnTerm;
    sigemptyset(&term.sa_mask);
    term.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &term, &recorder->previousTerm);
    synchronised();
    // The start on the wall clock and on the phases' clock, read close together: a
    // task interrupted in between would place all its phases that much too early.
    for (int attempt = 0; attempt < kStartReadings; ++attempt) {
        const std::int64_t before = Now();
        gettimeofday(&recorder->startWall, nullptr);
        const std::int64_t after = Now();
        recorder->start = before + (after - before) / 2;
        if (after - before <= kStartReadingNs) break;
    }
    recorder->active.store(true);
    return true;
}

void EndTask(const ClockOffset& start, const ClockOffset& end) {
    Recorder* const ended = gRecorder.load();
    if (ended == nullptr || gForkedChild.load()) return;
    Recorder& recorder = *ended;
    if (recorder.lost.load()) {
        // The measurement was given up: its writer only has to end.
        if (!recorder.finishing.exchange(true)) Wake(recorder, 'q');
        return;
    }
    if (!recorder.active.load()) return;
    recorder.active.store(false);
    recorder.startOffset = start;
    recorder.endOffset = end;
    recorder.offsetsKnown = true;
    // SIGTERM waits until the last block is on its way, so that its handler never
    // waits for a writer that nobody told to finish.
    {
        const TermDeferred deferred;
        if (!recorder.finishing.exchange(true)) {
            // A task whose phases all fit its first chunk hands its only block to the
            // courier (no database connection at all); otherwise the writer stores it
            // after the earlier ones.
            bool carried = false;
            if (recorder.courier != nullptr && !recorder.handedOff) {
                const Chunk& last = *recorder.current;
                const Formatted formatted =
                    Format(recorder, last, last.count.load(std::memory_order_relaxed), kFinalBlock | kOffsetsKnown, 0);
                carried = recorder.courier(recorder.block.get(), formatted.bytes, recorder.spawned.get(),
                                           formatted.spawnedBytes);
            }
            Wake(recorder, carried ? 'q' : 'f');
            if (!carried) AwaitWriter(recorder);
        }
    }
    struct sigaction current = {};
    sigaction(SIGTERM, nullptr, &current);
    if (current.sa_handler == OnTerm) sigaction(SIGTERM, &recorder.previousTerm, nullptr);
}

bool Measuring() { return Recording(); }

void EndMeasuredTime() {
    if (Recording()) gRecorder.load()->measuredEnd = Now() - gRecorder.load()->start;
}

void RecordWork() {
    if (Recording()) Append(Plain(PH_WORK));
}

void RecordSend(int partner, int tag, long long bytes) {
    if (!Recording()) return;
    PhaseRecord record = Plain(PH_COMM_SEND);
    record.partner = partner;
    record.tag = tag;
    record.bytes = bytes;
    Append(record);
}

long long RecordPhase(int type, int partner, int tag) {
    if (!Recording()) return 0;
    const Recorder& recorder = *gRecorder.load(std::memory_order_relaxed);
    const std::int64_t previous = recorder.lastEnd;
    PhaseRecord record = Plain(type);
    record.partner = partner;
    record.tag = tag;
    Append(record);
    // In whole microseconds of the task's time, as the phase is stored.
    return recorder.lastEnd / 1000 - previous / 1000;
}

void RecordWait() {
    if (Recording()) Append(Plain(PH_IDLE));
}

void RecordReceive(int source, int tag, long long bytes, int askedSource, int askedTag) {
    if (!Recording()) return;
    PhaseRecord record = Plain(PH_COMM_RECV);
    record.partner = source;
    record.tag = tag;
    record.bytes = bytes;
    record.askedSource = askedSource;
    record.askedTag = askedTag;
    Append(record);
}

void RecordSync(const Collective& collective) {
    if (!Recording()) return;
    Recorder& recorder = *gRecorder.load();
    PhaseRecord record = Plain(PH_SYNC);
    record.instance = collective.instance;
    record.root = collective.root;
    record.collective = static_cast<std::uint8_t>(CollectiveNumber(collective.kind));
    if (collective.group != nullptr && collective.group[0] != '\0') {
        const int known = recorder.groups.load(std::memory_order_relaxed);
        int g = 0;
        while (g < known && std::strncmp(recorder.groupNames[g], collective.group, kGroupNameBytes - 1) != 0) ++g;
        if (g == known && known < kMaxGroups) {
            std::strncpy(recorder.groupNames[g], collective.group, kGroupNameBytes - 1);
            recorder.groups.store(known + 1, std::memory_order_release);
        }
        record.group = static_cast<std::int16_t>(g < kMaxGroups ? g : -1);
    }
    Append(record);
}

void RecordSpawn(const int* ids, int count) {
    if (!Recording()) return;
    bool any = false;
    for (int i = 0; i < count; ++i) {
        if (ids[i] <= 0) continue;
        PhaseRecord record = Plain(PH_SPAWN);
        record.partner = ids[i];
        Append(record);
        any = true;
    }
    if (!any) Append(Plain(PH_SPAWN));
}

}  // namespace recording
