// The main job on a machine without the transfer programs, as the service's
// page starts it: DownLoad sends the install report, the update check
// installs the signed release, and the list goes to the download program.
var started = host.tick();
ctl.DownLoad("zarnuser", "pa55word", "/docs/a.txt|10");
host.print("DownLoad returned after " + (host.tick() - started) + " ms");
