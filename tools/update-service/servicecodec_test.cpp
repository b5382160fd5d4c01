#include "tools/update-service/servicecodec.h"

#include <gtest/gtest.h>

namespace {

// A "k:zel" request with id 0x5EA8, code "abc" and the client values zpm,
// 1.0.57, winm-SmartPhone-XYZ, Web, en_US.
const Bytes kZelRequest = {
    0x00, 0x01, 0x00, 0x00, 0x00, 0x36, 0x00, 0x01, 0x00, 0x28, 0x7A, 0x70, 0x6D, 0x2C, 0x31,
    0x2E, 0x30, 0x2E, 0x35, 0x37, 0x2C, 0x77, 0x69, 0x6E, 0x6D, 0x2D, 0x53, 0x6D, 0x61, 0x72,
    0x74, 0x50, 0x68, 0x6F, 0x6E, 0x65, 0x2D, 0x58, 0x59, 0x5A, 0x2C, 0x57, 0x65, 0x62, 0x2C,
    0x65, 0x6E, 0x5F, 0x55, 0x53, 0x00, 0x00, 0x00, 0x00, 0x77, 0x69, 0x6E, 0x6D, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x16, 0x01, 0x00, 0x5E, 0xA8, 0x00, 0x05, 0x6B, 0x3A, 0x7A, 0x65, 0x6C,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x03, 0x61, 0x62, 0x63};

Bytes Text(const char* text) {
    return Bytes(text, text + std::char_traits<char>::length(text));
}

void Append(Bytes& to, const Bytes& bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

// The same request as an update check (146 bytes).
Bytes CheckRequest() {
    Bytes body(kZelRequest.begin(), kZelRequest.begin() + 60);
    Append(body, {0x00, 0x00, 0x00, 0x52, 0x01, 0x00, 0x5E, 0xA8, 0x00, 0x08});
    Append(body, Text("k:upg/gn"));
    Append(body, {0x00, 0x00, 0x00, 0x00, 0x00, 0x3E, 0x0A, 0x35, 0x12, 0x03});
    Append(body, Text("zpm"));
    Append(body, {0x1A, 0x03});
    Append(body, Text("cab"));
    Append(body, {0x22, 0x13});
    Append(body, Text("winm-SmartPhone-XYZ"));
    Append(body, {0x2A, 0x03});
    Append(body, Text("Web"));
    Append(body, {0x32, 0x05});
    Append(body, Text("en_US"));
    Append(body, {0x3A, 0x06});
    Append(body, Text("1.0.57"));
    Append(body, {0x0A, 0x00, 0x1A, 0x05});
    Append(body, Text("en_US"));
    return body;
}

TEST(ServiceCodecTest, DecodesBothRequestsOfTheWireExamples) {
    DecodedRequest zel = DecodeRequest(kZelRequest);
    EXPECT_EQ(zel.error, "");
    EXPECT_EQ(zel.requestType, "k:zel");
    EXPECT_EQ(zel.requestId, 0x5EA8);
    EXPECT_EQ(zel.platformCode, 2003398253u);
    EXPECT_EQ(zel.clientFields,
              (std::vector<std::string>{"zpm", "1.0.57", "winm-SmartPhone-XYZ", "Web", "en_US"}));
    EXPECT_EQ(zel.zel, "abc");

    Bytes body = CheckRequest();
    ASSERT_EQ(body.size(), 146u);
    DecodedRequest check = DecodeRequest(body);
    EXPECT_EQ(check.error, "");
    EXPECT_EQ(check.requestType, "k:upg/gn");
    EXPECT_EQ(check.record.application, "zpm");
    EXPECT_EQ(check.record.packageFormat, "cab");
    EXPECT_EQ(check.record.deviceId, "winm-SmartPhone-XYZ");
    EXPECT_EQ(check.record.distributionChannel, "Web");
    EXPECT_EQ(check.record.language, "en_US");
    EXPECT_EQ(check.record.version, "1.0.57");
    EXPECT_EQ(check.record.trailing, "");
    EXPECT_EQ(check.checkLanguage, "en_US");
}

TEST(ServiceCodecTest, RejectsEveryTruncationAndTrailingBytes) {
    for (const Bytes& full : {kZelRequest, CheckRequest()}) {
        for (size_t n = 0; n < full.size(); ++n) {
            Bytes cut(full.begin(), full.begin() + n);
            EXPECT_NE(DecodeRequest(cut).error, "") << "cut at " << n;
        }
        Bytes longer = full;
        longer.push_back(0);
        EXPECT_NE(DecodeRequest(longer).error, "");
    }
    Bytes wrongVersion = kZelRequest;
    wrongVersion[1] = 2;
    EXPECT_EQ(DecodeRequest(wrongVersion).error, "envelope version is not 1");
    Bytes wrongTag = CheckRequest();
    wrongTag[wrongTag.size() - 7] = 0x22;  // the trailing language field's tag
    EXPECT_NE(DecodeRequest(wrongTag).error, "");
}

TEST(ServiceCodecTest, EncodesTheAnswerOfTheWireExample) {
    CheckAnswer answer;
    answer.notification = 1;
    answer.message = "hi";
    answer.url = "/u";
    answer.deadline = "1262304000000";
    Bytes expected = {0x00, 0x01, 0x00, 0x00, 0x00, 0x23, 0x81, 0x00, 0x5E, 0xA8, 0x00,
                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x19, 0x08, 0x01, 0x12, 0x02};
    Append(expected, Text("hi"));
    Append(expected, {0x1A, 0x02});
    Append(expected, Text("/u"));
    Append(expected, {0x22, 0x0D});
    Append(expected, Text("1262304000000"));
    EXPECT_EQ(EncodeResponse(1, 0x5EA8, EncodeCheckAnswer(answer)), expected);

    Bytes zel = {0x00, 0x03};
    Append(zel, Text("abc"));
    EXPECT_EQ(EncodeZelAnswer("abc"), zel);
    EXPECT_EQ(EncodeZelAnswer(""), (Bytes{0x00, 0x00}));
}

TEST(ServiceCodecTest, LargeNotificationsTakeMultiByteVarints) {
    CheckAnswer answer;
    answer.notification = 300;
    Bytes message = EncodeCheckAnswer(answer);
    ASSERT_GE(message.size(), 3u);
    EXPECT_EQ(message[0], 0x08);
    EXPECT_EQ(message[1], 0xAC);
    EXPECT_EQ(message[2], 0x02);
}

TEST(ServiceCodecTest, JsonLinesEscapeWhatTheDeviceSent) {
    DecodedRequest request = DecodeRequest(kZelRequest);
    request.zel = "a\"b\\c\n\x01";
    std::string line = DescribeRequestJson(3, request, "answer", "");
    EXPECT_NE(line.find("\"zel\":\"a\\\"b\\\\c\\n\\u0001\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"seq\":3"), std::string::npos);
    EXPECT_NE(line.find("\"device_id\":\"winm-SmartPhone-XYZ\""), std::string::npos);
    EXPECT_EQ(line.find('\n'), std::string::npos);
}

}  // namespace
