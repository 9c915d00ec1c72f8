// A list that owns its items; indexed access outside it raises EListError
// "List index out of bounds (%d)".
#pragma once

#include "toolkit/Exception.h"

#include <memory>
#include <vector>

template <class T> class TOwnedList {
public:
    int Count() const { return static_cast<int>(FItems.size()); }

    T& Items(int index) const {
        Check(index);
        return *FItems[static_cast<size_t>(index)];
    }
    T& operator[](int index) const { return Items(index); }

    T& Add(std::unique_ptr<T> item) {
        FItems.push_back(std::move(item));
        return *FItems.back();
    }
    template <class... Args> T& Emplace(Args&&... args) {
        return Add(std::make_unique<T>(std::forward<Args>(args)...));
    }
    void Delete(int index) {
        Check(index);
        FItems.erase(FItems.begin() + index);
    }
    void Clear() { FItems.clear(); }

    auto begin() const { return FItems.begin(); }
    auto end() const { return FItems.end(); }

private:
    void Check(int index) const {
        if (index < 0 || index >= Count())
            throw EListError::IndexOutOfBounds(index);
    }
    std::vector<std::unique_ptr<T>> FItems;
};
