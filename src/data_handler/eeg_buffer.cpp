#include "data_handler/eeg_buffer.hpp"

#include <algorithm>
#include <iterator>

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
    clear_locked_buffer();
}

void EegState::clear_locked_buffer() { buffer_.clear(); }

void EegState::apply(const msgs::EegAcqResponse& eeg) {
    if (eeg.has_config()) {
        const EegConfigCodes reported{static_cast<std::uint32_t>(eeg.config().freq()),
                                      static_cast<std::uint32_t>(eeg.config().gain()),
                                      static_cast<std::uint32_t>(eeg.config().source())};
        std::lock_guard<std::mutex> config_lock(config_mutex_);
        if (reported != config_) {
            config_ = reported;
            // Samples of the old configuration must not be scaled with the new gain.
            std::lock_guard<std::mutex> buffer_lock(buffer_mutex_);
            clear_locked_buffer();
        }
    }
    if (eeg.has_data()) {
        const msgs::EegData& data = eeg.data();
        std::lock_guard<std::mutex> buffer_lock(buffer_mutex_);
        for (const msgs::EegSample* sample : {data.has_sample_1() ? &data.sample_1() : nullptr,
                                              data.has_sample_2() ? &data.sample_2() : nullptr,
                                              data.has_sample_3() ? &data.sample_3() : nullptr,
                                              data.has_sample_4() ? &data.sample_4() : nullptr}) {
            if (sample != nullptr) buffer_.push_back(EegRecord{sample->timestamp(), sample->data()});
        }
        const std::size_t max_len = buffer_len();
        if (buffer_.size() > max_len) {
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(buffer_.size() - max_len));
        }
    }
}

EegState::Taken EegState::take_newest(std::size_t take, bool clean) {
    Taken taken;
    // Same order as apply(): the gain and the records it scales are read as one.
    std::lock_guard<std::mutex> config_lock(config_mutex_);
    taken.gain = config_.gain;
    std::lock_guard<std::mutex> buffer_lock(buffer_mutex_);
    const std::size_t n = std::min(take, buffer_.size());
    const auto first = buffer_.end() - static_cast<std::ptrdiff_t>(n);
    taken.records.assign(std::make_move_iterator(first), std::make_move_iterator(buffer_.end()));
    if (clean) buffer_.clear();
    else buffer_.erase(first, buffer_.end());
    return taken;
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
