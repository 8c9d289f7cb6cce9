// The page's side of the bridge: a relay. It runs in the top frame of pages
// of the allowed sites only, from document_start, and carries the messages
// of zarn.js to the background over one runtime port per document, and the
// background's answers back. What the page sends crosses as plain strings;
// the page cannot name its origin, its host or anything else of the request
// the background builds. Every call's state lives in the background; this
// script keeps only the marks of the page's clients, to tell each of them
// when the port is gone.
"use strict";

(function () {
    // The manifest asks for the top frame only; a frame is never served.
    if (window !== window.top) return;
    // One copy a document. On installation the background gives the script to
    // the service's pages already open, and Firefox gives them its declared
    // copy as well: two copies would each forward every request, to a host
    // of their own, and the page would take whichever reply came first. The
    // mark is a symbol in this extension's own view of the window: no
    // element's name or id reaches it (named access gives only string
    // names), and the page cannot see or set it. A copy whose extension was
    // reloaded is no longer alive.
    var markKey = Symbol.for("zarn-content-script");
    if (window[markKey] && window[markKey].alive()) return;
    window[markKey] = { alive: function () { return !!(chrome.runtime && chrome.runtime.id); } };
    // The match patterns cannot say everything the rules say (ports,
    // for one): the API exists only where the rules allow the page.
    if (!ZarnRules.allowedOrigin(location.origin, ZARN_SITES)) return;
    // A sandboxed document has the site's address but an opaque origin: the
    // replies, posted to the site's origin, would never reach it.
    if (opaqueOrigin()) return;

    function opaqueOrigin() {
        if (window.origin === "null") return true;
        try {
            void document.cookie;  // refused to an opaque origin
        } catch (e) {
            return true;
        }
        return false;
    }

    var limits = ZarnProtocol.limits;
    var encoder = new TextEncoder();
    var port = null;
    // The marks of the clients that have called, each told when the port
    // that carried its calls is gone.
    var clients = {};
    // Messages of a page that is prerendered: they leave once it is shown.
    var held = [];

    function toPage(message) {
        window.postMessage(message, location.origin);
    }

    function connect() {
        var opened = chrome.runtime.connect({ name: "zarn" });
        opened.onMessage.addListener(function (message) {
            if (port === opened) fromBackground(message);
        });
        // A port closed from this side fires nothing here; see dropPort.
        opened.onDisconnect.addListener(function () {
            if (port !== opened) return;
            port = null;
            tellGone();
        });
        return opened;
    }

    // The port is gone, and every call it carried with it: each client
    // rejects what it waits for (ZarnProtocol's host-gone).
    function tellGone() {
        for (var client in clients) toPage({ zarn: "gone", client: client });
    }

    // Closes the port from this side, which fires nothing here.
    function dropPort() {
        var closing = port;
        port = null;
        if (!closing) return;
        try {
            closing.disconnect();
        } catch (e) {
            // Already closed.
        }
    }

    function toBackground(message) {
        if (document.prerendering) {
            held.push(message);
            return;
        }
        try {
            if (!port) port = connect();
            port.postMessage(message);
        } catch (e) {
            // The extension was reloaded or removed under the page.
            port = null;
            tellGone();
        }
    }

    // A call's reply, and events in order: a batch goes to each client as
    // one message, which zarn.js runs a slice at a time.
    function fromBackground(message) {
        if (!message || typeof message !== "object") return;
        if (message.type === "reply") {
            var reply = { zarn: "reply", id: message.id };
            if (message.client !== undefined) reply.client = message.client;
            if (message.duplicate) reply.duplicate = true;
            if (message.error) reply.error = message.error;
            else reply.result = message.result;
            toPage(reply);
        } else if (message.type === "events" &&
                   Object.prototype.toString.call(message.list) === "[object Array]") {
            var runs = [];
            for (var i = 0; i < message.list.length; i++) {
                var entry = message.list[i];  // [client, id, name, params]
                if (entry[0] === undefined) {
                    // zarn.js without marks takes one event a message.
                    toPage({ zarn: "event", id: entry[1], name: entry[2], params: entry[3] });
                    continue;
                }
                var last = runs[runs.length - 1];
                if (!last || last.client !== entry[0]) {
                    last = { zarn: "events", client: entry[0], list: [] };
                    runs.push(last);
                }
                last.list.push([entry[1], entry[2], entry[3]]);
            }
            for (var r = 0; r < runs.length; r++) toPage(runs[r]);
        }
    }

    // The page's request, refused here only when it could end its host: the
    // frame the host would read (the same fields, the longest id and this
    // page's origin) is over the host's limit. Everything else is the
    // background's to judge.
    function request(data) {
        var client = data.client;
        if (client !== undefined && (typeof client !== "string" || client.length > 100)) client = "";
        if (client !== undefined) clients[client] = true;
        var params = [];
        var given = Object.prototype.toString.call(data.params) === "[object Array]" ? data.params : [];
        for (var i = 0; i < given.length; i++) params.push(String(given[i]));
        var method = typeof data.method === "string" ? data.method : "";
        var frame = JSON.stringify({ id: limits.highestId, origin: location.origin,
                                     method: method.slice(0, limits.maxMethodLength + 1),
                                     params: params });
        if (frame.length * 3 > limits.maxRequestBytes &&
            encoder.encode(frame).length > limits.maxRequestBytes) {
            var refusal = { zarn: "reply", id: typeof data.id === "number" ? data.id : null,
                            error: { code: "too-large", message: chrome.i18n.getMessage("errorTooLarge"),
                                     need: null } };
            if (client !== undefined) refusal.client = client;
            toPage(refusal);
            return;
        }
        toBackground({ type: "request", client: client, id: data.id, method: data.method,
                       params: params, ack: data.ack === true });
    }

    function onMessage(event) {
        // Only this page's own script, never another frame or window.
        if (event.source !== window || event.origin !== location.origin) return;
        var data = event.data;
        if (!data || typeof data !== "object") return;
        if (data.zarn === "request") {
            request(data);
        } else if (data.zarn === "ack" && port && typeof data.client === "string") {
            // Events the page has run; without a port they were nobody's.
            toBackground({ type: "ack", client: data.client, id: data.id, count: data.count });
        }
    }

    // A page that leaves, into the back/forward cache as well, loses its
    // host: the background closes it when the page goes, and a page in the
    // cache would never hear so. So its calls end now, and a page that comes
    // back starts a new port at its next call. What was posted as the page
    // left need not reach it (in Firefox it does not), so a page that comes
    // back is told again.
    function onPageHide() {
        dropPort();
        held = [];
        tellGone();
    }

    function onPageShow(event) {
        if (!event.persisted) return;
        dropPort();
        tellGone();
    }

    // The announcement zarn.js looks for when a page opens it, and the
    // listeners. document.open() erases a document's listeners and its root
    // element, and leaves this script's mark: both are made again whenever
    // a new root element appears, before the parser reaches its first
    // script. Adding a listener that is already there changes nothing.
    function serve() {
        document.documentElement.setAttribute("data-zarn-extension", "1");
        window.addEventListener("message", onMessage);
        window.addEventListener("pagehide", onPageHide);
        window.addEventListener("pageshow", onPageShow);
    }
    var served = null;
    function serveNewRoot() {
        if (!document.documentElement || document.documentElement === served) return;
        served = document.documentElement;
        serve();
    }
    serveNewRoot();
    new MutationObserver(serveNewRoot).observe(document, { childList: true });

    // A prerendered page is not the one shown: its messages wait until it is.
    if (document.prerendering) {
        document.addEventListener("prerenderingchange", function () {
            dropPort();
            var leaving = held;
            held = [];
            for (var i = 0; i < leaving.length; i++) toBackground(leaving[i]);
        }, { once: true });
    }
})();
