// The event queue between worker threads and the window thread.
//
// Objects that want to be told things on the window thread register here and
// get a private window message number. Anything (a worker thread, the
// Connection Manager) posts that message to the main window; the window
// procedure hands every message to HandleMessage, which delivers it to the
// registered handler on the window thread, one event at a time, in arrival
// order, never nested.
#pragma once

#include <cstdint>

#include "common/base/growablearray.h"
#include "common/base/trackedalloc.h"
#include "wince.h"

// Receives events on the window thread. Never deleted through this interface.
class WinmEventHandlerInterface {
  public:
    virtual void HandleEvent(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;

  protected:
    ~WinmEventHandlerInterface() = default;
};

// One queued event.
struct EventQueueItem {
    WINM_TRACKED_ALLOCATION;

    EventQueueItem* next = nullptr;
    EventQueueItem* prev = nullptr;
    WinmEventHandlerInterface* handler = nullptr;
    int32_t slot = 0;
    HWND window = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

class WinmAppEventHandler {
  public:
    WINM_TRACKED_ALLOCATION;

    // Slot i answers message kFirstMessage + i. The numbers stay inside the
    // application range that begins at WM_APP, so the table is bounded.
    static constexpr UINT kFirstMessage = 0x8100;
    static constexpr UINT kLastMessage = 0xBFFF;

    explicit WinmAppEventHandler(HWND window);
    virtual ~WinmAppEventHandler();

    WinmAppEventHandler(const WinmAppEventHandler&) = delete;
    WinmAppEventHandler& operator=(const WinmAppEventHandler&) = delete;

    // Registers handler in the first free slot and returns its message
    // number; 0 when every number of the range is taken.
    UINT AddHandler(WinmEventHandlerInterface* handler);
    // Frees every slot that holds handler; its queued events are dropped.
    void RemoveHandler(WinmEventHandlerInterface* handler);
    // True when message was an event and has been consumed. WM_TIMER whose
    // id is a handler's message number is that handler's event too (its
    // HandleEvent sees WM_TIMER).
    bool HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    HWND GetWindow() const { return window; }

    // Number of events waiting in the queue (window thread only).
    int32_t PendingCount() const { return pendingCount; }

  private:
    WinmEventHandlerInterface* HandlerAt(int32_t slot) const;
    void Deliver();

    EventQueueItem pending;  // sentinel of the circular list
    int32_t pendingCount = 0;
    GrowableArray handlers;
    HWND window;
    bool dispatching = false;
};
