// The critical section and the scope that holds it: what the download job
// and the bindings lock with, apart from the window framework.
#pragma once

#include <windows.h>

class CCriticalSection
{
public:
    CCriticalSection() { ::InitializeCriticalSection(&m_sec); }
    ~CCriticalSection() { ::DeleteCriticalSection(&m_sec); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Lock() { ::EnterCriticalSection(&m_sec); }
    void Unlock() { ::LeaveCriticalSection(&m_sec); }

private:
    CRITICAL_SECTION m_sec;
};

class CCritSecLock
{
public:
    explicit CCritSecLock(CCriticalSection& cs) : m_cs(cs) { m_cs.Lock(); }
    ~CCritSecLock() { m_cs.Unlock(); }
    CCritSecLock(const CCritSecLock&) = delete;
    CCritSecLock& operator=(const CCritSecLock&) = delete;

private:
    CCriticalSection& m_cs;
};
