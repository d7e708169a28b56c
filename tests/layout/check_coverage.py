#!/usr/bin/env python3
"""Checks that layout_list.h covers every name the test bed's kernel headers declare.

The headers are read as the simple C they are: object-like and function-like macros,
enumerators, typedefs, and structures with their members (nested anonymous and named
sub-structures expanded; members of a named type are leaves, and that type must be covered
in turn). Every one of them needs an entry in the list, or an L_SKIP with its reason.
Routines are not layout and are not asked for.

Because the driver compiles against nothing but these headers, covering them covers every
platform name the driver uses; the names the driver uses that are skipped are listed, so
that a skip is never a surprise.

  check_coverage.py --headers DIR --list layout_list.h --driver DIR [--expect-missing NAME ...]

With --expect-missing the script succeeds only if exactly those names are reported missing
(the check's own test).
"""
import argparse
import pathlib
import re
import sys

IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
TOKEN = re.compile(r"[A-Za-z_][A-Za-z0-9_]*|0[xX][0-9A-Fa-f]+[uUlL]*|\d+[uUlL]*|->|::|\S")
QUALIFIERS = {"const", "volatile", "struct", "union", "enum", "signed", "unsigned"}


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def logical_lines(text):
    return text.replace("\\\n", " ").split("\n")


