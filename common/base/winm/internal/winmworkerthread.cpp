#include "common/base/winm/internal/winmworkerthread.h"

WinmWorkerThread::WinmWorkerThread(WinmAppEventHandler* eventQueue)
    : eventQueue(eventQueue),
      stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      finishedEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    InitializeCriticalSection(&lock);
}

WinmWorkerThread::~WinmWorkerThread() {
    DeleteCriticalSection(&lock);
    if (stopEvent != nullptr)
        CloseHandle(stopEvent);
    if (finishedEvent != nullptr)
        CloseHandle(finishedEvent);
}

void WinmWorkerThread::HandleEvent(HWND window, UINT message, WPARAM wParam, LPARAM) {
    OnEvent(window, message, wParam);
}

bool WinmWorkerThread::StartThread() {
    if (thread != nullptr)
        return true;
    if (message == 0) {
        message = eventQueue->AddHandler(this);
        if (message == 0)
            return false;
    }
    window = eventQueue->GetWindow();
    bodyReturned = false;
    ResetEvent(stopEvent);
    ResetEvent(finishedEvent);
    thread = CreateThread(nullptr, 0, &WinmWorkerThread::ThreadMain, this, 0, nullptr);
    return thread != nullptr;
}

DWORD WINAPI WinmWorkerThread::ThreadMain(LPVOID parameter) {
    auto* worker = static_cast<WinmWorkerThread*>(parameter);
    DWORD result = worker->Run();
    EnterCriticalSection(&worker->lock);
    worker->bodyReturned = true;
    bool orphan = worker->handedOver;
    HANDLE finished = worker->finishedEvent;
    LeaveCriticalSection(&worker->lock);
    if (orphan) {
        delete worker;
        return result;
    }
    // The worker object may be destroyed as soon as this is set.
    SetEvent(finished);
    return result;
}

void WinmWorkerThread::PostEvent() {
    EnterCriticalSection(&lock);
    UINT number = message;
    LeaveCriticalSection(&lock);
    if (number != 0)
        PostMessageW(window, number, 0, 0);
}

void WinmWorkerThread::WaitForStop() {
    WaitForSingleObject(stopEvent, INFINITE);
}

bool WinmWorkerThread::StopRequested() {
    return WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0;
}

void WinmWorkerThread::StopThread() {
    StopThreadWithin(INFINITE);
}

bool WinmWorkerThread::StopThreadWithin(DWORD waitMs) {
    if (thread != nullptr) {
        SetEvent(stopEvent);
        Abort();
        if (WaitForSingleObject(finishedEvent, waitMs) != WAIT_OBJECT_0)
            return false;
        // Also wait for the routine itself to return, so that nothing of the
        // thread is still running when the object goes away.
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        thread = nullptr;
    }
    if (message != 0) {
        eventQueue->RemoveHandler(this);
        EnterCriticalSection(&lock);
        message = 0;
        LeaveCriticalSection(&lock);
    }
    return true;
}

bool WinmWorkerThread::HandOverToThread() {
    if (thread == nullptr)
        return false;
    eventQueue->RemoveHandler(this);
    EnterCriticalSection(&lock);
    bool returned = bodyReturned;
    HANDLE running = thread;
    if (!returned) {
        handedOver = true;
        message = 0;
        thread = nullptr;
    }
    LeaveCriticalSection(&lock);
    if (returned) {
        StopThread();
        return false;
    }
    // From here on the thread owns the object.
    CloseHandle(running);
    return true;
}
