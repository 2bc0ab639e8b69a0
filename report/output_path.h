// Writing an output so that it appears complete or not at all, and never removes
// what it did not write. A regular file is written under a temporary name created
// exclusively beside it and renamed into place when it is done; a device, a pipe or
// one of the process's own descriptors (/dev/stdout) is written directly. A folder
// output is written into a temporary folder and its entries are moved into the
// destination, beside what the destination already holds.
#pragma once
#include <filesystem>
#include <functional>
#include <ostream>

namespace report {

// A temporary folder where an export writes its entries, which Commit moves into
// destination (created when it does not exist). An entry replaces an earlier one of
// the same name: a file replaces a file; a folder replaces a folder only when every
// file in the earlier one is an earlier output's (ownEarlierFile says which are),
// else Commit refuses and changes nothing. Creating it or committing it throws
// analysis::Error (kExitFailure) naming the path when it cannot be written;
// destroying it uncommitted removes the temporary folder.
class OutputPath {
public:
    using FilePredicate = std::function<bool(const std::filesystem::path& file)>;
    explicit OutputPath(std::filesystem::path destination, FilePredicate ownEarlierFile = nullptr);
    ~OutputPath();
    OutputPath(const OutputPath&) = delete;
    OutputPath& operator=(const OutputPath&) = delete;

    // The empty folder to write the entries in.
    const std::filesystem::path& Temporary() const { return mTemporary; }
    // Moves every entry of the temporary folder into the destination.
    void Commit();

private:
    void MoveEntriesInto();
    std::filesystem::path mDestination, mTemporary;
    FilePredicate mOwnEarlierFile;
    bool mIntoExisting = false;  // the destination existed: its entries stay beside ours
    bool mCommitted = false;
};

// Writes a file through write (a buffered stream on it): a regular file (or a link to
// one) appears complete or not at all, with every byte on the disk; a device or pipe
// is written directly. A write that fails throws analysis::Error (kExitFailure).
void WriteFileAtomically(const std::filesystem::path& path, const std::function<void(std::ostream&)>& write);

}  // namespace report
