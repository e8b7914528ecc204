#pragma once

#include <windows.h>

// A re-entrant lock over the system critical section. Using it before Init or
// after Destroy throws instead of touching an invalid CRITICAL_SECTION.
class CCriticalSection
{
public:
    CCriticalSection() { Init(); }
    virtual ~CCriticalSection() { Destroy(); }

    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Init();
    void Destroy();
    void Enter();
    void Leave();

private:
    CRITICAL_SECTION m_section{};
    bool m_initialized = false;
};

// Holds a CCriticalSection for the life of a scope.
class CScopedLock
{
public:
    explicit CScopedLock(CCriticalSection& section) : m_section(section) { m_section.Enter(); }
    ~CScopedLock() { m_section.Leave(); }

    CScopedLock(const CScopedLock&) = delete;
    CScopedLock& operator=(const CScopedLock&) = delete;

private:
    CCriticalSection& m_section;
};
