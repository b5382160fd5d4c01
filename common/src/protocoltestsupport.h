// Test support for the protocol layer: a fixed client identity, a scripted
// HTTP factory whose requests answer with chosen bytes or failures, and
// helpers to build response bodies. Used by tests and fuzz targets only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/base/growablearray.h"
#include "common/base/internal/winmkstring/kstring.h"
#include "common/base/log.h"
#include "common/src/clientheaderinterface.h"
#include "common/src/genericneskrequest.h"
#include "common/src/httprequestinterface.h"

namespace protocoltest {

using Bytes = std::vector<uint8_t>;

inline Bytes ToBytes(const GrowableArray& array) {
    const uint8_t* p = static_cast<const uint8_t*>(array.data);
    return Bytes(p, p + array.count);
}

inline std::string Utf8(const KString& s) {
    GrowableArray out(1);
    s.ToUtf8(out);
    return std::string(static_cast<const char*>(out.data), out.count);
}

// The identity of the worked examples.
class FixedIdentity : public ClientHeaderInterface {
  public:
    KString GetClientId() override { return "client-1"; }
    uint64_t GetPlatformCode() override { return 0x77696E6D; }
    KString GetApplicationName() override { return KString(application.c_str()); }
    KString GetPackageFormat() override { return KString(packageFormat.c_str()); }
    KString GetDeviceId() override { return KString(deviceId.c_str()); }
    KString GetDistributionChannel() override { return KString(channel.c_str()); }
    KString GetLanguage() override { return KString(language.c_str()); }
    KString GetVersion() override { return KString(version.c_str()); }

    std::string application = "zpm";
    std::string packageFormat = "cab";
    std::string deviceId = "winm-SmartPhone-XYZ";
    std::string channel = "Web";
    std::string language = "en_US";
    std::string version = "1.0.57";
};

class ScriptedHttpFactory;

// An HTTP request that does nothing on its own: the test (or the factory's
// automatic answer) makes it deliver data, complete or fail. It keeps the
// ownership rule: it destroys itself after its report or in Cancel().
class ScriptedHttpRequest : public HttpRequestInterface {
  public:
    ScriptedHttpRequest(ScriptedHttpFactory* factory, GrowableArray* responseBody,
                        TransportError* error)
        : factory_(factory), responseBody_(responseBody), error_(error) {}
    ~ScriptedHttpRequest() override;

    void Start(RequesterInterface* requester) override;
    void Cancel() override;
    void AddHeader(const GrowableArray&, const GrowableArray&) override {}
    int32_t GetStatusCode() override { return status_; }
    HeaderFieldIteratorInterface* CreateHeaderFieldIterator() override { return nullptr; }

    void Deliver(const Bytes& bytes) {
        responseBody_->InsertAt(responseBody_->End(), static_cast<int>(bytes.size()), bytes.data());
        requester_->OnData(this);
    }
    // Appends bytes, reports OnComplete and destroys itself.
    void Complete(const Bytes& bytes = {}) {
        if (!bytes.empty())
            responseBody_->InsertAt(responseBody_->End(), static_cast<int>(bytes.size()),
                                    bytes.data());
        RequesterInterface* requester = requester_;
        requester->OnComplete(this);
        delete this;
    }
    // Writes the error record, reports OnFailed and destroys itself; status
    // is what GetStatusCode then answers.
    void Fail(int32_t code, const char* text, int32_t status = 0) {
        status_ = status;
        error_->code = code;
        error_->text = KString(text);
        RequesterInterface* requester = requester_;
        requester->OnFailed(this);
        delete this;
    }

    RequesterInterface* requester() const { return requester_; }
    bool started() const { return started_; }

  private:
    ScriptedHttpFactory* factory_;
    GrowableArray* responseBody_;
    TransportError* error_;
    RequesterInterface* requester_ = nullptr;
    bool started_ = false;
    int32_t status_ = 200;
};

class ScriptedHttpFactory : public HttpRequestFactory {
  public:
    enum class Answer { Manually, CompleteAtStart, FailAtStart };

