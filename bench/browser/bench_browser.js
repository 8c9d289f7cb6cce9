// The round trip of a page in Chromium: SelectComplete through zarn.js, the
// extension and the bridge host (request, event, reply), against the same
// page calling a bare echo host (bench/bridge_echo.cpp) through a bare
// relay extension (bench/browser/bare-extension). Both browsers run side by
// side and take turns, ten calls at a time. Also the first call of a page: a new
// page's first call starts its host, under a Wine that is already up.
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
            .then(() => performance.now() - started);
    });
    await page.close();
    return ms;
}

(async () => {
    rig.publishPages();
    const real = await rig.chromium({ profile: "bench-real" });
    const floor = await rig.chromium({
        profile: "bench-floor", extension: bareExtension(),
        host: { exe: path.join(rig.build, "bridge_echo.exe"), manifest: "zarn-bridge.json" },
    });
    try {
        const realFirst = [], floorFirst = [];
        for (let i = 0; i < firstCalls; i++) {
            realFirst.push(await firstCall(real));
            floorFirst.push(await firstCall(floor));
        }
        console.log("first call of a page, warm Wine: bridge host median %s ms (min %s max %s), " +
                    "echo host median %s ms", median(realFirst).toFixed(0),
                    Math.min(...realFirst).toFixed(0), Math.max(...realFirst).toFixed(0),
                    median(floorFirst).toFixed(0));

        const realPage = await real.newPage();
        await realPage.goto(rig.url("page.html"));
        const floorPage = await floor.newPage();
        await floorPage.goto(rig.url("page.html"));
        // Both hosts started and warm before the first round.
        await timeCalls(realPage, 20);
        await timeCalls(floorPage, 20);
        // The machine's load drifts: each round alternates short batches
        // of the two, so both see the same load.
        const ratios = [];
        for (let i = 0; i < rounds; i++) {
            let r = 0, f = 0;
            for (let b = 0; b < callsPerRound / batch; b++) {
                r += await timeCalls(realPage, batch) / (callsPerRound / batch);
                f += await timeCalls(floorPage, batch) / (callsPerRound / batch);
            }
            ratios.push(r / f);
            console.log("round %d: bridge %s ms a call, echo %s ms, ratio %s", i + 1, r.toFixed(3),
                        f.toFixed(3), (r / f).toFixed(2));
        }
        console.log("BENCH browser_roundtrip %s 1.25 min %s max %s rounds %d", median(ratios).toFixed(2),
                    Math.min(...ratios).toFixed(2), Math.max(...ratios).toFixed(2), rounds);
        console.log("BENCH browser_first_call %s none min %s max %s rounds %d",
                    (median(realFirst) / median(floorFirst)).toFixed(2),
                    (Math.min(...realFirst) / median(floorFirst)).toFixed(2),
                    (Math.max(...realFirst) / median(floorFirst)).toFixed(2), firstCalls);
    } finally {
        await real.close();
        await floor.close();
        rig.kill(rig.hostProcesses());
    }
})().catch((e) => {
    console.error(e);
    process.exit(1);
});
