#include "common/src/transportfailure.h"

#include <gtest/gtest.h>

#include <string>

#include "common/src/protocoltestsupport.h"

namespace {

const char kUrl[] = "http://updates.example:8580/m/appreq/mobilesearchapp";

std::string Describe(const char* text, const char* proxy = "") {
    return protocoltest::Utf8(
        DescribeTransportFailure(KString(text), KString(kUrl), KString(proxy)));
}

TEST(TransportFailureTest, NamesWhatFailedAndWhere) {
    EXPECT_EQ(Describe("wininetHttpError [0 12029]"), "cannot connect to updates.example:8580");
    EXPECT_EQ(Describe("wininetHttpError [0 12007]"),
              "the name updates.example cannot be resolved");
    EXPECT_EQ(Describe("wininetHttpError [0 12045]"),
              "the certificate of updates.example is not trusted");
    EXPECT_EQ(Describe("wininetReadError [0]"),
              "the connection closed before the whole answer arrived");
    EXPECT_EQ(Describe("wininetReadError [12002]"), "updates.example:8580 did not answer in time");
    EXPECT_EQ(Describe("wininetHttpError [0 12999]"),
              "the exchange with updates.example:8580 failed");
    EXPECT_EQ(Describe("connectError [127]"), "the Connection Manager (cellcore) cannot be loaded");
}

TEST(TransportFailureTest, ThroughAProxyTheConnectionIsTheProxys) {
    EXPECT_EQ(Describe("wininetHttpError [0 12029]", "127.0.0.1:3128"),
              "cannot connect to the proxy 127.0.0.1:3128");
    EXPECT_EQ(Describe("wininetHttpError [0 12002]", "127.0.0.1:3128"),
              "updates.example:8580 through the proxy 127.0.0.1:3128 did not answer in time");
    EXPECT_EQ(Describe("wininetHttpError [0 12033]", "127.0.0.1:3128"),
              "the proxy 127.0.0.1:3128 refused the tunnel to updates.example:8580");
    EXPECT_EQ(Describe("wininetHttpError [0 8]"), "memory ran out");
}

TEST(TransportFailureTest, OtherTextsGetNoMeaning) {
    EXPECT_EQ(Describe("HTTP status 503"), "");
    EXPECT_EQ(Describe("wininetHttpError []"), "");
    EXPECT_EQ(Describe("wininetHttpError [0 12029"), "");
    EXPECT_EQ(Describe("someError [1]"), "");
}

}  // namespace
