// Shell quoting: every hostile text comes back from the shell as the one word it was.
#include <cstdio>
#include <gtest/gtest.h>
#include <string>

#include "board/sys.h"

namespace {

// Runs the harmless printf through the host's shell with the quoted word.
std::string shellEcho(const std::string& word) {
    std::string command = "printf '%s|' " + word;
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    if (!pipe) return out;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    pclose(pipe);
    return out;
}

TEST(ShellQuote, OneWordBackFromTheShell) {
    const struct {
        const char* text;
        const char* quoted;
    } cases[] = {
        {"", "''"},
        {"a.img", "'a.img'"},
        {"it's", "'it'\\''s'"},
        {"x; reboot", "'x; reboot'"},
        {"$(id)`id`\"\\ *", "'$(id)`id`\"\\ *'"},
        {"''", "''\\'''\\'''"},
        {"two\nlines", "'two\nlines'"},
        {"-n", "'-n'"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(shell_quote(c.text), c.quoted);
        EXPECT_EQ(shellEcho(shell_quote(c.text)), std::string(c.text) + "|") << c.text;
    }
    EXPECT_EQ(shell_quote(nullptr), "''");
}

} // namespace
