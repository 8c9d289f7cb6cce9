// The extension's background: one native port to the Zarn host for each
// document that calls it, and every request built here from scratch, with
// the origin the browser gives for the document, never one the page names.
"use strict";

if (typeof importScripts === "function") importScripts("sites.js", "rules.js", "texts.js");

var hostName = "com.zarn.bridge";
// A page's host ends after this long with nothing to do; its next call
// starts a new one.
var idleMs = 60000;
var maxId = 0x7fffffff;
var goneText = ZarnTexts.errors.gone;
// The protocols this extension speaks, oldest and newest. A host whose
// range does not meet it would misread or be misread.
var protocols = { oldest: 1, newest: 1 };
// A host that has not answered hello by then is taken for a broken one.
var handshakeMs = 5000;

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

// What a person must get when the browser could not start the host, or the
// host ended before it answered hello: only an administrator can lift a
// policy's ban or a manifest that names other extensions; anything else
// (no manifest, a program missing or failing at its start) is the program.
function startNeed(error) {
    var text = error && error.message ? error.message : "";
    return /forbidden|not allowed|permission/i.test(text) ? "admin" : "program";
}

// Whether the host's range of protocols meets the extension's: null when it
// does, otherwise the side that is behind.
function rangeNeed(oldest, newest) {
    if (newest < protocols.oldest) return "program-update";
    if (oldest > protocols.newest) return "extension-update";
    return null;
}

// The error code a page has always seen for each need.
function needCode(need) {
    if (need === "program-update" || need === "extension-update") return "version-mismatch";
    if (need === "other-site") return "refused-site";
    return "not-installed";
}

