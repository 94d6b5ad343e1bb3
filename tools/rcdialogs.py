#!/usr/bin/env python3
"""Turns the DIALOG and DIALOGEX blocks of a resource script into the C++
table of dialog templates that the host's dialog model is built from.

    rcdialogs.py INPUT.rc OUTPUT.cpp --table NAME [--register] [--depfile FILE]

Local includes ("file") are followed, system includes (<file>) skipped;
#define lines of the local headers give the symbolic identifiers. Styles are
computed as the resource compiler does: the statement's default styles,
each named style or'ed in, NOT clears one. Anything not understood inside a
dialog stops the build with the file and line.
"""
import argparse
import os
import re
import sys

STYLES = {
    # window styles
    "WS_OVERLAPPED": 0, "WS_POPUP": 0x80000000, "WS_CHILD": 0x40000000, "WS_MINIMIZE": 0x20000000,
    "WS_VISIBLE": 0x10000000, "WS_DISABLED": 0x08000000, "WS_CLIPSIBLINGS": 0x04000000,
    "WS_CLIPCHILDREN": 0x02000000, "WS_MAXIMIZE": 0x01000000, "WS_CAPTION": 0x00C00000,
    "WS_BORDER": 0x00800000, "WS_DLGFRAME": 0x00400000, "WS_VSCROLL": 0x00200000, "WS_HSCROLL": 0x00100000,
    "WS_SYSMENU": 0x00080000, "WS_THICKFRAME": 0x00040000, "WS_GROUP": 0x00020000, "WS_TABSTOP": 0x00010000,
    "WS_MINIMIZEBOX": 0x00020000, "WS_MAXIMIZEBOX": 0x00010000, "WS_OVERLAPPEDWINDOW": 0x00CF0000,
    "WS_POPUPWINDOW": 0x80880000,
    # dialog styles
    "DS_ABSALIGN": 0x01, "DS_SYSMODAL": 0x02, "DS_3DLOOK": 0x04, "DS_FIXEDSYS": 0x08, "DS_NOFAILCREATE": 0x10,
    "DS_LOCALEDIT": 0x20, "DS_SETFONT": 0x40, "DS_MODALFRAME": 0x80, "DS_NOIDLEMSG": 0x100,
    "DS_SETFOREGROUND": 0x200, "DS_CONTROL": 0x400, "DS_CENTER": 0x800, "DS_CENTERMOUSE": 0x1000,
    "DS_CONTEXTHELP": 0x2000, "DS_SHELLFONT": 0x48,
    # extended styles
    "WS_EX_DLGMODALFRAME": 0x1, "WS_EX_NOPARENTNOTIFY": 0x4, "WS_EX_TOPMOST": 0x8, "WS_EX_ACCEPTFILES": 0x10,
    "WS_EX_TRANSPARENT": 0x20, "WS_EX_TOOLWINDOW": 0x80, "WS_EX_WINDOWEDGE": 0x100,
    "WS_EX_CLIENTEDGE": 0x200, "WS_EX_CONTEXTHELP": 0x400, "WS_EX_RIGHT": 0x1000,
    "WS_EX_STATICEDGE": 0x20000, "WS_EX_APPWINDOW": 0x40000,
    # edit styles
    "ES_LEFT": 0, "ES_CENTER": 1, "ES_RIGHT": 2, "ES_MULTILINE": 4, "ES_UPPERCASE": 8, "ES_LOWERCASE": 0x10,
    "ES_PASSWORD": 0x20, "ES_AUTOVSCROLL": 0x40, "ES_AUTOHSCROLL": 0x80, "ES_NOHIDESEL": 0x100,
    "ES_OEMCONVERT": 0x400, "ES_READONLY": 0x800, "ES_WANTRETURN": 0x1000, "ES_NUMBER": 0x2000,
    # button styles
    "BS_PUSHBUTTON": 0, "BS_DEFPUSHBUTTON": 1, "BS_CHECKBOX": 2, "BS_AUTOCHECKBOX": 3, "BS_RADIOBUTTON": 4,
    "BS_3STATE": 5, "BS_AUTO3STATE": 6, "BS_GROUPBOX": 7, "BS_USERBUTTON": 8, "BS_AUTORADIOBUTTON": 9,
    "BS_PUSHBOX": 0xA, "BS_OWNERDRAW": 0xB, "BS_LEFTTEXT": 0x20, "BS_TEXT": 0, "BS_ICON": 0x40,
    "BS_BITMAP": 0x80, "BS_LEFT": 0x100, "BS_RIGHT": 0x200, "BS_CENTER": 0x300, "BS_TOP": 0x400,
    "BS_BOTTOM": 0x800, "BS_VCENTER": 0xC00, "BS_PUSHLIKE": 0x1000, "BS_MULTILINE": 0x2000,
    "BS_NOTIFY": 0x4000, "BS_FLAT": 0x8000,
    # static styles
    "SS_LEFT": 0, "SS_CENTER": 1, "SS_RIGHT": 2, "SS_ICON": 3, "SS_BLACKRECT": 4, "SS_GRAYRECT": 5,
    "SS_WHITERECT": 6, "SS_BLACKFRAME": 7, "SS_GRAYFRAME": 8, "SS_WHITEFRAME": 9, "SS_SIMPLE": 0xB,
    "SS_LEFTNOWORDWRAP": 0xC, "SS_BITMAP": 0xE, "SS_ETCHEDHORZ": 0x10, "SS_ETCHEDVERT": 0x11,
    "SS_ETCHEDFRAME": 0x12, "SS_NOPREFIX": 0x80, "SS_NOTIFY": 0x100, "SS_CENTERIMAGE": 0x200,
    "SS_SUNKEN": 0x1000,
    # list, combo and progress styles
    "LBS_NOTIFY": 0x1, "LBS_SORT": 0x2, "LBS_HASSTRINGS": 0x40, "LBS_NOINTEGRALHEIGHT": 0x100,
    "CBS_SIMPLE": 0x1, "CBS_DROPDOWN": 0x2, "CBS_DROPDOWNLIST": 0x3, "CBS_AUTOHSCROLL": 0x40,
    "CBS_SORT": 0x100, "CBS_HASSTRINGS": 0x200, "PBS_SMOOTH": 0x1, "PBS_VERTICAL": 0x4,
    # identifiers
    "IDOK": 1, "IDCANCEL": 2, "IDABORT": 3, "IDRETRY": 4, "IDIGNORE": 5, "IDYES": 6, "IDNO": 7, "IDC_STATIC": -1,
}