    ~ScriptedHttpFactory() override {
        // Requests still alive at the end of a test are a leak of the code
        // under test; drop them so the sanitizers report only that.
        while (!live.empty())
            delete live.back();
    }

    HttpRequestInterface* CreateGetRequest(const KString& url, GrowableArray* responseBody,
                                           TransportError* error) override {
        return CreateRequest(url, nullptr, responseBody, error);
    }
    HttpRequestInterface* CreateRequest(const KString& url, const GrowableArray* requestBody,
                                        GrowableArray* responseBody,
                                        TransportError* error) override {
        ++created;
        if (refuseCreate)
            return nullptr;
        urls.push_back(Utf8(url));
        bodies.push_back(requestBody ? ToBytes(*requestBody) : Bytes());
        auto* request = new ScriptedHttpRequest(this, responseBody, error);
        live.push_back(request);
        return request;
    }

    ScriptedHttpRequest* Last() const { return live.empty() ? nullptr : live.back(); }

    Answer answer = Answer::Manually;
    Bytes answerBytes;
    bool refuseCreate = false;

    int created = 0;
    int started = 0;
    int cancelled = 0;
    std::vector<std::string> urls;
    std::vector<Bytes> bodies;
    std::vector<ScriptedHttpRequest*> live;
};

inline ScriptedHttpRequest::~ScriptedHttpRequest() {
    auto& live = factory_->live;
    for (auto it = live.begin(); it != live.end(); ++it)
        if (*it == this) {
            live.erase(it);
            break;
        }
}

inline void ScriptedHttpRequest::Start(RequesterInterface* requester) {
    requester_ = requester;
    started_ = true;
    ++factory_->started;
    switch (factory_->answer) {
        case ScriptedHttpFactory::Answer::CompleteAtStart:
            Complete(factory_->answerBytes);
            break;
        case ScriptedHttpFactory::Answer::FailAtStart:
            Fail(2, "scripted failure");
            break;
        case ScriptedHttpFactory::Answer::Manually:
            break;
    }
}

inline void ScriptedHttpRequest::Cancel() {
    ++factory_->cancelled;
    delete this;
}

// Response bodies.
inline void PutShort(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
inline void PutInt(Bytes& b, uint32_t v) {
    PutShort(b, v >> 16);
    PutShort(b, v);
}
inline void Append(Bytes& b, const Bytes& more) {
    b.insert(b.end(), more.begin(), more.end());
}

// A 0x8100 answer block's data: id, the uninterpreted value and string, and
// the answer message.
inline Bytes AnswerBlockData(uint16_t id, const Bytes& message) {
    Bytes d;
    PutShort(d, id);
    PutShort(d, 0);
    PutShort(d, 0);
    PutInt(d, static_cast<uint32_t>(message.size()));
    Append(d, message);
    return d;
}

// A response block: data length (not counting the type), type, data.
inline Bytes Block(uint16_t type, const Bytes& data) {
    Bytes b;
    PutInt(b, static_cast<uint32_t>(data.size()));
    PutShort(b, type);
    Append(b, data);
    return b;
}

// Version 1 followed by the blocks.
inline Bytes Response(const std::vector<Bytes>& blocks) {
    Bytes r;
    PutShort(r, 1);
    for (const Bytes& b : blocks)
        Append(r, b);
    return r;
}

inline Bytes AnswerResponse(uint16_t id, const Bytes& message) {
    return Response({Block(0x8100, AnswerBlockData(id, message))});
}

// The id of the protocol request a scripted HTTP request runs for.
inline uint16_t RequestIdOf(ScriptedHttpRequest* http) {
    return dynamic_cast<GenericNeskRequest*>(http->requester())->requestId();
}

// Collects the warnings logged while it lives.
class WarningLog {
  public:
    WarningLog() {
        lines().clear();
        savedLevel_ = LogLevel.exchange(1);
        SetLogSink([](const KString& line) { lines().push_back(Utf8(line)); });
    }
    ~WarningLog() {
        SetLogSink(nullptr);
        LogLevel = savedLevel_;
    }
    static std::vector<std::string>& lines() {
        static std::vector<std::string> collected;
        return collected;
    }

  private:
    int32_t savedLevel_;
};

}  // namespace protocoltest
