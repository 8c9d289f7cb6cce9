// Browser mode of the page host (--url URL): the control's site behaves like
// a browser's for a page at URL. The container answers IHTMLDocument2::get_URL,
// the site's service provider answers SID_SWebBrowserApp with an IWebBrowser2
// whose LocationURL is the same address, and the page asks the control to be
// safe for untrusted callers and data before the script may use it, as a
// browser does. The script gets a `location` object: reading location.href
// gives the address, assigning it navigates (the control then sees the new
// address; the script keeps running).
#pragma once

#include "tools/pagehost/com_object.h"

#include <ole2.h>

#include <memory>
#include <string>

namespace pagehost {

// The address the page is at; shared by the document, the browser and the
// `location` object.
struct BrowserLocation {
    std::wstring url;
};

// Gives the hosted control a browser's client site at `location`, wrapping the
// container's own site for everything else. False when the control has no site.
bool PutControlOnPage(IUnknown* control, std::shared_ptr<BrowserLocation> location);

// Asks `object` through IObjectSafety to be safe for untrusted callers (on
// IDispatch) and untrusted data (on its persistence interface), as a browser
// does before it lets a page script an object. False when it refuses or
// cannot be asked.
bool ConfirmObjectSafety(IUnknown* object);

// Answers the script engine's custom policy query for `key` when it is the
// object-safety confirmation of `new ActiveXObject` (context: the object);
// false for any other key.
bool AnswerSafetyPolicy(REFGUID key, const BYTE* context, DWORD contextSize, DWORD& policy);

// Makes the script engine ask the page's security manager before it creates
// an object for `new ActiveXObject`, as a browser's engines do.
HRESULT UseBrowserSecurity(IUnknown* engine);

// The script's `location` object.
ComPtr<IDispatch> MakeLocationObject(std::shared_ptr<BrowserLocation> location);

}  // namespace pagehost
