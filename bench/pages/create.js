// Creation and first call from page script: the control against a trivial
// system object, in the same run.
function measure(progid, call, rounds) {
    var start = host.tick();
    for (var i = 0; i < rounds; i++) call(new ActiveXObject(progid));
    return (host.tick() - start) / rounds;
}
// Each round alternates the two in short blocks, so that a change in the
// machine's load weighs on both alike.
var blocks = 20, calls = 100, rounds = 9, ratios = [];
measure("WEB_CONTROL.WebControlCtrl.1", function (o) { o.CheckInstall(); }, 20);
measure("Scripting.Dictionary", function (o) { return o.Count; }, 20);
for (var r = 0; r < rounds; r++) {
    var control = 0, dictionary = 0;
    for (var b = 0; b < blocks; b++) {
        control += measure("WEB_CONTROL.WebControlCtrl.1", function (o) { o.CheckInstall(); }, calls) / blocks;
        dictionary += measure("Scripting.Dictionary", function (o) { return o.Count; }, calls) / blocks;
    }
    host.print("round " + (r + 1) + ": control " + (control * 1000).toFixed(1) +
               " us, Scripting.Dictionary " + (dictionary * 1000).toFixed(1) + " us (x" +
               (control / dictionary).toFixed(2) + ")");
    ratios.push(control / dictionary);
}
ratios.sort(function (a, b) { return a - b; });
host.print("BENCH create_vs_dictionary_js " + ratios[(rounds - 1) / 2].toFixed(2) + " 1.20 min " +
           ratios[0].toFixed(2) + " max " + ratios[rounds - 1].toFixed(2) + " rounds " + rounds);
