#include "KQOArray.h"

#include <cstdlib>
#include <new>

#include "KQOError.h"
#include "KQOObject.h"
#include "KQOTemplateArray.h"

bool KQOArrayAllocError(int32 line)
{
    return KQAllocError("KQOArray::SetSize()", "dev\\api\\KQOTemplateArray", line);
}

namespace {

// Blocks are kept below 2 GB, the most a 32-bit process could hold anyway;
// on 64-bit hosts this also keeps size * sizeof(T) from wrapping.
template <class T>
bool FitsBlock(int32 size)
{
    return size >= 1 && static_cast<int64>(size) * static_cast<int64>(sizeof(T)) <= static_cast<int64>(INT32_MAX);
}

template <class T>
T* AllocPlain(int32 size)
{
    if (!FitsBlock<T>(size))
        return nullptr;
    return static_cast<T*>(malloc(static_cast<size_t>(size) * sizeof(T)));
}

#ifndef KQ_UNICODE
KQString* AllocStrings(int32 size)
{
    if (!FitsBlock<KQString>(size))
        return nullptr;
    return new (std::nothrow) KQString[static_cast<size_t>(size)];
}
#endif

// Shared by the int and byte arrays, which differ only in element type.
template <class T>
bool AllocPlainArray(KQArray& a, T*& data, int32 size, int32 newGrowBy, bool setCount)
{
    if (size != a.capacity) {
        if (!a.notOwner)
            free(data);
        data = nullptr;
        a.notOwner = false;
        if (size >= 1)
            data = AllocPlain<T>(size);
        if (data == nullptr) {
            a.count = 0;
            a.capacity = 0;
            return false;
        }
    }
    a.capacity = size;
    a.growBy = newGrowBy;
    a.count = setCount ? size : 0;
    return true;
}

template <class T>
bool SetSizePlainArray(KQArray& a, T*& data, int32 size, int32 newGrowBy, bool setCount)
{
    a.growBy = newGrowBy;
    if (size < 0)
        size = a.count;
    if (size == a.capacity) {
        if (setCount)
            a.count = a.capacity;
        return true;
    }
    if (size == 0) {
        a.Free();
        return true;
    }
    T* block = AllocPlain<T>(size);
    if (block == nullptr)
        return false;
    int32 keep = a.capacity < size ? a.capacity : size;
    for (int32 i = 0; i < keep; ++i)
        block[i] = data[i];
    if (!a.notOwner)
        free(data);
    a.notOwner = false;
    data = block;
    a.capacity = size;
    KQClamp(&a.count, 0, size);
    if (setCount)
        a.count = a.capacity;
    return true;
}

void FreePlain(KQArray& a, void* data)
{
    if (!a.notOwner)
        free(data);
    a.notOwner = false;
    a.capacity = 0;
    a.count = 0;
}

}  // namespace

// ---------------------------------------------------------------- KQArray

KQArray::KQArray() : count(0), capacity(0), growBy(-1), notOwner(false) {}

KQArray::~KQArray() {}

int32 KQArray::GrowBy() const
{
    if (growBy >= 0)
        return growBy;
    int32 step = capacity / 8;
    KQClamp(&step, 4, 1024);
    return step;
}

#ifndef KQ_UNICODE
bool KQArray::MakeRoomFor(int32 index)
{
    if (index < 0 || index == INT32_MAX)
        return false;
    if (index >= capacity) {
        // A step of 0 would leave no room for the element itself.
        int64 wanted = static_cast<int64>(index) + GrowBy();
        if (wanted < static_cast<int64>(index) + 1)
            wanted = static_cast<int64>(index) + 1;
        if (wanted > INT32_MAX)
            wanted = INT32_MAX;
        if (!SetSize(static_cast<int32>(wanted), growBy, false))
            return false;
    }
    if (count < index + 1)
        count = index + 1;
    return true;
}
#endif

// ---------------------------------------------------------------- KQUbyteArray

KQUbyteArray::KQUbyteArray() : data(nullptr) {}

KQUbyteArray::~KQUbyteArray()
{
    KQUbyteArray::Free();
}

bool KQUbyteArray::Alloc(int32 size, int32 newGrowBy, bool setCount)
{
    return AllocPlainArray(*this, data, size, newGrowBy, setCount);
}

