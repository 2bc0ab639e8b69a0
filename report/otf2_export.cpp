#include "report/otf2_export.h"

#include "analysis/error.h"
#include "report/output_path.h"

#include <otf2/otf2.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <map>

namespace report {

namespace {

OTF2_FlushType PreFlush(void*, OTF2_FileType, OTF2_LocationRef, void*, bool) { return OTF2_FLUSH; }
OTF2_TimeStamp PostFlush(void*, OTF2_FileType, OTF2_LocationRef) { return 0; }
OTF2_FlushCallbacks kFlushCallbacks = {PreFlush, PostFlush};

std::string CannotWrite(const std::filesystem::path& folder, const std::string& reason) {
    return "cannot write the OTF2 archive " + folder.string() + ": " + reason;
}

void Check(OTF2_ErrorCode code, const std::filesystem::path& folder) {
    if (code != OTF2_SUCCESS)
        throw analysis::Error(CannotWrite(folder, OTF2_Error_GetDescription(code)), analysis::kExitFailure);
}

// The string table of the global definitions: each text once, by its reference.
class Strings {
public:
    explicit Strings(OTF2_GlobalDefWriter* writer) : mWriter(writer) {}
    OTF2_StringRef operator()(const std::string& text) {
        auto [it, added] = mRefs.emplace(text, static_cast<OTF2_StringRef>(mRefs.size()));
        if (added) OTF2_GlobalDefWriter_WriteString(mWriter, it->second, text.c_str());
        return it->second;
    }

private:
    OTF2_GlobalDefWriter* mWriter;
    std::map<std::string, OTF2_StringRef> mRefs;
};

// A file of an archive's per-location folder (<location>.evt, <location>.def): an
// earlier export into the same folder may be replaced when it holds nothing else.
bool IsLocationFile(const std::filesystem::path& file) {
    const std::string name = file.filename().string();
    const std::size_t dot = name.find('.');
    return dot > 0 && dot != std::string::npos && name.find_first_not_of("0123456789") == dot &&
           (name.substr(dot) == ".evt" || name.substr(dot) == ".def");
}

// A message's length in bytes as its send recorded it, else as its receive did; 0
// where neither is known (older experiments).
uint64_t MessageBytes(const analysis::PhaseColumns& ph, const analysis::Message& message) {
    const int64_t sent = ph.Detail(message.sendPhase).bytes;
    const int64_t received = message.recvPhase >= 0 ? ph.Detail(message.recvPhase).bytes : 0;
    return static_cast<uint64_t>(std::max<int64_t>(sent > 0 ? sent : received, 0));
}

constexpr OTF2_CommRef kComm = 0;
constexpr OTF2_GroupRef kLocationsGroup = 0, kRanksGroup = 1;

// The events of every location; returns the number written per process.
std::vector<uint64_t> WriteEvents(OTF2_Archive* archive, const analysis::ExperimentModel& model,
                                  const std::map<int, OTF2_RegionRef>& regions, const std::filesystem::path& folder) {
    const analysis::PhaseColumns& ph = model.phases;
    const std::vector<int32_t>& messageOf = model.findings.messageOf;
    std::vector<uint64_t> counts(model.processes.size(), 0);
    Check(OTF2_Archive_OpenEvtFiles(archive), folder);
    for (std::size_t k = 0; k < model.processes.size(); ++k) {
        OTF2_EvtWriter* writer = OTF2_Archive_GetEvtWriter(archive, k);
        if (!writer) Check(OTF2_ERROR_MEM_ALLOC_FAILED, folder);
        const analysis::ProcessModel& process = model.processes[k];
        uint64_t& count = counts[k];
        // The phases tile the repaired clock; a negative stored duration (flagged by
        // the data check) could still step back, and OTF2 needs the events of a
        // location in time order.
        OTF2_TimeStamp last = 0;
        for (int i = process.firstPhase; i < process.firstPhase + process.nbrPhases; ++i) {
            const OTF2_TimeStamp begin = std::max<OTF2_TimeStamp>(last, std::max<analysis::Time>(ph.shownStart[i], 0));
            const OTF2_TimeStamp end = last = std::max<OTF2_TimeStamp>(begin, std::max<analysis::Time>(ph.ShownEnd(i), 0));
            const OTF2_RegionRef region = regions.at(ph.type[i]);
            Check(OTF2_EvtWriter_Enter(writer, nullptr, begin, region), folder);
            // A message is sent when its send phase begins and taken when its receive
            // phase ends: on the repaired clock a receive starts after its send began,
            // so every receive event comes after its send's.
            const int m = messageOf[i];
            if (m >= 0 && ph.sending[i]) {
                const analysis::Message& message = model.findings.messages[m];
                Check(OTF2_EvtWriter_MpiSend(writer, nullptr, begin, message.recvProcess, kComm, ph.tag[i],
                                             MessageBytes(ph, message)),
                      folder);
                ++count;
            }
            if (m >= 0 && !ph.sending[i]) {
                const analysis::Message& message = model.findings.messages[m];
                Check(OTF2_EvtWriter_MpiRecv(writer, nullptr, end, message.sendProcess, kComm, ph.tag[i],
                                             MessageBytes(ph, message)),
                      folder);
                ++count;
            }
            Check(OTF2_EvtWriter_Leave(writer, nullptr, end, region), folder);
            count += 2;
        }
        Check(OTF2_Archive_CloseEvtWriter(archive, writer), folder);
    }
    Check(OTF2_Archive_CloseEvtFiles(archive), folder);
    return counts;
}

void WriteDefinitions(OTF2_Archive* archive, const analysis::ExperimentModel& model,
                      const std::map<int, OTF2_RegionRef>& regions, const std::vector<uint64_t>& eventCounts,
                      const std::filesystem::path& folder) {
    // Every location needs its (empty) local definitions.
    Check(OTF2_Archive_OpenDefFiles(archive), folder);
    for (std::size_t k = 0; k < model.processes.size(); ++k) {
        OTF2_DefWriter* writer = OTF2_Archive_GetDefWriter(archive, k);
        if (!writer) Check(OTF2_ERROR_MEM_ALLOC_FAILED, folder);
        Check(OTF2_Archive_CloseDefWriter(archive, writer), folder);
    }
    Check(OTF2_Archive_CloseDefFiles(archive), folder);

    OTF2_GlobalDefWriter* global = OTF2_Archive_GetGlobalDefWriter(archive);
    if (!global) Check(OTF2_ERROR_MEM_ALLOC_FAILED, folder);
    const analysis::PhaseColumns& ph = model.phases;
    analysis::Time length = 0;
    for (std::size_t i = 0; i < ph.Size(); ++i) length = std::max(length, ph.ShownEnd(i));
    // Events are in µs from the master's start: the global offset is 0 and the
    // realtime timestamp, in ns since the epoch, says when that was.
    const analysis::Time origin = model.processes.empty() ? 0 : model.processes[model.master].start;
    Check(OTF2_GlobalDefWriter_WriteClockProperties(global, 1000000, 0, static_cast<uint64_t>(std::max<analysis::Time>(length, 0)),
                                                    static_cast<uint64_t>(std::max<analysis::Time>(origin, 0)) * 1000),
          folder);

    Strings strings(global);
    for (const auto& [type, region] : regions) {
        const OTF2_StringRef name = strings(analysis::PhaseTypeName(type));
        const OTF2_StringRef category = strings(analysis::PhaseTypeName(analysis::PhaseTypeCategory(type)));
        Check(OTF2_GlobalDefWriter_WriteRegion(global, region, name, name, category, OTF2_REGION_ROLE_FUNCTION,
                                               OTF2_PARADIGM_USER, OTF2_REGION_FLAG_NONE, strings(""), 0, 0),
              folder);
    }
    const OTF2_SystemTreeNodeRef root = 0;
    Check(OTF2_GlobalDefWriter_WriteSystemTreeNode(global, root, strings("virtual machine"), strings("machine"),
                                                   OTF2_UNDEFINED_SYSTEM_TREE_NODE),
          folder);
    std::map<std::string, OTF2_SystemTreeNodeRef> hosts;
    std::vector<uint64_t> members;
    for (std::size_t k = 0; k < model.processes.size(); ++k) {
        const analysis::ProcessModel& process = model.processes[k];
        auto [host, added] = hosts.emplace(process.host, static_cast<OTF2_SystemTreeNodeRef>(hosts.size() + 1));
        if (added)
            Check(OTF2_GlobalDefWriter_WriteSystemTreeNode(global, host->second, strings(process.host),
                                                           strings("node"), root),
                  folder);
        const OTF2_StringRef name = strings(process.host + " t" + std::to_string(process.tid));
        Check(OTF2_GlobalDefWriter_WriteLocationGroup(global, k, name, OTF2_LOCATION_GROUP_TYPE_PROCESS, host->second,
                                                      OTF2_UNDEFINED_LOCATION_GROUP),
              folder);
        Check(OTF2_GlobalDefWriter_WriteLocation(global, k, name, OTF2_LOCATION_TYPE_CPU_THREAD, eventCounts[k], k),
              folder);
        members.push_back(k);
    }
    const uint32_t n = static_cast<uint32_t>(members.size());
    Check(OTF2_GlobalDefWriter_WriteGroup(global, kLocationsGroup, strings("processes"),
                                          OTF2_GROUP_TYPE_COMM_LOCATIONS, OTF2_PARADIGM_MPI, OTF2_GROUP_FLAG_NONE, n,
                                          members.data()),
          folder);
    Check(OTF2_GlobalDefWriter_WriteGroup(global, kRanksGroup, strings("all ranks"), OTF2_GROUP_TYPE_COMM_GROUP,
                                          OTF2_PARADIGM_MPI, OTF2_GROUP_FLAG_NONE, n, members.data()),
          folder);
    Check(OTF2_GlobalDefWriter_WriteComm(global, kComm, strings("virtual machine"), kRanksGroup, OTF2_UNDEFINED_COMM,
                                         OTF2_COMM_FLAG_NONE),
          folder);
}

// Writes the archive into folder/kOtf2ArchiveName.
void WriteArchive(const analysis::ExperimentModel& model, const std::filesystem::path& folder,
                  const std::filesystem::path& shown) {
    // Closed only when every part is written: a failure ends the writing process.
    OTF2_Archive* archive = OTF2_Archive_Open(folder.c_str(), kOtf2ArchiveName, OTF2_FILEMODE_WRITE, 1 << 20,
                                              4 << 20, OTF2_SUBSTRATE_POSIX, OTF2_COMPRESSION_NONE);
    if (!archive) Check(OTF2_ERROR_FILE_CAN_NOT_OPEN, shown);
    Check(OTF2_Archive_SetFlushCallbacks(archive, &kFlushCallbacks, nullptr), shown);
    Check(OTF2_Archive_SetSerialCollectiveCallbacks(archive), shown);
    Check(OTF2_Archive_SetCreator(archive, "kova export"), shown);
    // One region per phase type that occurs, numbered in the order of the type IDs.
    std::map<int, OTF2_RegionRef> regions;
    for (int type : model.phases.type) regions.emplace(type, 0);
    OTF2_RegionRef next = 0;
    for (auto& [type, region] : regions) region = next++;
    const std::vector<uint64_t> counts = WriteEvents(archive, model, regions, shown);
    WriteDefinitions(archive, model, regions, counts, shown);
    Check(OTF2_Archive_Close(archive), shown);
}

// The writing process's first failure, sent to the exporting process through the
// pipe fd: a library error as it happens (the library may crash after it), else
// what the writing threw.
int gFailureFd = -1;
bool gFailureSent = false;
std::string gShownFolder;

void SendFailure(const std::string& text) {
    if (gFailureSent) return;
    gFailureSent = true;
    for (std::size_t at = 0; at < text.size();) {
        const ssize_t done = ::write(gFailureFd, text.data() + at, text.size() - at);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) break;
        at += static_cast<std::size_t>(done);
    }
}

OTF2_ErrorCode OnLibraryError(void*, const char*, uint64_t, const char*, OTF2_ErrorCode code, const char*, va_list) {
    SendFailure(CannotWrite(gShownFolder, OTF2_Error_GetDescription(code)));
    return code;
}

// Runs WriteArchive in a child process. The OTF2 library frees a file's buffer
// twice when closing the file fails (a full disk) and aborts; in a child, that
// ends only the writing, and the export says why and leaves nothing behind.
void WriteArchiveApart(const analysis::ExperimentModel& model, const std::filesystem::path& folder,
                       const std::filesystem::path& shown) {
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0) throw analysis::Error(CannotWrite(shown, std::strerror(errno)),
                                                                analysis::kExitFailure);
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::close(channel[0]);
        ::close(channel[1]);
        throw analysis::Error(CannotWrite(shown, std::strerror(error)), analysis::kExitFailure);
    }
    if (child == 0) {
        ::close(channel[0]);
        // What the library or a crash would print goes through the pipe or nowhere,
        // and a crash leaves no core file.
        const int quiet = ::open("/dev/null", O_WRONLY);
        if (quiet >= 0) ::dup2(quiet, STDERR_FILENO);
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        gFailureFd = channel[1];
        gShownFolder = shown.string();
        OTF2_Error_RegisterCallback(OnLibraryError, nullptr);
        int status = 0;
        try {
            WriteArchive(model, folder, shown);
        } catch (const std::exception& e) {
            SendFailure(e.what());
            status = 1;
        }
        ::_exit(gFailureSent ? 1 : status);
    }
    ::close(channel[1]);
    std::string failure;
    char buffer[512];
    for (;;) {
        const ssize_t got = ::read(channel[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        failure.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(channel[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && failure.empty()) return;
    if (failure.empty())
        failure = CannotWrite(shown, WIFSIGNALED(status) ? "the OTF2 library ended with signal " +
                                                               std::to_string(WTERMSIG(status))
                                                         : "the writing process failed");
    throw analysis::Error(failure, analysis::kExitFailure);
}

}  // namespace

void ExportOtf2(const analysis::ExperimentModel& model, const std::filesystem::path& folder) {
    OutputPath output(folder, IsLocationFile);
    WriteArchiveApart(model, output.Temporary(), folder);
    output.Commit();
}

}  // namespace report
