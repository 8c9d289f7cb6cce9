// A page in Chromium, through zarn.js, the extension and the bridge host
// under Wine: the main job on a fresh machine, the folder picker, the site
// rules and the faults a page can meet.
"use strict";

const { test, before, after } = require("node:test");
const assert = require("node:assert/strict");
const fs = require("fs");
const path = require("path");
const rig = require("./rig");

// The page's item list and its bytes in code page 949, with the terminator.
const items = "/\uB0B4 \uBB38\uC11C/\uBCF4\uACE0\uC11C.hwp|20480|/\uC0AC\uC9C4/\uC5EC\uB984.jpg|512000";
const items949 = "2fb3bb20b9aebcad2fbab8b0edbcad2e6877707c32303438307c2fbbe7c1f82fbfa9b8a72e6a70677c3531323030" +
    "3000";
// The folder scripts/demo-setup remembers for the folder browser.
const photos = "C:\\\uC0AC\uC9C4";
const trip = photos + "\\\uC5EC\uD589";

let browser;
before(async () => {
    rig.publishPages();
    browser = await rig.chromium();
});
after(async () => {
    if (browser) await browser.close();
    rig.leaveClean();
});

async function openPage(other) {
    const page = await browser.newPage();
    await page.goto(rig.url("page.html", other));
    return page;
}

test("the main job on a fresh machine: the update dialog, the installer, then the list", async () => {
    const page = await openPage();
    assert.equal(await page.evaluate(() => Zarn.open().kind), "extension");

    const hello = await rig.call(page, "hello");
    assert.equal(hello.result.protocol, rig.protocol.protocol.newest, JSON.stringify(hello));
    assert.match(hello.result.version, /^\d+\.\d+\.\d+\.\d+$/);
    assert.equal(hello.result.arch, process.env.ZARN_ARCH === "i686" ? "x86" : "x64");

    assert.ok(!fs.existsSync(rig.driveC(rig.installFolder + "Zarn_upload.exe")), "installed already");
    const upload = await rig.call(page, "UpLoad", ["zarnuser", "pa55word", items]);
    assert.deepEqual(upload, { result: 0, events: [] });
    assert.ok(fs.existsSync(rig.driveC(rig.installFolder + "Zarn_upload.exe")), "the installer ran");

    const record = rig.record();
    assert.equal(record.filter((l) => l.startsWith("upload start ")).length, 1, record.join("\n"));
    assert.deepEqual(record.filter((l) => /^upload arg [12] /.test(l)),
                     ["upload arg 1 zarnuser", "upload arg 2 pa55word"]);
    const lists = record.filter((l) => l.startsWith("upload list "));
    assert.equal(lists.length, 1, record.join("\n"));
    assert.match(lists[0], new RegExp(" bytes=" + items949 + "( |$)"));
    await page.close();
});

test("the folder picker: every item to the page's handler, in order, before the result", async () => {
    const page = await openPage();
    // A frame of the page's own site and one of another site: neither gets
    // the API, and what the other one posts into the page changes nothing.
    await page.evaluate((same, other) => Promise.all([same, other].map((src) => new Promise((done) => {
        const frame = document.createElement("iframe");
        frame.src = src;
        frame.onload = done;
        document.body.appendChild(frame);
    }))), rig.url("frame.html"), rig.url("frame.html", true));
    for (const frame of page.frames().filter((f) => f !== page.mainFrame())) {
        assert.deepEqual(await frame.evaluate(() => [kind, marked]), ["none", null], frame.url());
    }

    const picking = rig.call(page, "ShowDlgFolder");
    // While the picker is open, the other site's frame forges replies,
    // events and a request of its own.
    const other = page.frames().find((f) => f.url().startsWith(rig.otherSite));
    await other.evaluate(() => forge());
    const picked = await picking;
    const size = (p) => String(fs.statSync(rig.driveC(p)).size);
    assert.deepEqual(picked, {
        result: 0,
        events: [
            ["UpSelectComplete", photos, "-1", "-1"],
            ["UpSelectComplete", trip, "-1", photos],
            ["UpSelectComplete", trip + "\\\uBC14\uB2E4.jpg", size(trip + "\\\uBC14\uB2E4.jpg"), photos],
            ["UpSelectComplete", photos + "\\\uBA54\uBAA8.txt", size(photos + "\\\uBA54\uBAA8.txt"), photos],
        ],
    });
    // The forged request never reached the host: a call after it sees only
    // its own event.
    const after = await rig.call(page, "SelectComplete", ["C:\\a.txt", "1", "-1"]);
    assert.deepEqual(after, { result: 0, events: [["UpSelectComplete", "C:\\a.txt", "1", "-1"]] });
    const answers = await page.evaluate(() => answers);
    assert.equal(answers.filter((a) => a.includes("forged")).length, 0, answers.join("\n"));
    await page.close();
});