bool KQUbyteArray::SetSize(int32 size, int32 newGrowBy, bool setCount)
{
    return SetSizePlainArray(*this, data, size, newGrowBy, setCount);
}

void KQUbyteArray::Free()
{
    FreePlain(*this, data);
    data = nullptr;
}

#ifndef KQ_UNICODE
bool KQUbyteArray::SetAt(int32 index, ubyte value)
{
    if (!MakeRoomFor(index))
        return false;
    data[index] = value;
    return true;
}

// ---------------------------------------------------------------- KQIntArray

KQIntArray::KQIntArray() : data(nullptr) {}

KQIntArray::~KQIntArray()
{
    KQIntArray::Free();
}

bool KQIntArray::Alloc(int32 size, int32 newGrowBy, bool setCount)
{
    return AllocPlainArray(*this, data, size, newGrowBy, setCount);
}

bool KQIntArray::SetSize(int32 size, int32 newGrowBy, bool setCount)
{
    return SetSizePlainArray(*this, data, size, newGrowBy, setCount);
}

void KQIntArray::Free()
{
    FreePlain(*this, data);
    data = nullptr;
}

bool KQIntArray::SetAt(int32 index, int32 value)
{
    if (!MakeRoomFor(index))
        return false;
    data[index] = value;
    return true;
}

bool KQIntArray::IsSorted() const
{
    for (int32 i = 1; i < count; ++i) {
        if (data[i] < data[i - 1])
            return false;
    }
    return true;
}

void KQIntArray::Sort(bool onlyIfUnsorted)
{
    if (count > 0 && (!onlyIfUnsorted || !IsSorted()))
        KQSortInts(data, count);
}

int32 KQIntArray::FindSorted(int32 value, int32 lo, int32 hi, int32* insertPos) const
{
    if (count <= 0) {
        if (insertPos)
            *insertPos = 0;
        return -1;
    }
    // The bisection reads every index between lo and hi: keep both inside.
    if (hi < 0 || hi >= count)
        hi = count - 1;
    if (lo < 0)
        lo = 0;
    return KQFindSortedInt(data, value, lo, hi, insertPos);
}

// ---------------------------------------------------------------- KQStringArray

KQStringArray::KQStringArray() : data(nullptr) {}

KQStringArray::~KQStringArray()
{
    KQStringArray::Free();
}

bool KQStringArray::Alloc(int32 size, int32 newGrowBy, bool setCount)
{
    if (size != capacity) {
        if (!notOwner)
            delete[] data;
        data = nullptr;
        notOwner = false;
        if (size >= 1)
            data = AllocStrings(size);
        if (data == nullptr) {
            count = 0;
            capacity = 0;
            return false;
        }
    }
    capacity = size;
    growBy = newGrowBy;
    count = setCount ? size : 0;
    return true;
}

bool KQStringArray::SetSize(int32 size, int32 newGrowBy, bool setCount)
{
    if (size < 0)
        size = count;
    if (size == capacity) {
        if (setCount)
            count = capacity;
        return true;
    }
    if (size == 0) {
        Free();
        return true;
    }
    KQString* block = AllocStrings(size);
    if (block == nullptr)
        return false;
    growBy = newGrowBy;
    int32 keep = capacity < size ? capacity : size;
    // Growth steps at most 1024 elements, so a long list grows often: the
    // texts of a block we own move rather than being copied each time.
    for (int32 i = 0; i < keep; ++i) {
        if (notOwner)
            block[i].AssignString(data[i]);
        else
            block[i].TakeText(data[i]);
    }
    if (!notOwner)
        delete[] data;
    notOwner = false;
    data = block;
    capacity = size;
    KQClamp(&count, 0, size);
    if (setCount)
        count = capacity;
    return true;
}

void KQStringArray::Free()
{
    if (!notOwner)
        delete[] data;
    data = nullptr;
    notOwner = false;
    capacity = 0;
    count = 0;
}

bool KQStringArray::SetAt(int32 index, const KQString& value)
{
    // Growing releases the old block: a value that is one of our own
    // elements (Add(a[0])) must be copied out first.
    if (index >= capacity && data != nullptr && &value >= data && &value < data + capacity) {
        KQString copy(value);
        return SetAt(index, copy);
    }
    if (!MakeRoomFor(index))
        return false;
    data[index].AssignString(value);
    return true;
}

