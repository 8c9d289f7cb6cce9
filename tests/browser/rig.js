// What the browser suites share: the system's Chromium and Firefox ESR with
// the build's extension loaded, the host started under Wine through a
// wrapper that execs it, the test pages served by the update server
// stand-in (the allowed site) and the Wine prefix's files.
"use strict";

const fs = require("fs");
const os = require("os");
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
// The protocol's table, which the host and the extension were built from.
const protocol = JSON.parse(spawnSync("python3", [path.join(source, "cmake", "protocol_table.py"), "json",
                                                  path.join(source, "bridge", "protocol.table")]).stdout);

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
    // The sample page as scripts/package makes it, from the build's module.
    const made = spawnSync("python3", ["-c",
        "import sys; sys.path.insert(0, sys.argv[1] + '/package'); import make_packages as m; " +
        "m.write_page(sys.argv[1], sys.argv[2], m.module_version(sys.argv[3] + '/ZarnCtrl2.ocx'), " +
        "m.MARKING, sys.argv[3])", source, out, build], { encoding: "utf8" });
    if (made.status !== 0) throw new Error("the sample page: " + made.stderr);
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
    const manifest = JSON.parse(fs.readFileSync(path.resolve(build, buildManifest), "utf8"));
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
        "--gecko-id", readIds().firefox, "--links", buildLinks()], { stdio: "inherit" });
    return path.join(out, "chromium");
}

// The links the build gives pages and the extension.
function buildLinks() {
    const cache = fs.readFileSync(path.join(build, "CMakeCache.txt"), "utf8");
    const value = (name) => new RegExp("^" + name + ":\\w+=(.*)$", "m").exec(cache)[1];
    return "program=" + value("ZARN_PROGRAM_DOWNLOAD") + ";chrome=" + value("ZARN_CHROME_STORE") +
        ";edge=" + value("ZARN_EDGE_STORE") + ";firefox=" + value("ZARN_FIREFOX_STORE");
}

// A stand-in host that greets with another range of protocols, or never,
// or ends at once: a wrapper for a host manifest (see hello_standin.js).
function standInHost(mode) {
    fs.mkdirSync(scratch, { recursive: true });
    const file = path.join(scratch, "standin-" + mode.replace(/\W/g, "-") + ".sh");
    fs.writeFileSync(file, "#!/bin/sh\nexec '" + process.execPath + "' '" +
                     path.join(__dirname, "hello_standin.js") + "' '" + mode + "'\n", { mode: 0o755 });
    return { wrapper: file, manifest: "zarn-bridge.json" };
}

// Registers a host with a Chromium profile, as the MSI does for a browser
// (by default the build's host). Each profile has its own wrapper: browsers
// running side by side start different hosts.
function registerChromiumHost(profileName, host) {
    host = host || { exe: hostExe, manifest: "zarn-bridge.json" };
    const folder = path.join(scratch, profileName, "NativeMessagingHosts");
    fs.mkdirSync(folder, { recursive: true });
    fs.writeFileSync(path.join(folder, "com.zarn.bridge.json"),
                     hostManifest(host.manifest, host.wrapper || hostWrapper(host.exe, "host-" + profileName)));
}

// Chromium with the extension (extension: false, none yet: the suite
// installs it). host: null (no host installed), or { exe, manifest } for a
// host program and the build manifest to copy, or { wrapper, manifest }.
async function chromium(options) {
    options = options || {};
    const extension = options.extension === undefined ? path.join(build, "extension", "chromium")
                                                      : options.extension;
    const profileName = options.profile || "chromium";
    const profile = path.join(scratch, profileName);
    fs.rmSync(profile, { recursive: true, force: true });
    fs.mkdirSync(path.join(profile, "NativeMessagingHosts"), { recursive: true });
    if (options.host !== null) registerChromiumHost(profileName, options.host);
    const args = extension
        ? ["--load-extension=" + extension, "--disable-extensions-except=" + extension]
        : ["--enable-unsafe-extension-debugging"];
    // The browser's language, English unless options.lang names another
    // (the suites' own locale is Korean, for Wine): --lang chooses the
    // extension's messages, --accept-lang the pages' navigator.languages.
    const lang = options.lang || "en-US";
    args.push("--lang=" + lang, "--accept-lang=" + lang);
    // options.window: a window on the display, filling it (for a person to
    // watch), instead of a headless browser.
    const windowed = options.window ? ["--window-position=0,0", "--window-size=" + options.window] : [];
    const browser = await puppeteer.launch({
        executablePath: "/usr/lib/chromium/chromium",
        headless: !options.window,
        defaultViewport: options.window ? null : undefined,
        pipe: true,
        userDataDir: profile,
        ignoreDefaultArgs: ["--disable-extensions"],
        args: ["--no-sandbox", "--no-first-run"].concat(windowed, args, options.args || []),
        env: Object.assign({}, env),
    });
    try {
        if (extension && fs.existsSync(path.join(extension, "welcome.html"))) await closeWelcome(browser);
    } catch (e) {
        await browser.close();
        throw e;
    }
    return browser;
}

