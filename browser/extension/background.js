// The extension's background: one native port to the Zarn host for each
// document that calls it, every request built here from scratch with the
// origin the browser gives for the document (never one the page names), and
// the one owner of every call's state. The content script only relays, and
// zarn.js keeps only its promises.
//
// A document's native port is in one state (Native):
//   none      no host: the next call or check starts one
//   greeting  the host was started and asked hello; calls wait for it
//   ready     the host's protocols meet the extension's; calls go to it
// EXIT POINTS of a native port, each leaving it at none:
//   1. the browser could not start the host, or it ended (onDisconnect):
//      while greeting, every waiting call and check hears what is missing
//      (giveUp); when ready, every call fails with host-gone
//   2. hello unanswered within handshakeMs: giveUp, "program"
//   3. hello answered with an error or with protocols that do not meet
//      the extension's: giveUp, with the side that is behind
//   4. a message from the host that no call of this document awaits: the
//      conversation is lost, every call fails with host-gone
//   5. idle for idleMs with no call: closed, nobody to tell
//   6. the document went (its runtime port closed): closed, nobody to tell
//
// A call (one request of a page) is in one state (CallState):
//   queued    registered, waiting for the host's hello
//   running   sent to the host
// and leaves this table at its EXIT POINTS: its reply, a refusal here, or
// its native port's end (above), each answering the page exactly once.
"use strict";

if (typeof importScripts === "function")
    importScripts("protocol.js", "sites.js", "rules.js");

var hostName = "com.zarn.bridge";
// A page's host ends after this long with nothing to do; its next call
// starts a new one.
var idleMs = 60000;
// A host that has not answered hello by then is taken for a broken one.
var handshakeMs = 5000;
var limits = ZarnProtocol.limits;
// The protocols this extension speaks, oldest and newest: those of the
// table it was built with. A host whose range does not meet it would
// misread or be misread.
var protocols = { oldest: ZarnProtocol.protocol.oldest, newest: ZarnProtocol.protocol.newest };
// Acknowledged events came with this protocol.
var ackProtocol = 2;
// A sentence for a page, in the browser's language (_locales); zarn.js
// shows the page its own, in the page's language, and keeps this one as the
// error's detail.
function say(name, values) {
    return chrome.i18n.getMessage(name, values);
}

var Native = { none: "none", greeting: "greeting", ready: "ready" };
var CallState = { queued: "queued", running: "running" };

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

// The error code a page is told for each need: the one error of the table
// that carries it.
function needCode(need) {
    for (var code in ZarnProtocol.errors)
        if (ZarnProtocol.errors[code].indexOf(need) >= 0) return code;
    return "not-installed";
}

// The newer program a host's hello names, or null.
function updateOf(result) {
    var update = result && result.update;
    return update && typeof update.version === "string" ? { version: update.version } : null;
}

function extensionInfo() {
    return { version: chrome.runtime.getManifest().version };
}

// Why a document may not call the host, or null when it may. The origin is
// the browser's own record of the document (sender.origin), taken exactly.
function refusal(sender) {
    if (!sender || sender.id !== chrome.runtime.id) return say("errorNotOurs");
    if (typeof sender.origin !== "string" || sender.origin === "null") return say("errorNoOrigin");
    // Chromium: a prerendered or cached document is not the one shown (and
    // a prerendered page's top frame has an id of its own).
    if (sender.documentLifecycle === "prerender") return say("errorPrerendered");
    if (sender.documentLifecycle !== undefined && sender.documentLifecycle !== "active")
        return say("errorNotShown");
    if (sender.frameId !== 0) return say("errorNotTopFrame");
    if (!ZarnRules.allowedOrigin(sender.origin, ZARN_SITES)) return say("errorRefusedSite");
    return null;
}

function isId(value) {
    return typeof value === "number" && value % 1 === 0 && value >= 1 && value <= limits.highestId;
}

var methodName = new RegExp("^[A-Za-z]{1," + limits.maxMethodLength + "}$");

