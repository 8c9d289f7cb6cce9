// The floor's content script: the page's messages to the background and
// back, with nothing checked.
"use strict";
document.documentElement.setAttribute("data-zarn-extension", "1");
var port = chrome.runtime.connect();
port.onMessage.addListener(function (m) {
    window.postMessage({ zarn: "reply", id: m.id, result: null }, location.origin);
});
window.addEventListener("message", function (e) {
    if (e.data && e.data.zarn === "request") port.postMessage(e.data);
});
