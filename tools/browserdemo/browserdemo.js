// The road a person takes with the sample page in a real browser, shown on
// the virtual display: the page with nothing installed, the extension
// added, the program registered, then the main job through the page's own
// buttons. Each step is printed and saved as a picture of the whole screen
// (the browser and the program's dialogs) in the folder given.
//
//   node browserdemo.js chromium|firefox OUT_DIR [ko|en]
//
// The browser speaks Korean, as the service's users do, or English (the
// extension, the sample page and zarn.js follow it; the program's dialogs
// follow Windows, which is Korean here).
//
// scripts/demo runs it inside scripts/demo-setup, with the environment the
// browser suites have (see tests/browser/rig.js), the sample page published
// on the update server stand-in beside zarn.js.
"use strict";

const fs = require("fs");
const path = require("path");
const { spawn, spawnSync } = require("child_process");
const rig = require(path.join(process.env.ZARN_SOURCE_DIR_UNIX, "tests", "browser", "rig.js"));

const [kind, out, lang = "ko"] = process.argv.slice(2);
if (!["chromium", "firefox"].includes(kind) || !out || !["ko", "en"].includes(lang)) {
    console.error("usage: browserdemo.js chromium|firefox OUT_DIR [ko|en]");
    process.exit(2);
}
// The virtual display's size (scripts/lib.sh makes it 1280x1024).
const screenSize = "1280,1024";
// The folder browser's prompt, by which the watcher knows it.
const pickerPrompt = "\uC5C5\uB85C\uB4DC \uD558\uC2E4 \uD3F4\uB354\uB97C \uC120\uD0DD\uD558\uC138\uC694.";

let shots = 0;
let front = null;  // the sample page, brought before each screenshot
// overDialog: a dialog of the program is showing, which raising the browser
// would hide.
async function screenshot(name, overDialog) {
    // An extension's welcome tab may have opened over the page meanwhile.
    if (front && !overDialog) await front.bringToFront();
    const file = path.join(out, String(++shots).padStart(2, "0") + "-" + name + ".png");
    const done = spawnSync("python3", [path.join(__dirname, "screen.py"), file], { stdio: "inherit" });
    if (done.status !== 0) throw new Error("no screenshot " + file);
    console.log("    screenshot: " + path.relative(process.cwd(), file));
}

const started = Date.now();
function step(text) {
    console.log("");
    console.log(text + "  [" + Math.round((Date.now() - started) / 1000) + " s]");
}

// Windows the window manager lists, as { id, program, title }: the
// program is the X class Wine gives a window (its .exe's name).
function windows() {
    const root = spawnSync("xprop", ["-root", "_NET_CLIENT_LIST"], { encoding: "utf8" }).stdout || "";
    const ids = (root.match(/0x[0-9a-f]+/gi) || []);
    return ids.map((id) => {
        const props = spawnSync("xprop", ["-id", id, "WM_CLASS", "_NET_WM_NAME"], { encoding: "utf8" }).stdout || "";
        const cls = /WM_CLASS\(STRING\) = "([^"]*)"/.exec(props);
        const title = /_NET_WM_NAME\(UTF8_STRING\) = "(.*)"/.exec(props);
        return { id, program: cls ? cls[1].toLowerCase() : "", title: title ? title[1] : "" };
    });
}
function hostWindow(title) {
    return windows().find((w) => w.program === "zarn-bridge.exe" && (title === undefined || w.title === title));
}

async function statusLine(page, className) {
    return rig.waitFor(async () => {
        const shown = await rig.statusLine(page);
        return shown.className === className && shown;
    }, 60000, "the status line " + className);
}
function describe(line) {
    return line.text + (line.href ? "\n      (the link leads to " + line.href + ")" : "");
}

// Presses a page button and waits for the method's answer in the page's
// log; `meanwhile` runs while the call is on (a dialog to show and answer).
async function press(page, method, meanwhile) {
    const before = (await rig.pageLog(page)).length;
    await page.click("#do-" + method);
    if (meanwhile) await meanwhile();
    const added = await rig.waitFor(async () => {
        const lines = (await rig.pageLog(page)).slice(before);
        return lines.some((l) => l.startsWith("  " + method + " ")) && lines;
    }, 120000, method + "'s answer in the page's log");
    for (const line of added) console.log("    page: " + line);
    return added;
}

// What the transfer programs recorded since `from` lines of the record,
// once `program` has recorded the list it was handed. A hand-off that does
// not happen ends the demo with an error.
async function received(from, program) {
    const handed = new RegExp("^" + program + " list ");
    await rig.waitFor(() => rig.record().slice(from).some((line) => handed.test(line)), 60000,
                      "the " + program + " program to receive the list");
    for (const line of rig.record().slice(from)) {
        const list = /^(\w+) list .*cbData=(\d+).* text=(.*)$/.exec(line);
        const started = /^(\w+) start /.exec(line);
        const arg = /^(\w+) arg ([12]) (.*)$/.exec(line);
        // The record writes a backslash twice.
        if (list) console.log("    the " + list[1] + " program received a list of " + list[2] + " bytes: " +
                              list[3].replace(/\\\\/g, "\\"));
        else if (started) console.log("    the " + started[1] + " program started");
        else if (arg) console.log("    the " + arg[1] + " program's argument " + arg[2] + ": " + arg[3]);
    }
}

