// Confinement on Linux: Landlock for files (and TCP, from its fourth ABI), a
// seccomp filter for every other kind of socket, for io_uring and for write
// checks by access(), resource limits, and where this system keeps what
// confined children read.
//
// Landlock's ABI is asked of the kernel at run time; the system header of an
// older distribution knows only the first ABIs, so the later constants are
// defined here. A ruleset is built once per Confinement from paths opened in
// the parent; each child applies it with landlock_restrict_self after fork,
// where only system calls are made (ConfinedChild.h).
#include "platform/Confinement.h"

#include "platform/posix/Internal.h"

#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZUtilities.h"
#include "platform/linux/ConfinedChild.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Quillet::Platform {

namespace {

// System call numbers, the same on every architecture that has them.
#ifndef SYS_landlock_create_ruleset
constexpr long SYS_landlock_create_ruleset = 444;
constexpr long SYS_landlock_add_rule = 445;
constexpr long SYS_landlock_restrict_self = 446;
#endif

// Landlock's interface, by ABI version.
constexpr std::uint32_t kCreateRulesetVersion = 1U << 0;
constexpr int kRulePathBeneath = 1;

// File-system rights: ABI 1 knows bits 0 to 12, ABI 2 adds refer, 3
// truncate, 5 device ioctls.
enum : std::uint64_t {
    kFsExecute = 1ULL << 0, kFsWriteFile = 1ULL << 1, kFsReadFile = 1ULL << 2, kFsReadDir = 1ULL << 3,
    kFsRemoveDir = 1ULL << 4, kFsRemoveFile = 1ULL << 5, kFsMakeChar = 1ULL << 6, kFsMakeDir = 1ULL << 7,
    kFsMakeReg = 1ULL << 8, kFsMakeSock = 1ULL << 9, kFsMakeFifo = 1ULL << 10, kFsMakeBlock = 1ULL << 11,
    kFsMakeSym = 1ULL << 12, kFsRefer = 1ULL << 13, kFsTruncate = 1ULL << 14, kFsIoctlDev = 1ULL << 15,
};
// TCP (ABI 4) and the scopes (ABI 6).
enum : std::uint64_t { kNetBindTcp = 1ULL << 0, kNetConnectTcp = 1ULL << 1 };
enum : std::uint64_t { kScopeAbstractUnixSocket = 1ULL << 0, kScopeSignal = 1ULL << 1 };

// The rights that apply to a file (the others only make sense on folders).
constexpr std::uint64_t kFileRights = kFsExecute | kFsWriteFile | kFsReadFile | kFsTruncate | kFsIoctlDev;
constexpr std::uint64_t kReadRights = kFsExecute | kFsReadFile | kFsReadDir;
// No program may run from a writable folder, and no device, link or symbolic
// link may be made there (a device node would open the disk beneath).
constexpr std::uint64_t kWriteRights = kFsReadFile | kFsReadDir | kFsWriteFile | kFsTruncate | kFsRemoveDir |
                                       kFsRemoveFile | kFsMakeDir | kFsMakeReg | kFsMakeSock | kFsMakeFifo |
                                       kFsRefer;

// struct landlock_ruleset_attr as of ABI 6. The kernel takes a shorter one
// from older ABIs, and a longer one as long as the fields it does not know
// are zero.
struct RulesetAttr {
    std::uint64_t handledAccessFs;
    std::uint64_t handledAccessNet;
    std::uint64_t scoped;
};

struct __attribute__((packed)) PathBeneathAttr {
    std::uint64_t allowedAccess;
    std::int32_t parentFd;
};

int LandlockAbi()
{
    const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, kCreateRulesetVersion);
    return abi > 0 ? static_cast<int>(abi) : 0;
}

// The file-system rights the running kernel's Landlock knows.
std::uint64_t HandledFs(int abi)
{
    std::uint64_t rights = (kFsMakeSym << 1) - 1;  // ABI 1: bits 0 to 12
    if (abi >= 2)
        rights |= kFsRefer;
    if (abi >= 3)
        rights |= kFsTruncate;
    if (abi >= 5)
        rights |= kFsIoctlDev;
    return rights;
}

// The architecture a filter is written for; 0 where none is.
#if defined(__x86_64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#else
constexpr std::uint32_t kAuditArch = 0;
#endif

bool SeccompFilters()
{
    if (kAuditArch == 0)
        return false;
    // Asks whether the kernel has filters, without installing one.
    std::uint32_t action = SECCOMP_RET_ERRNO;
    return ::syscall(SYS_seccomp, SECCOMP_GET_ACTION_AVAIL, 0, &action) == 0;
}

