// The extension's background: one native port to the Zarn host for each
// document that calls it, and every request built here from scratch, with
// the origin the browser gives for the document, never one the page names.
"use strict";

if (typeof importScripts === "function") importScripts("sites.js", "rules.js");

var hostName = "com.zarn.bridge";
// A page's host ends after this long with nothing to do; its next call
// starts a new one.
var idleMs = 60000;
var maxId = 0x7fffffff;
var goneText = "The connection to the Zarn program was lost.";

// Ids of the requests waiting in every host, so an id is never reused while
// its request runs.
var running = {};
var lastId = 0;
function newId() {
    do {
        lastId = lastId >= maxId ? 1 : lastId + 1;
    } while (running[lastId]);
    return lastId;
}

// Errors the browser gives when it cannot start the host at all.
function notInstalled(error) {
    var text = error && error.message ? error.message : "";
    return /not found|no such native application|forbidden|not allowed/i.test(text);
}

// Why a document may not call the host, or null when it may. The origin is
// the browser's own record of the document (sender.origin), taken exactly.
function refusal(sender) {
    if (!sender || sender.id !== chrome.runtime.id) return "Not this extension's page.";
    if (typeof sender.origin !== "string" || sender.origin === "null")
        return "The page's origin is unknown.";
    // Chromium: a prerendered or cached document is not the one shown (and
    // a prerendered page's top frame has an id of its own).
    if (sender.documentLifecycle === "prerender")
        return "The page is prerendered and not shown yet.";
    if (sender.documentLifecycle !== undefined && sender.documentLifecycle !== "active")
        return "The page is not the one shown.";
    if (sender.frameId !== 0) return "Only a page's top frame may call the Zarn program.";
    if (!ZarnRules.allowedOrigin(sender.origin, ZARN_SITES))
        return "This site may not use the Zarn program.";
    return null;
}

// One document: its runtime port, its native port while it has one, and its
// calls waiting in the host (request id -> the page's id).
function Page(port) {
    this.port = port;
    this.origin = port.sender ? port.sender.origin : undefined;
    this.native = null;
    this.answered = false;
    this.calls = {};
    this.count = 0;
    this.idle = null;
    // Events on their way to the page, sent together at the end of this turn.
    this.events = [];
    var page = this;
    port.onMessage.addListener(function (message) { page.request(message); });
    port.onDisconnect.addListener(function () { page.close(); });
}

Page.prototype.toPage = function (message) {
    try {
        this.port.postMessage(message);
    } catch (e) {
        // The document went away; its onDisconnect closes the rest.
    }
};

Page.prototype.fail = function (pageId, code, text) {
    this.toPage({ type: "reply", id: pageId, error: { code: code, message: text } });
};

Page.prototype.request = function (message) {
    if (!message || typeof message.id !== "number" || message.id % 1 !== 0) return;
    var pageId = message.id;
    // Judged at each request, from what the browser says of the document.
    var refused = refusal(this.port.sender);
    if (refused) return this.fail(pageId, "refused-site", refused);
    var method = message.method, given = message.params;
    if (typeof method !== "string" || !/^[A-Za-z]{1,32}$/.test(method) ||
        Object.prototype.toString.call(given) !== "[object Array]")
        return this.fail(pageId, "bad-request", "The request is malformed.");
    var params = [];
    for (var i = 0; i < given.length; i++) {
        if (typeof given[i] !== "string")
            return this.fail(pageId, "bad-request", "Parameters must be strings.");
        params.push(given[i]);
    }
    if (this.idle !== null) {
        clearTimeout(this.idle);
        this.idle = null;
    }
    var id = newId();
    try {
        if (!this.native) this.open();
        this.native.postMessage({ id: id, origin: this.origin, method: method, params: params });
    } catch (e) {
        this.closeNative("host-gone", goneText);
        return this.fail(pageId, "host-gone", goneText);
    }
    running[id] = true;
    this.calls[id] = pageId;
    this.count++;
};

Page.prototype.open = function () {
    var page = this;
    var native = chrome.runtime.connectNative(hostName);
    this.native = native;
    this.answered = false;
    native.onMessage.addListener(function (message) {
        if (page.native === native) page.fromHost(message);
    });
    native.onDisconnect.addListener(function (closed) {
        if (page.native !== native) return;
        var error = chrome.runtime.lastError || (closed && closed.error);
        page.native = null;
        if (!page.answered && notInstalled(error)) {
            page.failAll("not-installed", "The Zarn program is not installed.");
        } else {
            page.failAll("host-gone", goneText);
        }
    });
};

Page.prototype.fromHost = function (message) {
    this.answered = true;
    var id = message && message.id;
    if (typeof id !== "number" || !this.calls.hasOwnProperty(id)) {
        // A reply nobody asked for: the conversation is lost. Every call
        // fails, and the next one starts a new host.
        this.closeNative("host-gone", "The Zarn program answered out of turn.");
        return;
    }
    var pageId = this.calls[id];
    if (typeof message.event === "string") {
        var params = Object.prototype.toString.call(message.params) === "[object Array]"
            ? message.params.map(String) : [];
        this.queueEvent([pageId, message.event, params]);
        return;
    }
    // A call's events reach the page before its reply.
    this.flushEvents();
    delete this.calls[id];
    delete running[id];
    this.count--;
    if (message.error && typeof message.error === "object") {
        this.fail(pageId, String(message.error.code), String(message.error.message));
    } else {
        // A method's result is a number or null; hello's is an object.
        var result = typeof message.result === "number" ||
            (message.result && typeof message.result === "object") ? message.result : null;
        this.toPage({ type: "reply", id: pageId, result: result });
    }
    if (this.count === 0) {
        var page = this;
        this.idle = setTimeout(function () {
            page.idle = null;
            if (page.count === 0) page.closeNative(null);
        }, idleMs);
    }
};

// A walk of a large folder brings thousands of events at once; they leave
// in batches, far fewer messages for the page to take.
var eventBatch = 512;

Page.prototype.queueEvent = function (entry) {
    this.events.push(entry);
    if (this.events.length >= eventBatch) return this.flushEvents();
    if (this.events.length === 1) {
        var page = this;
        setTimeout(function () { page.flushEvents(); }, 0);
    }
};

Page.prototype.flushEvents = function () {
    if (this.events.length === 0) return;
    var list = this.events;
    this.events = [];
    this.toPage({ type: "events", list: list });
};

Page.prototype.failAll = function (code, text) {
    this.flushEvents();
    for (var id in this.calls) {
        delete running[id];
        this.fail(this.calls[id], code, text);
    }
    this.calls = {};
    this.count = 0;
};

// Closing a native port from this side fires no onDisconnect here, so the
// calls it carried are failed now.
Page.prototype.closeNative = function (code, text) {
    var native = this.native;
    this.native = null;
    if (native) {
        try {
            native.disconnect();
        } catch (e) {
            // Already closed by the browser.
        }
    }
    if (code) this.failAll(code, text);
};

// The document went away: its host sees the end of its input and ends after
// the call that runs.
Page.prototype.close = function () {
    if (this.idle !== null) clearTimeout(this.idle);
    this.idle = null;
    for (var id in this.calls) delete running[id];
    this.calls = {};
    this.count = 0;
    this.closeNative(null);
};

chrome.runtime.onConnect.addListener(function (port) {
    if (port.name !== "zarn") {
        port.disconnect();
        return;
    }
    new Page(port);
});
