#include "line_pacer.h"

#include <algorithm>

namespace kinetra::sim {

void line_pacer::queue(const std::vector<std::uint8_t> &bytes, clock::time_point now) {
    clock::time_point at = on_line_.size() > head_ ? std::max(now, on_line_.back()) : now;
    for (const std::uint8_t b : bytes) {
        at += byte_time;
        bytes_.push_back(b);
        on_line_.push_back(at);
    }
}

std::size_t line_pacer::ready(clock::time_point now) const {
    const std::size_t n = waiting();
    if (!timing_.paced || n == 0) {
        return n;
    }
    const auto first = on_line_.begin() + static_cast<std::ptrdiff_t>(head_);
    const auto crossed =
        static_cast<std::size_t>(std::upper_bound(first, on_line_.end(), now) - first);
    if (crossed == n && now >= on_line_.back() + timing_.latency) {
        return n; // the last short chunk, once the adapter's latency has passed
    }
    return crossed / timing_.chunk * timing_.chunk;
}

std::optional<line_pacer::clock::time_point> line_pacer::next_ready() const {
    const std::size_t n = waiting();
    if (n == 0) {
        return std::nullopt;
    }
    if (!timing_.paced) {
        return clock::time_point::min();
    }
    if (timing_.chunk <= n) {
        return on_line_[head_ + timing_.chunk - 1];
    }
    return on_line_.back() + timing_.latency;
}

void line_pacer::consume(std::size_t n) {
    head_ += std::min(n, waiting());
    if (head_ == bytes_.size()) {
        clear();
    } else if (head_ > 4096) {
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
        on_line_.erase(on_line_.begin(), on_line_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

void line_pacer::clear() {
    bytes_.clear();
    on_line_.clear();
    head_ = 0;
}

} // namespace kinetra::sim
