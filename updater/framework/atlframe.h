// The update-UI base. The program registers its dialog as a child-window
// container and never updates anything through it, so only the element list
// is kept.
#pragma once

#include "atlbase.h"

#include <vector>

template <class T>
class CUpdateUI
{
public:
    BOOL UIAddChildWindowContainer(HWND hWnd)
    {
        m_containers.push_back(hWnd);
        return TRUE;
    }

protected:
    ~CUpdateUI() = default;

private:
    std::vector<HWND> m_containers;
};