void KQStringArray::RemoveAt(int32 index, int32 n)
{
    if (index < 0 || index >= count)
        return;
    if (n < 0 || n > count - index)
        n = count - index;
    for (int32 i = index + n; i < count; ++i)
        data[i - n].AssignString(data[i]);
    count -= n;
}

int32 KQStringArray::Find(const KQString& s, int32 from, bool caseSensitive) const
{
    if (data == nullptr)
        return -1;
    if (from < 0)
        from = 0;
    for (int32 i = from; i < count; ++i) {
        bool match = caseSensitive ? data[i].Equals(s) : data[i].CompareNoCase(s, -1) == 0;
        if (match)
            return i;
    }
    return -1;
}

int32 KQStringArray::FindSorted(const KQString& s, int32 n, int32 lo, int32 hi) const
{
    if (count < 1)
        return -1;
    if (hi < 0 || hi >= count)
        hi = count - 1;
    if (lo < 0)
        lo = 0;
    // An empty range would otherwise probe an element outside it.
    if (lo > hi)
        return -1;
    for (;;) {
        int32 mid = (lo + hi) / 2;
        int32 rc = s.Compare(data[mid], n);
        if (rc < 0)
            hi = mid - 1;
        else
            lo = mid + 1;
        if (hi < lo)
            return rc == 0 ? mid : -1;
        if (rc == 0)
            return mid;
    }
}

bool KQStringArray::IsSorted() const
{
    for (int32 i = 0; i + 1 < count; ++i) {
        if (data[i] > data[i + 1])
            return false;
    }
    return true;
}

void KQStringArray::Sort(bool onlyIfUnsorted)
{
    if (count > 0 && (!onlyIfUnsorted || !IsSorted()))
        KQSortStrings(data, count);
}

// ---------------------------------------------------------------- sorting

void KQSortInts(int32* values, int32 n)
{
    if (n > 0)
        KQQuickSortInts(values, 0, n - 1);
}

void KQQuickSortInts(int32* values, int32 lo, int32 hi)
{
    while (lo < hi) {
        if (hi - lo < 32) {
            for (int32 i = lo + 1; i <= hi; ++i) {
                int32 v = values[i];
                int32 j = i;
                while (j > lo && values[j - 1] > v) {
                    values[j] = values[j - 1];
                    --j;
                }
                values[j] = v;
            }
            return;
        }
        int32 mid = lo + (hi - lo) / 2;
        int32 a = values[lo], b = values[mid], c = values[hi];
        int32 pivot;
        if (a < b)
            pivot = b < c ? b : (a < c ? c : a);
        else
            pivot = a < c ? a : (b < c ? c : b);

        int32 i = lo - 1;
        int32 j = hi + 1;
        for (;;) {
            do
                --j;
            while (values[j] > pivot);
            do
                ++i;
            while (values[i] < pivot);
            if (i >= j)
                break;
            int32 t = values[i];
            values[i] = values[j];
            values[j] = t;
        }
        // Recursing into the smaller part bounds the stack depth by log2(n)
        // whatever the input; the sorted result is the same either way.
        if (j - lo < hi - j) {
            if (lo < j)
                KQQuickSortInts(values, lo, j);
            lo = j + 1;
        } else {
            if (j + 1 < hi)
                KQQuickSortInts(values, j + 1, hi);
            hi = j;
        }
    }
}

int32 KQFindSortedInt(const int32* values, int32 value, int32 lo, int32 hi, int32* insertPos)
{
    if (values == nullptr) {
        if (insertPos)
            *insertPos = 0;
        return -1;
    }
    int32 mid = lo + (hi - lo) / 2;
    for (;;) {
        if (lo > hi) {
            if (insertPos)
                *insertPos = lo;
            return -1;
        }
        if (lo == hi) {
            if (values[lo] == value) {
                if (insertPos)
                    *insertPos = lo;
                return lo;
            }
            if (insertPos)
                *insertPos = value > values[lo] ? lo + 1 : lo;
            return -1;
        }
        if (values[mid] == value) {
            if (insertPos)
                *insertPos = mid;
            return mid;
        }
        if (value < values[mid])
            hi = mid - 1;
        else
            lo = mid + 1;
        mid = lo + (hi - lo) / 2;
    }
}

void KQSortStrings(KQString* strings, int32 n)
{
    if (n > 0) {
        KQSorterString sorter;
        sorter.Sort(strings, n);
    }
}
#endif
