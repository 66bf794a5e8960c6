#include "utils/mdns_daemon.hpp"

#include <map>
#include <mutex>
#include <set>
#include <utility>

#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>
#include <avahi-core/core.h>
#include <avahi-core/log.h>
#include <avahi-core/lookup.h>
#include <fmt/format.h>

#include "utils/log.hpp"
#include "utils/mdns_descriptors.hpp"

// Frees the record browsers and lookups that freed browsers and resolvers
// leave behind. Avahi does so itself only after it has read a packet, so on a
// quiet network every browse replaced before its first query went out stayed
// until shutdown. Declared in Avahi's internal headers only, but exported
// (listed in Debian's symbols file since 0.6.24); weak, so that a library
// without it leaves them to Avahi as before.
extern "C" void avahi_cleanup_dead_entries(AvahiServer* server) __attribute__((weak));

namespace kx::utils::mdns_daemon {
namespace {

// How long a resolved service may wait for its host's first address before it
// is reported without one.
constexpr unsigned kAddressWaitMs = 1000;

constexpr std::string_view kShutDownText = "the mDNS daemon has shut down";

void avahi_log_to_facade(AvahiLogLevel level, const char* text) {
    std::string_view message(text != nullptr ? text : "");
    log::Level ours = log::Level::Debug;
    switch (level) {
        case AVAHI_LOG_ERROR: ours = log::Level::Error; break;
        case AVAHI_LOG_WARN: ours = log::Level::Warn; break;
        case AVAHI_LOG_NOTICE:
        case AVAHI_LOG_INFO: ours = log::Level::Info; break;
        default: ours = log::Level::Debug; break;
    }
    // Sharing port 5353 with the host's own responder is how this daemon is
    // meant to run, so Avahi's warning about it is only news.
    if (ours == log::Level::Warn && message.find("Detected another") != std::string_view::npos) {
        ours = log::Level::Info;
    }
    KX_LOG(ours, kAvahiLogTarget, "{}", message);
}

std::string error_text(int code) { return avahi_strerror(code); }

// "_x._tcp.local." -> {"_x._tcp", "local"}.
std::optional<std::pair<std::string, std::string>> split_service_type(std::string_view full) {
    if (full.empty() || full.back() != '.') return std::nullopt;
    full.remove_suffix(1);
    for (std::string_view proto : {"._tcp.", "._udp."}) {
        const auto at = full.find(proto);
        if (at == std::string_view::npos || at == 0) continue;
        const auto domain_at = at + proto.size();
        if (domain_at >= full.size()) return std::nullopt;
        return std::make_pair(std::string(full.substr(0, domain_at - 1)),
                              std::string(full.substr(domain_at)));
    }
    return std::nullopt;
}

std::string with_trailing_dot(std::string name) {
    if (name.empty() || name.back() != '.') name.push_back('.');
    return name;
}

}  // namespace

struct Browse;

// One service instance of a browse, however many interfaces report it.
struct Instance {
    Browse* browse = nullptr;
    std::string name;
    std::set<std::pair<AvahiIfIndex, AvahiProtocol>> seen_on;
    AvahiSServiceResolver* resolver = nullptr;
    AvahiSRecordBrowser* address_browsers[2] = {nullptr, nullptr};
    int cache_scans_pending = 0;
    AvahiTimeout* timer = nullptr;  // address deadline, or an immediate report
    std::string host_name;
    std::uint16_t port = 0;
    std::vector<std::string> addresses;
    bool reported = false;
};

struct Browse {
    Daemon::Impl* impl = nullptr;
    std::string service_type;  // full form, e.g. "_x._tcp.local."
    AvahiSServiceBrowser* browser = nullptr;
    std::shared_ptr<EventStream> stream;
    std::map<std::string, std::unique_ptr<Instance>> instances;
};

struct Daemon::Impl {
    std::mutex api_mutex;  // serialises requests; taken before the poll lock
    bool down = false;
    AvahiThreadedPoll* poll = nullptr;
    AvahiServer* server = nullptr;
    std::map<std::string, std::unique_ptr<Browse>, std::less<>> browses;

