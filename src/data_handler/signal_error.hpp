// The error of a signal function called with values it cannot work on
// (cut-offs outside the band, data too short for the filter, an empty window,
// NaN where values must be ordered). The Python layer raises it as ValueError.
#pragma once

#include <stdexcept>

namespace kx::data_handler {

class SignalArgumentError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

}  // namespace kx::data_handler
