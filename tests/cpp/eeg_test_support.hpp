// Builders of EEG responses for the EEG state and consumer tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "data_handler/eeg_buffer.hpp"
#include "kx_proto_sdk_eeg_cap.pb.h"

namespace kx::test {

namespace msgs = ::kx_proto_sdk::eeg_cap;

// An EegAcqResponse with an optional configuration and, unless `with_data` is
// false, an EegData holding `timestamps.size()` samples (at most four) of `data`.
inline msgs::EegAcqResponse eeg_response(std::optional<data_handler::EegConfigCodes> config,
                                         const std::vector<std::uint32_t>& timestamps,
                                         const std::string& data = std::string(108, '\0'),
                                         bool with_data = true) {
    msgs::EegAcqResponse eeg;
    if (config) {
        eeg.mutable_config()->set_freq(static_cast<msgs::EegSampleRateValue>(config->freq));
        eeg.mutable_config()->set_gain(static_cast<msgs::EegGainValue>(config->gain));
        eeg.mutable_config()->set_source(static_cast<msgs::EegSignalSourceValue>(config->source));
    }
    if (with_data) {
        msgs::EegData* d = eeg.mutable_data();
        for (std::size_t i = 0; i < timestamps.size(); ++i) {
            msgs::EegSample* slot = i == 0   ? d->mutable_sample_1()
                                    : i == 1 ? d->mutable_sample_2()
                                    : i == 2 ? d->mutable_sample_3()
                                             : d->mutable_sample_4();
            slot->set_timestamp(timestamps[i]);
            slot->set_data(data);
        }
    }
    return eeg;
}

inline std::vector<std::uint32_t> timestamps_of(const data_handler::EegState::Taken& taken) {
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i < taken.count(); ++i) out.push_back(taken[i].timestamp);
    return out;
}

}  // namespace kx::test
