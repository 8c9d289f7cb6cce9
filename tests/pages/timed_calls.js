// The page's calls that wait on the update server, each timed with the
// system's tick count: one line per call,
//   <call> start=<tick> end=<tick> result=<value>   or   ... error=<description>
// Arguments: the call (UpLoad, DownLoad or MakeShortCut) and how many times.
function timed(name, call) {
    var start = host.tick(), outcome;
    try {
        outcome = "result=" + call();
    } catch (e) {
        outcome = "error=" + e.description;
    }
    host.print(name + " start=" + start + " end=" + host.tick() + " " + outcome);
}
var calls = {
    UpLoad: function () { return ctl.UpLoad("user", "pw", "/a.txt|3"); },
    DownLoad: function () { return ctl.DownLoad("user", "pw", "/a.txt|3"); },
    MakeShortCut: function () { return ctl.MakeShortCut("http://www.zarn.example/", "1"); }
};
var name = host.arg(0), times = host.argc > 1 ? +host.arg(1) : 1;
for (var i = 0; i < times; ++i) timed(name, calls[name]);
