// Confinement: what a child that reads untrusted content may reach, prepared
// once and applied to every child started with it; the rules for the kinds of
// child the library starts, each of which gets a PrivateFolder to write in;
// and what the system offers for all this.
#pragma once

#include "platform/PrivateFolder.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Quillet::Platform {

/// What a confined child may reach. Everything else in the file system is
/// closed to it (where the system can confine files), and no network socket
/// can be opened (where the system can block them). Asked whether a path may
/// be written (access() with W_OK), the system answers no to a confined child,
/// whatever the rules: the question is not one they govern.
struct ConfinementRules {
    /// Files and folders (with everything below) it may read, and from which
    /// it may run programs. Paths that do not exist are left out.
    std::vector<std::wstring> readable;
    /// Folders it may read, write, create entries in and delete entries from;
    /// no program there may run, and no link or device may be made there.
    /// A file here may be read and written.
    std::vector<std::wstring> writable;
    /// Put into the child's environment over the host's and the caller's:
    /// its temporary folder, its home.
    std::vector<std::pair<std::wstring, std::wstring>> environment;
    /// May open local (Unix-domain) sockets, such as the print server's.
    /// Network sockets of every kind (TCP, UDP, raw, netlink) are refused.
    bool localSockets = false;
    /// Largest file the child may write, in bytes (a longer write ends it);
    /// 0 for no bound.
    std::uint64_t maxFileBytes = 0;
    /// Most memory the child may hold in its data (heap and private
    /// mappings), in bytes; an allocation past it fails, and the child
    /// usually ends. 0 for no bound.
    std::uint64_t maxMemoryBytes = 0;
    /// Files and folders the child creates are its user's alone (no rights
    /// for group or others), whatever the host's own creation mask.
    bool privateFiles = true;
};

/// What this system can enforce. Detected once; the same for the life of
/// the process.
struct ConfinementSupport {
    /// A confined child reaches only the files of its rules.
    bool files = false;
    /// A confined child opens no network socket.
    bool network = false;
    /// One line naming the mechanisms, or why there are none.
    std::string description;
};
const ConfinementSupport& GetConfinementSupport();

/// Rules prepared for starting children: turned into what the system takes
/// (a file-access ruleset, a system-call filter, the environment) once, and
/// then applied to each child between its creation and the start of its
/// program, so that the program never runs unconfined. One object may serve
/// any number of children, also at the same time; it must live until the last
/// of them has started. Immutable after construction: any thread may use it.
/// The process that prepares it is never confined itself.
class Confinement {
public:
    /// Prepares rules. What the system does not offer is left out (see
    /// GetConfinementSupport); the private temporary folder and the
    /// environment still apply then.
    explicit Confinement(ConfinementRules rules);
    ~Confinement();
    Confinement(const Confinement&) = delete;
    Confinement& operator=(const Confinement&) = delete;

    const ConfinementRules& GetRules() const { return rules; }
    /// False when the system offers file confinement but these rules could
    /// not be prepared (the process ran out of descriptors, say): a child
    /// started with it is then refused rather than run unconfined.
    bool IsReady() const;

    /// The rules in the system's form, for ChildProcess::Spawn.
    struct Prepared;
    const Prepared& GetPrepared() const { return *prepared; }

private:
    ConfinementRules rules;
    std::unique_ptr<Prepared> prepared;
};

/// Ghostscript reading a job: it reads its program, libraries, fonts and
/// resources (the system's, and the tree below ghostscriptRoot) and the files
/// of documents; it writes only outputFolder and temporaryFolder, which is
/// given to it as its temporary folder; it opens no socket. Built once per
/// run, it may serve several Ghostscript processes that share the run's
/// output folder.
ConfinementRules GhostscriptRules(const std::wstring& ghostscriptRoot, const std::wstring& outputFolder,
                                  const std::wstring& temporaryFolder,
                                  const std::vector<std::wstring>& documents = {});

/// The office process at program, which loads the office suite whose
/// soffice is at office (links resolved) into itself and lays out documents:
/// it reads its own program's folder, the suite's installation, the system's
/// libraries, fonts and configuration; it writes only privateFolder, which
/// is its home and its temporary folder; it opens no socket of any kind. Its
/// rules are fixed when it starts, and it is kept running for documents that
/// come later: so it reads no document where it lies, only copies put into
/// privateFolder.
ConfinementRules OfficeSuiteRules(const std::wstring& program, const std::wstring& office,
                                  const std::wstring& privateFolder);

/// The preview application at program, which renders through this library:
/// it reads what Ghostscript reads, the installation below installFolder,
/// its own program, this library's installation (its folder's parent, with
/// the preference store) and the files of documents (the job); it writes only
/// outputFolder and privateFolder (its temporary folder); it may reach the
/// print server's local socket, no network.
ConfinementRules PreviewRules(const std::wstring& program, const std::wstring& installFolder,
                              const std::wstring& outputFolder, const std::wstring& privateFolder,
                              const std::vector<std::wstring>& documents = {});

/// Where the system keeps what confined children read besides their own
/// files, by the part that needs it: the OS part's knowledge of its own
/// layout, from which the rules above are built.
enum class SystemFiles {
    Common,          ///< programs, libraries, the loader's configuration, fonts, time zones, harmless devices
    Ghostscript,     ///< the system's Ghostscript configuration and resources
    OfficeSuite,     ///< the office suite's system configuration
    ProcessorCount,  ///< what a program reads to count the processors
};
std::vector<std::wstring> SystemReadable(SystemFiles part);

/// Turns confinement off for the children started from now on (they still
/// get their private folders). For benchmarks that measure its cost; a host
/// has no way to reach it.
void SetConfinementEnabled(bool enabled);

}  // namespace Quillet::Platform
