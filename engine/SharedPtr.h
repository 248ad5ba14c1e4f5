// SharedPtr: the counted owner through which the factory hands the job description to the engine.
#pragma once

#include <cstdint>
#include <new>

namespace Quillet {

/// A small reference-counted owner. Not thread-safe: a holder is copied only
/// while a service is being created and released only when it is destroyed.
/// The object is deleted when the last holder goes.
template <typename T>
class SharedPtr {
public:
    SharedPtr() = default;

    /// Takes ownership of object. If the count block cannot be allocated, the
    /// object is deleted and std::bad_alloc propagates.
    explicit SharedPtr(T* object) : object(object)
    {
        try {
            counts = new Counts{1, 1};
        } catch (...) {
            delete object;
            throw;
        }
    }

    SharedPtr(const SharedPtr& other) : object(other.object), counts(other.counts)
    {
        if (counts) {
            ++counts->uses;
            ++counts->blocks;
        }
    }

    SharedPtr& operator=(const SharedPtr& other)
    {
        if (this != &other) {
            SharedPtr copy(other);
            Swap(copy);
        }
        return *this;
    }

    ~SharedPtr() { Release(); }

    T* Get() const { return object; }
    T* operator->() const { return object; }
    T& operator*() const { return *object; }
    explicit operator bool() const { return object != nullptr; }
    std::uint32_t UseCount() const { return counts ? counts->uses : 0; }

    /// Drops this holder's share: the object goes with the last use, the count
    /// block with the last block reference.
    void Release()
    {
        if (!counts)
            return;
        --counts->blocks;
        if (--counts->uses == 0) {
            delete object;
        }
        if (counts->blocks == 0)
            delete counts;
        object = nullptr;
        counts = nullptr;
    }

private:
    struct Counts {
        std::uint32_t uses;
        std::uint32_t blocks;
    };

    void Swap(SharedPtr& other)
    {
        T* o = object;
        object = other.object;
        other.object = o;
        Counts* c = counts;
        counts = other.counts;
        other.counts = c;
    }

    T* object = nullptr;
    Counts* counts = nullptr;
};

}  // namespace Quillet