test("a text with half a character fails its own call alone; an open picker settles as usual", async () => {
    // After the folder picker's test, whose answer was the watcher's one
    // press: this picker stays open until pressed here.
    const page = await openPage();
    const picking = rig.call(page, "ShowDlgFolder");
    const half = await page.evaluate(() => {
        const z = window.zarnTest || (window.zarnTest = Zarn.open());
        return z.SelectComplete("photo " + String.fromCharCode(0xD83D), "1", "-1").then(
            (r) => "result " + r, (e) => e.code);
    });
    assert.equal(half, "bad-request");
    const pressed = rig.wine([path.join(rig.build, "dialogpress.exe"), "--process", "zarn-bridge.exe",
                              "\uC5C5\uB85C\uB4DC \uD558\uC2E4 \uD3F4\uB354\uB97C \uC120\uD0DD\uD558\uC138\uC694."]);
    const picked = await picking;
    assert.equal(picked.result, 0, JSON.stringify(picked) + pressed);
    assert.deepEqual(picked.events[0], ["UpSelectComplete", photos, "-1", "-1"]);
    await page.close();
});

test("site rules: no API on another site, refusals from the host, nothing written", async () => {
    const stranger = await openPage(true);
    assert.deepEqual(await stranger.evaluate(() => [Zarn.open().kind,
        document.documentElement.getAttribute("data-zarn-extension"),
        typeof chrome === "undefined" || !chrome.runtime || typeof chrome.runtime.connect !== "function"]),
        ["none", null, true]);
    // The extension is installed, but serves no other site: the page is
    // told that, not to install it.
    const refused = await rig.call(stranger, "SelectComplete", ["a", "1", "-1"]);
    assert.deepEqual([refused.error.code, refused.error.need], ["refused-site", "other-site"]);
    assert.ok(refused.error.isError);
    const strange = await rig.status(stranger);
    assert.deepEqual([strange.kind, strange.need, strange.link], ["none", "other-site", null]);
    await stranger.close();

    rig.removeShortcutFiles();
    const page = await openPage();
    // The page cannot name another origin for itself: the fields it adds
    // are not copied into the request.
    const shortcut = rig.otherSite + "/";
    const forged = await page.evaluate((target) => new Promise((done) => {
        window.addEventListener("message", (e) => {
            if (e.data && e.data.zarn === "reply" && e.data.id === 4242) done(e.data);
        });
        window.postMessage({ zarn: "request", id: 4242, method: "MakeShortCut", params: [target, "1"],
                             origin: target.replace(/\/$/, ""), host: "com.evil" }, location.origin);
    }), shortcut);
    assert.equal(forged.error && forged.error.code, "refused-site", JSON.stringify(forged));
    const made = await rig.call(page, "MakeShortCut", [shortcut, "1"]);
    assert.equal(made.error && made.error.code, "refused-site", JSON.stringify(made));
    assert.deepEqual(rig.shortcutFiles(), [], "nothing is written");
    const popup = await rig.call(page, "AllowPopUp", ["localhost"]);
    assert.equal(popup.error && popup.error.code, "refused-site", JSON.stringify(popup));
    // Over the 16 MiB a host reads: refused before it leaves the page's side.
    const huge = await page.evaluate(() => {
        const big = new Array(16 * 1024 * 1024 + 2).join("a");
        return Zarn.open().UpLoad("u", "p", big).then(() => "resolved", (e) => e.code);
    });
    assert.equal(huge, "too-large");
    // A handler that throws keeps no other handler from its event; its
    // error reaches the page afterwards, as an uncaught error.
    const isolated = await page.evaluate(() => new Promise((done) => {
        const z = Zarn.open(), seen = [];
        const check = () => { if (seen.length === 3) done(seen); };
        window.addEventListener("error", (e) => { seen.push("uncaught " + e.error.message); check(); });
        z.on("UpSelectComplete", () => { throw new Error("handler fault"); });
        z.on("UpSelectComplete", (path) => seen.push("event " + path));
        z.SelectComplete("x", "1", "-1").then((r) => { seen.push("result " + r); check(); });
    }));
    assert.equal(isolated[0], "event x");
    assert.deepEqual(isolated.slice(1).sort(), ["result 0", "uncaught handler fault"]);
    await page.close();
});

