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

host.print("End of the demo page.");
