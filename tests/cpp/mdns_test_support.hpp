// Support for discovery tests that open mDNS sockets: they run only inside a
// private network namespace whose one interface is loopback, and they start a
// python-zeroconf responder (tests/python/support/mdns_responder.py).
#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kx::test {

// True when loopback is the only network interface: mDNS cannot leave the machine.
inline bool in_loopback_only_namespace() {
    struct if_nameindex* names = if_nameindex();
    if (names == nullptr) return false;
    bool only_lo = true;
    int count = 0;
    for (struct if_nameindex* n = names; n->if_index != 0; ++n, ++count) only_lo = only_lo && std::string(n->if_name) == "lo";
    if_freenameindex(names);
    return only_lo && count == 1;
}

struct ResponderPaths {
    std::string python;
    std::string script;
};

// Found by walking up from the test binary to the source tree with its venv.
inline std::optional<ResponderPaths> responder_paths() {
    std::error_code ec;
    auto dir = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
    for (; !ec && !dir.empty(); dir = dir.parent_path()) {
        auto python = dir / ".venv/bin/python";
        auto script = dir / "tests/python/support/mdns_responder.py";
        if (std::filesystem::exists(python) && std::filesystem::exists(script)) {
            return ResponderPaths{python.string(), script.string()};
        }
        if (dir == dir.root_path()) break;
    }
    return std::nullopt;
}

// The responder process; it unregisters its services and exits when its
// standard input closes.
class Responder {
public:
    explicit Responder(const std::vector<std::string>& args) {
        auto paths = responder_paths();
        if (!paths) return;
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0) return;
        if (pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return;
        }
        std::vector<std::string> argv_text{paths->python, paths->script};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argv_text) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        ready_ = pid_ > 0 && read_ready(std::chrono::seconds(15));
    }
    ~Responder() { stop(); }
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    bool ready() const { return ready_; }

    // Unregisters (goodbye packets) and waits for the process to end.
    void stop() {
        if (stdin_ >= 0) ::close(stdin_);
        stdin_ = -1;
        if (pid_ > 0) {
            int status = 0;
            bool ended = false;
            for (int i = 0; i < 100 && !ended; ++i) {
                ended = waitpid(pid_, &status, WNOHANG) == pid_;
                if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            if (!ended) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
            }
            pid_ = -1;
        }
        if (stdout_ >= 0) ::close(stdout_);
        stdout_ = -1;
    }

private:
    bool read_ready(std::chrono::milliseconds timeout) {
        std::string seen;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (seen.find("ready\n") == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{stdout_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char buf[256];
            const ssize_t n = read(stdout_, buf, sizeof buf);
            if (n <= 0) return false;
            seen.append(buf, static_cast<std::size_t>(n));
        }
        return true;
    }

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    bool ready_ = false;
};

}  // namespace kx::test
