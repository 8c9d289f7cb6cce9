// What the browser suites share: the system's Chromium and Firefox ESR with
// the build's extension loaded, the host started under Wine through a
// wrapper that execs it, the test pages served by the update server
// stand-in (the allowed site) and the Wine prefix's files.
"use strict";

const fs = require("fs");
const path = require("path");
const { spawn, spawnSync } = require("child_process");
const puppeteer = require("puppeteer-core");

const env = process.env;
const build = env.ZARN_BUILD_DIR_UNIX;
const source = env.ZARN_SOURCE_DIR_UNIX;
if (!build || !source || !env.WINEPREFIX || !env.ZARN_WINE)
    throw new Error("run through CTest: the build, the source and the Wine prefix are unknown");

const scratch = path.join(build, "scratch", "browser");
const server = env.ZARN_UPDATE_SERVER.replace(/\/+$/, "");
// The site's pages; the disallowed site is the same server by another name.
const site = server;
const otherSite = server.replace("//127.0.0.1", "//localhost");
const pagesUrl = "/append/application/browser/";

function readIds() {
    const text = fs.readFileSync(path.join(build, "extension", "ids.txt"), "utf8");
    return { chromium: /^chromium (\S+)/m.exec(text)[1], firefox: /^firefox (\S+)/m.exec(text)[1] };
}

// The test pages and zarn.js, published on the update server stand-in.
function publishPages() {
    const out = path.join(env.ZARN_WEBROOT, "browser");
    fs.mkdirSync(out, { recursive: true });
    for (const name of fs.readdirSync(path.join(source, "tests", "browser", "pages")))
        fs.copyFileSync(path.join(source, "tests", "browser", "pages", name), path.join(out, name));
    fs.copyFileSync(path.join(build, "zarn.js"), path.join(out, "zarn.js"));
}

function url(name, other) {
    return (other ? otherSite : site) + pagesUrl + name;
}

