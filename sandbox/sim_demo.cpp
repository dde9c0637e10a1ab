// switch-sim demo: a board with signed sample applications in both image slots, powered on;
// then a rescue: a second board with empty slots enters the rescue menu, fetches a signed
// package from the sandbox's TFTP server, installs it and boots it, its console answered
// by a script.
//
// The images are made as a release engineer makes them: the sample application's tree is
// packed into a gzip-compressed tarball, wrapped in an image with bmimage and signed with
// the production test key. Programs run here are started directly, never through a shell.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "sandbox/sim_common.h"

#ifndef SANDBOX_SOURCE_DIR
#define SANDBOX_SOURCE_DIR "sandbox"
#endif
#ifndef BMIMAGE_PATH
#define BMIMAGE_PATH "bmimage"
#endif

namespace {

const char demo_serial[] = "DEMO00000001";
const char sample_app_dir[] = SANDBOX_SOURCE_DIR "/sample-app";
const char production_key[] = SANDBOX_SOURCE_DIR "/../keys/production.key.pem";

struct demo_slot {
    int slot;
    const char* version;
    const char* note;
};

// Slot 1, which the new board boots, holds the newer application.
const demo_slot demo_slots[] = {
    {1, "1.1.0.0", ""},
    {2, "1.0.0.0", ", the older release"},
};

// The rescue board's package on the TFTP server, and what the operator types for it: the
// menu key, the network answers (IP address, netmask, no gateway, the server), the file
// name, image slot 1, and Reboot at the menu after the install.
const char rescue_serial[] = "DEMO00000002";
const demo_slot rescue_package = {0, "1.2.0.0", ""};
const char rescue_file[] = "pkg.img";
const std::pair<const char*, const char*> rescue_script[] = {
    {"Option? : ", "T"},
    {"IP addr    :", "192.0.2.10\r"},
    {"Netmask    :", "255.255.255.0\r"},
    {"Gateway    :", "\r"},
    {"Server addr:", "192.0.2.1\r"},
    {"Image Filename: ", "pkg.img\r"},
    {"(hit return to just boot image): ", "1\r"},
    {"Option? : ", "R"},
};
const char default_rescue_scale[] = "0.1";
const int default_rescue_timeout = 120;

// Runs a program (searched in PATH when the name has no '/') and waits for it. True when
// it exited with status 0; otherwise says which program failed.
bool run_program(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        sim_error("fork: %s", strerror(errno));
        return false;
    }
    if (pid == 0) {
        execvp(argv[0], argv.data());
        sim_error("%s: %s", argv[0], strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            sim_error("waitpid: %s", strerror(errno));
            return false;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    sim_error("%s failed", args[0].c_str());
    return false;
}

bool write_text(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "w");
    if (!f) {
        sim_error("%s: %s", path.c_str(), strerror(errno));
        return false;
    }
    bool ok = fputs(text.c_str(), f) >= 0;
    ok = fclose(f) == 0 && ok;
    if (!ok) sim_error("%s: write failed", path.c_str());
    return ok;
}

bool make_directory(const std::string& path) {
    if (mkdir(path.c_str(), 0755) == 0 || (errno == EEXIST && sim_is_directory(path))) return true;
    sim_error("%s: %s", path.c_str(), strerror(errno));
    return false;
}

// Packs the sample application with its version file set to `version`, wraps it in an
// application image and signs it into the slot file.
bool make_slot_image(const std::string& stage, const demo_slot& slot, const std::string& out) {
    std::string tree = stage + "/v" + slot.version;
    std::string tarball = tree + ".tar.gz";
    std::string image = tree + ".img";
    return make_directory(tree) &&
           run_program({"cp", "-R", "--", std::string(sample_app_dir) + "/home", tree + "/"}) &&
           write_text(tree + "/home/bin/version", std::string(slot.version) + "\n") &&
           run_program({"tar", "-czf", tarball, "--owner=0", "--group=0", "-C", tree, "home"}) &&
           run_program({BMIMAGE_PATH, "create", "--type", "app", "--version", slot.version,
                        "--data", tarball, "-o", image}) &&
           run_program({BMIMAGE_PATH, "sign", "--key", production_key, image, "-o", out});
}

// Powers a board on with "switch-sim boot" over a pseudo-terminal of its own, copies its
// console to standard output, and types each answer of the script when its prompt (the
// next one of the script, in order) shows up; further rescue menu prompts are answered
// with Reboot. Returns the boot's exit status, or -1 when it could not start.
int scripted_boot(const std::vector<std::string>& args,
                  const std::vector<std::pair<std::string, std::string>>& script) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        sim_error("pseudo-terminal: %s", strerror(errno));
        if (master >= 0) close(master);
        return -1;
    }
    std::string slave_path = ptsname(master);
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        sim_error("fork: %s", strerror(errno));
        close(master);
        return -1;
    }
    if (pid == 0) {
        close(master);
        setsid();
        int slave = open(slave_path.c_str(), O_RDWR); // the session's controlling terminal
        if (slave < 0 || dup2(slave, 0) < 0 || dup2(slave, 1) < 0 || dup2(slave, 2) < 0) _exit(127);
        if (slave > 2) close(slave);
        std::vector<char*> argv;
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        int status = sim_cmd_boot(int(argv.size()) - 1, argv.data());
        fflush(stdout);
        _exit(status);
    }
    std::string seen;
    size_t matched = 0, next = 0;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // EIO: every holder of the terminal closed it
        sim_write_all(STDOUT_FILENO, buffer, size_t(n));
        seen.append(buffer, size_t(n));
        for (;;) {
            const std::string& prompt = next < script.size() ? script[next].first : "Option? : ";
            size_t at = seen.find(prompt, matched);
            if (at == std::string::npos) break;
            matched = at + prompt.size();
            const std::string& answer = next < script.size() ? script[next].second : "R";
            if (next < script.size()) ++next;
            sim_write_all(master, answer.data(), answer.size());
        }
    }
    close(master);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The rescue half: a board with empty slots and the signed package in its tftp/ folder,
