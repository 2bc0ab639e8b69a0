// The binary block in which a measured task stores its phases (a row of table
// PhaseBlocks): a header, fixed-size phase records and the names of the groups
// the records refer to. Written by the recording core, read by the expansion into
// rows. Numbers are in the byte order of the machine that wrote them; a block
// begins with kBlockMagic, which tells a block of another byte order or version.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace recording {

constexpr char kBlockMagic[4] = {'K', 'V', 'B', '2'};
constexpr std::size_t kGroupNameBytes = 64;
constexpr int kMaxGroups = 64;

// The collectives a sync phase can be, by their number in a record (0: none).
extern const char* const kCollectiveNames[11];
// The number of a collective's name; 0 for one not in the list.
int CollectiveNumber(const char* kind);

// One phase, ended at end nanoseconds after the task's start.
struct PhaseRecord {
    std::int64_t end;
    // Message length of a send or receive; 0 not known.
    std::int64_t bytes;
    // Partner of a send, receive or spawn; -1 none.
    std::int32_t partner;
    // The message tag (the phase's quantum count).
    std::int32_t tag;
    std::int32_t askedSource;
    std::int32_t askedTag;
    std::int32_t instance;
    std::int32_t root;
    // Index into the block's group names; -1 none.
    std::int16_t group;
    // The phase type (KOVAData's BasicPhaseType).
    std::uint8_t type;
    // Index into kCollectiveNames.
    std::uint8_t collective;
    std::int32_t reserved;
};
static_assert(sizeof(PhaseRecord) == 48, "a phase record has a fixed size");

// Flags of a block.
constexpr std::uint32_t kFinalBlock = 1;    // the task's last block
constexpr std::uint32_t kMasterTask = 2;    // the program's first task
constexpr std::uint32_t kOffsetsKnown = 4;  // the clock offsets were measured
constexpr std::uint32_t kKilledTask = 8;    // stored when SIGTERM ended the task

struct BlockHeader {
    char magic[4];
    std::uint32_t flags;
    std::int32_t experiment;
    std::int32_t task;
    std::int32_t parent;
    // Number of this block among the task's, from 0.
    std::int32_t sequence;
    std::uint32_t records;
    std::uint32_t groups;
    // Number of the first record's phase, from 1, and the end of the phase before it.
    std::int64_t firstPhase;
    std::int64_t previousEnd;
    // The task's start on its own host's clock.
    std::int64_t startSec;
    std::int64_t startUsec;
    // Clock offsets in microseconds with their bounds, and the end of the task's
    // measured time in microseconds when its front end ended it after the last
    // phase (the final block only; 0: at the last phase's end).
    std::int64_t startOffset;
    std::int64_t startBound;
    std::int64_t endOffset;
    std::int64_t endBound;
    std::int64_t endTime;
    // Records made by the task so far, and the calibrated cost of one.
    std::int64_t recordedCalls;
    double nsPerCall;
    char host[64];
    // The name of the task's program file, without its directory.
    char executable[64];
};

// The statement that stores a block: expID, processID, seq, final, spawned (the
// ids of the tasks its spawn phases started, as text) and the block's bytes.
constexpr char kInsertBlock[] =
    "INSERT INTO PhaseBlocks (expID, processID, seq, final, spawned, data) VALUES (?, ?, ?, ?, ?, ?)";

// A task's last block carried to kova measure as a PVM message with this tag: two
// ints (the block's length, the length of the spawned tasks' ids as text), then
// the block's bytes and that text. kova measure stores it as the task would have.
constexpr int kBlockMessageTag = 0x4b56;
// kova measure answers each such message, as soon as it has it, with an empty one
// of this tag; the task ends only then (or after kBlockAnswerSeconds), so that kova
// measure has every block of a task it sees gone.
constexpr int kBlockAnswerTag = 0x4b57;
constexpr int kBlockAnswerSeconds = 5;
// The environment variable that names kova measure's PVM task id (hexadecimal).
constexpr char kCollectorVariable[] = "KOVA_MEASURE_COLLECTOR";
// The environment variable that sets the phases a task keeps in memory before it
// stores them as one block (its tasks are given it too).
constexpr char kBlockPhasesVariable[] = "KOVA_MEASURE_BLOCK_PHASES";
constexpr std::uint32_t kFewestBlockPhases = 1024, kMostBlockPhases = 262144;

// The phases that the setting's text asks for; nothing when it is no whole number
// within the bounds.
inline std::optional<std::uint32_t> BlockPhasesOf(const char* text) {
    char* end = nullptr;
    errno = 0;
    const long long asked = std::strtoll(text, &end, 10);
    if (end == text || *end != 0 || errno != 0 || asked < kFewestBlockPhases || asked > kMostBlockPhases)
        return std::nullopt;
    return static_cast<std::uint32_t>(asked);
}

// Bytes of a block with that many records and groups.
inline std::size_t BlockBytes(std::size_t records, std::size_t groups) {
    return sizeof(BlockHeader) + records * sizeof(PhaseRecord) + groups * kGroupNameBytes;
}

// A block read back.
struct Block {
    BlockHeader header;
    std::vector<PhaseRecord> records;
    std::vector<std::string> groups;
};

// The block in bytes; nothing when it is not a whole block of this format
// (error then says what is wrong).
std::optional<Block> DecodeBlock(const char* bytes, std::size_t length, std::string& error);

}  // namespace recording
