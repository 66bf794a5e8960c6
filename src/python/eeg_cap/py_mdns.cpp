// eeg_cap.mdns_scan(): awaitable discovery of the EEG cap on the local network.
#include <Python.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <variant>

#include <fmt/format.h>

#include "python/awaitable.hpp"
#include "python/binding/class_builder.hpp"
#include "python/binding/errors.hpp"
#include "python/eeg_cap/py_mod_eeg_cap.hpp"
#include "utils/mdns.hpp"

namespace kx::py {
namespace {

// Resolves to (address, port); a daemon that cannot be created surfaces as
// the bridge's fault.
asio::awaitable<std::tuple<std::string, std::uint16_t>> scan_work() {
    auto outcome = co_await utils::mdns::scan();
    if (auto* error = std::get_if<utils::mdns::ScanError>(&outcome)) {
        throw AwaitError(PyExc_RuntimeError, fmt::format("Failed to scan for mDNS service: {}", error->text));
    }
    auto& found = std::get<utils::mdns::ScanResult>(outcome);
    co_return std::tuple<std::string, std::uint16_t>(std::move(found.address), found.port);
}

PyObject* mdns_scan(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* { return spawn_awaitable(scan_work()); });
}

}  // namespace

PyMethodDef g_mdns_scan_def = KX_FUNCTION_NOARGS("mdns_scan", mdns_scan);

}  // namespace kx::py
