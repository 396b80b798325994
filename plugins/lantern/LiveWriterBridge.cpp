// The hand-off of an item to Windows Live Writer: one call of its
// application object's item method.
#include "PluginFrame.h"

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

namespace
{
const CLSID CLSID_LiveWriterApplication = {
    0x8F085BC0, 0x363D, 0x4219, {0x95, 0xBA, 0xDC, 0x8A, 0x5E, 0x06, 0xD2, 0x95}};
const IID IID_LiveWriterApplication = {
    0xD7E5B1EC, 0xFEEA, 0x476C, {0x9C, 0xE1, 0xBC, 0x5C, 0x3E, 0x2D, 0xB6, 0x62}};
} // namespace

void HandOffItem(const shared_bstr& title, const shared_bstr& description, const shared_bstr& link)
{
    // Live Writer may run as a local server; creation, running state and the
    // interface query follow the COM call rules. Without the interface the
    // holder stays empty and the call below raises E_POINTER.
    com_ptr<ILiveWriterApplication> application;
    CreateInstance(application, CLSID_LiveWriterApplication, IID_LiveWriterApplication);

    // Shared, not copied: the very strings the extraction produced.
    const shared_bstr sharedTitle = title;
    const shared_bstr sharedLink = link;
    const shared_bstr sharedDescription = description;
    CheckResult(application->BlogThisItem(sharedTitle.get(), sharedLink.get(), sharedDescription.get()),
                application.get(), IID_LiveWriterApplication);
}

} // namespace qfplugin
