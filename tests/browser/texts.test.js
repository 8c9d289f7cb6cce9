// The tables of sentences, one per language, of the extension (_locales),
// zarn.js (Zarn.texts) and the sample page (pageTexts): each language holds
// every name with the same placeholders and the same quoted texts, the
// Korean ones are Korean, zarn.js picks its table by the page's language,
// and the scripts and pages show no sentence of their own. No browser needed.
//   ZARN_JS=build/<arch>/zarn.js node --test texts.test.js
"use strict";

const { test } = require("node:test");
const assert = require("node:assert/strict");
const fs = require("fs");
const path = require("path");
const vm = require("vm");
const { spawnSync } = require("child_process");
const messages = require("./messages");

const source = path.resolve(__dirname, "..", "..");
const extension = path.join(source, "browser", "extension");
const readSource = (...parts) => fs.readFileSync(path.join(source, ...parts), "utf8");
const protocol = JSON.parse(spawnSync("python3", [path.join(source, "cmake", "protocol_table.py"), "json",
                                                  path.join(source, "bridge", "protocol.table")]).stdout);
const steps = (() => {
    const context = {};
    vm.createContext(context);
    vm.runInContext(readSource("browser", "steps.js") + ";this.ZarnSteps = ZarnSteps;", context);
    return context.ZarnSteps;
})();
const hangul = /[\uAC00-\uD7A3]/;

// {"a.b.c": text} of a nested table.
function flatten(table, prefix, out) {
    out = out || {};
    for (const [key, value] of Object.entries(table)) {
        const name = prefix ? prefix + "." + key : key;
        if (value && typeof value === "object") flatten(value, name, out);
        else out[name] = value;
    }
    return out;
}

