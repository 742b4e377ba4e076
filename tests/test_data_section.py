"""The data section, first half: preparing and validating the data, set literals, aliases and the
section header."""
import copy
import logging

import pytest

from data_section_support import (HEADER, DataOnly, after_header, debug_logging, decl, generate, inline_range, log_records,
                                  model, param, range_dim, read_back, set_dim)
from trees import binop, name, num
from korvane.faultlore import SemanticError
from korvane.mipwright import GurobiCodeGenerator

DEBUG, INFO = logging.DEBUG, logging.INFO


class TestInPlaceRewrites:
    @pytest.mark.parametrize("kind", ["set_of_tuples", "set_of_tuples_external"])
    def test_tuple_set_list_is_wrapped_in_the_generators_copy(self, kind):
        data = {"A": [["x", 1], ["y", 2]]}
        gen, lines = generate([decl(kind, "A")], data)
        assert gen.data_dict["A"] == {"elements": [["x", 1], ["y", 2]]}
        assert data == {"A": [["x", 1], ["y", 2]]}
        assert lines[0] == "A = [('x', 1), ('y', 2)]"

    def test_tuple_set_already_wrapped_is_left_alone(self):
        value = {"elements": [["x", 1]]}
        gen, _ = generate([decl("set_of_tuples", "A")], {"A": value})
        assert gen.data_dict["A"] == value  # the generator works on its own copy of the data

    @pytest.mark.parametrize("pairs, expected", [
        (["a", 1, "b", 2.5], {"a": 1, "b": 2.5}),
        (["a", 1, "a", 2, "b", True], {"a": 2, "b": True}),
    ])
    def test_flat_key_value_list_becomes_a_dict_without_validation(self, pairs, expected):
        data = {"c": pairs}
        declarations = [inline_range("R", 1, 5), param("c", range_dim("R"))]
        gen, lines = generate(declarations, copy.deepcopy(data))
        assert gen.data_dict["c"] == expected and data == {"c": pairs}
        assert after_header(lines) == [""] and gen.dict_params == set()  # the dict is left to the declarations

    @pytest.mark.parametrize("value", [["a", 1, "b"], ["a", "x"], ("a", 1)])
    def test_lists_that_are_not_pairs_are_validated(self, value):
        declarations = [inline_range("R", 1, 4), param("c", range_dim("R"))]
        with pytest.raises(SemanticError) as err:
            generate(declarations, {"c": value})
        assert err.value.message == (f"Parameter 'c' data length {len(value)} does not match declared dimension 'R' "
                                     "of length 4 at dimension 1.")

    def test_nothing_is_rolled_back_on_error(self):
        gen = DataOnly(model(decl("set_of_tuples", "A"), inline_range("R", 1, 2), param("c", range_dim("R"))),
                       {"A": [[1]], "c": [1, 2, 3]})
        with pytest.raises(SemanticError):
            gen.generate_code()
        assert gen.data_dict["A"] == {"elements": [[1]]}


S3_BY_R2 = [decl("set_declaration", "S"), inline_range("R", 1, 2), param("P", set_dim("S"), range_dim("R"))]


