// CopyCount: named copy counters shared by the processes of the print path.
#include <quillet/CopyCount.h>

#include "copycount/CopyCountTable.h"
#include "platform/NamedMutex.h"
#include "platform/SharedMemory.h"
#include "platform/TextConversion.h"
#include "platform/ZUtilities.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <ctime>
#include <stdexcept>

namespace Quillet {
namespace {

using namespace CopyCountShared;

constexpr std::int32_t kGraceSeconds = 5;
// A constructor that finds no free record looks again this often, and gives
// up after kClaimWait: long enough for a grace period to run out, so that a
// table full of recently finished counters only delays a new name.
constexpr std::uint32_t kClaimRetryMs = 250;
constexpr auto kClaimWait = std::chrono::milliseconds(10000);
constexpr std::uint32_t kCountPollMs = 5000;

/// What the objects of one counter (an object and its copies) share: the
/// mutex handle and the mark that tells every process the record is bound.
struct Binding {
    Binding(const std::wstring& mutexName, Platform::SharedScope scope) : mutex(mutexName, scope) {}
    NamedMutex mutex;
    Platform::SharedMark mark;
};

std::size_t OffsetOf(const CopyCountTable& table, const CopyCountRecord& record)
{
    return reinterpret_cast<const unsigned char*>(&record) - reinterpret_cast<const unsigned char*>(&table);
}

std::int32_t Now()
{
    return static_cast<std::int32_t>(std::time(nullptr));
}

bool IsHighSurrogate(char16_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsLowSurrogate(char16_t unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

/// A counter's name as the table holds it. A name is a C string to every
/// process of the print path, so an embedded NUL ends it.
std::u16string TableKey(const std::wstring& name)
{
    return ToUtf16(name.substr(0, name.find(L'\0')));
}

/// The stored name's length, bounded by the field: a record left without its
/// NUL (by a process that died while writing it) is read as 128 units.
std::size_t StoredLength(const CopyCountRecord& record)
{
    const char16_t* end = std::find(record.name, record.name + 128, u'\0');
    return static_cast<std::size_t>(end - record.name);
}

bool HasName(const CopyCountRecord& record, const std::u16string& key)
{
    return StoredLength(record) == key.size() && std::equal(key.begin(), key.end(), record.name);
}

/// Stores at most 127 units and clears the rest of the field. A cut that would
/// fall between the two halves of a surrogate pair drops the whole pair, so
/// the stored name is always well-formed where the given one was.
void WriteName(CopyCountRecord& record, const std::u16string& key)
{
    std::size_t length = std::min(key.size(), kMaxNameUnits);
    if (length < key.size() && length > 0 && IsHighSurrogate(key[length - 1]) &&
        IsLowSurrogate(key[length]))
        --length;
    std::fill(std::copy(key.begin(), key.begin() + static_cast<std::ptrdiff_t>(length), record.name),
              record.name + 128, u'\0');
}

/// A record still counting whose starting thread no longer exists (its
/// process died, or the thread ended without a stop) counts as stopped: no one
/// is left to stop it, and nobody may wait for it for ever.
bool IsCounting(const CopyCountRecord& record)
{
    return record.stopTime == kCounting &&
           (record.threadId == 0 || ZUtilities::IsThreadAlive(record.threadId));
}

/// A record whose counting is over: idle, past its grace period, or left by a
/// dead starter.
bool IsClaimable(const CopyCountRecord& record, std::int32_t now)
{
    return !IsCounting(record) && (record.stopTime == kCounting || record.stopTime < now);
}

/// The record of key, else the first claimable one that no live counter is
/// bound to, claimed for key; null when there is none. A live counter's
/// record is never taken over: two names would count into one record.
CopyCountRecord* FindOrClaim(CopyCountTable& table, const std::u16string& key, const Platform::SharedMark& mark)
{
    for (CopyCountRecord& record : table.records) {
        if (HasName(record, key))
            return &record;
    }
    const std::int32_t now = Now();
    for (CopyCountRecord& record : table.records) {
        if (IsClaimable(record, now) && !mark.IsHeldByOthers(OffsetOf(table, record))) {
            WriteName(record, key);
            record.copies = 0;
            record.stopTime = kIdle;
            return &record;
        }
    }
    return nullptr;
}

}  // namespace

CopyCount* CopyCount::Create(const std::wstring& name)
{
    return new CopyCount(name);
}

CopyCount::CopyCount(const std::wstring& name) : record(nullptr)
{
    // The copies share the binding through the mutex pointer, which points
    // into it: the mark lasts as long as the last copy.
    const Platform::SharedScope scope = GetScope();
    const auto binding = std::make_shared<Binding>(GetMutexName(), scope);
    mutex = std::shared_ptr<NamedMutex>(binding, &binding->mutex);
    const std::u16string key = TableKey(name);
    const auto deadline = std::chrono::steady_clock::now() + kClaimWait;
    for (;;) {
        MutexLock lock(*mutex);
        CopyCountTable& table = OpenTable();
        if (!binding->mark.IsOpen())
            binding->mark.Open(GetTableName(), scope);  // without it, records are leased as before
        record = FindOrClaim(table, key, binding->mark);
        // Marked before the mutex goes, so that no other constructor sees the
        // record free in between.
        if (record != nullptr)
            binding->mark.Hold(OffsetOf(table, *record));
        lock.Unlock();
        if (record != nullptr)
            return;
        if (std::chrono::steady_clock::now() >= deadline)
            throw std::runtime_error("No free copy counter record");
        // Every record is busy. Wait with the mutex given up, so that the
        // other processes can stop their counters meanwhile; the next round
        // also searches again, because another process may have claimed our
        // name in the pause and we must share its record, not take a second.
        ZUtilities::sleep(kClaimRetryMs);
    }
}

CopyCount::CopyCount(const CopyCount& other) = default;

CopyCount& CopyCount::operator=(const CopyCount& other) = default;

CopyCount::~CopyCount() = default;

void CopyCount::Release()
{
    delete this;
}

void CopyCount::Start()
{
    MutexLock lock(*mutex);
    if (IsClaimable(*record, Now()))
        record->copies = 0;  // a new job; within the grace period the count goes on
    record->stopTime = kCounting;
    record->threadId = ZUtilities::GetCurrentThreadID();
    lock.Unlock();
}

void CopyCount::Stop()
{
    MutexLock lock(*mutex);
    if (record->threadId == ZUtilities::GetCurrentThreadID()) {
        // Wrapping addition: the 32-bit clock runs out in 2038.
        record->stopTime =
            static_cast<std::int32_t>(static_cast<std::uint32_t>(Now()) + kGraceSeconds);
    }
    lock.Unlock();
}

void CopyCount::StopCounting()
{
    MutexLock lock(*mutex);
    record->stopTime = kIdle;
    record->copies = 0;
    record->threadId = 0;
    lock.Unlock();
}

void CopyCount::AddCopy()
{
    MutexLock lock(*mutex);
    record->copies = static_cast<std::int32_t>(static_cast<std::uint32_t>(record->copies) + 1);
    lock.Unlock();
}

std::int32_t CopyCount::GetCopies() const
{
    MutexLock lock(*mutex);
    const std::int32_t copies = record->copies;
    lock.Unlock();
    return copies;
}

std::int32_t CopyCount::GetCopyCount() const
{
    for (;;) {
        MutexLock lock(*mutex);
        if (IsClaimable(*record, Now())) {
            const std::int32_t copies = record->copies;
            lock.Unlock();
            return copies;
        }
        lock.Unlock();
        ZUtilities::sleep(kCountPollMs);
    }
}

bool CopyCount::IsCopy() const
{
    MutexLock lock(*mutex);
    const std::int32_t stopTime = record->stopTime;
    const bool counting =
        IsCounting(*record) || (stopTime != kCounting && stopTime != kIdle && stopTime > Now());
    lock.Unlock();
    return counting;
}

}  // namespace Quillet
