// The same page in Firefox ESR, with the extension as a temporary add-on
// and the host named by the build's Firefox host manifest.
"use strict";

const { test, before, after } = require("node:test");
const assert = require("node:assert/strict");
const rig = require("./rig");

let browser;
before(async () => {
    rig.publishPages();
    browser = await rig.firefox();
});
after(async () => {
    if (browser) await browser.close();
    rig.leaveClean();
});

test("Firefox: hello, a selection with its event, a pop-up entry, a refusal", async () => {
    const page = await browser.newPage();
    await page.goto(rig.url("page.html"));
    assert.equal(await page.evaluate(() => Zarn.open().kind), "extension");

    const hello = await rig.call(page, "hello");
    assert.equal(hello.result.protocol, rig.protocol.protocol.newest, JSON.stringify(hello));

    const path = "C:\\\uBB38\uC11C\\\uBCF4\uACE0\uC11C.txt";  // C:\문서\보고서.txt
    assert.deepEqual(await rig.call(page, "SelectComplete", [path, "1234", "-1"]),
                     { result: 0, events: [["UpSelectComplete", path, "1234", "-1"]] });

    // The browser keeps a pop-up allow list for this user (scripts/demo-setup
    // makes it); the page's own host goes on it.
    const host = new URL(rig.site).hostname;
    const allowed = await rig.call(page, "AllowPopUp", [host]);
    assert.deepEqual(allowed, { result: 0, events: [] });
    assert.match(rig.wine(["reg", "query", rig.popUpKey, "/v", host]), /REG_/);

    const refused = await rig.call(page, "AllowPopUp", ["localhost"]);
    assert.equal(refused.error && refused.error.code, "refused-site", JSON.stringify(refused));
    assert.doesNotMatch(rig.wine(["reg", "query", rig.popUpKey, "/v", "localhost"]), /REG_/);
    await page.close();
});

test("Firefox: two clients of one page, each with only its own replies and events; the back/forward cache", async () => {
    const page = await browser.newPage();
    await page.goto(rig.url("page.html"));
    assert.deepEqual(await rig.twoClients(page), rig.twoClientsSeen);

    // Left during a call and brought back from the back/forward cache: the
    // call has ended with host-gone, and the next call gets a new host.
    // Firefox's cache does not always take the page; then the page is
    // loaded anew and only the call after can be judged.
    const back = await rig.leaveAndComeBack(page);
    if (back.restored === false) {
        console.log("Firefox loaded the page anew, not from its back/forward cache");
        assert.deepEqual(back, { leaving: null, restored: false, after: 1 });
    } else {
        assert.deepEqual(back, { leaving: "host-gone", restored: true, after: 1 });
    }
    // Written anew by its own script: still served.
    assert.equal(await rig.afterDocumentOpen(page), rig.protocol.protocol.newest);
    await page.close();
});

test("Firefox: each status a page is told, turning live on installation, the sample page clicked", async () => {
    const links = Object.fromEntries(rig.buildLinks().split(";").map((e) => [e.split("=")[0], e.slice(e.indexOf("=") + 1)]));
    const msi = (arch) => links.program.replace("{arch}", arch);
    const line = (page, className) => rig.waitFor(async () => {
        const shown = await rig.statusLine(page);
        return (className ? shown.className === className : shown.className) && shown;
    }, 30000, "the status line " + (className || ""));

    const rows = [
        // [what, host, need, the call's code, the link offered]
        ["no program", null, "program", "not-installed", msi("x64")],
        ["an older program", rig.standInHost("range::0"), "program-update", "version-mismatch", msi("x86")],
        ["a newer program", rig.standInHost("range:" + (rig.protocol.protocol.newest + 1) + ":" +
                                           (rig.protocol.protocol.newest + 2)), "extension-update", "version-mismatch", links.firefox],
    ];
    for (const [what, host, need, code, href] of rows) {
        const other = await rig.firefox({ host: host, home: "firefox-told" });
        try {
            const page = await other.newPage();
            await page.goto(rig.url("zarn.html"));
            const status = await rig.status(page);
            const call = await rig.call(page, "SelectComplete", ["C:\\a.txt", "1", "-1"]);
            const shown = await line(page);
            const about = what + ": " + JSON.stringify([status, call, shown]);
            assert.deepEqual([status.ready, status.need, call.error.code, call.error.need], [false, need, code, need],
                             about);
            assert.deepEqual(shown, { text: status.message + " " + status.link.text, className: "missing", href: href },
                             about);
        } finally {
            await other.close();
        }
    }

    // The extension installed under an open page of the service.
    const bare = await rig.firefox({ install: false, home: "firefox-install" });
    try {
        const page = await bare.newPage();
        await page.goto(rig.url("zarn.html"));
        await page.evaluate(() => { window.notReloaded = true; });
        assert.equal((await line(page, "missing")).href, links.firefox);
        await bare.installExtension(require("path").join(rig.build, "extension", "firefox"));
        await line(page, "ready");
        assert.equal(await page.evaluate(() => window.notReloaded), true);
        // Firefox's own copy of the content script and the background's.
        assert.equal(await rig.repliesToOneRequest(page), 1);
    } finally {
        await bare.close();
    }

    // The suite's browser, ready: its status, then every button.
    rig.removeShortcutFiles();
    const page = await browser.newPage();
    await page.goto(rig.url("zarn.html"));
    await line(page, "ready");
    const status = await rig.status(page);
    assert.deepEqual([status.ready, status.need, status.program.protocol, status.program.minProtocol],
                     [true, null, rig.protocol.protocol.newest, rig.protocol.protocol.oldest],
                     JSON.stringify(status));
    rig.checkClicks(await rig.clickSamplePage(page), assert);
    rig.removeShortcutFiles();
    await page.close();
});

test("Firefox: the extension, the sample page and a call's error in a Korean and an English Firefox", async () => {
    for (const lang of ["ko", "en"]) {
        const other = await rig.firefox({ host: null, home: "firefox-" + lang, lang: lang });
        try {
            rig.checkLanguage(await rig.whatPersonReads(other, "firefox"), lang, assert);
        } finally {
            await other.close();
        }
    }
});
