// Dialog data exchange: the radio-group exchange.
#pragma once

#include "atlbase.h"

// A radio group runs from its first control along the child-window order up
// to, not including, the next control with WS_GROUP. Only radio buttons count
// as positions.
void ExchangeRadioGroupWindows(HWND hWndFirst, int& nValue, BOOL bSave);

template <class T>
class CWinDataExchange
{
public:
    void ExchangeRadioGroup(int nID, int& nValue, BOOL bSave)
    {
        T* pT = static_cast<T*>(this);
        ExchangeRadioGroupWindows(pT->GetDlgItem(nID), nValue, bSave);
    }

protected:
    ~CWinDataExchange() = default;
};
