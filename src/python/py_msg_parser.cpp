// MessageParser(device_id, msg_type): a stream parser fed from Python with
// receive_data; start_message_stream feeds the EEG buffer from its messages.
#include "python/py_msg_parser.hpp"

#include "python/binding/args.hpp"
#include "python/binding/class_builder.hpp"
#include "python/binding/enum_class.hpp"
#include "python/binding/errors.hpp"
#include "python/py_classes.hpp"
#include "python/py_enums.hpp"
#include "python/py_message_stream.hpp"

namespace kx::py {
namespace {

PyObject* new_message_parser(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const ArgSpec spec{"MessageParser.__new__()", {"device_id", "msg_type"}};
        PyObject* a[2];
        spec.bind(args, kwargs, a);
        std::string device_id = to_string(a[0], "device_id");
        const auto type_code = enum_code(a[1], msg_type_type(), "msg_type");
        proto::MsgParser parser(std::move(device_id), static_cast<proto::MsgType>(type_code));
        auto slot = std::make_shared<MessageStreamSlot>(parser.sender().subscribe());
        return check(make_instance(type, MessageParserState{std::move(parser), std::move(slot)}));
    });
}

PyObject* receive_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto state = Borrowed<MessageParserState>::exclusive(self, message_parser_type());
        static const ArgSpec spec{"MessageParser.receive_data()", {"data"}};
        PyObject* a[1];
        spec.bind(args, nargs, kwnames, a);
        state->parser.receive_data(to_bytes(a[0], "data"));
        Py_RETURN_NONE;
    });
}

PyObject* start_message_stream(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto state = Borrowed<MessageParserState>::shared(self, message_parser_type());
        return py::start_message_stream(state->parser.sender());
    });
}

PyMethodDef g_parser_methods[] = {
    KX_METHOD("receive_data", receive_data, "($self, data)"),
    KX_METHOD_NOARGS("start_message_stream", start_message_stream),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

proto::MsgParser parser_copy_for_connect(PyObject* obj, const char* arg_name) {
    auto state = Borrowed<MessageParserState>::exclusive(obj, message_parser_type(), arg_name);
    return state->parser;
}

PyTypeObject* message_parser_type() {
    static TypeCell cell;
    return cell.get([] {
        return ClassSpec<MessageParserState>("MessageParser")
            .text_signature("(device_id, msg_type)")
            .constructor(&new_message_parser)
            .methods(g_parser_methods)
            .build();
    });
}

}  // namespace kx::py
