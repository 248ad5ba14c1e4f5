// ZList: the base library's list that owns its items and is walked with a cursor.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace Quillet {

/// A list that owns its items (they are freed with the list). Walk it with
/// GetHead, then GetNext until null. One thread at a time.
template <class T>
class ZList {
public:
    void Add(std::unique_ptr<T> item) { items.push_back(std::move(item)); }
    std::size_t GetCount() const { return items.size(); }
    void RemoveAll()
    {
        items.clear();
        cursor = 0;
    }

    /// The first item (and the cursor set to it), or null when empty.
    T* GetHead()
    {
        cursor = 0;
        return items.empty() ? nullptr : items.front().get();
    }
    /// The item after the cursor's, or null at the end.
    T* GetNext()
    {
        if (cursor + 1 >= items.size()) {
            cursor = items.size();
            return nullptr;
        }
        return items[++cursor].get();
    }

private:
    std::vector<std::unique_ptr<T>> items;
    std::size_t cursor = 0;
};

}  // namespace Quillet
