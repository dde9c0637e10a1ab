// switch-sim demo: a board with signed sample applications in both image slots, powered on.
//
// The images are made as a release engineer makes them: the sample application's tree is
// packed into a gzip-compressed tarball, wrapped in an image with bmimage and signed with
// the production test key. Programs run here are started directly, never through a shell.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
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
    std::string tree = stage + "/v" + std::to_string(slot.slot);
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

} // namespace

// switch-sim demo [DIR] [boot options]: makes a board (in a fresh temporary directory
// when DIR is omitted) with a production-signed sample application in slot 1 and an
// older one in slot 2, then boots it like "switch-sim boot DIR [boot options]".
int sim_cmd_demo(int argc, char** argv) {
    std::string dir;
    int first_option = 1;
    if (argc > 1 && argv[1][0] != '-') {
        dir = argv[1];
        first_option = 2;
    }
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
    run_program({"rm", "-rf", "--", stage});
    if (!made) return 1;

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
    return sim_cmd_boot(int(boot_args.size()) - 1, boot_args.data());
}
