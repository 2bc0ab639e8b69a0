#include "measure/block.h"

#include <cstring>

namespace recording {

const char* const kCollectiveNames[11] = {"",          "barrier",   "bcast",    "reduce",         "gather", "scatter",
                                          "allreduce", "allgather", "alltoall", "reduce_scatter", "scan"};

int CollectiveNumber(const char* kind) {
    if (kind == nullptr) return 0;
    for (int i = 1; i < 11; ++i)
        if (std::strcmp(kind, kCollectiveNames[i]) == 0) return i;
    return 0;
}

std::optional<Block> DecodeBlock(const char* bytes, std::size_t length, std::string& error) {
    Block block;
    if (length < sizeof(BlockHeader)) {
        error = "it is shorter than its header (" + std::to_string(length) + " bytes)";
        return std::nullopt;
    }
    std::memcpy(&block.header, bytes, sizeof(BlockHeader));
    const BlockHeader& header = block.header;
    if (std::memcmp(header.magic, kBlockMagic, sizeof kBlockMagic) != 0) {
        error = "it is not a phase block of this version and byte order";
        return std::nullopt;
    }
    if (header.groups > static_cast<std::uint32_t>(kMaxGroups) || header.firstPhase < 1 ||
        length != BlockBytes(header.records, header.groups)) {
        error = "its length (" + std::to_string(length) + " bytes) does not fit its " +
                std::to_string(header.records) + " records and " + std::to_string(header.groups) + " groups";
        return std::nullopt;
    }
    const char* at = bytes + sizeof(BlockHeader);
    block.records.resize(header.records);
    std::memcpy(block.records.data(), at, header.records * sizeof(PhaseRecord));
    at += header.records * sizeof(PhaseRecord);
    for (std::uint32_t g = 0; g < header.groups; ++g, at += kGroupNameBytes)
        block.groups.emplace_back(at, strnlen(at, kGroupNameBytes));
    for (const PhaseRecord& record : block.records)
        if (record.group >= static_cast<int>(header.groups) || record.collective >= 11) {
            error = "a record names a group or collective it does not hold";
            return std::nullopt;
        }
    return block;
}

}  // namespace recording
