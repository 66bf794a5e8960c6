// The message consumer task: moves the EEG responses of a parser's message
// channel into the process-wide EEG state and logs messages of other directions.
#pragma once

#include <asio.hpp>

#include "data_handler/eeg_buffer.hpp"
#include "proto/device_message.hpp"

namespace kx::data_handler {

inline constexpr const char* kConsumerLogTarget = "kx_proto_sdk::python::eeg_cap::py_mod_eeg_cap";

/// Applies the EEG response of a message from the device to `state` (native
/// work under short locks, nothing logged). False, and nothing done, for a
/// message of another direction: that one is to be logged.
bool store_eeg(const proto::DeviceMessage& message, EegState& state);

// Runs until the channel closes. A lag is logged (Warn, with the number of
// messages lost) and the task goes on with the oldest message still held.
// A sender on a worker thread (the receive task's parse) runs the task inline,
// so EEG responses are stored on its stack; one on another thread (a Python
// thread feeding a parser) wakes it by post. Every log record is written from a
// turn of its own, so a record that waits for the interpreter lock or a slow
// handler holds up this task only, never the sender.
asio::awaitable<void> run_message_consumer(proto::MessageReceiver receiver, EegState& state);

// Starts a detached consumer on the process-wide runtime, feeding eeg_state().
void spawn_message_consumer(proto::MessageReceiver receiver);

}  // namespace kx::data_handler
