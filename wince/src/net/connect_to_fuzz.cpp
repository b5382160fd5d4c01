// Parses arbitrary bytes as a WINM_CONNECT_TO value. Whatever rules come
// out are the value's own comma-separated entries, trimmed and non-empty,
// in order; written back joined by commas they parse to the same rules. A
// refused value names one of its own entries as the bad one.
// Which entries are accepted is the parser's business, so a stricter one
// passes this as well.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "connect_to.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096)
        return 0;
    const std::string_view value(reinterpret_cast<const char*>(data), size);
    std::string bad;
    auto rules = wince::net::ParseConnectToRules(value, &bad);
    if (!rules) {
        if (bad.empty() || IsBlank(bad.front()) || IsBlank(bad.back()) ||
            bad.find(',') != std::string::npos || value.find(bad) == std::string_view::npos)
            std::abort();
        return 0;
    }
    size_t from = 0, total = 0;
    std::string joined;
    for (const std::string& rule : *rules) {
        if (rule.empty() || IsBlank(rule.front()) || IsBlank(rule.back()) ||
            rule.find(',') != std::string::npos)
            std::abort();
        // Each rule is a later part of the value than the one before.
        size_t at = value.find(rule, from);
        if (at == std::string_view::npos)
            std::abort();
        from = at + rule.size();
        total += rule.size();
        joined += (joined.empty() ? "" : ",") + rule;
    }
    if (total > size)
        std::abort();
    auto again = wince::net::ParseConnectToRules(joined);
    if (!again || *again != *rules)
        std::abort();
    return 0;
}
