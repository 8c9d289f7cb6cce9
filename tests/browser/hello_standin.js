// A stand-in for the program in the browser suites, speaking native
// messaging on stdin/stdout: "range:OLDEST:NEWEST" greets with that range of
// protocols (NEWEST alone: no minProtocol, as hosts before it) and answers
// every other request with an error; "silent" reads and never answers;
// "exit" ends before it answers anything.
"use strict";

const mode = process.argv[2] || "";
if (mode === "exit") process.exit(3);

function write(message) {
    const body = Buffer.from(JSON.stringify(message), "utf8");
    const head = Buffer.alloc(4);
    head.writeUInt32LE(body.length, 0);
    process.stdout.write(Buffer.concat([head, body]));
}

const range = /^range:(\d*):(\d+)$/.exec(mode);
let input = Buffer.alloc(0);
process.stdin.on("data", (chunk) => {
    input = Buffer.concat([input, chunk]);
    while (input.length >= 4 && input.length >= 4 + input.readUInt32LE(0)) {
        const length = input.readUInt32LE(0);
        const request = JSON.parse(input.subarray(4, 4 + length).toString("utf8"));
        input = input.subarray(4 + length);
        if (!range) continue;
        if (request.method === "hello") {
            const result = { protocol: Number(range[2]), version: "9.9.9.9", arch: "x86" };
            if (range[1] !== "") result.minProtocol = Number(range[1]);
            write({ id: request.id, result: result });
        } else {
            write({ id: request.id, error: { code: "bad-request", message: "not understood" } });
        }
    }
});
process.stdin.on("end", () => process.exit(0));
