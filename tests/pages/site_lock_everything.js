// Every method of the control, each reporting whether it ran or why it was
// refused (the page is at an address the control refused).
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
show("CheckInstall", function () { return ctl.CheckInstall(); });
show("DownLoad", function () { return ctl.DownLoad("user", "secret", "/a.txt|1"); });
show("AllowPopUp", function () { return ctl.AllowPopUp("127.0.0.1"); });
show("MakeShortCut", function () { return ctl.MakeShortCut(host.arg(0) + "/", "1"); });
show("SelectComplete", function () { return ctl.SelectComplete("refused page", "1", "-1"); });
show("ShowDlgFile", function () { return ctl.ShowDlgFile(); });
show("ShowDlgFolder", function () { return ctl.ShowDlgFolder(); });
show("UpLoad", function () { return ctl.UpLoad("user", "secret", "/a.txt|1"); });
