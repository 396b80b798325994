#include "QfThread.h"

#include <process.h>

CQfThread::BeginThreadFn CQfThread::s_pfnBeginThread = &::_beginthreadex;

CQfThread::~CQfThread()
{
    // Closing the handle does not stop the thread: the owner has stopped it
    // and waited before the object goes.
    ReleaseHandle();
}

void CQfThread::ReleaseHandle()
{
    if (m_hThread)
    {
        m_hThread.reset();
        m_nThreadId = 0;
    }
    m_bFinished = false;
}

bool CQfThread::Start()
{
    if (m_bFinished)
        ReleaseHandle();

    if (!m_hThread)
    {
        // A failed creation leaves the object idle; the next Start tries again.
        m_hThread.reset(reinterpret_cast<HANDLE>(
            s_pfnBeginThread(nullptr, 0, &CQfThread::ThreadProc, this, CREATE_SUSPENDED, &m_nThreadId)));
        if (!m_hThread)
            return false;
    }

    // Resuming a thread that already runs changes nothing.
    ::ResumeThread(m_hThread.get());
    return true;
}

unsigned __stdcall CQfThread::ThreadProc(void* pParam)
{
    CQfThread* pThis = static_cast<CQfThread*>(pParam);
    const bool bAutoDelete = pThis->m_bAutoDelete;

    // Nothing may leave a thread routine by exception.
    unsigned nResult;
    try
    {
        nResult = pThis->Run();
    }
    catch (...)
    {
        nResult = static_cast<unsigned>(-1);
    }

    pThis->m_bFinished = true;
    if (bAutoDelete)
        delete pThis;
    return nResult;
}
