/*
 * zarn.js: the Zarn program's methods for a web page, in every browser.
 *
 *   var z = Zarn.open();
 *   z.kind;                  // "activex", "extension" or "none"
 *   z.on("UpSelectComplete", function (path, size, mode) { ... });
 *   z.UpLoad(id, pw, items).then(function (result) { ... },
 *                                function (error) { ... error.code, error.need ... });
 *   z.check().then(function (status) { ... status.ready, status.need ... });
 *
 * Where the browser can create the ActiveX control (Internet Explorer, the
 * IE mode of Edge) the calls go to the control; elsewhere to the Zarn
 * extension and the program it starts. The methods, their arguments and
 * their results are the control's. Each returns a Promise where the browser
 * has one, otherwise an object with the same then(onResult, onError) and
 * ["catch"](onError). Errors are Error objects with a .code: the program's
 * codes (refused-site, bad-request, unknown-method, too-large, internal,
 * busy) and not-installed, version-mismatch and host-gone, and a .need
 * saying what the person must get for calls to work (see check below).
 * An error's .message, and the status's message and link, are in the page's
 * language (Zarn.language(): its <html lang>, else the browser's languages,
 * Korean or English, else English; the tables are Zarn.texts); .detail keeps
 * the program's, the extension's or the control's own words.
 * Results and errors always arrive
 * asynchronously, and a method's UpSelectComplete events arrive before its
 * result.
 *
 * Plain ES5 that Internet Explorer 11 and JScript run; no dependencies.
 */
