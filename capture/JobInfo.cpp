// JobInfo: applying the job keys and finding and opening the job's data.
#include "capture/JobInfo.h"

#include "capture/KeyValues.h"
#include "platform/ZString.h"
#include "platform/ZUtilities.h"

#include <limits>
#include <utility>

namespace Quillet {

namespace {

// The prefix of a Windows pipe name; such a name maps to a FIFO.
const std::wstring kPipePrefix = L"\\\\.\\pipe\\";

bool IsPipeName(const std::wstring& name)
{
    return name.compare(0, kPipePrefix.size(), kPipePrefix) == 0;
}

// The path printJobFile stands for: a pipe name's FIFO, or itself.
std::wstring DataSourcePath(const std::wstring& printJobFile)
{
    if (IsPipeName(printJobFile))
        return Platform::PipePath(printJobFile.substr(kPipePrefix.size()));
    return printJobFile;
}

// A value that is not a number, or out of range, yields `invalid`: a "handle"
// that does not convert must not silently become descriptor 0.
template <typename Number>
Number ConvertValue(const std::wstring& text, Number invalid)
{
    // Compared as long long: where long has 32 bits, a negative value would
    // otherwise turn into a large unsigned one and pass.
    long value = 0;
    if (!ZUtilities::ConvertTo(text, value) ||
        static_cast<long long>(value) < static_cast<long long>(std::numeric_limits<Number>::min()) ||
        static_cast<long long>(value) > static_cast<long long>(std::numeric_limits<Number>::max()))
        return invalid;
    return static_cast<Number>(value);
}

}  // namespace

bool JobInfoImpl::DuplicateFrom(std::uint32_t processId, std::int32_t handleValue)
{
    const Platform::NativeHandle duplicate = Platform::DuplicateFromProcess(processId, handleValue);
    if (duplicate == Platform::kInvalidHandle)
        return false;
    handle.Reset(duplicate);
    return true;
}

JobInfo::JobInfo(const std::wstring& params) : impl(std::make_unique<JobInfoImpl>())
{
    if (params.empty())
        return;
    Parse(params);
    if (!docName.empty())
        return;
    docName = params;
    ZString ext;
    if (ZFileName(params).ReturnExt(ext) && ext.CompareI(ZString(L"ps")))
        printJobFile = params;
}

JobInfo::~JobInfo() = default;

bool JobInfo::Parse(const std::wstring& keys)
{
    KeyValueMap values;
    ParseKeyValues(keys, values);
    const auto find = [&values](const wchar_t* key) { return values.find(key); };

    if (auto it = find(L"docname"); it != values.end())
        docName = it->second;
    if (auto it = find(L"password"); it != values.end())
        password = it->second;
    printJobFile.clear();
    if (auto it = find(L"printjobfile"); it != values.end())
        printJobFile = it->second;
    if (auto it = find(L"file"); it != values.end())
        printJobFile = it->second;
    useStandardInput = false;

    if (auto handleKey = find(L"handle"); handleKey != values.end()) {
        const auto handleValue = ConvertValue<std::int32_t>(handleKey->second, -1);
        std::uint32_t processId = ZHelper::GetThisProcessID();
        if (auto pid = find(L"pid"); pid != values.end())
            processId = ConvertValue<std::uint32_t>(pid->second, 0);
        return impl->DuplicateFrom(processId, handleValue);
    }
    if (find(L"printername") != values.end())
        useStandardInput = printJobFile.empty();
    return true;
}

void JobInfo::SetDataSource(Platform::UniqueHandle handle)
{
    impl->handle = std::move(handle);
    printJobFile.clear();
    useStandardInput = false;
}

bool JobInfo::IsDataSourceReady() const
{
    if (useStandardInput)
        return Platform::StandardInput() != Platform::kInvalidHandle;
    if (IsPipeName(printJobFile))
        return Platform::GetPathKind(DataSourcePath(printJobFile)) == Platform::PathKind::Fifo;
    const Platform::PathKind kind = Platform::GetPathKind(printJobFile);
    return kind == Platform::PathKind::File || kind == Platform::PathKind::Fifo;
}

Platform::NativeHandle JobInfo::OpenDataSource()
{
    Platform::UniqueHandle& handle = impl->handle;
    if (useStandardInput) {
        if (handle.IsValid())
            return handle.Get();
        const Platform::NativeHandle input = Platform::StandardInput();
        return input == Platform::kInvalidHandle ? Platform::kNullHandle : input;
    }
    if (handle.IsValid()) {
        // A pipe cannot be rewound; it is read on from where it stands.
        Platform::Rewind(handle.Get());
        return handle.Get();
    }
    handle.Reset(Platform::OpenForReading(DataSourcePath(printJobFile)));
    return handle.IsValid() ? handle.Get() : Platform::kNullHandle;
}

}  // namespace Quillet
