"""Comparison constraints: ordinary and strict comparisons, truth folding, binaries against
comparisons, counts of true comparisons, reified counts and not-equal."""
import pytest
from trees import (add, binop, cons, dvar, dvars, false, forall, ge, idx, it, le, name, paren, range_dim, rng, sum_,
                   true)

from korvane.faultlore import SemanticError
from korvane.mipwright import GurobiCodeGenerator

DECLS = [
    dvar("b", "boolean"), dvar("b2", "boolean"), dvar("y", "int+"), dvar("z", "int+"), dvar("f", "float"),
    dvars("x", "int+", range_dim(1, 3)), dvars("bs", "boolean", range_dim(1, 3)),
]
BOUNDS = [le("y", 5), le("z", 5), forall([it("i", rng(1, 3))], le(idx("x", "i"), 4))]
I = it("i", rng(1, 3))


def make(cls=GurobiCodeGenerator):
    gen = cls({"declarations": DECLS}, {})
    gen.gurobi_var_map.update({d["name"]: d["name"] for d in DECLS})
    gen._collect_variable_bounds(BOUNDS)
    return gen


def emit(node, gen=None, prefix="c0", iterators=None):
    gen = gen or make()
    gen._constraint_constraint(node, prefix, iterators or {})
    compile("\n".join(gen.gurobi_code_lines), "<constraint>", "exec")
    return gen.gurobi_code_lines


def count_of(op="<=", right=1):
    """The number of i in 1..3 with x[i] op right."""
    return sum_([I], cons(op, idx("x", "i"), right))


class TestOrdinary:
    @pytest.mark.parametrize("op", [">=", "<=", "=="])
    def test_operator_written_as_it_is(self, op):
        assert emit(cons(op, add("y", "z"), 3)) == [f"model.addConstr((y + z) {op} 3, name='c0')"]

    @pytest.mark.parametrize("op, expected", [
        (">", "model.addConstr(y >= (z) + 1e-05, name='c0')"),
        ("<", "model.addConstr(y <= (z) - 1e-05, name='c0')"),
    ])
    def test_strict_comparisons_move_the_right_side_by_eps(self, op, expected):
        assert emit(cons(op, "y", "z")) == [expected]

    def test_strict_right_side_kept_whole(self):
        cond = {"type": "conditional", "condition": binop(">", 2, 1), "then": name("z"), "else": name("y")}
        assert emit(cons(">", "f", cond))[0] == "model.addConstr(f >= (z if (2 > 1) else y) + 1e-05, name='c0')"

    # Python's and/or would test the truth of the solver's expressions, not of their values.
    @pytest.mark.parametrize("logic", [
        {"type": "and", "left": ge("y", 1), "right": ge("z", 1)},
        {"type": "not", "value": ge("y", 1)},
    ])
    def test_logic_over_variables_as_a_value_is_refused(self, logic):
        with pytest.raises(SemanticError, match="and/or/not over decision variables"):
            emit(cons("==", "y", logic))

    def test_a_condition_over_variables_cannot_choose_a_branch(self):
        cond = {"type": "conditional", "condition": binop(">", "y", 1), "then": name("z"), "else": name("y")}
        with pytest.raises(SemanticError, match="condition depends on decision variables"):
            emit(cons(">", "f", cond))

    def test_sums_make_no_difference(self):
        assert emit(ge(sum_([I], idx("x", "i")), 2)) == [
            "model.addConstr(gp.quicksum(x[i] for i in range(1, 3 + 1)) >= 2, name='c0')"]

    def test_name_follows_the_label(self):
        gen = make()
        gen._active_label_name_expr = "'cap'"
        assert emit(le("y", 1), gen) == ["model.addConstr(y <= 1, name='cap')"]

    def test_other_operators_write_nothing(self):
        assert emit(cons("=>", "y", 1)) == []

    @pytest.mark.parametrize("node", [{"left": name("y"), "right": name("z")}, {"op": "<=", "left": name("y")},
                                      {"op": "<=", "right": name("y")}])
    def test_missing_keys(self, node):
        with pytest.raises(KeyError):
            emit(node)

    def test_translation_errors_propagate(self):
        with pytest.raises(ValueError):
            emit(le("y", "undeclared"))