class TestShapeValidation:
    def test_fitting_data_passes(self):
        gen, lines = generate(S3_BY_R2, {"S": ["a", "b", "c"], "P": [[1, 2], [3, 4], [5, 6]]})
        assert read_back(after_header(lines))["P"] == {("a", 1): 1, ("a", 2): 2, ("b", 1): 3, ("b", 2): 4,
                                                       ("c", 1): 5, ("c", 2): 6}

    @pytest.mark.parametrize("value, message", [
        ([[1, 2], [3, 4]], "Parameter 'P' data length 2 does not match declared dimension 'S' of length 3 at dimension 1."),
        ([[1, 2], [3], [5, 6]], "Parameter 'P' data length 1 does not match declared dimension 'R' of length 2 at dimension 2."),
        ([[1, 2], 3, [5, 6]], "Parameter 'P' expected a 1D array, got scalar at dimension 2."),
    ])
    def test_mismatches(self, value, message):
        with pytest.raises(SemanticError) as err:
            generate(S3_BY_R2, {"S": {"elements": ["a", "b", "c"]}, "P": value})
        assert err.value.message == message and err.value.lineno is None

    def test_debug_lines(self, caplog):
        debug_logging(caplog)
        with pytest.raises(SemanticError):
            generate(S3_BY_R2, {"S": ["a", "b", "c"], "P": [[1, 2], [3]]})
        assert log_records(caplog) == [
            (DEBUG, "Entering _generate_data_declarations"),
            (DEBUG, "shape P: dim 1 expected_len=3 actual=2 dim_type=named_set_dimension dim_name=S"),
            (DEBUG, "shape error P: data length 2 does not match declared dimension 'S' length 3 at dim 1"),
        ]
        caplog.clear()
        with pytest.raises(SemanticError):
            generate(S3_BY_R2, {"S": ["a"], "P": ["x"]})
        assert log_records(caplog)[-3:] == [
            (DEBUG, "shape P: dim 1 expected_len=1 actual=1 dim_type=named_set_dimension dim_name=S"),
            (DEBUG, "shape P: dim 2 expected_len=2 actual=scalar dim_type=named_range_dimension dim_name=R"),
            (DEBUG, "shape error P: expected 1D array, got scalar at dim 2"),
        ]

    def test_stores_line_and_a_scalar_reached(self, caplog):
        debug_logging(caplog)
        declarations = [decl("set_declaration", "Stores"), param("Capacity", set_dim("Stores"), set_dim("Stores")),
                        param("k", kind="parameter_external")]
        generate(declarations, {"Stores": ["s1", "s2"], "Capacity": [[1, 2], [3, 4]], "k": [1]})
        assert log_records(caplog)[1:] == [
            (DEBUG, "[data_dict] Stores: ['s1', 's2'] len=2"),
            (DEBUG, "shape Capacity: dim 1 expected_len=2 actual=2 dim_type=named_set_dimension dim_name=Stores"),
            (DEBUG, "shape Capacity: dim 2 expected_len=2 actual=2 dim_type=named_set_dimension dim_name=Stores"),
            (DEBUG, "shape Capacity: dim 2 expected_len=2 actual=2 dim_type=named_set_dimension dim_name=Stores"),
            (INFO, "Emitting flattened dict for 'Capacity' with 4 entries"),
            (DEBUG, "shape k: reached scalar at dim 0"),  # list data of a parameter without dimensions
            (DEBUG, "_generate_data_declarations: Emitting parameter k type=parameter_external dims=None"),
        ]

    @pytest.mark.parametrize("declarations", [
        [param("P", set_dim("S"), set_dim("T"))],  # sets without data
        [param("P", range_dim("R"), set_dim("T"))],  # a range without an inline declaration
        [decl("set_declaration", "S", value=["a"]), param("P", set_dim("S"))],  # the declaration is not read
    ])
    def test_unknown_lengths_go_unchecked(self, declarations):
        gen, lines = generate(declarations, {"P": [[1], [2, 3], 4]})
        assert gen.data_dict["P"] == [[1], [2, 3], 4] and after_header(lines) == [""]

    @pytest.mark.parametrize("end, length", [
        (name("n"), 4),
        (binop("*", name("n"), num(2)), 8),
        (binop("/", binop("+", name("n"), num(3)), num(2)), 3),
        (binop("-", num(6.9), num(1)), 5),
    ])
    def test_range_bounds_from_data_and_arithmetic(self, end, length):
        declarations = [inline_range("R", 1, end), param("P", range_dim("R"))]
        with pytest.raises(SemanticError, match=f"of length {length} at dimension 1"):
            generate(declarations, {"n": "4", "P": [0] * (length + 1)})

    def test_unknown_operator_in_a_bound_is_refused_before_any_line(self):
        declarations = [inline_range("R", 1, binop("%", num(1), num(2))), param("P", range_dim("R"))]
        gen = GurobiCodeGenerator({"declarations": declarations, "objective": {}, "constraints": []}, {"P": [1]})
        with pytest.raises(ValueError, match=r"'binop' node at declarations\[0\]\.end\.op has the unknown operator '%'"):
            gen.generate_code()
        assert gen.gurobi_code_lines == []

    @pytest.mark.parametrize("end, message", [
        ({"type": "funcall", "name": "f"}, "Unsupported range bound expr: {'type': 'funcall', 'name': 'f'}"),
        ("5", "Unsupported range bound expr: 5"),
    ])
    def test_unsupported_bounds(self, end, message):
        declarations = [inline_range("R", 1, end), param("P", range_dim("R"))]
        with pytest.raises(Exception) as err:
            generate(declarations, {"P": [1]})
        assert type(err.value) is Exception and str(err.value) == message

    def test_missing_bound_name_raises_the_lookup_error(self):
        with pytest.raises(KeyError, match="'n'"):
            generate([inline_range("R", 1, name("n")), param("P", range_dim("R"))], {"P": [1]})


