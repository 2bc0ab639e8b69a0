// Writing an output so that it appears complete or not at all: a file or a folder is
// written under a temporary name beside its destination and renamed into place when
// it is done; a failure removes the temporary and leaves the destination as it was.
#pragma once
#include <filesystem>
#include <functional>
#include <ostream>

namespace report {

// A temporary file or folder beside destination that Commit renames into place.
// Creating it or committing it throws analysis::Error (kExitFailure) naming the
// path when it cannot be written; destroying it uncommitted removes the temporary.
class OutputPath {
public:
    enum Kind { kFile, kFolder };
    OutputPath(std::filesystem::path destination, Kind kind);
    ~OutputPath();
    OutputPath(const OutputPath&) = delete;
    OutputPath& operator=(const OutputPath&) = delete;

    // Where to write now: the temporary file, or the temporary folder (created empty).
    const std::filesystem::path& Temporary() const { return mTemporary; }
    // Moves the temporary to the destination, replacing what was there.
    void Commit();

private:
    std::filesystem::path mDestination, mTemporary;
    Kind mKind;
    bool mCommitted = false;
};

// Writes a file through write (a buffered stream on the temporary file), checks that
// every byte reached the disk and renames it to path.
void WriteFileAtomically(const std::filesystem::path& path, const std::function<void(std::ostream&)>& write);

}  // namespace report
