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

const source = path.resolve(__dirname, "..", "..");
const key = process.env.ZARN_EXTENSION_KEY;

function buildFor(sites) {
    const out = fs.mkdtempSync(path.join(os.tmpdir(), "zarn-extension-"));
    execFileSync("python3", [path.join(source, "browser", "build_extension.py"), "build",
        "--source", path.join(source, "browser", "extension"), "--out", out, "--sites", sites,
        "--key", key, "--version", path.join(source, "resources", "version.h"),
        "--gecko-id", "bridge@zarn.example"], { stdio: "pipe" });
    const read = (browser, name) => fs.readFileSync(path.join(out, browser, name), "utf8");
    const context = { URL };  // the browsers' own URL parser
    vm.createContext(context);
    vm.runInContext(read("chromium", "sites.js") + read("chromium", "rules.js") +
                    ";this.allowed = (o) => ZarnRules.allowedOrigin(o, ZARN_SITES);", context);
    const built = {
        chromium: JSON.parse(read("chromium", "manifest.json")),
        firefox: JSON.parse(read("firefox", "manifest.json")),
        allowed: context.allowed,
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
