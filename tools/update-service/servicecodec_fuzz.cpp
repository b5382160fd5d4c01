// Decodes arbitrary bytes as an updater request body, as the reference
// service does with every POST. A body is either decoded whole or gets a
// reason; decoded text is bounded by the body (malformed UTF-8 grows at
// most threefold, into U+FFFD), and the JSON line the service logs for it
// holds no raw control character and no malformed UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/update-service/servicecodec.h"
#include "wince.h"

namespace {

void Bounded(const std::string& text, size_t size) {
    if (text.size() > 3 * size)
        std::abort();
}

void CheckLine(const std::string& json) {
    if (json.empty() || json.front() != '{' || json.back() != '}')
        std::abort();
    for (char c : json)
        if (static_cast<unsigned char>(c) < 0x20)
            std::abort();
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, json.data(),
                            static_cast<int>(json.size()), nullptr, 0) <= 0)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16))
        return 0;
    const Bytes body(data, data + size);
    DecodedRequest request = DecodeRequest(body);

    for (const std::string* text :
         {&request.clientString, &request.requestType, &request.zel, &request.record.application,
          &request.record.packageFormat, &request.record.deviceId,
          &request.record.distributionChannel, &request.record.language, &request.record.version,
          &request.record.trailing, &request.checkLanguage})
        Bounded(*text, size);
    std::string joined;
    for (size_t i = 0; i < request.clientFields.size(); ++i)
        joined += (i > 0 ? "," : "") + request.clientFields[i];
    if (!request.clientFields.empty() && joined != request.clientString)
        std::abort();
    if (request.error.empty() &&
        (request.envelopeVersion != 1 || request.headerType != 1 ||
         request.requestBlockType != 0x0100 ||
         (request.requestType != kZelType && request.requestType != kCheckType)))
        std::abort();

    CheckLine(DescribeRequestJson(1, request, "ok", size % 2 == 0 ? "" : "via"));
    return 0;
}
