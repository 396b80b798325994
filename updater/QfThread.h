// The worker thread base: a derived class supplies Run, the base creates,
// starts and owns the native thread. Stopping is the derived class's business
// (a flag of its own that Run watches); the base never terminates a thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "Owners.h"

class CQfThread
{
public:
    // The thread-creation call, in the shape of _beginthreadex. Tests put a
    // failing one in its place to reach the path that creation failure takes.
    using BeginThreadFn = std::uintptr_t (*)(void* pSecurity, unsigned nStackSize,
                                             unsigned(__stdcall* pfnStart)(void*), void* pArg, unsigned nInitFlag,
                                             unsigned* pnThreadId);
    static BeginThreadFn s_pfnBeginThread;

    CQfThread() = default;
    virtual ~CQfThread();
    CQfThread(const CQfThread&) = delete;
    CQfThread& operator=(const CQfThread&) = delete;

    // The body of the thread; its result becomes the thread's exit code.
    virtual unsigned Run() = 0;

    // Creates the thread if none is held (after releasing a finished one) and
    // resumes it. A Start while a thread still runs creates no second thread.
    // False when no thread could be created; the system's last error says why.
    bool Start();

    static unsigned __stdcall ThreadProc(void* pParam);

    bool m_bAutoDelete = false;
    // Written once per run by the worker after Run returns, read by Start on
    // the owner's thread without a lock.
    std::atomic<bool> m_bFinished{false};
    // Owned: closed only by Start (after a finished run) and the destructor.
    // The owner waits on it to stop the worker.
    unique_handle m_hThread;
    unsigned m_nThreadId = 0;

private:
    void ReleaseHandle();
};
