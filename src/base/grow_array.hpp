// A growable array of plain values on malloc: appending asks for room and
// says false when there is none, instead of throwing. Its owner frees it
// (free()); copying one copies the pointer, as with any plain record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

template <typename T>
struct GrowArray {
    static_assert(std::is_trivially_copyable_v<T>, "GrowArray moves its values as bytes");

    T *items = nullptr;
    std::size_t count = 0;
    std::size_t capacity = 0;

    T *data() const { return items; }
    std::size_t size() const { return count; }
    T &operator[](std::size_t i) const { return items[i]; }

    /// Makes room for `total` values: the array doubles from `first` until
    /// they fit. False without memory (or beyond `most` values), the array
    /// then as it was.
    bool reserve(std::size_t total, std::size_t first = 16, std::size_t most = SIZE_MAX / sizeof(T))
    {
        if (total <= capacity)
            return true;
        std::size_t grown = capacity == 0 ? (first != 0 ? first : 1) : capacity;
        while (grown < total) {
            if (grown > most / 2)
                return false;
            grown *= 2;
        }
        if (grown > most)
            return false;
        auto *bigger = static_cast<T *>(std::realloc(items, grown * sizeof(T)));
        if (bigger == nullptr)
            return false;
        items = bigger;
        capacity = grown;
        return true;
    }

    /// Appends `value`; false without memory.
    bool append(const T &value, std::size_t first = 16)
    {
        if (!reserve(count + 1, first))
            return false;
        items[count++] = value;
        return true;
    }

    /// Appends `n` values from `from`; false without memory.
    bool append_all(const T *from, std::size_t n, std::size_t first = 16,
                    std::size_t most = SIZE_MAX / sizeof(T))
    {
        if (n == 0)
            return true;
        if (!reserve(count + n, first, most))
            return false;
        std::memcpy(static_cast<void *>(items + count), from, n * sizeof(T));
        count += n;
        return true;
    }

    /// Forgets the values and keeps the room.
    void clear() { count = 0; }

    /// Frees the room.
    void free()
    {
        std::free(items);
        *this = GrowArray{};
    }
};

/// Frees an array when its scope ends, for a function with many ways out.
template <typename T>
struct GrowArrayFreed {
    GrowArray<T> *array;
    ~GrowArrayFreed() { array->free(); }
};
