#include "atlddx.h"

void ExchangeRadioGroupWindows(HWND hWndFirst, int& nValue, BOOL bSave)
{
    if (bSave)
        nValue = -1;

    int nPosition = 0;
    HWND hWnd = hWndFirst;
    while (hWnd)
    {
        if (::SendMessageW(hWnd, WM_GETDLGCODE, 0, 0) & DLGC_RADIOBUTTON)
        {
            if (bSave)
            {
                if (::SendMessageW(hWnd, BM_GETCHECK, 0, 0))
                    nValue = nPosition;
            }
            else
            {
                ::SendMessageW(hWnd, BM_SETCHECK, nPosition == nValue ? BST_CHECKED : BST_UNCHECKED, 0);
            }
            ++nPosition;
        }
        hWnd = ::GetWindow(hWnd, GW_HWNDNEXT);
        if (hWnd && (::GetWindowLongW(hWnd, GWL_STYLE) & WS_GROUP))
            break;
    }
}
