"""TupleSetHelper: korvane.setloom's version and the generator's own copy."""
import pytest

from korvane import mipwright, setloom

BOTH = [setloom.TupleSetHelper, mipwright.TupleSetHelper]


@pytest.mark.parametrize("helper", BOTH)
class TestCommonRules:
    def test_list_data(self, helper):
        assert helper.get_tuple_set("A", {}, {"A": [["x", 1], ["y", 2]]}) == [("x", 1), ("y", 2)]

    def test_elements_data(self, helper):
        assert helper.get_tuple_set("A", {}, {"A": {"elements": [["x", 1]]}}) == [("x", 1)]

    def test_nesting_becomes_tuples_at_every_depth(self, helper):
        data = {"A": [["a", ["b", 1]], {"elements": ["c", ("d",)]}]}
        assert helper.get_tuple_set("A", {}, data) == [("a", ("b", 1)), ("c", ("d",))]

    def test_scalars_stay_scalars_and_duplicates_stay(self, helper):
        assert helper.get_tuple_set("A", {}, {"A": ["x", "y", "x"]}) == ["x", "y", "x"]

    def test_tuple_data_is_not_taken(self, helper):
        assert helper.get_tuple_set("A", {}, {"A": (("x", 1),)}) == []

    def test_data_wins_over_the_model(self, helper):
        ast = {"declarations": [{"type": "set_of_tuples", "name": "A", "value": [[9]], "elements": [[9]]}]}
        assert helper.get_tuple_set("A", ast, {"A": [[1]]}) == [(1,)]

    def test_nothing_found(self, helper):
        assert helper.get_tuple_set("A", {}, {}) == []
        assert helper.get_tuple_set("A", {"declarations": []}, {"B": [[1]]}) == []

    def test_result_is_a_new_list(self, helper):
        data = {"A": [[1, 2]]}
        result = helper.get_tuple_set("A", {}, data)
        assert type(result) is list and result is not data["A"]

    def test_called_on_the_class_with_three_arguments(self, helper):
        with pytest.raises(TypeError):
            helper.get_tuple_set("A", {})
        with pytest.raises(TypeError):
            helper.get_tuple_set(None, {}, None)  # membership test on None

    def test_deep_nesting_raises_recursion_error(self, helper):
        element = "leaf"
        for _ in range(100_000):
            element = [element]
        with pytest.raises(RecursionError):
            helper.get_tuple_set("A", {}, {"A": [element]})


class TestSetloom:
    H = setloom.TupleSetHelper

    def test_value_data(self):
        assert self.H.get_tuple_set("A", {}, {"A": {"value": [["x", 1]]}}) == [("x", 1)]

    def test_declarations_of_type_set_or_set_of_tuples(self):
        ast = {"declarations": [
            {"type": "range", "name": "A", "elements": [[0]]},
            {"type": "set", "name": "A"},
            {"type": "set", "name": "A", "elements": [["x", 1]], "value": [[2]]},
        ]}
        assert self.H.get_tuple_set("A", ast, {}) == [("x", 1)]
        ast = {"declarations": [{"type": "set_of_tuples", "name": "A", "value": [[2, 3]]}]}
        assert self.H.get_tuple_set("A", ast, {}) == [(2, 3)]

    def test_to_tuple_recursive(self):
        f = self.H._to_tuple_recursive
        assert f(["a", ["b", 1]]) == ("a", ("b", 1))
        assert f({"elements": [1, [2]]}) == (1, (2,))
        assert f({"x": 1}) == {"x": 1}
        assert f("s") == "s" and f(None) is None

    def test_recursion_goes_through_the_class_attribute(self, monkeypatch):
        calls = []
        original = self.H._to_tuple_recursive

        def spy(val):
            calls.append(val)
            return original(val)

        monkeypatch.setattr(self.H, "_to_tuple_recursive", staticmethod(spy))
        assert self.H.get_tuple_set("A", {}, {"A": [[1, [2]]]}) == [(1, (2,))]
        assert calls == [[1, [2]], 1, [2], 2]


class TestGeneratorCopy:
    H = mipwright.TupleSetHelper

    def test_only_get_tuple_set(self):
        assert [k for k in vars(self.H) if not k.startswith("__")] == ["get_tuple_set"]
        assert self.H.__module__ == "korvane.mipwright"

    def test_value_data_falls_through_to_the_declarations(self):
        assert self.H.get_tuple_set("A", {}, {"A": {"value": [["x", 1]]}}) == []
        ast = {"declarations": [{"type": "set_of_tuples", "name": "A", "value": [[5]]}]}
        assert self.H.get_tuple_set("A", ast, {"A": {"value": [["x", 1]]}}) == [(5,)]

    def test_only_set_of_tuples_declarations_with_a_value(self):
        ast = {"declarations": [
            {"type": "set", "name": "A", "value": [[1]]},
            {"type": "set_of_tuples", "name": "A", "elements": [[2]]},
            {"type": "set_of_tuples", "name": "A", "value": None},
            {"type": "set_of_tuples", "name": "A", "value": [{"elements": ["x", 3]}, [4]]},
        ]}
        assert self.H.get_tuple_set("A", ast, {}) == [("x", 3), (4,)]
