// PrivateCups: a print server of the test process's own, run under the build
// folder, with our backend and the virtual queue installed.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace QuilletTest {

/// A private cupsd listening only on a Unix socket under
/// <build>/cups-test/<pid>/, with our backend installed in its own backend
/// folder and the virtual queue set up by qvqueue. Starting it points this
/// test process (and the children it starts) at it: CUPS_SERVER names its
/// socket, HOME a private folder (the user's default queue is kept there),
/// LPDEST and PRINTER are unset. The virtual queue is set up with A5 as
/// the system's default paper (libpaper's). Nothing outside the build folder changes, except the key endpoint's
/// folder in /tmp that every capture uses.
///
/// One server per test process, started on first use and stopped when the
/// tests end. Use it from the test's main thread.
class PrivateCups {
public:
    /// The running server, started on first use; null when it cannot run
    /// here (no cupsd, not root, tools not built), with the reason in whyNot.
    static PrivateCups* Get(std::string* whyNot = nullptr);
    /// Stops the server, if started, and removes its folder.
    static void Shutdown();

    const std::string& Folder() const { return folder; }
    /// Where our backend spools jobs (set through cupsd's environment).
    std::string SpoolFolder() const { return folder + "/qvspool"; }
    std::string SocketPath() const { return folder + "/cups.sock"; }

    /// Adds or changes a queue whose device is our backend. False when
    /// lpadmin fails.
    bool AddQueue(const std::string& name, const std::string& displayName);
    /// Runs a command (argv[0] looked up in PATH) with this process's
    /// environment plus environment; its exit code (128 + s for signal s), or
    /// -1 when it could not be run or did not end within a minute.
    static int Run(const std::vector<std::wstring>& argv,
                   const std::vector<std::pair<std::wstring, std::wstring>>& environment = {});
    /// The server's error log (for diagnostics).
    std::string ErrorLog() const;

    /// The tools the tests use, from the build tree.
    static std::string BackendPath();
    static std::string QueueToolPath();
    static std::string PreviewPath();
    static std::string PpdPath();

private:
    PrivateCups() = default;
    bool Start(std::string& whyNot);
    void Stop();

    std::string folder;
    long long pid = -1;
};

}  // namespace QuilletTest

/// Skips the current test when no private print server can run here.
#define QUILLET_REQUIRE_CUPS(var)                                      \
    std::string var##WhyNot;                                           \
    ::QuilletTest::PrivateCups* var = ::QuilletTest::PrivateCups::Get(&var##WhyNot); \
    if (var == nullptr)                                                \
        GTEST_SKIP() << var##WhyNot
