"""The template engines' own parsers, reduced to the references each template makes."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Iterable, Sequence

if TYPE_CHECKING:
    import jinja2

JINJA2_EXTENSIONS = ("jinja2.ext.i18n", "jinja2.ext.do", "jinja2.ext.loopcontrols", "jinja2.ext.debug")


class SyntaxProblem(Exception):
    """A template its engine cannot parse: the engine's message and the 1-based line."""

    def __init__(self, message: str, line: int | None) -> None:
        super().__init__(message, line)
        self.message, self.line = message, line


@dataclass(frozen=True, slots=True)
class Ref:
    """One reference as the engine read it; `names` is None for an expression."""

    line: int
    kind: str  # the tag: extends, include, import, from
    names: tuple[str, ...] | None  # the candidates, in the order they are tried
    reference: str  # the name as written (the expression for a dynamic one)
    shown: str  # how a message shows it: a name in quotes
    ignore_missing: bool = False


Reader = Callable[[str, str], list[Ref]]  # (canonical name, text) -> references in reading order


def engine_module(engine: str) -> Any:
    try:
        return __import__(engine)
    except ModuleNotFoundError as error:
        if error.name != engine:
            raise
    extra = "Jinja2" if engine == "jinja2" else "Django"
    raise ImportError(f"the {engine} engine needs {extra}: pip install 'vela-sha[{engine}]'", name=engine) from None


_cache: dict[object, Any] = {}  # default Jinja2 environments by extensions, and the Django reader


def _default_environment(extensions: tuple[Any, ...]) -> jinja2.Environment:
    env = _cache.get(extensions)
    if env is None:
        env = _cache[extensions] = engine_module("jinja2").Environment(extensions=[*JINJA2_EXTENSIONS, *extensions])
    return env  # type: ignore[no-any-return]


def _jinja2_reader(extensions: tuple[Any, ...], environment: object) -> Reader:
    engine = engine_module("jinja2")
    from jinja2 import nodes
    from jinja2.utils import import_string

    for extension in extensions:
        try:
            import_string(extension) if isinstance(extension, str) else None
        except (ImportError, AttributeError) as error:
            raise ValueError(f"extension {extension!r} cannot be imported: {error}") from None
    if environment is None:
        env: jinja2.Environment = _default_environment(extensions)
    elif not isinstance(environment, engine.Environment):
        raise TypeError(f"environment must be a jinja2.Environment, not {type(environment).__name__}")
    else:
        env = environment.overlay(extensions=extensions) if extensions else environment
    kinds = {nodes.Extends: "extends", nodes.Include: "include", nodes.Import: "import", nodes.FromImport: "from"}
    references = tuple(kinds)

    def constant(node: nodes.Expr) -> tuple[str, ...] | None:
        # A string, or a list or tuple of strings: what get_template and select_template take.
        values: Sequence[object]
        if isinstance(node, nodes.Const):
            values = node.value if isinstance(node.value, (list, tuple)) else [node.value]
        elif isinstance(node, (nodes.List, nodes.Tuple)):
            values = [item.value if isinstance(item, nodes.Const) else None for item in node.items]
        else:
            return None
        names = tuple(value for value in values if isinstance(value, str))
        return names if len(names) == len(values) else None

    def read(name: str, text: str) -> list[Ref]:
        try:
            tree = env.parse(text, name)
        except engine.TemplateSyntaxError as error:
            raise SyntaxProblem(error.message or "", error.lineno) from None
        refs = []
        stack: list[nodes.Node] = [tree]
        while stack:  # statements in reading order; no expression holds one, so none is walked
            node = stack.pop()
            children = []
            for field in node.fields:
                value = getattr(node, field, None)
                for child in value if isinstance(value, list) else (value,):
                    if isinstance(child, nodes.Node) and not isinstance(child, nodes.Expr):
                        children.append(child)
            stack += reversed(children)
            if not isinstance(node, references):
                continue
            kind = next(kind for cls, kind in kinds.items() if isinstance(node, cls))
            expr = node.template  # type: ignore[attr-defined]
            names = constant(expr)
            if names is None:
                text = _jinja2_text(expr)
                refs.append(Ref(node.lineno, kind, None, text, text))
                continue
            one = len(names) == 1 and not isinstance(expr, (nodes.List, nodes.Tuple))
            written = names[0] if one else repr(list(names))
            refs.append(Ref(node.lineno, kind, tuple(env.join_path(n, name) for n in names), written,
                             repr(written) if one else written, bool(getattr(node, "ignore_missing", False))))
        return refs

    return read