// powered on with the scripted console, then powered on again to boot what was installed.
// options: the demo's boot options; the rescue applies --time-scale (default 0.1) and
// bounds each power-on by --timeout (default 120 seconds).
int rescue_demo(const std::string& dir, const std::vector<std::string>& options,
                const std::string& package) {
    std::vector<std::string> boot_options;
    std::string scale = default_rescue_scale;
    std::string timeout = std::to_string(default_rescue_timeout);
    for (size_t i = 0; i < options.size(); ++i) {
        if ((options[i] == "--time-scale" || options[i] == "--timeout") && i + 1 < options.size()) {
            (options[i] == "--time-scale" ? scale : timeout) = options[i + 1];
            ++i;
        } else {
            boot_options.push_back(options[i]);
        }
    }
    std::string serial = rescue_serial;
    std::vector<char*> new_args = {const_cast<char*>("new"), const_cast<char*>(dir.c_str()),
                                   const_cast<char*>("--serial"), &serial[0]};
    int status = sim_cmd_new(int(new_args.size()), new_args.data());
    if (status != 0) return status;
    if (!make_directory(dir + "/tftp") ||
        !run_program({"cp", "--", package, dir + "/tftp/" + rescue_file})) {
        return 1;
    }
    printf("\nRescue board: %s\n  image slots empty; on the TFTP server 192.0.2.1: %s, sample "
           "application %s, signed with the production key\n  console answered by a script "
           "(time scale %s, at most %s seconds a power-on)\n",
           dir.c_str(), rescue_file, rescue_package.version, scale.c_str(), timeout.c_str());
    std::vector<std::pair<std::string, std::string>> script;
    for (const auto& step : rescue_script) script.emplace_back(step.first, step.second);
    std::vector<std::string> args = {"boot", dir, "--time-scale", scale, "--timeout", timeout};
    args.insert(args.end(), boot_options.begin(), boot_options.end());
    puts("--- powering on the rescue board ---");
    status = scripted_boot(args, script);
    if (status == 124 || status < 0) return status < 0 ? 1 : status;
    puts("\n--- powering on the rescue board again ---");
    return scripted_boot(args, {});
}

} // namespace