test("faults: a killed host, a page closed during the update, no host at all", async () => {
    // The host killed in the middle of a call: the page hears host-gone,
    // and its next call starts a new host.
    const page = await openPage();
    await rig.call(page, "hello");
    const waiting = page.evaluate(() => {
        window.fileDialog = Zarn.open().ShowDlgFile().then((r) => ({ result: r }),
                                                            (e) => ({ code: e.code, at: Date.now() }));
        return true;
    });
    await waiting;
    // The page's one host (those of the pages closed before have ended).
    await rig.waitFor(() => rig.hostProcesses().length === 1, 10000, "the page's one host");
    const hosts = rig.hostProcesses();
    const killed = Date.now();
    rig.kill(hosts);
    const gone = await page.evaluate(() => window.fileDialog);
    assert.equal(gone.code, "host-gone", JSON.stringify(gone));
    console.log("host-gone reached the page " + (gone.at - killed) + " ms after the kill");
    assert.ok(gone.at - killed < 2000, "host-gone came " + (gone.at - killed) + " ms after the kill");
    const again = await rig.call(page, "hello");
    assert.equal(again.result.protocol, rig.protocol.protocol.newest);
    await page.close();
    await rig.waitFor(() => rig.hostProcesses().length === 0, 10000, "the host's end");

    // The page closed while the update dialog waits for the installer it
    // started: the installation completes, and nothing of the host is left
    // running. (Chromium kills a host about 2 s after its port closes.)
    // The installer stays a few seconds after installing, so it is seen
    // running however busy the machine is.
    rig.forgetInstallation();
    rig.setupMode("delay:4000");
    const closing = await openPage();
    await closing.evaluate((items) => { Zarn.open().UpLoad("zarnuser", "pa55word", items); }, items);
    await rig.waitFor(() => rig.setupProcesses().length > 0, 60000, "the installer's start");
    await closing.close();
    await rig.waitFor(() => fs.existsSync(rig.driveC(rig.installFolder + "Zarn_upload.exe")) &&
                            fs.existsSync(rig.driveC(rig.installFolder + "Zarn_download.exe")),
                      60000, "the completed installation");
    await rig.waitFor(() => rig.hostProcesses().length === 0 && rig.setupProcesses().length === 0,
                      30000, "nothing of the host left running");
    rig.setupMode("");
    // With no page left, the list goes nowhere: no transfer program starts.
    assert.deepEqual(rig.wineProcesses("zarn_upload.exe"), []);

    // A browser with the extension but without the host.
    const bare = await rig.chromium({ host: null, profile: "chromium-nohost" });
    try {
        const lone = await bare.newPage();
        await lone.goto(rig.url("page.html"));
        const result = await rig.call(lone, "hello");
        assert.equal(result.error && result.error.code, "not-installed", JSON.stringify(result));
    } finally {
        await bare.close();
    }
});

