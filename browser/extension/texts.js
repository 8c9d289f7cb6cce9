// Every sentence the extension shows a person or a page, in English. A
// translation is this one file with the same keys.
"use strict";

var ZarnTexts = {
    // The messages of the errors a page's call can get from the extension.
    errors: {
        gone: "The connection to the Zarn program was lost.",
        outOfTurn: "The Zarn program answered out of turn.",
        tooLarge: "The request is larger than the Zarn program accepts.",
        busy: "The page has too many calls waiting.",
        badId: "The call's id is not valid.",
        duplicateId: "A call with this id is already waiting.",
        malformed: "The request is malformed.",
        notTexts: "Parameters must be strings.",
        notOurs: "Not this extension's page.",
        noOrigin: "The page's origin is unknown.",
        prerendered: "The page is prerendered and not shown yet.",
        notShown: "The page is not the one shown.",
        notTopFrame: "Only a page's top frame may call the Zarn program.",
        refusedSite: "This site may not use the Zarn program.",
        program: "The Zarn program is not installed, or it failed to start.",
        silent: "The Zarn program did not answer within 5 seconds.",
        admin: "This browser's settings forbid the Zarn program here, or the program was registered " +
            "for another Zarn extension (the popup shows this extension's ID; the program's " +
            "\"zarn-bridge.exe --diagnose\" lists the IDs it allows).",
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
        id: "Extension ID",
        siteYes: "a site of the Zarn service",
        siteNo: "not a site of the Zarn service",
        notFound: "not found",
        recheck: "This page notices the program once it is installed.",
        // One sentence for each status (by its need), and the labels of the
        // links (see steps.js).
        steps: {
            ready: "The Zarn program is ready: the service's pages can use it.",
            "program": "Install the Zarn program to finish.",
            "program-update": "Update the Zarn program to its latest version.",
            "extension-update": "Update the Zarn browser extension from your browser's store.",
            "admin": "Your browser's settings forbid the Zarn program, or the program was registered " +
                "for another Zarn extension: compare this extension's ID (in its popup) with the IDs " +
                "\"zarn-bridge.exe --diagnose\" lists, or ask your administrator.",
            "other-site": "This extension serves no site here.",
            getProgram: "Download the Zarn program",
            getExtension: "Open the store page",
            updateExtension: "Open the store page"
        }
    }
};
