// Growable arrays of plain values and the sorting helpers that work on them.
//
// Every array keeps a count of elements in use, the allocated capacity and a
// growth step used when SetAt writes past the capacity (-1 = automatic: an
// eighth of the capacity, between 4 and 1024 elements). The wide build
// carries only KQArray and KQUbyteArray; the int and string arrays and the
// sorters belong to the 8-bit build.
#ifndef KQOARRAY_H
#define KQOARRAY_H

#include "KQOTypes.h"
#include "KQOString.h"

class KQArray {
public:
    KQArray();
    virtual ~KQArray();

    // Fresh block of exactly size elements. When size equals the capacity the
    // block and its contents stay. False when no block results (size < 1 or
    // no memory); the array is then empty.
    virtual bool Alloc(int32 size, int32 newGrowBy = -1, bool setCount = true) = 0;
    // Resizes keeping min(old, new) elements; size < 0 means the count.
    // False with the array unchanged when memory runs out.
    virtual bool SetSize(int32 size, int32 newGrowBy = -1, bool setCount = true) = 0;
    // Releases the block unless it is not owned; the array becomes empty.
    virtual void Free() = 0;

    // Step used by SetAt when it has to grow the array.
    int32 GrowBy() const;

    int32 GetCount() const { return count; }
    int32 GetCapacity() const { return capacity; }

    int32 count;
    int32 capacity;
    int32 growBy;
    bool notOwner;

protected:
#ifndef KQ_UNICODE
    // SetAt's growth: when index lies past the capacity, SetSize to index plus
    // the step (at least index + 1); then the count covers index. False, with
    // the array unchanged, when that cannot be done.
    bool MakeRoomFor(int32 index);
#endif
};

#ifndef KQ_UNICODE
class KQIntArray : public KQArray {
public:
    KQIntArray();
    ~KQIntArray() override;

    bool Alloc(int32 size, int32 newGrowBy = -1, bool setCount = true) override;
    bool SetSize(int32 size, int32 newGrowBy = -1, bool setCount = true) override;
    void Free() override;

    bool SetAt(int32 index, int32 value);
    bool Add(int32 value) { return SetAt(count, value); }
    bool IsSorted() const;
    void Sort(bool onlyIfUnsorted);
    // Bisection over lo..hi (hi = -1: the last element). insertPos, when
    // given, receives where value is or would be inserted.
    int32 FindSorted(int32 value, int32 lo = 0, int32 hi = -1, int32* insertPos = nullptr) const;

    int32 GetAt(int32 index) const { return data[index]; }
    int32& operator[](int32 index) { return data[index]; }
    int32 operator[](int32 index) const { return data[index]; }

    int32* data;
};
#endif

class KQUbyteArray : public KQArray {
public:
    KQUbyteArray();
    ~KQUbyteArray() override;

    bool Alloc(int32 size, int32 newGrowBy = -1, bool setCount = true) override;
    bool SetSize(int32 size, int32 newGrowBy = -1, bool setCount = true) override;
    void Free() override;

#ifndef KQ_UNICODE
    bool SetAt(int32 index, ubyte value);
    bool Add(ubyte value)
    {
        return SetAt(count, value);
    }
#endif

    ubyte GetAt(int32 index) const
    {
        return data[index];
    }
    ubyte& operator[](int32 index)
    {
        return data[index];
    }
    ubyte operator[](int32 index) const
    {
        return data[index];
    }

    ubyte* data;
};

#ifndef KQ_UNICODE
class KQStringArray : public KQArray {
public:
    KQStringArray();
    ~KQStringArray() override;

    bool Alloc(int32 size, int32 newGrowBy = -1, bool setCount = true) override;
    bool SetSize(int32 size, int32 newGrowBy = -1, bool setCount = true) override;
    void Free() override;

    bool SetAt(int32 index, const KQString& value);
    bool Add(const KQString& value) { return SetAt(count, value); }
    // Removes n elements from index (n = -1: to the end).
    void RemoveAt(int32 index, int32 n = 1);
    // First index from `from` whose element matches s, else -1. A null string
    // matches only a null element, also without case.
    int32 Find(const KQString& s, int32 from = 0, bool caseSensitive = true) const;
    // Bisection over lo..hi (hi = -1: the last element) in Compare order;
    // n limits the characters compared (-1: whole texts).
    int32 FindSorted(const KQString& s, int32 n = -1, int32 lo = 0, int32 hi = -1) const;
    bool IsSorted() const;
    void Sort(bool onlyIfUnsorted);