// The extension's welcome page, which its installation opens.
async function welcomePage(browser) {
    return waitFor(async () => (await browser.pages()).find((p) => /\/welcome\.html$/.test(p.url())),
                   30000, "the extension's welcome page");
}

// A suite's browser starts without the welcome page, whose check would
// start a host of its own beside the pages'.
async function closeWelcome(browser) {
    await (await welcomePage(browser)).close();
}

// Firefox ESR with the extension as a temporary add-on; its host manifests
// are read from $HOME/.mozilla/native-messaging-hosts.
// options.home names another home (for a second Firefox); options.host is
// null (no host) or a stand-in's { wrapper }.
async function firefox(options) {
    options = options || {};
    const home = path.join(scratch, options.home || "firefox-home");
    const hosts = path.join(home, ".mozilla", "native-messaging-hosts");
    fs.rmSync(home, { recursive: true, force: true });
    fs.mkdirSync(hosts, { recursive: true });
    if (options.host !== null) {
        const wrapper = options.host ? options.host.wrapper : hostWrapper(hostExe, "host-firefox");
        fs.writeFileSync(path.join(hosts, "com.zarn.bridge.json"),
                         hostManifest("zarn-bridge.firefox.json", wrapper));
    }
    const browser = await puppeteer.launch({
        browser: "firefox",
        executablePath: "/usr/bin/firefox-esr",
        // English unless options.lang names another (Debian's language
        // pack firefox-esr-l10n-<lang>); the extension's pages at a known
        // address (firefoxPage).
        extraPrefsFirefox: { "intl.locale.requested": options.lang || "en-US",
                             "extensions.webextensions.uuids": JSON.stringify({ [readIds().firefox]: firefoxUuid }) },
        headless: !options.window,
        defaultViewport: options.window ? null : undefined,
        args: options.window ? ["--width=" + options.window.split(",")[0],
                                "--height=" + options.window.split(",")[1]] : [],
        env: Object.assign({}, env, { HOME: home }),
    });
    // Its welcome page stays: Firefox lists no extension's page among the
    // pages it gives the suite, and the suite counts no hosts.
    if (options.install !== false) {
        try {
            await browser.installExtension(path.join(build, "extension", "firefox"));
        } catch (e) {
            await browser.close();
            throw e;
        }
    }
    return browser;
}

// The Firefox extension's own pages, at the address the suites give it.
const firefoxUuid = "4f3c2a1e-5d6b-4c7a-9e8f-0a1b2c3d4e5f";
function extensionPage(kind, name) {
    return kind === "firefox" ? "moz-extension://" + firefoxUuid + "/" + name
        : "chrome-extension://" + readIds().chromium + "/" + name;
}

// The tables a person's texts come from, in `lang`: the extension's
// messages (by name), zarn.js's Zarn.texts.
function tables(lang) {
    const messages = JSON.parse(fs.readFileSync(path.join(build, "extension", "chromium", "_locales", lang,
                                                          "messages.json"), "utf8"));
    const context = { navigator: {}, setTimeout };
    require("vm").createContext(context);
    require("vm").runInContext(fs.readFileSync(path.join(build, "zarn.js"), "utf8") + ";this.Z = Zarn;", context);
    const extension = {};
    for (const name in messages) extension[name] = messages[name].message;
    return { extension, library: JSON.parse(JSON.stringify(context.Z.texts[lang])) };
}

