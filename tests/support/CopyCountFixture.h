// The copy counter tests' fixture: a mutex and a table of each test's own,
// its records read under the mutex, and a counter in another process.
#pragma once

#include <quillet/CopyCount.h>

#include "support/HelperProcess.h"
#include "copycount/CopyCountTable.h"
#include "platform/NamedMutex.h"
#include "platform/TextConversion.h"
#include "platform/ZUtilities.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <string>

namespace Quillet {

using namespace CopyCountShared;

inline std::int32_t Now()
{
    return static_cast<std::int32_t>(std::time(nullptr));
}

inline std::u16string StoredName(const CopyCountRecord& record)
{
    return std::u16string(record.name, std::find(record.name, record.name + 128, u'\0'));
}

/// The test binary's helper "copycount" (CopyCountTest.cpp), one command per line.
class RemoteCounter : public QuilletTest::HelperProcess {
public:
    explicit RemoteCounter(const std::string& suffix) : HelperProcess(L"copycount", {FromUtf8(suffix)}) {}

    /// Sends a command and returns its answer (empty when none came).
    std::string Call(const std::string& command) { return Send(command) ? ReadLine() : std::string(); }
};

/// Every test works on a mutex and a table of its own, which it removes at the
/// end: parallel test runs and the print path's real objects never meet.
class CopyCountTest : public testing::Test {
protected:
    void SetUp() override
    {
        static int serial = 0;
        suffix = "_test" + std::to_string(ZHelper::GetThisProcessID()) + "_" + std::to_string(++serial);
        SetNameSuffixForTests(FromUtf8(suffix));
    }

    void TearDown() override { RemoveObjectsForTests(); }

    /// A record as the counters see it: read under their mutex.
    CopyCountRecord Record(std::size_t index)
    {
        NamedMutex mutex(GetMutexName());
        MutexLock lock(mutex);
        const CopyCountRecord record = OpenTable().records[index];
        lock.Unlock();
        return record;
    }

    void SetStopTime(std::size_t index, std::int32_t stopTime)
    {
        NamedMutex mutex(GetMutexName());
        MutexLock lock(mutex);
        OpenTable().records[index].stopTime = stopTime;
        lock.Unlock();
    }

    std::string suffix;
};

}  // namespace Quillet
