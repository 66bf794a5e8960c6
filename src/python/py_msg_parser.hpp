// Python classes MessageParser and MessageStream: what their instances hold, and the
// parser copy that a connection's receive task owns.
#pragma once

#include <Python.h>

#include <memory>

#include "proto/message_stream.hpp"
#include "proto/msg_parser.hpp"

namespace kx::py {

// A stream over one receiver of a parser's message channel, behind an async mutex.
using MessageStreamSlot = proto::MessageStream;
using MessageStreamHandle = proto::MessageStreamHandle;

// Contents of a MessageParser object.
struct MessageParserState {
    proto::MsgParser parser;
    // Second receiver of the parser's channel, held for the object's life and never read.
    MessageStreamHandle stream_slot;
};

// Copy of the parser state of a MessageParser argument (own buffer and device id,
// shared channel), taken under an exclusive borrow that ends on return. Raises the
// argument's TypeError or "Already borrowed".
proto::MsgParser parser_copy_for_connect(PyObject* obj, const char* arg_name);

}  // namespace kx::py
