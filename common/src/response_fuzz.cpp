// Feeds arbitrary bytes to the response walk and to both answer parsers.
// The first input byte picks the exchange; the rest is the response body
// (or, for the direct parser runs, the answer message itself).
#include <cstddef>
#include <cstdint>

#include "common/base/winm/internal/winmlib.h"
#include "common/src/protocoltestsupport.h"
#include "common/src/updatecheckrequest/updatechecker.h"
#include "common/src/updatecheckrequest/zelupdater.h"

namespace {

using namespace protocoltest;

DWORD WINAPI FixedClock() {
    return 12345;
}  // request id 0x5EA8

class CountingPlatform : public PlatformInterface {
  public:
    void UpdateCheckFailed() override { ++outcomes; }
    void UpdateCheckCompleted(int32_t, const KString& m, const KString& u,
                              const PackedDateTime&) override {
        ++outcomes;
        sink += m.Length() + u.Length();
    }
    void ZelUpdateCompleted(const KString& zel) override {
        ++outcomes;
        sink += zel.Length();
    }
    void ZelUpdateFailed() override { ++outcomes; }
    int outcomes = 0;
    int sink = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    static WinmLib table = [] {
        WinmLib t{};
        t.timeGetTime = &FixedClock;
        return t;
    }();
    g_winmLib = &table;

    const uint8_t mode = data[0] & 3;
    const Bytes body(data + 1, data + size);
    FixedIdentity identity;
    ScriptedHttpFactory factory;
    CountingPlatform listener;

    if (mode == 0 || mode == 1) {
        // Whole exchange: the response body goes through the envelope walk.
        if (mode == 0) {
            UpdateChecker checker(&listener, &factory, &identity);
            factory.Last()->Complete(body);
        } else {
            ZelUpdater updater(&listener, &factory, &identity, "abc");
            factory.Last()->Complete(body);
        }
        if (listener.outcomes != 1 || !factory.live.empty())
            __builtin_trap();
        return 0;
    }

    // Direct answer parse: the bytes are one answer message.
    GrowableArray view = GrowableArray::View(body.data(), static_cast<int>(body.size()), 1);
    NeskResponseParser parser(&view);
    if (mode == 2) {
        int32_t notification = 0;
        KString message, address;
        PackedDateTime deadline{};
        auto* request = WINM_NEW(UpdateCheckRequest)(&identity, &factory);
        request->SetAnswerFields(&notification, &message, &address, &deadline);
        request->ReadAnswer(parser);
        request->Cancel();
    } else {
        KString code = "abc";
        auto* request = WINM_NEW(ZelUpdateRequest)(&identity, &factory);
        request->SetCodeField(&code);
        request->ReadAnswer(parser);
        request->Cancel();
    }
    if (parser.Position() > static_cast<int32_t>(body.size()))
        __builtin_trap();
    return 0;
}
