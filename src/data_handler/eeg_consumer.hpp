// The message consumer task: moves the EEG responses of a parser's message
// channel into the process-wide EEG state and logs messages of other directions.
#pragma once

#include <asio.hpp>

#include "data_handler/eeg_buffer.hpp"
#include "proto/device_message.hpp"

namespace kx::data_handler {

inline constexpr const char* kConsumerLogTarget = "kx_proto_sdk::python::eeg_cap::py_mod_eeg_cap";

// Handles one message (no lock is held while it logs).
void consume_message(const proto::DeviceMessage& message, EegState& state);

// Runs until the channel closes. A lag is logged (Warn, with the number of
// messages lost) and the task goes on with the oldest message still held.
asio::awaitable<void> run_message_consumer(proto::MessageReceiver receiver, EegState& state);

// Starts a detached consumer on the process-wide runtime, feeding eeg_state().
void spawn_message_consumer(proto::MessageReceiver receiver);

}  // namespace kx::data_handler
