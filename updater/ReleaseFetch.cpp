// What the program fetches at start, as its build decides: with the
// publisher's key, the release manifest beside the What's New text.
#include "ReleaseManifest.h"

#include <algorithm>
#include <iterator>

#include "PackageKey.h"
#include "PackageSignature.h"
#include "PublisherUrl.h"

HRESULT FetchStartTexts(CReleaseCheck& release, std::string& whatsNew)
{
#if QUILLFEED_PACKAGE_KEY_SET
    static const unsigned char kPublisherKey[64] = {QUILLFEED_PACKAGE_PUBLIC_KEY_XY};
    // All three within the one deadline: the dialog shows no later for them.
    BoundedText texts[3];
    texts[0].strUrl = std::wstring(QUILLFEED_PUBLISHER_URL) + kManifestPath;
    texts[0].nMaxBytes = kMaxManifestBytes;
    texts[1].strUrl = std::wstring(QUILLFEED_PUBLISHER_URL) + kManifestSignaturePath;
    texts[1].nMaxBytes = kMaxSignatureBytes;
    texts[2].strUrl = QUILLFEED_PUBLISHER_URL L"/whatsnew.txt";
    texts[2].nMaxBytes = kWhatsNewMaxBytes;
    FetchTogether(texts, std::size(texts), kWhatsNewDeadlineMs);

    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    // A fresh user cannot be offered anything older than the program itself.
    const DWORD nFloor = std::max<DWORD>(AcceptedReleaseOfUser(), QUILLFEED_RELEASE_NUMBER);
    release.Accept(kPublisherKey, texts[0], texts[1], now, nFloor);
    if (texts[2].hr != S_OK)
        return texts[2].hr;
    // The refusal of the manifest, if any, is the text's too.
    const HRESULT hr = release.CheckBytes(kWhatsNewFileName, texts[2].bytes);
    if (hr == S_OK)
        whatsNew.swap(texts[2].bytes);
    return hr;
#else
    release.NotRequired();
    return FetchWhatsNew(QUILLFEED_PUBLISHER_URL L"/whatsnew.txt", whatsNew);
#endif
}
