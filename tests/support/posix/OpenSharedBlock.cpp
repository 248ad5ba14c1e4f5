// OpenSharedBlock on POSIX: a shared-memory object of mode 0666.
#include "support/OpenSharedBlock.h"

#include "platform/TextConversion.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace QuilletTest {

struct OpenSharedBlock::Impl {
    std::string path;
    bool planted = false;
};

OpenSharedBlock::OpenSharedBlock(const std::wstring& name, std::size_t size) : impl(std::make_unique<Impl>())
{
    impl->path = "/" + Quillet::ToUtf8(name);
    const int fd = ::shm_open(impl->path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    impl->planted = ::ftruncate(fd, static_cast<off_t>(size)) == 0 && ::fchmod(fd, 0666) == 0;
    ::close(fd);
}

OpenSharedBlock::~OpenSharedBlock()
{
    ::shm_unlink(impl->path.c_str());
}

bool OpenSharedBlock::IsPlanted() const
{
    return impl->planted;
}

}  // namespace QuilletTest
