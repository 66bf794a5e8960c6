// Device discovery: finds the EEG cap's service on the local network and stops
// discovery for good once a connection is made.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

#include <asio/awaitable.hpp>

namespace kx::utils::mdns {

inline constexpr std::string_view SERVICE_TYPE = "_quenlor-eeg._tcp.local.";

struct ScanResult {
    std::string address;  // dotted IPv4 or compressed IPv6, no brackets or zone
    std::uint16_t port;
};

struct ScanError {
    std::string text;
};

using ScanOutcome = std::variant<ScanResult, ScanError>;

// The process-wide discovery daemon could not be created. Creation is tried
// once; every later scan or stop throws this again. It is an internal fault,
// not an error value.
class DaemonUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Browses SERVICE_TYPE and returns the first address and the port of the first
// instance that resolves. Waits without limit until one resolves or the browse
// ends. Scans that run at the same time run one after another, each with a
// browse of its own; a stop does not wait for them. Throws DaemonUnavailable.
asio::awaitable<ScanOutcome> scan();

// Stops the browse and shuts the daemon down for the rest of the process.
// Refused requests are only logged; never fails otherwise. Throws
// DaemonUnavailable. Runs on the caller's executor; call it as the first step
// of a connect.
asio::awaitable<void> stop_scan();

// "1.5s", "250ms", "12.345µs", "800ns": largest unit with a value of at least 1.
std::string format_elapsed(std::chrono::nanoseconds elapsed);

}  // namespace kx::utils::mdns
