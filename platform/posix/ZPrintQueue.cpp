// ZPrintQueue on POSIX: the destinations of the current CUPS server.
#include "platform/ZPrintQueue.h"

#include "platform/posix/Internal.h"

#include "platform/TextConversion.h"
#include "platform/ZUtilities.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cups/cups.h>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Quillet {

namespace {

/// The destinations of the current server, freed with the object.
struct Destinations {
    Destinations() { count = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests); }
    ~Destinations() { cupsFreeDests(count, dests); }
    Destinations(const Destinations&) = delete;
    Destinations& operator=(const Destinations&) = delete;

    /// An empty list is either no queues or no server; the last error tells.
    bool Reachable() const { return count > 0 || cupsLastError() <= IPP_STATUS_OK_EVENTS_COMPLETE; }

    cups_dest_t* dests = nullptr;
    int count = 0;
};

std::wstring DisplayName(const cups_dest_t& dest)
{
    const char* info = cupsGetOption("printer-info", dest.num_options, dest.options);
    return FromUtf8(info != nullptr && *info != '\0' ? info : dest.name);
}

// ---- The user's saved default and the records that keep it across a crash.
//
// lpoptions -d keeps the user's default in ~/.cups/lpoptions. Before a capture
// changes it, the file's exact bytes (or its absence) go into a record
// ~/.cups/quillet-default/<pid>.<n>: "present\n" or "absent\n", then the
// bytes. Records are created and removed under an flock on the folder's
// "lock" file, so that captures of several processes agree on who restores.

std::string HomeFolder()
{
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0')
        return home;
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return found->pw_dir;
    return std::string();
}

std::string SettingsFile()
{
    const std::string home = HomeFolder();
    return home.empty() ? std::string() : home + "/.cups/lpoptions";
}

std::string RecordFolder()
{
    const std::string home = HomeFolder();
    return home.empty() ? std::string() : home + "/.cups/quillet-default";
}

bool ReadAll(const std::string& path, std::string& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream text;
    text << in.rdbuf();
    bytes = text.str();
    return true;
}

// Writes bytes to path through a temporary file and a rename, mode 0600.
bool WriteAtomically(const std::string& path, const std::string& bytes)
{
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = true;
    for (std::size_t done = 0; ok && done < bytes.size();) {
        const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
        ok = put > 0 || (put < 0 && errno == EINTR);
        if (put > 0)
            done += static_cast<std::size_t>(put);
    }
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok)
        ::unlink(temp.c_str());
    return ok;
}

