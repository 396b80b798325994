#include "PluginCall.h"

#if defined(__i386__)
// The call goes through a few instructions of our own, so that no compiler
// choice (deferred pops, a frame pointer that hides the damage) stands
// between the measurement and the export: push the arguments right to left,
// call, and compare the stack pointer with where it was before the pushes.
extern "C" std::uintptr_t qf_call_measuring_stack(const void* pfn, const std::uintptr_t* pArgs, unsigned nArgs,
                                                  std::intptr_t* pnMoved);
asm(R"(
    .text
    .globl _qf_call_measuring_stack
_qf_call_measuring_stack:
    pushl %ebp
    movl %esp, %ebp
    pushl %esi
    movl 12(%ebp), %edx
    movl 16(%ebp), %ecx
    movl %esp, %esi
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%edx,%ecx,4)
    jmp 1b
2:  call *8(%ebp)
    movl %esp, %ecx
    subl %esi, %ecx
    movl %esi, %esp
    movl 20(%ebp), %edx
    movl %ecx, (%edx)
    popl %esi
    popl %ebp
    ret
)");
#endif

namespace qfsupport
{

std::intptr_t CallBlogThis(BlogThisFn pfn, const wchar_t* itemText, LONG_PTR reserved)
{
#if defined(__i386__)
    const std::uintptr_t args[] = {reinterpret_cast<std::uintptr_t>(itemText), static_cast<std::uintptr_t>(reserved)};
    std::intptr_t nMoved = 0;
    qf_call_measuring_stack(reinterpret_cast<const void*>(pfn), args, 2, &nMoved);
    return nMoved;
#else
    pfn(itemText, reserved);
    return 0;
#endif
}

std::intptr_t CallGetPluginName(GetPluginNameFn pfn, const wchar_t*& pszName)
{
#if defined(__i386__)
    std::intptr_t nMoved = 0;
    pszName = reinterpret_cast<const wchar_t*>(
        qf_call_measuring_stack(reinterpret_cast<const void*>(pfn), nullptr, 0, &nMoved));
    return nMoved;
#else
    pszName = pfn();
    return 0;
#endif
}

} // namespace qfsupport
