// The boot environment flags: read once from the boot loader's environment
// partition (a 4-byte checksum, then NUL-terminated "key=value" entries).
#include "boot/env.h"

#include <cctype>
#include <climits>
#include <cstring>
#include <vector>

#include "board/mtd.h"

boot_env_flags_t boot_env_flags = {0, 0, 0, 0, 0, 0, DEFAULT_GDB_PORT, 0, 0, 0, 0, 0};

namespace {

// The text that follows the first occurrence of key, or null.
const char* env_value(const char* text, const char* key) {
    const char* hit = strstr(text, key);
    return hit ? hit + strlen(key) : nullptr;
}

bool value_begins(const char* value, const char* word) {
    return strncmp(value, word, strlen(word)) == 0;
}

// Reads a decimal integer the way "%d" does (leading blanks, optional sign,
// digits). A number outside the 32-bit range counts as no number.
bool scan_decimal(const char* s, int32_t* out) {
    while (isspace(static_cast<unsigned char>(*s))) ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = *s++ == '-';
    if (!isdigit(static_cast<unsigned char>(*s))) return false;
    long long v = 0;
    for (; isdigit(static_cast<unsigned char>(*s)); ++s) {
        v = v * 10 + (*s - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) return false;
    }
    if (negative) v = -v;
    if (v > INT_MAX || v < INT_MIN) return false;
    *out = static_cast<int32_t>(v);
    return true;
}

} // namespace

void parse_boot_environment(const char* text) {
    if (!text) return;
    const char* v;
    if ((v = env_value(text, "gdb="))) boot_env_flags.gdb = value_begins(v, "on");
    if ((v = env_value(text, "gdbserver="))) {
        boot_env_flags.gdbserver = value_begins(v, "on");
        if (boot_env_flags.gdbserver) boot_env_flags.gdb = 1;
    }
    if ((v = env_value(text, "gdbport="))) {
        int32_t port;
        if (scan_decimal(v, &port)) boot_env_flags.gdbport = port;
    }
    if ((v = env_value(text, "shell="))) boot_env_flags.shell = value_begins(v, "on");
    if ((v = env_value(text, "memchk="))) boot_env_flags.memchk = value_begins(v, "on");
    if ((v = env_value(text, "diagnostics=")))
        boot_env_flags.diag_rescue = value_begins(v, "rescue");
    if ((v = env_value(text, "lowsec="))) boot_env_flags.lowsec = value_begins(v, "authorised");
    if ((v = env_value(text, "diagnostics="))) boot_env_flags.diag_diags = value_begins(v, "diags");
    // Boot counting: one digit 1 to 9; any other value leaves it off.
    if ((v = env_value(text, "bootlimit=")))
        boot_env_flags.bootlimit =
            v[0] >= '1' && v[0] <= '9' && !isdigit((unsigned char)v[1]) ? uint8_t(v[0] - '0') : 0;
}

int read_boot_environment() {
    std::vector<char> text(ENV_TEXT_SIZE + 1, 0);
    if (mtd_read(text.data(), mtd_ubootenv, 4, ENV_TEXT_SIZE) != 0) return 0;
    for (int i = 0; i < ENV_TEXT_SIZE; ++i)
        if (text[i] == '\0') text[i] = ' ';
    text[ENV_TEXT_SIZE] = '\0';
    parse_boot_environment(text.data());
    return 1;
}
