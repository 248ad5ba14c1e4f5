// IRIPStatus, why a service's last start or run failed; RIPStage, RIPFailure
// and the accessor GetRIPStatus.
#pragma once

#include <quillet/Export.h>

#include <cstdint>
#include <string>

namespace Quillet {

class IRIPBase;

/// The step of a job that failed.
enum RIPStage : std::int32_t {
    RIP_STAGE_NONE = 0,     ///< nothing failed: the last start and its run went well, or none was made
    RIP_STAGE_CAPTURE = 1,  ///< the document could not be printed to the virtual queue, or its job never came
    RIP_STAGE_START = 2,    ///< the run could not begin: no job data, no output folder, no renderer
    RIP_STAGE_RENDER = 3,   ///< the renderer failed while it ran
    RIP_STAGE_STOP = 4,     ///< a stop had to kill the renderer
};

/// One failure, as GetLastFailure reports it.
struct RIPFailure {
    RIPStage stage = RIP_STAGE_NONE;
    /// One line of English naming the cause, for example "PostScript error
    /// /undefined in nosuchop after 2 pages (Ghostscript exit code 1)" or
    /// "the print queue QV_Page_Glance is not installed". Bytes that are not
    /// UTF-8 come out as U+FFFD.
    std::wstring reason;
    /// The last part (at most 4 KiB of UTF-8) of Ghostscript's own report of
    /// the run: its standard error and the error lines of its standard output.
    /// Empty when Ghostscript said nothing or did not run.
    std::wstring report;
};

/// The failure record of a service, reached with GetRIPStatus.
///
/// The service implements it; it lives and dies with the service (do not use
/// it after Release, and never delete it). Any thread may call it, also while
/// a run goes on and from a page callback.
class QUILLET_API IRIPStatus {
public:
    /// Fills failure with why the last StartRIP or StartPreview, or the run it
    /// started, failed, and returns true; returns false and leaves failure
    /// with stage RIP_STAGE_NONE and empty texts when nothing failed. Each
    /// start clears the record first. While a run goes on, a render failure
    /// may be recorded before GetPageCount turns to -1; GetPageCount stays the
    /// word on whether the run is over.
    virtual bool GetLastFailure(RIPFailure& failure) = 0;

protected:
    IRIPStatus() = default;
    virtual ~IRIPStatus();
    IRIPStatus(const IRIPStatus&) = delete;
    IRIPStatus& operator=(const IRIPStatus&) = delete;
};

/// The failure record of service, one of the library's own services (made by
/// CreateRIPService); null for a null pointer or any other object. Use this
/// instead of a cast: the service's own class is not visible to hosts.
QUILLET_API IRIPStatus* GetRIPStatus(IRIPBase* service);

/// How the programs that read documents (Ghostscript, the office suite, the
/// preview application) are confined on this system; bits that add up.
/// Whatever the system offers, each run of them gets a private temporary
/// folder of its own, and the host's own process is never confined.
enum RIPConfinement : std::int32_t {
    RIP_CONFINEMENT_NONE = 0,     ///< the system offers nothing: they run with the host user's rights
    RIP_CONFINEMENT_FILES = 1,    ///< they read and write only what their run needs
    RIP_CONFINEMENT_NETWORK = 2,  ///< they open no network socket
    RIP_CONFINEMENT_FULL = 3,     ///< both
};

/// The confinement this system gives the programs that read documents, the
/// same for the life of the process. description, when given, gets one line
/// naming the mechanisms or why one is missing, for example "files: Landlock
/// ABI 7; network: seccomp filter and Landlock". Never fails.
QUILLET_API RIPConfinement GetRIPConfinement(std::wstring* description = nullptr);

}  // namespace Quillet
