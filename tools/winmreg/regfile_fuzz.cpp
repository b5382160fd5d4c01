// Feeds arbitrary bytes to the registry-file parser. Whatever it accepts must
// survive being written back out and parsed again, value for value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/winmreg/regtext.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace winmreg;
    std::vector<ImportOp> ops;
    std::string why;
    if (!ParseRegistryFile(std::string(reinterpret_cast<const char*>(data), size), &ops, &why))
        return 0;
    std::string text = std::string(kFileHeader) + "\n[HKCU\\f]\n";
    std::vector<Value> written;
    for (const auto& op : ops) {
        if (op.kind == ImportOp::kSetValue && AppendValueLine(op.value, &text))
            written.push_back(op.value);
    }
    std::vector<ImportOp> again;
    if (!ParseRegistryFile(text, &again, &why) || again.size() != written.size() + 1)
        std::abort();
    for (size_t i = 0; i < written.size(); ++i) {
        const Value& v = again[i + 1].value;
        if (v.name != written[i].name || v.type != written[i].type || v.data != written[i].data)
            std::abort();
    }
    return 0;
}
