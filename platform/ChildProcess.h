// ChildProcess: a child program started with given standard handles, waited
// for through its wait handle and always reaped.
#pragma once

#include "platform/Confinement.h"
#include "platform/FileHandle.h"
#include "platform/ZTypes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace Quillet::Platform {

/// How a child ended: decoded once here, so that callers never read a
/// system's conventions (such as a shell's 128 + signal) out of a number.
struct ChildEnd {
    enum class Kind {
        Exited,  ///< it ended by itself; code is its exit code
        Killed,  ///< something ended it (a signal, a kill); code is the signal
                 ///< (POSIX) or the code it was terminated with (Windows)
    };
    Kind kind = Kind::Exited;
    int code = 0;

    /// It exited with code 0.
    bool Succeeded() const { return kind == Kind::Exited && code == 0; }
    /// The system ended it for writing past its file size limit
    /// (ConfinementRules::maxFileBytes).
    bool IsFileSizeLimit() const;
    /// "exit code 3", "signal 9": how the end is named in failure reports.
    std::string Describe() const;
};

/// What a child gets beyond its standard handles and environment.
struct SpawnOptions {
    /// Put into its environment (this process's, read and never changed)
    /// over the names there.
    std::vector<std::pair<std::wstring, std::wstring>> environment;
    /// Its standard input, output and error (kInvalidHandle: the null
    /// device); it gets no other handle of this process but inherited.
    NativeHandle stdIn = kInvalidHandle;
    NativeHandle stdOut = kInvalidHandle;
    NativeHandle stdErr = kInvalidHandle;
    /// Every child is ended by the system with this process, however it ends
    /// (also when it is killed and no destructor runs), whichever thread
    /// started it and whether or not that thread still runs. Set, the system
    /// leaves it running: a program the user goes on using (a preview), or
    /// one that ends by itself when this process goes (its input closes) and
    /// must clean up first, which a kill would not let it do.
    bool outliveHost = false;
    /// Confines the child before its program starts (it never runs
    /// unconfined); the child gets the confinement's environment on top of
    /// environment. Must live until Spawn returns. One that is not ready
    /// refuses the start.
    const Confinement* confinement = nullptr;
    /// Its working folder, an open folder handle (kInvalidHandle: the
    /// parent's). Given as a handle, it is the folder that was checked, even
    /// if its name has since been made to lead elsewhere.
    NativeHandle workingFolder = kInvalidHandle;
    /// Handles it inherits, in this order; the child reaches the i-th by the
    /// name InheritedHandleName(i).
    std::vector<NativeHandle> inherited;
};

/// Owns one child process. Move-only. The destructor kills a child that still
/// runs and reaps it, so a child never outlives its owner and never stays a
/// zombie. The child is reaped through its own process handle only, never as
/// "any child", so the host's other children are left alone. One thread at a
/// time may use an object. The system also ends the child with its host
/// process when the host dies without running destructors, unless it was
/// started outliveHost (Linux: a parent-death signal from a thread that lives
/// as long as the process; Windows: a job object that kills its processes
/// when its last handle closes).
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    /// Kills and reaps the child held before (if still running), then takes
    /// other's.
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    /// Starts argv[0] (a path when it holds "/", otherwise looked up in PATH)
    /// with arguments argv, as options say. Returns the system's error when
    /// the program cannot be started (invalid_argument for an empty argv,
    /// operation_not_permitted for a confinement that is not ready); out is
    /// then empty. On success (an empty code) out holds the child (an
    /// earlier child in out is killed and reaped first).
    static std::error_code Spawn(const std::vector<std::wstring>& argv, const SpawnOptions& options,
                                 ChildProcess& out);

    /// The name by which a child opens the i-th of its SpawnOptions::inherited
    /// handles (a file opened by that name is the handle's file, read from
    /// its start).
    static std::wstring InheritedHandleName(std::size_t i);

    /// The program Spawn starts for name: name itself when it holds "/",
    /// otherwise the first executable file of that name in PATH; with links
    /// resolved. Empty when there is none.
    static std::wstring FindProgram(const std::wstring& name);

    /// True when this object holds a child (running or ended).
    bool IsValid() const { return handle.IsValid(); }
    /// Readable once the child has ended; kInvalidHandle when empty.
    NativeHandle GetWaitHandle() const { return handle.Get(); }
    /// The child's process id (-1 when empty), for diagnostics and tests.
    std::int64_t GetProcessId() const { return processId; }

    /// Bytes of files the child holds open that no name reaches any more (it
    /// removed them after opening): disk that no folder listing shows, and
    /// that is freed only when the child closes them or ends. 0 when empty,
    /// ended, or when the system does not say.
    std::uint64_t GetUnlinkedOpenBytes() const;
    /// Bytes of memory the child has taken for its data (heap and private
    /// writable mappings: what ConfinementRules::maxMemoryBytes bounds).
    /// 0 when empty, ended, or when the system does not say.
    std::uint64_t GetDataBytes() const;

    /// Never waits. The child's end once it has ended (0 exited when the
    /// end was taken by someone else, e.g. a host that ignores child
    /// signals); nothing while it runs or when the object is empty. The
    /// child is reaped by the first call that sees it ended; later calls
    /// give the same end.
    std::optional<ChildEnd> TryGetEnd();
    /// Waits at most timeoutMs (negative: no bound) for the child's end, as
    /// TryGetEnd gives it; nothing on time-out or when the object is empty.
    std::optional<ChildEnd> Wait(int timeoutMs);
    /// Ends the child forcibly (it cannot refuse); does not wait or reap. Does
    /// nothing when the child has already been reaped or the object is empty.
    void Kill();

private:
    void Release() noexcept;
    /// Spawn's work; false with the system's error left for LastError.
    static bool Start(const std::vector<std::wstring>& argv, const SpawnOptions& options, ChildProcess& out);
    /// Takes our new, unreaped child pid into out through a pidfd; kills and
    /// reaps it when no pidfd can be had.
    static bool Adopt(std::int64_t pid, ChildProcess& out);

    UniqueHandle handle;          // the child's process handle
    UniqueHandle job;             // Windows: the job object whose closing ends the child
    std::int64_t processId = -1;
    bool reaped = false;
    ChildEnd end;
};

}  // namespace Quillet::Platform
