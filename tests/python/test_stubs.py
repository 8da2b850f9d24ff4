"""The type stubs against the modules: every name the stubs declare exists, and every operation's
parameters (names, order, which have defaults, *args/**kwargs) match what the module binds."""
import ast
import inspect
from pathlib import Path

import pytest

import ozu_brix
import ozu_mew

STUBS = Path(__file__).resolve().parents[2] / "stubs"


def _stub_tree(module):
    return ast.parse((STUBS / f"{module.__name__}.pyi").read_text(), filename=f"{module.__name__}.pyi")


def _decorators(node):
    names = set()
    for d in node.decorator_list:
        target = d.func if isinstance(d, ast.Call) else d
        names.add(target.attr if isinstance(target, ast.Attribute) else getattr(target, "id", ""))
    return names


def _stub_operations():
    tree = _stub_tree(ozu_mew)
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield pytest.param(None, node, id=node.name)
        elif isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef) and "setter" not in _decorators(member):
                    yield pytest.param(node.name, member, id=f"{node.name}.{member.name}")


def _runtime_function(owner, node):
    namespace = vars(ozu_mew) if owner is None else vars(getattr(ozu_mew, owner))
    assert node.name in namespace, f"{owner}.{node.name} is in the stub but not defined there at run time"
    obj = namespace[node.name]
    decorators = _decorators(node)
    if "staticmethod" in decorators:
        assert isinstance(obj, staticmethod)
        obj = obj.__func__
    elif "property" in decorators:
        assert isinstance(obj, property)
        obj = obj.fget
    if "abstractmethod" in decorators:
        assert getattr(obj, "__isabstractmethod__", False), f"{node.name} is abstract in the stub only"
    else:
        assert not getattr(obj, "__isabstractmethod__", False), f"{node.name} is abstract at run time"
    return obj


def _stub_shape(node):
    args = node.args
    params = [a.arg for a in args.posonlyargs + args.args]
    first_default = len(params) - len(args.defaults)
    shape = [(name, i >= first_default) for i, name in enumerate(params)]
    if args.vararg:
        shape.append(("*" + args.vararg.arg, False))
    if args.kwarg:
        shape.append(("**" + args.kwarg.arg, False))
    return shape


def _runtime_shape(func):
    stars = {inspect.Parameter.VAR_POSITIONAL: "*", inspect.Parameter.VAR_KEYWORD: "**"}
    return [(stars.get(p.kind, "") + p.name, p.default is not p.empty)
            for p in inspect.signature(func).parameters.values()]


def _shapes_match(stub, runtime):
    """Equal, or the stub names the required positional parameters that the module collects in
    *args and passes on (the channel of a link's constructor)."""
    if stub == runtime or ("*args", False) not in runtime or any(n.startswith("*") and not n.startswith("**")
                                                                 for n, _ in stub):
        return stub == runtime
    at = runtime.index(("*args", False))
    head, tail = runtime[:at], runtime[at + 1:]
    middle = stub[len(head):len(stub) - len(tail)]
    return (stub[:len(head)] == head and stub[len(stub) - len(tail):] == tail and middle != []
            and all(not name.startswith("*") and not has_default for name, has_default in middle))


@pytest.mark.parametrize("owner, node", list(_stub_operations()))
def test_operation_parameters_match_the_module(owner, node):
    # The signature the module reports is made from the same names and defaults its binder uses.
    func = _runtime_function(owner, node)
    if type(func).__name__ != "ozu_function":
        pytest.skip(f"{node.name} is not one of the module's own operations")
    assert _shapes_match(_stub_shape(node), _runtime_shape(func)), (_stub_shape(node), _runtime_shape(func))


def test_named_positional_parameters_stand_only_for_collected_ones():
    runtime = [("self", False), ("*args", False), ("**kwargs", False)]
    assert _shapes_match([("self", False), ("channel", False), ("**kwargs", False)], runtime)
    assert not _shapes_match([("self", False), ("channel", True), ("**kwargs", False)], runtime)
    assert not _shapes_match([("self", False), ("**kwargs", False)], runtime)
    assert not _shapes_match([("self", False), ("channel", False)], runtime)
    assert not _shapes_match([("self", False), ("channel", False), ("**kwargs", False)],
                             [("self", False), ("**kwargs", False)])


def test_serial_settings_are_those_of_create_serial_instance():
    # The constructors' typed keywords are the opener's, less the port a link or pair supplies itself.
    brix = _stub_tree(ozu_brix)
    create = next(n for n in brix.body if isinstance(n, ast.FunctionDef) and n.name == "create_serial_instance")
    opener = [a.arg for a in create.args.kwonlyargs]
    typed = {}
    for node in _stub_tree(ozu_mew).body:
        if isinstance(node, ast.Assign) and isinstance(node.value, ast.Call) and \
                getattr(node.value.func, "id", "") == "TypedDict":
            typed[node.targets[0].id] = [k.value for k in node.value.args[1].keys]
    assert typed["_PortSettings"] == opener
    assert typed["_SerialSettings"] == [name for name in opener if name != "port"]


@pytest.mark.parametrize("module", [ozu_mew, ozu_brix])
def test_every_stub_name_exists_and_every_public_name_is_typed(module):
    tree = _stub_tree(module)
    declared = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            declared.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            declared.add(node.target.id)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):  # "import x as x" re-exports x
            declared.update(a.asname for a in node.names if a.asname)
        if isinstance(node, ast.ClassDef):
            runtime_class = getattr(module, node.name)
            # Annotated names are instance attributes; operations and constants live on the class.
            members = {m.name for m in node.body if isinstance(m, ast.FunctionDef)}
            typed = members | {m.target.id for m in node.body if isinstance(m, ast.AnnAssign)}
            for member_name in members:
                assert hasattr(runtime_class, member_name), f"{node.name}.{member_name}"
            own = {n for n in vars(runtime_class) if not (n.startswith("__") and n.endswith("__"))}
            assert own - typed - {"_abc_impl"} == set(), node.name
    public = {n for n in vars(module) if not n.startswith("__")}
    assert declared - public == set()
    assert public - declared == set()
