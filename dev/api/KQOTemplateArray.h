// KQOArray: a growable array of pointers. It never owns what the pointers
// name; a derivation that owns its elements deletes them before it shrinks
// the array.
#ifndef KQOTEMPLATEARRAY_H
#define KQOTEMPLATEARRAY_H

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "KQOTypes.h"

// Reports a failed pointer-block allocation of KQOArray::SetSize at the given
// line of the template's source; always false. Kept out of line so that this
// header does not pull the diagnostics into every user.
bool KQOArrayAllocError(int32 line);

template <class T, class ARG>
class KQOArray {
public:
    KQOArray() : data(nullptr), count(0), capacity(0), growBy(0) {}
    ~KQOArray() { FreeData(); }

    KQOArray(const KQOArray&) = delete;
    KQOArray& operator=(const KQOArray&) = delete;

    // Resizes to n used slots. growBy other than -1 becomes the stored step
    // (0 = automatic). New slots under the count are null; shrinking keeps the
    // block. n = 0 releases the block.
    bool SetSize(int32 n, int32 newGrowBy = -1);

    // Stores p at index, growing the array when index is at or past the count.
    bool SetAtGrow(int32 index, ARG p);

    // Releases the block, not the objects; the fields are left as they are.
    void FreeData() { free(data); }

    int32 GetCount() const { return count; }
    T GetAt(int32 index) const { return data[index]; }
    T& operator[](int32 index) { return data[index]; }
    const T& operator[](int32 index) const { return data[index]; }

    T* data;
    int32 count;
    int32 capacity;
    int32 growBy;

private:
    // Report sites of a failed allocation: a first block, a grown block.
    static const int32 kLineFirstBlock = 649;
    static const int32 kLineGrownBlock = 699;

    // Largest block, in elements, that the array allocates: blocks stay below
    // 2 GB on every host, as they must in a 32-bit process anyway, so the
    // byte size never overflows.
    static int32 MaxElements() { return static_cast<int32>(INT32_MAX / static_cast<int32>(sizeof(T))); }
};

template <class T, class ARG>
bool KQOArray<T, ARG>::SetSize(int32 n, int32 newGrowBy)
{
    if (newGrowBy != -1)
        growBy = newGrowBy;

    if (n == 0) {
        free(data);
        data = nullptr;
        capacity = 0;
        count = 0;
        return true;
    }
    if (n < 0)
        return false;

    if (data == nullptr) {
        T* block = nullptr;
        if (n <= MaxElements())
            block = static_cast<T*>(malloc(static_cast<size_t>(n) * sizeof(T)));
        if (block == nullptr)
            return KQOArrayAllocError(kLineFirstBlock);
        memset(static_cast<void*>(block), 0, static_cast<size_t>(n) * sizeof(T));
        data = block;
        capacity = n;
    } else if (n > capacity) {
        int32 step = growBy;
        if (step == 0) {
            step = count / 8;
            if (step < 4)
                step = 4;
            else if (step > 1024)
                step = 1024;
        }
        // Computed wide: capacity + step must not wrap past the int32 range.
        int64 wanted = static_cast<int64>(capacity) + step;
        if (wanted < n)
            wanted = n;
        if (wanted > MaxElements())
            wanted = MaxElements();
        T* block = nullptr;
        if (wanted >= n)
            block = static_cast<T*>(malloc(static_cast<size_t>(wanted) * sizeof(T)));
        if (block == nullptr)
            return KQOArrayAllocError(kLineGrownBlock);
        if (count > 0)
            memcpy(static_cast<void*>(block), data, static_cast<size_t>(count) * sizeof(T));
        memset(static_cast<void*>(block + count), 0, static_cast<size_t>(n - count) * sizeof(T));
        free(data);
        data = block;
        capacity = static_cast<int32>(wanted);
    } else if (n > count) {
        memset(static_cast<void*>(data + count), 0, static_cast<size_t>(n - count) * sizeof(T));
    }
    count = n;
    return true;
}

template <class T, class ARG>
bool KQOArray<T, ARG>::SetAtGrow(int32 index, ARG p)
{
    if (index < 0)
        return false;
    if (index >= count) {
        if (index == INT32_MAX || !SetSize(index + 1, -1))
            return false;
    }
    data[index] = p;
    return true;
}

#endif