class TestTruthFolding:
    @pytest.mark.parametrize("node", [
        cons("==", paren(le("y", 3)), true()),
        cons("==", true(), paren(paren(binop("<=", "y", 3)))),
        cons("==", binop("<=", "y", 3), paren(true())),
    ])
    def test_comparison_equal_to_true_is_the_comparison(self, node):
        assert emit(node) == ["model.addConstr(y <= 3, name='c0')"]

    def test_folded_strict_comparison(self):
        assert emit(cons("==", binop(">", "y", 3), true())) == ["model.addConstr(y >= (3) + 1e-05, name='c0')"]

    # Any other comparison is between numbers: the truth of y <= 3 is reified first.
    @pytest.mark.parametrize("node, expected", [
        (cons("==", paren(binop("<=", "y", 3)), false()), "model.addConstr((_cmp_expr_1) == 0, name='c0')"),
        (cons("==", paren(binop("<=", "y", 3)), {"type": "boolean_literal", "value": 1}),
         "model.addConstr((_cmp_expr_1) == 1, name='c0')"),
        (cons("<=", paren(binop("<=", "y", 3)), true()), "model.addConstr((_cmp_expr_1) <= 1, name='c0')"),
    ])
    def test_only_the_literal_true_under_equality_folds(self, node, expected):
        assert emit(node) == [
            "_cmp_expr_1 = model.addVar(vtype=GRB.BINARY)",
            "# Reify (y <= 3) -> _cmp_expr_1 with M=3.0",
            "model.addConstr(y - 3 <= 0 + 3.0 * (1 - _cmp_expr_1), name='aux_reify_le1__cmp_expr_1' )",
            "model.addConstr(y - 3 >= 1 - 4.0 * _cmp_expr_1, name='aux_reify_le2__cmp_expr_1' )",
            expected]


REIFIED_Y_GE_2 = [
    "_cmp_expr_1 = model.addVar(vtype=GRB.BINARY)",
    "# Reify (y >= 2) -> _cmp_expr_1 with M=3.0",
    "model.addConstr(y - 2 >= 0 - 3.0 * (1 - _cmp_expr_1), name='aux_reify_ge1__cmp_expr_1' )",
    "model.addConstr(y - 2 <= -1 + 4.0 * _cmp_expr_1, name='aux_reify_ge2__cmp_expr_1' )",
]


class TestBinaryAgainstComparison:
    @pytest.mark.parametrize("op", ["==", "<=", ">="])
    def test_binary_on_the_left(self, op):
        assert emit(cons(op, "b", paren(ge("y", 2)))) == REIFIED_Y_GE_2 + [f"model.addConstr(b {op} _cmp_expr_1, name='c0')"]

    def test_comparison_on_the_left_keeps_its_place(self):
        assert emit(cons("<=", paren(binop(">=", "y", 2)), idx("bs", "i")), iterators={"i": "i"}) == (
            REIFIED_Y_GE_2 + ["model.addConstr(_cmp_expr_1 <= bs[i], name='c0')"])

    @pytest.mark.parametrize("node", [
        cons("==", "y", paren(binop(">=", "z", 2))),
        cons("==", paren("b"), paren(binop(">=", "z", 2))),
    ])
    def test_only_boolean_variables(self, node):
        # Anything else is compared with the reified comparison as with a number.
        assert emit(node)[-1].endswith("== (_cmp_expr_1), name='c0')")