// One document: its runtime port, its native port while it has one, and
// its calls. An extension page (welcome, popup) asks only for the status,
// and stands for the service's first site.
function Page(port, ownOrigin) {
    this.port = port;
    this.statusOnly = ownOrigin !== undefined;
    this.origin = this.statusOnly ? ownOrigin : port.sender ? port.sender.origin : undefined;
    this.native = null;
    this.state = Native.none;
    this.handshake = null;  // {id, timer} while greeting
    this.refreshing = null;  // the id of a later hello, while it is asked
    this.program = null;    // what the host said of itself
    this.lastId = 0;
    // Calls by the id the host knows them by, and that id by the page's
    // own (its client's mark and its id).
    this.calls = {};
    this.byKey = {};
    this.count = 0;
    // Checks waiting for the host's hello: {client, id}.
    this.checks = [];
    this.idle = null;
    // Events on their way to the page, sent together at the end of this turn.
    this.events = [];
    var page = this;
    port.onMessage.addListener(function (message) { page.fromPage(message); });
    port.onDisconnect.addListener(function () { page.close(); });
}

// Why this document may not call the host now, or null. A page is judged
// at each request, from what the browser says of the document; an
// extension page stands for the service's first site.
Page.prototype.refusal = function () {
    if (this.statusOnly) return this.origin ? null : say("errorNoSite");
    return refusal(this.port.sender);
};

Page.prototype.toPage = function (message) {
    try {
        this.port.postMessage(message);
    } catch (e) {
        // The document went away; its onDisconnect closes the rest.
    }
};

// Answers the page's call (client, id) once: {result} or {error}.
Page.prototype.answer = function (client, id, answer) {
    answer.type = "reply";
    answer.client = client;
    answer.id = id;
    this.toPage(answer);
};

Page.prototype.refuse = function (client, id, code, text, need) {
    this.answer(client, id, { error: { code: code, message: text,
                                       need: need === undefined ? null : need } });
};

// The status a check answers: what is missing (null: nothing), the pieces'
// versions, and the browser's or host's own words when something failed.
Page.prototype.status = function (need, detail) {
    return { need: need, extension: extensionInfo(), program: this.program, detail: detail || "" };
};

Page.prototype.answerChecks = function (need, detail) {
    var checks = this.checks;
    this.checks = [];
    for (var i = 0; i < checks.length; i++)
        this.answer(checks[i].client, checks[i].id, { result: this.status(need, detail) });
};

Page.prototype.fromPage = function (message) {
    if (!message || typeof message !== "object") return;
    if (message.type === "ack") return this.acknowledge(message);
    if (message.type === "request") return this.request(message);
};

// A check opens no dialog and starts nothing but the host, whose hello it
// waits for. A host already greeted is asked hello again: it may have
// learnt of a newer program since (it looks in the background).
Page.prototype.check = function (client, id) {
    var refused = this.refusal();
    if (refused) return this.answer(client, id, { result: this.status("other-site", refused) });
    this.checks.push({ client: client, id: id });
    this.stopIdle();
    if (this.state === Native.none) return this.open();
    if (this.state !== Native.ready || this.refreshing) return;
    this.refreshing = this.newId();
    try {
        this.native.postMessage({ id: this.refreshing, origin: this.origin, method: "hello", params: [] });
    } catch (e) {
        this.closeNative("host-gone", say("errorGone"));
    }
};

// The host's later hello: what it now knows of a newer program.
Page.prototype.refreshed = function (message) {
    this.refreshing = null;
    var result = message && message.result;
    if (this.program && result && typeof result === "object")
        this.program = Object.assign({}, this.program, { update: updateOf(result) });
    this.answerChecks(null);
    this.armIdle();
};

Page.prototype.request = function (message) {
    var client = typeof message.client === "string" ? message.client : undefined;
    var id = message.id;
    if (!isId(id))
        return this.refuse(client, typeof id === "number" ? id : null, "bad-request", say("errorBadId"));
    var key = client + " " + id;
    // A request whose id its client already waits on is refused without
    // touching the call that waits (zarn.js knows the refusal by its mark).
    if (this.byKey.hasOwnProperty(key)) {
        return this.answer(client, id, { duplicate: true,
                                         error: { code: "bad-request", message: say("errorDuplicateId"),
                                                  need: null } });
    }
    if (message.method === "check") return this.check(client, id);
    var refused = this.refusal();
    if (refused) return this.refuse(client, id, "refused-site", refused, "other-site");
    if (this.statusOnly) return this.refuse(client, id, "bad-request", say("errorMalformed"));
    if (this.count >= limits.maxCalls) return this.refuse(client, id, "busy", say("errorBusy"));
    var method = message.method, given = message.params;
    if (typeof method !== "string" || !methodName.test(method) ||
        Object.prototype.toString.call(given) !== "[object Array]")
        return this.refuse(client, id, "bad-request", say("errorMalformed"));
    for (var i = 0; i < given.length; i++) {
        if (typeof given[i] !== "string") return this.refuse(client, id, "bad-request", say("errorNotTexts"));
    }
    var known = ZarnProtocol.methods.hasOwnProperty(method) ? ZarnProtocol.methods[method] : null;
    this.stopIdle();
    var hostId = this.newId();
    this.calls[hostId] = { client: client, id: id, key: key, state: CallState.queued, method: method,
                           params: given.slice(0),
                           wantsAcks: message.ack === true && !!known && known.events,
                           acks: false };
    this.byKey[key] = hostId;
    this.count++;
    if (this.state === Native.none) this.open();
    else if (this.state === Native.ready) this.send(hostId);
};