// What a person reads in `browser` (kind "chromium" or "firefox") with no
// program installed: the welcome page, the popup, the sample page's status
// line with its link and a call's error, and a page whose lang is Korean.
async function whatPersonReads(browser, kind) {
    const read = async (name, ids) => {
        const page = await browser.newPage();
        // Firefox tells the driver of no load of an extension's page: the
        // page is asked until it answers.
        const going = page.goto(extensionPage(kind, name)).catch(() => {});
        if (kind === "chromium") await going;
        const seen = await waitFor(() => page.evaluate((ids) => location.protocol !== "about:" &&
            document.body.className === "missing" &&
            [document.documentElement.lang].concat(ids.map((id) => document.getElementById(id).textContent)), ids)
            .catch(() => false), 30000, "the extension's " + name);
        await page.close();
        return seen;
    };
    const out = {};
    out.welcome = await read("welcome.html", ["heading", "sentence", "next", "program-label", "program-state"]);
    out.popup = await read("popup.html", ["heading", "sentence", "id-label", "site-state"]);
    const sample = await browser.newPage();
    await sample.goto(url("zarn.html"));
    const line = await waitFor(async () => {
        const shown = await statusLine(sample);
        return shown.className && shown;
    }, 30000, "the sample page's status line");
    out.sample = {
        line: line.text,
        page: await sample.evaluate(() => [document.documentElement.lang,
                                           document.title.indexOf(pageTexts[document.documentElement.lang].title) === 0,
                                           document.querySelector("legend").textContent]),
        error: (await call(sample, "SelectComplete", ["C:\\a.txt", "1", "-1"])).error,
    };
    await sample.close();
    const korean = await browser.newPage();
    await korean.goto(url("korean.html"));
    const koStatus = await status(korean);
    out.korean = { line: koStatus.message + " " + koStatus.link.text,
                   error: (await call(korean, "CheckInstall")).error };
    await korean.close();
    return out;
}

// What whatPersonReads must give in `lang`.
function personReads(lang) {
    const { extension: m, library: z } = tables(lang);
    const ko = tables("ko").library;
    return {
        welcome: [lang, m.pageWelcome, m.step_program, m.step_getProgram, m.pageProgram, m.pageNotFound],
        popup: [lang, m.extensionName, m.step_program, m.pageId, m.pageSiteNo],
        line: z.program + " " + z.getProgram,
        legend: lang === "ko" ? "\uACC4\uC815" : "Account",
        error: z.errors["not-installed"].program,
        korean: { line: ko.program + " " + ko.getProgram, error: ko.errors["not-installed"].program },
    };
}

// Checks what a person read against the tables of `lang`.
function checkLanguage(seen, lang, assert) {
    const want = personReads(lang);
    const about = lang + ": " + JSON.stringify(seen);
    assert.deepEqual(seen.welcome, want.welcome, about);
    assert.deepEqual(seen.popup, want.popup, about);
    assert.equal(seen.sample.line, want.line, about);
    assert.deepEqual(seen.sample.page, [lang, true, want.legend], about);
    assert.deepEqual([seen.sample.error.code, seen.sample.error.need, seen.sample.error.message],
                     ["not-installed", "program", want.error], about);
    // The extension's own words, in the browser's language, as the detail.
    assert.equal(seen.sample.error.detail, tables(lang).extension.errorProgram, about);
    assert.deepEqual([seen.korean.line, seen.korean.error.message, seen.korean.error.code],
                     [want.korean.line, want.korean.error, "not-installed"], about);
    const hangul = /[\uAC00-\uD7A3]/;
    for (const text of [seen.welcome[1], seen.popup[4], seen.sample.line, seen.sample.error.message])
        assert.equal(hangul.test(text), lang === "ko", text);
    assert.match(seen.korean.line, hangul);
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
            return { error: { code: error.code, message: error.message, isError: error instanceof Error,
                              need: error.need, detail: error.detail },
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
// from the back/forward cache, and after 1 when a call made after is
// answered by a host of the table's newest protocol. A
// browser that loads the page anew instead (its cache may refuse a page)
// gives restored false: the document that made the call is gone.
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
            return await page.evaluate(() => "leaving" in window
                ? { leaving: window.leaving, restored: window.restored }
                : performance.getEntriesByType("navigation")[0].type === "back_forward"
                ? { leaving: null, restored: false } : {});
        } catch (e) {
            return {};  // the document changes under the evaluation
        }
    };
    let back;
    try {
        back = await waitFor(async () => {
            const now = await state();
            return (now.restored === false || (now.restored !== undefined && now.leaving)) && now;
        }, 15000, "the page back, its call ended");
    } catch (e) {
        e.message += "; the page: " + JSON.stringify(await state());
        throw e;
    }
    back.after = (await call(page, "hello")).result.protocol === protocol.protocol.newest ? 1 : 0;
    return back;
}

