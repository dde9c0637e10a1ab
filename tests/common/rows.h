// Known-answer tables of the toolkit tests (tests/data/crypto): one case a line, fields
// split at blanks, '#' starts a comment. A row remembers its file and line, so that a
// failure names the case; byteDiff shows where two byte strings first part.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/data.h"

namespace testutil {

// Escapes \n \r \t \a \b \e \s (a blank) \xHH; any other character after \ stands for itself.
inline std::string unescape(const std::string& s) {
    static const char from[] = "nrtabes", to[] = "\n\r\t\a\b\x1b ";
    std::string out;
    for (size_t k = 0; k < s.size(); ++k) {
        const char c = s[k] == '\\' && k + 1 < s.size() ? s[++k] : 0;
        if (const char* p = c ? strchr(from, c) : nullptr)
            out += to[p - from];
        else if (c == 'x')
            out += char(std::stoi(s.substr(k + 1, 2), nullptr, 16)), k += 2;
        else
            out += s[k];
    }
    return out;
}

struct Row {
    std::string where; // file:line
    std::vector<std::string> f;
    const std::string& operator[](size_t i) const {
        static const std::string none;
        return i < f.size() ? f[i] : none;
    }
    Bytes hex(size_t i) const { return (*this)[i] == "-" ? Bytes() : unhex((*this)[i]); }
    // 64 bits on every target, so that 0xFFFFFFF0 reads on a 32-bit one too.
    long long num(size_t i) const { return std::stoll((*this)[i], nullptr, 0); }
    // The message of a text field: "-" is empty, "c*n" n times c, else unescaped.
    std::string text(size_t i) const {
        const std::string& s = (*this)[i];
        if (s == "-") return "";
        if (s.size() > 2 && s[1] == '*') return std::string(std::stoul(s.substr(2)), s[0]);
        return unescape(s);
    }
    // Fields i and after joined by single blanks, read as one text field.
    std::string rest(size_t i) const {
        std::string s;
        for (size_t k = i; k < f.size(); ++k) s += (k > i ? " " : "") + f[k];
        return Row{where, {s}}.text(0);
    }
};

// The rows of a file whose first field is kind (all rows when kind is empty). Read without
// assertions so that parameter lists may be built before any test runs; a missing file
// gives one row that fails.
inline std::vector<Row> rows(const std::string& file, const std::string& kind = "") {
    std::istringstream in(readText(dataPath(file)));
    std::vector<Row> out;
    int n = 0;
    for (std::string line; std::getline(in, line);) {
        ++n;
        Row r{file + ":" + std::to_string(n), {}};
        std::istringstream words(line);
        for (std::string w; words >> w;) r.f.push_back(w);
        if (r.f.empty() || r.f[0][0] == '#' || (!kind.empty() && r.f[0] != kind)) continue;
        out.push_back(r);
    }
    if (out.empty()) out.push_back(Row{"missing test data " + dataPath(file), {"missing"}});
    return out;
}

inline void PrintTo(const Row& r, std::ostream* os) {
    *os << r.where;
}

// Names a parameterised case after its line and its second field.
inline std::string rowName(const testing::TestParamInfo<Row>& info) {
    std::string name =
        "L" + info.param.where.substr(info.param.where.rfind(':') + 1) + "_" + info.param[1];
    for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

// Empty when equal; otherwise the first differing offset with some bytes around it.
inline std::string byteDiff(const Bytes& want, const Bytes& got) {
    if (want == got) return "";
    size_t at = 0;
    while (at < want.size() && at < got.size() && want[at] == got[at]) ++at;
    const size_t from = at < 8 ? 0 : at - 8;
    auto part = [&](const Bytes& b) {
        return from >= b.size() ? std::string("(end)")
                                : hexOf(b.data() + from, std::min<size_t>(24, b.size() - from));
    };
    std::ostringstream s;
    s << "sizes " << want.size() << "/" << got.size() << ", first difference at byte " << at
      << " (context from byte " << from << ")\n  want " << part(want) << "\n  got  " << part(got);
    return s.str();
}

} // namespace testutil

#define EXPECT_BYTES(want, got) EXPECT_EQ("", testutil::byteDiff(want, got))
#define ASSERT_BYTES(want, got) ASSERT_EQ("", testutil::byteDiff(want, got))
