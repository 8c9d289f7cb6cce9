#!/usr/bin/env python3
"""Reads bridge/protocol.table and writes what is made from it.

  protocol_table.py header TABLE OUT.h
      the host's C++ header: the protocol numbers, the limits, the methods
      with their arity and thread, the events, and the error codes
  protocol_table.py js TABLE OUT.js
      the same as one JavaScript object, ZarnProtocol, for the extension's
      scripts (a file of their own)
  protocol_table.py json TABLE
      prints the table as JSON (for build_extension.py, which puts it into
      zarn.js, and for the tests)

Anything the table does not say exactly as its header describes is an error,
so a typo cannot reach a side.
"""
import json
import re
import sys

RUNS = ("reader", "thread")
FLAGS = ("page", "events")
NAME = re.compile(r"^[A-Za-z][A-Za-z0-9]*$")
CODE = re.compile(r"^[a-z]+(-[a-z]+)*$")


class TableError(Exception):
    pass


def read(path):
    table = {"protocol": None, "limits": {}, "methods": {}, "events": {}, "errors": {}}
    needs = set()
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.split("#", 1)[0].split()
            if not line:
                continue
            where = "%s:%d" % (path, number)
            kind, args = line[0], line[1:]

            def whole(text):
                if not re.fullmatch(r"[0-9]+", text):
                    raise TableError("%s: not a whole number: %s" % (where, text))
                return int(text)

            if kind == "protocol" and len(args) == 2:
                newest, oldest = whole(args[0]), whole(args[1])
                if not 1 <= oldest <= newest or table["protocol"]:
                    raise TableError("%s: protocol NEWEST OLDEST, once, 1 <= OLDEST <= NEWEST" % where)
                table["protocol"] = {"newest": newest, "oldest": oldest}
            elif kind == "limit" and len(args) == 2 and NAME.match(args[0]):
                if args[0] in table["limits"]:
                    raise TableError("%s: limit %s twice" % (where, args[0]))
                table["limits"][args[0]] = whole(args[1])
            elif kind == "method" and len(args) >= 3 and NAME.match(args[0]):
                name, arity, runs, flags = args[0], whole(args[1]), args[2], args[3:]
                if runs not in RUNS or any(f not in FLAGS for f in flags) or name in table["methods"]:
                    raise TableError("%s: method NAME ARITY %s [%s], once" % (where, "|".join(RUNS),
                                                                          " ".join(FLAGS)))
                table["methods"][name] = {"params": arity, "thread": runs == "thread",
                                          "page": "page" in flags, "events": "events" in flags}
            elif kind == "event" and len(args) == 2 and NAME.match(args[0]):
                table["events"][args[0]] = whole(args[1])
            elif kind == "error" and args and CODE.match(args[0]):
                if args[0] in table["errors"]:
                    raise TableError("%s: error %s twice" % (where, args[0]))
                table["errors"][args[0]] = args[1:]
                needs.update(args[1:])
            else:
                raise TableError("%s: not a line of the table: %s" % (where, raw.strip()))
    if not table["protocol"]:
        raise TableError("%s: no protocol line" % path)
    for name in ("maxCalls", "maxRequestBytes", "maxReplyBytes", "highestId", "maxMethodLength",
                 "eventWindow"):
        if name not in table["limits"]:
            raise TableError("%s: no limit %s" % (path, name))
    if table["limits"]["highestId"] > 0x7FFFFFFF:
        raise TableError("%s: highestId must fit a signed 32-bit id" % path)
    for code in ("bad-frame", "bad-request", "unknown-method", "internal"):
        if code not in table["errors"]:
            raise TableError("%s: no error %s" % (path, code))
    for need in needs:
        if not CODE.match(need):
            raise TableError("%s: not a need: %s" % (path, need))
    return table


def camel(word):
    """An enum member's name: "hello" Hello, "DownLoad" DownLoad, "bad-frame" BadFrame."""
    return "".join(part[0].upper() + part[1:] for part in word.split("-"))


def constant(name):
    return "k" + name[0].upper() + name[1:]


def header(table):
    methods, errors = table["methods"], table["errors"]
    out = ["// Written by cmake/protocol_table.py from bridge/protocol.table: change the table.",
           "#pragma once", "", "#include <array>", "#include <cstddef>", "#include <cstdint>",
           "#include <string_view>", "", "namespace zarn::bridge {", "",
           "// The newest protocol the host speaks, and the oldest it still answers in",
           "// the same way: an extension judges by both which side is behind.",
           "inline constexpr int kProtocolVersion = %d;" % table["protocol"]["newest"],
           "inline constexpr int kOldestProtocolVersion = %d;" % table["protocol"]["oldest"], ""]
    for name, value in table["limits"].items():
        out.append("inline constexpr std::uint32_t %s = %du;" % (constant(name), value))
    out += ["", "enum class Method {"] + ["    %s," % camel(m) for m in methods] + ["};", ""]
    out += ["struct MethodInfo {", "    std::string_view name;", "    Method method;",
            "    std::size_t params;  // the control's parameter count",
            "    bool ownThread;      // runs on a call thread (dialogs, waits, network)",
            "    bool events;         // fires events, which a request may ask to acknowledge",
            "};", "",
            "inline constexpr std::array<MethodInfo, %d> kMethods{{" % len(methods)]
    for name, m in methods.items():
        out.append('    {"%s", Method::%s, %d, %s, %s},' % (
            name, camel(name), m["params"], str(m["thread"]).lower(), str(m["events"]).lower()))
    out += ["}};", ""]
    for name, arity in table["events"].items():
        out.append('inline constexpr std::string_view k%sEvent = "%s";' % (name, name))
        out.append("inline constexpr std::size_t k%sEventParams = %d;" % (name, arity))
    out += ["", "enum class ErrorCode {"] + ["    %s," % camel(c) for c in errors] + ["};", "",
            "// The word a reply carries for each code, in the enum's order.",
            "inline constexpr std::array<std::string_view, %d> kErrorWords{{" % len(errors)]
    out += ['    "%s",' % c for c in errors] + ["}};", "", "}  // namespace zarn::bridge", ""]
    return "\n".join(out)


def javascript(table):
    return ("// Written by cmake/protocol_table.py from bridge/protocol.table: change the table.\n"
            "\"use strict\";\nvar ZarnProtocol = %s;\n" % json.dumps(table, indent=1))


def main(argv):
    try:
        if len(argv) == 4 and argv[1] in ("header", "js"):
            table = read(argv[2])
            text = header(table) if argv[1] == "header" else javascript(table)
            # Rewritten only when it changes, so that a new run of CMake
            # rebuilds nothing that includes it.
            try:
                with open(argv[3], encoding="utf-8", newline="\n") as f:
                    if f.read() == text:
                        return
            except OSError:
                pass
            with open(argv[3], "w", encoding="utf-8", newline="\n") as f:
                f.write(text)
        elif len(argv) == 3 and argv[1] == "json":
            print(json.dumps(read(argv[2])))
        else:
            sys.exit(__doc__)
    except (TableError, OSError) as e:
        sys.exit("protocol_table: %s" % e)


if __name__ == "__main__":
    main(sys.argv)