/// A BPF program in the making, with jumps to named places resolved at the end.
class FilterBuilder {
public:
    void Statement(std::uint16_t code, std::uint32_t k) { program.push_back(BPF_STMT(code, k)); }
    /// A conditional jump: to onTrue when the accumulator equals k (with code
    /// BPF_JEQ), is at least k (BPF_JGE) or has a bit of k set (BPF_JSET),
    /// else on to the next instruction.
    void JumpIf(std::uint16_t code, std::uint32_t k, int onTrue)
    {
        fixups.push_back({program.size(), onTrue});
        program.push_back(BPF_JUMP(BPF_JMP | code | BPF_K, k, 0, 0));
    }
    void Place(int label) { labels[label] = program.size(); }
    std::vector<sock_filter> Finish()
    {
        for (const auto& [at, label] : fixups)
            program[at].jt = static_cast<std::uint8_t>(labels[label] - at - 1);
        return program;
    }

private:
    std::vector<sock_filter> program;
    std::vector<std::pair<std::size_t, int>> fixups;
    std::size_t labels[16] = {};
};

// Refuses every socket that is not a local one (or every socket at all), and
// io_uring, through which sockets could be opened past the filter. Calls of
// another architecture's system-call table (x86-64's x32 and i386 entries,
// where the socket calls have other numbers) are refused as a whole. Asked
// by access() whether a path may be written, it answers no: the file rules
// do not govern that question, so a program that picks a folder by asking
// would otherwise pick one it cannot write to.
std::vector<sock_filter> SocketFilter(bool localSockets)
{
    // Jumps go forward only.
    enum { kArchKnown, kLocal, kNoSys, kNoPerm, kFamily, kAccessMode1, kAccessMode2, kNoAccessW };
    const std::uint32_t familyOffset =
        offsetof(seccomp_data, args[0]) + (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0);
    FilterBuilder f;
    f.Statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch));
    f.JumpIf(BPF_JEQ, kAuditArch, kArchKnown);
    f.Statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS);
    f.Place(kArchKnown);
    f.Statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr));
#if defined(__x86_64__)
    f.JumpIf(BPF_JGE, 0x40000000U /* __X32_SYSCALL_BIT */, kNoSys);
#endif
    f.JumpIf(BPF_JEQ, SYS_socket, kFamily);
    f.JumpIf(BPF_JEQ, SYS_socketpair, kFamily);
    f.JumpIf(BPF_JEQ, SYS_io_uring_setup, kNoPerm);
    f.JumpIf(BPF_JEQ, SYS_io_uring_enter, kNoPerm);
    f.JumpIf(BPF_JEQ, SYS_io_uring_register, kNoPerm);
#ifdef SYS_access
    f.JumpIf(BPF_JEQ, SYS_access, kAccessMode1);
#endif
    f.JumpIf(BPF_JEQ, SYS_faccessat, kAccessMode2);
#ifdef SYS_faccessat2
    f.JumpIf(BPF_JEQ, SYS_faccessat2, kAccessMode2);
#endif
    f.Statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    f.Place(kAccessMode1);
    f.Statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1]));
    f.JumpIf(BPF_JSET, W_OK, kNoAccessW);
    f.Statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    f.Place(kAccessMode2);
    f.Statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2]));
    f.JumpIf(BPF_JSET, W_OK, kNoAccessW);
    f.Statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    f.Place(kNoAccessW);
    f.Statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EACCES);
    f.Place(kFamily);
    f.Statement(BPF_LD | BPF_W | BPF_ABS, familyOffset);
    if (localSockets)
        f.JumpIf(BPF_JEQ, AF_UNIX, kLocal);
    f.Statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EACCES);
    f.Place(kLocal);
    f.Statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    f.Place(kNoSys);
    f.Statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS);
    f.Place(kNoPerm);
    f.Statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM);
    return f.Finish();
}

std::atomic<bool> confinementEnabled{true};

// Adds one path to a ruleset with rights, cut down to what applies to a file
// when it is one. A path that does not exist is left out; false on any other
// failure.
bool AddPath(int ruleset, const std::wstring& path, std::uint64_t rights, std::uint64_t handled)
{
    const std::string native = ToUtf8(path);
    if (native.empty() || native.find('\0') != std::string::npos)
        return true;
    const int fd = ::open(native.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR || errno == EACCES;
    UniqueHandle owner(HandleOf(fd));
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return false;
    PathBeneathAttr rule{};
    rule.allowedAccess = rights & handled & (S_ISDIR(info.st_mode) ? ~0ULL : kFileRights);
    rule.parentFd = fd;
    if (rule.allowedAccess == 0)
        return true;
    return ::syscall(SYS_landlock_add_rule, ruleset, kRulePathBeneath, &rule, 0) == 0;
}

}  // namespace

const ConfinementSupport& GetConfinementSupport()
{
    static const ConfinementSupport support = [] {
        ConfinementSupport s;
        const int abi = LandlockAbi();
        s.files = abi > 0;
        s.network = SeccompFilters();
        std::string files = s.files ? "files: Landlock ABI " + std::to_string(abi)
                                    : "files: not confined (the kernel has no Landlock)";
        std::string network = s.network ? "network: seccomp filter" + std::string(abi >= 4 ? " and Landlock" : "")
                                        : "network: not blocked (the kernel has no seccomp filters)";
        s.description = files + "; " + network;
        return s;
    }();
    return support;
}

