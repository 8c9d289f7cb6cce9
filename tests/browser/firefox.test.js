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
    assert.equal(hello.result.protocol, 1, JSON.stringify(hello));

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
    assert.deepEqual(await rig.leaveAndComeBack(page), { leaving: "host-gone", restored: true, after: 1 });
    await page.close();
});
