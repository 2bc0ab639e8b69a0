#include "measure/mpi_names.h"

#include <cstdint>
#include <cstdio>

namespace {

constexpr std::size_t kNameWidth = 64;

// FNV-1a: the same on every host, unlike std::hash.
std::uint64_t Hash(const std::string& text) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ULL;
    return hash;
}

}  // namespace

std::string FittedCommunicatorName(const std::string& name) {
    if (name.size() <= kNameWidth) return name;
    char text[32];
    std::snprintf(text, sizeof text, "comm-%016llx", static_cast<unsigned long long>(Hash(name)));
    return text;
}

std::string ChildCommunicatorName(const std::string& parent, int creation, int lowestRank) {
    return FittedCommunicatorName(parent + "/" + std::to_string(creation) + ":" + std::to_string(lowestRank));
}
