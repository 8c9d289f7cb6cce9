// Calls made from inside the control's own modal loops: a timer (or an
// event handler) calls the control again, or lets go of it, while one of
// its calls is still running.
//   reentry.js <scenario> [marker file]
// Every line printed is "<what> <value>". The marker file, when given, is
// written once the timer has done its part, for a test driving a picker.
var M = "ZarnCtrl2.ocx";
var PROGID = "WEB_CONTROL.WebControlCtrl.1";
var scenario = host.arg(0), marker = host.arg(1);
var inCall = false, released = false, afterRelease = 0, events = 0;

host.connect(ctl, "UpSelectComplete", function (path, size, mode) {
    events++;
    if (released) afterRelease++;
    if (scenario == "walk") duringWalk(path);
});

function show(what, value) { host.print(what + " " + value); }
function done() { if (marker) host.writeFile(marker, "done"); }

function letGo(where) {
    show(where + ".inCall", inCall);
    host.release(ctl);
    released = true;
    // The running call keeps the module: it cannot unload under it.
    show(where + ".canUnload", host.canUnload(M));
    var gone = "no error";
    try { ctl.CheckInstall(); } catch (e) { gone = "script error"; }
    show(where + ".callAfterRelease", gone);
}

// Everything a page might call while the update dialog of another call runs.
function callAgainDuringUpdate() {
    show("again.inCall", inCall);
    show("again.UpLoad", ctl.UpLoad("second", "pw2", "second|1"));
    show("again.DownLoad", typeof ctl.DownLoad("second", "pw2", "second|1"));
    show("again.ShowDlgFile", ctl.ShowDlgFile());
    show("again.ShowDlgFolder", ctl.ShowDlgFolder());
    var other = host.create(PROGID);
    show("other.UpLoad", other.UpLoad("third", "pw3", "third|1"));
    show("other.DownLoad", typeof other.DownLoad("third", "pw3", "third|1"));
    other = null;
    // No modal UI: these stay callable.
    var before = events;
    show("again.SelectComplete", ctl.SelectComplete("C:\\x", "1", "-1"));
    show("again.event", events - before);
    show("again.CheckInstall", typeof ctl.CheckInstall());
    show("again.AllowPopUp", ctl.AllowPopUp("reentry.example"));
}

function callAgainDuringPicker() {
    show("again.inCall", inCall);
    show("again.UpLoad", ctl.UpLoad("second", "pw2", "second|1"));
    show("again.DownLoad", typeof ctl.DownLoad("second", "pw2", "second|1"));
    show("again.ShowDlgFile", ctl.ShowDlgFile());
    show("again.ShowDlgFolder", ctl.ShowDlgFolder());
    done();
}

// On the first item the handler calls the control again; on the third it
// lets go of it. The walk goes on or stops, but no event may follow.
function duringWalk(path) {
    if (events == 1) {
        var before = events;
        show("walk.SelectComplete", ctl.SelectComplete("C:\\echo", "1", "-1"));
        show("walk.echo", events - before);
        show("walk.ShowDlgFolder", ctl.ShowDlgFolder());
        show("walk.UpLoad", ctl.UpLoad("second", "pw2", "second|1"));
    } else if (events == 4) {
        letGo("walk");
    }
}

var result;
inCall = true;
if (scenario == "update-release") {
    host.setTimeout(function () { letGo("timer"); }, 300);
    result = ctl.UpLoad("user", "pw", "first|1");
} else if (scenario == "update-again") {
    host.setTimeout(callAgainDuringUpdate, 300);
    result = ctl.UpLoad("user", "pw", "first|1");
} else if (scenario == "update") {
    result = ctl.UpLoad("user", "pw", "first|1");
} else if (scenario == "file-release") {
    host.setTimeout(function () { letGo("timer"); done(); }, 300);
    result = ctl.ShowDlgFile();
} else if (scenario == "folder-release") {
    host.setTimeout(function () { letGo("timer"); done(); }, 300);
    result = ctl.ShowDlgFolder();
} else if (scenario == "file-again") {
    host.setTimeout(callAgainDuringPicker, 300);
    result = ctl.ShowDlgFile();
} else if (scenario == "walk") {
    result = ctl.ShowDlgFolder();
}
inCall = false;
show("result", result);
show("events", events);
show("eventsAfterRelease", afterRelease);

// Let go (if the scenario did not), then the module must go with the
// control: no call, no object and no thread of it left.
if (!released) host.release(ctl);
show("end.canUnload", host.canUnload(M));
show("end.module", host.freeModule(M));
show("end.threads", host.moduleThreads(M));
