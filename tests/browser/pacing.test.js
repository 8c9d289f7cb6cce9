// zarn.js on the extension's channel, under Node.js with a stand-in window:
// a large batch of events runs a slice at a time, the page getting its turn
// between slices, with every event, in order, before the call's result, and
// only to the client that made the call.
//   ZARN_JS=... node --test pacing.test.js
"use strict";

const { test } = require("node:test");
const assert = require("node:assert/strict");
const fs = require("fs");
const vm = require("vm");

const origin = "https://www.zarn.example";

function page() {
    const listeners = [];
    const sent = [];
    const context = vm.createContext({
        setTimeout, performance, crypto,
        location: { origin: origin },
        document: { documentElement: { getAttribute: (name) => name === "data-zarn-extension" ? "1" : null } },
        addEventListener: (type, listener) => { if (type === "message") listeners.push(listener); },
        postMessage: (data) => sent.push(data),
    });
    vm.runInContext(fs.readFileSync(process.env.ZARN_JS, "utf8"), context, { filename: "zarn.js" });
    const self = vm.runInContext("this", context);
    return {
        Zarn: vm.runInContext("Zarn", context), sent,
        deliver: (data) => listeners.forEach((l) => l({ source: self, origin: origin, data: data })),
    };
}

function busy(ms) {
    const end = performance.now() + ms;
    while (performance.now() < end);
}

test("a batch of slow events runs in slices, in order, before the result, to its client only", async () => {
    const p = page();
    const mine = p.Zarn.open(), other = p.Zarn.open();
    assert.equal(mine.kind, "extension");
    const seen = [], strayed = [];
    mine.on("UpSelectComplete", (path) => { busy(1); seen.push(path); });
    other.on("UpSelectComplete", (path) => strayed.push(path));
    const call = mine.ShowDlgFolder().then((result) => seen.push("result " + result));
    other.ShowDlgFolder();
    const [request, otherRequest] = p.sent;
    assert.notEqual(request.client, otherRequest.client);
    assert.equal(request.id, otherRequest.id);

    const count = 60;
    const list = [];
    for (let i = 0; i < count; i++) list.push([request.id, "UpSelectComplete", ["item" + i, "1", "-1"]]);
    // The page's own work, queued before the events arrive: it runs
    // between two slices, not after all of them.
    let atTurn = -1;
    setTimeout(() => { atTurn = seen.length; }, 0);
    p.deliver({ zarn: "events", client: request.client, list: list.slice(0, 30) });
    p.deliver({ zarn: "events", client: request.client, list: list.slice(30) });
    p.deliver({ zarn: "reply", client: request.client, id: request.id, result: 0 });
    // Another client's reply with the same id is not this call's.
    p.deliver({ zarn: "reply", client: otherRequest.client, id: request.id, result: 5 });
    await call;
    assert.ok(atTurn > 0 && atTurn < count, "the page's turn came after " + atTurn + " of " + count + " events");
    assert.deepEqual(seen, list.map((e) => e[2][0]).concat(["result 0"]));
    assert.deepEqual(strayed, []);
});

test("events run are acknowledged per call that asked; unmarked replies are nobody's; a gone port fails every call", async () => {
    const p = page();
    const z = p.Zarn.open();
    const seen = [];
    z.on("UpSelectComplete", (path) => { busy(1); seen.push(path); });
    const walk = z.ShowDlgFolder();
    const quick = z.AllowPopUp("127.0.0.1");
    const [request, quickRequest] = p.sent;
    // A call that fires events asks to acknowledge them; one that does not, does not.
    assert.equal(request.ack, true);
    assert.equal(quickRequest.ack, false);

    const list = [];
    for (let i = 0; i < 40; i++) list.push([request.id, "UpSelectComplete", ["item" + i, "1", "-1"]]);
    p.deliver({ zarn: "events", client: request.client, list: list });
    await new Promise((resolve) => {
        const poll = () => (seen.length === 40 ? resolve() : setTimeout(poll, 1));
        poll();
    });
    const acks = p.sent.filter((m) => m.zarn === "ack");
    assert.ok(acks.length > 1, "one acknowledgement a slice, not one at the end: " + acks.length);
    assert.ok(acks.every((m) => m.client === request.client && m.id === request.id));
    assert.equal(acks.reduce((sum, m) => sum + m.count, 0), 40);

    // A reply without the client's mark, as another script of the page
    // could post it, settles nothing.
    let settled = false;
    quick.then(() => { settled = true; }, () => { settled = true; });
    p.deliver({ zarn: "reply", id: quickRequest.id, result: 0 });
    await new Promise((resolve) => setTimeout(resolve, 20));
    assert.equal(settled, false);

    // The port is gone: every call still waiting fails with host-gone.
    p.deliver({ zarn: "gone", client: request.client });
    for (const call of [walk, quick]) {
        await assert.rejects(call, (e) => e.code === "host-gone" && e.need === null);
    }
});
