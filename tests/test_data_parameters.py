"""The data section, second half: indexed parameters written as dictionaries keyed by index
tuples, and what is left for the declarations."""
import json
import math
import logging

import pytest

from data_section_support import (DataOnly, after_header, debug_logging, decl, generate, inline_range, log_records,
                                  model, param, range_dim, read_back, set_dim)
from korvane import mipwright
from korvane.faultlore import SemanticError

DEBUG, INFO = logging.DEBUG, logging.INFO

S_BY_R3 = [decl("set_declaration", "S"), inline_range("R", 1, 3), param("P", set_dim("S"), range_dim("R", 1, 3))]
PAIR_OF_TUPLES = [["t", 1], ["u", 2]]


def written(declarations, data, name="P"):
    """The value the data section gives `name` in the script, read back by running the section."""
    gen, lines = generate(declarations, data)
    assert name in gen.dict_params
    return read_back(after_header(lines))[name]


class TestNestedLists:
    def test_flattened_with_set_elements_and_range_values(self, caplog):
        caplog.set_level(INFO, logger="korvane.mipwright")
        gen, lines = generate(S_BY_R3, {"S": ["a", "b"], "P": [[1, 2, 3], [4, 5, 6]]})
        assert after_header(lines)[0] == ("P = {('a', 1): 1, ('a', 2): 2, ('a', 3): 3, "
                                          "('b', 1): 4, ('b', 2): 5, ('b', 3): 6}")
        assert log_records(caplog) == [(INFO, "Emitting flattened dict for 'P' with 6 entries")]
        assert gen.dict_params == {"P"}

    @pytest.mark.parametrize("leaves", [
        [0.1, 1e-05, 1e16, -0.0, float("inf"), 2.5e-300],
        [True, None, "it's \"q\"", 10**30, "é\n", {"k": [1.5]}],  # a list or tuple leaf would be one more level
    ])
    def test_literal_is_the_repr_of_the_dict(self, leaves):
        declarations = [decl("set_declaration", "S"), param("P", set_dim("S"), {"type": "range_index",
                                                                               "start": {"type": "number", "value": 0},
                                                                               "end": {"type": "number", "value": 2}})]
        data = {"S": [("x", 1), "y"], "P": [leaves[:3], leaves[3:]]}
        gen = DataOnly(model(*declarations), data)
        gen._generate_data_declarations(gen.data_dict)
        expected = {(s, j): leaves[3 * i + j] for i, s in enumerate([("x", 1), "y"]) for j in range(3)}
        assert f"P = {expected!r}" in gen.gurobi_code_lines

    def test_equal_labels_share_an_entry(self, caplog):
        caplog.set_level(INFO, logger="korvane.mipwright")
        declarations = [decl("set_declaration", "S"), param("P", set_dim("S"), set_dim("S"))]
        data = {"S": ["a", 1, 1.0], "P": [[1, 2, 3], [4, 5, 6], [7, 8, 9]]}
        flat = {}
        for i, row in enumerate(data["P"]):
            for j, v in enumerate(row):
                flat[(data["S"][i], data["S"][j])] = v
        _, lines = generate(declarations, data)
        assert after_header(lines)[0] == f"P = {flat!r}"
        assert log_records(caplog) == [(INFO, "Emitting flattened dict for 'P' with 4 entries")]

    def test_unhashable_labels(self):
        declarations = [decl("set_declaration", "S"), param("P", set_dim("S"), set_dim("S"))]
        with pytest.raises(TypeError, match="unhashable"):
            generate(declarations, {"S": [{"d": 1}], "P": [[1]]})

    def test_set_elements_become_tuples(self):
        declarations = [decl("set_declaration", "S"), param("P", set_dim("S"), range_dim("R", 1, 1))]
        assert written(declarations, {"S": {"elements": [["a", ["b"]]]}, "P": [[5]]}) == {(("a", ("b",)), 1): 5}

    def test_empty_list_gives_an_empty_dict(self):
        assert written(S_BY_R3, {"S": [], "P": []}) == {}

    @pytest.mark.parametrize("value", [[[1, 2], 3], [[1, [2]], [3, 4]], [[[1]], [2]]])
    def test_other_shapes_are_left_alone(self, value):
        declarations = [param("P", set_dim("S"), set_dim("T"))]
        gen, lines = generate(declarations, {"S": {"elements": ["a", "b"]}, "P__map": value})
        assert after_header(lines) == ["", "", ""] and gen.dict_params == set()

    def test_short_row_from_the_data_file(self):
        with pytest.raises(SemanticError, match="Parameter 'P' data length 2 does not match declared dimension 'R' "
                                                "of length 3 at dimension 2."):
            generate(S_BY_R3, {"S": ["a", "b"], "P": [[1, 2], [4, 5, 6]]})

    def test_inline_rows_are_flattened_as_far_as_they_go(self):
        declarations = [decl("typed_set", "S", value=["a", "b"]),
                        param("P", set_dim("S"), range_dim("R", 1, 3), kind="parameter_inline_indexed",
                              value=[[1, 2], [4, 5, 6]])]
        assert written(declarations, {}) == {("a", 1): 1, ("a", 2): 2, ("b", 1): 4, ("b", 2): 5, ("b", 3): 6}

    @pytest.mark.parametrize("declarations", [
        [inline_range("R", 2, 3), param("P", range_dim("R"), range_dim("R"))],
        [inline_range("R", 2, 3), param("P", range_dim("R", 2, 3), range_dim("R"))],
    ])
    def test_named_range_without_bounds_uses_its_declaration(self, declarations):
        assert written(declarations, {"P": [[1, 2], [3, 4]]}) == {(2, 2): 1, (2, 3): 2, (3, 2): 3, (3, 3): 4}


