// Shell quoting over the rows of tests/data/board/quote.txt: every hostile text comes back
// from the shell as the one word it was.
#include <cstdio>
#include <gtest/gtest.h>
#include <string>

#include "board/sys.h"
#include "tests/common/rows.h"

namespace {

// Runs the harmless printf through the host's shell with the quoted word.
std::string shellEcho(const std::string& word) {
    FILE* pipe = popen(("printf '%s|' " + word).c_str(), "r");
    std::string out;
    char buf[256];
    for (size_t n; pipe && (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    if (pipe) pclose(pipe);
    return out;
}

class ShellQuote : public testing::TestWithParam<testutil::Row> {};

TEST_P(ShellQuote, OneWordBackFromTheShell) {
    const testutil::Row& r = GetParam();
    EXPECT_EQ(r.text(2), shell_quote(r.text(1).c_str())) << r.where;
    EXPECT_EQ(r.text(1) + "|", shellEcho(shell_quote(r.text(1).c_str()))) << r.where;
}
INSTANTIATE_TEST_SUITE_P(Rows, ShellQuote, testing::ValuesIn(testutil::rows("board/quote.txt")),
                         testutil::rowName);

TEST(ShellQuoteNull, IsTheEmptyWord) {
    EXPECT_EQ(shell_quote(nullptr), "''");
}

} // namespace