    const KQString& GetAt(int32 index) const { return data[index]; }
    KQString& operator[](int32 index) { return data[index]; }
    const KQString& operator[](int32 index) const { return data[index]; }

    KQString* data;
};

// Ascending in-place sorts and the bisection search over sorted ints.
void KQSortInts(int32* values, int32 n);
void KQQuickSortInts(int32* values, int32 lo, int32 hi);
int32 KQFindSortedInt(const int32* values, int32 value, int32 lo, int32 hi, int32* insertPos);
void KQSortStrings(KQString* strings, int32 n);

// Quicksort over T with the order given by the two virtual comparisons.
// Direct mode sorts elements in place; index mode (index not null) orders
// the index array so that base[index[k]] ascends, leaving base untouched.
template <class T>
class KQSorterTemplate {
public:
    KQSorterTemplate() : elements(nullptr), base(nullptr), index(nullptr) {}
    virtual ~KQSorterTemplate() {}

    virtual bool IsGreater(const T& a, const T& b) const = 0;
    virtual bool IsLess(const T& a, const T& b) const = 0;

    void Sort(T* values, int32 n)
    {
        Reset();
        elements = values;
        QuickSort(0, n - 1);
        Reset();
    }

    // Index mode: reorders index[0..n-1] by base[index[k]].
    void SortIndexed(const T* values, int32* indexes, int32 n)
    {
        Reset();
        base = const_cast<T*>(values);
        index = indexes;
        QuickSort(0, n - 1);
        Reset();
    }

    void Reset()
    {
        elements = nullptr;
        base = nullptr;
        index = nullptr;
    }

protected:
    T& At(int32 k) { return index ? base[index[k]] : elements[k]; }

    void Swap(int32 i, int32 j)
    {
        T t = elements[i];
        elements[i] = elements[j];
        elements[j] = t;
    }

    void QuickSort(int32 lo, int32 hi)
    {
        while (lo < hi) {
            if (hi - lo < 32) {
                if (index)
                    InsertionSortIndexed(lo, hi);
                else
                    InsertionSort(lo, hi);
                return;
            }
            // Recursing into the smaller part bounds the stack depth by
            // log2(n) whatever the input; the result is the same either way.
            int32 p = Partition(lo, hi);
            if (p - lo < hi - p) {
                if (lo < p)
                    QuickSort(lo, p);
                lo = p + 1;
            } else {
                if (p + 1 < hi)
                    QuickSort(p + 1, hi);
                hi = p;
            }
        }
    }

    int32 Partition(int32 lo, int32 hi)
    {
        const T pivot = At(lo + (hi - lo) / 2);
        int32 i = lo - 1;
        int32 j = hi + 1;
        for (;;) {
            do
                --j;
            while (IsGreater(At(j), pivot));
            do
                ++i;
            while (IsLess(At(i), pivot));
            if (i >= j)
                return j;
            if (index) {
                int32 t = index[i];
                index[i] = index[j];
                index[j] = t;
            } else {
                Swap(i, j);
            }
        }
    }

    void InsertionSort(int32 lo, int32 hi)
    {
        for (int32 i = lo + 1; i <= hi; ++i) {
            T t = elements[i];
            int32 j = i;
            while (j > lo && IsGreater(elements[j - 1], t)) {
                elements[j] = elements[j - 1];
                --j;
            }
            elements[j] = t;
        }
    }

    void InsertionSortIndexed(int32 lo, int32 hi)
    {
        for (int32 i = lo + 1; i <= hi; ++i) {
            int32 moving = index[i];
            const T t = base[moving];
            int32 j = i;
            while (j > lo && IsGreater(base[index[j - 1]], t)) {
                index[j] = index[j - 1];
                --j;
            }
            index[j] = moving;
        }
    }

    T* elements;
    T* base;
    int32* index;
};

class KQSorterString : public KQSorterTemplate<KQString> {
public:
    bool IsGreater(const KQString& a, const KQString& b) const override { return a > b; }
    bool IsLess(const KQString& a, const KQString& b) const override { return a < b; }
};
#endif

#endif