class TestSetLiterals:
    def test_tuple_sets_typed_sets_and_tuple_arrays(self):
        declarations = [
            decl("tuple_type", "T", fields=[{"name": "a"}, {"name": "b"}]),
            decl("set_of_tuples", "A", value=[["x", [1, 2]]]),
            decl("set_of_tuples_external", "B"),
            decl("typed_set", "TS", value=["it's", 2]),
            decl("typed_set_external", "E"),
            decl("typed_set_external", "F", value=[]),
            decl("tuple_array", "TA", tuple_type="T", index_set="S"),
            decl("tuple_array_external", "TB", tuple_type="T", index_set="S"),
        ]
        data = {"F": ["from data"], "TA": [[1, True, "extra"], [2]], "TB": [("z", None)]}
        gen, lines = generate(declarations, data)
        first_pass = [
            "A = [('x', (1, 2))]",
            "TS = [\"it's\", 2]",
            "TS_index = {v:i for i,v in enumerate(TS)}",
            "E = []",
            "E_index = {v:i for i,v in enumerate(E)}",
            "F = ['from data']",
            "F_index = {v:i for i,v in enumerate(F)}",
            'TA_data = [{"a": 1, "b": True}, {"a": 2}]',
            "TA = {idx: rec for idx, rec in zip(S, TA_data)}",
            'TB_data = [{"a": "z", "b": null}]',  # json's null: the script needs a name for it
            "TB = {idx: rec for idx, rec in zip(S, TB_data)}",
        ]
        assert lines[:len(first_pass) + 1] == first_pass + [HEADER]
        assert gen.tuple_types == {"T": [{"name": "a"}, {"name": "b"}]}
        namespace = read_back(first_pass, S=["s1", "s2"], null=None)
        assert namespace["TA"] == {"s1": {"a": 1, "b": True}, "s2": {"a": 2}}
        assert namespace["TS_index"] == {"it's": 0, 2: 1}

    def test_tuple_array_before_its_tuple_type_waits_for_the_second_pass(self):
        declarations = [decl("tuple_array", "TA", tuple_type="T", index_set="S"),
                        decl("tuple_type", "T", fields=[{"name": "a"}]),
                        decl("tuple_array", "TC", tuple_type="T", index_set="S")]
        _, lines = generate(declarations, {"TA": [[1]]})
        assert lines == [HEADER, 'TA_data = [{"a": 1}]', "TA = {idx: rec for idx, rec in zip(S, TA_data)}", ""]

    def test_tuple_types_attribute_is_kept_when_present(self):
        gen = DataOnly(model(decl("tuple_type", "T", fields=[])))
        gen.tuple_types = known = {"Old": []}
        gen._generate_data_declarations(gen.data_dict)
        assert gen.tuple_types is known and known == {"Old": [], "T": []}

    def test_set_lines_are_written_again_after_the_dictionary_parameters(self):
        declarations = [decl("typed_set", "TS", value=["a"]), decl("set_of_tuples", "A"),
                        param("P", set_dim("TS"), set_dim("TS"))]
        _, lines = generate(declarations, {"A": [[1, 2]], "P": [[4]]})
        typed_set = ["TS = ['a']", "TS_index = {v:i for i,v in enumerate(TS)}"]
        set_lines = typed_set + ["A = [(1, 2)]"]
        # The third typed-set assignment comes from the entry that TS's inline value added to the data.
        assert lines == set_lines + [HEADER, "P = {('a', 'a'): 4}"] + set_lines + [""] + typed_set

    def test_empty_tuple_set_writes_nothing(self):
        _, lines = generate([decl("set_of_tuples", "A")], {})
        assert lines == [HEADER]


