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
// The folder browser is modal and waits for a person. The demo page must end
// by itself, so it opens the browser only when a watcher is there to press
// OK (ZARN_DEMO_WATCHER=1, as the test of this block sets); otherwise it says
// so and goes on. Each item of the picked folder arrives as one event above.
if (host.env("ZARN_DEMO_WATCHER") == "1") {
    host.print("ShowDlgFolder()");
    var folderResult = ctl.ShowDlgFolder();
    host.print("  returned " + folderResult);
} else {
    host.print("ShowDlgFolder(): skipped, no watcher to answer the folder browser");
    host.print("  (set ZARN_DEMO_WATCHER=1 when something will press OK in it)");
}
host.print("");
// ---- end of folder selection ----------------------------------------------

host.print("End of the demo page.");
