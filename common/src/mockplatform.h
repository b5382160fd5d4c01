// A GoogleMock listener for the requesters' tests: a StrictMock of it fails
// on any listener call a test did not expect.
#pragma once

#include <gmock/gmock.h>

#include <cstdint>

#include "common/base/calendar.h"
#include "common/base/internal/winmkstring/kstring.h"
#include "common/src/clientheaderinterface.h"

namespace protocoltest {

class MockPlatform : public PlatformInterface {
  public:
    MOCK_METHOD(void, UpdateCheckFailed, (), (override));
    MOCK_METHOD(void, UpdateCheckCompleted,
                (int32_t, const KString&, const KString&, const PackedDateTime&), (override));
    MOCK_METHOD(void, ZelUpdateCompleted, (const KString&), (override));
    MOCK_METHOD(void, ZelUpdateFailed, (), (override));
};

}  // namespace protocoltest
