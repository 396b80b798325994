#include "Witness.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace qfsupport
{

namespace
{
std::mutex& Lock()
{
    static std::mutex lock;
    return lock;
}

std::vector<const Witness*>& Witnesses()
{
    static std::vector<const Witness*> witnesses;
    return witnesses;
}
} // namespace

Witness::Witness(std::function<std::string()> describe) : m_describe(std::move(describe))
{
    std::lock_guard<std::mutex> guard(Lock());
    Witnesses().push_back(this);
}

Witness::~Witness()
{
    std::lock_guard<std::mutex> guard(Lock());
    auto& all = Witnesses();
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
}

std::string DescribeWitnesses()
{
    // Under the lock, so that no witness goes while it speaks.
    std::lock_guard<std::mutex> guard(Lock());
    std::string text;
    for (const Witness* witness : Witnesses())
        text += witness->m_describe();
    return text;
}

} // namespace qfsupport
