// Event connections from script: host.connect / host.disconnect.
#pragma once

#include "tools/pagehost/page_context.h"

#include <memory>
#include <string_view>

namespace pagehost {

// Connects a new sink to the default source interface of `source`; the sink
// calls `handler` (a script function) with the event's arguments whenever
// the event named `eventName` is raised. Returns the Advise cookie, or a
// failure with `info` describing it.
HRESULT ConnectEvent(const std::shared_ptr<PageContext>& context, IDispatch* source,
                     std::wstring_view eventName, IDispatch* handler, DWORD& cookie,
                     EXCEPINFO* info);

// Undoes a connection made by ConnectEvent on `source`.
HRESULT DisconnectEvent(PageContext& context, IDispatch* source, DWORD cookie, EXCEPINFO* info);

// Undoes every connection still open, for the end of the page.
void DisconnectAll(PageContext& context);

// Undoes every connection still open to `source` (an element leaves the page).
void DisconnectFrom(PageContext& context, IUnknown* source);

}  // namespace pagehost
