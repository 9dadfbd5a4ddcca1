// Sorted (key, value) array searched by bisection: the traceback records'
// code-object cache. Room for 64 pairs on first use, grows by 64 when full;
// an insertion shifts the later pairs up by one. When memory runs out the
// pair is simply not cached (the caller still makes its record).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace qv {

template <typename V, typename K = long long>
class SortedCache {
public:
    static constexpr int kChunk = 64;

    // Index of the first pair whose key is >= key.
    int lower_bound(K key) const noexcept {
        int lo = 0, hi = count_;
        while (lo < hi) {
            int mid = lo + (hi - lo) / 2;
            if (entries_[mid].key < key) lo = mid + 1;
            else hi = mid;
        }
        return lo;
    }

    // The value stored under key, or V{} when absent.
    V find(K key) const noexcept {
        int i = lower_bound(key);
        return (i < count_ && entries_[i].key == key) ? entries_[i].value : V{};
    }

    // Stores value under key. Returns the value that it replaced (V{} when the
    // key was new) so that the caller can release it; returns value itself
    // when no memory could be had (nothing was stored).
    V insert(K key, V value) noexcept {
        int i = lower_bound(key);
        if (i < count_ && entries_[i].key == key) {
            V old = entries_[i].value;
            entries_[i].value = value;
            return old;
        }
        if (count_ == capacity_) {
            int grown = capacity_ + kChunk;
            auto* bigger = static_cast<Entry*>(std::realloc(entries_, sizeof(Entry) * grown));
            if (!bigger) return value;
            entries_ = bigger;
            capacity_ = grown;
        }
        std::memmove(&entries_[i + 1], &entries_[i], sizeof(Entry) * (count_ - i));
        entries_[i] = Entry{key, value};
        ++count_;
        return V{};
    }

    int size() const noexcept { return count_; }
    int capacity() const noexcept { return capacity_; }
    K key_at(int i) const noexcept { return entries_[i].key; }

private:
    struct Entry {
        K key;
        V value;
    };
    Entry* entries_ = nullptr;
    int count_ = 0;
    int capacity_ = 0;
};

}  // namespace qv
