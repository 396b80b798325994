// The hand-off of an item to Windows Live Writer: one call of its
// application object's item method.
#include "PluginFrame.h"

#include "Lantern.h"

// Live Writer's application interface. Only the item method is used; it must
// stay the tenth entry of the table (entry 9, QueryInterface being entry 0),
// so the six entries before it are declared as placeholders.
struct ILiveWriterApplication : IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved4() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved5() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved6() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved7() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved8() = 0;
    // The texts are input strings: Live Writer may copy them, never keep or free them.
    virtual HRESULT STDMETHODCALLTYPE BlogThisItem(BSTR title, BSTR link, BSTR description) = 0;
};

namespace qfplugin
{

void HandOffItem(const FeedItem& item)
{
    // Live Writer may run as a local server; creation, running state and the
    // interface query follow the COM call rules. Without the interface the
    // holder stays empty and the call below raises E_POINTER.
    com_ptr<ILiveWriterApplication> application;
    CreateInstance(application, lantern::kClsidApplication, lantern::kIidApplication);

    // Shared, not copied: the very strings the extraction produced, in the
    // order the interface fixes (the link before the description).
    const FeedItem shared = item;
    CheckResult(
        application->BlogThisItem(shared.m_strTitle.get(), shared.m_strLink.get(), shared.m_strDescription.get()),
        application.get(), lantern::kIidApplication);
}

} // namespace qfplugin
