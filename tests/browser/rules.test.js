// The extension's site rules and the manifests the build writes from a
// site list: where the content script runs, and which origins the rules
// let through. No browser needed.
"use strict";

const { test } = require("node:test");
const assert = require("node:assert/strict");
const fs = require("fs");
const os = require("os");
const path = require("path");
const vm = require("vm");
const { execFileSync, spawnSync } = require("child_process");
const messages = require("./messages");

const source = path.resolve(__dirname, "..", "..");
const key = process.env.ZARN_EXTENSION_KEY;
const links = "program=https://dl.zarn.example/ZarnCtrl2-{arch}.msi;chrome=https://store.example/c;" +
    "edge=https://store.example/e;firefox=https://store.example/f";

function buildFor(sites) {
    const out = fs.mkdtempSync(path.join(os.tmpdir(), "zarn-extension-"));
    execFileSync("python3", [path.join(source, "browser", "build_extension.py"), "build",
        "--source", path.join(source, "browser", "extension"), "--out", out, "--sites", sites,
        "--key", key, "--version", path.join(source, "resources", "version.h"),
        "--gecko-id", "bridge@zarn.example", "--links", links], { stdio: "pipe" });
    const read = (browser, name) => fs.readFileSync(path.join(out, browser, name), "utf8");
    const context = { URL };  // the browsers' own URL parser
    vm.createContext(context);
    vm.runInContext(read("chromium", "sites.js") + read("chromium", "rules.js") +
                    ";this.allowed = (o) => ZarnRules.allowedOrigin(o, ZARN_SITES);", context);
    const built = {
        chromium: JSON.parse(read("chromium", "manifest.json")),
        firefox: JSON.parse(read("firefox", "manifest.json")),
        allowed: context.allowed,
        links: context.ZARN_LINKS,
        protocol: JSON.parse(/^var ZarnProtocol = ([^;]*);$/m.exec(read("chromium", "protocol.js"))[1]),
        background: read("chromium", "protocol.js") + read("chromium", "sites.js") + read("chromium", "rules.js") +
            read("chromium", "background.js"),
        messages: messages.read(path.join(out, "chromium"), "en"),
    };
    fs.rmSync(out, { recursive: true, force: true });
    return built;
}

test("an origin is allowed by scheme, host and port, as the site lock judges it", () => {
    const { allowed } = buildFor("https://www.zarn.example;https://*.Zarn.Example:8443;" +
                                 "http://127.0.0.1:18086;http://\uD55C\uAE00.example;ftp://files.zarn.example");
    const yes = ["https://www.zarn.example", "https://a.b.zarn.example:8443",
                 "http://127.0.0.1:18086", "http://xn--bj0bj06e.example"];
    const no = [
        "https://www.zarn.example:9443",      // not a port any entry names
        "http://www.zarn.example",             // another scheme
        "https://zarn.example:8443",           // "*." is below the host, not the host
        "https://evilzarn.example:8443",       // a look-alike suffix
        "https://www.zarn.example.evil.example",
        "http://127.0.0.1", "http://127.0.0.1:18087",
        "https://www.zarn.example:443",        // not how a browser writes an origin
        "https://WWW.zarn.example", "null", "", undefined,
        "https://www.zarn.example/", "https://user@www.zarn.example",
        "ftp://files.zarn.example",
    ];
    for (const origin of yes) assert.equal(allowed(origin), true, origin);
    for (const origin of no) assert.equal(allowed(origin), false, String(origin));
});

test("the content script runs on the sites, the bare host of *.host excluded", () => {
    const { chromium, firefox } = buildFor("https://*.zarn.example;http://127.0.0.1:18086;" +
                                           "https://*.other.example;https://other.example");
    const script = chromium.content_scripts[0];
    assert.deepEqual(script.matches, ["https://*.zarn.example/*", "http://127.0.0.1:18086/*",
                                      "https://*.other.example/*", "https://other.example/*"]);
    assert.deepEqual(script.exclude_matches, ["https://zarn.example/*"]);
    assert.equal(script.all_frames, false);
    assert.equal(script.run_at, "document_start");
    assert.ok(chromium.key && chromium.background.service_worker);
    assert.deepEqual(chromium.externally_connectable, { ids: [] });
    // Firefox's patterns carry no port; its rules judge the port.
    assert.deepEqual(firefox.content_scripts[0].matches.slice(0, 2),
                     ["https://*.zarn.example/*", "http://127.0.0.1/*"]);
    assert.equal(firefox.key, undefined);
    assert.equal(firefox.browser_specific_settings.gecko.id, "bridge@zarn.example");
    assert.ok(firefox.background.scripts.includes("background.js"));
    // No permission beyond the native host, scripting the service's open
    // pages, and the service's own sites.
    for (const manifest of [chromium, firefox]) {
        assert.deepEqual(manifest.permissions, ["nativeMessaging", "scripting"]);
        assert.deepEqual(manifest.host_permissions, manifest.content_scripts[0].matches);
        assert.equal(manifest.action.default_popup, "popup.html");
    }
    // The texts are the browser's (_locales), English where it has none of its language.
    for (const manifest of [chromium, firefox]) {
        assert.equal(manifest.default_locale, "en");
        assert.equal(manifest.name, "__MSG_extensionName__");
        assert.equal(manifest.action.default_title, "__MSG_actionTitle__");
    }
});

