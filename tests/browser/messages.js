// The browsers' i18n API over an extension's _locales, for the tests that run
// the extension's scripts without a browser: getMessage as Chromium and
// Firefox give it, and what a message's text leaves for the reader.
"use strict";

const fs = require("fs");
const path = require("path");

// {name: {message, placeholders}} of one language of an extension tree.
function read(tree, language) {
    return JSON.parse(fs.readFileSync(path.join(tree, "_locales", language, "messages.json"), "utf8"));
}

// getMessage(name, substitutions): "" for a name the table lacks; $NAME$
// becomes its placeholder's content, in which $1..$9 are the substitutions.
function getMessage(messages) {
    return (name, substitutions) => {
        const entry = Object.keys(messages).find((key) => key.toLowerCase() === String(name).toLowerCase());
        if (!entry) return "";
        const values = substitutions === undefined ? [] : [].concat(substitutions).map(String);
        const placeholders = {};
        for (const [key, value] of Object.entries(messages[entry].placeholders || {}))
            placeholders[key.toLowerCase()] = value.content.replace(/\$(\d)/g, (m, n) => values[n - 1] || "");
        return messages[entry].message.replace(/\$([A-Za-z0-9_@]+)\$/g, (m, key) => placeholders[key.toLowerCase()] || "");
    };
}

module.exports = { read, getMessage };
