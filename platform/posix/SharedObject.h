// OpenSharedObject: the create-exclusive-or-open step that SharedMemory and
// NamedMutex share, with the check of who else could change the object.
// Internal to the POSIX platform layer.
#pragma once

#include "platform/SharedScope.h"
#include "platform/TextConversion.h"

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Quillet::Platform {

/// The object's path for name: "/name" for the print path, "/name.uUID" for
/// this user's own.
inline std::string SharedObjectPath(const std::wstring& name, SharedScope scope)
{
    std::string path = "/" + ToUtf8(name);
    if (scope == SharedScope::User)
        path += ".u" + std::to_string(::geteuid());
    return path;
}

/// The print system's user and group ("lp") and the group's listed members;
/// known is false where there is none.
struct PrintSystemIds {
    bool known = false;
    uid_t user = 0;
    gid_t group = 0;
    std::vector<std::string> members;
};

inline PrintSystemIds LookUpPrintSystem()
{
    PrintSystemIds ids;
    char buffer[4096];
    passwd account {};
    passwd* foundAccount = nullptr;
    group entry {};
    group* foundGroup = nullptr;
    if (::getpwnam_r("lp", &account, buffer, sizeof buffer, &foundAccount) == 0 && foundAccount != nullptr)
        ids.user = foundAccount->pw_uid;
    else
        return ids;
    if (::getgrnam_r("lp", &entry, buffer, sizeof buffer, &foundGroup) != 0 || foundGroup == nullptr)
        return ids;
    ids.group = foundGroup->gr_gid;
    for (char** member = foundGroup->gr_mem; *member != nullptr; ++member)
        ids.members.emplace_back(*member);
    ids.known = true;
    return ids;
}

/// True when the account uid belongs to the print system's group: such an
/// owner can change an object of that group anyway.
inline bool IsPrintGroupMember(uid_t uid, const PrintSystemIds& ids)
{
    char buffer[4096];
    passwd account {};
    passwd* found = nullptr;
    if (!ids.known || ::getpwuid_r(uid, &account, buffer, sizeof buffer, &found) != 0 || found == nullptr)
        return false;
    if (found->pw_gid == ids.group)
        return true;
    for (const std::string& member : ids.members)
        if (member == found->pw_name)
            return true;
    return false;
}

/// True when this process may give an object to the print system's group:
/// the administrator, the print system's user, or a member of its group.
inline bool CanJoinPrintGroup(const PrintSystemIds& ids)
{
    const uid_t self = ::geteuid();
    if (self == 0 || self == ids.user || ::getegid() == ids.group)
        return true;
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count <= 0 || ::getgroups(count, groups.data()) != count)
        return false;
    for (gid_t gid : groups)
        if (gid == ids.group)
            return true;
    return false;
}

/// Whether nobody but the ones scope allows could change the object: its
/// owner is this user, the administrator, the print system's user or a
/// member of its group; no other user has any access; its group has access
/// only when it is the print system's. A user's own object is its own alone.
inline bool IsTrustedObject(const struct stat& status, SharedScope scope, const PrintSystemIds& ids)
{
    const uid_t self = ::geteuid();
    if (scope == SharedScope::User)
        return status.st_uid == self && (status.st_mode & 077) == 0;
    const bool owner = status.st_uid == self || status.st_uid == 0 || (ids.known && status.st_uid == ids.user) ||
                       IsPrintGroupMember(status.st_uid, ids);
    const bool group = (status.st_mode & 070) == 0 || (ids.known && status.st_gid == ids.group);
    return owner && group && (status.st_mode & 007) == 0;
}

/// Opens the shared-memory object of name and scope read-write, creating it
/// if it does not exist. `created` tells whether this call created it. A new
/// object of the print path belongs to the print system's group with mode
/// 0660 (0600 where there is no such group); a user's own has 0600. Returns
/// a close-on-exec descriptor the caller owns, or -1 with errno set: EACCES
/// when the object is refused (it is not trusted, this process may not open
/// it, or it would have to make a print-path object it cannot give to the
/// print system, which would keep the print system out for good).
inline int OpenSharedObject(const std::wstring& name, SharedScope scope, bool& created)
{
    const std::string path = SharedObjectPath(name, scope);
    const PrintSystemIds ids = scope == SharedScope::PrintPath ? LookUpPrintSystem() : PrintSystemIds();
    // A few rounds only for the case that the object is removed between our
    // exclusive create failing and our plain open.
    for (int attempt = 0; attempt < 3; ++attempt) {
        created = false;
        int fd = ::shm_open(path.c_str(), O_RDWR | O_CLOEXEC, 0);
        if (fd < 0 && errno == ENOENT) {
            if (scope == SharedScope::PrintPath && ids.known && !CanJoinPrintGroup(ids)) {
                errno = EACCES;
                return -1;
            }
            // Made for us alone first; widened to the print system's group
            // only once it is that group's.
            created = true;
            fd = ::shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd < 0 && errno == EEXIST)
                continue;  // made by another process in between: open that one
            if (fd >= 0 && scope == SharedScope::PrintPath && ids.known &&
                ::fchown(fd, static_cast<uid_t>(-1), ids.group) == 0)
                (void)::fchmod(fd, 0660);
        }
        if (fd < 0)
            return -1;
        struct stat status {};
        if (::fstat(fd, &status) != 0 || !IsTrustedObject(status, scope, ids)) {
            ::close(fd);
            errno = EACCES;
            return -1;
        }
        return fd;
    }
    return -1;
}

}  // namespace Quillet::Platform
