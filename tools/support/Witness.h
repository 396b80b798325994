// What the equipment of a test can say about itself when the test fails: each
// program started and each publisher running lends a description for as long
// as it lives, and a failing test prints them all (tests/support), so that a
// wait that gave up shows what there was to see instead.
#pragma once

#include <functional>
#include <string>

namespace qfsupport
{

class Witness
{
public:
    explicit Witness(std::function<std::string()> describe);
    ~Witness();
    Witness(const Witness&) = delete;
    Witness& operator=(const Witness&) = delete;

private:
    std::function<std::string()> m_describe;
    friend std::string DescribeWitnesses();
};

// The descriptions of the witnesses alive now, in the order they came, each
// ending in a line break; empty when there are none.
std::string DescribeWitnesses();

} // namespace qfsupport