// The background with a browser of stubs: a native port that records what
// it is sent and answers as told, and timers run by hand.
function background(built, answer) {
    const timers = [], sent = [], toPage = [], later = [];
    let native = null;
    const listeners = () => { const list = []; return { list, addListener: (f) => list.push(f) }; };
    const chrome = {
        runtime: {
            id: "self", lastError: null, onConnect: listeners(), onInstalled: listeners(),
            getManifest: () => ({ version: "1.2.3.4", content_scripts: [{ matches: [], js: [] }] }),
            connectNative: () => {
                native = { onMessage: listeners(), onDisconnect: listeners(), disconnect() {},
                           postMessage(m) { sent.push(m); const to = native; later.push(() => answer(m, to)); } };
                return native;
            },
        },
        i18n: { getMessage: messages.getMessage(built.messages) },
    };
    const context = { chrome, setTimeout: (f) => timers.push(f) - 1, clearTimeout: (i) => { timers[i] = null; },
                      JSON, Object, URL };
    vm.createContext(context);
    vm.runInContext(built.background, context);
    const port = { name: "zarn", sender: { id: "self", origin: "https://www.zarn.example", frameId: 0 },
                   onMessage: listeners(), onDisconnect: listeners(), postMessage: (m) => toPage.push(m) };
    chrome.runtime.onConnect.list[0](port);
    return {
        sent, toPage, timers,
        // The host's answers arrive after the call that sent their request.
        flush: () => { while (later.length) later.shift()(); },
        ask: (id, method, extra) => port.onMessage.list[0](Object.assign(
            { type: "request", client: "c", id: id, method: method, params: [] }, extra)),
        ack: (id, count) => port.onMessage.list[0]({ type: "ack", client: "c", id: id, count: count }),
        reply: (m) => native.onMessage.list[0](m),
        end: (message) => { chrome.runtime.lastError = { message }; native.onDisconnect.list[0]({}); },
    };
}

test("the handshake: hello first, the ranges judged, a browser's start errors told apart", () => {
    const built = buildFor("https://www.zarn.example");
    const greet = (range) => (m, native) => {
        if (m.method === "hello") native.onMessage.list[0]({ id: m.id, result: Object.assign(
            { version: "9.0.0.1", arch: "x64" }, range) });
        else native.onMessage.list[0]({ id: m.id, result: 0 });
    };
    // The extension speaks the table's protocols, oldest to newest.
    const { oldest, newest } = built.protocol.protocol;
    const rows = [
        // [host's hello, need, code of a call]
        [{ protocol: oldest, minProtocol: oldest }, null, null],
        [{ protocol: oldest }, null, null],
        [{ protocol: newest + 3, minProtocol: 1 }, null, null],
        [{ protocol: oldest - 1 }, "program-update", "version-mismatch"],
        [{ protocol: newest + 2, minProtocol: newest + 1 }, "extension-update", "version-mismatch"],
        [{ protocol: newest + 1 }, "extension-update", "version-mismatch"],
        [{ protocol: String(oldest) }, "program", "not-installed"],
    ];
    for (const [range, need, code] of rows) {
        const bg = background(built, greet(range));
        bg.ask(7, "SelectComplete");
        bg.ask(8, "check");
        bg.flush();
        assert.equal(bg.sent[0].method, "hello", JSON.stringify(range));
        assert.equal(bg.sent.length, need ? 1 : 2, "a call reaches only a host that speaks our protocol");
        const call = bg.toPage.find((m) => m.id === 7), status = bg.toPage.find((m) => m.id === 8).result;
        assert.deepEqual(call.error ? [call.error.code, call.error.need] : [null, null], [code, need],
                         JSON.stringify(range));
        assert.equal(status.need, need, JSON.stringify(range));
        assert.equal(status.extension.version, "1.2.3.4");
    }
    // The browsers' words when the host does not start, or ends first.
    const starts = [
        ["Specified native messaging host not found.", "program"],
        ["No such native application com.zarn.bridge", "program"],
        ["Native host has exited.", "program"],
        ["Access to the specified native messaging host is forbidden.", "admin"],
    ];
    for (const [message, need] of starts) {
        const bg = background(built, () => {});
        bg.ask(1, "UpLoad");
        bg.end(message);
        assert.deepEqual([bg.toPage[0].error.code, bg.toPage[0].error.need], ["not-installed", need], message);
    }
    // A host that never answers hello: the call fails when its time is up,
    // and a check after it greets a new host.
    const silent = background(built, () => {});
    silent.ask(1, "UpLoad");
    assert.equal(silent.toPage.length, 0);
    silent.timers.filter(Boolean).forEach((f) => f());
    assert.deepEqual([silent.toPage[0].error.code, silent.toPage[0].error.need], ["not-installed", "program"]);
    silent.ask(2, "check");
    assert.equal(silent.sent.filter((m) => m.method === "hello").length, 2);
});