    const AvahiPoll* poll_api() const { return avahi_threaded_poll_get(poll); }

    // --- everything below runs with the poll lock held ---

    void emit(Browse& b, ServiceEvent event) {
        KX_TRACE(kLogTarget, "{}", debug_text(event));
        if (!b.stream->push(std::move(event)) && !b.stream->closed()) {
            KX_DEBUG(kLogTarget, "Dropped an event of {}: too many unread", b.service_type);
        }
    }

    std::string fullname(const Browse& b, const std::string& name) const {
        return fmt::format("{}.{}", name, b.service_type);
    }

    void release_address_browsers(Instance& in) {
        for (auto*& rb : in.address_browsers) {
            if (rb) avahi_s_record_browser_free(rb);
            rb = nullptr;
        }
    }

    void release_lookups(Instance& in) {
        if (in.resolver) avahi_s_service_resolver_free(in.resolver);
        in.resolver = nullptr;
        release_address_browsers(in);
        if (in.timer) poll_api()->timeout_free(in.timer);
        in.timer = nullptr;
    }

    // Not from inside an Avahi callback: the stack may be walking the very
    // browsers this frees.
    void reclaim_dead_lookups() {
        if (avahi_cleanup_dead_entries) avahi_cleanup_dead_entries(server);
    }

    // Ends the stream; the browser itself is freed unless we are inside its
    // own callback (it then goes with the next browse, stop or shutdown).
    void end_browse(Browse& b, bool say_stopped, bool free_browser = true) {
        for (auto& [name, in] : b.instances) release_lookups(*in);
        b.instances.clear();
        if (free_browser && b.browser) {
            avahi_s_service_browser_free(b.browser);
            b.browser = nullptr;
        }
        if (say_stopped) emit(b, SearchStopped{b.service_type});
        b.stream->close();
    }

    void start_resolver(Instance& in, AvahiIfIndex iface, AvahiProtocol proto) {
        const Browse& b = *in.browse;
        const auto split = split_service_type(b.service_type);
        in.resolver = avahi_s_service_resolver_new(
            server, iface, proto, in.name.c_str(), split->first.c_str(), split->second.c_str(),
            AVAHI_PROTO_UNSPEC, static_cast<AvahiLookupFlags>(AVAHI_LOOKUP_NO_TXT | AVAHI_LOOKUP_NO_ADDRESS),
            &Impl::on_resolved, &in);
        if (!in.resolver) {
            KX_WARN(kLogTarget, "Failed to resolve {}: {}", fullname(b, in.name),
                    error_text(avahi_server_errno(server)));
        }
    }

    void schedule_report(Instance& in, unsigned delay_ms) {
        struct timeval tv;
        avahi_elapse_time(&tv, delay_ms, 0);
        if (in.timer) {
            poll_api()->timeout_update(in.timer, &tv);
        } else {
            in.timer = poll_api()->timeout_new(poll_api(), &tv, &Impl::on_report_due, &in);
        }
    }

    void gather_addresses(Instance& in) {
        const std::uint16_t types[2] = {AVAHI_DNS_TYPE_A, AVAHI_DNS_TYPE_AAAA};
        for (int i = 0; i < 2; ++i) {
            AvahiKey* key = avahi_key_new(in.host_name.c_str(), AVAHI_DNS_CLASS_IN, types[i]);
            if (!key) continue;
            in.address_browsers[i] = avahi_s_record_browser_new(
                server, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, key, AVAHI_LOOKUP_USE_MULTICAST,
                &Impl::on_address, &in);
            avahi_key_unref(key);
            if (in.address_browsers[i]) {
                ++in.cache_scans_pending;
            } else {
                KX_WARN(kLogTarget, "Failed to look up the addresses of {}: {}", in.host_name,
                        error_text(avahi_server_errno(server)));
            }
        }
        schedule_report(in, in.cache_scans_pending == 0 ? 0 : kAddressWaitMs);
    }

