#include "CriticalSection.h"

#include <stdexcept>

void CCriticalSection::Init()
{
    if (m_initialized)
        return;
    InitializeCriticalSection(&m_section);
    m_initialized = true;
}

void CCriticalSection::Destroy()
{
    if (!m_initialized)
        return;
    DeleteCriticalSection(&m_section);
    m_initialized = false;
}

void CCriticalSection::Enter()
{
    if (!m_initialized)
        throw std::runtime_error("CCriticalSection::Enter: not initialized");
    EnterCriticalSection(&m_section);
}

void CCriticalSection::Leave()
{
    if (!m_initialized)
        throw std::runtime_error("CCriticalSection::Leave: not initialized");
    LeaveCriticalSection(&m_section);
}
