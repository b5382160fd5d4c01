#include "common/src/updatecheckrequest/updatechecker.h"

#include "common/base/log.h"

namespace {

constexpr uint8_t kTagMessage = 0x12;
constexpr uint8_t kTagAddress = 0x1A;
constexpr uint8_t kTagDeadline = 0x22;
constexpr uint8_t kTagIgnoredVarint = 0x28;

// The last millisecond of the unsigned 32-bit seconds range (2106-02-07
// 06:28:15.999), the furthest deadline the stored value can hold.
constexpr uint64_t kLastDeadlineMillis = 0xFFFFFFFFull * 1000 + 999;

}  // namespace

bool ParseDeadline(const KString& text, PackedDateTime& deadline) {
    GrowableArray utf8(1);
    text.ToUtf8(utf8);
    const uint8_t* bytes = utf8.Bytes();
    int i = 0;
    bool negative = false;
    if (utf8.count > 0 && bytes[0] == '-') {
        negative = true;
        i = 1;
    }
    uint64_t millis = 0;
    bool outOfRange = false;
    for (; i < utf8.count; ++i) {
        const uint8_t c = bytes[i];
        if (c == '.')
            break;  // the fraction of a millisecond is ignored
        if (c < '0' || c > '9')
            return false;
        if (!outOfRange) {
            millis = millis * 10 + (c - '0');
            outOfRange = millis > kLastDeadlineMillis;
        }
    }
    if (outOfRange || (negative && millis != 0))
        return false;
    PackedDateTime fresh{};
    DateFromSeconds(fresh, static_cast<uint32_t>(millis / 1000));
    deadline = fresh;
    return true;
}

UpdateCheckRequest::UpdateCheckRequest(ClientHeaderInterface* identity, HttpRequestFactory* factory)
    : GenericNeskRequest(identity, factory) {}

void UpdateCheckRequest::SetAnswerFields(int32_t* notification, KString* message, KString* address,
                                         PackedDateTime* deadline) {
    notification_ = notification;
    message_ = message;
    address_ = address;
    deadline_ = deadline;
}

void UpdateCheckRequest::WritePayload(NeskRequestBuilder& builder) {
    builder.WriteString("k:upg/gn");
    builder.WriteShort(0);
    builder.BeginBlock32();
    builder.BeginVarintBlock(0x0A);
    builder.WriteStringField(0x12, identity_->GetApplicationName());
    builder.WriteStringField(0x1A, identity_->GetPackageFormat());
    builder.WriteStringField(0x22, identity_->GetDeviceId());
    builder.WriteStringField(0x2A, identity_->GetDistributionChannel());
    builder.WriteStringField(0x32, identity_->GetLanguage());
    builder.WriteStringField(0x3A, identity_->GetVersion());
    builder.WriteStringField(0x0A, KString());
    builder.EndBlock();
    builder.WriteStringField(0x1A, identity_->GetLanguage());
    builder.EndBlock();
}

bool UpdateCheckRequest::ReadAnswer(NeskResponseParser& parser) {
    if (notification_ == nullptr || message_ == nullptr || address_ == nullptr ||
        deadline_ == nullptr)
        return false;
    // Read into copies and take them only when the whole message was read:
    // a cut answer must not replace a stored one.
    int32_t notification = 0;
    KString message = *message_;
    KString address = *address_;
    PackedDateTime deadline = *deadline_;
    parser.ReadByte();  // the first field is always the notification code
    // A message that ends before the code's value is cut inside that field.
    if (parser.AtEnd())
        return false;
    notification = static_cast<int32_t>(parser.ReadVarint());
    for (;;) {
        if (parser.HasError())
            return false;
        if (parser.AtEnd())
            break;
        const uint8_t tag = parser.ReadByte();
        // A tag that is the last byte is a field cut after its tag: the
        // message did not arrive whole.
        if (parser.AtEnd())
            return false;
        bool known = true;
        switch (tag) {
            case kTagMessage:
                message = parser.ReadVarintString();
                break;
            case kTagAddress:
                address = parser.ReadVarintString();
                break;
            case kTagDeadline: {
                const KString text = parser.ReadVarintString();
                if (!text.IsEmpty())
                    ParseDeadline(text, deadline);
                break;
            }
            case kTagIgnoredVarint:
                parser.ReadVarint64();
                break;
            default:
                known = false;  // an unknown field ends the reading
                break;
        }
        if (!known)
            break;
    }
    *notification_ = notification;
    *message_ = message;
    *address_ = address;
    *deadline_ = deadline;
    return true;
}

void UpdateCheckRequest::OnInnerComplete() {
    GenericNeskRequest::OnInnerComplete();
    // Also when the only answer was cut: the stored answer stays.
    if (!answerRead())
        succeeded_ = false;
}

UpdateChecker::UpdateChecker(PlatformInterface* listener, HttpRequestFactory* factory,
                             ClientHeaderInterface* identity)
    : listener_(listener), factory_(factory), identity_(identity) {
    UpdateCheckRequest* request = WINM_NEW(UpdateCheckRequest)(identity_, factory_);
    if (request == nullptr) {
        LogWarning("update check failed: the request could not be made");
        listener_->UpdateCheckFailed();
        return;
    }
    request->SetAnswerFields(&notification_, &message_, &address_, &deadline_);
    // A request that cannot be prepared reports OnFailed from Start.
    request->Prepare();
    request_ = request;
    request->Start(this);
}

UpdateChecker::~UpdateChecker() {
    if (request_ != nullptr) {
        UpdateCheckRequest* request = request_;
        request_ = nullptr;
        request->Cancel();
    }
}

void UpdateChecker::OnComplete(RequestInterface* request) {
    if (request == nullptr || request != static_cast<RequestInterface*>(request_))
        return;
    request_ = nullptr;
    listener_->UpdateCheckCompleted(notification_, message_, address_, deadline_);
}

void UpdateChecker::OnFailed(RequestInterface* request) {
    if (request == nullptr || request != static_cast<RequestInterface*>(request_))
        return;
    const KString reason = request_->FailureText();
    request_ = nullptr;
    LogWarning("update check failed: %S", &reason);
    listener_->UpdateCheckFailed();
}
