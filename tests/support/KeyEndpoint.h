// The job-key endpoint as tests drive it: a KeyAccessor serving a tag, and
// the print path's client reporting to it.
#pragma once

#include "capture/KeyAccessor.h"
#include "platform/IpcClient.h"
#include "platform/TextConversion.h"
#include "platform/ZIpcServer.h"
#include "platform/ZUtilities.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <utility>

namespace QuilletTest {

using namespace Quillet;

inline std::string Wire(const std::wstring& text)
{
    std::string bytes;
    for (char16_t unit : ToUtf16(text)) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

inline std::wstring UniqueTag(const char* what)
{
    return L"t" + std::to_wstring(ZHelper::GetThisProcessID()) + FromUtf8(what) + L".QV_PrintDirect";
}

inline const std::string kYes(1, '\x01');
inline const std::string kNo(1, '\x00');

/// Starts a KeyAccessor and waits until its server listens.
inline std::unique_ptr<KeyAccessor> StartServer(const std::wstring& tag)
{
    auto accessor = std::make_unique<KeyAccessor>(tag);
    EXPECT_TRUE(accessor->Start());
    EXPECT_TRUE(accessor->GetServer() && accessor->GetServer()->IsListening());
    return accessor;
}

inline bool WaitForEnd(KeyAccessor& accessor, std::uint32_t ms = 10000)
{
    ZSynchManager waiter;
    waiter.AddSynchObject(&accessor);
    return waiter.WaitForTrigger(false, ms) == ZBASE_OK;
}

/// Reports keys for tag through the print path's client while accessor
/// serves; returns the keys the accessor got and the client's result once
/// the engine's final reply went out.
inline std::pair<std::wstring, Platform::IpcReportResult> Report(KeyAccessor& accessor, const std::wstring& identity,
                                                          const std::wstring& keys)
{
    auto report = std::async(std::launch::async, [&] {
        return Platform::ReportJob(kJobKeyEndpoint, identity, keys, 10000, L"");
    });
    if (!WaitForEnd(accessor))
        return {L"<no end>", report.get()};
    const unsigned char yes = 1;
    EXPECT_EQ(accessor.GetServer()->Send(&yes, 1), ZBASE_OK);
    return {accessor.GetKeys(), report.get()};
}

}  // namespace QuilletTest