// Ids the host knows this document's requests by: 1..highestId, never one
// still waiting.
Page.prototype.newId = function () {
    do {
        this.lastId = this.lastId >= limits.highestId ? 1 : this.lastId + 1;
    } while (this.calls.hasOwnProperty(this.lastId) || this.lastId === this.refreshing ||
             (this.handshake && this.handshake.id === this.lastId));
    return this.lastId;
};

Page.prototype.send = function (hostId) {
    var call = this.calls[hostId];
    call.state = CallState.running;
    // Only a host that knows acknowledgements is asked to wait for them.
    call.acks = call.wantsAcks && this.program.protocol >= ackProtocol;
    var request = { id: hostId, origin: this.origin, method: call.method, params: call.params };
    if (call.acks) request.ack = true;
    call.params = null;
    try {
        this.native.postMessage(request);
    } catch (e) {
        this.closeNative("host-gone", say("errorGone"));
    }
};

// The page has run `count` more events of a call: the host may send as
// many more.
Page.prototype.acknowledge = function (message) {
    var hostId = this.byKey[message.client + " " + message.id];
    var call = hostId === undefined ? null : this.calls[hostId];
    if (!call || !call.acks || !isId(message.count) || this.state !== Native.ready) return;
    try {
        this.native.postMessage({ ack: hostId, count: message.count });
    } catch (e) {
        // The port's onDisconnect fails the call.
    }
};

