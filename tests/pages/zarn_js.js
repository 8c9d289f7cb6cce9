// zarn.js on its ActiveX channel: the page host's JScript loads the library
// and drives the hosted control through it, as Internet Explorer would.
// Prints one line per step; the suite compares them.
// The built library: the build fills in its protocol table, links and steps.
eval(host.readFile(host.env("ZARN_BUILD_DIR") + "\\zarn.js"));

var z = Zarn.open({
    control: ctl,
    connect: function (control, name, handler) { host.connect(control, name, handler); },
    setTimeout: function (callback, ms) { return host.setTimeout(callback, ms); }
});
host.print("kind " + z.kind + ", Promise " + (typeof Promise));

var done = false;
var returned = false;
function log(text) { host.print(text); }
function outcome(tag) {
    return [function (result) { log(tag + " result " + result + (returned ? "" : " (too early)")); },
            function (error) {
                log(tag + " error " + error.code + " " + (error instanceof Error) +
                    (returned ? "" : " (too early)"));
            }];
}

z.on("UpSelectComplete", function (path, size, mode) {
    log("event " + path + "|" + size + "|" + mode + "|" + typeof size);
});

// Events first, then the result, always after the call has returned.
var selected = outcome("SelectComplete");
z.SelectComplete("C:\\\uBB38\uC11C\\\uBCF4\uACE0\uC11C.txt", 1234, null).then(selected[0], selected[1]);
// A shortcut to another site is the control's refusal, refused-site here.
var refused = outcome("MakeShortCut");
z.MakeShortCut("http://localhost/", "1").then(refused[0], refused[1]);
returned = true;
log("returned");

// then() gives a new result that takes a callback's value or its throw;
// ["catch"] takes a rejection; a result settles once.
z.SelectComplete("x", "1", "-1").then(function (result) {
    log("chained from " + result);
    throw new Error("thrown in then");
})["catch"](function (error) {
    log("caught " + error.message);
    return "recovered";
}).then(function (value) {
    log("then " + value);
    done = true;
});

while (!done) host.sleep(20);
log("end of page");
