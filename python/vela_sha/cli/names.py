"""How names are written: escaped in digest lines, shell-quoted in messages.

Both as GNU coreutils write them, so that `check` reads back what `template`
writes and every message names a file as sha256sum's would."""

from __future__ import annotations

import locale
import os
import unicodedata

# In a message, a name is left bare unless it holds one of these (or a byte that
# is not a printable character); then it is shell-quoted.
_ALWAYS_QUOTED = frozenset(b" !\"$&()*;<=>[^`|'?\\:")
_QUOTED_FIRST = frozenset(b"#~")
# Characters that may stand inside "..." as they are: with a single quote and
# only these, the name is double-quoted rather than '...'\''...'.
_PLAIN = frozenset(b"%+,-./0123456789:@ABCDEFGHIJKLMNOPQRSTUVWXYZ]_abcdefghijklmnopqrstuvwxyz' ")
_LETTER_ESCAPES = {7: "a", 8: "b", 9: "t", 10: "n", 11: "v", 12: "f", 13: "r"}
_UNPRINTABLE = frozenset(("Cc", "Cn", "Cs", "Zl", "Zp"))


def escape(name: str) -> tuple[bool, bytes]:
    """Whether `name` needs GNU's escaped form, and its bytes in that form."""
    raw = os.fsencode(name)
    if not any(c in raw for c in b"\\\n\r"):
        return False, raw
    return True, raw.replace(b"\\", b"\\\\").replace(b"\n", b"\\n").replace(b"\r", b"\\r")


def quotef(name: str) -> str:
    """`name` as GNU's quotef writes it in a message: bare when that is safe,
    else quoted for a POSIX shell, unprintable bytes as $'\\ooo' escapes."""
    raw = os.fsencode(name)
    units = list(_units(raw))
    if raw and not any(escaped or (c in _ALWAYS_QUOTED) or (c in _QUOTED_FIRST and i == 0)
                       or (c in b"{}" and len(raw) == 1) for i, (c, _, escaped) in enumerate(units)):
        return name
    if b"'" in raw and all(c in _PLAIN or (c > 127 and not escaped) or (c in b"#~" and i == 0)
                           for i, (c, _, escaped) in enumerate(units)):
        return '"' + name + '"'
    # gnulib sizes the output in a first pass when the name holds a single
    # quote, and keeps that pass's open $'...' state into the second.
    pending = _shell_quoted(units, False)[1] if b"'" in raw else False
    return _shell_quoted(units, pending)[0].decode("utf-8", "surrogateescape")


def _units(raw: bytes) -> list[tuple[int, bytes, bool]]:
    """(first byte, bytes, whether escaped) for each character of `raw`: a
    character the locale cannot print becomes one escape per byte."""
    multibyte = locale.nl_langinfo(locale.CODESET) == "UTF-8"
    units, i = [], 0
    while i < len(raw):
        c, width = raw[i], 1
        if c >= 0x80 and multibyte:
            width = 2 if c < 0xE0 else 3 if c < 0xF0 else 4
            try:
                printable = unicodedata.category(raw[i : i + width].decode()) not in _UNPRINTABLE
            except UnicodeDecodeError:
                width, printable = 1, False
        else:
            printable = 0x20 <= c < 0x7F
        if printable:
            units.append((c, raw[i : i + width], False))
        else:
            units.extend((b, bytes((b,)), True) for b in raw[i : i + width])
        i += width
    return units


def _shell_quoted(units: list[tuple[int, bytes, bool]], pending: bool) -> tuple[bytes, bool]:
    """The name in '...', with $'...' for escapes, and whether an escape was left open."""
    out = bytearray(b"'")
    for c, text, escaped in units:
        if escaped:
            if not pending:
                out += b"'$'"
                pending = True
            letter = _LETTER_ESCAPES.get(c)
            out += b"\\" + (letter.encode() if letter else b"%03o" % c)
        elif c == 0x27:
            out += b"'\\''"
            pending = False
        else:
            if pending:
                out += b"''"
                pending = False
            out += text
    return bytes(out + b"'"), pending
