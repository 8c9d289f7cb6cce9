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

    function browserName() {
        var agent = navigator.userAgent;
        if (/Edg\//.test(agent)) return "edge";
        if (/Firefox\//.test(agent)) return "firefox";
        return "chrome";
    }

    function windowsArch(program) {
        if (program && program.arch) return program.arch === "x86" ? "x86" : "x64";
        var agent = navigator.userAgent;
        return /Windows/.test(agent) && !/Win64|x64|WOW64|amd64|arm64|aarch64/i.test(agent)
            ? "x86" : "x64";
    }

    // The sentence and link for what is missing.
    var steps = {
        "program": ["needProgram", "program"],
        "program-update": ["needProgramUpdate", "program"],
        "extension-update": ["needExtensionUpdate", "store"],
        "admin": ["needAdmin", null],
        "other-site": ["needOtherSite", null]
    };

    function show(status) {
        var program = status.program;
        put("program-state", program ? program.version + " (" + program.arch + ")" : texts.notFound);
        var step = status.need ? steps[status.need] || steps.program : null;
        put("sentence", step ? texts[step[0]] : texts.ready);
        var link = document.getElementById("next");
        link.hidden = true;
        if (step && step[1]) {
            link.href = step[1] === "program"
                ? ZARN_LINKS.program.replace("{arch}", windowsArch(program))
                : ZARN_LINKS[browserName()];
            link.textContent = step[1] === "program" ? texts.downloadProgram : texts.openStore;
            link.hidden = false;
        }
        document.body.className = status.need ? "missing" : "ready";
        put("recheck", step && step[1] ? texts.recheck : "");
        if (step && step[1]) recheck = setTimeout(check, 1000);
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
        port.postMessage({ id: ++lastId, method: "check", params: [] });
    }

    document.title = texts.title;
    put("heading", popup ? texts.title : texts.welcome);
    put("extension-label", texts.extension);
    put("program-label", texts.program);
    put("extension-state", chrome.runtime.getManifest().version);
    put("program-state", texts.checking);
    if (popup) {
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
