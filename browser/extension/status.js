// The extension's welcome page (opened on installation) and its toolbar
// popup: the extension's version, the program's state with the one next
// step a person can take, and in the popup whether the current tab is one
// of the service's sites. The program's state comes from the background,
// which greets the program as it would for a page of the service.
"use strict";

(function () {
    var texts = ZarnTexts.page;
    var popup = document.body.id === "popup";
    var port = null;
    var lastId = 0;
    var recheck = null;

    function put(id, text) {
        document.getElementById(id).textContent = text;
    }

    function show(status) {
        var program = status.program;
        put("program-state", program ? program.version + " (" + program.arch + ")" : texts.notFound);
        var step = ZarnSteps.nextStep(status.need, program, texts.steps, ZARN_LINKS, navigator.userAgent);
        put("sentence", step.message);
        var link = document.getElementById("next");
        link.hidden = !step.link;
        if (step.link) {
            link.href = step.link.href;
            link.textContent = step.link.text;
        }
        document.body.className = status.need ? "missing" : "ready";
        put("recheck", step.link ? texts.recheck : "");
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

    document.title = texts.title;
    put("heading", popup ? texts.title : texts.welcome);
    put("extension-label", texts.extension);
    put("program-label", texts.program);
    put("extension-state", chrome.runtime.getManifest().version);
    put("program-state", texts.checking);
    if (popup) {
        // The ID the program's registration must name for this extension.
        put("id-label", texts.id);
        put("id-state", chrome.runtime.id);
        put("site-label", texts.site);
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
            put("site-state", ZarnRules.allowedOrigin(origin, ZARN_SITES) ? texts.siteYes : texts.siteNo);
        });
    }
    check();
})();
