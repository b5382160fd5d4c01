#include "connect_to.h"

#include <utility>

#include "netutil.h"

namespace wince::net {

std::optional<std::vector<std::string>> ParseConnectToRules(std::string_view text) {
    std::vector<std::string> rules;
    std::size_t i = 0;
    while (i <= text.size()) {
        std::size_t j = text.find(',', i);
        if (j == std::string_view::npos)
            j = text.size();
        std::string entry(Trim(text.substr(i, j - i)));
        i = j + 1;
        if (entry.empty())
            continue;
        rules.push_back(std::move(entry));
    }
    return rules;
}

}  // namespace wince::net
