// The round trip of a page in Chromium: SelectComplete through zarn.js, the
// extension and the bridge host (request, event, reply), against the same
// page calling a bare echo host (bench/bridge_echo.cpp) through a bare
// relay extension (bench/browser/bare-extension). Both browsers run side by
// side and take turns, ten calls at a time, in pairs started for each round
// (see startPair). Also the first call of a page: a new
// page's first call starts its host, under a Wine that is already up. And a
// walk of a folder of 10,000 files through the folder picker: every event
// reaches the page's handler, and how long a click on the page waits meanwhile.
// Then the road from nothing to working: z.check() on a ready page against
// a bare hello through the same extension, and how long the sample page,
// waiting for the program, takes to turn live once the host is registered.
// scripts/bench runs it with the browser suites' environment.
"use strict";

const fs = require("fs");
const path = require("path");
const rig = require("../../tests/browser/rig");

const rounds = 7;
const callsPerRound = 300;
const batch = 10;
const firstCalls = 7;

function median(values) {
    const sorted = values.slice().sort((a, b) => a - b);
    const middle = sorted.length >> 1;
    return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

// The bare extension, with the real one's key: the same ID, so the host
// manifest of the build lets it in.
function bareExtension() {
    const out = path.join(rig.scratch, "bare-extension");
    fs.rmSync(out, { recursive: true, force: true });
    fs.mkdirSync(out, { recursive: true });
    const source = path.join(rig.source, "bench", "browser", "bare-extension");
    for (const name of fs.readdirSync(source)) fs.copyFileSync(path.join(source, name), path.join(out, name));
    const manifest = JSON.parse(fs.readFileSync(path.join(out, "manifest.json"), "utf8"));
    const built = JSON.parse(fs.readFileSync(path.join(rig.build, "extension", "chromium", "manifest.json"), "utf8"));
    manifest.key = built.key;
    fs.writeFileSync(path.join(out, "manifest.json"), JSON.stringify(manifest, null, 2));
    return out;
}

// Milliseconds per call of `count` SelectComplete calls, one after another.
function timeCalls(page, count) {
    return page.evaluate((count) => {
        const z = window.zarnBench || (window.zarnBench = Zarn.open());
        const started = performance.now();
        let chain = Promise.resolve();
        for (let i = 0; i < count; i++)
            chain = chain.then(() => z.SelectComplete("C:\\bench\\file.txt", "1234", "-1"));
        return chain.then(() => (performance.now() - started) / count);
    }, count);
}

// The first call of a new page, which starts its host.
async function firstCall(browser) {
    const page = await browser.newPage();
    await page.goto(rig.url("page.html"));
    const ms = await page.evaluate(() => {
        const started = performance.now();
        return Zarn.open().SelectComplete("C:\\bench\\file.txt", "1234", "-1")
            .then(() => performance.now() - started, (e) => Zarn.open().check().then((status) => {
                throw new Error(e.code + ": " + e.message + " (" + JSON.stringify(status) + ")");
            }));
    });
    await page.close();
    return ms;
}

// A folder of 10,000 empty files in the prefix, made once.
const walkFiles = 10000;
const walks = 3;
const walkFolder = "C:\\zarn-walk-10000";
function makeWalkFolder() {
    const unix = rig.driveC(walkFolder);
    const name = (i) => "file" + String(i).padStart(5, "0") + ".txt";
    if (fs.existsSync(path.join(unix, name(walkFiles)))) return;
    fs.mkdirSync(unix, { recursive: true });
    for (let i = 1; i <= walkFiles; i++) fs.writeFileSync(path.join(unix, name(i)), "");
}

// One walk: the folder picker opens on the folder (the last one used), a
// watcher presses OK there as a person would, and the page's handler takes
// every item. Meanwhile a person's clicks reach the page every 20 ms or so.
// The page measures what that person feels: how long each click waited for
// its handler, the tasks over 50 ms the browser reports (the Long Tasks
// API, which reports none shorter), and the longest time between two
// frames. It also gives the longest wait of a message loop of its own (what
// this benchmark first took for the longest task): its messages wait in the
// page's queue while input goes ahead of them, so it is no delay a person
// sees.
async function walk(page) {
    rig.wine(["reg", "add", "HKCU\\Software\\Zarn", "/v", "sWebControlPath", "/d", walkFolder, "/f"]);
    const press = rig.spawn(process.env.ZARN_WINE, [path.join(rig.build, "dialogpress.exe"),
        "--process", "zarn-bridge.exe", "--timeout", "120000", "\uC5C5\uB85C\uB4DC \uD558\uC2E4 " +
        "\uD3F4\uB354\uB97C \uC120\uD0DD\uD558\uC138\uC694."], { stdio: "ignore" });
    // A tab in the background has its timers slowed to one a second.
    await page.bringToFront();
    try {
        let finished = false;
        const running = page.evaluate((walkFiles) => new Promise((done) => {
            const z = window.zarnWalk || (window.zarnWalk = Zarn.open());
            const paths = new Set();
            let events = 0, first = 0, longest = 0, last = 0, ticking = true;
            const inputDelays = [];
            const clicked = (e) => {
                if (first) inputDelays.push(performance.now() - e.timeStamp);
            };
            document.addEventListener("mousedown", clicked);
            let frameLast = 0, frameGap = 0;
            const frame = (t) => {
                if (first && frameLast) frameGap = Math.max(frameGap, t - frameLast);
                frameLast = t;
                if (ticking) requestAnimationFrame(frame);
            };
            requestAnimationFrame(frame);
            const counter = document.body.appendChild(document.createTextNode(""));
            // The page's own turns: a message to itself, answered at once
            // (timers are slowed in a page not shown; messages are not).
            const turns = new MessageChannel();
            turns.port1.onmessage = () => tick();
            const handler = (path) => {
                if (!first) {
                    first = last = performance.now();
                    turns.port2.postMessage(0);
                }
                events++;
                paths.add(path);
                counter.data = events + " items";
            };
            function tick() {
                const now = performance.now();
                longest = Math.max(longest, now - last);
                last = now;
                if (ticking) turns.port2.postMessage(0);
            }
            // What reached the page, for a walk that goes wrong.
            const messages = [];
            window.addEventListener("message", (e) => {
                if (messages.length < 6) messages.push(JSON.stringify(e.data).slice(0, 300));
            });
            const reported = [];
            const observer = new PerformanceObserver((list) => {
                for (const entry of list.getEntries()) reported.push(entry.duration);
            });
            observer.observe({ type: "longtask" });
            z.on("UpSelectComplete", handler);
            z.ShowDlgFolder().then((result) => {
                const ended = performance.now();
                ticking = false;
                document.removeEventListener("mousedown", clicked);
                z.off("UpSelectComplete", handler);
                observer.disconnect();
                done({ result: result, events: events, distinct: paths.size, ms: ended - first,
                       turnGap: Math.max(longest, ended - last),
                       inputDelay: inputDelays.length ? Math.max(...inputDelays) : null,
                       clicks: inputDelays.length, frameGap: frameGap,
                       longTask: reported.length ? Math.max(...reported) : 0,
                       longTasks: reported.length,
                       messages: events === walkFiles + 1 ? undefined : messages });
            }, (error) => done({ error: error.code + " " + error.message }));
        }), walkFiles);
        running.then(() => { finished = true; }, () => { finished = true; });
        while (!finished) {
            await page.mouse.click(5, 5);
            await new Promise((resolve) => setTimeout(resolve, 20));
        }
        return await running;
    } finally {
        press.kill();
    }
}

// Milliseconds per call of `count` calls of z[method]() one after another.
function timeMethod(page, method, count) {
    return page.evaluate((method, count) => {
        const z = window.zarnBench || (window.zarnBench = Zarn.open());
        const started = performance.now();
        let chain = Promise.resolve();
        for (let i = 0; i < count; i++) chain = chain.then(() => z[method]());
        return chain.then(() => (performance.now() - started) / count);
    }, method, count);
}

// z.check() on a ready page against hello, in alternating batches.
async function checkAgainstHello(browser) {
    const page = await browser.newPage();
    await page.goto(rig.url("page.html"));
    await timeMethod(page, "hello", 20);
    await timeMethod(page, "check", 20);
    const ratios = [];
    for (let i = 0; i < rounds; i++) {
        let c = 0, h = 0;
        for (let b = 0; b < callsPerRound / batch; b++) {
            c += await timeMethod(page, "check", batch) / (callsPerRound / batch);
            h += await timeMethod(page, "hello", batch) / (callsPerRound / batch);
        }
        ratios.push(c / h);
        console.log("round %d: check %s ms, hello %s ms, ratio %s", i + 1, c.toFixed(3), h.toFixed(3),
                    (c / h).toFixed(2));
    }
    await page.close();
    console.log("BENCH browser_check_warm %s 1.25 min %s max %s rounds %d", median(ratios).toFixed(2),
                Math.min(...ratios).toFixed(2), Math.max(...ratios).toFixed(2), rounds);
}

// The sample page waits for the program (no host registered); the time from
// the host's registration to its status line turning ready.
async function registrationToLive() {
    const profile = "bench-live";
    const browser = await rig.chromium({ host: null, profile: profile });
    const manifest = path.join(rig.scratch, profile, "NativeMessagingHosts", "com.zarn.bridge.json");
    const times = [];
    try {
        for (let i = 0; i < rounds; i++) {
            fs.rmSync(manifest, { force: true });
            const page = await browser.newPage();
            await page.goto(rig.url("zarn.html"));
            await rig.waitFor(async () => (await rig.statusLine(page)).className === "missing", 30000,
                              "the page waiting for the program");
            await page.evaluate(() => {
                const box = document.getElementById("zarn-status");
                new MutationObserver(() => {
                    if (box.className === "ready" && !window.liveAt) window.liveAt = Date.now();
                }).observe(box, { attributes: true });
            });
            const registered = Date.now();
            rig.registerChromiumHost(profile);
            const live = await rig.waitFor(() => page.evaluate(() => window.liveAt), 30000, "the page turning live");
            times.push(live - registered);
            console.log("round %d: live %d ms after the registration", i + 1, live - registered);
            await page.close();
        }
    } finally {
        await browser.close();
    }
    console.log("BENCH browser_registration_to_live_ms %s 3000 min %s max %s rounds %d",
                median(times).toFixed(0), Math.min(...times), Math.max(...times), rounds);
}

// A browser of the floor: the bare relay extension and the echo host.
function echoBrowser(profile, bare) {
    return { profile: profile, extension: bare,
             host: { exe: path.join(rig.build, "bridge_echo.exe"), manifest: "zarn-bridge.json" } };
}

// Two browsers, each with a page whose host is started and warm: the
// build's extension and host, and the bare relay extension with the echo
// host, started (and their hosts too) in the order given. Which of two
// browsers starts first, and which takes its turn first, shows in their
// speeds: with one extension and host in both, the first one took 5 to 15%
// longer a call for as long as both lived. So each round runs half its
// calls in a pair started in one order and half in a pair started in the
// other, and every other turn the echo goes first.
async function startPair(realFirst, bare) {
    const options = [{ profile: "bench-round-real" }, echoBrowser("bench-round-floor", bare)];
    const order = realFirst ? [0, 1] : [1, 0];
    const browsers = [];
    try {
        for (const which of order) browsers[which] = await rig.chromium(options[which]);
        const pages = [];
        for (const which of order) {
            pages[which] = await browsers[which].newPage();
            await pages[which].goto(rig.url("page.html"));
            await timeCalls(pages[which], 20);
        }
        // Each browser talks to its own host: the bridge host greets with
        // its protocol, the bare relay answers every call with null.
        const greetings = [];
        for (const page of pages) greetings.push(await page.evaluate(() => window.zarnBench.hello()));
        if (!greetings[0] || greetings[0].protocol !== 1 || greetings[1] !== null)
            throw new Error("not the bridge host against the echo: " + JSON.stringify(greetings));
        return { browsers: browsers, pages: pages };
    } catch (e) {
        for (const browser of browsers) if (browser) await browser.close();
        throw e;
    }
}

(async () => {
    rig.publishPages();
    const bare = bareExtension();
    const real = await rig.chromium({ profile: "bench-real" });
    const floor = await rig.chromium(echoBrowser("bench-floor", bare));
    let floorOpen = true;
    try {
        const realFirst = [], floorFirst = [];
        for (let i = 0; i < firstCalls; i++) {
            realFirst.push(await firstCall(real));
            floorFirst.push(await firstCall(floor));
        }
        await floor.close();
        floorOpen = false;
        console.log("first call of a page, warm Wine: bridge host median %s ms (min %s max %s), " +
                    "echo host median %s ms", median(realFirst).toFixed(0),
                    Math.min(...realFirst).toFixed(0), Math.max(...realFirst).toFixed(0),
                    median(floorFirst).toFixed(0));

        // The machine's load drifts: each round alternates short batches
        // of the two, so both see the same load.
        const ratios = [];
        for (let i = 0; i < rounds; i++) {
            let r = 0, f = 0;
            for (const realStartsFirst of [true, false]) {
                const { browsers, pages } = await startPair(realStartsFirst, bare);
                try {
                    for (let b = 0; b < callsPerRound / batch / 2; b++) {
                        const turns = b % 2 ? [1, 0] : [0, 1];
                        for (const which of turns) {
                            const ms = await timeCalls(pages[which], batch) / (callsPerRound / batch);
                            if (which === 0) r += ms;
                            else f += ms;
                        }
                    }
                } finally {
                    for (const browser of browsers) await browser.close();
                }
            }
            ratios.push(r / f);
            console.log("round %d: bridge %s ms a call, echo %s ms, ratio %s", i + 1, r.toFixed(3),
                        f.toFixed(3), (r / f).toFixed(2));
        }
        const realPage = await real.newPage();
        await realPage.goto(rig.url("page.html"));
        makeWalkFolder();
        const walked = [];
        for (let i = 0; i < walks; i++) {
            const figures = await walk(realPage);
            console.log("walk %d: %s", i + 1, JSON.stringify(figures));
            if (figures.error || figures.events !== walkFiles + 1 || figures.distinct !== walkFiles + 1)
                throw new Error("the walk did not bring every item: " + JSON.stringify(figures));
            if (!figures.clicks) throw new Error("no click reached the page during the walk");
            walked.push(figures);
        }
        console.log("BENCH browser_roundtrip %s 1.15 min %s max %s rounds %d", median(ratios).toFixed(2),
                    Math.min(...ratios).toFixed(2), Math.max(...ratios).toFixed(2), rounds);
        console.log("BENCH browser_first_call %s none min %s max %s rounds %d",
                    (median(realFirst) / median(floorFirst)).toFixed(2),
                    (Math.min(...realFirst) / median(floorFirst)).toFixed(2),
                    (Math.max(...realFirst) / median(floorFirst)).toFixed(2), firstCalls);
        // In milliseconds, not ratios: how long the page keeps a person
        // waiting at most while 10,001 items arrive.
        const walkFigure = (name, key, target, note) => {
            const values = walked.map((figures) => figures[key]);
            console.log("BENCH %s %s %s min %s max %s rounds %d%s", name, median(values).toFixed(0), target,
                        Math.min(...values).toFixed(0), Math.max(...values).toFixed(0), walks,
                        note ? " " + note : "");
        };
        walkFigure("browser_walk_input_delay_ms", "inputDelay", 50);
        walkFigure("browser_walk_longest_task_ms", "longTask", 50, "(0: none over 50 ms)");
        walkFigure("browser_walk_frame_gap_ms", "frameGap", "none");
        walkFigure("browser_walk_turn_gap_ms", "turnGap", "none", "(a loop of the page's own)");
        await checkAgainstHello(real);
        await registrationToLive();
    } finally {
        await real.close();
        if (floorOpen) await floor.close();
        rig.kill(rig.hostProcesses());
    }
})().catch((e) => {
    console.error(e);
    process.exit(1);
});
