// DownLoad and UpLoad as the service's page calls them, with both transfer
// programs already running: what each call returns, and how long it took.
function show(name, value, started) {
    host.print(name + "=" + (value === undefined ? "undefined" : value) + " ms=" + (host.tick() - started));
}
var t = host.tick();
show("DownLoad", ctl.DownLoad("user", "pw", "/a.txt|3"), t);
t = host.tick();
show("DownLoadNull", ctl.DownLoad("user", "pw", null), t);
t = host.tick();
show("UpLoad", ctl.UpLoad(12, "pw", 345), t);