class TestCounts:
    @pytest.mark.parametrize("op, bound", [(">", ">= 3"), (">=", ">= 2"), ("==", "== 2"), ("<=", "<= 2"), ("<", "<= 1")])
    def test_count_against_a_number(self, op, bound):
        lines = emit(cons(op, count_of(">="), 2))
        assert lines[0] == "_cmp_sum_list_1 = []  # auxiliaries for sum of comparisons"
        assert lines[-1] == f"model.addConstr(gp.quicksum(_cmp_sum_list_1) {bound}, name='c0_card')"

    def test_float_bounds_keep_their_type(self):
        assert emit(cons(">", count_of(), 2.0))[-1] == "model.addConstr(gp.quicksum(_cmp_sum_list_1) >= 3.0, name='c0_card')"

    # A count is a whole number: above 1.5 means at least 2, below 1.5 at most 1.
    @pytest.mark.parametrize("op, bound", [(">", ">= 2"), ("<", "<= 1"), (">=", ">= 1.5"), ("<=", "<= 1.5")])
    def test_fractional_bounds_of_strict_counts(self, op, bound):
        assert emit(cons(op, count_of(), 1.5))[-1] == f"model.addConstr(gp.quicksum(_cmp_sum_list_1) {bound}, name='c0_card')"

    def test_a_list_already_built_is_read_again(self):
        gen = make()
        count = count_of()
        gen._traverse_expression(count, {})
        before = list(gen.gurobi_code_lines)
        assert emit(ge(paren(count), 1), gen) == before + [
            "model.addConstr(gp.quicksum(_cmp_sum_list_1) >= 1, name='c0_card')"]

    def test_meta_dictionary_created_when_missing(self):
        gen = make()
        emit(ge(count_of(), 1), gen)
        assert len(gen._comparison_sum_meta) == 1

    def test_scoped_list(self):
        lines = emit(le(sum_([it("j", rng(1, 2))], ge(idx("x", "j"), "i")), 1), iterators={"i": "i"},
                     gen=make_with_ranges({"i": "I"}))
        assert lines[-1] == "model.addConstr(gp.quicksum(_cmp_sum_list_1[(i,)]) <= 1, name='c0_card')"

    def test_without_a_recorded_list_the_ordinary_rule_applies(self):
        class PlainSums(GurobiCodeGenerator):
            def _expr_sum(self, node, iterators, symbolic):
                return "S"

        assert emit(ge(count_of(), 2), make(PlainSums)) == ["model.addConstr(S >= 2, name='c0')"]

    def test_a_failed_translation_falls_through_and_fails_again(self):
        calls = []

        class Failing(GurobiCodeGenerator):
            def _expr_sum(self, node, iterators, symbolic):
                calls.append(1)
                raise ZeroDivisionError("boom")

        with pytest.raises(ZeroDivisionError):
            emit(ge(count_of(), 2), make(Failing))
        assert len(calls) == 2

    def test_right_side_must_be_a_number_node(self):
        assert emit(ge(count_of(), "y"))[-1] == "model.addConstr(gp.quicksum(_cmp_sum_list_1) >= y, name='c0')"


def make_with_ranges(ranges):
    gen = make()
    gen._active_iterator_ranges = dict(ranges)
    return gen


class TestReifiedCounts:
    def test_reified_count(self):
        lines = emit(cons("==", "y", paren(cons(">=", count_of(), 2))))
        assert lines[-3:] == [
            "# Reified cardinality: y == (sum(comparisons) >= 2)",
            "model.addConstr(2 * y - gp.quicksum(_cmp_sum_list_1) <= 0, name='c0_reif_card1')",
            "model.addConstr(gp.quicksum(_cmp_sum_list_1) - (2-1) - (_cmp_sum_list_1_len - 2 + 1) * y <= 0, "
            "name='c0_reif_card2')",
        ]

    def test_strict_count_and_binop_form(self):
        lines = emit(cons("==", idx("x", 1), binop(">", paren(count_of()), 2)))
        assert lines[-3:] == [
            "# Reified cardinality (binop): x[1] == (sum(comparisons) >= 3)",
            "model.addConstr(3 * x[1] - gp.quicksum(_cmp_sum_list_1) <= 0, name='c0_reif_card1')",
            "model.addConstr(gp.quicksum(_cmp_sum_list_1) - (3-1) - (_cmp_sum_list_1_len - 3 + 1) * x[1] <= 0, "
            "name='c0_reif_card2')",
        ]

    def test_scoped_count_uses_its_keyed_length(self):
        node = cons("==", "y", cons(">=", sum_([it("j", rng(1, 2))], ge(idx("x", "j"), "i")), 1))
        lines = emit(node, gen=make_with_ranges({"i": "I"}), iterators={"i": "i"})
        assert lines[-1] == ("model.addConstr(gp.quicksum(_cmp_sum_list_1[(i,)]) - (1-1) - "
                             "(_cmp_sum_list_1_len[(i,)] - 1 + 1) * y <= 0, name='c0_reif_card2')")

    def test_count_without_a_length_is_taken_with_len(self):
        class NoLength(GurobiCodeGenerator):
            def _comparison_sum_accessors(self, meta, iterators):
                return ("L", None)

        assert emit(cons("==", "y", cons(">=", count_of(), 1)), make(NoLength))[-1] == (
            "model.addConstr(gp.quicksum(L) - (1-1) - (len(L) - 1 + 1) * y <= 0, name='c0_reif_card2')")

    def test_labels_name_both_constraints(self):
        gen = make()
        gen._active_label_name_expr = "'lbl'"
        lines = emit(cons("==", "y", cons(">=", count_of(), 1)), gen)
        assert lines[-2].endswith("name=('lbl' + '_reif_card1'))") and lines[-1].endswith("name=('lbl' + '_reif_card2'))")

    @pytest.mark.parametrize("node", [
        cons("==", "y", binop("<=", count_of(), 2)),
        cons("==", "y", binop(">=", sum_([I], idx("x", "i")), 2)),
    ])
    def test_other_shapes_are_ordinary(self, node):
        assert emit(node)[-1].endswith(", name='c0')")

    def test_a_boolean_variable_is_linked_to_the_comparison_first(self):
        lines = emit(cons("==", "b", paren(cons(">=", count_of(), 2))))
        assert lines[-1] == "model.addConstr(b == _cmp_expr_1, name='c0')"