class TestTupleKeyedDicts:
    @pytest.mark.parametrize("declarations, value, expected, kind", [
        (S_BY_R3, {("a", 1): 5, ("b", 2): 6}, {("a", 1): 5, ("b", 2): 6}, "normalized scalar"),
        ([param("P", set_dim("S"))], {("a",): 1, "b": 2}, {("a",): 1, ("b",): 2}, "fallback normalized"),
        (S_BY_R3, {("a", 1): [1], ("b", 2): 2}, {("a", 1): [1], ("b", 2): 2}, "fallback normalized"),
    ])
    def test_normalized(self, caplog, declarations, value, expected, kind):
        caplog.set_level(INFO, logger="korvane.mipwright")
        data = {"P": value} if len(declarations) == 1 else {"S": ["a", "b"], "P": value}
        assert written(declarations, data) == expected
        assert log_records(caplog) == [(INFO, f"Emitting {kind} mapping for 'P' with {len(expected)} entries")]

    TUPLE_DIMS = [decl("set_declaration", "S"), decl("set_of_tuples", "T"), param("P", set_dim("S"), set_dim("T"))]

    def test_expanded_over_a_tuple_set(self, caplog):
        caplog.set_level(INFO, logger="korvane.mipwright")
        value = written(self.TUPLE_DIMS, {"T": PAIR_OF_TUPLES, "P": {("a", "b"): [1, 2]}})
        assert value == {(("a", "b"), ("t", 1)): 1, (("a", "b"), ("u", 2)): 2}
        assert log_records(caplog) == [(INFO, "Emitting expanded flat mapping for 'P' with 2 entries")]

    def test_expansion_given_up(self):
        assert written(self.TUPLE_DIMS, {"T": PAIR_OF_TUPLES, "P": {("a", "b"): [1]}}) == {("a", "b"): [1]}

    def test_failing_tuple_set_lookup_counts_as_none(self, monkeypatch):
        class Failing:
            @staticmethod
            def get_tuple_set(set_name, ast, data_dict):
                raise ValueError("lookup failed")

        monkeypatch.setattr(mipwright, "TupleSetHelper", Failing)
        declarations = [decl("set_declaration", "S"), param("P", set_dim("S"), set_dim("T"))]
        assert written(declarations, {"P": {("a", "b"): [1, 2]}}) == {("a", "b"): [1, 2]}

    def test_keys_of_other_lengths_go_on_as_nested_data(self):
        assert written(S_BY_R3, {"S": ["a"], "P": {("a", 1, 0): 1, "a": {2: 3}}}) == {(("a", 1, 0), 1): 1,
                                                                                     ("a", 2): 3}


