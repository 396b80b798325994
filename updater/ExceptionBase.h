// The update program's one exception type: a code and a text for the user.
#pragma once

#include <string>

class CExceptionBase
{
public:
    CExceptionBase(int nCode, std::wstring strMessage) : m_nCode(nCode), m_strMessage(std::move(strMessage)) {}
    virtual ~CExceptionBase() = default;
    CExceptionBase(const CExceptionBase&) = default;
    CExceptionBase& operator=(const CExceptionBase&) = default;

    int m_nCode;
    std::wstring m_strMessage;
};
