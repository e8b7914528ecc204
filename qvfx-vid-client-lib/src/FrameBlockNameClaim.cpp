#include "FrameBlockNameClaim.h"

#include "CriticalSection.h"

#include <set>

namespace
{
struct ClaimedNames
{
    CCriticalSection lock;
    std::set<std::string> names;
};

ClaimedNames& Claimed()
{
    static ClaimedNames claimed;
    return claimed;
}
} // namespace

bool FrameBlockNameClaim::Claim(const std::string& name)
{
    if (name == m_name)
        return true;
    ClaimedNames& claimed = Claimed();
    CScopedLock lock(claimed.lock);
    if (!claimed.names.insert(name).second)
        return false;
    if (!m_name.empty())
        claimed.names.erase(m_name);
    m_name = name;
    return true;
}

void FrameBlockNameClaim::Release()
{
    if (m_name.empty())
        return;
    ClaimedNames& claimed = Claimed();
    CScopedLock lock(claimed.lock);
    claimed.names.erase(m_name);
    m_name.clear();
}
