// The page side of the hostile-tree walk: count the items, time them, and
// show that the page still works once ShowDlgFolder has returned.
var count = 0, folders = 0, deepest = 0, sawBottom = false, sawLocked = false;
host.connect(ctl, "UpSelectComplete", function (path, size, mode) {
    count++;
    if (size == "-1") folders++;
    var depth = path.split("\\").length;
    if (depth > deepest) deepest = depth;
    if (path.indexOf("\\d40\\bottom.txt") >= 0) sawBottom = true;
    if (path.indexOf("\\locked\\inside.txt") >= 0) sawLocked = true;
});
var start = host.tick();
var result = ctl.ShowDlgFolder();
var ms = host.tick() - start;
host.print("result " + result);
host.print("items " + count);
host.print("folders " + folders);
host.print("bottom " + sawBottom);
host.print("locked " + sawLocked);
host.print("ms " + ms);
var echoed = "";
host.connect(ctl, "UpSelectComplete", function (path) { echoed = path; });
ctl.SelectComplete("after the walk", "1", "-1");
host.print("echo " + echoed);