def _jinja2_text(node: Any) -> str:
    """An expression written back, closely enough to recognise it in a message."""
    from jinja2 import nodes

    if isinstance(node, nodes.Name):
        return node.name
    if isinstance(node, nodes.Const):
        return repr(node.value)
    if isinstance(node, nodes.Getattr):
        return f"{_jinja2_text(node.node)}.{node.attr}"
    if isinstance(node, nodes.Getitem):
        return f"{_jinja2_text(node.node)}[{_jinja2_text(node.arg)}]"
    if isinstance(node, nodes.Concat):
        return " ~ ".join(map(_jinja2_text, node.nodes))
    if isinstance(node, nodes.Filter):
        return f"{_jinja2_text(node.node)}|{node.name}"
    if isinstance(node, (nodes.List, nodes.Tuple)):
        return "[" + ", ".join(map(_jinja2_text, node.items)) + "]"
    return f"<{type(node).__name__.lower()} expression>"


def _django_reader() -> Reader:
    if "django" not in _cache:
        _cache["django"] = _make_django_reader()
    return _cache["django"]  # type: ignore[no-any-return]


def _make_django_reader() -> Reader:
    engine_module("django")
    from django.template.base import Lexer, Origin, Parser, TokenType  # type: ignore[import-untyped]
    from django.template.exceptions import TemplateSyntaxError  # type: ignore[import-untyped]
    from django.template.loader_tags import do_extends, do_include  # type: ignore[import-untyped]

    def read(name: str, text: str) -> list[Ref]:
        if "\r" in text:  # as Django's loader reads the file: universal newlines
            text = text.replace("\r\n", "\n").replace("\r", "\n")
        refs: list[Ref] = []
        comment = None  # the line of an open {% comment %}
        for token in Lexer(text).tokenize():
            if token.token_type is not TokenType.BLOCK:
                continue
            command = token.contents.split(None, 1)[0] if token.contents else ""
            if comment is not None:
                comment = None if token.contents == "endcomment" else comment
            elif command == "comment":
                comment = token.lineno
            elif command in ("extends", "include"):
                refs.append(reference(name, token, command))
        if comment is not None:
            raise SyntaxProblem(f"Unclosed tag on line {comment}: 'comment'. Looking for one of: endcomment.", comment)
        return refs

    def reference(name: str, token: Any, command: str) -> Ref:
        # The tag compiled by Django's own function, on a parser with no further tokens and
        # no libraries: any filter is accepted, and makes the name an expression.
        parser = Parser([], origin=Origin(name, template_name=name))
        parser.find_filter = lambda filter_name: lambda value, arg=None: value
        try:
            node = (do_extends if command == "extends" else do_include)(parser, token)
        except (TemplateSyntaxError, StopIteration) as error:  # StopIteration: an unclosed _("...")
            raise SyntaxProblem(str(error) or "an unclosed translated string", token.lineno) from None
        expr = node.parent_name if command == "extends" else node.template
        written = token.split_contents()[1]
        if isinstance(expr.var, str) and not expr.filters:  # a string literal; _("...") is a lazy object
            return Ref(token.lineno, command, (str.__str__(expr.var),), written[1:-1], repr(written[1:-1]))
        return Ref(token.lineno, command, None, written, written)

    return read


def reader(engine: object, extensions: object, environment: object) -> Reader:
    if not isinstance(engine, str):
        raise TypeError(f"engine must be 'jinja2' or 'django', not {type(engine).__name__}")
    if engine not in ("jinja2", "django"):
        raise ValueError(f"engine must be 'jinja2' or 'django', not {engine!r}")
    if isinstance(extensions, (str, bytes)) or not isinstance(extensions, Iterable):
        raise TypeError("extensions must be a sequence of dotted names")
    extensions = tuple(extensions)
    if engine == "django":
        if extensions or environment is not None:
            raise ValueError("extensions and environment are for the jinja2 engine only")
        return _django_reader()
    return _jinja2_reader(extensions, environment)