class TestWorkingDataAndAliases:
    def test_inline_values_fill_what_the_data_leaves_out(self):
        declarations = [
            decl("typed_set", "TS", value=["a", "b"]),
            param("P", set_dim("TS"), range_dim("R", 1, 1), kind="parameter_inline_indexed", value=[[1], [2]]),
            param("Q", set_dim("TS"), range_dim("R", 1, 1), kind="parameter_inline_indexed", value=[[0], [0]]),
        ]
        gen, lines = generate(declarations, {"Q": [[5], [6]]})
        values = read_back(after_header(lines))
        assert values["P"] == {("a", 1): 1, ("b", 1): 2} and values["Q"] == {("a", 1): 5, ("b", 1): 6}
        assert gen.data_dict == {"Q": [[5], [6]]}

    def test_map_alias_feeds_the_parameter_stages(self):
        declarations = [decl("set_declaration", "S"), param("P", set_dim("S"), set_dim("S"))]
        data = {"S": ["a"], "P__map": [[7]], "P": "overwritten"}
        gen, lines = generate(declarations, data)
        assert after_header(lines) == ["P = {('a', 'a'): 7}", "", ""]  # then S and P__map themselves
        assert gen.data_dict["P"] == "overwritten" and gen.dict_params == {"P"}

    def test_without_declarations_only_the_header_and_empty_lines(self):
        gen = DataOnly({"objective": {"type": "minimize", "expression": num(0)}, "constraints": []}, {"x": 1, "y": [2]})
        gen._generate_data_declarations(gen.data_dict)
        assert gen.gurobi_code_lines == [HEADER, "", ""] and gen.dict_params == set()

    def test_dict_params_starts_empty(self):
        gen = DataOnly(model())
        gen.dict_params = {"stale"}
        gen._generate_data_declarations({})
        assert gen.dict_params == set()


class TestScalarValuesPerKey:
    @pytest.mark.parametrize("dim, value, key", [
        (set_dim("S"), {"a": 1, "b": [2.0]}, "'b'"),
        (range_dim("R"), {1: {"x": 1}}, "1"),
        (set_dim("S"), {("a", 1): (2,)}, "('a', 1)"),
    ])
    def test_array_for_a_key_is_refused(self, dim, value, key):
        with pytest.raises(SemanticError) as err:
            generate([param("P", dim)], {"P__map": value})
        assert err.value.message == (f"Parameter 'P' declared as 1-D over '{dim['name']}' expects scalar values per key,"
                                     f" but data provides an array for key {key}. Use scalar values (e.g., 2.0), not [2.0].")

    def test_other_dimensions_are_not_checked(self):
        _, lines = generate([param("P", {"type": "range_index", "start": num(1), "end": num(1)})], {"P": {1: [2.0]}})
        assert after_header(lines) == [""]


def test_entering_line_is_logged_first(caplog):
    debug_logging(caplog)
    generate([], {})
    assert log_records(caplog) == [(DEBUG, "Entering _generate_data_declarations")]