    static void on_browse(AvahiSServiceBrowser*, AvahiIfIndex iface, AvahiProtocol proto,
                          AvahiBrowserEvent event, const char* name, const char*, const char*,
                          AvahiLookupResultFlags, void* userdata) {
        auto& b = *static_cast<Browse*>(userdata);
        Impl& impl = *b.impl;
        switch (event) {
            case AVAHI_BROWSER_NEW: {
                auto& slot = b.instances[name];
                if (!slot) {
                    slot = std::make_unique<Instance>();
                    slot->browse = &b;
                    slot->name = name;
                    impl.emit(b, ServiceFound{b.service_type, impl.fullname(b, name)});
                }
                Instance& in = *slot;
                KX_TRACE(kLogTarget, "{} seen on interface {} ({})", impl.fullname(b, name), iface,
                         avahi_proto_to_string(proto));
                in.seen_on.emplace(iface, proto);
                if (!in.reported && !in.resolver && in.host_name.empty()) {
                    impl.start_resolver(in, iface, proto);
                }
                break;
            }
            case AVAHI_BROWSER_REMOVE: {
                auto it = b.instances.find(name);
                if (it == b.instances.end()) break;
                it->second->seen_on.erase({iface, proto});
                if (!it->second->seen_on.empty()) break;
                impl.release_lookups(*it->second);
                b.instances.erase(it);
                impl.emit(b, ServiceRemoved{b.service_type, impl.fullname(b, name)});
                break;
            }
            case AVAHI_BROWSER_FAILURE:
                KX_WARN(kLogTarget, "Browsing {} failed: {}", b.service_type,
                        error_text(avahi_server_errno(impl.server)));
                impl.end_browse(b, true, false);
                break;
            case AVAHI_BROWSER_CACHE_EXHAUSTED:
            case AVAHI_BROWSER_ALL_FOR_NOW:
                break;
        }
    }

    static void on_resolved(AvahiSServiceResolver* r, AvahiIfIndex, AvahiProtocol,
                            AvahiResolverEvent event, const char*, const char*, const char*,
                            const char* host_name, const AvahiAddress*, std::uint16_t port,
                            AvahiStringList*, AvahiLookupResultFlags, void* userdata) {
        auto& in = *static_cast<Instance*>(userdata);
        Impl& impl = *in.browse->impl;
        // One answer is all we need; a later change of the record is not followed.
        avahi_s_service_resolver_free(r);
        in.resolver = nullptr;
        if (event != AVAHI_RESOLVER_FOUND || host_name == nullptr) {
            KX_DEBUG(kLogTarget, "Failed to resolve {}: {}", impl.fullname(*in.browse, in.name),
                     error_text(avahi_server_errno(impl.server)));
            return;
        }
        in.host_name = host_name;
        in.port = port;
        impl.gather_addresses(in);
    }

