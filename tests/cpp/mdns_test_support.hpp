// Support for discovery tests that open mDNS sockets: they run only inside a
// private network namespace whose one interface is loopback, and they start a
// python-zeroconf responder (tests/python/support/mdns_responder.py).
#pragma once

#include <net/if.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kx::test {

// True when loopback is the only network interface: mDNS cannot leave the machine.
inline bool in_loopback_only_namespace() {
    struct if_nameindex* names = if_nameindex();
    if (names == nullptr) return false;
    const bool only_lo = names[0].if_index != 0 && std::string(names[0].if_name) == "lo" && names[1].if_index == 0;
    if_freenameindex(names);
    return only_lo;
}

// The command that runs the responder with the venv's python, found by walking up from the test binary.
inline std::optional<std::string> responder_command() {
    std::error_code ec;
    auto dir = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
    for (; !ec && !dir.empty(); dir = dir.parent_path()) {
        auto python = dir / ".venv/bin/python", script = dir / "tests/python/support/mdns_responder.py";
        if (std::filesystem::exists(python) && std::filesystem::exists(script))
            return "timeout 120 '" + python.string() + "' '" + script.string() + "' --until-sigterm";
        if (dir == dir.root_path()) break;
    }
    return std::nullopt;
}

// The responder process; it unregisters its services and exits on SIGTERM
// (and in any case after two minutes).
class Responder {
public:
    explicit Responder(const std::vector<std::string>& args) {
        auto command = responder_command();
        if (!command) return;
        for (const auto& a : args) *command += " '" + a + "'";
        out_ = popen(command->c_str(), "re");
        char line[64] = {};
        ready_ = out_ != nullptr && std::fgets(line, sizeof line, out_) != nullptr &&
                 std::sscanf(line, "ready %d", &pid_) == 1;
    }
    ~Responder() { stop(); }
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    bool ready() const { return ready_; }

    // Unregisters (goodbye packets) and waits for the process to end.
    void stop() {
        if (pid_ > 0) kill(pid_, SIGTERM);
        pid_ = -1;
        if (out_ != nullptr) pclose(out_);
        out_ = nullptr;
    }

private:
    FILE* out_ = nullptr;
    pid_t pid_ = -1;
    bool ready_ = false;
};

}  // namespace kx::test
