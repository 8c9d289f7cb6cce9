// The memory a folder walk takes through Chromium, the extension and the
// bridge host: a wide folder of 30,000 files, then one of 300,000, picked
// in the folder picker, every item to a page handler that spends about
// 0.2 ms on each (as a page that lists them would). The page counts items
// by their number in a bit array, so its own memory does not grow with the
// folder. Memory is the peak, during the walk, of the resident memory of
// every process of the browser and of the page's host, summed, less the
// same sum idle before the walk. A walk whose events wait nowhere takes as
// much at 300,000 files as at 30,000.
// scripts/bench runs it with the browser suites' environment.
"use strict";

const fs = require("fs");
const path = require("path");
const rig = require("../../tests/browser/rig");

const sizes = [30000, 300000];
const handlerMs = 0.2;
const sampleMs = 100;

function folderOf(files) {
    return "C:\\zarn-wide-" + files;
}

// A folder of `files` empty files named by their number, made once.
function makeFolder(files) {
    const unix = rig.driveC(folderOf(files));
    const name = (i) => path.join(unix, "f" + String(i).padStart(6, "0"));
    if (fs.existsSync(name(files - 1))) return;
    fs.mkdirSync(unix, { recursive: true });
    for (let i = 0; i < files; i++) fs.writeFileSync(name(i), "");
}

// Every process below `root` (the browser), and `root` itself.
function descendants(root) {
    const children = {};
    for (const pid of fs.readdirSync("/proc").filter((p) => /^\d+$/.test(p))) {
        try {
            const stat = fs.readFileSync("/proc/" + pid + "/stat", "utf8");
            const parent = Number(stat.slice(stat.lastIndexOf(")") + 2).split(" ")[1]);
            (children[parent] = children[parent] || []).push(Number(pid));
        } catch (e) {
            // Gone meanwhile.
        }
    }
    const found = [root];
    for (let i = 0; i < found.length; i++) found.push(...(children[found[i]] || []));
    return found;
}

function rssKiB(pid) {
    try {
        const status = fs.readFileSync("/proc/" + pid + "/status", "utf8");
        const m = /^VmRSS:\s+(\d+) kB/m.exec(status);
        return m ? Number(m[1]) : 0;
    } catch (e) {
        return 0;
    }
}

// What a process is, for the breakdown: the host, the extension's
// process, a page's renderer, or the rest of the browser.
function kindOf(pid) {
    let command = "";
    try {
        command = fs.readFileSync("/proc/" + pid + "/cmdline", "utf8");
    } catch (e) {
        return "gone";
    }
    if (/zarn-bridge\.exe/i.test(command)) return "host";
    if (/--extension-process/.test(command)) return "extension";
    if (/--type=renderer/.test(command)) return "renderer";
    return "browser";
}

// The browser's processes and the page's host, in MiB: the sum, and by kind.
function memory(browser) {
    const pids = new Set(descendants(browser.process().pid));
    for (const line of rig.hostProcesses()) pids.add(Number(line.trim().split(/\s+/)[0]));
    const kinds = { host: 0, extension: 0, renderer: 0, browser: 0 };
    let kib = 0;
    for (const pid of pids) {
        const used = rssKiB(pid);
        kib += used;
        const kind = kindOf(pid);
        if (kind in kinds) kinds[kind] += used / 1024;
    }
    return { total: kib / 1024, kinds };
}

