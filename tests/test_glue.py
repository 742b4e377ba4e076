"""The common extension-module glue, seen through the test-only probe module."""
import sys

import pytest

probe = pytest.importorskip("_glueprobe")


class TestArgumentBinding:
    def test_positional_keyword_and_default(self):
        assert probe.bind(1, 2) == (1, 2, None)
        assert probe.bind(1, b=2, c=3) == (1, 2, 3)
        assert probe.bind(c=3, b=2, a=1) == (1, 2, 3)

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((), {}, "bind() missing 2 required positional arguments: 'a' and 'b'"),
            ((1,), {}, "bind() missing 1 required positional argument: 'b'"),
            ((1, 2, 3, 4), {}, "bind() takes from 2 to 3 positional arguments but 4 were given"),
            ((1, 2), {"d": 1}, "bind() got an unexpected keyword argument 'd'"),
            ((1, 2), {"a": 1}, "bind() got multiple values for argument 'a'"),
        ],
    )
    def test_errors_read_like_python(self, args, kwargs, message):
        with pytest.raises(TypeError) as err:
            probe.bind(*args, **kwargs)
        assert str(err.value) == message

    def test_keyword_only(self):
        assert probe.bind_kwonly(1, flag=2) == (1, 2)
        with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
            probe.bind_kwonly(1, 2)


class TestErrorBoundary:
    @pytest.mark.parametrize(
        "kind, exc",
        [("bad_alloc", MemoryError), ("runtime_error", SystemError), ("int", SystemError), ("python", ValueError)],
    )
    def test_cpp_exceptions_become_python_exceptions(self, kind, exc):
        with pytest.raises(exc):
            probe.throw_cpp(kind)

    def test_messages(self):
        with pytest.raises(SystemError, match="internal error: boom"):
            probe.throw_cpp("runtime_error")
        with pytest.raises(ValueError, match="raised from C++"):
            probe.throw_cpp("python")


class TestAccessors:
    def test_item_raises_the_interpreters_key_error(self):
        with pytest.raises(KeyError) as err:
            probe.item_of({}, (1, 2))
        assert err.value.args == ((1, 2),)
        assert probe.item_of({"a": 1}, "a") == 1
        assert probe.item_of([10, 20], 1) == 20

    def test_get_uses_the_mapping_protocol(self):
        class Mapping(dict):
            def get(self, key, default=None):
                return ("custom", key, default)

        assert probe.get_of({"a": 1}, "a") == 1
        assert probe.get_of({}, "a") is None
        assert probe.get_of({}, "a", 5) == 5
        assert probe.get_of(Mapping(), "k", 7) == ("custom", "k", 7)
        with pytest.raises(AttributeError):
            probe.get_of([], "a")

    def test_getattr_and_hasattr(self):
        class Boom:
            @property
            def bad(self):
                raise ValueError("not an attribute error")

        assert probe.getattr_of(3, "missing", "dflt") == ("dflt", False)
        assert probe.getattr_of(3, "real", None) == (3, True)
        with pytest.raises(ValueError):
            probe.getattr_of(Boom(), "bad", None)

    @pytest.mark.parametrize("x", [1e6, 1e-5, 0.1, 2.0, -0.0, 1e16, float("inf"), float("nan"), 123456789.125])
    def test_float_text_matches_repr(self, x):
        assert probe.float_text_of(x) == repr(x)

    def test_iteration_propagates_errors(self):
        def gen():
            yield 1
            raise ZeroDivisionError

        assert probe.iterate_all((1, 2)) == [1, 2]
        with pytest.raises(ZeroDivisionError):
            probe.iterate_all(gen())


class TestClasses:
    def test_methods_bind_and_dispatch_by_name(self):
        p = probe.Probe()
        assert p.describe() == "I am probe"
        assert probe.Probe.twice(4) == 8 and p.twice("a") == "aa"
        assert probe.Probe.__bases__ == (object,)
        assert probe.Probe.__module__ == "_glueprobe"
        assert list(k for k in vars(probe.Probe) if not k.startswith("__")) == ["describe", "name", "twice"]

    def test_subclass_override_is_called(self):
        class Sub(probe.Probe):
            def name(self):
                return "sub"

        assert Sub().describe() == "I am sub"
        p = probe.Probe()
        p.__dict__["x"] = 1
        assert vars(p) == {"x": 1}


class TestRecursionGuard:
    def nested(self, depth):
        tree = []
        for _ in range(depth):
            tree = [tree]
        return tree

    def test_shallow_tree(self):
        assert probe.depth(self.nested(50)) == 51

    def test_deep_tree_raises_recursion_error(self):
        with pytest.raises(RecursionError):
            probe.depth(self.nested(100_000))

    def test_raised_limit_still_protects_the_c_stack(self):
        old = sys.getrecursionlimit()
        sys.setrecursionlimit(10_000_000)
        try:
            with pytest.raises(RecursionError):
                probe.depth(self.nested(2_000_000))
        finally:
            sys.setrecursionlimit(old)
