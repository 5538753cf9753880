"""The .pyi stubs against the modules they describe (parsed with ast, never imported).

What is compared:
- every function, class and method a stub declares against ``inspect.signature`` of
  the runtime object: parameter names, order, kind (positional-only, positional or
  keyword, ``*args``, keyword-only, ``**kwargs``) and defaults. A class's stub
  ``__init__`` is compared with ``inspect.signature(cls)``; a class decorated with
  ``@dataclass`` in the stub has the ``__init__`` its annotated fields imply;
- every property and attribute a stub declares exists at run time, a ``@property``
  as a data descriptor; module-level names, re-exports (``import x as x``) and the
  entries of a stub's ``__all__`` exist in the module (the module itself need not
  define ``__all__``);
- every public name the module defines (functions, classes, data; their public
  methods, descriptors and class attributes) is declared in the stub. Callables
  whose ``__module__`` is another module's are imports (typing names, dataclass)
  and are not the module's own; names starting with ``_`` are checked only where
  the stub declares them.

Parameters: a stub's ``/`` and ``*`` markers must match the runtime's kinds; ``*args`` and
``**kwargs`` are parameters like the others, compared by name and kind (a stub
``*exc_info`` matches only a runtime ``*exc_info``). Dunder methods the stub declares
(``__iter__``, ``__exit__``, ...) get no exemption: one without a runtime signature fails.

Defaults: no default in the stub requires none at run time; ``...`` matches any
default but requires one; any other expression is evaluated with
``ast.literal_eval`` and must equal the runtime default with the same type (so
1 is not 1.0 nor True); a name such as ``EVENT_DTYPE`` must be that very object of
the module; anything else is compared as ``ast.unparse`` text with the default's
repr. Methods: the first parameter (self, or cls of a classmethod) is dropped
from both sides, so the runtime's ``$self, /`` agrees with a plain ``self``.
"""

import ast
import dataclasses
import importlib
import inspect
import operator
import pathlib

import pytest

MODULES = ["streaming", "formats", "h5", "encoding", "aedat4", "ethernet", "dvs", "throughput", "recordings", "transforms"]
STUBS = {m: ast.parse((pathlib.Path(__file__).parents[1] / f"src/morvel/io/{m}.pyi").read_text()) for m in MODULES}
P = inspect.Parameter


class Text(str):  # a stub default that is neither a literal nor a name of the module
    __repr__ = str.__str__


ANY = Text("...")


def decorators(node):
    return {ast.unparse(d.func if isinstance(d, ast.Call) else d) for d in getattr(node, "decorator_list", [])}


def stub_default(node, module):
    if node is None:
        return P.empty
    if isinstance(node, ast.Constant) and node.value is Ellipsis:
        return ANY
    try:
        return ast.literal_eval(node)
    except (ValueError, TypeError):
        pass
    try:
        return operator.attrgetter(ast.unparse(node))(module)
    except AttributeError:
        return Text(ast.unparse(node))


def stub_signature(fn, module, method):
    """An inspect.Signature from a stub def (self/cls dropped for methods)."""
    a = fn.args
    pos = a.posonlyargs + a.args
    defaults = [None] * (len(pos) - len(a.defaults)) + a.defaults
    params = [P(x.arg, P.POSITIONAL_ONLY if i < len(a.posonlyargs) else P.POSITIONAL_OR_KEYWORD,
                default=stub_default(d, module)) for i, (x, d) in enumerate(zip(pos, defaults))]
    params += [P(a.vararg.arg, P.VAR_POSITIONAL)] if a.vararg else []
    params += [P(x.arg, P.KEYWORD_ONLY, default=stub_default(d, module)) for x, d in zip(a.kwonlyargs, a.kw_defaults)]
    params += [P(a.kwarg.arg, P.VAR_KEYWORD)] if a.kwarg else []
    return inspect.Signature(params[1:] if method and "staticmethod" not in decorators(fn) else params)


def dataclass_init(cls_node, module):
    fields = [n for n in cls_node.body if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)]
    return inspect.Signature([P(f.target.id, P.POSITIONAL_OR_KEYWORD, default=stub_default(f.value, module))
                              for f in fields if not ast.unparse(f.annotation).startswith(("ClassVar", "typing.ClassVar"))])


def same_default(stub, runtime):
    if stub is ANY:
        return runtime is not P.empty
    if isinstance(stub, Text):
        return stub == repr(runtime)
    return stub is runtime or (type(stub) is type(runtime) and stub == runtime)


def agree(stub, runtime):
    s, r = list(stub.parameters.values()), list(runtime.parameters.values())
    return [(p.name, p.kind) for p in s] == [(p.name, p.kind) for p in r] and all(
        same_default(a.default, b.default) for a, b in zip(s, r))


def is_property(node):
    return isinstance(node, ast.FunctionDef) and bool(decorators(node) & {"property", "functools.cached_property"})


