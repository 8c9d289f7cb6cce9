// The demo page: what the service's web page does with the control, one
// step at a time. Run it with scripts/demo.

host.print("Zarn web control - demo page");
host.print("============================");
host.print("");

// The page learns what the user picked through UpSelectComplete: one event
// per item, with its path, its size and whether it is a file or a folder.
host.connect(ctl, "UpSelectComplete", function (path, size, mode) {
    host.print("  UpSelectComplete");
    host.print("    path: " + path);
    host.print("    size: " + size);
    host.print("    mode: " + mode);
});

host.print("CheckInstall()");
ctl.CheckInstall();
host.print("  done");
host.print("");

host.print("SelectComplete(\"C:\\\\Docs\\\\a.txt\", \"1234\", \"-1\")");
var result = ctl.SelectComplete("C:\\Docs\\a.txt", "1234", "-1");
host.print("  returned " + result);
host.print("");

// ---- The main job: DownLoad and UpLoad hand the item list to the transfer
// programs. scripts/demo serves the installer on the update server stand-in
// and names the file in which the transfer programs record what they get.
(function () {
    var record = host.env("ZARN_TRANSFER_RECORD");
    var items = "/\uB0B4 \uBB38\uC11C/\uBCF4\uACE0\uC11C.hwp|20480|/\uC0AC\uC9C4/\uC5EC\uB984.jpg|512000";

    // The record's lines; none before a program has written one.
    function recordLines() {
        try {
            return record ? host.readFile(record).split("\n") : [""];
        } catch (e) {
            return [""];
        }
    }

    // Prints what `program` recorded since `from` lines of the record.
    function received(program, from) {
        var lines = recordLines();
        for (var i = from; i < lines.length; i++) {
            var line = lines[i];
            if (line.indexOf(program + " ") !== 0) continue;
            var rest = line.substring(program.length + 1);
            if (rest.indexOf("start ") === 0) {
                host.print("  " + program + " program started: " + rest.replace(/^.* cmdline=/, "").replace(/\\\\/g, "\\"));
            } else if (rest.indexOf("arg ") === 0 && rest.indexOf("arg 0 ") !== 0) {
                host.print("    argument " + rest.substring(4));
            } else if (rest.indexOf("list ") === 0) {
                var size = /cbData=(\d+)/.exec(rest)[1];
                var reply = /reply=(-?\d+)/.exec(rest)[1];
                host.print("  " + program + " program received a list of " + size +
                           " bytes (answered " + reply + "):");
                host.print("    bytes " + /bytes=([0-9a-f]*)/.exec(rest)[1]);
                host.print("    text  " + rest.replace(/^.* text=/, ""));
            }
        }
        return lines.length - 1;
    }

    function call(method, id, pw) {
        host.print(method + "(\"" + id + "\", \"" + pw + "\", \"" + items + "\")");
        var from = recordLines().length - 1;
        var started = host.tick();
        var result = ctl[method](id, pw, items);
        var took = host.tick() - started;
        received(method === "DownLoad" ? "download" : "upload", from);
        host.print("  the page saw: " + (result === undefined ? "no result" : "result " + result) +
                   ", after " + took + " ms");
        host.print("");
    }

    call("DownLoad", "zarnuser", "pa55word");
    call("UpLoad", "zarnuser", "pa55word");
})();

host.print("End of the demo page.");