// Holds the records' lock while it lives.
class RecordLock {
public:
    explicit RecordLock(const std::string& folder)
    {
        ::mkdir((folder.substr(0, folder.find_last_of('/'))).c_str(), 0700);
        ::mkdir(folder.c_str(), 0700);
        fd = ::open((folder + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        while (fd >= 0 && ::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~RecordLock()
    {
        if (fd >= 0)
            ::close(fd);  // releases the lock
    }
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;
    bool Held() const { return fd >= 0; }

private:
    int fd = -1;
};

struct Record {
    std::string path;
    bool alive;
};

// The records in folder; alive when the process named by the name still runs.
std::vector<Record> Records(const std::string& folder)
{
    std::vector<Record> records;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return records;
    while (dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        // "<pid>.<n>" only: not the lock, nor a record still being written.
        if (pid <= 0 || end == nullptr || *end != '.' || end[1] == '\0' ||
            std::string(end + 1).find_first_not_of("0123456789") != std::string::npos)
            continue;
        records.push_back(
            {folder + "/" + entry->d_name, ZUtilities::IsProcessAlive(static_cast<std::uint32_t>(pid))});
    }
    ::closedir(dir);
    return records;
}

// Puts the settings kept in the record's bytes back.
void PutBack(const std::string& record)
{
    std::string bytes;
    if (!ReadAll(record, bytes))
        return;
    const std::string file = SettingsFile();
    if (bytes.rfind("absent\n", 0) == 0)
        ::unlink(file.c_str());
    else if (bytes.rfind("present\n", 0) == 0)
        WriteAtomically(file, bytes.substr(8));
}

// Restores from dead records when no live one remains, and removes them.
// Called with the lock held.
void SweepDeadRecords(const std::string& folder)
{
    const std::vector<Record> records = Records(folder);
    bool anyAlive = false;
    for (const Record& record : records)
        anyAlive = anyAlive || record.alive;
    bool restored = anyAlive;  // a live capture restores the settings itself
    for (const Record& record : records) {
        if (record.alive)
            continue;
        if (!restored) {
            PutBack(record.path);
            restored = true;
        }
        ::unlink(record.path.c_str());
    }
}

std::atomic<unsigned> recordCounter{0};

}  // namespace

bool ZPrintQueue::SaveUserDefault(std::wstring& record)
{
    record.clear();
    const std::string folder = RecordFolder();
    if (folder.empty())
        return false;
    RecordLock lock(folder);
    if (!lock.Held())
        return false;
    SweepDeadRecords(folder);
    std::string bytes;
    const std::vector<Record> others = Records(folder);
    if (others.empty() || !ReadAll(others.front().path, bytes)) {
        std::string settings;
        bytes = ReadAll(SettingsFile(), settings) ? "present\n" + settings : "absent\n";
    }
    const std::string path = folder + "/" + std::to_string(::getpid()) + "." + std::to_string(recordCounter++);
    if (!WriteAtomically(path, bytes))
        return false;
    record = FromUtf8(path);
    return true;
}

void ZPrintQueue::RestoreSavedDefault(const std::wstring& record)
{
    const std::string folder = RecordFolder();
    const std::string path = ToUtf8(record);
    if (folder.empty() || path.empty())
        return;
    RecordLock lock(folder);
    bool othersAlive = false;
    for (const Record& other : Records(folder))
        othersAlive = othersAlive || (other.alive && other.path != path);
    if (!othersAlive)
        PutBack(path);
    ::unlink(path.c_str());
}

void ZPrintQueue::RestoreAbandonedDefaults()
{
    const std::string folder = RecordFolder();
    struct stat info {};
    if (folder.empty() || ::stat(folder.c_str(), &info) != 0)
        return;
    RecordLock lock(folder);
    if (lock.Held())
        SweepDeadRecords(folder);
}

bool ZPrintQueue::GetPrintQueues(ZList<ZPrintQueue>& list, const wchar_t* filter)
{
    list.RemoveAll();
    Destinations all;
    if (!all.Reachable())
        return false;
    for (int i = 0; i < all.count; ++i) {
        const cups_dest_t& dest = all.dests[i];
        if (dest.instance != nullptr)
            continue;  // an instance is a set of options, not a queue of its own
        auto queue = std::make_unique<ZPrintQueue>(FromUtf8(dest.name), DisplayName(dest));
        if (filter != nullptr && queue->GetID() != filter && queue->GetName() != filter)
            continue;
        list.Add(std::move(queue));
    }
    return true;
}

std::wstring ZPrintQueue::GetDefaultPrintQueue()
{
    // As lpstat -d reads it: LPDEST, then PRINTER (unless "lp"), then the
    // user's lpoptions, then the server's default. (The default marked in the
    // destination list leaves the environment out.)
    cups_dest_t* dest = cupsGetNamedDest(CUPS_HTTP_DEFAULT, nullptr, nullptr);
    const std::wstring name = dest != nullptr ? FromUtf8(dest->name) : std::wstring();
    cupsFreeDests(dest != nullptr ? 1 : 0, dest);
    return name;
}

bool ZPrintQueue::SetDefaultPrintQueue(const std::wstring& id)
{
    Destinations all;
    const std::string name = ToUtf8(id);
    bool found = false;
    for (int i = 0; i < all.count; ++i) {
        cups_dest_t& dest = all.dests[i];
        // Queue names are case-insensitive in CUPS.
        dest.is_default = dest.instance == nullptr && strcasecmp(dest.name, name.c_str()) == 0;
        found = found || dest.is_default;
    }
    // Written to the user's own settings ($HOME/.cups/lpoptions): a user may
    // always change their default, an administrator's server default is not
    // touched.
    return found && cupsSetDests2(CUPS_HTTP_DEFAULT, all.count, all.dests) == 0;
}

namespace {

/// The job's last message from the server; a message that is only the
/// filter's command line (set while it starts) says nothing.
std::string JobMessage(std::int32_t id)
{
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    const std::string uri = "ipp://localhost/jobs/" + std::to_string(id);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "job-printer-state-message");
    ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    std::string message;
    if (response != nullptr) {
        if (ipp_attribute_t* found = ippFindAttribute(response, "job-printer-state-message", IPP_TAG_TEXT))
            message = ippGetString(found, 0, nullptr);
        ippDelete(response);
    }
    if (message.find("job-uuid=") != std::string::npos)
        message.clear();
    return message;
}

}  // namespace

bool ZPrintQueue::FindJob(const std::wstring& titlePart, ZPrintJob& job)
{
    job = ZPrintJob();
    const std::string part = ToUtf8(titlePart);
    cups_job_t* jobs = nullptr;
    const int count = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, nullptr, 1, CUPS_WHICHJOBS_ALL);
    if (count < 0)
        return false;
    const cups_job_t* newest = nullptr;
    for (int i = 0; i < count; ++i) {
        if (jobs[i].title != nullptr && std::strstr(jobs[i].title, part.c_str()) != nullptr &&
            (newest == nullptr || jobs[i].id > newest->id))
            newest = &jobs[i];
    }
    if (newest != nullptr) {
        job.id = newest->id;
        job.queue = FromUtf8(newest->dest != nullptr ? newest->dest : "");
        switch (newest->state) {
        case IPP_JSTATE_PENDING:
        case IPP_JSTATE_PROCESSING:
            job.state = ZPrintJob::State::Waiting;
            break;
        case IPP_JSTATE_HELD:
        case IPP_JSTATE_STOPPED:
            job.state = ZPrintJob::State::Stopped;
            break;
        default:
            job.state = ZPrintJob::State::Ended;
            break;
        }
    }
    cupsFreeJobs(count, jobs);
    if (job.state == ZPrintJob::State::Missing)
        return true;
    job.message = JobMessage(job.id);
    if (cups_dest_t* dest = cupsGetNamedDest(CUPS_HTTP_DEFAULT, ToUtf8(job.queue).c_str(), nullptr)) {
        const char* state = cupsGetOption("printer-state", dest->num_options, dest->options);
        const char* accepting = cupsGetOption("printer-is-accepting-jobs", dest->num_options, dest->options);
        job.queuePaused = (state != nullptr && std::atoi(state) == IPP_PSTATE_STOPPED) ||
                          (accepting != nullptr && std::strcmp(accepting, "false") == 0);
        cupsFreeDests(1, dest);
    }
    return true;
}

bool ZPrintQueue::CancelJob(std::int32_t id)
{
    return cupsCancelJob2(CUPS_HTTP_DEFAULT, nullptr, id, 0) == IPP_STATUS_OK;
}

}  // namespace Quillet
