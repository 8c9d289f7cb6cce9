// zarn.js's own thenable, which every page without Promise (every ActiveX
// page) runs on, against the Promises/A+ compliance suite: zarn.js is loaded
// into a context with no Promise, as in Internet Explorer.
//   node thenable.js ZARN_JS
"use strict";

const fs = require("fs");
const vm = require("vm");
const assert = require("node:assert/strict");
const aplus = require("promises-aplus-tests");

// In this very realm, so that the suite's TypeError is zarn.js's.
const NativePromise = Promise;
delete globalThis.Promise;
vm.runInThisContext(fs.readFileSync(process.argv[2], "utf8"), { filename: "zarn.js" });
const Zarn = globalThis.Zarn;

// The methods must hand out the fallback here, not some Promise.
const probe = Zarn.deferred();
assert.equal(typeof probe.promise.then, "function");
assert.equal(typeof probe.promise["catch"], "function");
assert.ok(!(probe.promise instanceof NativePromise));

const adapter = {
    deferred: () => Zarn.deferred(),
    resolved: (value) => {
        const d = Zarn.deferred();
        d.resolve(value);
        return d.promise;
    },
    rejected: (reason) => {
        const d = Zarn.deferred();
        d.reject(reason);
        return d.promise;
    },
};

// The suite's own timers run late on a loaded machine: a case waits for
// its callbacks far longer than mocha's default 200 ms before it fails.
aplus(adapter, { reporter: "dot", timeout: 10000 }, (error) => {
    if (error) {
        console.error("Promises/A+: " + (error.failures || error.message || error) + " failed");
        process.exit(1);
    }
    console.log("Promises/A+: every case passed");
});