async function walk(browser, page, files) {
    rig.wine(["reg", "add", "HKCU\\Software\\Zarn", "/v", "sWebControlPath", "/d", folderOf(files), "/f"]);
    // Idle: the page and its host up, nothing walking.
    await rig.call(page, "hello");
    await new Promise((resolve) => setTimeout(resolve, 2000));
    const idle = memory(browser);
    const peaks = Object.assign({}, idle.kinds);
    const press = rig.spawn(process.env.ZARN_WINE, [path.join(rig.build, "dialogpress.exe"),
        "--process", "zarn-bridge.exe", "--timeout", "120000", "\uC5C5\uB85C\uB4DC \uD558\uC2E4 " +
        "\uD3F4\uB354\uB97C \uC120\uD0DD\uD558\uC138\uC694."], { stdio: "ignore" });
    let peak = idle.total;
    const sampler = setInterval(() => {
        const now = memory(browser);
        peak = Math.max(peak, now.total);
        for (const kind in peaks) peaks[kind] = Math.max(peaks[kind], now.kinds[kind]);
    }, sampleMs);
    try {
        const figures = await page.evaluate((files, handlerMs) => new Promise((done) => {
            const z = Zarn.open();
            const seen = new Uint8Array(Math.ceil(files / 8));
            let items = 0, twice = 0, strays = 0, started = 0, jsHeap = 0, kept = 0;
            const handler = (itemPath) => {
                if (!started) started = performance.now();
                const end = performance.now() + handlerMs;
                while (performance.now() < end);
                items++;
                // The page's script heap, as Chromium reports it (rounded).
                if (items % 1000 === 0 && performance.memory)
                    jsHeap = Math.max(jsHeap, performance.memory.usedJSHeapSize);
                if (items % 20000 === 0 && window.gc) {
                    window.gc();
                    kept = Math.max(kept, performance.memory.usedJSHeapSize);
                }
                const m = /\\f(\d{6})$/.exec(itemPath);
                if (!m) {
                    strays++;  // the picked folder's own item
                    return;
                }
                const i = Number(m[1]);
                if (seen[i >> 3] & (1 << (i & 7))) twice++;
                seen[i >> 3] |= 1 << (i & 7);
            };
            z.on("UpSelectComplete", handler);
            z.ShowDlgFolder().then((result) => {
                z.off("UpSelectComplete", handler);
                let missing = 0;
                for (let i = 0; i < files; i++) if (!(seen[i >> 3] & (1 << (i & 7)))) missing++;
                done({ result, items, twice, missing, strays, seconds: (performance.now() - started) / 1000,
                       pageScriptHeapMiB: Math.round(jsHeap / 1048576),
                       keptAfterGcMiB: Math.round(kept / 1048576) });
            }, (e) => done({ error: e.code + " " + e.message }));
        }), files, handlerMs);
        figures.peakAboveIdleMiB = peak - idle.total;
        figures.idleMiB = idle.total;
        // Each kind's own peak above its idle (the peaks need not coincide).
        figures.byKind = {};
        for (const kind in peaks) figures.byKind[kind] = Math.round(peaks[kind] - idle.kinds[kind]);
        return figures;
    } finally {
        clearInterval(sampler);
        press.kill();
    }
}

(async () => {
    rig.publishPages();
    for (const files of sizes) makeFolder(files);
    const browser = await rig.chromium({ profile: "bench-walk-memory",
                                         args: process.env.ZARN_BENCH_GC ? ["--js-flags=--expose-gc"] : [] });
    const results = {};
    try {
        const page = await browser.newPage();
        await page.goto(rig.url("page.html"));
        await page.bringToFront();
        for (const files of sizes) {
            const figures = await walk(browser, page, files);
            console.log("walk of %d files: %s", files, JSON.stringify(figures));
            if (figures.error || figures.missing || figures.twice || figures.strays !== 1)
                throw new Error("the walk did not bring every item exactly once: " + JSON.stringify(figures));
            results[files] = figures;
        }
    } finally {
        await browser.close();
        rig.kill(rig.hostProcesses());
    }
    const [small, large] = sizes.map((files) => results[files].peakAboveIdleMiB);
    console.log("BENCH browser_walk_memory_ratio %s 1.2 (300,000 files against 30,000: %s and %s MiB " +
                "above idle)", (large / small).toFixed(2), large.toFixed(0), small.toFixed(0));
    console.log("BENCH browser_walk_memory_mib %s 150 (300,000 files, the browser's processes and the " +
                "host above idle)", large.toFixed(0));
})().catch((e) => {
    console.error(e);
    process.exit(1);
});
