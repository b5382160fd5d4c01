#include "tools/update-service/servicecodec.h"

#include <cstdio>

#include "common/base/growablearray.h"
#include "common/base/internal/winmkstring/kstring.h"
#include "common/src/neskstream.h"

namespace {

std::string Utf8(const KString& s) {
    GrowableArray bytes(1);
    s.ToUtf8(bytes);
    return std::string(reinterpret_cast<const char*>(bytes.data), static_cast<size_t>(bytes.count));
}

Bytes ToBytes(const GrowableArray& array) {
    const uint8_t* data = static_cast<const uint8_t*>(array.data);
    return Bytes(data, data + array.count);
}

GrowableArray ViewOf(const Bytes& bytes) {
    return GrowableArray::View(bytes.data(), static_cast<int>(bytes.size()), 1);
}

std::vector<std::string> SplitCommas(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) {
            return parts;
        }
        start = comma + 1;
    }
}

// Reads one length-delimited tagged field; false when the bytes end early.
bool ReadTaggedString(NeskResponseParser& parser, std::string& value) {
    value = Utf8(parser.ReadVarintString());
    return !parser.HasError();
}

std::string DecodeClientRecord(const GrowableArray& bytes, CheckClientRecord& record) {
    NeskResponseParser parser(&bytes);
    while (!parser.AtEnd()) {
        uint8_t tag = parser.ReadByte();
        std::string* field = nullptr;
        switch (tag) {
            case 0x12:
                field = &record.application;
                break;
            case 0x1A:
                field = &record.packageFormat;
                break;
            case 0x22:
                field = &record.deviceId;
                break;
            case 0x2A:
                field = &record.distributionChannel;
                break;
            case 0x32:
                field = &record.language;
                break;
            case 0x3A:
                field = &record.version;
                break;
            case 0x0A:
                field = &record.trailing;
                break;
            default: {
                char text[64];
                std::snprintf(text, sizeof(text), "unexpected tag 0x%02X in the client record",
                              tag);
                return text;
            }
        }
        if (!ReadTaggedString(parser, *field)) {
            return "client record cut short";
        }
    }
    return {};
}

std::string DecodeCheckMessage(const GrowableArray& bytes, DecodedRequest& request) {
    NeskResponseParser parser(&bytes);
    bool sawRecord = false;
    while (!parser.AtEnd()) {
        uint8_t tag = parser.ReadByte();
        if (tag == 0x0A) {
            uint32_t length = parser.ReadVarint();
            GrowableArray record = parser.ReadBytes(length);
            if (parser.HasError()) {
                return "client record longer than the message";
            }
            std::string error = DecodeClientRecord(record, request.record);
            if (!error.empty()) {
                return error;
            }
            sawRecord = true;
        } else if (tag == 0x1A) {
            if (!ReadTaggedString(parser, request.checkLanguage)) {
                return "language field cut short";
            }
        } else {
            char text[64];
            std::snprintf(text, sizeof(text), "unexpected tag 0x%02X in the message", tag);
            return text;
        }
    }
    return sawRecord ? std::string() : std::string("no client record");
}

std::string DecodeInto(const Bytes& body, DecodedRequest& request) {
    GrowableArray all = ViewOf(body);
    NeskResponseParser parser(&all);

    request.envelopeVersion = parser.ReadShort();
    if (parser.HasError()) {
        return "body shorter than its envelope version";
    }
    if (request.envelopeVersion != 1) {
        return "envelope version is not 1";
    }

    uint32_t headerLength = parser.ReadInt();
    GrowableArray headerBytes = parser.ReadBytes(headerLength);
    if (parser.HasError()) {
        return "header block longer than the body";
    }
    NeskResponseParser header(&headerBytes);
    request.headerType = header.ReadShort();
    request.clientString = Utf8(header.ReadString());
    uint64_t high = header.ReadInt();
    uint64_t low = header.ReadInt();
    request.platformCode = (high << 32) | low;
    header.ReadString();
    if (header.HasError()) {
        return "header block cut short";
    }
    if (!header.AtEnd()) {
        return "header block has bytes after its fields";
    }
    if (request.headerType != 1) {
        return "header block type is not 1";
    }
    request.clientFields = SplitCommas(request.clientString);

    uint32_t requestLength = parser.ReadInt();
    GrowableArray requestBytes = parser.ReadBytes(requestLength);
    if (parser.HasError()) {
        return "request block longer than the body";
    }
    if (!parser.AtEnd()) {
        return "bytes after the request block";
    }
    NeskResponseParser block(&requestBytes);
    request.requestBlockType = block.ReadShort();
    request.requestId = block.ReadShort();
    request.requestType = Utf8(block.ReadString());
    block.ReadShort();
    uint32_t messageLength = block.ReadInt();
    GrowableArray message = block.ReadBytes(messageLength);
    if (block.HasError()) {
        return "request block cut short";
    }
    if (!block.AtEnd()) {
        return "request block has bytes after its message";
    }
    if (request.requestBlockType != 0x0100) {
        return "request block type is not 0x0100";
    }

    if (request.requestType == kZelType) {
        NeskResponseParser zel(&message);
        request.zel = Utf8(zel.ReadString());
        if (zel.HasError() || !zel.AtEnd()) {
            return "distribution code message malformed";
        }
        return {};
    }
    if (request.requestType == kCheckType) {
        return DecodeCheckMessage(message, request);
    }
    return "unknown request type";
}