CHILD = STYLES["WS_CHILD"] | STYLES["WS_VISIBLE"]
TAB = STYLES["WS_TABSTOP"]
GROUP = STYLES["WS_GROUP"]
BORDER = STYLES["WS_BORDER"]

# Short control statements: class, default style, whether they carry a text.
SHORT_FORMS = {
    "LTEXT": ("Static", CHILD | GROUP | 0x0, True),
    "CTEXT": ("Static", CHILD | GROUP | 0x1, True),
    "RTEXT": ("Static", CHILD | GROUP | 0x2, True),
    "ICON": ("Static", CHILD | 0x3, True),
    "PUSHBUTTON": ("Button", CHILD | TAB | 0x0, True),
    "DEFPUSHBUTTON": ("Button", CHILD | TAB | 0x1, True),
    "CHECKBOX": ("Button", CHILD | TAB | 0x2, True),
    "AUTOCHECKBOX": ("Button", CHILD | TAB | 0x3, True),
    "RADIOBUTTON": ("Button", CHILD | TAB | 0x4, True),
    "STATE3": ("Button", CHILD | TAB | 0x5, True),
    "AUTO3STATE": ("Button", CHILD | TAB | 0x6, True),
    "GROUPBOX": ("Button", CHILD | 0x7, True),
    "AUTORADIOBUTTON": ("Button", CHILD | 0x9, True),
    "PUSHBOX": ("Button", CHILD | TAB | 0xA, True),
    "EDITTEXT": ("Edit", CHILD | TAB | BORDER, False),
    "LISTBOX": ("ListBox", CHILD | BORDER | 0x1, False),
    "COMBOBOX": ("ComboBox", CHILD | 0x1, False),
    "SCROLLBAR": ("ScrollBar", CHILD, False),
}

