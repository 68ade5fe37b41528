#pragma once
#include <windows.h>

#include <climits>
#include <memory>
#include <string.h>
#include <utility>

#include "common/GpSeams.h"
#include "common/VString.h"
#include "common/GpHandles.h"

// How an element type is started, carried over and released. Zeroed memory is a valid empty
// element for every instance (a VString is a single pointer).
template <typename T> struct TmArrayTraits
{
    static void Release(T&) {}
    static void Carry(T& dst, T& src) { dst = src; }
    static void Store(T& dst, const T& value) { dst = value; }
};

template <> struct TmArrayTraits<VString>
{
    static void Release(VString& s) { s.Clear(); }
    static void Carry(VString& dst, VString& src)
    {
        dst.Copy(src.c_str());
        src.Clear();
    }
    static void Store(VString& dst, const VString& value) { dst.Copy(value.c_str()); }
};

// Owned elements: the array deletes what it holds when an element is cut off or the array goes.
// An owner is one pointer, so a zeroed slot is an empty owner.
template <typename U> struct TmArrayTraits<std::unique_ptr<U>>
{
    static_assert(sizeof(std::unique_ptr<U>) == sizeof(U*), "an owner is one pointer");
    static void Release(std::unique_ptr<U>& p) { p.reset(); }
    static void Carry(std::unique_ptr<U>& dst, std::unique_ptr<U>& src) { dst = std::move(src); }
    static void Store(std::unique_ptr<U>& dst, std::unique_ptr<U>& value) { dst = std::move(value); }
};

// Growable array on the process heap. Growth failure raises the integer exception 0.
template <typename T> class TmArray
{
public:
    TmArray() = default;
    TmArray(const TmArray&) = delete;
    TmArray& operator=(const TmArray&) = delete;
    virtual ~TmArray() { SetSize(0); }

    int GetSize() const { return m_nSize; }
    int GetCapacity() const { return m_nCapacity; }
    T* GetData() { return Data(); }
    T& operator[](int i) { return Data()[i]; }
    const T& operator[](int i) const { return Data()[i]; }

    void SetGrowBy(int nGrowBy) { m_nGrowBy = nGrowBy; }

    void SetSize(int n)
    {
        if (n < 0)
            n = 0;
        HANDLE hHeap = GetProcessHeap();
        if (n == 0)
        {
            for (int i = 0; i < m_nSize; i++)
                TmArrayTraits<T>::Release(Data()[i]);
            m_block.Reset();
            m_nSize = m_nCapacity = 0;
            return;
        }
        if (!m_block)
        {
            m_block.Reset(GpArrayGrowthFails()
                              ? nullptr
                              : HeapAlloc(hHeap, HEAP_ZERO_MEMORY, static_cast<SIZE_T>(n) * sizeof(T) + 8));
            if (!m_block)
                throw 0;
            m_nSize = m_nCapacity = n;
            return;
        }
        if (n > m_nCapacity)
        {
            int nStep = m_nGrowBy;
            if (nStep < 1)
            {
                nStep = m_nSize / 8;
                if (nStep < 4)
                    nStep = 4;
                if (nStep > 1024)
                    nStep = 1024;
            }
            // 64-bit sum: a large grow-by must not wrap the capacity around.
            long long llStep = static_cast<long long>(m_nCapacity) + nStep;
            int nNewCap = (n > llStep) ? n : (llStep > INT_MAX ? INT_MAX : static_cast<int>(llStep));
            GpHeapBlock grown(GpArrayGrowthFails() ? nullptr
                                                   : HeapAlloc(hHeap, HEAP_ZERO_MEMORY,
                                                               static_cast<SIZE_T>(nNewCap) * sizeof(T) + 8));
            if (!grown)
                throw 0;
            T* p = static_cast<T*>(grown.Get());
            for (int i = 0; i < m_nSize; i++)
                TmArrayTraits<T>::Carry(p[i], Data()[i]);
            m_block = std::move(grown); // the old block goes here
            m_nCapacity = nNewCap;
        }
        else
        {
            for (int i = n; i < m_nSize; i++)
                TmArrayTraits<T>::Release(Data()[i]);
            if (n > m_nSize)
                memset(static_cast<void*>(Data() + m_nSize), 0, static_cast<size_t>(n - m_nSize) * sizeof(T));
        }
        m_nSize = n;
    }

    // Adds one element at the end and returns its index. By value: the argument may be one of
    // our own elements, which growth would move away.
    int Add(T value)
    {
        SetSize(m_nSize + 1);
        TmArrayTraits<T>::Store(Data()[m_nSize - 1], value);
        return m_nSize - 1;
    }

private:
    T* Data() const { return static_cast<T*>(m_block.Get()); }

    GpHeapBlock m_block;
    int m_nSize = 0;
    int m_nCapacity = 0;
    int m_nGrowBy = 0;
};
