// MessageStream, the async iterator over a parser's messages as JSON bytes, and
// the awaited work of MessageParser.start_message_stream.
#pragma once

#include <Python.h>

#include "proto/device_message.hpp"

namespace kx::py {

// Front half of MessageParser.start_message_stream: returns the awaitable that
// subscribes a new receiver to the parser's channel and starts one message
// consumer task on it; resolves to ().
PyObject* start_message_stream(const proto::MessageSender& sender);

}  // namespace kx::py