// What a translation must keep as it is: placeholders ($NAME$, $1, {name})
// and the system's own texts in double quotes.
function kept(text) {
    return (text.match(/\$[A-Za-z0-9_@]+\$|\$\d|\{[A-Za-z]+\}|"[^"]*"/g) || []).sort();
}

// Every failure of the rule that both languages say everything alike.
function compareLanguages(en, ko, what) {
    const faults = [];
    for (const name of Object.keys(en)) if (!(name in ko)) faults.push(what + " ko lacks " + name);
    for (const name of Object.keys(ko)) if (!(name in en)) faults.push(what + " en lacks " + name);
    for (const name of Object.keys(en).filter((n) => n in ko)) {
        if (typeof en[name] !== "string" || !en[name].trim()) faults.push(what + " en " + name + " is no text");
        if (typeof ko[name] !== "string" || !ko[name].trim()) faults.push(what + " ko " + name + " is no text");
        else if (!hangul.test(ko[name])) faults.push(what + " ko " + name + " is not Korean: " + ko[name]);
        if (typeof en[name] === "string" && hangul.test(en[name]))
            faults.push(what + " en " + name + " is Korean: " + en[name]);
        if (JSON.stringify(kept(String(en[name]))) !== JSON.stringify(kept(String(ko[name]))))
            faults.push(what + " " + name + " keeps " + kept(String(en[name])) + " in en, " +
                        kept(String(ko[name])) + " in ko");
    }
    return faults;
}

test("the check itself: a missing name, an English Korean text, a lost placeholder or quote", () => {
    const faults = compareLanguages(
        { a: "one $N$", b: "two", c: "run \"x --y\"", d: "four", e: "line {line}" },
        { a: "하나", b: "two", c: "\"x --z\" 실행", e: "{line}번째 줄" }, "t");
    assert.deepEqual(faults.sort(), ["t a keeps $N$ in en,  in ko", "t c keeps \"x --y\" in en, \"x --z\" in ko",
                                     "t ko b is not Korean: two", "t ko lacks d"]);
});

// The text of a message with its placeholders' descriptions, as kept() reads it.
function extensionTable(language) {
    const table = messages.read(extension, language);
    const out = {};
    for (const [name, entry] of Object.entries(table)) {
        if (name === "language") continue;
        out[name] = entry.message;
        const keys = Object.keys(entry.placeholders || {}).map((k) => "$" + k.toUpperCase() + "$");
        const used = (entry.message.match(/\$[A-Za-z0-9_@]+\$/g) || []).map((k) => k.toUpperCase());
        assert.deepEqual(used.sort(), keys.sort(), language + " " + name + ": its placeholders, as declared");
    }
    return out;
}

test("the extension's _locales: both languages alike, every name the scripts and manifest ask for", () => {
    const en = extensionTable("en"), ko = extensionTable("ko");
    assert.deepEqual(compareLanguages(en, ko, "_locales"), []);
    assert.equal(messages.read(extension, "en").language.message, "en");
    assert.equal(messages.read(extension, "ko").language.message, "ko");
    // Chromium and Firefox refuse a name outside these letters.
    for (const name of Object.keys(en)) assert.match(name, /^[A-Za-z0-9_@]+$/, name);

    const asked = new Set(["language"]);
    const manifest = readSource("browser", "extension", "manifest.json");
    for (const m of manifest.matchAll(/__MSG_(\w+)__/g)) asked.add(m[1]);
    for (const file of ["content.js", "background.js", "status.js"]) {
        for (const m of readSource("browser", "extension", file).matchAll(/(?:getMessage|say)\("(\w+)"\s*[,)]/g))
            asked.add(m[1]);
    }
    // status.js names each step by the name steps.js reads it under.
    for (const name of steps.textNames) asked.add("step_" + name.replace(/-/g, "_"));
    const lacking = [...asked].filter((name) => !(name in en) && name !== "language");
    assert.deepEqual(lacking, []);
    assert.ok(asked.size > 30, "names found in the scripts: " + asked.size);
    const unused = Object.keys(en).filter((name) => !asked.has(name));
    assert.deepEqual(unused, [], "texts nothing shows");
});

// zarn.js in a stand-in window: `lang` the root element's, `navigator` the
// browser's, `extension` whether the content script announced itself.
function library(lang, navigator, extension) {
    const sent = [], listeners = [];
    const root = { lang: lang || "", getAttribute: (name) => name === "data-zarn-extension" && extension ? "1"
                                                         : name === "lang" ? lang || null : null };
    const context = vm.createContext({
        setTimeout, crypto, navigator: navigator || {}, location: { origin: "https://www.zarn.example" },
        document: { documentElement: root },
        addEventListener: (type, listener) => { if (type === "message") listeners.push(listener); },
        postMessage: (data) => sent.push(data),
    });
    vm.runInContext(fs.readFileSync(process.env.ZARN_JS, "utf8"), context, { filename: "zarn.js" });
    const self = vm.runInContext("this", context);
    return {
        Zarn: vm.runInContext("Zarn", context), root, sent,
        deliver: (data) => listeners.forEach((l) => l({ source: self, origin: "https://www.zarn.example",
                                                        data: data })),
    };
}

test("zarn.js's tables: both languages alike, every need, step and error code of the protocol", () => {
    const { Zarn } = library();
    const en = Zarn.texts.en, ko = Zarn.texts.ko;
    assert.deepEqual(compareLanguages(flatten(en), flatten(ko), "Zarn.texts"), []);
    for (const name of steps.textNames) assert.equal(typeof en[name], "string", name);
    for (const [code, needs] of Object.entries(protocol.errors)) {
        if (needs.length < 2) {
            assert.equal(typeof en.errors[code], "string", code);
        } else {
            assert.deepEqual(Object.keys(en.errors[code]).sort(), needs.slice().sort(), code);
        }
    }
    assert.deepEqual(Object.keys(en.errors).sort(), Object.keys(protocol.errors).sort());
});

test("zarn.js speaks the page's lang, else the browser's first Korean or English, else English", () => {
    const rows = [
        // [<html lang>, navigator, language]
        ["ko", { languages: ["en-US", "en"] }, "ko"],
        ["ko-KR", { languages: ["en-US"] }, "ko"],
        ["en", { languages: ["ko-KR", "ko"] }, "en"],
        ["EN-gb", { languages: ["ko"] }, "en"],
        ["", { languages: ["fr-FR", "ko-KR", "en"] }, "ko"],
        ["fr", { languages: ["fr", "en-GB", "ko"] }, "en"],
        ["de", { languages: ["de", "fr"] }, "en"],
        ["", {}, "en"],
        // Internet Explorer 11 names one language, older ones another way.
        ["", { language: "ko-KR" }, "ko"],
        ["", { userLanguage: "ko" }, "ko"],
    ];
    for (const [lang, navigator, language] of rows) {
        const what = JSON.stringify([lang, navigator]);
        const { Zarn } = library(lang, navigator, false);
        assert.equal(Zarn.language(), language, what);
    }
});

test("zarn.js's messages by code and need in the page's language; codes, needs and details unchanged", async () => {
    for (const language of ["ko", "en"]) {
        // No extension: the status and a call's error.
        const none = library(language, { languages: [language === "ko" ? "en" : "ko"] }, false);
        const table = none.Zarn.texts[language];
        const status = await none.Zarn.open().check();
        assert.deepEqual([status.need, status.message, status.link.text],
                         ["extension", table.extension, table.getExtension], language);
        const refused = await none.Zarn.open().UpLoad("a", "b", "c").then(() => null, (e) => e);
        assert.deepEqual([refused.code, refused.need, refused.message],
                         ["not-installed", "extension", table.errors["not-installed"].extension], language);

        // The extension's answers: its sentence becomes the detail.
        const page = library(language, {}, true);
        const z = page.Zarn.open();
        const calls = ["UpLoad", "ShowDlgFile", "SelectComplete", "DownLoad"].map(
            (method) => z[method]("a", "b", "c").then(() => null, (e) => e));
        const [a, b, c, d] = page.sent;
        page.deliver({ zarn: "reply", client: a.client, id: a.id,
                       error: { code: "version-mismatch", message: "The extension's words.", need: "program-update" } });
        page.deliver({ zarn: "reply", client: b.client, id: b.id,
                       error: { code: "update-running", message: "프로그램의 말", need: null } });
        page.deliver({ zarn: "reply", client: c.client, id: c.id,
                       error: { code: "no-such-code", message: "?", need: null } });
        page.deliver({ zarn: "gone", client: d.client });
        const [mismatch, running, unknown, gone] = await Promise.all(calls);
        assert.deepEqual([mismatch.code, mismatch.need, mismatch.message, mismatch.detail],
                         ["version-mismatch", "program-update", table.errors["version-mismatch"]["program-update"],
                          "The extension's words."], language);
        assert.deepEqual([running.code, running.need, running.message, running.detail],
                         ["update-running", null, table.errors["update-running"], "프로그램의 말"], language);
        assert.deepEqual([unknown.code, unknown.message], ["no-such-code", table.errors.internal], language);
        assert.deepEqual([gone.code, gone.message], ["host-gone", table.errors["host-gone"]], language);
    }

    // A page's own texts: an entry changed, and a language of its own whose
    // missing names are English.
    const page = library("fr", { languages: ["fr"] }, false);
    page.Zarn.texts.fr = { extension: "Installez l'extension Zarn.", errors: {} };
    page.Zarn.texts.en.getExtension = "Get it here";
    const status = await page.Zarn.open().check();
    assert.deepEqual([page.Zarn.language(), status.message, status.link.text],
                     ["fr", "Installez l'extension Zarn.", "Get it here"]);
    const error = await page.Zarn.open().CheckInstall().then(() => null, (e) => e);
    assert.equal(error.message, page.Zarn.texts.en.errors["not-installed"].extension);
    // The page's lang, set after loading the library, counts from then on.
    page.root.lang = "ko";
    assert.equal((await page.Zarn.open().check()).message, page.Zarn.texts.ko.extension);
});

// The string literals of a script (not its comments or regular
// expressions), each with its line.
function stringLiterals(code) {
    const found = [];
    let i = 0, last = "";
    const line = (at) => code.slice(0, at).split("\n").length;
    while (i < code.length) {
        const c = code[i], next = code[i + 1];
        if (c === "/" && next === "/") {
            const end = code.indexOf("\n", i);
            i = end < 0 ? code.length : end;
        } else if (c === "/" && next === "*") {
            i = code.indexOf("*/", i + 2) + 2;
        } else if (c === "\"" || c === "'" || c === "`") {
            let j = i + 1, value = "";
            while (j < code.length && code[j] !== c) {
                if (code[j] === "\\") j++;
                value += code[j++];
            }
            found.push({ value, line: line(i) });
            i = j + 1;
            last = c;
        } else if (c === "/" && (last === "" || /[(,=:[!&|?{};+\-*%<>~^]/.test(last) ||
                                 /(^|[^\w$])(return|typeof|case)\s*$/.test(code.slice(Math.max(0, i - 12), i)))) {
            let j = i + 1, inClass = false;
            while (j < code.length && (code[j] !== "/" || inClass)) {
                if (code[j] === "\\") j++;
                else if (code[j] === "[") inClass = true;
                else if (code[j] === "]") inClass = false;
                j++;
            }
            i = j + 1;
            last = "/";
        } else {
            if (!/\s/.test(c)) last = c;
            i++;
        }
    }
    return found;
}

// A literal a person would read: two words, or one capitalised word (a
// directive and the names of built-in types aside).
function sentence(text) {
    if (text === "use strict" || /^\[object \w+\]$/.test(text)) return false;
    return /[A-Za-z\uAC00-\uD7A3]{2,}[ \t]+[A-Za-z\uAC00-\uD7A3]{2,}/.test(text) || /^[A-Z][a-z]{2,}$/.test(text) ||
        hangul.test(text);
}

function sentencesIn(code, what) {
    return stringLiterals(code).filter((s) => sentence(s.value)).map((s) => what + ":" + s.line + ": " + s.value);
}

// The text of an HTML page outside its scripts, styles, comments and
// title, and the attributes a person reads.
function pageWords(html, allowed, what) {
    const body = html.replace(/<!--[\s\S]*?-->/g, "").replace(/<(script|style|title)[^>]*>[\s\S]*?<\/\1>/gi, "");
    const words = [];
    for (const m of body.matchAll(/>([^<]+)</g)) {
        const text = m[1].trim();
        if (text && !allowed.includes(text)) words.push(what + ": " + text);
    }
    for (const m of body.matchAll(/\s(title|alt|placeholder|aria-label)="([^"]+)"/gi))
        words.push(what + ": " + m[1] + "=" + m[2]);
    return words;
}

test("the check itself: sentences in literals, not in comments or regular expressions", () => {
    const code = "// A comment, \"with quotes\".\nvar a = \"Two words\"; var b = /not allowed|here/i;\n" +
        "var c = 'zarn-status', d = \"Extension\", e = \"\uC5F0\uACB0\";\n/* \"Also a comment\" */ f(x / 2, \"id \" + y);\n" +
        "return /it's fine/.test(s) ? \"ok\" : \"Not ok\";";
    assert.deepEqual(sentencesIn(code, "t"), ["t:2: Two words", "t:3: Extension", "t:3: \uC5F0\uACB0", "t:5: Not ok"]);
    assert.deepEqual(pageWords("<p id=\"x\">Hello</p><b title=\"Tip\"></b><button>UpLoad</button>", ["UpLoad"], "p"),
                     ["p: Hello", "p: title=Tip"]);
});

// The sample page: its table, and the rest of its script and markup.
function samplePage() {
    const html = readSource("package", "zarn.html.in");
    const start = html.indexOf("var pageTexts = {");
    const end = html.indexOf("\n  };\n", start) + 5;
    assert.ok(start > 0 && end > start, "the sample page's table pageTexts");
    const table = vm.runInNewContext("(" + html.slice(start + "var pageTexts = ".length, end - 1) + ")");
    const rest = html.slice(0, start) + html.slice(end);
    return { html, table, rest };
}

test("the sample page's pageTexts: both languages alike, every data-text name in them", () => {
    const { html, table } = samplePage();
    assert.deepEqual(compareLanguages(flatten(table.en), flatten(table.ko), "pageTexts"), []);
    const named = [...html.matchAll(/data-text="(\w+)"/g)].map((m) => m[1]);
    assert.ok(named.length >= 5, named.join());
    for (const name of named) assert.equal(typeof table.en[name], "string", name);
    // Each code a call can fail with that the page explains, explained.
    for (const code of Object.keys(table.en.codes)) assert.ok(code in protocol.errors, code);
});

test("no sentence a person sees outside the tables: the extension's scripts and pages, the sample page", () => {
    const found = [];
    for (const file of ["content.js", "background.js", "status.js"])
        found.push(...sentencesIn(readSource("browser", "extension", file), file));
    for (const file of ["welcome.html", "popup.html"])
        found.push(...pageWords(readSource("browser", "extension", file), [], file));
    const { rest } = samplePage();
    for (const m of rest.matchAll(/<script type="text\/javascript">([\s\S]*?)<\/script>/g))
        found.push(...sentencesIn(m[1], "zarn.html.in script"));
    // The buttons are named for the control's methods, in every language.
    const methods = Object.keys(protocol.methods).filter((m) => protocol.methods[m].page);
    found.push(...pageWords(rest, methods.concat(["@MARKING@"]), "zarn.html.in"));
    assert.deepEqual(found, []);
});
