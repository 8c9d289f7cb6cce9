// A page whose site may not script the control: it has no control to use.
host.print("ctl: " + typeof ctl);
try {
    new ActiveXObject("WEB_CONTROL.WebControlCtrl.1");
    host.print("ActiveXObject: created");
} catch (e) {
    host.print("ActiveXObject: refused");
}
host.print("at " + location.href);