test("the extension's limits: the cap on waiting calls, a host that allows fewer sites", async () => {
    // A stopped host answers nothing, so every call waits: past the 32 the
    // host runs at once the page hears busy at once, and once the host goes
    // on every waiting call is answered and the cap is free again.
    const page = await openPage();
    await rig.call(page, "hello");
    // Two clients of one page, calling at once: each answer reaches its own call.
    assert.deepEqual(await page.evaluate(() => {
        const a = Zarn.open(), b = Zarn.open();
        return Promise.all([a.SelectComplete("a", "1", "-1"), b.check(), b.SelectComplete("b", "1", "-1")])
            .then((r) => [r[0], r[1].ready, r[2]]);
    }), [0, true, 0]);
    await rig.waitFor(() => rig.hostProcesses().length === 1, 10000, "the page's one host");
    const hosts = rig.hostProcesses();
    rig.kill(hosts, "SIGSTOP");
    let over;
    try {
        await page.evaluate(() => {
            const z = Zarn.open();
            window.waiting = [];
            for (let i = 0; i < 33; i++)
                window.waiting.push(z.SelectComplete("item" + i, "1", "-1").then((r) => "result " + r,
                                                                               (e) => e.code));
            window.waiting[32].then((settled) => { window.over = settled; });
        });
        over = await rig.waitFor(() => page.evaluate(() => window.over), 10000, "the 33rd call's answer");
    } finally {
        rig.kill(hosts, "SIGCONT");
    }
    assert.equal(over, "busy");
    assert.deepEqual(await page.evaluate(() => Promise.all(window.waiting.slice(0, 32))),
                     new Array(32).fill("result 0"));
    assert.deepEqual(await rig.call(page, "SelectComplete", ["after", "1", "-1"]),
                     { result: 0, events: [["UpSelectComplete", "after", "1", "-1"]] });
    await page.close();

    // The extension lets in a site the host no longer allows (as when an
    // updated host narrows the list under pages the extension serves): the
    // call is refused-site and nothing else happens.
    const wide = await rig.chromium({ extension: rig.extensionFor(rig.site + ";" + rig.otherSite, "wide"),
                                      profile: "chromium-wide" });
    try {
        const other = await wide.newPage();
        await other.goto(rig.url("page.html", true));
        assert.equal(await other.evaluate(() => Zarn.open().kind), "extension");
        const mark = rig.requestMark(), before = rig.record().length;
        const refused = await rig.call(other, "UpLoad", ["zarnuser", "pa55word", items]);
        assert.equal(refused.error && refused.error.code, "refused-site", JSON.stringify(refused));
        assert.equal(refused.error.need, "other-site");
        const status = await rig.status(other);
        assert.deepEqual([status.ready, status.need, status.link], [false, "other-site", null]);
        // The page's own loads (its folder, the site's icon) aside.
        assert.deepEqual(rig.requestsSince(mark).filter((r) => !/\/browser\/|favicon/.test(r)), []);
        assert.equal(rig.record().length, before);
    } finally {
        await wide.close();
    }
});

test("one page, many lives: two clients, the back/forward cache, a sandboxed copy", async () => {
    const page = await openPage();
    assert.deepEqual(await rig.twoClients(page), rig.twoClientsSeen);

    // Left during a call and brought back from the back/forward cache: the
    // call has ended with host-gone, and the next call gets a new host.
    assert.deepEqual(await rig.leaveAndComeBack(page), { leaving: "host-gone", restored: true, after: 1 });
    // Written anew by its own script: still served.
    assert.equal(await rig.afterDocumentOpen(page), rig.protocol.protocol.newest);
    await page.close();

    // The site's page served sandboxed: its origin is opaque, so the
    // extension does not offer itself.
    const sandboxed = await browser.newPage();
    await sandboxed.setRequestInterception(true);
    sandboxed.on("request", async (request) => {
        if (!request.url().endsWith("page.html?sandboxed")) return request.continue();
        // zarn.js inline: an opaque origin may not load from the loopback.
        const served = await (await fetch(request.url())).text();
        const library = fs.readFileSync(path.join(rig.build, "zarn.js"), "utf8");
        request.respond({ status: 200, contentType: "text/html",
                          headers: { "Content-Security-Policy": "sandbox allow-scripts" },
                          body: served.replace('<script src="zarn.js"></script>',
                                               () => "<script>" + library + "</script>") });
    });
    await sandboxed.goto(rig.url("page.html?sandboxed"));
    assert.deepEqual(await sandboxed.evaluate(() => [window.origin, Zarn.open().kind,
                                                     document.documentElement.getAttribute("data-zarn-extension")]),
                     ["null", "none", null]);
    assert.equal((await rig.call(sandboxed, "SelectComplete", ["a", "1", "-1"])).error.code, "not-installed");
    await sandboxed.close();
});

// The build's links, by name, and the program's package for an architecture.
const links = Object.fromEntries(rig.buildLinks().split(";").map((e) => [e.split("=")[0], e.slice(e.indexOf("=") + 1)]));
const msi = (arch) => links.program.replace("{arch}", arch);

