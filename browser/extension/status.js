// The extension's welcome page (opened on installation) and its toolbar
// popup: the extension's version, the program's state with the one next
// step a person can take, and in the popup whether the current tab is one
// of the service's sites. The program's state comes from the background,
// which greets the program as it would for a page of the service.
"use strict";

(function () {
    // The browser's language (its i18n API), as _locales/<language>/messages.json
    // say it.
    var say = function (name) { return chrome.i18n.getMessage(name); };
    // The steps' texts under the names steps.js reads (a message's name
    // cannot hold "-").
    var steps = {};
    ZarnSteps.textNames.forEach(function (name) {
        steps[name] = say("step_" + name.replace(/-/g, "_"));
    });
    var popup = document.body.id === "popup";
    var port = null;
    var lastId = 0;
    var recheck = null;

    function put(id, text) {
        document.getElementById(id).textContent = text;
    }

    function show(status) {
        var program = status.program;
        put("program-state", program ? program.version + " (" + program.arch + ")" : say("pageNotFound"));
        var step = ZarnSteps.nextStep(status.need, program, steps, ZARN_LINKS, navigator.userAgent);
        put("sentence", step.message);
        var link = document.getElementById("next");
        link.hidden = !step.link;
        if (step.link) {
            link.href = step.link.href;
            link.textContent = step.link.text;
        }
        document.body.className = status.need ? "missing" : "ready";
        put("recheck", step.link ? say("pageRecheck") : "");
        if (step.link) recheck = setTimeout(check, 1000);
    }

    function check() {
        recheck = null;
        if (!port) {
            port = chrome.runtime.connect({ name: "zarn-status" });
            port.onMessage.addListener(function (message) {
                if (message && message.type === "reply" && message.id === lastId)
                    show(message.result || { need: "program", program: null });
            });
            port.onDisconnect.addListener(function () {
                port = null;
                if (recheck === null) recheck = setTimeout(check, 1000);
            });
        }
        port.postMessage({ type: "request", id: ++lastId, method: "check", params: [] });
    }

    document.documentElement.lang = say("language");
    document.title = say("extensionName");
    put("heading", popup ? say("extensionName") : say("pageWelcome"));
    put("extension-label", say("pageExtension"));
    put("program-label", say("pageProgram"));
    put("extension-state", chrome.runtime.getManifest().version);
    put("program-state", say("pageChecking"));
    if (popup) {
        // The ID the program's registration must name for this extension.
        put("id-label", say("pageId"));
        put("id-state", chrome.runtime.id);
        put("site-label", say("pageSite"));
        chrome.tabs.query({ active: true, currentWindow: true }, function (tabs) {
            // The tab's address is known only on the service's sites, the
            // extension's only hosts.
            var url = tabs && tabs[0] && tabs[0].url;
            var origin = "";
            try {
                origin = url ? new URL(url).origin : "";
            } catch (e) {
                origin = "";
            }
            put("site-state", ZarnRules.allowedOrigin(origin, ZARN_SITES) ? say("pageSiteYes") : say("pageSiteNo"));
        });
    }
    check();
})();