// A new host is asked hello before anything else, so that a host that
// speaks no protocol of this extension's never reads a request.
Page.prototype.open = function () {
    var page = this;
    var native = chrome.runtime.connectNative(hostName);
    this.native = native;
    this.state = Native.greeting;
    this.program = null;
    native.onMessage.addListener(function (message) {
        if (page.native === native) page.fromHost(message);
    });
    native.onDisconnect.addListener(function (closed) {
        if (page.native !== native) return;
        // EXIT POINT 1
        var error = chrome.runtime.lastError || (closed && closed.error);
        if (page.state === Native.greeting) {
            var need = startNeed(error);
            page.giveUp(need, need === "admin" ? say("errorAdmin") : say("errorProgram"), error && error.message);
        } else {
            page.closeNative("host-gone", say("errorGone"));
        }
    });
    var id = this.newId();
    this.handshake = {
        id: id,
        timer: setTimeout(function () {
            // EXIT POINT 2
            if (page.native === native && page.state === Native.greeting)
                page.giveUp("program", say("errorSilent", [String(handshakeMs / 1000)]), "");
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
    this.handshake = null;
};

// The handshake failed: every waiting call and check hears what is missing,
// and the host is let go (the next call or check starts anew).
Page.prototype.giveUp = function (need, text, detail) {
    this.closeNative(needCode(need), text, need, detail);
};

Page.prototype.greeted = function (message) {
    this.endHandshake();
    var error = message.error;
    if (error && typeof error === "object") {
        // EXIT POINT 3
        var code = String(error.code);
        if (code === "refused-site") return this.giveUp("other-site", String(error.message), code);
        // A host older than hello itself.
        if (code === "unknown-method") return this.giveUp("program-update", say("errorProgramUpdate"), code);
        return this.giveUp("program", say("errorProgram"), code + ": " + error.message);
    }
    var result = message.result || {};
    var newest = result.protocol;
    // A host that names no oldest speaks only its newest.
    var oldest = result.minProtocol === undefined ? newest : result.minProtocol;
    if (typeof newest !== "number" || newest % 1 !== 0 || typeof oldest !== "number" ||
        oldest % 1 !== 0 || oldest > newest)
        return this.giveUp("program", say("errorProgram"), "hello: " + JSON.stringify(result));
    this.program = { version: String(result.version || ""), protocol: newest, minProtocol: oldest,
                     arch: String(result.arch || ""), update: updateOf(result) };
    var need = rangeNeed(oldest, newest);
    if (need) {
        return this.giveUp(need, need === "program-update" ? say("errorProgramUpdate") : say("errorExtensionUpdate"),
                           "protocols " + oldest + ".." + newest + ", extension " +
                           protocols.oldest + ".." + protocols.newest);
    }
    this.state = Native.ready;
    for (var hostId in this.calls) {
        if (this.state !== Native.ready) break;
        if (this.calls[hostId].state === CallState.queued) this.send(Number(hostId));
    }
    this.answerChecks(null);
    this.armIdle();
};

Page.prototype.fromHost = function (message) {
    if (this.handshake && message && message.id === this.handshake.id) return this.greeted(message);
    if (this.refreshing && message && message.id === this.refreshing) return this.refreshed(message);
    var id = message && message.id;
    var call = typeof id === "number" && this.calls.hasOwnProperty(id) ? this.calls[id] : null;
    if (!call || call.state !== CallState.running) {
        // EXIT POINT 4: a message nobody asked for.
        this.closeNative("host-gone", say("errorOutOfTurn"));
        return;
    }
    if (typeof message.event === "string") {
        var params = Object.prototype.toString.call(message.params) === "[object Array]"
            ? message.params.map(String) : [];
        this.queueEvent([call.client, call.id, message.event, params]);
        return;
    }
    // A call's events reach the page before its reply.
    this.flushEvents();
    this.forget(id);
    if (message.error && typeof message.error === "object") {
        // The need an error of the host carries when its code has only one.
        var code = String(message.error.code);
        var needs = ZarnProtocol.errors.hasOwnProperty(code) ? ZarnProtocol.errors[code] : [];
        this.refuse(call.client, call.id, code, String(message.error.message),
                    needs.length === 1 ? needs[0] : null);
    } else {
        // A method's result is a number or null; hello's is an object.
        var result = typeof message.result === "number" ||
            (message.result && typeof message.result === "object") ? message.result : null;
        this.answer(call.client, call.id, { result: result });
    }
    this.armIdle();
};

Page.prototype.forget = function (hostId) {
    var call = this.calls[hostId];
    delete this.calls[hostId];
    delete this.byKey[call.key];
    this.count--;
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

Page.prototype.stopIdle = function () {
    if (this.idle === null) return;
    clearTimeout(this.idle);
    this.idle = null;
};

Page.prototype.armIdle = function () {
    if (this.count !== 0 || this.idle !== null || this.state !== Native.ready) return;
    var page = this;
    this.idle = setTimeout(function () {
        // EXIT POINT 5
        page.idle = null;
        if (page.count === 0 && page.state === Native.ready) page.closeNative(null);
    }, idleMs);
};

// Closes the native port from this side (which fires no onDisconnect here).
// Every check waiting hears `need` (by default the program) with `detail`;
// with a code, every call it carried fails with it.
Page.prototype.closeNative = function (code, text, need, detail) {
    var native = this.native;
    this.native = null;
    this.state = Native.none;
    this.refreshing = null;
    this.endHandshake();
    if (native) {
        try {
            native.disconnect();
        } catch (e) {
            // Already closed by the browser.
        }
    }
    // With what the host said of itself, when it said anything.
    this.answerChecks(need || "program", detail === undefined ? text || "" : detail);
    this.program = null;
    if (!code) return;
    this.flushEvents();
    var calls = this.calls;
    this.calls = {};
    this.byKey = {};
    this.count = 0;
    for (var hostId in calls) this.refuse(calls[hostId].client, calls[hostId].id, code, text, need);
};

// EXIT POINT 6: the document went away. Its host sees the end of its input
// and ends after the call that runs; nobody is left to answer.
Page.prototype.close = function () {
    this.stopIdle();
    this.calls = {};
    this.byKey = {};
    this.count = 0;
    this.checks = [];
    this.events = [];
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
