#include "common/base/winm/internal/winmappeventhandler.h"

#include "common/base/log.h"

WinmAppEventHandler::WinmAppEventHandler(HWND window)
    : handlers(static_cast<int>(sizeof(WinmEventHandlerInterface*))), window(window) {
    pending.next = &pending;
    pending.prev = &pending;
}

WinmAppEventHandler::~WinmAppEventHandler() {
    handlers.FreeIfOwned();
}

WinmEventHandlerInterface* WinmAppEventHandler::HandlerAt(int32_t slot) const {
    return static_cast<WinmEventHandlerInterface* const*>(handlers.data)[slot];
}

UINT WinmAppEventHandler::AddHandler(WinmEventHandlerInterface* handler) {
    auto** table = static_cast<WinmEventHandlerInterface**>(handlers.data);
    for (int32_t i = 0; i < handlers.count; ++i) {
        if (table[i] == nullptr) {
            table[i] = handler;
            return kFirstMessage + static_cast<UINT>(i);
        }
    }
    if (static_cast<UINT>(handlers.count) > kLastMessage - kFirstMessage) {
        LogWarning("Event queue full: no message number for another handler");
        return 0;
    }
    int32_t slot = handlers.count;
    handlers.SetCount(slot + 1);
    static_cast<WinmEventHandlerInterface**>(handlers.data)[slot] = handler;
    return kFirstMessage + static_cast<UINT>(slot);
}

void WinmAppEventHandler::RemoveHandler(WinmEventHandlerInterface* handler) {
    auto** table = static_cast<WinmEventHandlerInterface**>(handlers.data);
    for (int32_t i = 0; i < handlers.count; ++i) {
        if (table[i] == handler)
            table[i] = nullptr;
    }
}

bool WinmAppEventHandler::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // A handler's window timer carries its message number as the timer id
    // and is queued like any of its events.
    UINT number = message == WM_TIMER && lParam == 0 && wParam <= kLastMessage
                      ? static_cast<UINT>(wParam)
                      : message;
    if (number < kFirstMessage)
        return false;
    UINT slot = number - kFirstMessage;
    if (slot >= static_cast<UINT>(handlers.count))
        return false;
    WinmEventHandlerInterface* handler = HandlerAt(static_cast<int32_t>(slot));
    if (handler == nullptr)
        return false;

    EventQueueItem* item = WINM_NEW(EventQueueItem);
    if (item == nullptr) {
        // Messages carry no data, so a later event of the same handler picks
        // up whatever this one would have announced. Outside a delivery loop
        // the event can still be handed over directly without nesting.
        if (dispatching)
            return true;
        dispatching = true;
        handler->HandleEvent(window, message, wParam, lParam);
        Deliver();
        dispatching = false;
        return true;
    }
    item->handler = handler;
    item->slot = static_cast<int32_t>(slot);
    item->window = window;
    item->message = message;
    item->wParam = wParam;
    item->lParam = lParam;
    item->prev = pending.prev;
    item->next = &pending;
    pending.prev->next = item;
    pending.prev = item;
    ++pendingCount;

    // A delivery loop further up this thread's stack picks the item up once
    // the handler it is running returns.
    if (dispatching)
        return true;

    dispatching = true;
    Deliver();
    dispatching = false;
    return true;
}

void WinmAppEventHandler::Deliver() {
    while (pending.next != &pending) {
        EventQueueItem* item = pending.next;
        // The handler may have been removed, or its slot given to another,
        // since the event was queued: such an event is dropped.
        if (HandlerAt(item->slot) == item->handler) {
            item->handler->HandleEvent(item->window, item->message, item->wParam, item->lParam);
        }
        item->prev->next = item->next;
        item->next->prev = item->prev;
        --pendingCount;
        delete item;
    }
}