test("a check asks a greeted host again, and hears of a newer program it learnt of meanwhile", () => {
    const built = buildFor("https://www.zarn.example");
    let hellos = 0;
    const bg = background(built, (m, native) => {
        if (m.method !== "hello") return;
        hellos++;
        const result = { protocol: 2, minProtocol: 1, version: "1.0.0.6", arch: "x64" };
        if (hellos > 1) result.update = { version: "1.0.0.7" };
        native.onMessage.list[0]({ id: m.id, result: result });
    });
    bg.ask(1, "check");
    bg.flush();
    bg.ask(2, "check");
    bg.flush();
    const status = (id) => JSON.parse(JSON.stringify(bg.toPage.find((m) => m.id === id).result));
    assert.equal(status(1).need, null);
    assert.equal(status(1).program.update, null);
    assert.deepEqual([status(2).need, status(2).program.update], [null, { version: "1.0.0.7" }]);
    assert.equal(hellos, 2);
});

test("acknowledged events: asked of a host that knows them, for calls that fire events, relayed", () => {
    const built = buildFor("https://www.zarn.example");
    const greet = (protocol) => (m, native) => {
        if (m.method === "hello") native.onMessage.list[0]({ id: m.id, result: {
            protocol: protocol, minProtocol: 1, version: "9.0.0.1", arch: "x64" } });
    };
    const rows = [
        // [host's newest protocol, the page asks, method, the host is asked]
        [2, true, "ShowDlgFolder", true],
        [2, true, "ShowDlgFile", true],
        [2, false, "ShowDlgFolder", false],   // a zarn.js that acknowledges nothing
        [2, true, "UpLoad", false],           // no events to acknowledge
        [1, true, "ShowDlgFolder", false],    // a host older than acknowledgements
    ];
    for (const [protocol, asks, method, asked] of rows) {
        const what = JSON.stringify([protocol, asks, method]);
        const bg = background(built, greet(protocol));
        bg.ask(5, method, { ack: asks });
        bg.flush();
        const request = bg.sent.find((m) => m.method === method);
        assert.equal(request.ack === true, asked, what);
        bg.ack(5, 300);
        // (Plain copies: the background's objects are of another realm.)
        const acks = JSON.parse(JSON.stringify(bg.sent.filter((m) => m.ack !== undefined && m.method === undefined)));
        assert.deepEqual(acks, asked ? [{ ack: request.id, count: 300 }] : [], what);
        // The call's events reach the page under its own id and mark.
        bg.reply({ event: "UpSelectComplete", id: request.id, params: ["a", "1", "-1"] });
        bg.reply({ id: request.id, result: 0 });
        assert.deepEqual(JSON.parse(JSON.stringify(bg.toPage.slice(-2))), [
            { type: "events", list: [["c", 5, "UpSelectComplete", ["a", "1", "-1"]]] },
            { type: "reply", client: "c", id: 5, result: 0 }], what);
        // An acknowledgement of a call that has ended is nobody's.
        bg.ack(5, 1);
        assert.equal(bg.sent.filter((m) => m.ack !== undefined && m.method === undefined).length,
                     acks.length, what);
    }
});

// The table every reader of a site list is tested against: here the build's
// reading of each entry and list, and the rules' verdict on each origin (an
// origin no browser writes is refused).
test("the build and the rules agree with every row of the site table", () => {
    const rows = fs.readFileSync(path.join(source, "tests", "fixtures", "site_table.txt"), "utf8")
        .split("\n").map((line) => line.trim().split(/ +/)).filter((f) => f[0] && f[0][0] !== "#");
    let built = null;
    let origins = 0;
    for (const [kind, ...rest] of rows) {
        const item = rest[rest.length - 1];
        if (kind === "entry") {
            const read = spawnSync("python3", [
                path.join(source, "browser", "build_extension.py"), "sites", "--sites", item]);
            assert.equal(JSON.parse(read.stdout).length, rest[0] === "take" ? 1 : 0, item);
            assert.equal(read.status, rest[0] === "take" ? 0 : 1, item);
        } else if (kind === "sites") {
            built = buildFor(item);
        } else {
            assert.ok(["allow", "refuse", "unwritten"].includes(kind), kind);
            assert.equal(built.allowed(item), kind === "allow", kind + " " + item);
            origins++;
        }
    }
    assert.ok(origins > 30);
});
