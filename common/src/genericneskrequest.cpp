#include "common/src/genericneskrequest.h"

#include <chrono>

#include "common/base/winm/internal/winmlib.h"
#include "common/src/transportfailure.h"

#ifndef WINM_SERVICE_HOSTPORT
#define WINM_SERVICE_HOSTPORT "127.0.0.1:8580"
#endif

namespace {

constexpr uint16_t kEnvelopeVersion = 0x0001;
constexpr uint16_t kHeaderBlockType = 0x0001;
constexpr uint16_t kRequestBlockType = 0x0100;
constexpr uint16_t kAnswerBlockType = 0x8100;

}  // namespace

KString ProtocolEndpointUrl() {
    return KString("http://" WINM_SERVICE_HOSTPORT "/m/appreq/mobilesearchapp");
}

uint32_t RequestClockMilliseconds() {
    if (g_winmLib != nullptr && g_winmLib->timeGetTime != nullptr)
        return g_winmLib->timeGetTime();
    // Without the multimedia timer the process's own monotonic clock serves:
    // the id only has to differ between the requests of a run.
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

GenericNeskRequest::GenericNeskRequest(ClientHeaderInterface* identity, HttpRequestFactory* factory)
    : RequestAdapter("generic_nesk_request"), identity_(identity), factory_(factory) {}

GenericNeskRequest::~GenericNeskRequest() {
    // A cancelled HTTP request may still write the error record and must
    // find the bodies alive, so it goes before the members do.
    if (innerRequest_ != nullptr) {
        RequestInterface* inner = innerRequest_;
        innerRequest_ = nullptr;
        inner->Cancel();
    }
}

bool GenericNeskRequest::BuildBody() {
    requestBody_.SetCount(0);
    NeskRequestBuilder builder(&requestBody_);
    builder.WriteShort(kEnvelopeVersion);

    builder.BeginBlock32();
    builder.WriteShort(kHeaderBlockType);
    builder.BeginBlock16();
    builder.WriteRawString(identity_->GetApplicationName());
    builder.WriteByte(',');
    builder.WriteRawString(identity_->GetVersion());
    builder.WriteByte(',');
    builder.WriteRawString(identity_->GetDeviceId());
    builder.WriteByte(',');
    builder.WriteRawString(identity_->GetDistributionChannel());
    builder.WriteByte(',');
    builder.WriteRawString(identity_->GetLanguage());
    builder.EndBlock();
    builder.WriteLong(identity_->GetPlatformCode());
    builder.WriteString(KString());
    builder.EndBlock();

    builder.BeginBlock32();
    builder.WriteShort(kRequestBlockType);
    requestId_ = static_cast<uint16_t>(RequestClockMilliseconds() * 1000u);
    builder.WriteShort(requestId_);
    WritePayload(builder);
    builder.EndBlock();

    if (!builder.IsComplete()) {
        // Never send a body whose lengths are wrong.
        requestBody_.SetCount(0);
        return false;
    }
    return true;
}

bool GenericNeskRequest::Prepare() {
    if (!BuildBody())
        return false;
    HttpRequestInterface* http = factory_->CreateRequest(ProtocolEndpointUrl(), &requestBody_,
                                                         &responseBody_, &transportError_);
    if (http == nullptr)
        return false;
    SetInnerRequest(http);
    http_ = http;
    requester_ = nullptr;
    return true;
}

void GenericNeskRequest::OnInnerFailed() {
    // The exchange reports before it destroys itself, so it is still alive.
    if (http_ != nullptr)
        failedStatus_ = http_->GetStatusCode();
    http_ = nullptr;
    exchangeFailed_ = true;
}

KString GenericNeskRequest::FailureText() const {
    if (failedStatus_ != 0 && (failedStatus_ < 200 || failedStatus_ >= 400))
        return KString::Format("HTTP status %d", static_cast<int>(failedStatus_));
    if (!transportError_.text.IsEmpty()) {
        // The error text stays as the request gave it, for reports; what
        // it means follows in words.
        const KString meaning = DescribeTransportFailure(
            transportError_.text, ProtocolEndpointUrl(), transportError_.proxy);
        if (meaning.IsEmpty())
            return transportError_.text;
        return KString::Format("%S (%S)", &transportError_.text, &meaning);
    }
    if (exchangeCompleted_)
        return KString("the service's answer could not be read");
    if (exchangeFailed_)
        return KString("the exchange failed");
    return KString("the request could not be made");
}

void GenericNeskRequest::OnInnerComplete() {
    http_ = nullptr;
    exchangeCompleted_ = true;
    NeskResponseParser response(&responseBody_);
    if (response.ReadShort() != kEnvelopeVersion || response.HasError())
        return;
    for (;;) {
        const uint32_t length = response.ReadInt();
        if (response.HasError() || response.AtEnd())
            return;
        const uint16_t type = response.ReadShort();
        const GrowableArray data = response.ReadBytes(length);
        if (response.HasError())
            return;
        if (type != kAnswerBlockType)
            continue;

        NeskResponseParser block(&data);
        const uint16_t id = block.ReadShort();
        if (block.HasError())
            return;
        if (id != requestId_)
            continue;  // someone else's answer
        block.ReadShort();
        if (block.HasError())
            return;
        block.ReadString();
        const uint32_t messageLength = block.ReadInt();
        if (block.HasError())
            return;
        const GrowableArray message = block.ReadBytes(messageLength);
        if (block.HasError())
            return;
        NeskResponseParser answer(&message);
        answerRead_ = true;
        ReadAnswer(answer);
    }
}
