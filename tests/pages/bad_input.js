// Calls the control the wrong way. Every call either succeeds or fails with
// an error the script can catch; the page must keep running to the end.
var big = new Array(1024 * 1024 + 1).join("x");  // 1 MB of text
var heard = 0;
host.connect(ctl, "UpSelectComplete", function (p, s, m) {
    heard++;
    host.print("event lengths " + p.length + " " + s.length + " " + m.length);
});

function attempt(label, f) {
    try {
        var r = f();
        host.print(label + ": ok " + r);
    } catch (e) {
        host.print(label + ": error 0x" + (e.number >>> 0).toString(16));
    }
}

// Wrong argument counts are refused before a method starts, so even the
// methods with real work to do run nothing here.
attempt("CheckInstall extra", function () { return ctl.CheckInstall("a"); });
attempt("DownLoad missing", function () { return ctl.DownLoad("a", "b"); });
attempt("DownLoad extra", function () { return ctl.DownLoad("a", "b", "c", "d"); });
attempt("AllowPopUp missing", function () { return ctl.AllowPopUp(); });
attempt("AllowPopUp extra", function () { return ctl.AllowPopUp("a", "b"); });
attempt("MakeShortCut missing", function () { return ctl.MakeShortCut("a"); });
attempt("MakeShortCut extra", function () { return ctl.MakeShortCut("a", "1", "x"); });
attempt("SelectComplete missing", function () { return ctl.SelectComplete(); });
attempt("SelectComplete extra", function () { return ctl.SelectComplete("a", "b", "c", "d"); });
attempt("ShowDlgFile extra", function () { return ctl.ShowDlgFile(1); });
attempt("ShowDlgFolder extra", function () { return ctl.ShowDlgFolder(1); });
attempt("UpLoad missing", function () { return ctl.UpLoad(); });
attempt("UpLoad extra", function () { return ctl.UpLoad("a", "b", "c", "d"); });
attempt("Nothing", function () { return ctl.NoSuchMethod(); });

// Values of every kind through the method that only echoes them.
attempt("object", function () { return ctl.SelectComplete({a: 1}, "1", "2"); });
attempt("array", function () { return ctl.SelectComplete([1, 2], "1", "2"); });
attempt("function", function () { return ctl.SelectComplete(function () {}, "1", "2"); });
attempt("huge", function () { return ctl.SelectComplete(big, big, big); });
attempt("date", function () { return ctl.SelectComplete(new Date(0), "1", "2"); });
host.print("heard " + heard);
host.print("end of page");