class TestNestedDicts:
    def test_nested_dict_without_info_line(self, caplog):
        caplog.set_level(INFO, logger="korvane.mipwright")
        declarations = [param("P", set_dim("S"), set_dim("T"))]
        value = {"a": {"x": 1}, ("b", ("c",)): {"y": 2}}  # keys of two lengths: not read as index tuples
        assert written(declarations, {"P": value}) == {("a", "x"): 1, (("b", ("c",)), "y"): 2}
        assert log_records(caplog) == []

    @pytest.mark.parametrize("dims, row, expected", [
        ([set_dim("S"), range_dim("R", 2, 3)], [1, 2], {("a", 2): 1, ("a", 3): 2}),  # the range's labels
        ([set_dim("S"), range_dim("R", 2, 3)], [1, 2, 3], {("a", 2): 1, ("a", 3): 2, ("a", 4): 3}),  # from its start
        ([set_dim("S"), set_dim("T")], [1, 2], {("a", "x"): 1, ("a", "y"): 2}),  # the set's elements
        ([set_dim("S"), set_dim("U")], [1, 2], {("a", 1): 1, ("a", 2): 2}),  # no labels: 1-based
        ([set_dim("S"), range_dim("Q")], [1, 2], {("a", 1): 1, ("a", 2): 2}),  # a range without bounds
        ([set_dim("S"), set_dim("D")], 7, {("a", "d"): 7}),  # a scalar stands for one position
        ([set_dim("S"), set_dim("T")], 7, {("a", 1): 7}),
        ([set_dim("S"), set_dim("D"), set_dim("T")], [8], {("a", "d", 1): 8}),
    ])
    def test_positions_and_their_labels(self, dims, row, expected):
        declarations = [decl("typed_set", "T", value=["x", "y"]), decl("set_declaration", "D", value=["d"]),
                        param("P", *dims)]
        assert written(declarations, {"P": {"a": row}}) == expected

    def test_lists_the_flattening_rejects_are_checked_against_the_working_data(self):
        declarations = [decl("typed_set", "T", value=["x", "y"]),
                        param("P", set_dim("T"), set_dim("T"), kind="parameter_inline_indexed", value=[[1, 2], [3, 4, 5]])]
        with pytest.raises(SemanticError, match="data length 3 does not match declared dimension 'T' of length 2 at "
                                                "dimension 2"):
            generate(declarations, {})


class TestDictParamsAndSecondPass:
    def test_dict_params_is_replaced_by_a_copy_before_the_sets_are_written_again(self):
        seen = []

        class Watching(DataOnly):
            def _add_code_line_impl(self, line):
                seen.append((line, getattr(self, "dict_params", None)))
                super()._add_code_line_impl(line)

        gen = Watching(model(*S_BY_R3, decl("typed_set", "TS", value=[1])), {"S": ["a"], "P": [[1, 2, 3]]})
        gen.generate_code()
        before = next(names for line, names in seen if line.startswith("P = "))
        after = [names for line, names in seen if line == "TS = [1]"][1]
        assert before is not after and before == after == {"P"} and gen.dict_params is after


class TestRowTables:
    def test_set_by_range_rows_write_an_empty_table(self):
        declarations = [decl("set_declaration", "S"), param("P", set_dim("S"), range_dim("R"))]
        gen, lines = generate(declarations, {"R": {"type": "range_data", "start": 1, "end": 2}, "P": {}})
        assert after_header(lines)[1] == "P = {}" and gen.dict_params == {"P"}

    @pytest.mark.parametrize("data, message", [
        ({"R": {"type": "range_data", "start": "1", "end": 2.5}, "P": {"a": [], "b": []}},
         "Parameter 'P' row for key a has length 0; expected 2."),
        ({"P": {"a": []}}, "Named range 'R' has no bounds."),
        ({"R": {"type": "other"}, "P": {"a": []}}, "Named range 'R' has no bounds."),
    ])
    def test_set_by_range_errors(self, data, message):
        declarations = [decl("set_declaration", "S"), param("P", set_dim("S"), range_dim("R"))]
        with pytest.raises(SemanticError) as err:
            generate(declarations, data)
        assert err.value.message == message

    TUPLE_BY_RANGE = [decl("set_of_tuples", "T", value=PAIR_OF_TUPLES), param("P", set_dim("T"), range_dim("R"))]

    @pytest.mark.parametrize("bounds, value, expected, form", [
        ((1, 2), [[("t", 1), [1, 2]], [["u", 2], (3, 4)]],
         {(("t", 1), 1): 1, (("t", 1), 2): 2, (("u", 2), 1): 3, (("u", 2), 2): 4}, "tuple-range"),
        ((1, 3), [[1, 2, 3], [4, 5, 6]],
         {(("t", 1), j): j for j in (1, 2, 3)} | {(("u", 2), j): j + 3 for j in (1, 2, 3)}, "row-major"),
        ((1, 1), [[1], [2]], {(("t", 1), 1): 1, (("u", 2), 1): 2}, "row-major"),  # one column: no pairs
        ((0, 1), [["k", [1, 2]]], {("k", 0): 1, ("k", 1): 2}, "tuple-range"),
    ])
    def test_rows_over_a_tuple_set_and_a_range(self, caplog, bounds, value, expected, form):
        caplog.set_level(INFO, logger="korvane.mipwright")
        declarations = [inline_range("R", *bounds), *self.TUPLE_BY_RANGE]
        assert written(declarations, {"P__map": value}) == expected
        assert log_records(caplog) == [(INFO, f"Emitting {form} flattened dict for 'P' with {len(expected)} entries")]

    def test_rows_that_fit_no_form_are_left_alone(self):
        declarations = [inline_range("R", 1, 2), *self.TUPLE_BY_RANGE]
        gen, lines = generate(declarations, {"P__map": [[1, 2, 3]]})
        assert after_header(lines) == ["T = [('t', 1), ('u', 2)]", "", ""] and gen.dict_params == set()