CLASS_NAMES = {"BUTTON": "Button", "EDIT": "Edit", "STATIC": "Static", "LISTBOX": "ListBox",
               "COMBOBOX": "ComboBox", "SCROLLBAR": "ScrollBar"}

DIALOG_OPTIONS = {"STYLE", "EXSTYLE", "CAPTION", "FONT", "MENU", "CLASS", "LANGUAGE", "CHARACTERISTICS",
                  "VERSION"}


class RcError(Exception):
    pass


class Token:
    def __init__(self, kind, value, where):
        self.kind = kind  # "name", "number", "string", "punct"
        self.value = value
        self.where = where

    def __repr__(self):
        return "%s %r" % (self.kind, self.value)


TOKEN = re.compile(r'\s+|//[^\n]*|/\*.*?\*/|"(?:[^"\\]|\\.|"")*"|0[xX][0-9A-Fa-f]+[lLuU]*|\d+[lLuU]*|'
                   r'[A-Za-z_][A-Za-z0-9_]*|[,|()+\-{}]|.', re.S)


def unquote(text, where):
    body = text[1:-1]
    out = []
    i = 0
    escapes = {"n": "\n", "t": "\t", "r": "\r", "a": "\a", "\\": "\\", '"': '"', "0": "\0"}
    while i < len(body):
        c = body[i]
        if c == '"' and i + 1 < len(body) and body[i + 1] == '"':
            out.append('"')
            i += 2
        elif c == "\\" and i + 1 < len(body):
            e = body[i + 1]
            if e in escapes:
                out.append(escapes[e])
                i += 2
            elif e in "xX":
                digits = re.match(r"[0-9A-Fa-f]{1,2}", body[i + 2:])
                if not digits:
                    raise RcError("%s: bad escape in %s" % (where, text))
                out.append(chr(int(digits.group(0), 16)))
                i += 2 + len(digits.group(0))
            else:
                out.append(c)
                i += 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


class Reader:
    """Reads a resource script and its local includes into tokens."""

    def __init__(self):
        self.defines = {}
        self.tokens = []
        self.files = []

    def read(self, path):
        path = os.path.abspath(path)
        if path in self.files:
            return
        self.files.append(path)
        with open(path, encoding="latin-1") as f:
            lines = f.read().split("\n")
        folder = os.path.dirname(path)
        name = os.path.basename(path)
        skipping = []  # #if nesting: True where the branch is skipped
        for number, line in enumerate(lines, 1):
            where = "%s:%d" % (name, number)
            stripped = line.strip()
            if stripped.startswith("#"):
                self.directive(stripped[1:].strip(), folder, where, skipping)
                continue
            if any(skipping):
                continue
            if path.endswith(".h"):
                continue
            for match in TOKEN.finditer(line):
                text = match.group(0)
                if text.isspace() or text.startswith("//") or text.startswith("/*"):
                    continue
                if text.startswith('"'):
                    self.tokens.append(Token("string", unquote(text, where), where))
                elif text[0].isdigit():
                    self.tokens.append(Token("number", int(text.rstrip("lLuU"), 0), where))
                elif text[0].isalpha() or text[0] == "_":
                    self.tokens.append(Token("name", text, where))
                else:
                    self.tokens.append(Token("punct", text, where))

    def directive(self, text, folder, where, skipping):
        word, _, rest = text.partition(" ")
        rest = rest.strip()
        if word in ("ifdef", "ifndef"):
            defined = rest in self.defines or rest == "RC_INVOKED"
            skipping.append(not defined if word == "ifdef" else defined)
        elif word == "if":
            skipping.append(False)
        elif word == "else":
            if skipping:
                skipping[-1] = not skipping[-1]
        elif word == "endif":
            if skipping:
                skipping.pop()
        elif any(skipping):
            return
        elif word == "include":
            if rest.startswith('"'):
                self.read(os.path.join(folder, rest.strip('"')))
        elif word == "define":
            parts = rest.split(None, 1)
            if len(parts) == 2:
                self.defines[parts[0]] = parts[1].split("//")[0].strip()


