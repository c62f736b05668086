// A growable array of plain elements with a separate length, capacity and grow step. ByteBuffer and
// SampleBuffer are its two uses: payloads, queued frames, decode output and HTTP bodies.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "base/Exception.h"

template <typename T>
class GrowableBuffer {
public:
    // Sizes are 32-bit signed counts of elements, as everywhere in the audio and web code.
    static constexpr int32_t kMaxCapacity =
        std::numeric_limits<int32_t>::max() / static_cast<int32_t>(sizeof(T));

    explicit GrowableBuffer(int32_t capacity = 0, int32_t growStep = 0)
        : growStep_(growStep < 0 ? 0 : growStep) {
        if (capacity > 0)
            Grow(capacity, false);
    }
    ~GrowableBuffer() { delete[] data_; }

    GrowableBuffer(const GrowableBuffer&) = delete;
    GrowableBuffer& operator=(const GrowableBuffer&) = delete;
    GrowableBuffer(GrowableBuffer&& other) noexcept { Swap(other); }
    GrowableBuffer& operator=(GrowableBuffer&& other) noexcept {
        if (this != &other) {
            GrowableBuffer moved(std::move(other));
            Swap(moved);
        }
        return *this;
    }

    T* Data() { return data_; }
    const T* Data() const { return data_; }
    int32_t Length() const { return length_; }
    int32_t Capacity() const { return capacity_; }
    void SetGrowStep(int32_t step) { growStep_ = step < 0 ? 0 : step; }
    bool Empty() const { return length_ == 0; }

    // Makes room for `needed` elements. When the capacity is short, a new block of `needed` plus the
    // grow step replaces the old one, keeping the first `length` elements. Throws MemoryException when
    // the size is impossible or the storage cannot be had; the buffer is then unchanged.
    void Reserve(int32_t needed) {
        if (needed < 0)
            throw MemoryException();
        if (needed > capacity_)
            Grow(needed, true);
    }

    // Sets the length, growing when needed; new elements are not initialised.
    void SetLength(int32_t length) {
        Reserve(length);
        length_ = length;
    }

    void Clear() { length_ = 0; }

    // Appends `count` elements (or replaces the contents when `append` is false).
    void Write(const T* items, int32_t count, bool append = true) {
        if (count < 0)
            throw MemoryException();
        const int32_t start = append ? length_ : 0;
        if (count > kMaxCapacity - start)
            throw MemoryException();
        Reserve(start + count);
        if (count > 0)
            std::memmove(data_ + start, items, static_cast<size_t>(count) * sizeof(T));
        length_ = start + count;
    }

    void Append(const T* items, int32_t count) { Write(items, count, true); }
    void Append(T item) { Write(&item, 1, true); }

    T& operator[](int32_t i) { return data_[i]; }
    const T& operator[](int32_t i) const { return data_[i]; }

private:
    void Grow(int32_t needed, bool keep) {
        const int64_t wanted = static_cast<int64_t>(needed) + growStep_;
        const int32_t size = wanted > kMaxCapacity ? needed : static_cast<int32_t>(wanted);
        if (size > kMaxCapacity)
            throw MemoryException();
        T* block = new (std::nothrow) T[static_cast<size_t>(size)];
        if (block == nullptr)
            throw MemoryException();
        if (keep && length_ > 0)
            std::memcpy(block, data_, static_cast<size_t>(length_) * sizeof(T));
        delete[] data_;
        data_ = block;
        capacity_ = size;
    }

    void Swap(GrowableBuffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(capacity_, other.capacity_);
        std::swap(length_, other.length_);
        std::swap(growStep_, other.growStep_);
    }

    T* data_ = nullptr;
    int32_t capacity_ = 0;
    int32_t length_ = 0;
    int32_t growStep_ = 0;
};
