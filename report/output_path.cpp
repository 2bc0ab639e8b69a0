#include "report/output_path.h"

#include "analysis/error.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <streambuf>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace report {

namespace {

[[noreturn]] void CannotWrite(const fs::path& path, const std::string& reason) {
    throw analysis::Error("cannot write " + path.string() + ": " + reason, analysis::kExitFailure);
}

std::string SystemError(int code) { return std::error_code(code, std::generic_category()).message(); }

bool StartsWith(const fs::path& path, const char* prefix) {
    return path.lexically_normal().string().rfind(prefix, 0) == 0;
}

// A buffered output over a file descriptor; a write the system refuses throws, so
// the stream that uses it must let badbit exceptions through.
class DescriptorBuffer : public std::streambuf {
public:
    DescriptorBuffer(int fd, const fs::path& shown) : mFd(fd), mShown(shown), mBuffer(1 << 20) { Reset(); }

protected:
    int_type overflow(int_type c) override {
        Drain();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override {
        Drain();
        return 0;
    }

private:
    void Reset() { setp(mBuffer.data(), mBuffer.data() + mBuffer.size()); }
    void Drain() {
        const char* at = pbase();
        while (at < pptr()) {
            const ssize_t done = ::write(mFd, at, static_cast<std::size_t>(pptr() - at));
            if (done < 0 && errno == EINTR) continue;
            if (done <= 0) CannotWrite(mShown, SystemError(done < 0 ? errno : EIO));
            at += done;
        }
        Reset();
    }
    int mFd;
    const fs::path& mShown;
    std::vector<char> mBuffer;
};

// Runs write on a stream over fd and checks that every byte reached it.
void WriteTo(int fd, const fs::path& shown, const std::function<void(std::ostream&)>& write) {
    DescriptorBuffer buffer(fd, shown);
    std::ostream out(&buffer);
    out.exceptions(std::ios::badbit);
    write(out);
    out.flush();
    if (!out) CannotWrite(shown, "the output stream failed");
}

// Closes a descriptor and, unless kept, removes the file it was created as.
struct TemporaryFile {
    std::string name;
    int fd = -1;
    bool kept = false;
    ~TemporaryFile() {
        if (fd >= 0) ::close(fd);
        if (!kept) ::unlink(name.c_str());
    }
};

mode_t NewFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Where a file output goes: a regular file that is replaced, or a device, a pipe or
// a descriptor of this process that is written directly.
struct FileTarget {
    fs::path path;
    bool direct = false;
};

FileTarget TargetOf(const fs::path& path) {
    std::error_code error;
    // /proc/self/fd/N, and the links into it (/dev/stdout, /dev/fd/N), name a
    // descriptor of this process: whatever it is open on is written where it stands.
    if (StartsWith(path, "/proc/")) return {path, true};
    const bool link = fs::is_symlink(fs::symlink_status(path, error));
    fs::path at = path;
    for (int hop = 0; hop < 40 && fs::is_symlink(fs::symlink_status(at, error)); ++hop) {
        if (StartsWith(fs::weakly_canonical(at.parent_path(), error), "/proc/")) return {path, true};
        const fs::path next = fs::read_symlink(at, error);
        if (error) break;
        at = next.is_absolute() ? next : at.parent_path() / next;
        if (StartsWith(at, "/proc/")) return {path, true};
    }
    const fs::file_status status = fs::status(path, error);
    if (fs::is_directory(status)) CannotWrite(path, "it is a folder");
    if (fs::exists(status) && !fs::is_regular_file(status)) return {path, true};
    // A link to a file keeps being a link: the file it leads to is replaced.
    if (link) return {fs::weakly_canonical(path, error), false};
    return {path, false};
}

void WriteDirectly(const fs::path& path, const std::function<void(std::ostream&)>& write) {
    // Appending keeps what a shell redirection (>>) or an earlier writer put there.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) CannotWrite(path, SystemError(errno));
    TemporaryFile descriptor{std::string(), fd, true};
    WriteTo(fd, path, write);
    descriptor.fd = -1;
    if (::close(fd) != 0 && errno != EINTR) CannotWrite(path, SystemError(errno));
}

void WriteReplacing(const fs::path& target, const fs::path& shown, const std::function<void(std::ostream&)>& write) {
    // Created exclusively under a fresh name: a file or a link planted beside the
    // destination is never written through.
    fs::path pattern = target;
    pattern += ".tmp-XXXXXX";
    TemporaryFile file{pattern.string()};
    file.fd = ::mkostemp(file.name.data(), O_CLOEXEC);
    if (file.fd < 0) {
        file.kept = true;
        CannotWrite(shown, SystemError(errno));
    }
    struct stat earlier;
    const mode_t mode = ::stat(target.c_str(), &earlier) == 0 ? earlier.st_mode & 07777 : NewFileMode();
    if (::fchmod(file.fd, mode) != 0) CannotWrite(shown, SystemError(errno));
    WriteTo(file.fd, shown, write);
    if (::fsync(file.fd) != 0) CannotWrite(shown, SystemError(errno));
    const int fd = file.fd;
    file.fd = -1;
    if (::close(fd) != 0) CannotWrite(shown, SystemError(errno));
    if (::rename(file.name.c_str(), target.c_str()) != 0) CannotWrite(shown, SystemError(errno));
    file.kept = true;
}

}  // namespace

OutputPath::OutputPath(fs::path destination, FilePredicate ownEarlierFile)
    : mDestination(std::move(destination)), mOwnEarlierFile(std::move(ownEarlierFile)) {
    if (mDestination.empty()) CannotWrite(mDestination, "empty path");
    if (mDestination.filename().empty()) mDestination = mDestination.parent_path();
    std::error_code error;
    const fs::file_status status = fs::status(mDestination, error);
    if (fs::exists(status) && !fs::is_directory(status)) CannotWrite(mDestination, "it is not a folder");
    mIntoExisting = fs::is_directory(status);
    fs::path pattern = mIntoExisting ? mDestination / ".kova-export-XXXXXX" : mDestination;
    if (!mIntoExisting) pattern += ".tmp-XXXXXX";
    std::string name = pattern.string();
    if (!::mkdtemp(name.data())) CannotWrite(mDestination, SystemError(errno));
    mTemporary = name;
}

OutputPath::~OutputPath() {
    std::error_code ignored;
    if (!mCommitted) fs::remove_all(mTemporary, ignored);
}

void OutputPath::Commit() {
    if (!mIntoExisting) {
        if (::rename(mTemporary.c_str(), mDestination.c_str()) == 0) {
            mCommitted = true;
            return;
        }
        // Another program made the folder meanwhile: the entries go beside its own.
        if (errno != EEXIST && errno != ENOTEMPTY) CannotWrite(mDestination, SystemError(errno));
    }
    MoveEntriesInto();
    // What is left is the earlier output that the new entries replaced.
    std::error_code ignored;
    fs::remove_all(mTemporary, ignored);
    mCommitted = true;
}

void OutputPath::MoveEntriesInto() {
    std::error_code error;
    std::vector<fs::path> entries;
    for (const fs::directory_entry& entry : fs::directory_iterator(mTemporary, error)) entries.push_back(entry.path());
    if (error) CannotWrite(mDestination, error.message());
    // Folders first: an archive's anchor file comes last, after what it refers to.
    std::sort(entries.begin(), entries.end(), [](const fs::path& a, const fs::path& b) {
        const bool folderA = fs::is_directory(a), folderB = fs::is_directory(b);
        return folderA != folderB ? folderA : a < b;
    });
    const auto earlierOutput = [this](const fs::path& folder) {
        if (!mOwnEarlierFile) return false;
        std::error_code failed;
        for (const fs::directory_entry& file : fs::directory_iterator(folder, failed))
            if (!fs::is_regular_file(file.symlink_status(failed)) || !mOwnEarlierFile(file.path())) return false;
        return !failed;
    };
    // Everything is checked before anything moves.
    for (const fs::path& entry : entries) {
        const fs::path target = mDestination / entry.filename();
        const fs::file_status earlier = fs::symlink_status(target, error);
        if (!fs::exists(earlier)) continue;
        const bool replaceable = fs::is_directory(entry) ? fs::is_directory(earlier) && earlierOutput(target)
                                                         : fs::is_regular_file(earlier);
        if (!replaceable)
            CannotWrite(mDestination, target.string() +
                                          " is in the way and is not an earlier export's; move it away or export "
                                          "into another folder");
    }
    // Each new entry takes the place of the earlier one, which goes into the
    // temporary folder; when a step fails, the steps done are undone in reverse, so
    // that the destination holds the earlier set or the new one, never a mix.
    struct Step {
        fs::path from, to;
        bool exchanged;
    };
    std::vector<Step> done;
    const auto undo = [&done] {
        for (auto step = done.rbegin(); step != done.rend(); ++step)
            if (step->exchanged)
                ::renameat2(AT_FDCWD, step->from.c_str(), AT_FDCWD, step->to.c_str(), RENAME_EXCHANGE);
            else
                ::rename(step->to.c_str(), step->from.c_str());
    };
    const auto move = [&](const fs::path& from, const fs::path& to, bool exchange) {
        const int result = exchange ? ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE)
                                    : ::rename(from.c_str(), to.c_str());
        if (result == 0) {
            done.push_back({from, to, exchange});
            return true;
        }
        // A file system that cannot exchange two names moves the earlier entry aside first.
        if (exchange && (errno == EINVAL || errno == ENOSYS)) return false;
        const int failure = errno;
        undo();
        CannotWrite(to, SystemError(failure));
    };
    for (const fs::path& entry : entries) {
        const fs::path target = mDestination / entry.filename();
        if (!fs::exists(fs::symlink_status(target, error))) {
            move(entry, target, false);
            continue;
        }
        // The earlier entry ends up in the temporary folder, under the new one's name.
        if (move(entry, target, true)) continue;
        const fs::path earlier = mTemporary / (".earlier-" + entry.filename().string());
        move(target, earlier, false);
        move(entry, target, false);
    }
}

void WriteFileAtomically(const fs::path& path, const std::function<void(std::ostream&)>& write) {
    if (path.empty()) CannotWrite(path, "empty path");
    const FileTarget target = TargetOf(path);
    if (target.direct)
        WriteDirectly(target.path, write);
    else
        WriteReplacing(target.path, path, write);
}

}  // namespace report
