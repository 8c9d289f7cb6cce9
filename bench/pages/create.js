// Creation and first call from page script: the control against a trivial
// system object, in the same run.
function measure(progid, call, rounds) {
    var start = host.tick();
    for (var i = 0; i < rounds; i++) call(new ActiveXObject(progid));
    return (host.tick() - start) / rounds;
}
var rounds = 1000;
measure("WEB_CONTROL.WebControlCtrl.1", function (o) { o.CheckInstall(); }, 20);
measure("Scripting.Dictionary", function (o) { return o.Count; }, 20);
var control = measure("WEB_CONTROL.WebControlCtrl.1", function (o) { o.CheckInstall(); }, rounds);
var dictionary = measure("Scripting.Dictionary", function (o) { return o.Count; }, rounds);
host.print("script: control " + (control * 1000).toFixed(1) + " us, Scripting.Dictionary " +
           (dictionary * 1000).toFixed(1) + " us, ratio " + (control / dictionary).toFixed(2));
