// Base of an object that owns one worker thread.
//
// The thread body and the window thread share state through the hand-off
// protocol: the body stores what it has to say under `lock`, releases it and
// then posts the object's event message; OnEvent, on the window thread, takes
// `lock`, moves out what is new, releases it and only then calls out. Workers
// never wait for the window thread; the window thread waits for a worker only
// in StopThread.
#pragma once

#include "common/base/winm/internal/winmappeventhandler.h"
#include "wince.h"

class WinmWorkerThread : public WinmEventHandlerInterface {
  public:
    explicit WinmWorkerThread(WinmAppEventHandler* eventQueue);

    // Hands the event to OnEvent.
    void HandleEvent(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
    // Does not stop the thread: the most-derived class calls StopThread first
    // thing in its own destructor, while its members still exist.
    virtual ~WinmWorkerThread();
    // Makes a blocked thread body return soon. Called by StopThread after the
    // stop event is set.
    virtual void Abort() {}
    // The thread body; returns the thread's exit code.
    virtual DWORD Run() = 0;
    // This worker's event, on the window thread.
    virtual void OnEvent(HWND window, UINT message, WPARAM wParam) = 0;

    WinmWorkerThread(const WinmWorkerThread&) = delete;
    WinmWorkerThread& operator=(const WinmWorkerThread&) = delete;

    // Registers for events and starts the thread; nothing when it already
    // runs. False when no thread could be started: the object then stays
    // registered, so its owner can still post itself an event to report.
    bool StartThread();
    // Sets the stop event, calls Abort, waits for the thread to end and
    // unregisters. Safe to call when no thread was ever started.
    void StopThread();
    // Window thread: as StopThread, but waits at most waitMs for the thread
    // body to return. False when it still runs: the caller then either waits
    // with StopThread or hands the object over with HandOverToThread.
    bool StopThreadWithin(DWORD waitMs);
    // Window thread, after StopThreadWithin returned false: unregisters the
    // object and gives it to its own thread, which deletes it once its body
    // returns; the caller must not touch it any more. False when the body
    // returned meanwhile: the thread is then ended as by StopThread and the
    // object is still the caller's.
    bool HandOverToThread();
    // Window thread: the message number of this worker's events (a request
    // also numbers its timer with it); 0 while unregistered.
    UINT EventMessage() const { return message; }

  protected:
    static DWORD WINAPI ThreadMain(LPVOID worker);

    // From the worker thread (or the window thread): post this worker's
    // message to the main window.
    void PostEvent();
    // From the worker thread: wait until StopThread has set the stop event.
    void WaitForStop();
    // From the worker thread: whether StopThread has begun.
    bool StopRequested();

    WinmAppEventHandler* eventQueue;
    // Written by the window thread under `lock` once the thread runs.
    UINT message = 0;
    // The window events go to, so that posting never reads the event queue,
    // which an object handed over to its thread may outlive.
    HWND window = nullptr;
    HANDLE thread = nullptr;
    HANDLE stopEvent;
    HANDLE finishedEvent;
    CRITICAL_SECTION lock;

  private:
    bool bodyReturned = false;  // guarded by lock
    bool handedOver = false;    // guarded by lock
};
