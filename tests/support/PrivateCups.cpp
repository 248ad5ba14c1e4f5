// PrivateCups: starts and stops the test process's own cupsd.
#include "support/PrivateCups.h"
#include "support/Files.h"

#include "platform/ChildProcess.h"
#include "platform/TextConversion.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Quillet::FromUtf8;
using Quillet::Platform::ChildProcess;

namespace QuilletTest {

namespace {

std::unique_ptr<PrivateCups> instance;
std::unique_ptr<ChildProcess> daemon;
std::string failure;  // why the server could not be started, kept for later tests

bool CanConnect(const std::string& socketPath)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// Servers of test processes that died without stopping theirs.
void RemoveAbandoned(const fs::path& root)
{
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(root, error)) {
        const long owner = std::atol(entry.path().filename().c_str());
        if (owner <= 0 || ::kill(static_cast<pid_t>(owner), 0) == 0 || errno != ESRCH)
            continue;
        const long server = std::atol(ReadWholeFile((entry.path() / "cupsd.pid").string()).c_str());
        if (server > 0)
            ::kill(static_cast<pid_t>(server), SIGTERM);
        fs::remove_all(entry.path(), error);
    }
}

// Stops the server when the tests end, also when a test failed.
class StopAtEnd : public testing::Environment {
public:
    void TearDown() override { PrivateCups::Shutdown(); }
};
[[maybe_unused]] testing::Environment* const stopAtEnd =
    testing::AddGlobalTestEnvironment(new StopAtEnd);

}  // namespace

std::string PrivateCups::BackendPath()
{
    return QUILLET_BINARY_DIR "/libexec/quillet/cups/backend/qvbackend";
}

std::string PrivateCups::QueueToolPath()
{
    return QUILLET_BINARY_DIR "/bin/qvqueue";
}

std::string PrivateCups::PreviewPath()
{
    return QUILLET_BINARY_DIR "/libexec/quillet/QVPageGlance";
}

std::string PrivateCups::PpdPath()
{
    return QUILLET_SOURCE_DIR "/data/QVPageGlance.ppd";
}

PrivateCups* PrivateCups::Get(std::string* whyNot)
{
    if (!instance && failure.empty()) {
        std::unique_ptr<PrivateCups> server(new PrivateCups);
        if (server->Start(failure))
            instance = std::move(server);
        else if (failure.empty())
            failure = "the private print server did not start";
    }
    if (!instance && whyNot != nullptr)
        *whyNot = failure;
    return instance.get();
}

void PrivateCups::Shutdown()
{
    if (instance)
        instance->Stop();
    instance.reset();
}

int PrivateCups::Run(const std::vector<std::wstring>& argv,
                     const std::vector<std::pair<std::wstring, std::wstring>>& environment)
{
    ChildProcess child;
    Quillet::Platform::SpawnOptions options;
    options.environment = environment;
    if (ChildProcess::Spawn(argv, options, child))
        return -1;
    const auto end = child.Wait(60000);
    if (!end)
        return -1;
    return end->kind == Quillet::Platform::ChildEnd::Kind::Exited ? end->code : 128 + end->code;
}