// The page's document made anew by its own script (document.open, write,
// close), which erases the document's listeners and its root element but
// not the window or what the content script keeps on it. Resolves to the
// protocol of a call from the new document.
async function afterDocumentOpen(page) {
    await page.evaluate(() => {
        delete window.zarnTest;
        document.open();
        document.write("<!doctype html><html><head><script src=\"zarn.js\"></scr" +
                       "ipt></head><body>written</body></html>");
        document.close();
    });
    await waitFor(() => page.evaluate(() => !!document.body && document.body.textContent === "written" &&
                                            document.documentElement.getAttribute("data-zarn-extension") === "1"),
                  10000, "the new document, announced");
    return (await call(page, "hello")).result.protocol;
}

// What rig.twoClients gives when every answer reaches the one that asked.
const twoClientsSeen = {
    a: ["A1 0", "event A1", "hello hello"],
    b: ["B1 0", "B2 0", "event B1", "event B2"],
    raw: ["7 0", "7 bad-request duplicate", "null bad-request"],
    late: [],
};

// How many replies one request of the page gets: one, unless more than one
// copy of the content script forwards it. A second copy's reply comes from a
// host of its own, so twenty round trips more are given to it.
async function repliesToOneRequest(page) {
    await page.evaluate(() => {
        window.oneRequest = 0;
        window.addEventListener("message", (e) => {
            if (e.source === window && e.data && e.data.client === "one" && e.data.zarn === "reply") window.oneRequest++;
        });
        window.postMessage({ zarn: "request", client: "one", id: 1, method: "SelectComplete", params: ["one", "1", "-1"] },
                           location.origin);
    });
    await waitFor(() => page.evaluate(() => window.oneRequest > 0), 30000, "the request's reply");
    for (let i = 0; i < 20; i++) await call(page, "hello");
    return page.evaluate(() => window.oneRequest);
}

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

// A folder of the prefix's description (tests/fixtures/prefix_folders.txt),
// as the programs inside the prefix name it.
function prefixFolder(name) {
    const text = fs.readFileSync(path.join(source, "tests", "fixtures", "prefix_folders.txt"), "utf8");
    const line = text.split("\n").find((l) => l.startsWith(name + "="));
    if (!line) throw new Error("no prefix folder " + name);
    return line.slice(name.length + 1).replace("%USER%", os.userInfo().username);
}

// The install folder of every build: the 32-bit program-files folder.
const installFolder = prefixFolder("install") + "\\";

// The transfer stand-ins' record (ZARN_TRANSFER_RECORD), as lines.
function record() {
    const file = driveC(env.ZARN_TRANSFER_RECORD || "C:\\demo-received.txt");
    return fs.existsSync(file) ? fs.readFileSync(file, "utf8").split(/\r?\n/).filter(Boolean) : [];
}