class Parser:
    def __init__(self, reader):
        self.tokens = reader.tokens
        self.defines = reader.defines
        self.i = 0

    def peek(self, offset=0):
        j = self.i + offset
        return self.tokens[j] if j < len(self.tokens) else None

    def take(self):
        token = self.peek()
        if token is None:
            where = self.tokens[-1].where if self.tokens else "?"
            raise RcError("%s: unexpected end of the script" % where)
        self.i += 1
        return token

    def is_punct(self, value, offset=0):
        token = self.peek(offset)
        return token is not None and token.kind == "punct" and token.value == value

    def comma(self):
        token = self.take()
        if token.kind != "punct" or token.value != ",":
            raise RcError("%s: ',' expected, found %s" % (token.where, token.value))

    def name_value(self, token, seen=()):
        name = token.value
        if name in STYLES:
            return STYLES[name]
        if name in self.defines and name not in seen:
            return self.evaluate(self.defines[name], token.where, seen + (name,))
        raise RcError("%s: unknown name %s" % (token.where, name))

    def evaluate(self, text, where, seen):
        total = 0
        for part in text.replace("(", " ").replace(")", " ").split("|"):
            part = part.strip()
            if re.fullmatch(r"-?(0[xX][0-9A-Fa-f]+|\d+)[lLuU]*", part):
                total |= int(part.rstrip("lLuU"), 0)
            elif re.fullmatch(r"[A-Za-z_]\w*", part):
                total |= self.name_value(Token("name", part, where), seen)
            else:
                raise RcError("%s: cannot evaluate %r" % (where, text))
        return total

    def value(self):
        """A number or a name, possibly negative or parenthesised."""
        token = self.take()
        if token.kind == "punct" and token.value == "(":
            v = self.expression(0)
            close = self.take()
            if close.value != ")":
                raise RcError("%s: ')' expected" % close.where)
            return v
        if token.kind == "punct" and token.value == "-":
            return -self.value()
        if token.kind == "number":
            return token.value
        if token.kind == "name":
            return self.name_value(token)
        raise RcError("%s: number expected, found %r" % (token.where, token.value))

    def expression(self, base):
        """Styles: base, then each term or'ed in; NOT clears a term."""
        result = base
        while True:
            token = self.peek()
            if token is not None and token.kind == "name" and token.value == "NOT":
                self.take()
                result &= ~self.value()
            else:
                result |= self.value()
            if self.is_punct("|") or self.is_punct("+"):
                self.take()
                continue
            return result & 0xFFFFFFFF

    def number(self):
        v = self.value()
        if v >= 0x80000000:
            v -= 0x100000000
        return v

    def text(self):
        token = self.take()
        if token.kind == "string":
            return token.value
        if token.kind == "number":
            return "#%d" % token.value
        if token.kind == "name":
            return "#%d" % self.name_value(token)
        raise RcError("%s: text expected" % token.where)

    def dialogs(self):
        found = []
        while self.peek() is not None:
            token = self.peek()
            following = self.peek(1)
            if following is not None and following.kind == "name" and following.value in ("DIALOG", "DIALOGEX"):
                found.append(self.dialog())
            elif token.kind == "name" and token.value in ("BEGIN",) or self.is_punct("{"):
                self.skip_block()
            else:
                self.take()
        return found

    def skip_block(self):
        depth = 0
        while True:
            token = self.take()
            if token.value in ("BEGIN", "{") and token.kind in ("name", "punct"):
                depth += 1
            elif token.value in ("END", "}") and token.kind in ("name", "punct"):
                depth -= 1
                if depth == 0:
                    return

    def dialog(self):
        head = self.take()
        identifier = head.value if head.kind == "number" else self.name_value(head) if head.kind == "name" else None
        if identifier is None:
            raise RcError("%s: dialogs are numbered here" % head.where)
        self.take()  # DIALOG or DIALOGEX
        while self.peek().kind == "name" and self.peek().value in (
                "DISCARDABLE", "MOVEABLE", "PURE", "PRELOAD", "LOADONCALL", "FIXED", "IMPURE"):
            self.take()
        box = [self.number()]
        for _ in range(3):
            self.comma()
            box.append(self.number())
        if self.is_punct(","):
            self.comma()
            self.number()  # help identifier
        dialog = {"id": identifier, "where": head.where, "box": box, "style": STYLES["WS_POPUP"] | STYLES["WS_BORDER"]
                  | STYLES["WS_SYSMENU"], "exstyle": 0, "caption": "", "font": "", "points": 0, "controls": []}
        caption_given = False
        while True:
            token = self.take()
            if token.kind == "name" and token.value == "BEGIN" or token.value == "{":
                break
            if token.kind != "name" or token.value not in DIALOG_OPTIONS:
                raise RcError("%s: unexpected %r in the dialog's head" % (token.where, token.value))
            option = token.value
            if option == "STYLE":
                dialog["style"] = self.expression(0)
            elif option == "EXSTYLE":
                dialog["exstyle"] = self.expression(0)
            elif option == "CAPTION":
                dialog["caption"] = self.take().value
                caption_given = True
            elif option == "FONT":
                dialog["points"] = self.number()
                self.comma()
                dialog["font"] = self.take().value
                while self.is_punct(","):
                    self.comma()
                    self.number()
            elif option in ("MENU", "CLASS"):
                self.take()
            elif option == "LANGUAGE":
                self.value()
                self.comma()
                self.value()
            else:
                self.value()
        if caption_given:
            dialog["style"] |= STYLES["WS_CAPTION"]
        if dialog["font"]:
            dialog["style"] |= STYLES["DS_SETFONT"]
        while True:
            token = self.take()
            if token.kind == "name" and token.value == "END" or token.value == "}":
                break
            dialog["controls"].append(self.control(token))
        return dialog

    def control(self, keyword):
        if keyword.kind != "name":
            raise RcError("%s: control statement expected, found %r" % (keyword.where, keyword.value))
        word = keyword.value
        control = {"exstyle": 0}
        if word == "CONTROL":
            control["text"] = self.text()
            self.comma()
            control["id"] = self.number()
            self.comma()
            cls = self.take()
            if cls.kind == "string":
                control["class"] = cls.value
            elif cls.kind == "name" and cls.value.upper() in CLASS_NAMES:
                control["class"] = CLASS_NAMES[cls.value.upper()]
            else:
                raise RcError("%s: control class expected" % cls.where)
            self.comma()
            control["style"] = self.expression(CHILD)
            self.comma()
            control["box"] = self.box()
            if self.is_punct(","):
                self.comma()
                control["exstyle"] = self.expression(0)
                if self.is_punct(","):
                    self.comma()
                    self.number()
            return control
        if word not in SHORT_FORMS:
            raise RcError("%s: unknown control statement %s" % (keyword.where, word))
        cls, style, has_text = SHORT_FORMS[word]
        control["class"] = cls
        control["text"] = ""
        if has_text:
            control["text"] = self.text()
            self.comma()
        control["id"] = self.number()
        self.comma()
        if word == "ICON":
            x = self.number()
            self.comma()
            y = self.number()
            control["box"] = [x, y, 0, 0]
            if self.is_punct(","):
                self.comma()
                control["box"][2] = self.number()
                self.comma()
                control["box"][3] = self.number()
        else:
            control["box"] = self.box()
        control["style"] = style
        if self.is_punct(","):
            self.comma()
            control["style"] = self.expression(style)
            if self.is_punct(","):
                self.comma()
                control["exstyle"] = self.expression(0)
        return control

    def box(self):
        values = [self.number()]
        for _ in range(3):
            self.comma()
            values.append(self.number())
        return values