// The packaged sample page in `browser`: the status zarn.js gives, a call's
// error, and the zarn-status line once the page has shown one.
async function told(browser) {
    const page = await browser.newPage();
    await page.goto(rig.url("zarn.html"));
    const status = await rig.status(page);
    const call = await rig.call(page, "SelectComplete", ["C:\\a.txt", "1", "-1"]);
    const line = await rig.waitFor(async () => {
        const shown = await rig.statusLine(page);
        return shown.className && shown;
    }, 30000, "the page's status line");
    await page.close();
    return { status, error: call.error, line };
}

test("what a page is told: each status, a call's error and the sample page's line", async () => {
    // The build's host, ready.
    const ready = await told(browser);
    assert.equal(ready.status.ready, true, JSON.stringify(ready.status));
    assert.equal(ready.status.need, null);
    assert.equal(ready.status.kind, "extension");
    assert.deepEqual([ready.status.program.protocol, ready.status.program.minProtocol],
                     [rig.protocol.protocol.newest, rig.protocol.protocol.oldest]);
    assert.match(ready.status.program.version, /^\d+\.\d+\.\d+\.\d+$/);
    assert.match(ready.status.extension.version, /^\d+\.\d+\.\d+\.\d+$/);
    // Every piece's version: the page library's is the extension's, as one build made both.
    assert.equal(ready.status.library.version, ready.status.extension.version);
    assert.equal(ready.error, undefined);
    assert.deepEqual(ready.line, { text: ready.status.message, className: "ready", href: null });

    // A manifest that names another extension: the browser forbids it.
    const foreign = path.join(rig.scratch, "foreign-manifest.json");
    const manifest = JSON.parse(fs.readFileSync(path.join(rig.build, "zarn-bridge.json"), "utf8"));
    manifest.allowed_origins = ["chrome-extension://" + "a".repeat(32) + "/"];
    fs.writeFileSync(foreign, JSON.stringify(manifest));
    const rows = [
        // [what, host, need, the call's code, the link offered]
        ["no program", null, "program", "not-installed", msi("x64")],
        ["a program that ends before it answers", rig.standInHost("exit"), "program", "not-installed", msi("x64")],
        ["a program that never answers hello", rig.standInHost("silent"), "program", "not-installed", msi("x64")],
        ["an older program (no minProtocol)", rig.standInHost("range::0"), "program-update", "version-mismatch",
         msi("x86")],
        ["a newer program", rig.standInHost("range:" + (rig.protocol.protocol.newest + 1) + ":" +
                                           (rig.protocol.protocol.newest + 2)), "extension-update", "version-mismatch", links.chrome],
        ["a newer program that still speaks ours", rig.standInHost("range:1:4"), null, "bad-request", null],
        ["a manifest for another extension", { exe: rig.hostExe, manifest: foreign }, "admin", "not-installed",
         null],
    ];
    for (const [what, host, need, code, href] of rows) {
        const other = await rig.chromium({ host: host, profile: "chromium-told" });
        let seen;
        try {
            seen = await told(other);
        } finally {
            await other.close();
        }
        const about = what + ": " + JSON.stringify(seen);
        assert.equal(seen.status.need, need, about);
        assert.equal(seen.status.ready, need === null, about);
        assert.equal(seen.status.extension.version, ready.status.extension.version, about);
        assert.deepEqual([seen.error.code, seen.error.need], [code, need], about);
        assert.deepEqual(seen.line, { text: seen.status.message + (href ? " " + seen.status.link.text : ""),
                                      className: need ? "missing" : "ready", href: href }, about);
    }
    // The program registered for another extension, then for this one: the
    // page, which names both causes, turns live without a reload.
    const fixed = await rig.chromium({ host: { exe: rig.hostExe, manifest: foreign }, profile: "chromium-told" });
    try {
        const page = await fixed.newPage();
        await page.goto(rig.url("zarn.html"));
        await page.evaluate(() => { window.notReloaded = true; });
        const forbidden = await rig.waitFor(async () => {
            const shown = await rig.statusLine(page);
            return shown.className === "missing" && shown;
        }, 30000, "the forbidden state");
        assert.match(forbidden.text, /another Zarn extension/);
        assert.match(forbidden.text, /--diagnose/);
        rig.registerChromiumHost("chromium-told");
        await rig.waitFor(async () => (await rig.statusLine(page)).className === "ready", 30000,
                          "the page live once the program allows this extension");
        assert.equal(await page.evaluate(() => window.notReloaded), true);
    } finally {
        await fixed.close();
    }
});

