// The management network of a simulated switch (see sim_net.h).
//
// _init, already under its final host identity, makes a user namespace of its own with a
// new network namespace (the switch's), in which it holds every capability: they reach
// only what that user namespace owns. A child makes the server's network namespace, the
// veth pair joins the two, and the child starts dnsmasq there and relays its log lines to
// events.log. Both then keep only the three network capabilities, ambient, so that
// busybox's ifconfig, route and tftp, dhclient and its script, and dnsmasq have them
// after exec. No address outside the two namespaces exists in either.
#include "sandbox/sim_net.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sandbox/board_layout.h"
#include "sandbox/emu.h"
#include "sandbox/sim_common.h"

namespace {

const char* const switch_link = "eth0";
const char* const server_link = "srv0";
const char* const server_cidr = SIM_NET_SERVER_ADDRESS "/24";
const char* const ip_in_sandbox = "/sbin/ip";
const char* const dnsmasq_in_sandbox = "/usr/lib/sim/dnsmasq";
const int ready_timeout_ms = 5000;
const int network_caps[] = {CAP_NET_ADMIN, CAP_NET_RAW, CAP_NET_BIND_SERVICE};

// The first of the candidate paths that is a file, or "".
std::string first_file(const std::vector<const char*>& candidates) {
    for (const char* path : candidates) {
        if (sim_is_file(path)) return path;
    }
    return std::string();
}

bool write_text(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    return ok;
}

// Runs a program and waits for it; true when it exits with 0.
bool run(const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Keeps the network capabilities only: bounding set, permitted, effective and inheritable,
// and raises them as ambient so that they survive exec.
bool keep_network_capabilities() {
    uint32_t mask = 0;
    for (int cap : network_caps) mask |= 1u << cap;
    for (int cap = 0; cap <= CAP_LAST_CAP; ++cap) {
        bool kept = cap < 32 && (mask & (1u << cap)) != 0;
        if (!kept && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) return false;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {{mask, mask, mask}, {0, 0, 0}};
    if (syscall(SYS_capset, &header, data) != 0) return false;
    for (int cap : network_caps) {
        if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, cap, 0, 0) != 0) return false;
    }
    return true;
}

// Waits up to timeout_ms for one byte on fd; returns it, or 0 on time-out or end.
char read_byte(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    int ready;
    while ((ready = poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    char c = 0;
    if (ready != 1 || read(fd, &c, 1) != 1) return 0;
    return c;
}

// One line of dnsmasq's log, "dnsmasq-tftp[PID]: TEXT": TFTP and DHCP activity goes to the
// event log; the start-up lines do not. Returns true for the line that says it started.
bool relay_log_line(const std::string& events, const std::string& line) {
    if (line.compare(0, 8, "dnsmasq:") == 0) { // a fatal complaint
        fprintf(stderr, "switch-sim: management network: %s\n", line.c_str());
        return false;
    }
    size_t bracket = line.find('[');
    size_t colon = line.find("]: ");
    if (bracket == std::string::npos || colon == std::string::npos || colon < bracket) {
        return false;
    }
    std::string tag = line.substr(0, bracket), text = line.substr(colon + 3);
    if (tag == "dnsmasq" && text.compare(0, 8, "started,") == 0) return true;
    auto starts = [&](const char* prefix) { return text.compare(0, strlen(prefix), prefix) == 0; };
    // Start-up lines, among them the warning of a board without a tftp/ folder.
    if (starts("compile time options") || starts("DHCP, ") || starts("TFTP root is") ||
        (starts("warning: ") && text.find(" inaccessible") != std::string::npos)) {
        return false;
    }
    if (tag == "dnsmasq-tftp") {
        emu_append_event(events, "tftpd", text);
    } else if (starts("DHCP") && text.size() > 4 && text[4] >= 'A' && text[4] <= 'Z') {
        // The messages (DHCPDISCOVER(srv0) ...); not the complaints of a server whose
        // interface goes away as the board powers off.
        emu_append_event(events, "dhcpd", text);
    }
    return false;
}

// The server namespace's process (never returns): waits for the veth, gives its end the
// server address, starts dnsmasq and relays its log. Reports 'n' once the namespace
// exists, then 'r' once dnsmasq listens, or 'f' on failure, on report_fd.
[[noreturn]] void serve(int report_fd, int go_fd, bool link_down) {
    setsid(); // no console signals: Ctrl-C is the boot manager's
    auto fail = [&](const char* what) {
        fprintf(stderr, "switch-sim: management network: %s: %s\n", what, strerror(errno));
        char f = 'f';
        if (write(report_fd, &f, 1) != 1) {
        }
        _exit(1);
    };
    if (unshare(CLONE_NEWNET) != 0) fail("server namespace");
    if (!keep_network_capabilities()) fail("capabilities");
    char c = 'n';
    if (write(report_fd, &c, 1) != 1 || read_byte(go_fd, -1) != 'g') _exit(1);
    close(go_fd);
    if (!run({ip_in_sandbox, "link", "set", "lo", "up"}) ||
        !run({ip_in_sandbox, "address", "add", server_cidr, "dev", server_link}) ||
        (!link_down && !run({ip_in_sandbox, "link", "set", server_link, "up"}))) {
        errno = EIO;
        fail("server address");
    }
    const char* board_env = getenv(SIM_BOARD_ENV);
    std::string board = board_env != nullptr && *board_env != '\0' ? board_env : SIM_BOARD_DEFAULT;
    int log_pipe[2];
    if (pipe2(log_pipe, O_CLOEXEC) != 0) fail("pipe");
    pid_t server = fork();
    if (server < 0) fail("fork");
    if (server == 0) {
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0) dup2(null_fd, 0);
        dup2(log_pipe[1], 1);
        dup2(log_pipe[1], 2);
        std::string tftp_root = "--tftp-root=" + board + "/tftp";
        const char* const argv[] = {dnsmasq_in_sandbox, "--keep-in-foreground", "--log-facility=-",
                                    "--conf-file=/dev/null", "--user=", "--group=", "--port=0",
                                    "--leasefile-ro", "--pid-file=", "--bind-interfaces",
                                    "--interface=srv0", "--dhcp-authoritative",
                                    "--dhcp-range=192.0.2.100,192.0.2.199,255.255.255.0,1h",
                                    // No router and no name server: nothing lies beyond the server.
                                    "--dhcp-option=3", "--dhcp-option=6", "--enable-tftp",
                                    tftp_root.c_str(), "--tftp-no-fail", nullptr};
        execv(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    close(log_pipe[1]);
    const std::string events = board + "/events.log";
    bool reported = false;
    std::string line;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(log_pipe[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != '\n') {
                if (line.size() < 4096) line += buffer[i];
                continue;
            }
            if (relay_log_line(events, line) && !reported) {
                char r = 'r';
                reported = write(report_fd, &r, 1) == 1;
            }
            line.clear();
        }
    }
    if (!reported) {
        errno = EIO;
        fail("dnsmasq did not start");
    }
    _exit(0);
}

} // namespace

std::vector<sim_net_program> sim_net_programs() {
    struct wanted {
        std::vector<const char*> host;
        std::vector<std::string> sandbox;
    };
    const wanted programs[] = {
        {{"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}, {"/sbin/ip", "/bin/ip"}},
        {{"/usr/sbin/dhclient", "/sbin/dhclient"}, {"/sbin/dhclient", "/bin/dhclient"}},
        {{"/usr/sbin/dhclient-script", "/sbin/dhclient-script"}, {"/sbin/dhclient-script"}},
        {{"/usr/sbin/dnsmasq"}, {dnsmasq_in_sandbox}},
        // lrzsz's receiver takes its protocol from its name; /usr/bin/rx wraps it.
        {{"/usr/bin/rx"}, {"/usr/lib/sim/rx"}},
    };
    std::vector<sim_net_program> out;
    for (const wanted& w : programs) {
        std::string host = first_file(w.host);
        if (host.empty()) {
            sim_error("%s is missing (scripts/deps.sh installs it)", w.host.front());
            return {};
        }
        for (const std::string& path : w.sandbox) out.push_back({host, path});
    }
    return out;
}

std::vector<std::string> sim_net_sandbox_arguments() {
    std::vector<std::string> a;
    for (const char* applet : {"ifconfig", "route", "tftp"}) {
        a.insert(a.end(), {"--symlink", "busybox", std::string("/bin/") + applet});
    }
    // dhclient keeps its lease and process id files here.
    a.insert(a.end(), {"--perms", "0755", "--dir", "/var/lib", "--symlink", "/tmp", "/var/lib/dhcp",
                       "--symlink", "/tmp", "/run"});
    return a;
}

bool sim_net_start(bool link_down) {
    uid_t uid = getuid();
    gid_t gid = getgid();
    // A process that changed its identity is not dumpable, and its /proc files, among them
    // the identity maps written below, belong to root.
    prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        sim_error("management network: user namespace: %s", strerror(errno));
        return false;
    }
    if (!write_text("/proc/self/setgroups", "deny") ||
        !write_text("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
        !write_text("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1")) {
        sim_error("management network: identity maps: %s", strerror(errno));
        return false;
    }
    int report[2], go[2];
    if (pipe2(report, O_CLOEXEC) != 0) return false;
    if (pipe2(go, O_CLOEXEC) != 0) return false;
    pid_t server = fork();
    if (server < 0) {
        sim_error("management network: fork: %s", strerror(errno));
        return false;
    }
    if (server == 0) {
        close(report[0]);
        close(go[1]);
        serve(report[1], go[0], link_down);
    }
    close(report[1]);
    close(go[0]);
    bool ok = read_byte(report[0], ready_timeout_ms) == 'n';
    if (!keep_network_capabilities()) {
        sim_error("management network: capabilities: %s", strerror(errno));
        ok = false;
    }
    ok = ok &&
         run({ip_in_sandbox, "link", "add", switch_link, "type", "veth", "peer", "name",
              server_link, "netns", std::to_string(server)}) &&
         run({ip_in_sandbox, "link", "set", "lo", "up"});
    char g = 'g';
    ok = ok && write(go[1], &g, 1) == 1 && read_byte(report[0], ready_timeout_ms) == 'r';
    close(go[1]);
    close(report[0]);
    if (!ok) sim_error("management network: the TFTP and DHCP server did not start");
    return ok;
}
