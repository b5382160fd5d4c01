// Decoding of the updater's request bodies and encoding of the answers, for
// the reference update service. Both directions go through the project's
// own stream classes, so the service reads the bytes exactly as the updater
// writes them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline constexpr char kZelType[] = "k:zel";
inline constexpr char kCheckType[] = "k:upg/gn";

// The nested client record of the update-check message.
struct CheckClientRecord {
    std::string application;
    std::string packageFormat;
    std::string deviceId;
    std::string distributionChannel;
    std::string language;
    std::string version;
    std::string trailing;  // the record's last field, an empty string from the updater
};

struct DecodedRequest {
    // Empty when the whole body decoded; otherwise what was wrong first.
    std::string error;

    uint16_t envelopeVersion = 0;
    uint16_t headerType = 0;
    std::string clientString;  // "application,version,device,channel,language"
    std::vector<std::string> clientFields;
    uint64_t platformCode = 0;
    uint16_t requestBlockType = 0;
    uint16_t requestId = 0;
    std::string requestType;

    // "k:zel": the distribution code the device sent.
    std::string zel;
    // "k:upg/gn".
    CheckClientRecord record;
    std::string checkLanguage;
};

DecodedRequest DecodeRequest(const Bytes& body);

// The fields of an update-check answer.
struct CheckAnswer {
    uint32_t notification = 0;
    std::string message;
    std::string url;
    std::string deadline;  // decimal milliseconds since 1970, as text
};

Bytes EncodeZelAnswer(const std::string& code);
Bytes EncodeCheckAnswer(const CheckAnswer& answer);
// A response envelope of the given version with one answer block for
// requestId holding message.
Bytes EncodeResponse(uint16_t envelopeVersion, uint16_t requestId, const Bytes& message);

// One line of JSON describing a decoded request and what was answered.
std::string DescribeRequestJson(int sequence, const DecodedRequest& request,
                                const std::string& reply, const std::string& via);

std::string JsonQuote(const std::string& text);