// Where MakeShortCut writes: the desktop shortcut and the files it points at.
function desktopShortcut() {
    return driveC(prefixFolder("desktop") + "\\Zarn.lnk");
}
function shortcutFiles() {
    const found = [desktopShortcut(), driveC(prefixFolder("temp") + "\\Zarn\\Zarn.url")];
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

// The page's status as zarn.js gives it, with what the sample page's
// zarn-status element shows once it has shown one.
async function status(page) {
    return page.evaluate(() => Zarn.open().check().then((s) => s));
}
async function statusLine(page) {
    return page.evaluate(() => {
        const box = document.getElementById("zarn-status");
        const link = box.querySelector("a");
        return { text: box.textContent, className: box.className, href: link ? link.href : null };
    });
}

// The sample page's log, as lines.
async function pageLog(page) {
    return page.evaluate(() => document.getElementById("log").textContent.split("\n").filter(Boolean));
}

// Clicks every button of the sample page (open and live in `page`) as a
// person would, and returns the log lines each click added. The folder
// browser is answered by a watcher; the file picker is left open and its
// host killed, so the page meets a lost program.
async function clickSamplePage(page) {
    const lines = { recordedBefore: record().length };
    async function click(method, done) {
        const before = (await pageLog(page)).length;
        await page.click("#do-" + method);
        lines[method] = await waitFor(async () => {
            const added = (await pageLog(page)).slice(before);
            return added.some(done) && added;
        }, 120000, method + "'s answer in the page's log");
    }
    const answered = (method) => (line) => line.startsWith("  " + method + " ");
    await page.type("#userId", "zarnuser");
    await page.type("#userPw", "pa55word");
    for (const method of ["CheckInstall", "SelectComplete", "AllowPopUp", "MakeShortCut", "DownLoad",
                          "UpLoad"])
        await click(method, answered(method));
    const watcher = spawn(env.ZARN_WINE, [path.join(build, "dialogpress.exe"), "--process", "zarn-bridge.exe",
                                          "--timeout", "120000", "\uC5C5\uB85C\uB4DC \uD558\uC2E4 " +
                                          "\uD3F4\uB354\uB97C \uC120\uD0DD\uD558\uC138\uC694."],
                          { stdio: "ignore", env: env });
    try {
        await click("ShowDlgFolder", answered("ShowDlgFolder"));
    } finally {
        watcher.kill();
    }
    const before = (await pageLog(page)).length;
    await page.click("#do-ShowDlgFile");
    await waitFor(async () => (await pageLog(page)).length > before && hostProcesses().length > 0,
                  30000, "ShowDlgFile's call");
    // The host is killed once its picker is open: killed earlier, the call
    // could reach the extension after the kill and start a host of its own.
    const open = spawnSync(env.ZARN_WINE, [path.join(build, "dialogpress.exe"), "--process", "zarn-bridge.exe",
                                           "--timeout", "60000", "--find", "*.*"], { env: env });
    if (open.status !== 0) throw new Error("ShowDlgFile's picker did not open: " + String(open.stderr));
    kill(hostProcesses());
    lines.ShowDlgFile = await waitFor(async () => {
        const added = (await pageLog(page)).slice(before);
        return added.some(answered("ShowDlgFile")) && added;
    }, 30000, "ShowDlgFile's answer");
    await page.click("#do-clear");
    lines.clear = await pageLog(page);
    return lines;
}

// What every browser's click-through must show in the sample page's log.
function checkClicks(lines, assert) {
    const text = (method) => lines[method].join("\n");
    assert.match(text("CheckInstall"), /CheckInstall returned nothing/);
    assert.match(text("SelectComplete"), /event UpSelectComplete\("C:\\Docs\\a\.txt", "1234", "-1"\)/);
    assert.match(text("SelectComplete"), /SelectComplete returned 0/);
    // The entry is Internet Explorer's, which neither browser here reads.
    assert.match(text("AllowPopUp"), /AllowPopUp returned 0 \(the site is on Internet Explorer's pop-up allow list; this browser keeps its own list: allow pop-ups for the site in its settings\)/);
    assert.doesNotMatch(text("AllowPopUp"), /pop-ups from that site are allowed/);
    assert.match(text("MakeShortCut"), /MakeShortCut returned 0 \(the shortcut is on the desktop\)/);
    // DownLoad has no result: the page says where the hand-off shows.
    assert.match(text("DownLoad"), /DownLoad\("zarnuser", "\*\*\*", .*\n  DownLoad ended: whether the download program took the list shows in that program, and in the control's log lines \(the log viewer xlogwnd, docs\/administrators.md\)$/);
    assert.match(text("UpLoad"), /UpLoad returned 0 \(the upload program took the list\)/);
    assert.match(text("ShowDlgFolder"), /event UpSelectComplete\("C:\\\uC0AC\uC9C4", "-1", "-1"\)/);
    assert.match(text("ShowDlgFolder"), /ShowDlgFolder returned 0 \(the items picked are listed above\)/);
    assert.match(text("ShowDlgFile"), /ShowDlgFile failed \(host-gone\): .*try again/);
    assert.deepEqual(lines.clear, []);
    for (const method in lines)
        if (Array.isArray(lines[method])) assert.doesNotMatch(text(method), /script failed/, method);
    // Each transfer program got the page's item list once.
    const got = record().slice(lines.recordedBefore);
    for (const program of ["download", "upload"])
        assert.equal(got.filter((l) => l.startsWith(program + " list ") && l.includes(" text=/")).length, 1,
                     got.join("\n"));
}

module.exports = {
    clickSamplePage, checkClicks, buildLinks, standInHost, welcomePage, registerChromiumHost, status, statusLine, pageLog,
    installFolder, record, desktopShortcut, shortcutFiles, removeShortcutFiles, hostProcesses, setupProcesses, kill,
    installedVersion, popUpKey, setupMode, forgetInstallation, leaveClean, requestMark, requestsSince,
    protocol, build, source, scratch, site, otherSite, publishPages, url, hostWrapper, hostExe, extensionFor,
    chromium, firefox, extensionPage, whatPersonReads, checkLanguage, waitFor, call, twoClients, twoClientsSeen, leaveAndComeBack, afterDocumentOpen, repliesToOneRequest, driveC, wine, wineProcesses, readIds, spawn,
};