class TestRemainingEntries:
    def test_scalars_sets_and_undeclared_entries_leave_empty_lines(self, caplog):
        debug_logging(caplog)
        declarations = [param("k", kind="parameter_external"), decl("set_declaration", "S"),
                        decl("typed_set", "TS")]
        _, lines = generate(declarations, {"k": 3, "S": ["a"], "other": [1], "TS": ["x"]})
        typed_set = ["TS = ['x']", "TS_index = {v:i for i,v in enumerate(TS)}"]
        assert after_header(lines) == typed_set + ["", "", ""] + typed_set
        assert (DEBUG, "_generate_data_declarations: Emitting parameter k type=parameter_external dims=None") \
            in log_records(caplog)

    def test_typed_set_parameter(self):
        declarations = [decl("typed_set", "TS"), param("P", range_dim("TS"))]
        assert written(declarations, {"TS": ["x", "y"], "P": [1.5, 2]}) == {"x": 1.5, "y": 2}

    def test_typed_set_of_another_size(self):
        declarations = [decl("typed_set", "TS"), param("P", range_dim("TS"))]
        with pytest.raises(SemanticError) as err:
            generate(declarations, {"TS": ["x", "y"], "P": [1, 2, 3]})
        assert err.value.message == "Parameter 'P' has 3 items but declared set 'TS' has 2 elements."

    def test_inline_typed_set_is_not_matched(self):
        declarations = [decl("typed_set", "TS", value=["x"]), param("P", range_dim("TS"))]
        gen, lines = generate(declarations, {"P": [1]})
        assert "P" not in gen.dict_params and "" in after_header(lines)

    def test_inline_range(self):
        _, lines = generate([inline_range("R", 0, 1), param("P", range_dim("R"))], {"P": [5, 6]})
        assert after_header(lines) == ["P = {0: 5, 1: 6}"]

    def test_inline_range_of_another_length(self):
        class ShapeCheckBlind(DataOnly):
            """Hides the range from the first lookup, which is the shape check's."""
            hidden = 1

            def _find_declaration_by_name(self, name, types=None):
                if types == ["range_declaration_inline"] and self.hidden:
                    self.hidden -= 1
                    return None
                return super()._find_declaration_by_name(name, types=types)

        gen = ShapeCheckBlind(model(inline_range("R", 1, 2), param("P", range_dim("R"))), {"P__map": [1, 2, 3]})
        with pytest.raises(SemanticError) as err:
            gen.generate_code()
        assert err.value.message == "Parameter 'P' has 3 items but declared range 'R' expects 2."

    @pytest.mark.parametrize("declarations, data, line", [
        ([decl("set_of_tuples_external", "T")], {"T": PAIR_OF_TUPLES}, "P = {('t', 1): 5, ('u', 2): 6}"),
        ([decl("set_declaration", "T")], {"T": {"elements": ["a", "b"]}}, "P = {'a': 5, 'b': 6}"),
        ([decl("set_declaration", "T", value=["a", "b"])], {}, "P = {'a': 5, 'b': 6}"),
        ([decl("typed_set", "T", value=["a"])], {"T": ["a", "b"]}, "P = {'a': 5, 'b': 6}"),
        ([], {"T": ["a", "b"]}, 'P = {"a": 5, "b": 6}'),  # no declaration of the set: JSON pairs
    ])
    def test_named_set(self, declarations, data, line):
        gen, lines = generate([*declarations, param("P", set_dim("T"))], {**data, "P": [5, 6]})
        assert line in lines and "P" in gen.dict_params

    def test_named_set_of_another_size(self):
        declarations = [decl("set_declaration", "T", value=["a"]), param("P", set_dim("T"))]
        gen, lines = generate(declarations, {"P": [5, 6]})
        assert "P" not in gen.dict_params and after_header(lines) == [""]