Confinement::Confinement(ConfinementRules rulesIn) : rules(std::move(rulesIn)), prepared(std::make_unique<Prepared>())
{
    Prepared& p = *prepared;
    p.maxFileBytes = rules.maxFileBytes;
    p.maxMemoryBytes = rules.maxMemoryBytes;
    p.privateFiles = rules.privateFiles;
    if (!confinementEnabled)
        return;
    p.confined = true;
    const ConfinementSupport& support = GetConfinementSupport();
    if (support.network)
        p.filter = SocketFilter(rules.localSockets);
    if (!support.files)
        return;
    const int abi = LandlockAbi();
    RulesetAttr attr{};
    attr.handledAccessFs = HandledFs(abi);
    if (abi >= 4)
        attr.handledAccessNet = kNetBindTcp | kNetConnectTcp;  // and no port is allowed
    if (abi >= 6)
        attr.scoped = kScopeAbstractUnixSocket | kScopeSignal;
    const long fd = ::syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0);
    if (fd < 0) {
        p.failed = true;
        return;
    }
    // Kept off 0 to 2: the child puts its standard handles there before it
    // applies the ruleset.
    int kept = static_cast<int>(fd);
    if (kept <= 2) {
        kept = ::fcntl(kept, F_DUPFD_CLOEXEC, 3);
        ::close(static_cast<int>(fd));
    }
    p.ruleset.Reset(HandleOf(kept));
    bool good = kept >= 0;
    for (const std::wstring& path : rules.readable)
        good = good && AddPath(kept, path, kReadRights, attr.handledAccessFs);
    for (const std::wstring& path : rules.writable)
        good = good && AddPath(kept, path, kWriteRights, attr.handledAccessFs);
    // Standard handles given the null device are opened before the ruleset
    // applies; a program that opens it itself may write to it too.
    good = good && AddPath(kept, L"/dev/null", kFsReadFile | kFsWriteFile, attr.handledAccessFs);
    p.failed = !good;
}

Confinement::~Confinement() = default;

bool Confinement::IsReady() const
{
    return !prepared->failed;
}

std::vector<std::wstring> SystemReadable(SystemFiles part)
{
    switch (part) {
    case SystemFiles::Common:
        return {
            L"/usr", L"/lib", L"/lib32", L"/lib64", L"/libx32", L"/bin", L"/sbin",
            L"/etc/ld.so.cache", L"/etc/localtime", L"/etc/locale.alias", L"/etc/papersize", L"/etc/fonts",
            L"/var/cache/fontconfig", L"/dev/urandom", L"/dev/random", L"/dev/zero",
        };
    case SystemFiles::Ghostscript:
        return {L"/etc/ghostscript", L"/var/lib/ghostscript"};
    case SystemFiles::OfficeSuite:
        return {L"/etc/libreoffice", L"/var/lib/libreoffice", L"/var/spool/libreoffice"};
    case SystemFiles::ProcessorCount:
        return {L"/proc/stat", L"/sys/devices/system/cpu"};
    }
    return {};
}

int ApplyConfinement(const Confinement::Prepared& p) noexcept
{
    // The bounds hold whether or not the system confines files: a killed
    // child leaves no core file in the host's folder; a child that writes
    // past its bound is ended by the system, and one that allocates past its
    // memory bound is refused the memory. RLIMIT_DATA rather than
    // RLIMIT_AS: it counts what a child fills (heap, private writable
    // mappings), not the address space it reserves, which the office suite
    // reserves by the gigabyte and never uses.
    const rlimit noCore{0, 0};
    if (::setrlimit(RLIMIT_CORE, &noCore) != 0)
        return errno;
    if (p.maxFileBytes > 0) {
        const rlimit fileSize{p.maxFileBytes, p.maxFileBytes};
        if (::setrlimit(RLIMIT_FSIZE, &fileSize) != 0)
            return errno;
    }
    if (p.maxMemoryBytes > 0) {
        const rlimit memory{p.maxMemoryBytes, p.maxMemoryBytes};
        if (::setrlimit(RLIMIT_DATA, &memory) != 0)
            return errno;
    }
    if (p.privateFiles)
        ::umask(077);
    if (!p.confined)
        return 0;
    if (p.failed)
        return EPERM;
    // Both the ruleset and the filter need it; it also keeps set-id programs
    // from gaining rights.
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return errno;
    if (p.ruleset.IsValid() &&
        ::syscall(SYS_landlock_restrict_self, Fd(p.ruleset.Get()), 0) != 0)
        return errno;
    if (!p.filter.empty()) {
        sock_fprog program{static_cast<unsigned short>(p.filter.size()),
                           const_cast<sock_filter*>(p.filter.data())};
        if (::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) != 0)
            return errno;
    }
    return 0;
}

void SetConfinementEnabled(bool enabled)
{
    confinementEnabled = enabled;
}

}  // namespace Quillet::Platform