function extensionInfo() {
    return { version: chrome.runtime.getManifest().version };
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
// An extension page (welcome, popup) asks only for the status, and stands
// for the service's first site.
function Page(port, ownOrigin) {
    this.port = port;
    this.statusOnly = ownOrigin !== undefined;
    this.origin = this.statusOnly ? ownOrigin : port.sender ? port.sender.origin : undefined;
    this.native = null;
    // The host's hello while it is awaited ({id, timer}), and its answer.
    this.handshake = null;
    this.program = null;
    // Requests held until the handshake settles, and the checks waiting on it.
    this.queued = [];
    this.checks = [];
    this.calls = {};
    this.count = 0;
    this.idle = null;
    // Events on their way to the page, sent together at the end of this turn.
    this.events = [];
    var page = this;
    port.onMessage.addListener(function (message) { page.request(message); });
    port.onDisconnect.addListener(function () { page.close(); });
}

// Why this document may not call the host now, or null. A page is judged
// at each request, from what the browser says of the document; an
// extension page stands for the service's first site.
Page.prototype.refusal = function () {
    if (this.statusOnly) return this.origin ? null : ZarnTexts.errors.noSite;
    return refusal(this.port.sender);
};

Page.prototype.toPage = function (message) {
    try {
        this.port.postMessage(message);
    } catch (e) {
        // The document went away; its onDisconnect closes the rest.
    }
};

Page.prototype.fail = function (pageId, code, text, need) {
    this.toPage({ type: "reply", id: pageId,
                  error: { code: code, message: text, need: need === undefined ? null : need } });
};

// The status a check answers: what is missing (null: nothing), the pieces'
// versions, and the browser's or host's own words when something failed.
Page.prototype.status = function (need, detail) {
    return { need: need, extension: extensionInfo(), program: this.program,
             detail: detail || "" };
};

Page.prototype.answerChecks = function (need, detail) {
    var checks = this.checks;
    this.checks = [];
    for (var i = 0; i < checks.length; i++)
        this.toPage({ type: "reply", id: checks[i], result: this.status(need, detail) });
};

// A check opens no dialog and starts nothing but the host, whose hello it
// waits for; a host already greeted answers at once.
Page.prototype.check = function (pageId) {
    var refused = this.refusal();
    if (refused) {
        this.toPage({ type: "reply", id: pageId, result: this.status("other-site", refused) });
        return;
    }
    if (this.native && this.program) {
        this.toPage({ type: "reply", id: pageId, result: this.status(null) });
        return;
    }
    this.checks.push(pageId);
    this.stopIdle();
    if (!this.native) this.open();
};

Page.prototype.stopIdle = function () {
    if (this.idle !== null) {
        clearTimeout(this.idle);
        this.idle = null;
    }
};

Page.prototype.request = function (message) {
    if (!message || typeof message.id !== "number" || message.id % 1 !== 0) return;
    var pageId = message.id;
    if (message.method === "check") return this.check(pageId);
    var refused = this.refusal();
    if (refused) return this.fail(pageId, "refused-site", refused, "other-site");
    if (this.statusOnly) return this.fail(pageId, "bad-request", "The request is malformed.");
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
    this.stopIdle();
    var id = newId();
    running[id] = true;
    this.calls[id] = pageId;
    this.count++;
    if (!this.native) this.open();
    if (!this.calls.hasOwnProperty(id)) return;  // the host failed at once
    if (this.program) this.send(id, method, params);
    else this.queued.push({ id: id, method: method, params: params });
};

Page.prototype.send = function (id, method, params) {
    try {
        this.native.postMessage({ id: id, origin: this.origin, method: method, params: params });
    } catch (e) {
        this.closeNative("host-gone", goneText);
    }
};

// A new host is asked hello before anything else, so that a host that
// speaks no protocol of this extension's never reads a request.
Page.prototype.open = function () {
    var page = this;
    var native = chrome.runtime.connectNative(hostName);
    this.native = native;
    this.program = null;
    native.onMessage.addListener(function (message) {
        if (page.native === native) page.fromHost(message);
    });
    native.onDisconnect.addListener(function (closed) {
        if (page.native !== native) return;
        var error = chrome.runtime.lastError || (closed && closed.error);
        if (page.handshake) {
            var need = startNeed(error);
            page.giveUp(need, need === "admin" ? ZarnTexts.errors.admin : ZarnTexts.errors.program,
                        error && error.message);
        } else {
            page.native = null;
            page.failAll("host-gone", goneText);
        }
    });
    var id = newId();
    running[id] = true;
    this.handshake = {
        id: id,
        timer: setTimeout(function () {
            if (page.native === native && page.handshake)
                page.giveUp("program", ZarnTexts.errors.silent, "");
        }, handshakeMs),
    };
    try {
        native.postMessage({ id: id, origin: this.origin, method: "hello", params: [] });
    } catch (e) {
        // The port closed already; its onDisconnect says why.
    }
};

Page.prototype.endHandshake = function () {
    if (!this.handshake) return;
    clearTimeout(this.handshake.timer);
    delete running[this.handshake.id];
    this.handshake = null;
};

// The handshake failed: every held call and waiting check hears what is
// missing, and the host is let go (the next call or check starts anew).
Page.prototype.giveUp = function (need, text, detail) {
    this.endHandshake();
    this.failAll(needCode(need), text, need);
    this.answerChecks(need, detail);
    this.closeNative(null);
    this.armIdle();
};

Page.prototype.greeted = function (message) {
    this.endHandshake();
    var error = message.error;
    if (error && typeof error === "object") {
        var code = String(error.code);
        if (code === "refused-site") return this.giveUp("other-site", String(error.message), code);
        // A host older than hello itself.
        if (code === "unknown-method")
            return this.giveUp("program-update", ZarnTexts.errors.programUpdate, code);
        return this.giveUp("program", ZarnTexts.errors.program, code + ": " + error.message);
    }
    var result = message.result || {};
    var newest = result.protocol;
    // A host that names no oldest speaks only its newest.
    var oldest = result.minProtocol === undefined ? newest : result.minProtocol;
    if (typeof newest !== "number" || newest % 1 !== 0 || typeof oldest !== "number" ||
        oldest % 1 !== 0 || oldest > newest)
        return this.giveUp("program", ZarnTexts.errors.program, "hello: " + JSON.stringify(result));
    this.program = { version: String(result.version || ""), protocol: newest, minProtocol: oldest,
                     arch: String(result.arch || "") };
    var need = rangeNeed(oldest, newest);
    if (need) {
        return this.giveUp(need, need === "program-update" ? ZarnTexts.errors.programUpdate
                                                           : ZarnTexts.errors.extensionUpdate,
                           "protocols " + oldest + ".." + newest + ", extension " +
                           protocols.oldest + ".." + protocols.newest);
    }
    var queued = this.queued;
    this.queued = [];
    for (var i = 0; i < queued.length && this.native; i++)
        this.send(queued[i].id, queued[i].method, queued[i].params);
    this.answerChecks(null);
    this.armIdle();
};

Page.prototype.fromHost = function (message) {
    if (this.handshake && message && message.id === this.handshake.id) return this.greeted(message);
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
        var code = String(message.error.code);
        this.fail(pageId, code, String(message.error.message),
                  code === "refused-site" ? "other-site" : null);
    } else {
        // A method's result is a number or null; hello's is an object.
        var result = typeof message.result === "number" ||
            (message.result && typeof message.result === "object") ? message.result : null;
        this.toPage({ type: "reply", id: pageId, result: result });
    }
    this.armIdle();
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

Page.prototype.armIdle = function () {
    if (this.count !== 0 || this.idle !== null || !this.native) return;
    var page = this;
    this.idle = setTimeout(function () {
        page.idle = null;
        if (page.count === 0 && !page.handshake) page.closeNative(null);
    }, idleMs);
};

Page.prototype.failAll = function (code, text, need) {
    this.flushEvents();
    for (var id in this.calls) {
        delete running[id];
        this.fail(this.calls[id], code, text, need);
    }
    this.calls = {};
    this.count = 0;
    this.queued = [];
};

// Closing a native port from this side fires no onDisconnect here, so the
// calls it carried are failed now.
Page.prototype.closeNative = function (code, text) {
    var native = this.native;
    this.native = null;
    this.program = null;
    if (this.handshake) {
        this.endHandshake();
        this.answerChecks("program", text || "");
    }
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
    this.queued = [];
    this.checks = [];
    this.closeNative(null);
};

// The origin the extension's own pages stand for when they ask the host:
// the service's first site, as a page of it would name itself.
function ownOrigin() {
    var site = ZARN_SITES[0];
    if (!site) return "";
    var port = site.port === (site.scheme === "https" ? 443 : 80) ? "" : ":" + site.port;
    return site.scheme + "://" + (site.subdomains ? "www." : "") + site.host + port;
}

function ownPage(sender) {
    return !!sender && sender.id === chrome.runtime.id && typeof sender.url === "string" &&
        sender.url.indexOf(chrome.runtime.getURL("")) === 0;
}

chrome.runtime.onConnect.addListener(function (port) {
    if (port.name === "zarn") {
        new Page(port);
    } else if (port.name === "zarn-status" && ownPage(port.sender)) {
        new Page(port, ownOrigin());
    } else {
        port.disconnect();
    }
});

// On installation: the welcome page, and the service's pages already open
// get the content script now instead of at their next load.
function reachOpenPages() {
    var script = chrome.runtime.getManifest().content_scripts[0];
    chrome.tabs.query({ url: script.matches }, function (tabs) {
        for (var i = 0; i < (tabs || []).length; i++) {
            var tab = tabs[i];
            var origin;
            try {
                origin = new URL(tab.url).origin;
            } catch (e) {
                continue;
            }
            if (!ZarnRules.allowedOrigin(origin, ZARN_SITES)) continue;
            chrome.scripting.executeScript({ target: { tabId: tab.id }, files: script.js })
                .catch(function () {
                    // A page that cannot be scripted (still loading an error
                    // page, closed meanwhile) gets the script at its next load.
                });
        }
    });
}

chrome.runtime.onInstalled.addListener(function (details) {
    if (details.reason !== "install") return;
    chrome.tabs.create({ url: chrome.runtime.getURL("welcome.html") });
    reachOpenPages();
});