def literal(text):
    out = ['"']
    for c in text.encode("latin-1"):
        if c in (0x22, 0x5C):
            out.append("\\" + chr(c))
        elif 0x20 <= c < 0x7F:
            out.append(chr(c))
        else:
            out.append("\\%03o" % c)
    out.append('"')
    return "".join(out)


def generate(dialogs, table, register, source):
    lines = ["// Generated by tools/rcdialogs.py from %s: do not edit." % source,
             '#include "host/dialogs.h"', "", "namespace {", ""]
    seen = {}
    for d in dialogs:
        if d["id"] in seen:
            raise RcError("%s: dialog %d is also defined at %s" % (d["where"], d["id"], seen[d["id"]]))
        seen[d["id"]] = d["where"]
        if d["controls"]:
            lines.append("const host::DialogControlTemplate kControls%d[] = {" % d["id"])
            for c in d["controls"]:
                lines.append("    {%d, %s, %s, 0x%08Xu, 0x%08Xu, %d, %d, %d, %d}," % (
                    c["id"], literal(c["class"]), literal(c["text"]), c["style"], c["exstyle"], *c["box"]))
            lines.append("};")
    lines.append("")
    lines.append("const host::DialogTemplate kTemplates[] = {")
    for d in dialogs:
        controls = "kControls%d" % d["id"] if d["controls"] else "nullptr"
        lines.append("    {%d, 0x%08Xu, 0x%08Xu, %d, %d, %d, %d, %s, %d, %s, %s, %d}," % (
            d["id"], d["style"], d["exstyle"], *d["box"], literal(d["caption"]), d["points"],
            literal(d["font"]), controls, len(d["controls"])))
    if not dialogs:
        lines.append("    {0, 0, 0, 0, 0, 0, 0, \"\", 0, \"\", nullptr, 0},")
    lines.append("};")
    count = len(dialogs)
    if register:
        lines += ["", "host::DialogTemplateTable %s = {kTemplates, %d, nullptr};" % (table, count), "",
                  "struct Registration {", "  Registration() { host::AddDialogTemplates(&%s); }" % table,
                  "} registration;", "", "}  // namespace"]
    else:
        lines += ["", "}  // namespace", "", "namespace host {", "",
                  "DialogTemplateTable %s = {kTemplates, %d, nullptr};" % (table, count), "", "}  // namespace host"]
    lines.append("")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input")
    parser.add_argument("output")
    parser.add_argument("--table", required=True)
    parser.add_argument("--register", action="store_true",
                        help="add the table at start-up instead of defining host::TABLE")
    parser.add_argument("--depfile")
    args = parser.parse_args()
    reader = Reader()
    try:
        reader.read(args.input)
        dialogs = Parser(reader).dialogs()
        text = generate(dialogs, args.table, args.register, os.path.basename(args.input))
    except (RcError, OSError) as error:
        print("rcdialogs: %s" % error, file=sys.stderr)
        return 1
    old = None
    if os.path.exists(args.output):
        with open(args.output) as f:
            old = f.read()
    if old != text:
        os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
        with open(args.output, "w") as f:
            f.write(text)
    if args.depfile:
        with open(args.depfile, "w") as f:
            f.write("%s: %s\n" % (args.output.replace(" ", "\\ "),
                                  " ".join(p.replace(" ", "\\ ") for p in reader.files)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