class CustomFloat(float):
    def __repr__(self):
        return "custom"


class CustomInt(int):
    def __repr__(self):
        return "custom"


class CustomStr(str):
    pass


JSON_VALUES = [0, -1, 10**40, -(2**63), 1.5, -0.0, 1e-07, 1e22, 123456789.123, float("inf"), float("-inf"),
               float("nan"), True, False, None, "plain", 'q"uote\\back', "tab\t\nline\x00\x1f\x7f", "é ü 字 😀",
               CustomFloat(2.5), CustomInt(7), CustomStr("s"), [1, "a", None], {"k": [False]}]


class TestJsonText:
    """Values written as JSON must be exactly what json.dumps writes."""

    def test_values_over_an_inline_range(self):
        gen = DataOnly(model(inline_range("R", 1, len(JSON_VALUES)), param("P", range_dim("R"))), {"P": JSON_VALUES})
        gen._generate_data_declarations(gen.data_dict)
        pairs = ", ".join(f"{i}: {json.dumps(v)}" for i, v in enumerate(JSON_VALUES, start=1))
        assert "P = {" + pairs + "}" in gen.gurobi_code_lines

    def test_keys_and_values_over_a_typed_set(self):
        keys = [k for k in JSON_VALUES if isinstance(k, str)]
        gen = DataOnly(model(decl("typed_set", "K"), param("P", range_dim("K"))), {"K": keys, "P": keys[::-1]})
        gen._generate_data_declarations(gen.data_dict)
        pairs = ", ".join(f"{json.dumps(k)}: {json.dumps(v)}" for k, v in zip(keys, keys[::-1]))
        assert "P = {" + pairs + "}" in gen.gurobi_code_lines

    def test_script_reads_back(self):
        # JSON spells non-finite floats and characters outside the BMP in ways Python reads otherwise.
        values = [v for v in JSON_VALUES
                  if (type(v) is float and math.isfinite(v)) or (type(v) is str and max(v) < "\U00010000")]
        assert written([inline_range("R", 1, len(values)), param("P", range_dim("R"))],
                       {"P": values}) == dict(enumerate(values, start=1))


def deep_list(leaf, depth=100_000):
    for _ in range(depth):
        leaf = [leaf]
    return leaf


class TestRobustness:
    TWO_SETS = [decl("set_declaration", "S"), param("P", set_dim("S"), set_dim("S"))]

    @pytest.mark.parametrize("data", [
        {"S": ["a"], "P": deep_list(1)},  # nested lists
        {"S": [deep_list("x")], "P": [[1]]},  # a set element
    ])
    def test_deep_lists_raise_recursion_error(self, data):
        with pytest.raises(RecursionError):
            generate(self.TWO_SETS, data)

    def test_deep_key_of_nested_dict(self):
        key = ()
        for _ in range(5000):  # hashing a tuple is itself recursive: stay within what CPython can hash
            key = (key,)
        with pytest.raises(RecursionError):
            generate(self.TWO_SETS, {"P": {"a": {key: 1}}})

    def test_deep_range_bound(self):
        bound = {"type": "number", "value": 1}
        for _ in range(100_000):  # products: long sums are regrouped into shallow trees
            bound = {"type": "binop", "op": "*", "left": bound, "right": {"type": "number", "value": 1}}
        with pytest.raises(RecursionError):
            generate([inline_range("R", 1, bound), param("P", range_dim("R"))], {"P": [1]})

    def test_callbacks_that_change_the_data(self):
        class Mutating(DataOnly):
            def _find_declaration_by_name(self, name, types=None):
                self.data_dict["P"].clear()
                return super()._find_declaration_by_name(name, types=types)

        gen = Mutating(model(*TestTupleKeyedDicts.TUPLE_DIMS), {"T": PAIR_OF_TUPLES, "P": {("a", "b"): [1, 2]}})
        with pytest.raises(RuntimeError, match="changed size"):
            gen.generate_code()
