// The DER form of an ECDSA P-256 signature, as openssl writes it, turned into
// the 64 bytes r‖s that CNG verifies: what is taken, how the two numbers are
// aligned, and every way a signature may be malformed.
#include "PackageSignature.h"

#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"

namespace
{
// An INTEGER with the given content bytes.
std::string Integer(const std::string& content)
{
    return std::string("\x02", 1) + static_cast<char>(content.size()) + content;
}

std::string Sequence(const std::string& content)
{
    return std::string("\x30", 1) + static_cast<char>(content.size()) + content;
}

std::string Bytes(size_t n, char c)
{
    return std::string(n, c);
}

// 32 bytes whose first has the high bit, and 32 whose first has not.
const std::string kHigh = "\x80" + Bytes(31, '\x11');
const std::string kLow = "\x7F" + Bytes(31, '\x22');
const std::string kZero(1, '\0');

std::string Raw(const std::string& r, const std::string& s)
{
    return Bytes(32 - r.size(), '\0') + r + Bytes(32 - s.size(), '\0') + s;
}

bool Convert(const std::string& der, std::string& raw)
{
    unsigned char out[64];
    if (!EcdsaSignatureDerToRaw(reinterpret_cast<const unsigned char*>(der.data()), der.size(), out))
        return false;
    raw.assign(reinterpret_cast<const char*>(out), 64);
    return true;
}
} // namespace

TEST(SignatureDer, NumbersArePaddedToThirtyTwoBytesAndTheirSignByteDropped)
{
    struct Case
    {
        const char* name;
        std::string der;
        std::string raw;
    } cases[] = {
        {"two full numbers", Sequence(Integer(kLow) + Integer(kLow)), Raw(kLow, kLow)},
        {"r with its high bit after a zero byte", Sequence(Integer(kZero + kHigh) + Integer(kLow)), Raw(kHigh, kLow)},
        {"s with its high bit after a zero byte", Sequence(Integer(kLow) + Integer(kZero + kHigh)), Raw(kLow, kHigh)},
        {"both with the zero byte (72 bytes)", Sequence(Integer(kZero + kHigh) + Integer(kZero + kHigh)),
         Raw(kHigh, kHigh)},
        {"a short r, left-padded", Sequence(Integer(Bytes(31, '\x33')) + Integer(kLow)),
         Raw(Bytes(31, '\x33'), kLow)},
        {"one-byte numbers", Sequence(Integer("\x01") + Integer("\x7F")), Raw("\x01", "\x7F")},
        {"a short number whose high bit needs the zero", Sequence(Integer(kZero + "\x80") + Integer(kLow)),
         Raw("\x80", kLow)},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::string raw;
        ASSERT_TRUE(Convert(c.der, raw));
        EXPECT_EQ(raw, c.raw);
    }
}

TEST(SignatureDer, AnythingButStrictDerIsRefused)
{
    const std::string good = Sequence(Integer(kLow) + Integer(kLow));
    struct Case
    {
        const char* name;
        std::string der;
    } cases[] = {
        {"nothing", ""},
        {"a tag alone", "\x30"},
        {"cut short by a byte", good.substr(0, good.size() - 1)},
        {"a byte after the sequence", good + kZero},
        {"not a sequence", "\x31" + good.substr(1)},
        {"a sequence length that is too short",
         "\x30" + std::string(1, static_cast<char>(good.size() - 3)) + good.substr(2)},
        {"a long-form sequence length",
         "\x30\x81" + std::string(1, static_cast<char>(good.size() - 2)) + good.substr(2)},
        {"only r", Sequence(Integer(kLow))},
        {"a third number", Sequence(Integer(kLow) + Integer(kLow) + Integer("\x01"))},
        {"s not an INTEGER", Sequence(Integer(kLow) + "\x04\x20" + kLow)},
        {"an empty INTEGER", Sequence(Integer("") + Integer(kLow))},
        {"r negative: its high bit without the zero byte", Sequence(Integer(kHigh) + Integer(kLow))},
        {"s negative: its high bit without the zero byte", Sequence(Integer(kLow) + Integer(kHigh))},
        {"r with a needless leading zero", Sequence(Integer(kZero + kLow) + Integer(kLow))},
        {"s with a needless leading zero", Sequence(Integer(kLow) + Integer(kZero + kLow))},
        {"r with two zero bytes before its high bit", Sequence(Integer(kZero + kZero + kHigh) + Integer(kLow))},
        {"r of 33 bytes of value", Sequence(Integer("\x01" + kLow) + Integer(kLow))},
        {"r of zero", Sequence(Integer(kZero) + Integer(kLow))},
        {"s of zero", Sequence(Integer(kLow) + Integer(kZero))},
        {"an INTEGER length past the end", Sequence(Integer(kLow) + "\x02\x21" + kLow)},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::string raw;
        EXPECT_FALSE(Convert(c.der, raw));
    }
}