test("languages: the extension, the sample page and a call's error in a Korean and an English Chromium", async () => {
    // Without the program: every page offers a link, and a call fails.
    for (const lang of ["ko", "en"]) {
        const other = await rig.chromium({ host: null, profile: "chromium-" + lang, lang: lang });
        try {
            rig.checkLanguage(await rig.whatPersonReads(other, "chromium"), lang, assert);
        } finally {
            await other.close();
        }
    }
});

test("turning live: the program registered, then the extension installed, under open pages", async () => {
    const waitLine = (page, className) => rig.waitFor(async () => {
        const shown = await rig.statusLine(page);
        return shown.className === className && shown;
    }, 30000, "the status line " + className);

    const live = await rig.chromium({ host: null, profile: "chromium-live" });
    try {
        const page = await live.newPage();
        await page.goto(rig.url("zarn.html"));
        await page.evaluate(() => { window.notReloaded = true; });
        assert.equal((await waitLine(page, "missing")).href, msi("x64"));
        rig.registerChromiumHost("chromium-live");
        await waitLine(page, "ready");
        assert.equal(await page.evaluate(() => window.notReloaded), true);
        assert.deepEqual(await rig.call(page, "SelectComplete", ["live", "1", "-1"]),
                         { result: 0, events: [["UpSelectComplete", "live", "1", "-1"]] });
    } finally {
        await live.close();
    }

    const bare = await rig.chromium({ extension: false, profile: "chromium-install" });
    try {
        const page = await bare.newPage();
        await page.goto(rig.url("zarn.html"));
        await page.evaluate(() => { window.notReloaded = true; });
        // An element named like a mark the content script could keep on the
        // window: named access must not reach what the copy looks for.
        await page.evaluate(() => {
            for (const name of ["zarnContentScript", "ZarnProtocol", "ZarnRules", "ZARN_SITES"]) {
                const element = document.createElement("div");
                element.id = name;
                document.body.appendChild(element);
            }
        });
        const none = await rig.status(page);
        assert.deepEqual([none.kind, none.need, none.link.href], ["none", "extension", links.chrome]);
        assert.equal((await waitLine(page, "missing")).href, links.chrome);
        await bare.installExtension(path.join(rig.build, "extension", "chromium"));
        await waitLine(page, "ready");
        assert.equal(await page.evaluate(() => window.notReloaded), true);
        assert.equal(await rig.repliesToOneRequest(page), 1);
        // The welcome page finds the program too.
        const welcome = await rig.welcomePage(bare);
        const shown = await rig.waitFor(() => welcome.evaluate(() => document.body.className === "ready" &&
            [document.getElementById("extension-state").textContent,
             document.getElementById("program-state").textContent]), 30000, "the welcome page's status");
        assert.match(shown[0], /^\d+\.\d+\.\d+\.\d+$/);
        assert.match(shown[1], /^\d+\.\d+\.\d+\.\d+ \(x(64|86)\)$/);
        // The toolbar's popup, opened as a tab of its own: the same versions,
        // and its own tab is no site of the service.
        const popup = await bare.newPage();
        await popup.goto("chrome-extension://" + rig.readIds().chromium + "/popup.html");
        const inPopup = await rig.waitFor(() => popup.evaluate(() => document.body.className === "ready" &&
            ["extension-state", "program-state", "site-state"].map((id) => document.getElementById(id).textContent)),
            30000, "the popup's status");
        assert.deepEqual(inPopup, shown.concat(["not a site of the Zarn service"]));
        // The ID a person compares with the IDs the program allows.
        assert.equal(await popup.evaluate(() => document.getElementById("id-state").textContent),
                     rig.readIds().chromium);
    } finally {
        await bare.close();
    }
});

test("the packaged sample page, button by button", async () => {
    rig.removeShortcutFiles();
    const page = await browser.newPage();
    await page.goto(rig.url("zarn.html"));
    await rig.waitFor(async () => (await rig.statusLine(page)).className === "ready", 30000, "a live page");
    rig.checkClicks(await rig.clickSamplePage(page), assert);
    assert.ok(rig.shortcutFiles().length > 0, "MakeShortCut made its shortcut");
    rig.removeShortcutFiles();
    await page.close();
});
