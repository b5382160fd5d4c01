#include "common/src/genericneskrequest.h"

#include <chrono>

#include "common/base/winm/internal/winmlib.h"
#include "common/src/transportfailure.h"

namespace {

constexpr uint16_t kEnvelopeVersion = 0x0001;
constexpr uint16_t kHeaderBlockType = 0x0001;
constexpr uint16_t kRequestBlockType = 0x0100;
constexpr uint16_t kAnswerBlockType = 0x8100;

}  // namespace

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
    delete signature_;
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
    if (const AnswerKey* key = BuiltInAnswerKey()) {
        // Never an unsigned exchange: without the cryptography nothing is sent.
        signature_ = WINM_NEW(AnswerSignature)(*key);
        if (signature_ == nullptr || !signature_->Begin()) {
            signatureVerdict_ = SignatureVerdict::kNoCryptography;
            return false;
        }
    }
    HttpRequestInterface* http = factory_->CreateRequest(ProtocolEndpointUrl(), &requestBody_,
                                                         &responseBody_, &transportError_);
    if (http == nullptr)
        return false;
    if (signature_ != nullptr) {
        const GrowableArray name =
            GrowableArray::View(kAnswerKeyHeader, static_cast<int>(sizeof kAnswerKeyHeader - 1), 1);
        http->AddHeader(name, signature_->keyValue());
    }
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
    switch (signatureVerdict_) {
        case SignatureVerdict::kGood:
            break;
        case SignatureVerdict::kMissing:
            return KString("the answer's signature is missing");
        case SignatureVerdict::kMalformed:
            return KString("the answer's signature does not verify: malformed Winm-Signature");
        case SignatureVerdict::kOtherKey:
            return KString::Format(
                "the answer's signature does not verify: made with key id %d, this build has "
                "key id %d",
                signature_->otherKeyId(), static_cast<int>(BuiltInAnswerKey()->id));
        case SignatureVerdict::kDoesNotVerify:
            return KString("the answer's signature does not verify");
        case SignatureVerdict::kNoCryptography:
            return KString(
                "the answer's signature cannot be checked: the platform's cryptography (bcrypt) "
                "is not usable");
    }
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

bool GenericNeskRequest::AnswerSignatureHolds() {
    int count = 0;
    GrowableArray first(1);
    HeaderFieldIteratorInterface* headers =
        http_ != nullptr ? http_->CreateHeaderFieldIterator() : nullptr;
    if (headers != nullptr) {
        const int nameLength = static_cast<int>(sizeof kAnswerSignatureHeader - 1);
        for (headers->First(); !headers->IsDone(); headers->Next()) {
            const GrowableArray* name = headers->GetName();
            if (name->count != nameLength)
                continue;
            bool same = true;
            for (int i = 0; i < nameLength && same; ++i) {
                uint8_t c = name->Bytes()[i];
                if (c >= 'A' && c <= 'Z')
                    c = static_cast<uint8_t>(c - 'A' + 'a');
                char expected = kAnswerSignatureHeader[i];
                if (expected >= 'A' && expected <= 'Z')
                    expected = static_cast<char>(expected - 'A' + 'a');
                same = c == static_cast<uint8_t>(expected);
            }
            if (!same || ++count > 1)
                continue;
            // Only as much as a valid value can hold (and one byte more, to
            // tell an overlong one) is copied; trailing blanks are not part
            // of the value.
            const GrowableArray* value = headers->GetValue();
            int length = value->count;
            while (length > 0 &&
                   (value->Bytes()[length - 1] == ' ' || value->Bytes()[length - 1] == '\t'))
                --length;
            if (length > kMaxSignatureValueLength + 1)
                length = kMaxSignatureValueLength + 1;
            first.InsertAt(first.End(), length, value->Bytes());
        }
        delete headers;
    }
    signatureVerdict_ = signature_->Check(count, first, requestBody_, responseBody_);
    return signatureVerdict_ == SignatureVerdict::kGood;
}

void GenericNeskRequest::OnInnerComplete() {
    // The signature is checked before anything of the answer is read.
    if (signature_ != nullptr && !AnswerSignatureHolds()) {
        http_ = nullptr;
        exchangeCompleted_ = true;
        succeeded_ = false;
        return;
    }
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
        // From here on the block is ours: whatever cannot be read whole
        // counts as a cut answer, not as no answer.
        block.ReadShort();
        block.ReadString();
        const uint32_t messageLength = block.ReadInt();
        const GrowableArray message = block.ReadBytes(messageLength);
        if (block.HasError()) {
            answerCut_ = true;
            return;
        }
        NeskResponseParser answer(&message);
        if (ReadAnswer(answer))
            answerRead_ = true;
        else
            answerCut_ = true;
    }
}