var Zarn = (function (global) {
    "use strict";

    // The protocol's table: its methods with their arity, limits and codes.
    var protocol = null;  // the build's protocol table
    // The next step a person is offered for each need (browser/steps.js).
    var ZarnSteps = null;  // the build's steps.js
    // The service's sites and their rules (the extension's sites.js and
    // rules.js): a page elsewhere is told so before it is told to get
    // anything. null: a library written without them.
    var ZARN_SITES = null;  // the build's sites
    var ZarnRules = null;  // the build's rules.js
    // The page's methods and their number of arguments.
    var methods = {};
    for (var method in protocol.methods) {
        if (protocol.methods[method].page) methods[method] = protocol.methods[method].params;
    }
    var progId = "WEB_CONTROL.WebControlCtrl.1";
    // The control's refusal of a page that is not one of the service's sites.
    var accessDenied = -2147024891;  // E_ACCESSDENIED
    // Where a person gets what is missing: the program's MSI ({arch} is x64
    // or x86) and the extension's page in each browser's store.
    var links = {"chrome": "", "edge": "", "firefox": "", "program": ""};  // the build's links
    // This library's version, the product's.
    var version = "0.0.0.0";  // the build's version
    // Every sentence for a person, one table per language (Zarn.texts):
    // the status line's sentence for each need (see steps.js) and its links'
    // labels, and each error's message by its code, and by its need where the
    // code has several. A page may change an entry, or add a table for
    // another language, before it calls; a name a page's table lacks is
    // taken from English.
    var texts = {
        en: {
            ready: "Zarn is ready.",
            extension: "Install the Zarn browser extension to use this page.",
            program: "Install the Zarn program to use this page.",
            "program-update": "Your Zarn program is too old for this page: install its latest version.",
            "extension-update": "Your Zarn browser extension is too old: update it from your browser's store.",
            admin: "Your browser's settings forbid the Zarn program here, or the program was registered " +
                "for another Zarn extension: compare the extension's ID (in its popup) with the IDs " +
                "\"zarn-bridge.exe --diagnose\" lists, or ask your administrator.",
            "other-site": "This page is not one of the Zarn service's sites, so Zarn does not answer it.",
            getProgram: "Download the Zarn program",
            getExtension: "Get the Zarn browser extension",
            updateExtension: "Update the Zarn browser extension",
            errors: {
                "not-installed": {
                    extension: "Zarn is not installed in this browser. Install the Zarn browser extension " +
                        "to use this page.",
                    program: "The Zarn program is not installed, or it failed to start. Install the Zarn " +
                        "program to use this page.",
                    admin: "Your browser's settings forbid the Zarn program here, or the program was " +
                        "registered for another Zarn extension."
                },
                "version-mismatch": {
                    "program-update": "Your Zarn program is too old for this page: install its latest version.",
                    "extension-update": "Your Zarn browser extension is too old for the Zarn program: " +
                        "update it from your browser's store."
                },
                "host-gone": "The connection to the Zarn program was lost.",
                "refused-site": "This site may not use the Zarn program.",
                "bad-request": "The request is not valid.",
                "bad-frame": "The Zarn program received a damaged message.",
                "unknown-method": "The Zarn program does not know this method: it may be older than this page.",
                "too-large": "The request is larger than the Zarn program accepts.",
                busy: "Too many calls of this page are waiting: try again when they have ended.",
                internal: "The Zarn program could not do this.",
                "update-running": "The Zarn program is updating the transfer programs in another window: " +
                    "try again once it has finished."
            }
        },
        ko: {
            ready: "Zarn을 사용할 준비가 되었습니다.",
            extension: "이 페이지를 사용하려면 Zarn 브라우저 확장 프로그램을 설치하세요.",
            program: "이 페이지를 사용하려면 Zarn 프로그램을 설치하세요.",
            "program-update": "Zarn 프로그램이 이 페이지에 비해 오래되었습니다. 최신 버전을 설치하세요.",
            "extension-update": "Zarn 브라우저 확장 프로그램이 오래되었습니다. 브라우저의 스토어에서 업데이트하세요.",
            admin: "브라우저 설정이 여기서 Zarn 프로그램을 막고 있거나, 프로그램이 다른 Zarn 확장 프로그램용으로 " +
                "등록되어 있습니다. 확장 프로그램의 ID(팝업에 나옴)를 \"zarn-bridge.exe --diagnose\"가 보여 주는 " +
                "ID와 비교하거나 관리자에게 문의하세요.",
            "other-site": "이 페이지는 Zarn 서비스의 사이트가 아니어서 Zarn이 응답하지 않습니다.",
            getProgram: "Zarn 프로그램 다운로드",
            getExtension: "Zarn 브라우저 확장 프로그램 설치",
            updateExtension: "Zarn 브라우저 확장 프로그램 업데이트",
            errors: {
                "not-installed": {
                    extension: "이 브라우저에는 Zarn이 설치되어 있지 않습니다. 이 페이지를 사용하려면 Zarn 브라우저 " +
                        "확장 프로그램을 설치하세요.",
                    program: "Zarn 프로그램이 설치되어 있지 않거나 시작하지 못했습니다. 이 페이지를 사용하려면 " +
                        "Zarn 프로그램을 설치하세요.",
                    admin: "브라우저 설정이 여기서 Zarn 프로그램을 막고 있거나, 프로그램이 다른 Zarn 확장 " +
                        "프로그램용으로 등록되어 있습니다."
                },
                "version-mismatch": {
                    "program-update": "Zarn 프로그램이 이 페이지에 비해 오래되었습니다. 최신 버전을 설치하세요.",
                    "extension-update": "Zarn 브라우저 확장 프로그램이 Zarn 프로그램에 비해 오래되었습니다. " +
                        "브라우저의 스토어에서 업데이트하세요."
                },
                "host-gone": "Zarn 프로그램과의 연결이 끊어졌습니다.",
                "refused-site": "이 사이트에서는 Zarn 프로그램을 사용할 수 없습니다.",
                "bad-request": "요청이 올바르지 않습니다.",
                "bad-frame": "Zarn 프로그램이 손상된 메시지를 받았습니다.",
                "unknown-method": "Zarn 프로그램이 이 메서드를 알지 못합니다. 이 페이지보다 오래된 버전일 수 있습니다.",
                "too-large": "요청이 Zarn 프로그램이 받을 수 있는 크기보다 큽니다.",
                busy: "이 페이지에서 기다리는 호출이 너무 많습니다. 호출이 끝난 뒤 다시 시도하세요.",
                internal: "Zarn 프로그램이 이 작업을 하지 못했습니다.",
                "update-running": "다른 창에서 Zarn 프로그램이 전송 프로그램을 업데이트하고 있습니다. 업데이트가 " +
                    "끝난 뒤 다시 시도하세요."
            }
        }
    };

    // The primary language of a tag ("ko-KR" is "ko"), when Zarn.texts has a
    // table for it; otherwise "".
    function tableLanguage(tag) {
        var primary = String(tag || "").split(/[-_]/)[0].toLowerCase();
        return primary && texts.hasOwnProperty(primary) && texts[primary] &&
            typeof texts[primary] === "object" ? primary : "";
    }

    // The page's language: its <html lang> when there is a table for it,
    // else the browser's first language there is one for (Internet
    // Explorer names one), else English. Read at each sentence: a page may
    // set its lang after loading this library.
    function language() {
        var doc = global.document, navigator = global.navigator || {};
        var root = doc && doc.documentElement;
        var found = tableLanguage(root && (root.lang || (root.getAttribute && root.getAttribute("lang"))));
        var wanted = navigator.languages && navigator.languages.length ? navigator.languages
            : [navigator.language || navigator.userLanguage || navigator.browserLanguage];
        for (var i = 0; !found && i < wanted.length; i++) found = tableLanguage(wanted[i]);
        return found || "en";
    }

    // The sentence under `name` (and `need`, for an error of several), in
    // the page's language; English where the page's table lacks it.
    function say(name, need) {
        var tables = [texts[language()], texts.en];
        for (var i = 0; i < tables.length; i++) {
            var entry = tables[i] && (need === undefined ? tables[i][name]
                                                         : tables[i].errors && tables[i].errors[name]);
            if (entry && typeof entry === "object") entry = entry[need] || firstOf(entry);
            if (typeof entry === "string") return entry;
        }
        return "";
    }

    function firstOf(table) {
        for (var key in table) {
            if (table.hasOwnProperty(key) && typeof table[key] === "string") return table[key];
        }
        return undefined;
    }

    // The steps' texts (steps.js) in the page's language.
    function stepTexts() {
        var out = {};
        for (var i = 0; i < ZarnSteps.textNames.length; i++)
            out[ZarnSteps.textNames[i]] = say(ZarnSteps.textNames[i]);
        return out;
    }

    // The need of each error code when the code alone tells it.
    var codeNeeds = { "refused-site": "other-site" };

    // An error for the page: its message in the page's language, by code
    // and need (an unknown code reads as internal), and the program's,
    // extension's or control's own words as its detail.
    function makeError(code, detail, need) {
        need = need === undefined ? (codeNeeds[code] || null) : need;
        var error = new Error(say(code, need || "") || say("internal", ""));
        error.code = code;
        error.need = need;
        error.detail = detail || "";
        return error;
    }

    // The one next step for a need: a sentence and, where one exists, a link.
    function nextStep(need, program) {
        var agent = (global.navigator && global.navigator.userAgent) || "";
        return ZarnSteps.nextStep(need, program, stepTexts(), links, agent);
    }

    // detail: the browser's or the program's own words when something failed.
    // A ready program that knows of a newer one says so (update, its
    // version); the page is offered the newer program's package.
    function makeStatus(kind, need, extension, program, detail) {
        var step = nextStep(need, program);
        var update = need === null && program && program.update && typeof program.update.version === "string"
            ? { version: program.update.version } : null;
        if (update) step.link = nextStep("program-update", program).link;
        return { ready: need === null, kind: kind, need: need, library: { version: version },
                 extension: extension || null, program: program || null, update: update,
                 message: step.message, link: step.link, detail: detail || "" };
    }

    function text(value) {
        return value === undefined || value === null ? "" : String(value);
    }

    // ---- results -------------------------------------------------------

    // A minimal thenable for browsers without Promise: settles once, runs its
    // callbacks asynchronously, and then() returns a new one that takes the
    // callback's result or its throw. A result that is itself promise-like is
    // followed, as a Promise follows one, however badly it behaves: one that
    // is the thenable itself, a then that throws, or one that calls back more
    // than once never leaves the chain waiting or throws past it.
    function Thenable(later) {
        this.later = later;
        this.state = 0;  // 0 waiting, 1 resolved, 2 rejected
        this.value = undefined;
        this.waiting = [];
        this.taken = false;  // resolved with something it now follows
    }

    Thenable.prototype.settle = function (state, value) {
        if (this.state !== 0 || this.taken) return;
        if (state === 1) return this.follow(value);
        this.done(state, value);
    };

    Thenable.prototype.done = function (state, value) {
        this.state = state;
        this.value = value;
        var waiting = this.waiting;
        this.waiting = [];
        for (var i = 0; i < waiting.length; i++) this.run(waiting[i]);
    };

    // The value's then is read once, and whichever of its callbacks (or its
    // throw) comes first decides; the rest are ignored.
    Thenable.prototype.follow = function (value) {
        if (value === this) return this.done(2, new TypeError("A result cannot wait for itself."));
        if (!value || (typeof value !== "object" && typeof value !== "function"))
            return this.done(1, value);
        var then;
        try {
            then = value.then;
        } catch (e) {
            return this.done(2, e);
        }
        if (typeof then !== "function") return this.done(1, value);
        this.taken = true;
        var self = this, called = false;
        try {
            then.call(value, function (v) {
                if (called) return;
                called = true;
                self.follow(v);
            }, function (e) {
                if (called) return;
                called = true;
                self.done(2, e);
            });
        } catch (e) {
            if (!called) {
                called = true;
                this.done(2, e);
            }
        }
    };

    Thenable.prototype.run = function (entry) {
        var self = this;
        this.later(function () {
            var callback = self.state === 1 ? entry.onResult : entry.onError;
            if (typeof callback !== "function") {
                entry.next.done(self.state, self.value);
                return;
            }
            var value;
            try {
                value = callback(self.value);
            } catch (e) {
                entry.next.settle(2, e);
                return;
            }
            entry.next.settle(1, value);
        });
    };

    Thenable.prototype.then = function (onResult, onError) {
        var entry = { onResult: onResult, onError: onError, next: new Thenable(this.later) };
        if (this.state === 0) this.waiting.push(entry);
        else this.run(entry);
        return entry.next;
    };

    Thenable.prototype["catch"] = function (onError) {
        return this.then(undefined, onError);
    };

    // A pending result: {promise, resolve, reject}, settled once, and always
    // after the call that made it has returned.
    function pending(later) {
        var out = {};
        if (typeof global.Promise === "function") {
            out.promise = new global.Promise(function (resolve, reject) {
                out.resolve = resolve;
                out.reject = reject;
            });
        } else {
            var thenable = new Thenable(later);
            out.promise = thenable;
            out.resolve = function (value) { thenable.settle(1, value); };
            out.reject = function (error) { thenable.settle(2, error); };
        }
        var settled = false;
        var resolve = out.resolve, reject = out.reject;
        out.resolve = function (value) {
            if (settled) return;
            settled = true;
            later(function () { resolve(value); });
        };
        out.reject = function (error) {
            if (settled) return;
            settled = true;
            later(function () { reject(error); });
        };
        return out;
    }

    // Runs callbacks later, in the order given: one timer at a time drains
    // them, as timers of equal delay need not fire in order. A callback's
    // throw goes on to the host, outside the queue.
    function queue(schedule) {
        var waiting = [];
        var armed = false;
        function rethrow(error) {
            schedule(function () { throw error; });
        }
        function drain() {
            armed = false;
            var now = waiting;
            waiting = [];
            for (var i = 0; i < now.length; i++) {
                try {
                    now[i]();
                } catch (e) {
                    rethrow(e);
                }
            }
        }
        return function (callback) {
            waiting.push(callback);
            if (armed) return;
            armed = true;
            schedule(drain);
        };
    }

    // ---- the object a page gets ----------------------------------------

    function Client(kind, later) {
        this.kind = kind;
        this.later = later;
        this.handlers = { UpSelectComplete: [] };
    }

    // Adds a handler of an event the control fires. Only UpSelectComplete
    // reaches pages.
    Client.prototype.on = function (name, handler) {
        if (!this.handlers[name]) throw makeError("bad-request", "No such event: " + name);
        if (typeof handler === "function") this.handlers[name].push(handler);
        return this;
    };

    Client.prototype.off = function (name, handler) {
        var list = this.handlers[name] || [];
        for (var i = list.length - 1; i >= 0; i--) {
            if (list[i] === handler) list.splice(i, 1);
        }
        return this;
    };

    // The page's status, without a dialog or a transfer program: whether it
    // may call every method, and if not what is missing (need) with one
    // sentence and one link for a person.
    Client.prototype.check = function () {
        var result = pending(this.later);
        result.resolve(makeStatus(this.kind, null, null, null));
        return result.promise;
    };

    // Each handler runs on its own: one that throws does not keep the others
    // from their event, and its error is thrown again afterwards, outside.
    Client.prototype.fire = function (name, params) {
        var list = (this.handlers[name] || []).slice(0);
        for (var i = 0; i < list.length; i++) {
            try {
                list[i].apply(null, params);
            } catch (e) {
                this.rethrow(e);
            }
        }
    };

    // A function of its own: old JScript shares one catch variable across a
    // function's catch blocks.
    Client.prototype.rethrow = function (error) {
        this.later(function () { throw error; });
    };

    function defineMethods(client, call) {
        for (var name in methods) {
            if (!methods.hasOwnProperty(name)) continue;
            client[name] = (function (method, count) {
                return function () {
                    var args = [];
                    for (var i = 0; i < count; i++) args.push(text(arguments[i]));
                    return call(method, args);
                };
            })(name, methods[name]);
        }
    }

    // ---- the ActiveX channel ---------------------------------------------

    // The control's methods are not script functions: they are called by
    // name with their own number of arguments.
    function invoke(control, method, args) {
        switch (args.length) {
        case 0: return control[method]();
        case 1: return control[method](args[0]);
        case 2: return control[method](args[0], args[1]);
        default: return control[method](args[0], args[1], args[2]);
        }
    }

    function controlError(e) {
        var message = (e && (e.description || e.message)) || String(e);
        return makeError(e && e.number === accessDenied ? "refused-site" : "internal", message);
    }

    function openActiveX(control, connect, later) {
        var client = new Client("activex", later);
        connect(control, "UpSelectComplete", function (path, size, mode) {
            client.fire("UpSelectComplete", [text(path), text(size), text(mode)]);
        });
        defineMethods(client, function (method, args) {
            var result = pending(later);
            // The control answers at once, after its events; the result is
            // still given to the page only after this call returns.
            try {
                var value = invoke(control, method, args);
                result.resolve(value === undefined ? null : value);
            } catch (e) {
                result.reject(controlError(e));
            }
            return result.promise;
        });
        return client;
    }

    // The page's own <object> for the control when it has one, otherwise a
    // control made here; null where the browser cannot create one.
    function findControl() {
        var doc = global.document;
        if (doc && doc.getElementById) {
            var element = doc.getElementById("ZarnCtrl");
            if (element && typeof element.UpLoad !== "undefined") return element;
        }
        if (typeof global.ActiveXObject === "undefined") return null;
        try {
            return new global.ActiveXObject(progId);
        } catch (e) {
            return null;
        }
    }

    // Connects a handler to the control's event: attachEvent where the
    // document mode has it, otherwise the <script for= event=> binding that
    // every IE mode honours, for an <object> with an id.
    var bound = 0;
    function attachEvent(control, name, handler) {
        if (control.attachEvent) {
            control.attachEvent(name, handler);
            return;
        }
        var doc = global.document;
        if (!doc || !control.id) return;
        var callback = "__zarnEvent" + (++bound);
        global[callback] = handler;
        var script = doc.createElement("script");
        script.htmlFor = control.id;
        script.event = name + "(a, b, c)";
        script.text = callback + "(a, b, c);";
        (doc.body || doc.documentElement).appendChild(script);
    }

    // ---- the extension channel -------------------------------------------

    // A mark of one client, unlikely to be any other's in the page, even one
    // of another copy of this library.
    var clients = 0;
    function clientMark() {
        var random = "";
        var crypto = global.crypto;
        if (crypto && crypto.getRandomValues) {
            var words = crypto.getRandomValues(new Uint32Array(2));
            random = words[0].toString(36) + words[1].toString(36);
        } else {
            random = Math.floor(Math.random() * 0x7fffffff).toString(36);
        }
        return "z" + (++clients) + "-" + random + "-" + new Date().getTime().toString(36);
    }

    // How long events run at a time before the page gets its turn: a walk of
    // a large folder brings thousands at once.
    var sliceMs = 8;

    function now() {
        var performance = global.performance;
        return performance && performance.now ? performance.now() : new Date().getTime();
    }

    function openExtension(later) {
        var client = new Client("extension", later);
        var window = global;
        var origin = window.location.origin;
        // Every request carries it and the extension answers with it, so
        // clients of one page that number their calls alike never take each
        // other's replies or events.
        var mark = clientMark();
        var calls = {};
        var lastId = 0;
        // What arrived and has not been run yet, in order: events, and the
        // replies that follow them.
        var backlog = [];
        var draining = false;

        function take(data) {
            if (data.zarn === "events") {
                var list = Object.prototype.toString.call(data.list) === "[object Array]" ? data.list : [];
                for (var i = 0; i < list.length; i++) {
                    var entry = list[i];
                    if (entry && calls[entry[0]])
                        backlog.push({ id: entry[0], name: entry[1], params: entry[2] });
                }
                return;
            }
            if (data.zarn === "gone") {
                // The extension's port went, and every call it carried.
                for (var id in calls) {
                    backlog.push({ call: calls[id], reply: { error: { code: "host-gone", message: "" } } });
                }
                calls = {};
                return;
            }
            if (typeof data.id !== "number") return;
            var call = calls[data.id];
            if (!call) return;
            if (data.zarn === "reply" && !data.duplicate) {
                // Another request that claimed this call's id was refused;
                // the call itself still waits.
                delete calls[data.id];
                backlog.push({ call: call, reply: data });
            }
        }

        function runOne(item) {
            if (!item.call) {
                var params = Object.prototype.toString.call(item.params) === "[object Array]" ? item.params : [];
                client.fire(String(item.name), [text(params[0]), text(params[1]), text(params[2])]);
            } else if (item.reply.error) {
                var need = item.reply.error.need;
                item.call.reject(makeError(text(item.reply.error.code), text(item.reply.error.message),
                                           typeof need === "string" ? need : undefined));
            } else {
                item.call.resolve(item.reply.result === undefined ? null : item.reply.result);
            }
        }

        // Runs the backlog a slice at a time, so that the page answers its
        // user between slices however many events a call brings. The events
        // run are acknowledged after each slice: the program sends a walk's
        // events no faster than the page's handlers take them.
        function drain() {
            var started = now(), done = 0, ran = {};
            while (done < backlog.length) {
                var item = backlog[done++];
                runOne(item);
                if (!item.call) ran[item.id] = (ran[item.id] || 0) + 1;
                if (now() - started >= sliceMs) break;
            }
            backlog.splice(0, done);
            for (var id in ran) {
                if (calls[id] && calls[id].acks)
                    window.postMessage({ zarn: "ack", client: mark, id: Number(id), count: ran[id] }, origin);
            }
            draining = backlog.length > 0;
            if (draining) window.setTimeout(drain, 0);
        }

        window.addEventListener("message", function (event) {
            // The extension's content script posts from this very window.
            if (event.source !== window || event.origin !== origin) return;
            var data = event.data;
            if (!data || typeof data !== "object") return;
            // Only what carries this client's mark is its own: another
            // script of the page cannot answer its calls.
            if (data.client !== mark) return;
            take(data);
            if (!draining) drain();
        });

        function send(method, args) {
            var result = pending(later);
            do {
                lastId = lastId >= protocol.limits.highestId ? 1 : lastId + 1;
            } while (calls[lastId]);
            // A call that fires events asks to acknowledge them as they run.
            var acks = !!(protocol.methods[method] && protocol.methods[method].events);
            calls[lastId] = { resolve: result.resolve, reject: result.reject, acks: acks };
            window.postMessage({ zarn: "request", client: mark, id: lastId, method: method, params: args,
                                 ack: acks }, origin);
            return result.promise;
        }

        defineMethods(client, send);
        // The program's protocol version, its version and architecture.
        client.hello = function () { return send("hello", []); };
        // The extension greets the program (once per program it starts) and
        // says what is missing; an extension that knows no check is older
        // than this library.
        client.check = function () {
            return send("check", []).then(function (answer) {
                return makeStatus("extension", typeof answer.need === "string" ? answer.need : null,
                                  answer.extension, answer.program, text(answer.detail));
            }, function (error) {
                var need = error.need || (error.code === "unknown-method" ? "extension-update"
                                                                          : "program");
                return makeStatus("extension", need, null, null, error.code + ": " + error.detail);
            });
        };
        return client;
    }

    // ---- neither ---------------------------------------------------------

    // Whether this page is one of the service's sites, as far as the
    // library can judge (Internet Explorer has no URL parser to judge by).
    function otherSite() {
        if (!ZARN_SITES || typeof global.URL !== "function" || !global.location) return false;
        return !ZarnRules.allowedOrigin(global.location.origin, ZARN_SITES);
    }

    // Internet Explorer needs the program (the control) and no extension. A
    // page that is none of the service's sites is never served by the
    // extension, installed or not.
    function openNone(later) {
        var client = new Client("none", later);
        // IE 11 hides ActiveXObject from typeof but not from "in".
        var need = otherSite() ? "other-site" : "ActiveXObject" in global ? "program" : "extension";
        defineMethods(client, function () {
            var result = pending(later);
            result.reject(need === "other-site" ? makeError("refused-site", "", need)
                                                : makeError("not-installed", "", need));
            return result.promise;
        });
        client.check = function () {
            var result = pending(later);
            result.resolve(makeStatus("none", need, null, null));
            return result.promise;
        };
        return client;
    }

    // Internet Explorer's setTimeout must be called on its window.
    function scheduler(options) {
        return options.setTimeout
            ? function (callback) { options.setTimeout(callback, 0); }
            : function (callback) { global.setTimeout(callback, 0); };
    }

    /*
     * Zarn.open([options]) returns the page's object at once.
     *   options.control     the control to use (default: the page's element
     *                       with id "ZarnCtrl", else a new one by ProgID)
     *   options.connect     function (control, name, handler) that connects
     *                       a handler to the control's event (default:
     *                       control.attachEvent)
     *   options.setTimeout  function (callback, ms) for hosts without a
     *                       global setTimeout
     */
    function open(options) {
        options = options || {};
        var later = queue(scheduler(options));
        var control = options.control || findControl();
        if (control) return openActiveX(control, options.connect || attachEvent, later);
        var doc = global.document;
        if (doc && doc.documentElement && global.postMessage && global.location &&
            doc.documentElement.getAttribute("data-zarn-extension") === "1")
            return openExtension(later);
        return openNone(later);
    }

    /*
     * Zarn.deferred() returns { promise, resolve, reject }: the promise the
     * methods give, a Promise where the browser has one, otherwise the
     * library's own thenable. It settles once, and always asynchronously.
     */
    function deferred(options) {
        return pending(queue(scheduler(options || {})));
    }

    return { open: open, deferred: deferred, texts: texts, language: language, links: links,
             version: version };
})(this);
