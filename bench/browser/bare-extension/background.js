// The floor's background: one native port per page, messages relayed as
// they are.
"use strict";
chrome.runtime.onConnect.addListener(function (port) {
    var host = chrome.runtime.connectNative("com.zarn.bridge");
    host.onMessage.addListener(function (m) { port.postMessage(m); });
    port.onMessage.addListener(function (m) { host.postMessage(m); });
    port.onDisconnect.addListener(function () { host.disconnect(); });
});
