// SelectComplete echoes its three strings to every connected handler, in
// order, whatever the page passes; a control made with ActiveXObject
// behaves like the hosted one.
function show(tag) {
    return function (path, size, mode) {
        host.print(tag + "|" + path + "|" + size + "|" + mode + "|" + typeof path);
    };
}
host.connect(ctl, "UpSelectComplete", show("first"));
host.connect(ctl, "UpSelectComplete", show("second"));

ctl.CheckInstall();
host.print("r=" + ctl.SelectComplete("D:\\Photos", "-1", "-1"));
ctl.SelectComplete("", "", "");
ctl.SelectComplete(1234, 2.5, -1);
ctl.SelectComplete(null, undefined, true);
ctl.SelectComplete("한글 경로\\파일.txt", "5368709120", "D:\\사진");

var made = new ActiveXObject("WEB_CONTROL.WebControlCtrl.1");
host.connect(made, "UpSelectComplete", show("made"));
host.print("made=" + made.SelectComplete("x", "1", "-1"));