    static void on_address(AvahiSRecordBrowser*, AvahiIfIndex, AvahiProtocol,
                           AvahiBrowserEvent event, AvahiRecord* record, AvahiLookupResultFlags,
                           void* userdata) {
        auto& in = *static_cast<Instance*>(userdata);
        Impl& impl = *in.browse->impl;
        if (in.reported) return;
        switch (event) {
            case AVAHI_BROWSER_NEW: {
                AvahiAddress address{};
                if (record->key->type == AVAHI_DNS_TYPE_A) {
                    address.proto = AVAHI_PROTO_INET;
                    address.data.ipv4 = record->data.a.address;
                } else if (record->key->type == AVAHI_DNS_TYPE_AAAA) {
                    address.proto = AVAHI_PROTO_INET6;
                    address.data.ipv6 = record->data.aaaa.address;
                } else {
                    break;
                }
                char text[AVAHI_ADDRESS_STR_MAX];
                if (!avahi_address_snprint(text, sizeof text, &address)) break;
                bool known = false;
                for (const auto& a : in.addresses) known = known || a == text;
                if (!known) in.addresses.emplace_back(text);
                // Records of one packet arrive one by one; report after the
                // whole packet has been read.
                if (in.cache_scans_pending == 0) impl.schedule_report(in, 0);
                break;
            }
            case AVAHI_BROWSER_CACHE_EXHAUSTED:
                if (in.cache_scans_pending > 0 && --in.cache_scans_pending == 0 && !in.addresses.empty()) {
                    impl.schedule_report(in, 0);
                }
                break;
            case AVAHI_BROWSER_FAILURE:
                KX_DEBUG(kLogTarget, "Address lookup of {} failed: {}", in.host_name,
                         error_text(avahi_server_errno(impl.server)));
                break;
            case AVAHI_BROWSER_REMOVE:
            case AVAHI_BROWSER_ALL_FOR_NOW:
                break;
        }
    }

    static void on_report_due(AvahiTimeout*, void* userdata) {
        auto& in = *static_cast<Instance*>(userdata);
        Impl& impl = *in.browse->impl;
        if (in.reported) return;
        in.reported = true;
        // The timer itself stays until the instance goes: it is running now.
        impl.release_address_browsers(in);
        impl.emit(*in.browse, ServiceResolved{impl.fullname(*in.browse, in.name),
                                              with_trailing_dot(in.host_name), in.addresses, in.port});
    }