class Headers:
    def __init__(self):
        self.object_macros = {}     # name -> body
        self.function_macros = set()
        self.enumerators = set()
        self.scalar_typedefs = set()  # typedefs of non-structure types, function pointers included
        self.pointer_aliases = set()  # *PNAME declarators of a structure typedef
        self.structs = {}           # type name -> [(path, is_bitfield, by_value_type or None)]
        self.aliases = {}           # struct tag -> type name used in the list

    def parse(self, paths):
        for path in paths:
            text = strip_comments(path.read_text())
            code = []
            for line in logical_lines(text):
                m = re.match(r"\s*#\s*define\s+(\w+)(\()?\s*(.*)", line)
                if m:
                    name, paren, body = m.group(1), m.group(2), m.group(3).strip()
                    if paren:
                        self.function_macros.add(name)
                    else:
                        self.object_macros[name] = body
                    continue
                if re.match(r"\s*#", line):
                    continue
                code.append(line)
            self._parse_code(TOKEN.findall("\n".join(code)))

    # --- statements -------------------------------------------------------------------------

    def _parse_code(self, toks):
        i = 0
        while i < len(toks):
            t = toks[i]
            if t == "typedef":
                i = self._typedef(toks, i + 1)
            elif t in ("struct", "union", "enum") and self._has_body(toks, i):
                i = self._tagged(toks, i, typedef=False)
            elif t == "{" or t == "}":
                i += 1  # extern "C" { ... } blocks
            else:
                i = self._skip_statement(toks, i)

    @staticmethod
    def _has_body(toks, i):
        j = i + 1
        if j < len(toks) and IDENT.fullmatch(toks[j]):
            j += 1
        return j < len(toks) and toks[j] == "{"

    @staticmethod
    def _match_brace(toks, i):
        depth = 0
        for j in range(i, len(toks)):
            if toks[j] == "{":
                depth += 1
            elif toks[j] == "}":
                depth -= 1
                if depth == 0:
                    return j
        raise SystemExit("unbalanced braces in the headers")

    def _skip_statement(self, toks, i):
        # A prototype ends at ';', an inline function at its body's closing brace.
        depth = 0
        while i < len(toks):
            t = toks[i]
            if t == "(":
                depth += 1
            elif t == ")":
                depth -= 1
            elif t == ";" and depth == 0:
                return i + 1
            elif t == "{" and depth == 0:
                return self._match_brace(toks, i) + 1
            i += 1
        return i

    def _typedef(self, toks, i):
        if toks[i] in ("struct", "union", "enum") and self._has_body(toks, i):
            return self._tagged(toks, i, typedef=True)
        end = i
        while toks[end] != ";":
            end += 1
        body = toks[i:end]
        if "(" in body and "*" in body:
            # Function pointer: typedef R (NTAPI* Name)(...);
            star = body.index("*")
            self.scalar_typedefs.add(body[star + 1])
        else:
            for decl in self._split_declarators(body[1:] if body[0] in ("struct", "union") else body):
                self.scalar_typedefs.add(decl[-1])
        return end + 1

    @staticmethod
    def _split_declarators(tokens):
        # "A* PA, B" style lists after a type: the declarator names are the last identifiers.
        parts, cur = [], []
        for t in tokens:
            if t == ",":
                parts.append(cur)
                cur = []
            else:
                cur.append(t)
        parts.append(cur)
        return [[t for t in p if IDENT.fullmatch(t)] for p in parts if p]

    def _tagged(self, toks, i, typedef):
        kind = toks[i]
        tag = toks[i + 1] if toks[i + 1] != "{" else None
        open_ = i + 1 if tag is None else i + 2
        close = self._match_brace(toks, open_)
        body = toks[open_ + 1:close]
        end = close + 1
        while toks[end] != ";":
            end += 1
        declarators = toks[close + 1:end]
        if kind == "enum":
            self._enumerators(body)
            if typedef:
                for decl in self._split_declarators(declarators):
                    self.scalar_typedefs.add(decl[-1])
            return end + 1
        members = self._members(body, "")
        names = []
        pointer = False
        for t in declarators:
            if t == "*":
                pointer = True
            elif t == ",":
                pointer = False
            elif IDENT.fullmatch(t):
                (self.pointer_aliases.add(t) if pointer else names.append(t))
        type_name = names[0] if (typedef and names) else f"{kind} {tag}"
        self.structs[type_name] = members
        if tag:
            self.aliases[tag] = type_name
        for alias in names[1:]:
            self.aliases[alias] = type_name
        return end + 1

    def _enumerators(self, body):
        expect_name = True
        depth = 0
        for t in body:
            if t in "({":
                depth += 1
            elif t in ")}":
                depth -= 1
            elif t == "," and depth == 0:
                expect_name = True
            elif expect_name and IDENT.fullmatch(t):
                self.enumerators.add(t)
                expect_name = False

    def _members(self, body, prefix):
        members = []
        i = 0
        while i < len(body):
            if body[i] in ("struct", "union") and self._has_body(body, i):
                open_ = i + 1 if body[i + 1] == "{" else i + 2
                close = self._match_brace(body, open_)
                end = close + 1
                while body[end] != ";":
                    end += 1
                names = [t for t in body[close + 1:end] if IDENT.fullmatch(t)]
                sub_prefix = prefix + names[0] + "." if names else prefix
                members += self._members(body[open_ + 1:close], sub_prefix)
                i = end + 1
                continue
            end = i
            while body[end] != ";":
                end += 1
            decl = body[i:end]
            bitfield = ":" in decl
            if bitfield:
                decl = decl[:decl.index(":")]
            if "[" in decl:
                decl = decl[:decl.index("[")]
            if "(" in decl:
                # Function pointer member: R (*Name)(...)
                name = decl[decl.index("*") + 1]
                by_value = None
            else:
                name = decl[-1]
                type_tokens = [t for t in decl[:-1] if t not in QUALIFIERS]
                by_value = None if "*" in decl or not type_tokens else type_tokens[-1]
            members.append((prefix + name, bitfield, by_value))
            i = end + 1
        return members


def read_list(path):
    text = strip_comments(path.read_text())
    entries = {"type": set(), "field": set(), "bits": set(), "value": [], "skip": {}, "excuse": {}}

    def calls(macro):
        for m in re.finditer(r"\b" + macro + r"\(", text):
            depth, j = 1, m.end()
            while depth:
                depth += {"(": 1, ")": -1}.get(text[j], 0)
                j += 1
            yield " ".join(text[m.end():j - 1].split())

    for args in calls("L_TYPE"):
        entries["type"].add(args)
    for kind in ("field", "bits"):
        for args in calls("L_" + kind.upper()):
            type_name, path = [a.strip() for a in args.split(",", 1)]
            entries[kind].add((type_name, path.replace(" ", "")))
    entries["value"] = list(calls("L_VALUE"))
    for kind in ("skip", "excuse"):
        for args in calls("L_" + kind.upper()):
            m = re.fullmatch(r'"([^"]*)"\s*,\s*"(.*)"', args)
            if not m or not m.group(2).strip():
                raise SystemExit(f"L_{kind.upper()}({args}): a name and a reason are required")
            entries[kind][m.group(1)] = m.group(2)
    return entries