bool PrivateCups::Start(std::string& whyNot)
{
    const char* cupsd = "/usr/sbin/cupsd";
    if (::access(cupsd, X_OK) != 0) {
        whyNot = "cupsd is not installed";
        return false;
    }
    if (::geteuid() != 0) {
        whyNot = "cupsd runs our backend only when it is owned by root";
        return false;
    }
    for (const std::string& tool : {BackendPath(), QueueToolPath()}) {
        if (::access(tool.c_str(), X_OK) != 0) {
            whyNot = tool + " is not built";
            return false;
        }
    }
    const fs::path root = fs::path(QUILLET_BINARY_DIR) / "cups-test";
    fs::create_directories(root);
    RemoveAbandoned(root);
    const fs::path dir = root / std::to_string(::getpid());
    std::error_code error;
    fs::remove_all(dir, error);
    folder = dir.string();
    for (const char* sub : {"spool", "tmp", "cache", "state", "log", "home", "bin/backend", "qvspool"})
        fs::create_directories(dir / sub);
    // The filters run as the print system's user: they write temporary files
    // and must reach their folders.
    fs::permissions(dir / "tmp", fs::perms::all | fs::perms::sticky_bit, error);
    for (fs::path p = dir; p != p.root_path(); p = p.parent_path())
        fs::permissions(p, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add, error);
    // Our ServerBin: the system's programs, and a backend folder holding only ours.
    for (const char* sub : {"filter", "daemon", "cgi-bin", "monitor", "notifier", "driver"})
        if (fs::exists(fs::path("/usr/lib/cups") / sub))
            fs::create_directory_symlink(fs::path("/usr/lib/cups") / sub, dir / "bin" / sub, error);
    const fs::path backend = dir / "bin/backend/qvbackend";
    fs::copy_file(BackendPath(), backend, fs::copy_options::overwrite_existing, error);
    // Root-owned, mode 0700: cupsd runs it as root and refuses it when others may write it.
    fs::permissions(backend, fs::perms::owner_all, error);

    WriteWholeFile(folder + "/cups-files.conf",
              "ServerRoot " + folder + "\n"
              "RequestRoot " + folder + "/spool\n"
              "TempDir " + folder + "/tmp\n"
              "CacheDir " + folder + "/cache\n"
              "StateDir " + folder + "/state\n"
              "ServerBin " + folder + "/bin\n"
              "AccessLog " + folder + "/log/access_log\n"
              "ErrorLog " + folder + "/log/error_log\n"
              "PageLog " + folder + "/log/page_log\n"
              "Printcap " + folder + "/printcap\n"
              "SetEnv QUILLET_SPOOL " + folder + "/qvspool\n"
              "FileDevice No\nSystemGroup root\n");
    WriteWholeFile(folder + "/cupsd.conf",
              "Listen " + folder + "/cups.sock\n"
              "LogLevel info\nMaxLogSize 0\n"
              "ErrorPolicy abort-job\nDirtyCleanInterval 0\n"
              "Browsing No\nDefaultShared No\nWebInterface No\n"
              "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
              "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n");

    daemon = std::make_unique<ChildProcess>();
    if (ChildProcess::Spawn({FromUtf8(cupsd), L"-f", L"-c", FromUtf8(folder + "/cupsd.conf"), L"-s",
                              FromUtf8(folder + "/cups-files.conf")},
                             {}, *daemon)) {
        whyNot = "cupsd could not be started";
        return false;
    }
    pid = daemon->GetProcessId();
    WriteWholeFile(folder + "/cupsd.pid", std::to_string(pid));
    Eventually([&] { return daemon->TryGetEnd() || CanConnect(SocketPath()); }, 5000);
    if (!CanConnect(SocketPath())) {
        whyNot = "cupsd did not come up: " + ErrorLog();
        Stop();
        return false;
    }

    // From here on this process and its children talk to our server only.
    ::setenv("CUPS_SERVER", SocketPath().c_str(), 1);
    ::setenv("HOME", (folder + "/home").c_str(), 1);
    ::unsetenv("LPDEST");
    ::unsetenv("PRINTER");

    // The system's default paper, as libpaper gives it to the queue's set-up:
    // A5, which neither Letter nor the machine's own default is likely to be.
    const int code = Run({FromUtf8(QueueToolPath()), L"--ppd", FromUtf8(PpdPath())}, {{L"PAPERSIZE", L"a5"}});
    if (code != 0) {
        whyNot = "qvqueue failed with " + std::to_string(code) + ": " + ErrorLog();
        Stop();
        return false;
    }
    return true;
}

void PrivateCups::Stop()
{
    if (daemon) {
        if (pid > 0)
            ::kill(static_cast<pid_t>(pid), SIGTERM);
        if (!daemon->Wait(10000))
            daemon->Kill();
        daemon.reset();
    }
    pid = -1;
    if (!folder.empty()) {
        std::error_code error;
        fs::remove_all(folder, error);
        folder.clear();
    }
}

bool PrivateCups::AddQueue(const std::string& name, const std::string& displayName)
{
    return Run({L"lpadmin", L"-p", FromUtf8(name), L"-E", L"-v", L"qvbackend:/", L"-P",
                FromUtf8(PpdPath()), L"-D", FromUtf8(displayName)}) == 0;
}

std::string PrivateCups::ErrorLog() const
{
    return ReadWholeFile(folder + "/log/error_log");
}

}  // namespace QuilletTest