    static void on_server_state(AvahiServer* server, AvahiServerState state, void*) {
        switch (state) {
            case AVAHI_SERVER_REGISTERING: KX_DEBUG(kLogTarget, "mDNS stack registering"); break;
            case AVAHI_SERVER_RUNNING: KX_DEBUG(kLogTarget, "mDNS stack running"); break;
            case AVAHI_SERVER_COLLISION: KX_DEBUG(kLogTarget, "mDNS host name collision"); break;
            case AVAHI_SERVER_FAILURE:
                KX_WARN(kLogTarget, "mDNS stack failed: {}", error_text(avahi_server_errno(server)));
                break;
            default: break;
        }
    }
};

Result<std::unique_ptr<Daemon>> Daemon::create() {
    static std::once_flag log_route;
    std::call_once(log_route, [] { avahi_set_log_function(&avahi_log_to_facade); });
    // One creation at a time: each marks close-on-exec what appeared while it
    // ran, since Avahi opens its pipe and netlink socket without the flag.
    static std::mutex creating;
    std::lock_guard creation(creating);
    DescriptorListing listing;
    const std::vector<int> before = listing.read();  // without the placeholders, whose numbers Avahi reuses
    // Room for Avahi's descriptors is held from here and handed over just
    // before each call that opens some; the margin is for what other threads
    // open at the same moment.
    constexpr int kNeeded = kDaemonDescriptors + kDescriptorMargin;
    DescriptorReserve reserve(kNeeded);
    if (reserve.ran_out()) {
        return Error{fmt::format("Failed to create the mDNS daemon: too few file descriptors left ({} free, {} needed)",
                                 reserve.held(), kNeeded)};
    }

    auto impl = std::make_unique<Impl>();
    reserve.release(kPollerDescriptors + kDescriptorMargin);
    impl->poll = avahi_threaded_poll_new();
    if (!impl->poll) return Error{"Failed to create the mDNS poller"};

    AvahiServerConfig config;
    avahi_server_config_init(&config);
    config.host_name = avahi_strdup("kx-proto-sdk");
    config.use_ipv4 = 1;
    config.use_ipv6 = 1;
    config.publish_hinfo = 0;
    config.publish_addresses = 0;
    config.publish_workstation = 0;
    config.publish_domain = 0;
    config.disable_publishing = 1;
    config.enable_wide_area = 0;
    config.use_iff_running = 0;

    reserve.release(kServerDescriptors);
    int error = 0;
    impl->server = avahi_server_new(impl->poll_api(), &config, &Impl::on_server_state, impl.get(), &error);
    avahi_server_config_free(&config);
    mark_close_on_exec(before, listing.read());
    if (!impl->server) {
        avahi_threaded_poll_free(impl->poll);
        return Error{fmt::format("Failed to create the mDNS daemon: {}", error_text(error))};
    }
    if (avahi_threaded_poll_start(impl->poll) < 0) {
        avahi_server_free(impl->server);
        avahi_threaded_poll_free(impl->poll);
        return Error{"Failed to start the mDNS daemon thread"};
    }
    KX_DEBUG(kLogTarget, "mDNS daemon started");
    return std::unique_ptr<Daemon>(new Daemon(std::move(impl)));
}

Daemon::Daemon(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Daemon::~Daemon() { (void)shutdown(); }

Result<EventReceiver> Daemon::browse(std::string_view service_type) {
    std::lock_guard api(impl_->api_mutex);
    if (impl_->down) return Error{std::string(kShutDownText)};
    const auto split = split_service_type(service_type);
    if (!split) return Error{fmt::format("invalid service type: {:?}", service_type)};

    auto b = std::make_unique<Browse>();
    b->impl = impl_.get();
    b->service_type = service_type;
    b->stream = std::make_shared<EventStream>();
    EventReceiver receiver(b->stream);

    avahi_threaded_poll_lock(impl_->poll);
    if (auto old = impl_->browses.find(service_type); old != impl_->browses.end()) {
        impl_->end_browse(*old->second, true);
        impl_->browses.erase(old);
        impl_->reclaim_dead_lookups();
    }
    b->browser = avahi_s_service_browser_new(impl_->server, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                             split->first.c_str(), split->second.c_str(),
                                             static_cast<AvahiLookupFlags>(0), &Impl::on_browse, b.get());
    std::optional<Error> failed;
    if (!b->browser) {
        failed = Error{fmt::format("Failed to browse {}: {}", service_type,
                                   error_text(avahi_server_errno(impl_->server)))};
    } else {
        impl_->emit(*b, SearchStarted{fmt::format("{} on all interfaces", service_type)});
        impl_->browses.emplace(std::string(service_type), std::move(b));
    }
    avahi_threaded_poll_unlock(impl_->poll);
    if (failed) return *failed;
    return receiver;
}

std::optional<Error> Daemon::stop_browse(std::string_view service_type) {
    std::lock_guard api(impl_->api_mutex);
    if (impl_->down) return Error{std::string(kShutDownText)};
    avahi_threaded_poll_lock(impl_->poll);
    if (auto it = impl_->browses.find(service_type); it != impl_->browses.end()) {
        impl_->end_browse(*it->second, true);
        impl_->browses.erase(it);
        impl_->reclaim_dead_lookups();
    }
    avahi_threaded_poll_unlock(impl_->poll);
    return std::nullopt;
}

std::optional<Error> Daemon::shutdown() {
    std::lock_guard api(impl_->api_mutex);
    if (impl_->down) return Error{std::string(kShutDownText)};
    impl_->down = true;
    avahi_threaded_poll_lock(impl_->poll);
    for (auto& [type, b] : impl_->browses) impl_->end_browse(*b, false);
    impl_->browses.clear();
    avahi_threaded_poll_unlock(impl_->poll);
    avahi_threaded_poll_stop(impl_->poll);
    avahi_server_free(impl_->server);
    avahi_threaded_poll_free(impl_->poll);
    impl_->server = nullptr;
    impl_->poll = nullptr;
    KX_DEBUG(kLogTarget, "mDNS daemon shut down");
    return std::nullopt;
}

}  // namespace kx::utils::mdns_daemon
