// Process-wide EEG state: the bounded buffer of received sample blocks, its
// length limit and the last EEG configuration the device reported. Each value
// has its own lock; they nest only as configuration -> buffer -> length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
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

// Records oldest first in a ring whose slots keep their byte storage when
// records leave, so a steady stream appends without allocating.
class EegRing {
public:
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return slots_.size(); }
    const EegRecord& operator[](std::size_t i) const { return slots_[index(i)]; }

    void push_back(std::uint32_t timestamp, std::string_view data);
    void drop_front(std::size_t n);  // n <= size()
    void drop_back(std::size_t n);   // n <= size()
    void clear() { head_ = size_ = 0; }
    void swap(EegRing& other) noexcept;

private:
    std::size_t index(std::size_t i) const {
        const std::size_t at = head_ + i;
        return at < slots_.size() ? at : at - slots_.size();
    }
    void grow();

    std::vector<EegRecord> slots_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
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
    // were recorded under, read together. `clean` empties the whole buffer
    // (its ring is handed out whole, nothing is copied), else the returned
    // records are copied out and removed. Either way the buffer's lock is
    // held only for that step, never while the caller decodes.
    struct Taken {
        std::uint32_t gain = 0;
        EegRing ring;
        std::size_t first = 0;  // records are ring[first], ..., ring[size - 1]
        std::size_t count() const { return ring.size() - first; }
        const EegRecord& operator[](std::size_t i) const { return ring[first + i]; }
    };
    Taken take_newest(std::size_t take, bool clean);
    // Gives the ring of a Taken back for reuse by the next take_newest.
    void recycle(EegRing&& ring);

    EegConfigCodes config();
    std::size_t size();

private:
    std::mutex config_mutex_;
    EegConfigCodes config_;
    std::mutex buffer_mutex_;
    EegRing buffer_;
    EegRing spare_;  // guarded by buffer_mutex_; swapped in when a reader takes the buffer
    std::mutex len_mutex_;
    std::size_t buffer_len_ = kDefaultEegBufferLen;
};

// The one instance of the process (never destroyed: workers may use it at exit).
EegState& eeg_state();

}  // namespace kx::data_handler
