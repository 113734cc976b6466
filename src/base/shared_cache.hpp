// Shares immutable objects by key. While anything holds the object made for a
// key, asking for that key again returns the same object; once the last
// holder lets go, it is freed, and a later request makes a new one. Safe to
// use from any number of threads.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>

namespace tenvira {

template <typename Key, typename Value>
class SharedCache {
public:
    // The object for `key`, made with `make()` (which returns a Value) when
    // none is alive. `make` runs outside the lock, so slow designs of
    // different keys proceed in parallel; if two threads make the same key
    // at once, both get the first one stored.
    template <typename Make>
    std::shared_ptr<const Value> get(const Key& key, Make&& make) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (auto live = find(key)) return live;
        }
        auto made = std::make_shared<const Value>(make());
        std::lock_guard<std::mutex> lock(mutex_);
        if (auto live = find(key)) return live;
        entries_[key] = made;
        if (entries_.size() >= sweep_at_) sweep();
        return made;
    }

    // Keys whose object is still alive; for tests.
    std::size_t live() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t n = 0;
        for (const auto& entry : entries_) n += entry.second.expired() ? 0 : 1;
        return n;
    }

private:
    std::shared_ptr<const Value> find(const Key& key) const {
        const auto it = entries_.find(key);
        return it == entries_.end() ? nullptr : it->second.lock();
    }

    // Drops the entries whose object is gone; the next sweep waits until
    // the map has doubled, so sweeping stays amortised O(1) per insertion.
    void sweep() {
        for (auto it = entries_.begin(); it != entries_.end();) {
            it = it->second.expired() ? entries_.erase(it) : std::next(it);
        }
        sweep_at_ = 2 * entries_.size() + min_sweep;
    }

    static constexpr std::size_t min_sweep = 32;

    mutable std::mutex mutex_;
    std::map<Key, std::weak_ptr<const Value>> entries_;
    std::size_t sweep_at_ = min_sweep;
};

}  // namespace tenvira
