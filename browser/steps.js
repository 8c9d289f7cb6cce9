// The one next step a person is offered for each need: a sentence and,
// where one exists, a link to what is missing. zarn.js carries this file
// (the build puts it in), and the extension's welcome page and popup load
// it; each brings its own sentences, under the same keys.
//
//   texts:  ready, one sentence for each need (by the need's name), and the
//           links' labels getProgram, getExtension and updateExtension:
//           every name in ZarnSteps.textNames
//   links:  the build's addresses: program (with {arch}), chrome, edge,
//           firefox
var ZarnSteps = (function () {
    "use strict";

    // Where each need leads: the program's MSI, the browser's store, or
    // nowhere (only an administrator, or another site, can help).
    var leads = {
        "extension": ["store", "getExtension"],
        "extension-update": ["store", "updateExtension"],
        "program": ["program", "getProgram"],
        "program-update": ["program", "getProgram"]
    };

    // The browser a user agent names, for the store whose page to offer.
    function browserName(agent) {
        if (/Edg\//.test(agent)) return "edge";
        if (/Firefox\//.test(agent)) return "firefox";
        return "chrome";
    }

    // The program's architecture when it is known, else the Windows the
    // browser says it runs on: x86 only where it says Windows and nothing of
    // a 64-bit one.
    function windowsArch(agent, program) {
        if (program && program.arch) return program.arch === "x86" ? "x86" : "x64";
        return /Windows/.test(agent) && !/Win64|x64|WOW64|amd64|arm64|aarch64/i.test(agent)
            ? "x86" : "x64";
    }

    // {message, link: {href, text} or null} for `need` (null: ready).
    function nextStep(need, program, texts, links, agent) {
        if (!need) return { message: texts.ready, link: null };
        var lead = leads[need], href = "";
        if (lead && lead[0] === "store") {
            href = links[browserName(agent)] || "";
        } else if (lead && links.program) {
            href = links.program.replace("{arch}", windowsArch(agent, program));
        }
        return { message: texts[need] || texts.program,
                 link: href ? { href: href, text: texts[lead[1]] } : null };
    }

    // Every name nextStep may read from its texts: each table of every
    // language holds them all.
    var textNames = ["ready", "extension", "program", "program-update", "extension-update", "admin",
                     "other-site", "getProgram", "getExtension", "updateExtension"];

    return { browserName: browserName, windowsArch: windowsArch, nextStep: nextStep, textNames: textNames };
})();
