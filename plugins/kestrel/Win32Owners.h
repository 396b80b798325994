// Owners of the kernel and registry handles that Kestrel opens: each closes
// its handle when it goes, on every path out of BlogThis.
#pragma once

#include <windows.h>

#include <utility>

namespace qfplugin
{

// Closes a handle for which a null value means none (processes, threads) or,
// with invalid = INVALID_HANDLE_VALUE, one that files use for none.
template <HANDLE (*Invalid)()>
class basic_unique_handle
{
public:
    basic_unique_handle() noexcept = default;
    explicit basic_unique_handle(HANDLE h) noexcept : m_h(h) {}
    basic_unique_handle(basic_unique_handle&& other) noexcept : m_h(other.release()) {}
    basic_unique_handle& operator=(basic_unique_handle&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    basic_unique_handle(const basic_unique_handle&) = delete;
    basic_unique_handle& operator=(const basic_unique_handle&) = delete;
    ~basic_unique_handle() { reset(); }

    HANDLE get() const noexcept { return m_h; }
    HANDLE release() noexcept { return std::exchange(m_h, Invalid()); }
    void reset(HANDLE h = Invalid()) noexcept
    {
        const HANDLE old = std::exchange(m_h, h);
        if (old != Invalid())
            ::CloseHandle(old);
    }
    explicit operator bool() const noexcept { return m_h != Invalid(); }

private:
    HANDLE m_h = Invalid();
};

inline HANDLE NullHandle() noexcept { return nullptr; }
inline HANDLE InvalidFileHandle() noexcept { return INVALID_HANDLE_VALUE; }

using unique_handle = basic_unique_handle<NullHandle>;
using unique_hfile = basic_unique_handle<InvalidFileHandle>;

class unique_hkey
{
public:
    unique_hkey() noexcept = default;
    unique_hkey(unique_hkey&& other) noexcept : m_h(std::exchange(other.m_h, nullptr)) {}
    unique_hkey& operator=(unique_hkey&& other) noexcept
    {
        reset(std::exchange(other.m_h, nullptr));
        return *this;
    }
    unique_hkey(const unique_hkey&) = delete;
    unique_hkey& operator=(const unique_hkey&) = delete;
    ~unique_hkey() { reset(); }

    HKEY get() const noexcept { return m_h; }
    void reset(HKEY h = nullptr) noexcept
    {
        const HKEY old = std::exchange(m_h, h);
        if (old)
            ::RegCloseKey(old);
    }
    // Empties the owner and gives the address for an out parameter.
    HKEY* put() noexcept
    {
        reset();
        return &m_h;
    }

private:
    HKEY m_h = nullptr;
};

} // namespace qfplugin
