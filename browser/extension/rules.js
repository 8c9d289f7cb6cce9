// The service's site rules as the control's site lock applies them, for the
// content script (which offers the API only where they allow it) and the
// background (which judges every request's origin again). The list itself
// is ZARN_SITES, written by the build into sites.js from ZARN_ALLOWED_SITES:
// entries of {scheme, host, port, subdomains}, host in lower-case ASCII
// (punycode) form, port the one written or the scheme's default.
"use strict";

var ZarnRules = (function () {
    var defaultPorts = { http: 80, https: 443 };

    // An origin as browsers write it: "scheme://host" or "scheme://host:port",
    // lower case, the default port left out, an IPv6 address in its shortest
    // form. Anything else (a path, a user, "null", upper case, a default port
    // written out) is not an origin here.
    var originPattern =
        /^(https?):\/\/([a-z0-9-]+(?:\.[a-z0-9-]+)*|\[[0-9a-f:.]+\])(?::([1-9][0-9]{0,4}))?$/;

    // The origin the browser's own URL parser writes for `origin`, so that
    // an IPv6 address is taken only in its shortest form.
    function reserialised(origin) {
        try {
            return new URL(origin).origin;
        } catch (e) {
            return null;
        }
    }

    function parseOrigin(origin) {
        if (typeof origin !== "string") return null;
        var parts = originPattern.exec(origin);
        if (!parts || reserialised(origin) !== origin) return null;
        var scheme = parts[1];
        var port = parts[3] === undefined ? defaultPorts[scheme] : Number(parts[3]);
        if (parts[3] !== undefined && (port === defaultPorts[scheme] || port > 65535)) return null;
        var host = parts[2];
        var ip = host.charAt(0) === "[" || /^[0-9]+(\.[0-9]+){3}$/.test(host);
        return { scheme: scheme, host: host, port: port, ip: ip };
    }

    function matches(origin, site) {
        if (origin.scheme !== site.scheme || origin.port !== site.port) return false;
        if (!site.subdomains) return origin.host === site.host;
        // "*.host": a host below it, never the host itself nor an IP literal.
        var suffix = "." + site.host;
        return !origin.ip && origin.host.length > suffix.length &&
            origin.host.slice(-suffix.length) === suffix;
    }

    // Whether a page of `origin` may use the API.
    function allowedOrigin(origin, sites) {
        var parsed = parseOrigin(origin);
        if (!parsed) return false;
        for (var i = 0; i < sites.length; i++) {
            if (matches(parsed, sites[i])) return true;
        }
        return false;
    }

    return { allowedOrigin: allowedOrigin, parseOrigin: parseOrigin };
})();