def missing_names(headers, entries):
    skip = entries["skip"]
    values = set()
    heads = set()
    for expr in entries["value"]:
        values.add(expr)
        m = IDENT.match(expr)
        if m:
            heads.add(m.group(0))
    types = entries["type"]
    fields = entries["field"]
    bits = entries["bits"]
    missing = []

    def covered_type(name):
        return name in types or name in skip

    for name, body in headers.object_macros.items():
        if not body or name in skip:
            continue  # an annotation with no value
        if name not in values:
            missing.append(name)
    for name in sorted(headers.function_macros):
        if name not in heads and name not in skip:
            missing.append(name)
    for name in sorted(headers.enumerators):
        if name not in values and name not in skip:
            missing.append(name)
    for name in sorted(headers.scalar_typedefs):
        if name in headers.structs or name in headers.aliases:
            continue
        if not covered_type(name):
            missing.append(name)
    for type_name, members in sorted(headers.structs.items()):
        if not covered_type(type_name):
            missing.append(type_name)
            continue
        if type_name in skip:
            continue
        for path, bitfield, by_value in members:
            key = (type_name, path)
            full = f"{type_name}.{path}"
            if full in skip:
                continue
            if (key not in bits) if bitfield else (key not in fields):
                missing.append(full)
            if by_value:
                target = headers.aliases.get(by_value, by_value)
                if target in headers.structs and not covered_type(target):
                    missing.append(target)
    # A name may be reached twice (a type embedded in two structures).
    seen = set()
    return [n for n in missing if not (n in seen or seen.add(n))]


def driver_uses_skipped(headers, entries, driver_dir):
    names = set(headers.object_macros) | headers.function_macros | headers.enumerators
    names |= headers.scalar_typedefs | set(headers.structs) | set(headers.aliases)
    used = set()
    for path in sorted(driver_dir.rglob("*")):
        if path.suffix in (".cpp", ".h"):
            used |= set(IDENT.findall(strip_comments(path.read_text())))
    return sorted((n, entries["skip"][n]) for n in used & names if n in entries["skip"])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--headers", required=True, type=pathlib.Path)
    ap.add_argument("--list", required=True, type=pathlib.Path)
    ap.add_argument("--driver", type=pathlib.Path)
    ap.add_argument("--expect-missing", nargs="*")
    args = ap.parse_args()

    headers = Headers()
    headers.parse(sorted(args.headers.glob("*.h")))
    entries = read_list(args.list)
    missing = missing_names(headers, entries)

    if args.expect_missing is not None:
        want = set(args.expect_missing)
        got = set(missing)
        if got == want:
            print(f"coverage self-test: the {len(want)} planted names were reported missing, and nothing else")
            return 0
        print("coverage self-test FAILED")
        for n in sorted(want - got):
            print(f"  planted but not reported: {n}")
        for n in sorted(got - want):
            print(f"  reported but not planted: {n}")
        return 1

    if args.driver:
        for name, reason in driver_uses_skipped(headers, entries, args.driver):
            print(f"not compared, used by the driver: {name} ({reason})")
    if missing:
        print(f"{len(missing)} names the test bed's headers declare have no entry in {args.list.name}:")
        for n in missing:
            print(f"  {n}")
        return 1
    total = (len(headers.object_macros) + len(headers.function_macros) + len(headers.enumerators)
             + len(headers.scalar_typedefs) + sum(len(m) + 1 for m in headers.structs.values()))
    print(f"coverage: every one of {total} declared names has an entry or a stated reason")
    return 0


if __name__ == "__main__":
    sys.exit(main())
