#include "measure/mpi_task.h"

#include "measure/mpi_symbols.h"
#include "measure/recording.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int kHostBytes = 64;
// Round trips per host, at least kSamples and up to kMaxSamples while none took
// less than kGoodRoundTrip µs; the one with the shortest round trip gives the offset.
constexpr int kSamples = 4;
constexpr int kMaxSamples = 24;
constexpr long long kGoodRoundTrip = 1000;
constexpr int kOffsetTag = 1;

// The measurement's own communicator, MPI_COMM_NULL while the rank does not measure.
MPI_Comm gOwn = MPI_COMM_NULL;
recording::ClockOffset gStartOffset;

long long WallMicroseconds() {
    timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_usec;
}

// Every rank's host clock minus rank 0's host clock, with its bound: rank 0 takes
// kSamples round trips with the lowest rank of each other host, which answers
// with its clock; the other ranks of a host take their lowest rank's result, and
// the ranks of rank 0's host have offset 0 and bound 0. Collective over gOwn.
recording::ClockOffset MeasureOffset() {
    int rank = 0, size = 0;
    PMPI_Comm_rank(gOwn, &rank);
    PMPI_Comm_size(gOwn, &size);
    char host[kHostBytes] = {};
    gethostname(host, sizeof host - 1);
    std::vector<char> hosts(static_cast<std::size_t>(size) * kHostBytes);
    PMPI_Allgather(host, kHostBytes, MPI_CHAR, hosts.data(), kHostBytes, MPI_CHAR, gOwn);
    auto hostOf = [&](int r) { return hosts.data() + static_cast<std::size_t>(r) * kHostBytes; };
    // The lowest rank of each rank's host.
    std::vector<int> leader(size);
    for (int r = 0; r < size; ++r) {
        leader[r] = r;
        for (int l = 0; l < r; ++l)
            if (std::strncmp(hostOf(l), hostOf(r), kHostBytes) == 0) {
                leader[r] = l;
                break;
            }
    }
    // Offset and bound per rank, filled by rank 0 for the leaders.
    std::vector<long long> offsets(2 * static_cast<std::size_t>(size), 0);
    for (int l = 1; l < size; ++l) {
        if (leader[l] != l || leader[l] == leader[0]) continue;
        if (rank == 0) {
            // Each sample sends rank 0's clock, a 0 ends them.
            long long shortest = -1;
            for (int sample = 0;; ++sample) {
                const bool more = sample < kSamples || (shortest > kGoodRoundTrip && sample < kMaxSamples);
                const long long before = more ? WallMicroseconds() : 0;
                PMPI_Send(&before, 1, MPI_LONG_LONG, l, kOffsetTag, gOwn);
                if (!more) break;
                long long theirs = 0;
                PMPI_Recv(&theirs, 1, MPI_LONG_LONG, l, kOffsetTag, gOwn, MPI_STATUS_IGNORE);
                const long long after = WallMicroseconds();
                if (shortest < 0 || after - before < shortest) {
                    shortest = after - before;
                    offsets[2 * l] = theirs - (before + after) / 2;
                    // Half the round trip, and the microsecond the clocks are read
                    // in: a round trip within one microsecond still has that error.
                    offsets[2 * l + 1] = shortest / 2 + 1;
                }
            }
        } else if (rank == l) {
            for (long long asked = 1;;) {
                PMPI_Recv(&asked, 1, MPI_LONG_LONG, 0, kOffsetTag, gOwn, MPI_STATUS_IGNORE);
                if (asked == 0) break;
                const long long mine = WallMicroseconds();
                PMPI_Send(&mine, 1, MPI_LONG_LONG, 0, kOffsetTag, gOwn);
            }
        }
    }
    PMPI_Bcast(offsets.data(), 2 * size, MPI_LONG_LONG, 0, gOwn);
    recording::ClockOffset offset;
    offset.offset = offsets[2 * leader[rank]];
    offset.bound = offsets[2 * leader[rank] + 1];
    return offset;
}

int Size() {
    int size = 0;
    PMPI_Comm_size(gOwn, &size);
    return size;
}

// A rank that ends without MPI_Finalize stores what it measured with the offset
// of its start.
void StoreAtExit() {
    recording::Call call(recording::Call::Passive);
    if (!recording::Measuring()) return;
    recording::RecordWork();
    recording::EndTask(gStartOffset, gStartOffset);
}

// The ranks begin their first phase together once all are prepared, rank 0 a
// little before the others: they wait for the token it sends after its start.
void AwaitPreparedRanks() { PMPI_Barrier(gOwn); }
void AwaitRankZero() {
    int token = 0;
    PMPI_Barrier(gOwn);
    PMPI_Bcast(&token, 1, MPI_INT, 0, gOwn);
}

}  // namespace

void BeginRank() {
    // Called once more by the Fortran MPI_Init of an MPI whose Fortran calls the C one.
    if (gOwn != MPI_COMM_NULL || std::getenv("KOVA_MEASURE_EXPERIMENT") == nullptr) return;
    recording::Call call(recording::Call::Passive);
    // Ranks started by MPI_Comm_spawn would share the world ranks of the program's.
    MPI_Comm parent = MPI_COMM_NULL;
    PMPI_Comm_get_parent(&parent);
    if (parent != MPI_COMM_NULL) return;
    if (PMPI_Comm_dup(MPI_COMM_WORLD, &gOwn) != MPI_SUCCESS) {
        gOwn = MPI_COMM_NULL;
        return;
    }
    int rank = 0;
    PMPI_Comm_rank(gOwn, &rank);
    gStartOffset = MeasureOffset();
    recording::TaskIdentity task;
    task.id = rank;
    task.master = rank == 0;
    const bool begun = recording::BeginTask(task, 0, rank == 0 ? AwaitPreparedRanks : AwaitRankZero);
    if (rank == 0) {
        int token = 0;
        PMPI_Bcast(&token, 1, MPI_INT, 0, gOwn);
    }
    if (begun) std::atexit(StoreAtExit);
}

void FinishRank() {
    if (gOwn == MPI_COMM_NULL) return;
    recording::Call call(recording::Call::Passive);
    // The program's last phase ends here. The wait for the other ranks to end
    // theirs (MPI_Finalize would wait for them too) is a sync phase, which rank 0
    // ends last, once every other rank has ended its own: rank 0's time, the
    // experiment's, spans every rank's. The clock offsets of the end are measured
    // after the phases.
    int rank = 0, token = 0;
    PMPI_Comm_rank(gOwn, &rank);
    std::vector<int> tokens(rank == 0 ? static_cast<std::size_t>(Size()) : 0);
    recording::RecordWork();
    PMPI_Barrier(gOwn);
    if (rank != 0) recording::RecordSync();
    PMPI_Gather(&token, 1, MPI_INT, tokens.data(), 1, MPI_INT, 0, gOwn);
    if (rank == 0) recording::RecordSync();
    const recording::ClockOffset end = MeasureOffset();
    recording::EndTask(gStartOffset, end);
    PMPI_Comm_free(&gOwn);
}