// The program registered as the package registers it for this browser: a
// host manifest in the profile's (Chromium) or the user's (Firefox) folder,
// naming a wrapper that starts the host under Wine.
function registerHost() {
    if (kind === "chromium") {
        rig.registerChromiumHost(profile);
        return path.join(rig.scratch, profile, "NativeMessagingHosts", "com.zarn.bridge.json");
    }
    const folder = path.join(rig.scratch, profile, ".mozilla", "native-messaging-hosts");
    const manifest = JSON.parse(fs.readFileSync(path.join(rig.build, "zarn-bridge.firefox.json"), "utf8"));
    manifest.path = rig.hostWrapper(rig.hostExe, "host-demo-firefox");
    const file = path.join(folder, "com.zarn.bridge.json");
    fs.writeFileSync(file, JSON.stringify(manifest, null, 2));
    return file;
}

const profile = "demo-" + kind;

async function main() {
    fs.rmSync(out, { recursive: true, force: true });
    fs.mkdirSync(out, { recursive: true });
    // The installer stays three seconds after installing, as a real one
    // takes its time, so that the update dialog can be seen.
    rig.setupMode("delay:3000");

    step("1. The sample page in " + kind + " (" + lang + ") with nothing installed");
    const browser = kind === "chromium"
        ? await rig.chromium({ extension: false, host: null, profile: profile, window: screenSize, lang: lang })
        : await rig.firefox({ install: false, host: null, home: profile, window: screenSize, lang: lang });
    try {
        const page = (await browser.pages())[0] || await browser.newPage();
        await page.goto(rig.url("zarn.html"));
        front = page;
        console.log("    " + rig.url("zarn.html"));
        const bare = await statusLine(page, "missing");
        console.log("    status: " + describe(bare));
        await screenshot("nothing-installed");

        step("2. The extension added; the program still missing");
        await browser.installExtension(path.join(rig.build, "extension", kind));
        // The page looks again every second and finds the extension itself.
        await rig.waitFor(async () => (await rig.status(page)).need === "program", 60000,
                          "the page finding the extension");
        if (kind === "chromium") {
            // Its installation opens its welcome page, which finds no program either.
            const welcome = await rig.welcomePage(browser);
            await rig.waitFor(() => welcome.evaluate(() => document.body.className), 30000, "the welcome page's check");
            console.log("    the extension's welcome page: " + (await welcome.evaluate(() => document.body.innerText))
                .split("\n").filter(Boolean).slice(0, 3).join(" / "));
            front = welcome;
            await screenshot("extension-welcome");
            front = page;
        }
        // The line the page shows by itself, once it has looked again.
        const missing = await rig.waitFor(async () => {
            const shown = await rig.statusLine(page);
            return shown.className === "missing" && shown.href !== bare.href && shown;
        }, 60000, "the page's line asking for the program");
        console.log("    status: " + describe(missing));
        await screenshot("extension-added");

        step("3. The program registered; the page turns live by itself");
        await page.evaluate(() => { window.notReloaded = true; });
        console.log("    host manifest: " + registerHost());
        const live = await statusLine(page, "ready");
        if (!await page.evaluate(() => window.notReloaded)) throw new Error("the page was reloaded");
        console.log("    status: " + describe(live) + " (the page was not reloaded)");
        await screenshot("program-registered");

        step("4. The main job through the page's buttons");
        await page.type("#userId", "zarnuser");
        await page.type("#userPw", "pa55word");
        await press(page, "CheckInstall");
        await press(page, "SelectComplete");

        step("  The folder browser, opened on the folder last used:");
        await press(page, "ShowDlgFolder", async () => {
            await rig.waitFor(() => hostWindow(), 60000, "the folder browser");
            await screenshot("folder-browser", true);
            // The person presses OK.
            const pressed = spawnSync(process.env.ZARN_WINE, [path.join(rig.build, "dialogpress.exe"), "--process",
                                      "zarn-bridge.exe", "--timeout", "60000", pickerPrompt], { encoding: "utf8" });
            if (pressed.status !== 0) throw new Error("nobody could press OK: " + pressed.stdout + pressed.stderr);
        });
        console.log("    items: " + await page.$eval("#items", (e) => e.value));
        await screenshot("folder-picked");

        step("  DownLoad on a machine without the transfer programs: the update dialog installs them");
        let from = rig.record().length;
        await press(page, "DownLoad", async () => {
            const dialog = await rig.waitFor(() => hostWindow("Zarn"), 60000, "the update dialog");
            console.log("    the update dialog \"" + dialog.title + "\" is open");
            await screenshot("update-dialog", true);
        });
        await received(from, "download");
        await screenshot("download-handed-off");

        step("  UpLoad: the list goes to the upload program");
        from = rig.record().length;
        const upload = await press(page, "UpLoad");
        if (!upload.some((line) => line.startsWith("  UpLoad returned 0 "))) throw new Error("the upload did not start");
        await received(from, "upload");
        await screenshot("upload-handed-off");
    } finally {
        await browser.close();
        rig.kill(rig.hostProcesses());
    }
}

main().then(() => {
    console.log("");
    console.log("The " + kind + " road is done after " + Math.round((Date.now() - started) / 1000) + " s; its " + shots + " screenshots are in " + out);
    // The transfer programs still running hold pipes the browser shared
    // with its host, which would keep this process waiting on them; the
    // demo's end stops them.
    process.exit(0);
}, (error) => {
    console.error("browserdemo: " + (error && error.stack || error));
    process.exit(1);
});
