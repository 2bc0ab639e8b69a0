#include "output_path.h"

#include <error.h>

#include <fstream>
#include <vector>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

namespace report {

namespace {

[[noreturn]] void CannotWrite(const fs::path& path, const std::string& reason) {
    throw analysis::Error("cannot write " + path.string() + ": " + reason, analysis::kExitFailure);
}

// A name beside destination that nothing uses yet.
fs::path TemporaryBeside(const fs::path& destination) {
    std::random_device seed;
    std::mt19937 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = destination;
        candidate += ".tmp-" + std::to_string(random() % 1000000);
        std::error_code error;
        if (!fs::exists(candidate, error)) return candidate;
    }
    CannotWrite(destination, "no free temporary name beside it");
}

}  // namespace

OutputPath::OutputPath(fs::path destination, Kind kind) : mDestination(std::move(destination)), mKind(kind) {
    if (mDestination.empty()) CannotWrite(mDestination, "empty path");
    if (mDestination.filename().empty()) mDestination = mDestination.parent_path();
    std::error_code error;
    if (fs::is_directory(mDestination, error) && kind == kFile) CannotWrite(mDestination, "it is a folder");
    mTemporary = TemporaryBeside(mDestination);
    if (kind == kFolder) {
        if (!fs::create_directory(mTemporary, error)) CannotWrite(mDestination, error.message());
    } else {
        std::ofstream probe(mTemporary);
        if (!probe) CannotWrite(mDestination, std::error_code(errno, std::generic_category()).message());
    }
}

OutputPath::~OutputPath() {
    if (mCommitted) return;
    std::error_code ignored;
    fs::remove_all(mTemporary, ignored);
}

void OutputPath::Commit() {
    std::error_code error;
    if (mKind == kFolder && fs::is_directory(mDestination, error)) fs::remove_all(mDestination, error);
    fs::rename(mTemporary, mDestination, error);
    if (error) CannotWrite(mDestination, error.message());
    mCommitted = true;
}

void WriteFileAtomically(const fs::path& path, const std::function<void(std::ostream&)>& write) {
    OutputPath output(path, OutputPath::kFile);
    {
        std::vector<char> buffer(1 << 20);
        std::ofstream file;
        file.rdbuf()->pubsetbuf(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        file.open(output.Temporary(), std::ios::binary | std::ios::trunc);
        if (!file) CannotWrite(path, "cannot open " + output.Temporary().string());
        write(file);
        file.close();
        if (!file) CannotWrite(path, "the disk refused the data");
    }
    output.Commit();
}

}  // namespace report