class TestNotEqual:
    def test_two_binaries(self):
        gen = make()
        gen._active_label_name_expr = "'ignored'"
        assert emit(cons("!=", "b", idx("bs", 2)), gen, prefix="c4") == ["model.addConstr(b + bs[2] == 1, name='c4_xor')"]

    def test_flag_at_top_level_is_named(self):
        assert emit(cons("!=", "y", "z")) == [
            "neq_flag_c0 = model.addVar(vtype=GRB.BINARY, name='neq_flag_c0')",
            "model.addConstr(y - z + 6.0 * neq_flag_c0 >= 1, name='c0_neq1')",
            "model.addConstr(z - y + 6.0 * (1 - neq_flag_c0) >= 1, name='c0_neq2')",
        ]

    def test_flag_inside_a_loop_is_new_each_pass(self):
        lines = emit(cons("!=", idx("x", "i"), "z"), prefix="c1_i", iterators={"i": "i"})
        assert lines == [
            "neq_flag_c1_i = model.addVar(vtype=GRB.BINARY)",
            "model.addConstr(x[i] - z + 6.0 * neq_flag_c1_i >= 1, name='c1_i_neq1')",
            "model.addConstr(z - x[i] + 6.0 * (1 - neq_flag_c1_i) >= 1, name='c1_i_neq2')",
        ]

    # Sides that are multiples of 1/2 differ by 1/2 at least: a gap that no integrality
    # tolerance times M can absorb, unlike EPS.
    def test_sides_on_a_grid_keep_its_step_apart(self):
        assert emit(cons("!=", "y", 2.5))[1:] == [
            "model.addConstr(y - 2.5 + 3.0 * neq_flag_c0 >= 0.5, name='c0_neq1')",
            "model.addConstr(2.5 - y + 3.0 * (1 - neq_flag_c0) >= 0.5, name='c0_neq2')",
        ]
        assert emit(cons("!=", "y", binop("/", "z", 4)))[1].endswith(" >= 0.25, name='c0_neq1')")

    # Sides that may take any value differ by EPS at least, not by 1.
    def test_a_float_side_keeps_the_sides_eps_apart(self):
        assert emit(cons("!=", idx("x", "i"), "f"), prefix="c1_i", iterators={"i": "i"})[1:] == [
            "model.addConstr(x[i] - f + 1000000.0 * neq_flag_c1_i >= 1e-05, name='c1_i_neq1')",
            "model.addConstr(f - x[i] + 1000000.0 * (1 - neq_flag_c1_i) >= 1e-05, name='c1_i_neq2')",
        ]

    @pytest.mark.parametrize("left, right, big_m", [
        ((0, 5), (0, 5), "6.0"),
        ((0, 2), (5, 9), "10.0"),
        ((3, 3), (3, 3), "1.0"),
        ((0, 1), (0, None), "1000000.0"),
        (None, (0, 1), "1000000.0"),
    ])
    def test_big_m_from_bounds(self, left, right, big_m):
        class Bounded(GurobiCodeGenerator):
            def _linear_bounds_safe(self, node):
                return left if node["value"] == "y" else right

        assert f" + {big_m} * neq_flag_c0 >= 1" in emit(cons("!=", "y", "z"), make(Bounded))[1]

    def test_names_follow_the_label(self):
        gen = make()
        gen._active_label_name_expr = "'lbl'"
        lines = emit(cons("!=", "y", "z"), gen)
        assert lines[1].endswith("name=('lbl' + '_neq1'))") and lines[2].endswith("name=('lbl' + '_neq2'))")
