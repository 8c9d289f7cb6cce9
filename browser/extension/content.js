// The page's side of the bridge. It runs in the top frame of pages of the
// allowed sites only, from document_start, and carries the calls of zarn.js
// to the background over one runtime port per document. What the page sends
// crosses as plain strings; the page cannot name its origin, its host or
// anything else of the request the background builds.
"use strict";

(function () {
    // The host's frame limit: a larger request would end the host, so it is
    // refused here.
    var maxRequestBytes = 16 * 1024 * 1024;
    // As many as the host runs at once.
    var maxPending = 32;
    var maxMethodLength = 32;

    // The manifest asks for the top frame only; a frame is never served.
    if (window !== window.top) return;
    // The match patterns cannot say everything the rules say (ports,
    // for one): the API exists only where the rules allow the page.
    if (!ZarnRules.allowedOrigin(location.origin, ZARN_SITES)) return;

    // The announcement zarn.js looks for when a page opens it. It is made
    // before any page script runs: at document_start, or once the root
    // element exists, which is before the parser reaches the first script.
    function announce() {
        document.documentElement.setAttribute("data-zarn-extension", "1");
    }
    if (document.documentElement) {
        announce();
    } else {
        var observer = new MutationObserver(function () {
            if (!document.documentElement) return;
            observer.disconnect();
            announce();
        });
        observer.observe(document, { childList: true });
    }

    var port = null;
    var pending = {};  // the page's call ids still waiting
    var pendingCount = 0;
    var encoder = new TextEncoder();

    function toPage(message) {
        window.postMessage(message, location.origin);
    }

    function settle(id, message) {
        if (!pending[id]) return;
        delete pending[id];
        pendingCount--;
        toPage(message);
    }

    function fail(id, code, text) {
        settle(id, { zarn: "reply", id: id, error: { code: code, message: text } });
    }

    function failAll(code, text) {
        for (var id in pending) fail(Number(id), code, text);
    }

    function connect() {
        var opened = chrome.runtime.connect({ name: "zarn" });
        opened.onMessage.addListener(function (message) {
            if (!message || typeof message.id !== "number" || !pending[message.id]) return;
            if (message.type === "event") {
                toPage({ zarn: "event", id: message.id, name: String(message.name),
                         params: message.params });
            } else if (message.type === "reply") {
                settle(message.id, message.error
                    ? { zarn: "reply", id: message.id, error: message.error }
                    : { zarn: "reply", id: message.id, result: message.result });
            }
        });
        // A port closed from this side fires nothing here, so the calls it
        // carried are failed where it is closed too (see below).
        opened.onDisconnect.addListener(function () {
            if (port === opened) port = null;
            failAll("host-gone", "The connection to the Zarn program was lost.");
        });
        return opened;
    }

    function request(data) {
        var id = data.id;
        if (typeof id !== "number" || id % 1 !== 0 || id < 1 || id > 0x7fffffff || pending[id])
            return;
        pending[id] = true;
        pendingCount++;
        if (pendingCount > maxPending) {
            fail(id, "busy", "The page has too many calls waiting.");
            return;
        }
        var method = data.method;
        var params = [];
        if (typeof method !== "string" || method.length === 0 || method.length > maxMethodLength) {
            fail(id, "bad-request", "No such method.");
            return;
        }
        var given = Object.prototype.toString.call(data.params) === "[object Array]" ? data.params : [];
        for (var i = 0; i < given.length; i++) params.push(String(given[i]));
        // The frame the host would read: the same fields, the longest id and
        // this page's origin.
        var frame = JSON.stringify({ id: 0x7fffffff, origin: location.origin, method: method,
                                     params: params });
        if (frame.length * 3 > maxRequestBytes && encoder.encode(frame).length > maxRequestBytes) {
            fail(id, "too-large", "The request is larger than 16 MiB.");
            return;
        }
        try {
            if (!port) port = connect();
            port.postMessage({ id: id, method: method, params: params });
        } catch (e) {
            // The extension was reloaded or removed under the page.
            port = null;
            fail(id, "host-gone", "The connection to the Zarn program was lost.");
        }
    }

    window.addEventListener("message", function (event) {
        // Only this page's own script, never another frame or window.
        if (event.source !== window || event.origin !== location.origin) return;
        var data = event.data;
        if (data && typeof data === "object" && data.zarn === "request") request(data);
    });
})();