// switch-sim demo [DIR] [boot options]: makes a board (in a fresh temporary directory
// when DIR is omitted) with a production-signed sample application in slot 1 and an
// older one in slot 2, then boots it like "switch-sim boot DIR [boot options]"; then makes
// DIR-rescue with empty slots and a newer signed package on its TFTP server, and rescues it
// (rescue_demo above). The exit status is the first boot's, else the rescue's.
int sim_cmd_demo(int argc, char** argv) {
    std::string dir;
    int first_option = 1;
    if (argc > 1 && argv[1][0] != '-') {
        dir = argv[1];
        first_option = 2;
    }
    // Every option checked before anything is made.
    std::vector<char*> check = {argv[0]};
    check.insert(check.end(), argv + first_option, argv + argc);
    if (!sim_check_boot_options(int(check.size()), check.data())) return 2;
    if (!sim_is_file(sample_app_dir + std::string("/home/bin/mp.elf.strip")) ||
        !sim_is_file(production_key)) {
        sim_error("demo: the sample application (%s) or the production test key (%s) is missing",
                  sample_app_dir, production_key);
        return 1;
    }
    if (dir.empty()) {
        char temp[] = "/tmp/switch-demo-XXXXXX";
        if (!mkdtemp(temp)) {
            sim_error("mkdtemp: %s", strerror(errno));
            return 1;
        }
        dir = temp;
    }
    std::string serial = demo_serial;
    std::vector<char*> new_args = {const_cast<char*>("new"), const_cast<char*>(dir.c_str()),
                                   const_cast<char*>("--serial"), &serial[0]};
    int status = sim_cmd_new(int(new_args.size()), new_args.data());
    if (status != 0) return status;

    char stage_template[] = "/tmp/switch-demo-stage-XXXXXX";
    if (!mkdtemp(stage_template)) {
        sim_error("mkdtemp: %s", strerror(errno));
        return 1;
    }
    std::string stage = stage_template;
    std::string images = dir + "/user/images";
    bool made = make_directory(images);
    for (const demo_slot& slot : demo_slots) {
        made = made && make_slot_image(stage, slot, images + "/image" + std::to_string(slot.slot));
    }
    std::string package = stage + "/" + rescue_file;
    made = made && make_slot_image(stage, rescue_package, package);
    if (!made) {
        run_program({"rm", "-rf", "--", stage});
        return 1;
    }

    printf("Demo board: %s\n", dir.c_str());
    for (const demo_slot& slot : demo_slots) {
        printf("  image slot %d: sample application %s, signed with the production key%s\n",
               slot.slot, slot.version, slot.note);
    }
    puts("--- powering on ---");
    fflush(stdout);

    std::vector<char*> boot_args = {const_cast<char*>("boot"), const_cast<char*>(dir.c_str())};
    for (int i = first_option; i < argc; ++i) boot_args.push_back(argv[i]);
    boot_args.push_back(nullptr);
    status = sim_cmd_boot(int(boot_args.size()) - 1, boot_args.data());
    fflush(stdout);

    std::string rescue_dir = dir;
    while (rescue_dir.size() > 1 && rescue_dir.back() == '/') rescue_dir.pop_back();
    rescue_dir += "-rescue";
    int rescue_status = rescue_demo(
        rescue_dir, std::vector<std::string>(argv + first_option, argv + argc), package);
    run_program({"rm", "-rf", "--", stage});
    return status != 0 ? status : rescue_status;
}
