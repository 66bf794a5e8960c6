#include "data_handler/eeg_buffer.hpp"

#include <algorithm>
#include <utility>

namespace kx::data_handler {

namespace msgs = ::kx_proto_sdk::eeg_cap;

void EegState::set_buffer_len(std::size_t len) {
    std::lock_guard<std::mutex> lock(len_mutex_);
    buffer_len_ = len;
}

std::size_t EegState::buffer_len() {
    std::lock_guard<std::mutex> lock(len_mutex_);
    return buffer_len_;
}

void EegState::clear() {
    std::lock_guard<std::mutex> lock(buffer_mutex_);
    buffer_.clear();
}

void EegRing::push_back(std::uint32_t timestamp, std::string_view data) {
    if (size_ == slots_.size()) grow();
    EegRecord& record = slots_[index(size_)];
    record.timestamp = timestamp;
    record.data.assign(data.data(), data.size());  // reuses the slot's storage
    ++size_;
}

void EegRing::drop_front(std::size_t n) {
    head_ = index(n);
    size_ -= n;
    if (size_ == 0) head_ = 0;
}

void EegRing::drop_back(std::size_t n) {
    size_ -= n;
    if (size_ == 0) head_ = 0;
}

void EegRing::swap(EegRing& other) noexcept {
    slots_.swap(other.slots_);
    std::swap(head_, other.head_);
    std::swap(size_, other.size_);
}

void EegRing::grow() {
    std::rotate(slots_.begin(), slots_.begin() + static_cast<std::ptrdiff_t>(head_), slots_.end());
    head_ = 0;
    slots_.resize(std::max<std::size_t>(64, 2 * slots_.size()));
}

void EegState::apply(const msgs::EegAcqResponse& eeg) {
    // The configuration lock is held until this message's samples are in, so
    // another consumer's configuration cannot slip in between: every record is
    // read with the gain its message carried. Order: configuration, buffer, length.
    std::lock_guard<std::mutex> config_lock(config_mutex_);
    bool changed = false;
    if (eeg.has_config()) {
        const EegConfigCodes reported{static_cast<std::uint32_t>(eeg.config().freq()),
                                      static_cast<std::uint32_t>(eeg.config().gain()),
                                      static_cast<std::uint32_t>(eeg.config().source())};
        changed = reported != config_;
        config_ = reported;
    }
    if (!changed && !eeg.has_data()) return;
    std::lock_guard<std::mutex> buffer_lock(buffer_mutex_);
    // Samples of the old configuration must not be scaled with the new gain.
    if (changed) buffer_.clear();
    if (!eeg.has_data()) return;
    const msgs::EegData& data = eeg.data();
    for (const msgs::EegSample* sample : {data.has_sample_1() ? &data.sample_1() : nullptr,
                                          data.has_sample_2() ? &data.sample_2() : nullptr,
                                          data.has_sample_3() ? &data.sample_3() : nullptr,
                                          data.has_sample_4() ? &data.sample_4() : nullptr}) {
        if (sample != nullptr) buffer_.push_back(sample->timestamp(), sample->data());
    }
    const std::size_t max_len = buffer_len();
    if (buffer_.size() > max_len) buffer_.drop_front(buffer_.size() - max_len);
}

EegState::Taken EegState::take_newest(std::size_t take, bool clean) {
    Taken taken;
    // Same order as apply(): the gain and the records it scales are read as one.
    std::lock_guard<std::mutex> config_lock(config_mutex_);
    taken.gain = config_.gain;
    std::lock_guard<std::mutex> buffer_lock(buffer_mutex_);
    const std::size_t n = std::min(take, buffer_.size());
    if (clean) {
        // The whole ring goes out; the buffer goes on in the spare one.
        taken.ring.swap(buffer_);
        buffer_.swap(spare_);
        taken.first = taken.ring.size() - n;
    } else {
        taken.ring.swap(spare_);
        for (std::size_t i = buffer_.size() - n; i < buffer_.size(); ++i) {
            taken.ring.push_back(buffer_[i].timestamp, buffer_[i].data);
        }
        buffer_.drop_back(n);
    }
    return taken;
}

void EegState::recycle(EegRing&& ring) {
    // A ring far larger than the buffer may grow is not worth its memory.
    if (ring.capacity() / 2 > std::max<std::size_t>(buffer_len(), 1024)) return;
    ring.clear();
    EegRing dropped;  // freed after the lock is released
    std::lock_guard<std::mutex> lock(buffer_mutex_);
    if (ring.capacity() <= spare_.capacity()) return;
    dropped.swap(spare_);
    spare_.swap(ring);
}

EegConfigCodes EegState::config() {
    std::lock_guard<std::mutex> lock(config_mutex_);
    return config_;
}

std::size_t EegState::size() {
    std::lock_guard<std::mutex> lock(buffer_mutex_);
    return buffer_.size();
}

EegState& eeg_state() {
    static EegState* state = new EegState();
    return *state;
}

}  // namespace kx::data_handler
