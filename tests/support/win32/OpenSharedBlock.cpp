// OpenSharedBlock on Windows: a section of the paging file with a null DACL,
// held open (a section lasts while a handle does).
#include <windows.h>

#include "support/OpenSharedBlock.h"

namespace QuilletTest {

struct OpenSharedBlock::Impl {
    HANDLE section = nullptr;
};

OpenSharedBlock::OpenSharedBlock(const std::wstring& name, std::size_t size) : impl(std::make_unique<Impl>())
{
    SECURITY_DESCRIPTOR descriptor;
    if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE))
        return;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    impl->section = ::CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                         static_cast<DWORD>(size), name.c_str());
    if (impl->section != nullptr && ::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(impl->section);
        impl->section = nullptr;
    }
}

OpenSharedBlock::~OpenSharedBlock()
{
    if (impl->section != nullptr)
        ::CloseHandle(impl->section);
}

bool OpenSharedBlock::IsPlanted() const
{
    return impl->section != nullptr;
}

}  // namespace QuilletTest