// A wrapper the host manifest names: it execs Wine's loader with the test
// prefix's environment, so a browser's kill reaches the host itself.
function hostWrapper(exe, name) {
    fs.mkdirSync(scratch, { recursive: true });
    const keep = ["WINEPREFIX", "WINEARCH", "WINEDEBUG", "WINEDLLOVERRIDES", "HOME", "LC_ALL",
                  "LOCPATH", "DISPLAY", "XAUTHORITY", "ZARN_TRANSFER_RECORD",
                  "ZARN_TRANSFER_LIFETIME_MS", "ZARN_SETUP_LOG"];
    const lines = ["#!/bin/sh"];
    for (const name of keep)
        if (env[name] !== undefined) lines.push("export " + name + "='" + env[name].replace(/'/g, "'\\''") + "'");
    // The installer stand-in's mode, read at each start (see setupMode).
    lines.push("export ZARN_SETUP_MODE=\"$(cat '" + setupModeFile + "' 2>/dev/null)\"");
    lines.push("exec '" + env.ZARN_WINE + "' '" + exe + "' \"$@\"");
    const file = path.join(scratch, name + ".sh");
    fs.writeFileSync(file, lines.join("\n") + "\n", { mode: 0o755 });
    return file;
}

// The host manifest of the build, with the wrapper as the program: the
// extensions it lets in are the ones the build wrote.
function hostManifest(buildManifest, wrapper) {
    const manifest = JSON.parse(fs.readFileSync(path.join(build, buildManifest), "utf8"));
    manifest.path = wrapper;
    return JSON.stringify(manifest, null, 2);
}

const hostExe = path.join(build, "zarn-bridge.exe");

// The build's Chromium extension rebuilt for another site list, with the
// build's key (so with its ID, which the host manifest lets in).
function extensionFor(sites, name) {
    const cache = fs.readFileSync(path.join(build, "CMakeCache.txt"), "utf8");
    const key = /^ZARN_EXTENSION_KEY:\w+=(.*)$/m.exec(cache)[1];
    const out = path.join(scratch, name);
    fs.rmSync(out, { recursive: true, force: true });
    spawnSync("python3", [path.join(source, "browser", "build_extension.py"), "build",
        "--source", path.join(source, "browser", "extension"), "--out", out, "--sites", sites,
        "--key", key, "--version", path.join(source, "resources", "version.h"),
        "--gecko-id", readIds().firefox], { stdio: "inherit" });
    return path.join(out, "chromium");
}

// Chromium with the extension. host: null (no host installed), or
// { exe, manifest } for a host program and the build manifest to copy.
async function chromium(options) {
    options = options || {};
    const extension = options.extension || path.join(build, "extension", "chromium");
    const profile = path.join(scratch, options.profile || "chromium");
    fs.rmSync(profile, { recursive: true, force: true });
    fs.mkdirSync(path.join(profile, "NativeMessagingHosts"), { recursive: true });
    if (options.host !== null) {
        const host = options.host || { exe: hostExe, manifest: "zarn-bridge.json" };
        fs.writeFileSync(path.join(profile, "NativeMessagingHosts", "com.zarn.bridge.json"),
                         // A wrapper of its own per profile: two browsers side by side
                         // (the real host and the bare echo) must not share one.
                         hostManifest(host.manifest, hostWrapper(host.exe, "host-" + (options.profile || "chromium"))));
    }
    return puppeteer.launch({
        executablePath: "/usr/lib/chromium/chromium",
        headless: true,
        pipe: true,
        userDataDir: profile,
        ignoreDefaultArgs: ["--disable-extensions"],
        args: ["--no-sandbox", "--load-extension=" + extension,
               "--disable-extensions-except=" + extension, "--no-first-run"],
        env: Object.assign({}, env),
    });
}

// Firefox ESR with the extension as a temporary add-on; its host manifests
// are read from $HOME/.mozilla/native-messaging-hosts.
async function firefox(options) {
    options = options || {};
    const home = path.join(scratch, "firefox-home");
    const hosts = path.join(home, ".mozilla", "native-messaging-hosts");
    fs.rmSync(home, { recursive: true, force: true });
    fs.mkdirSync(hosts, { recursive: true });
    if (options.host !== null) {
        fs.writeFileSync(path.join(hosts, "com.zarn.bridge.json"),
                         hostManifest("zarn-bridge.firefox.json", hostWrapper(hostExe, "host-firefox")));
    }
    const browser = await puppeteer.launch({
        browser: "firefox",
        executablePath: "/usr/bin/firefox-esr",
        headless: true,
        env: Object.assign({}, env, { HOME: home }),
    });
    await browser.installExtension(path.join(build, "extension", "firefox"));
    return browser;
}

// Waits for `condition` (a function, possibly async) to give a true value;
// throws with `what` when it has not within `ms`.
async function waitFor(condition, ms, what) {
    const end = Date.now() + ms;
    for (;;) {
        const value = await condition();
        if (value) return value;
        if (Date.now() > end)
            throw new Error("gave up waiting for " + what + "; Wine processes:\n" +
                            wineProcesses(".exe").join("\n"));
        await new Promise((resolve) => setTimeout(resolve, 50));
    }
}

// A page's calls through zarn.js: run(page, method, args) resolves to
// { result } or { error: {code, message} } plus the events seen during it,
// in order, with "settled" marking where the result arrived.
async function call(page, method, args) {
    return page.evaluate(function (method, args) {
        var z = window.zarnTest || (window.zarnTest = Zarn.open());
        var seen = [];
        var handler = function (p, s, m) { seen.push(["UpSelectComplete", p, s, m]); };
        z.on("UpSelectComplete", handler);
        return z[method].apply(z, args).then(function (result) {
            z.off("UpSelectComplete", handler);
            return { result: result, events: seen };
        }, function (error) {
            z.off("UpSelectComplete", handler);
            return { error: { code: error.code, message: error.message, isError: error instanceof Error },
                     events: seen };
        });
    }, method, args || []);
}

// Two clients of one page whose calls overlap, and requests the content
// script must answer although they cannot be calls. Resolves to what each
// client saw, or throws when anything is left unanswered.
async function twoClients(page) {
    await page.evaluate(() => {
        const a = Zarn.open(), b = Zarn.open();
        const seen = { a: [], b: [], raw: [] };
        a.on("UpSelectComplete", (path) => seen.a.push("event " + path));
        b.on("UpSelectComplete", (path) => seen.b.push("event " + path));
        const result = (who, what) => (r) => seen[who].push(what + " " + (r && r.protocol ? "hello" : r));
        const error = (who, what) => (e) => seen[who].push(what + " " + e.code);
        // Both number their calls from 1 and call at once.
        const calls = [
            a.SelectComplete("A1", "1", "-1").then(result("a", "A1"), error("a", "A1")),
            b.SelectComplete("B1", "1", "-1").then(result("b", "B1"), error("b", "B1")),
            a.hello().then(result("a", "hello"), error("a", "hello")),
            b.SelectComplete("B2", "1", "-1").then(result("b", "B2"), error("b", "B2")),
        ];
        // A script that repeats an id its client waits on, and one whose id
        // is no id: each hears a refusal, and the first call still ends.
        window.addEventListener("message", (e) => {
            if (e.source === window && e.data && e.data.client === "raw" && e.data.zarn === "reply")
                seen.raw.push(e.data.id + " " + (e.data.error ? e.data.error.code : e.data.result) +
                              (e.data.duplicate ? " duplicate" : ""));
        });
        for (const id of [7, 7, "x"])
            window.postMessage({ zarn: "request", client: "raw", id: id, method: "SelectComplete",
                                 params: ["raw", "1", "-1"] }, location.origin);
        window.twoClients = { seen: seen, done: false };
        Promise.all(calls).then(() => { window.twoClients.done = true; });
    });
    try {
        await waitFor(() => page.evaluate(() => window.twoClients.done && window.twoClients.seen.raw.length === 3),
                      30000, "every call of both clients answered");
    } catch (e) {
        e.message += "; seen: " + JSON.stringify(await page.evaluate(() => window.twoClients.seen));
        throw e;
    }
    const seen = await page.evaluate(() => window.twoClients.seen);
    // Calls of one client may end in any order, but a call's event always
    // comes before its result.
    const late = [];
    for (const who of ["a", "b"])
        for (const line of seen[who])
            if (/^event /.test(line) && seen[who].indexOf(line.slice(6) + " 0") < seen[who].indexOf(line))
                late.push(who + ": " + line);
    return { a: seen.a.slice().sort(), b: seen.b.slice().sort(), raw: seen.raw.slice().sort(), late: late };
}

// A page left during a call (a file picker that stays open) and brought
// back with Back. Resolves to how the call ended, whether the page came back
// from the back/forward cache, and the protocol of a call made after.
async function leaveAndComeBack(page) {
    await page.evaluate(() => {
        window.addEventListener("pageshow", (e) => { window.restored = e.persisted; });
        window.leaving = null;
        Zarn.open().ShowDlgFile().then((r) => { window.leaving = "result " + r; },
                                        (e) => { window.leaving = e.code; });
    });
    await page.goto(url("frame.html"));
    // Not page.goBack(): a page restored from the cache fires no load event.
    await page.evaluate(() => { history.back(); });
    const state = async () => {
        try {
            return await page.evaluate(() => ({ leaving: window.leaving, restored: window.restored }));
        } catch (e) {
            return {};  // the document changes under the evaluation
        }
    };
    let back;
    try {
        back = await waitFor(async () => {
            const now = await state();
            return now.restored !== undefined && now.leaving && now;
        }, 15000, "the page back, its call ended");
    } catch (e) {
        e.message += "; the page: " + JSON.stringify(await state());
        throw e;
    }
    back.after = (await call(page, "hello")).result.protocol;
    return back;
}

// What rig.twoClients gives when every answer reaches the one that asked.
const twoClientsSeen = {
    a: ["A1 0", "event A1", "hello hello"],
    b: ["B1 0", "B2 0", "event B1", "event B2"],
    raw: ["7 0", "7 bad-request duplicate", "null bad-request"],
    late: [],
};

// The prefix's file at a C: path.
function driveC(windowsPath) {
    return path.join(env.WINEPREFIX, "drive_c", windowsPath.replace(/^C:\\/i, "").replace(/\\/g, "/"));
}

// Runs a Windows program of the prefix and returns its output.
function wine(args) {
    const done = spawnSync(env.ZARN_WINE, args, { encoding: "utf8", env: env, timeout: 60000 });
    return (done.stdout || "") + (done.stderr || "");
}

// Live Wine processes of this prefix whose command line names `name`, as
// "pid command line" (other prefixes on the machine are not this run's;
// an exited process not yet reaped has no command line left).
function wineProcesses(name) {
    const found = [];
    for (const pid of fs.readdirSync("/proc").filter((p) => /^\d+$/.test(p))) {
        let command, environment;
        try {
            command = fs.readFileSync("/proc/" + pid + "/cmdline", "utf8").replace(/\0/g, " ").trim();
            if (!command.toLowerCase().includes(name.toLowerCase())) continue;
            environment = fs.readFileSync("/proc/" + pid + "/environ", "utf8").split("\0");
        } catch (e) {
            continue;  // gone meanwhile
        }
        if (environment.includes("WINEPREFIX=" + env.WINEPREFIX)) found.push(pid + " " + command);
    }
    return found;
}

// The install folder of every build: the 32-bit program-files folder.
const installFolder = "C:\\Program Files (x86)\\Zarn\\";

// The transfer stand-ins' record (ZARN_TRANSFER_RECORD), as lines.
function record() {
    const file = driveC(env.ZARN_TRANSFER_RECORD || "C:\\demo-received.txt");
    return fs.existsSync(file) ? fs.readFileSync(file, "utf8").split(/\r?\n/).filter(Boolean) : [];
}

function userFolders() {
    const users = path.join(env.WINEPREFIX, "drive_c", "users");
    return fs.readdirSync(users).filter((u) => u !== "Public").map((u) => path.join(users, u));
}

// Where MakeShortCut writes: the desktop shortcut and the files it points at.
function desktopShortcut() {
    return path.join(env.HOME, "Desktop", "Zarn.lnk");
}
function shortcutFiles() {
    const found = [desktopShortcut()];
    for (const user of userFolders()) {
        found.push(path.join(user, "Desktop", "Zarn.lnk"));
        found.push(path.join(user, "AppData", "Local", "Temp", "Zarn", "Zarn.url"));
    }
    return found.filter((f) => fs.existsSync(f));
}

function removeShortcutFiles() {
    for (const file of shortcutFiles()) fs.rmSync(file, { force: true });
}

function hostProcesses() {
    return wineProcesses("zarn-bridge.exe");
}
function setupProcesses() {
    return wineProcesses("zarn_setup.exe");
}
function kill(lines, signal) {
    for (const line of lines) {
        try {
            process.kill(Number(line.trim().split(/\s+/)[0]), signal || "SIGKILL");
        } catch (e) {
            // Gone already.
        }
    }
}

// The browser's pop-up allow list that AllowPopUp adds to.
const popUpKey = "HKCU\\Software\\Microsoft\\Internet Explorer\\New Windows\\Allow";

function installedVersion() {
    return /version\s+REG_SZ/.test(wine(["reg", "query", "HKCU\\Software\\Zarn", "/v", "version"]));
}

// A machine without the transfer programs again.
// What the installer stand-in that the next hosts start does (its
// ZARN_SETUP_MODE); empty for its default.
const setupModeFile = path.join(scratch, "setup-mode");
function setupMode(mode) {
    fs.mkdirSync(scratch, { recursive: true });
    fs.writeFileSync(setupModeFile, mode || "");
}

function forgetInstallation() {
    wine(["taskkill", "/f", "/im", "Zarn_upload.exe"]);
    wine(["taskkill", "/f", "/im", "Zarn_download.exe"]);
    fs.rmSync(driveC(installFolder), { recursive: true, force: true });
    wine(["reg", "delete", "HKCU\\Software\\Zarn", "/v", "version", "/f"]);
    wine(["reg", "delete", "HKCU\\Software\\Zarn", "/v", "release", "/f"]);
}

// The prefix as the other suites expect it: no transfer programs running or
// installed, no settings, no host.
function leaveClean() {
    kill(hostProcesses());
    forgetInstallation();
    wine(["reg", "delete", "HKCU\\Software\\Zarn", "/f"]);
}

// The update server's request log: a mark, then the targets since it.
function requestLog() {
    const file = path.join(env.ZARN_UPDATESERVER_LOG, "index.txt");
    return fs.existsSync(file) ? fs.readFileSync(file, "utf8").split("\n").filter(Boolean) : [];
}
function requestMark() {
    return requestLog().length;
}
function requestsSince(mark) {
    return requestLog().slice(mark);
}

module.exports = {
    installFolder, record, desktopShortcut, shortcutFiles, removeShortcutFiles, hostProcesses, setupProcesses, kill,
    installedVersion, popUpKey, setupMode, forgetInstallation, leaveClean, requestMark, requestsSince,
    build, source, scratch, site, otherSite, publishPages, url, hostWrapper, hostExe, extensionFor,
    chromium, firefox, waitFor, call, twoClients, twoClientsSeen, leaveAndComeBack, driveC, wine, wineProcesses, readIds, spawn,
};
