#include "inet_handles.h"

#include "wince/testing/net.h"

#include <unordered_map>

namespace wince::net {
namespace {

constexpr DWORD kDefaultTimeoutMs = 60000;

std::mutex g_tableMutex;
std::unordered_map<std::uintptr_t, std::shared_ptr<Handle>> g_table;
std::uintptr_t g_nextId = 0xCC0004;

}  // namespace

std::atomic<DWORD> g_connectTimeout{kDefaultTimeoutMs};
std::atomic<DWORD> g_sendTimeout{kDefaultTimeoutMs};
std::atomic<DWORD> g_receiveTimeout{kDefaultTimeoutMs};

Request::Request(DWORD_PTR ctx) : Handle(Kind::Request, ctx) {
    multi = curl_multi_init();
}

Request::~Request() {
    if (easy != nullptr) {
        curl_multi_remove_handle(multi, easy);
        curl_easy_cleanup(easy);
    }
    if (multi != nullptr)
        curl_multi_cleanup(multi);
    curl_slist_free_all(headerList);
    curl_slist_free_all(connectTo);
}

std::shared_ptr<Handle> Lookup(HINTERNET h) {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    auto it = g_table.find(reinterpret_cast<std::uintptr_t>(h));
    if (it == g_table.end())
        return nullptr;
    return it->second;
}

std::shared_ptr<Handle> Remove(HINTERNET h) {
    std::shared_ptr<Handle> handle;
    std::lock_guard<std::mutex> lock(g_tableMutex);
    auto it = g_table.find(reinterpret_cast<std::uintptr_t>(h));
    if (it != g_table.end()) {
        handle = it->second;
        g_table.erase(it);
    }
    return handle;
}

HINTERNET Register(const std::shared_ptr<Handle>& handle, Handle* parent) {
    if (parent != nullptr) {
        handle->callback.store(parent->callback.load());
        handle->connectTimeout.store(parent->connectTimeout.load());
        handle->sendTimeout.store(parent->sendTimeout.load());
        handle->receiveTimeout.store(parent->receiveTimeout.load());
    }
    std::unique_lock<std::mutex> parentLock;
    if (parent != nullptr) {
        parentLock = std::unique_lock<std::mutex>(parent->childMutex);
        if (parent->closed.load()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        parent->children.push_back(handle);
    }
    std::lock_guard<std::mutex> lock(g_tableMutex);
    handle->id = g_nextId;
    g_nextId += 4;
    g_table.emplace(handle->id, handle);
    return ToHandle(handle->id);
}

// Closes a handle and everything opened from it, waking calls that wait.
void CloseTree(const std::shared_ptr<Handle>& handle) {
    std::vector<std::weak_ptr<Handle>> children;
    {
        std::lock_guard<std::mutex> lock(handle->childMutex);
        if (handle->closed.exchange(true))
            return;
        children.swap(handle->children);
    }
    handle->Wake();
    for (auto& weak : children) {
        auto child = weak.lock();
        if (child == nullptr)
            continue;
        {
            std::lock_guard<std::mutex> lock(g_tableMutex);
            g_table.erase(child->id);
        }
        CloseTree(child);
    }
    INTERNET_STATUS_CALLBACK callback = handle->callback.load();
    if (callback != nullptr && handle->context != 0) {
        HINTERNET h = ToHandle(handle->id);
        callback(h, handle->context, INTERNET_STATUS_HANDLE_CLOSING, &h, sizeof(h));
    }
}

DWORD Effective(const std::atomic<std::int64_t>& own, const std::atomic<DWORD>& global) {
    std::int64_t v = own.load();
    return v == kUnset ? global.load() : static_cast<DWORD>(v);
}

}  // namespace wince::net

int WinceInternetOpenHandles() {
    std::lock_guard<std::mutex> lock(wince::net::g_tableMutex);
    return static_cast<int>(wince::net::g_table.size());
}
