// Process-wide EEG state: the bounded buffer of received sample blocks, its
// length limit and the last EEG configuration the device reported. Each value
// has its own lock; they nest only as configuration -> buffer -> length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "kx_proto_sdk_eeg_cap.pb.h"

namespace kx::data_handler {

// One sample block as received: the device's counter and the raw bytes
// (108 when well formed; decoded only when read).
struct EegRecord {
    std::uint32_t timestamp = 0;
    std::string data;
    bool operator==(const EegRecord&) const = default;
};

// Codes in the order of the EegConfig fields.
struct EegConfigCodes {
    std::uint32_t freq = 0;
    std::uint32_t gain = 0;
    std::uint32_t source = 0;
    bool operator==(const EegConfigCodes&) const = default;
};

inline constexpr std::size_t kDefaultEegBufferLen = 1000;

class EegState {
public:
    // Takes effect when the next samples arrive; nothing is trimmed here.
    void set_buffer_len(std::size_t len);
    std::size_t buffer_len();
    void clear();

    // An EEG response of the device: a changed configuration first (it empties
    // the buffer), then the samples, trimmed to the buffer length in one step.
    void apply(const ::kx_proto_sdk::eeg_cap::EegAcqResponse& eeg);

    // The newest min(take, size) records, oldest first, and the gain code they
    // were recorded under, read together. `clean` empties the whole buffer,
    // else only the returned records are removed.
    struct Taken {
        std::uint32_t gain = 0;
        std::vector<EegRecord> records;
    };
    Taken take_newest(std::size_t take, bool clean);

    EegConfigCodes config();
    std::size_t size();

private:
    void clear_locked_buffer();

    std::mutex config_mutex_;
    EegConfigCodes config_;
    std::mutex buffer_mutex_;
    std::deque<EegRecord> buffer_;
    std::mutex len_mutex_;
    std::size_t buffer_len_ = kDefaultEegBufferLen;
};

// The one instance of the process (never destroyed: workers may use it at exit).
EegState& eeg_state();

}  // namespace kx::data_handler
