#include "utils/mdns.hpp"

#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include <fmt/format.h>

#include "utils/async_mutex.hpp"
#include "utils/log.hpp"
#include "utils/mdns_daemon.hpp"

namespace kx::utils::mdns {
namespace {

namespace md = kx::utils::mdns_daemon;

constexpr std::string_view kTarget = "kx_proto_sdk::utils::mdns";

// Created by the first scan or stop, never re-created: a failed creation is
// kept and reported again, a shut-down daemon keeps refusing requests.
struct DaemonSlot {
    AsyncMutex mutex;
    bool tried = false;
    std::unique_ptr<md::Daemon> daemon;
    std::string failure;
};

// The receiver of the latest scan's browse.
struct EventSlot {
    AsyncMutex mutex;
    std::optional<md::EventReceiver> receiver;
};

// Process-wide and deliberately never destroyed: the Avahi thread may still
// be running when static destructors would run at exit.
DaemonSlot& daemon_slot() {
    static DaemonSlot* slot = new DaemonSlot;
    return *slot;
}

EventSlot& event_slot() {
    static EventSlot* slot = new EventSlot;
    return *slot;
}

// Call with the daemon slot locked.
md::Daemon& daemon_of(DaemonSlot& slot) {
    if (!slot.tried) {
        slot.tried = true;
        auto created = md::Daemon::create();
        if (auto* daemon = std::get_if<std::unique_ptr<md::Daemon>>(&created)) {
            slot.daemon = std::move(*daemon);
        } else {
            slot.failure = std::get<md::Error>(created).text;
        }
    }
    if (!slot.daemon) throw DaemonUnavailable(slot.failure);
    return *slot.daemon;
}

// Logs one event; returns the scan's outcome when the event ends the scan.
std::optional<ScanOutcome> handle_event(const md::ServiceEvent& event, std::chrono::steady_clock::time_point start) {
    const auto elapsed = [&] {
        return format_elapsed(std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now() - start));
    };
    if (const auto* resolved = std::get_if<md::ServiceResolved>(&event)) {
        KX_LOG_FIXED(log::Level::Debug, kTarget, log::fixed::kMdnsResolved,
                     "At {}: Resolved a new service: \n{}\n host: {}\n port: {}", elapsed(),
                     resolved->fullname, resolved->host_name, resolved->port);
        for (const auto& address : resolved->addresses) {
            KX_LOG_FIXED(log::Level::Info, kTarget, log::fixed::kMdnsResolvedAddress, "Resolved Address: {}", address);
        }
        if (resolved->addresses.empty()) return ScanError{"No address found"};
        return ScanResult{resolved->addresses.front(), resolved->port};
    }
    if (std::holds_alternative<md::SearchStopped>(event)) {
        KX_LOG_FIXED(log::Level::Info, kTarget, log::fixed::kMdnsSearchStopped, "SearchStopped");
        return std::nullopt;
    }
    KX_LOG_FIXED(log::Level::Debug, kTarget, log::fixed::kMdnsEvent, "At {}: {}", elapsed(), md::debug_text(event));
    return std::nullopt;
}

}  // namespace

std::string format_elapsed(std::chrono::nanoseconds elapsed) {
    struct Unit {
        std::int64_t ns;
        int digits;
        const char* suffix;
    };
    static constexpr Unit kUnits[] = {
        {1'000'000'000, 9, "s"}, {1'000'000, 6, "ms"}, {1'000, 3, "µs"}, {1, 0, "ns"}};
    const std::int64_t ns = std::max<std::int64_t>(elapsed.count(), 0);
    for (const Unit& unit : kUnits) {
        if (ns < unit.ns && unit.ns != 1) continue;
        std::string text = fmt::format("{}", ns / unit.ns);
        if (const std::int64_t fraction = ns % unit.ns; fraction != 0) {
            std::string digits = fmt::format("{:0{}}", fraction, unit.digits);
            digits.erase(digits.find_last_not_of('0') + 1);
            text += '.' + digits;
        }
        return text + unit.suffix;
    }
    return "0ns";
}

asio::awaitable<ScanOutcome> scan() {
    DaemonSlot& daemons = daemon_slot();
    EventSlot& events = event_slot();
    // The event slot is held from the browse to the end of the scan: a scan
    // started meanwhile waits here, so it cannot replace this scan's receiver
    // with its own browse. It is taken before the daemon, which is held only
    // for the browse request, so a stop never waits behind a scan.
    auto events_guard = co_await events.mutex.lock();
    {
        auto daemon_guard = co_await daemons.mutex.lock();
        auto browsed = daemon_of(daemons).browse(SERVICE_TYPE);
        if (auto* error = std::get_if<md::Error>(&browsed)) co_return ScanError{std::move(error->text)};
        events.receiver.emplace(std::move(std::get<md::EventReceiver>(browsed)));
    }
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        std::optional<md::ServiceEvent> event = co_await events.receiver->receive();
        if (!event) co_return ScanError{"No service found"};
        if (auto outcome = handle_event(*event, start)) co_return std::move(*outcome);
    }
}

asio::awaitable<void> stop_scan() {
    DaemonSlot& daemons = daemon_slot();
    auto guard = co_await daemons.mutex.lock();
    md::Daemon& daemon = daemon_of(daemons);
    if (auto error = daemon.stop_browse(SERVICE_TYPE)) {
        KX_LOG_FIXED(log::Level::Warn, kTarget, log::fixed::kMdnsStopBrowseFailed, "Failed to stop browsing: {}",
                     error->text);
    }
    if (auto error = daemon.shutdown()) {
        KX_LOG_FIXED(log::Level::Warn, kTarget, log::fixed::kMdnsShutdownFailed, "Failed to shutdown mdns: {}",
                     error->text);
    }
}

}  // namespace kx::utils::mdns
