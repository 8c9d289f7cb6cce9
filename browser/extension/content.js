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
    // One copy a document. On installation the background gives the script to
    // the service's pages already open, and Firefox gives them its declared
    // copy as well: two copies would each forward every request, to a host
    // of their own, and the page would take whichever reply came first. The
    // mark lives in this extension's own view of the window, out of the
    // page's reach; a copy whose extension was reloaded is no longer alive.
    if (window.zarnContentScript && window.zarnContentScript.alive()) return;
    window.zarnContentScript = { alive: function () { return !!(chrome.runtime && chrome.runtime.id); } };
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

    var goneText = "The connection to the Zarn program was lost.";
    var port = null;
    // The page's calls still waiting, by the number this script gives each
    // for the background: the client that made it and its id there. Clients
    // of one page number their calls alike; their marks keep them apart.
    var pending = {};
    var byCall = {};  // client mark + " " + id -> number
    var pendingCount = 0;
    var lastNumber = 0;
    // Calls made while the page is prerendered: they leave once it is shown.
    var held = [];
    var encoder = new TextEncoder();

    function toPage(message) {
        window.postMessage(message, location.origin);
    }

    // The page's message for one client: marked with the client's mark when
    // its request carried one.
    function forClient(call, message) {
        if (call.client !== undefined) message.client = call.client;
        return message;
    }

    function settle(number, reply) {
        var call = pending[number];
        if (!call) return;
        delete pending[number];
        delete byCall[call.key];
        pendingCount--;
        reply.zarn = "reply";
        reply.id = call.id;
        toPage(forClient(call, reply));
        return reply;
    }

    function fail(number, code, text) {
        return settle(number, { error: { code: code, message: text } });
    }

    // Fails every call waiting; gives the answers posted.
    function failAll(code, text) {
        held = [];
        var posted = [];
        for (var number in pending) posted.push(fail(Number(number), code, text));
        return posted;
    }

    // Events of the calls waiting, in order; a batch goes to each client
    // as one message, which zarn.js runs a slice at a time.
    function events(list) {
        var runs = [];
        for (var i = 0; i < list.length; i++) {
            var entry = list[i];
            var call = entry && pending[entry[0]];
            if (!call) continue;
            var params = Object.prototype.toString.call(entry[2]) === "[object Array]" ? entry[2] : [];
            if (call.client === undefined) {
                // zarn.js without marks takes one event a message.
                toPage({ zarn: "event", id: call.id, name: String(entry[1]), params: params });
                continue;
            }
            var last = runs[runs.length - 1];
            if (!last || last.client !== call.client) {
                last = { zarn: "events", client: call.client, list: [] };
                runs.push(last);
            }
            last.list.push([call.id, String(entry[1]), params]);
        }
        for (var r = 0; r < runs.length; r++) toPage(runs[r]);
    }

    function connect() {
        var opened = chrome.runtime.connect({ name: "zarn" });
        opened.onMessage.addListener(function (message) {
            if (port !== opened) return;
            if (message && message.type === "events" &&
                Object.prototype.toString.call(message.list) === "[object Array]") {
                events(message.list);
                return;
            }
            if (!message || typeof message.id !== "number" || !pending[message.id]) return;
            if (message.type === "event") {
                events([[message.id, message.name, message.params]]);
            } else if (message.type === "reply") {
                settle(message.id, message.error ? { error: message.error } : { result: message.result });
            }
        });
        // A port closed from this side fires nothing here, so the calls it
        // carried are failed where it is closed too (see below).
        opened.onDisconnect.addListener(function () {
            if (port !== opened) return;
            port = null;
            failAll("host-gone", goneText);
        });
        return opened;
    }

    // Closes the port from this side, which fires nothing here.
    function dropPort() {
        var closing = port;
        port = null;
        if (closing) {
            try {
                closing.disconnect();
            } catch (e) {
                // Already closed.
            }
        }
    }

    function send(number) {
        var call = pending[number];
        if (!call) return;
        try {
            if (!port) port = connect();
            port.postMessage({ id: number, method: call.method, params: call.params });
        } catch (e) {
            // The extension was reloaded or removed under the page.
            port = null;
            fail(number, "host-gone", goneText);
        }
    }

    // A page that leaves, into the back/forward cache as well, loses its
    // host: the background closes it when the page goes, and a page in the
    // cache would never hear so. So its calls end now, and a page that comes
    // back starts a new port at its next call. What was posted as the page
    // left need not reach it (in Firefox it does not), so it is posted again
    // when the page is back; zarn.js takes only the first answer of a call.
    var leftAnswers = [];
    window.addEventListener("pagehide", function () {
        dropPort();
        leftAnswers = failAll("host-gone", goneText);
    });
    window.addEventListener("pageshow", function (event) {
        if (!event.persisted) return;
        dropPort();
        failAll("host-gone", goneText);
        var again = leftAnswers;
        leftAnswers = [];
        for (var i = 0; i < again.length; i++) toPage(again[i]);
    });
    // A prerendered page is not the one shown: its calls wait until it is.
    if (document.prerendering) {
        document.addEventListener("prerenderingchange", function () {
            dropPort();
            var leaving = held;
            held = [];
            for (var i = 0; i < leaving.length; i++) send(leaving[i]);
        }, { once: true });
    }

    function request(data) {
        var id = data.id, client = data.client;
        if (client !== undefined && (typeof client !== "string" || client.length > 100)) client = "";
        var key = client + " " + id;
        // Every request is answered: one that cannot be a call gets its
        // refusal, and one whose id its client already waits on is refused
        // without touching the call that waits.
        if (typeof id !== "number" || id % 1 !== 0 || id < 1 || id > 0x7fffffff || byCall[key]) {
            var refusal = { zarn: "reply", id: typeof id === "number" ? id : null,
                            error: { code: "bad-request", message: byCall[key]
                                ? "A call with this id is already waiting." : "The call's id is not valid." } };
            if (byCall[key]) refusal.duplicate = true;
            toPage(forClient({ client: client }, refusal));
            return;
        }
        lastNumber = lastNumber >= 0x7fffffff ? 1 : lastNumber + 1;
        while (pending[lastNumber]) lastNumber = lastNumber >= 0x7fffffff ? 1 : lastNumber + 1;
        var number = lastNumber;
        pending[number] = { client: client, id: id, key: key };
        byCall[key] = number;
        pendingCount++;
        if (pendingCount > maxPending) {
            fail(number, "busy", "The page has too many calls waiting.");
            return;
        }
        var method = data.method;
        var params = [];
        if (typeof method !== "string" || method.length === 0 || method.length > maxMethodLength) {
            fail(number, "bad-request", "No such method.");
            return;
        }
        var given = Object.prototype.toString.call(data.params) === "[object Array]" ? data.params : [];
        for (var i = 0; i < given.length; i++) params.push(String(given[i]));
        // The frame the host would read: the same fields, the longest id and
        // this page's origin.
        var frame = JSON.stringify({ id: 0x7fffffff, origin: location.origin, method: method,
                                     params: params });
        if (frame.length * 3 > maxRequestBytes && encoder.encode(frame).length > maxRequestBytes) {
            fail(number, "too-large", "The request is larger than 16 MiB.");
            return;
        }
        pending[number].method = method;
        pending[number].params = params;
        if (document.prerendering) held.push(number);
        else send(number);
    }

    window.addEventListener("message", function (event) {
        // Only this page's own script, never another frame or window.
        if (event.source !== window || event.origin !== location.origin) return;
        var data = event.data;
        if (data && typeof data === "object" && data.zarn === "request") request(data);
    });
})();
