// The update program's module, initialised for one test as its entry point
// does it, with the common controls that the dialog and the link labels use.
// For the tests that link the update program's code.
#pragma once

#include "framework/atlapp.h"

#include <commctrl.h>

namespace qftest
{

struct ModuleScope
{
    ModuleScope()
    {
        g_appModule.Init(::GetModuleHandleW(nullptr));
        INITCOMMONCONTROLSEX iccx{sizeof(iccx), ICC_BAR_CLASSES};
        ::InitCommonControlsEx(&iccx);
    }
    ~ModuleScope() { g_appModule.Term(); }
    ModuleScope(const ModuleScope&) = delete;
    ModuleScope& operator=(const ModuleScope&) = delete;
};

} // namespace qftest
