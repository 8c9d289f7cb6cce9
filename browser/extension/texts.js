// Every sentence the extension shows a person or a page, in English. A
// translation is this one file with the same keys.
"use strict";

var ZarnTexts = {
    // The messages of the errors a page's call can get from the extension.
    errors: {
        gone: "The connection to the Zarn program was lost.",
        program: "The Zarn program is not installed, or it failed to start.",
        silent: "The Zarn program did not answer within 5 seconds.",
        admin: "This browser's settings forbid the Zarn program here.",
        programUpdate: "The Zarn program is older than this extension.",
        extensionUpdate: "The Zarn browser extension is older than the Zarn program.",
        noSite: "This extension was built for no site."
    },
    // The welcome page and the toolbar popup.
    page: {
        title: "Zarn",
        welcome: "The Zarn browser extension is installed.",
        checking: "Looking for the Zarn program\u2026",
        extension: "Extension",
        program: "Program",
        site: "This tab",
        siteYes: "a site of the Zarn service",
        siteNo: "not a site of the Zarn service",
        notFound: "not found",
        // One sentence for each status, and the label of its link.
        ready: "The Zarn program is ready: the service's pages can use it.",
        needProgram: "Install the Zarn program to finish.",
        needProgramUpdate: "Update the Zarn program to its latest version.",
        needExtensionUpdate: "Update the Zarn browser extension from your browser's store.",
        needAdmin: "Your browser's settings forbid the Zarn program: ask your administrator.",
        needOtherSite: "This extension serves no site here.",
        downloadProgram: "Download the Zarn program",
        openStore: "Open the store page",
        recheck: "This page notices the program once it is installed."
    }
};
