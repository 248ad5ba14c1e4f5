// OpenSharedBlock: a named shared block that anybody may change, as another
// user or an older version could leave one. One implementation per system
// (support/posix/, support/win32/).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace QuilletTest {

class OpenSharedBlock {
public:
    /// Makes the block name of the print path's scope, of size bytes, with
    /// every access for everyone (POSIX: mode 0666; Windows: no DACL).
    OpenSharedBlock(const std::wstring& name, std::size_t size);
    /// Removes it (POSIX) or lets go of it (Windows).
    ~OpenSharedBlock();
    OpenSharedBlock(const OpenSharedBlock&) = delete;
    OpenSharedBlock& operator=(const OpenSharedBlock&) = delete;

    bool IsPlanted() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace QuilletTest