def declared(body):
    """Names a stub body declares (defs, classes, annotated or assigned names, re-exports)."""
    names = set()
    for n in body:
        if isinstance(n, (ast.FunctionDef, ast.ClassDef)):
            names.add(n.name)
        elif isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name):
            names.add(n.target.id)
        elif isinstance(n, ast.Assign):
            names |= {t.id for t in n.targets if isinstance(t, ast.Name)}
        elif isinstance(n, (ast.Import, ast.ImportFrom)):
            names |= {a.asname for a in n.names if a.asname and a.asname == a.name.rpartition(".")[2]}
    return names


def is_method(node):
    marks = decorators(node)
    return (isinstance(node, ast.FunctionDef) and node.name != "__init__" and not is_property(node)
            and not marks & {"overload", "typing.overload"} and not any(d.endswith((".setter", ".deleter")) for d in marks))


def cases():
    sigs, attrs = [], []
    for m, tree in STUBS.items():
        data = declared([n for n in tree.body if not isinstance(n, (ast.FunctionDef, ast.ClassDef))]) - {"__all__"}
        attrs += [pytest.param(m, None, name, False, id=f"{m}.{name}") for name in sorted(data)]
        for n in tree.body:
            if isinstance(n, ast.Assign) and any(isinstance(t, ast.Name) and t.id == "__all__" for t in n.targets):
                attrs += [pytest.param(m, None, x, False, id=f"{m}.__all__:{x}") for x in ast.literal_eval(n.value)]
            elif isinstance(n, (ast.FunctionDef, ast.ClassDef)):
                sigs.append(pytest.param(m, None, n, id=f"{m}.{n.name}"))
            if isinstance(n, ast.ClassDef):
                sigs += [pytest.param(m, n.name, i, id=f"{m}.{n.name}.{i.name}") for i in n.body if is_method(i)]
                attrs += [pytest.param(m, n.name, name, is_property(i), id=f"{m}.{n.name}.{name}")
                          for i in n.body if is_property(i) or isinstance(i, (ast.AnnAssign, ast.Assign))
                          for name in sorted(declared([i]))]
    return sigs, attrs


SIGNATURES, ATTRIBUTES = cases()


@pytest.mark.parametrize("module, owner, node", SIGNATURES)
def test_stub_signature_matches_runtime(module, owner, node):
    mod = importlib.import_module(f"morvel.io.{module}")
    if isinstance(node, ast.ClassDef):
        obj = getattr(mod, node.name)
        assert inspect.isclass(obj), f"{node.name} is a class in the stub, {type(obj).__name__} at run time"
        init = next((i for i in node.body if isinstance(i, ast.FunctionDef) and i.name == "__init__"), None)
        stub = (stub_signature(init, mod, method=True) if init else
                dataclass_init(node, mod) if decorators(node) & {"dataclass", "dataclasses.dataclass"} else
                inspect.Signature())
    else:
        cls = getattr(mod, owner) if owner else mod
        assert hasattr(cls, node.name), f"{node.name} is not at run time"
        obj = getattr(cls, node.name)
        assert not inspect.isclass(obj), f"{node.name} is a function in the stub, a class at run time"
        stub = stub_signature(node, mod, method=bool(owner))
    runtime = inspect.signature(obj)  # raises ValueError where the runtime has no signature
    if owner and not isinstance(inspect.getattr_static(cls, node.name), (classmethod, staticmethod)):
        runtime = runtime.replace(parameters=list(runtime.parameters.values())[1:])  # self
    assert agree(stub, runtime), f"stub {stub} != runtime {runtime}"


@pytest.mark.parametrize("module, owner, name, prop", ATTRIBUTES)
def test_stub_attribute_exists_at_runtime(module, owner, name, prop):
    mod = importlib.import_module(f"morvel.io.{module}")
    if owner is None:
        assert hasattr(mod, name)
        return
    cls = getattr(mod, owner)
    fields = {f.name for f in dataclasses.fields(cls)} if dataclasses.is_dataclass(cls) else set()
    if prop:
        assert inspect.isdatadescriptor(inspect.getattr_static(cls, name, None)), f"{owner}.{name} is no property"
    else:
        assert name in fields or hasattr(cls, name), f"{owner}.{name} is not at run time"


def runtime_names(mod):
    for name, obj in vars(mod).items():
        if name.startswith("_") or inspect.ismodule(obj) or (callable(obj) and getattr(obj, "__module__", None) != mod.__name__):
            continue
        yield name
        if inspect.isclass(obj):
            yield from (f"{name}.{m}" for m in vars(obj) if not m.startswith("_"))


@pytest.mark.parametrize("module", MODULES)
def test_runtime_names_are_in_the_stub(module):
    mod = importlib.import_module(f"morvel.io.{module}")
    tree = STUBS[module]
    stub = declared(tree.body) | {f"{c.name}.{x}" for c in tree.body if isinstance(c, ast.ClassDef)
                                  for x in declared(c.body)}
    assert sorted(set(runtime_names(mod)) - stub) == []