void WriteInt32(DataOutputStream& out, uint32_t value) {
    out.WriteShort(value >> 16);
    out.WriteShort(value & 0xFFFF);
}

}  // namespace

DecodedRequest DecodeRequest(const Bytes& body) {
    DecodedRequest request;
    request.error = DecodeInto(body, request);
    return request;
}

Bytes EncodeZelAnswer(const std::string& code) {
    GrowableArray out(1);
    DataOutputStream stream(&out);
    stream.WriteString(KString(code.c_str()));
    return ToBytes(out);
}

Bytes EncodeCheckAnswer(const CheckAnswer& answer) {
    GrowableArray out(1);
    NeskRequestBuilder builder(&out);
    builder.WriteByte(0x08);
    GrowableArray varint(1);
    EncodeVarint(answer.notification, varint);
    builder.WriteBytes(static_cast<const uint8_t*>(varint.data), varint.count);
    builder.WriteStringField(0x12, KString(answer.message.c_str()));
    builder.WriteStringField(0x1A, KString(answer.url.c_str()));
    builder.WriteStringField(0x22, KString(answer.deadline.c_str()));
    return ToBytes(out);
}

Bytes EncodeResponse(uint16_t envelopeVersion, uint16_t requestId, const Bytes& message) {
    // The answer block: request id, an uninterpreted value, an empty
    // string, then the message with its 32-bit length.
    GrowableArray data(1);
    NeskRequestBuilder block(&data);
    block.WriteShort(requestId);
    block.WriteShort(0);
    block.WriteString(KString());
    block.BeginBlock32();
    block.WriteBytes(message.data(), static_cast<int32_t>(message.size()));
    block.EndBlock();

    // A response block's length does not count its type, unlike a request's.
    GrowableArray out(1);
    DataOutputStream stream(&out);
    stream.WriteShort(envelopeVersion);
    WriteInt32(stream, static_cast<uint32_t>(data.count));
    stream.WriteShort(0x8100);
    stream.WriteBytes(static_cast<const uint8_t*>(data.data), data.count);
    return ToBytes(out);
}

std::string JsonQuote(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string DescribeRequestJson(int sequence, const DecodedRequest& request,
                                const std::string& reply, const std::string& via) {
    static const char* const kClientNames[] = {"application", "version", "device_id",
                                               "distribution_channel", "language"};
    std::string json = "{\"seq\":" + std::to_string(sequence);
    json += ",\"type\":" + JsonQuote(request.requestType);
    json += ",\"request_id\":" + std::to_string(request.requestId);
    json += ",\"client\":{";
    for (size_t i = 0; i < request.clientFields.size(); ++i) {
        if (i > 0) {
            json += ",";
        }
        std::string name = i < 5 ? kClientNames[i] : "extra_" + std::to_string(i);
        json += JsonQuote(name) + ":" + JsonQuote(request.clientFields[i]);
    }
    json += "},\"platform_code\":" + std::to_string(request.platformCode);
    json += ",\"message\":{";
    if (request.requestType == kZelType) {
        json += "\"zel\":" + JsonQuote(request.zel);
    } else if (request.requestType == kCheckType) {
        const CheckClientRecord& r = request.record;
        json += "\"client\":{\"application\":" + JsonQuote(r.application) +
                ",\"package_format\":" + JsonQuote(r.packageFormat) +
                ",\"device_id\":" + JsonQuote(r.deviceId) +
                ",\"distribution_channel\":" + JsonQuote(r.distributionChannel) +
                ",\"language\":" + JsonQuote(r.language) + ",\"version\":" + JsonQuote(r.version) +
                ",\"trailing\":" + JsonQuote(r.trailing) + "}";
        json += ",\"language\":" + JsonQuote(request.checkLanguage);
    }
    json += "}";
    if (!request.error.empty()) {
        json += ",\"decode_error\":" + JsonQuote(request.error);
    }
    json += ",\"reply\":" + JsonQuote(reply);
    if (!via.empty()) {
        json += ",\"via\":" + JsonQuote(via);
    }
    return json + "}";
}
