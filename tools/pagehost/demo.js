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

// ---- Folder selection (ShowDlgFolder) --------------------------------------
// The folder browser opens on the folder last used for an upload; when the
// user presses OK, the picked folder and every item in it arrive as one
// event each (the handler above): the folder itself first, then each
// subfolder followed by what is inside it, then the folder's own files.
// scripts/demo remembers a small folder and lets a watcher press OK.
host.print("ShowDlgFolder()");
var folderResult = ctl.ShowDlgFolder();
host.print("  returned " + folderResult);
host.print("");
// ---- end of folder selection ----------------------------------------------

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

// ---- Desktop shortcut and pop-up allow entry ----------------------------
// MakeShortCut keeps the service's icon and Zarn.url in a Zarn folder under
// the temporary folder and puts Zarn.lnk, pointing at Zarn.url, on the
// desktop. AllowPopUp adds the site to the browser's pop-up allow list, but
// only when the browser keeps one for this user. Both name the page's own
// site: the control makes shortcuts and pop-up entries for the service's
// sites only.
(function () {
    var here = typeof location != "undefined" ? location.href : "http://www.zarn.example/";
    var parts = /^([a-z]+:\/\/)([^\/:]+)(:[0-9]+)?/i.exec(here);
    var site = parts[1] + parts[2] + (parts[3] || "") + "/";
    var fso = null, shell = null;
    try {
        fso = host.create("Scripting.FileSystemObject");
        shell = host.create("WScript.Shell");
    } catch (e) {
        // Without them the page can still call the control; it just cannot look.
    }
    function where(path) {
        return path + (fso ? (fso.FileExists(path) ? "  (there)" : "  (missing)") : "");
    }

    host.print("MakeShortCut(\"" + site + "\", \"1\")");
    host.print("  returned " + ctl.MakeShortCut(site, "1"));
    var temp = host.env("TMP") || host.env("TEMP");
    if (temp.charAt(temp.length - 1) != "\\") temp += "\\";
    var folder = temp + "Zarn\\";
    host.print("  icon (from the update server): " + where(folder + "zarn1.ico"));
    host.print("  Internet shortcut: " + where(folder + "Zarn.url"));
    try {
        var lines = host.readFile(folder + "Zarn.url").split("\r\n");
        for (var i = 0; i < lines.length; ++i) host.print("    | " + lines[i]);
    } catch (e) {
    }
    if (shell) host.print("  desktop shortcut: " + where(shell.SpecialFolders("Desktop") + "\\Zarn.lnk"));
    host.print("");

    var name = parts[2];
    var list = "HKCU\\Software\\Microsoft\\Internet Explorer\\New Windows\\Allow\\";
    host.print("AllowPopUp(\"" + name + "\")");
    host.print("  returned " + ctl.AllowPopUp(name));
    if (shell) {
        try {
            host.print("  " + list + name + " = " + shell.RegRead(list + name));
        } catch (e) {
            host.print("  no entry: the browser keeps no allow list for this user (" + list + ")");
        }
    }
    host.print("");
})();

// ---- Another site ---------------------------------------------------------
// A shortcut to a site that is not the service's is refused, and nothing
// is written.
(function () {
    var other = "http://elsewhere.example/";
    host.print("MakeShortCut(\"" + other + "\", \"1\")");
    try {
        host.print("  returned " + ctl.MakeShortCut(other, "1"));
    } catch (e) {
        host.print("  refused: " + e.description);
    }
    host.print("");
})();

host.print("End of the demo page.");
