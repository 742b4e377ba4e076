"""Implications: the lines of each encoding (logical, indicator, general), their names and M
values, the numbering of auxiliaries, and every error."""
import pytest
from trees import (and_, bexpr, binop, cons, dvar, dvars, eq, false, forall, ge, idx, implication, it, le, not_, num, or_,
                   paren, range_dim, rng, true)

from korvane.mipwright import GurobiCodeGenerator

DECLS = [dvar("x"), dvar("y"), dvar("z", "int"), dvar("b", "boolean"), dvars("bs", "boolean", range_dim(1, 3)),
         {"type": "dvar", "name": "c", "var_type": "boolean"}, {"type": "parameter_inline", "name": "k", "value": 1}]
X_AND_Y_UP_TO_4 = (le("x", 4), le("y", 4))


def make(bounds=X_AND_Y_UP_TO_4, cls=GurobiCodeGenerator):
    gen = cls({"declarations": DECLS}, {})
    gen.gurobi_var_map.update(x="x", y="y", z="z", b="b", bs="bs", c="c")
    gen._collect_variable_bounds(list(bounds))
    return gen


def lines(antecedent, consequent, gen=None, prefix="c0", iterators=None):
    gen = gen or make()
    gen._constraint_implication_constraint(implication(antecedent, consequent), prefix, iterators or {})
    compile("\n".join(gen.gurobi_code_lines), "<implication>", "exec")
    return list(gen.gurobi_code_lines)


def fails(exc, message, antecedent, consequent, gen=None):
    gen = gen or make()
    with pytest.raises(exc) as err:
        gen._constraint_implication_constraint(implication(antecedent, consequent), "c0", {})
    assert str(err.value) == message
    return gen.gurobi_code_lines


FLAG = "implication_flag_c0 = model.addVar(vtype=GRB.BINARY, name='implication_flag_c0')  # 1 if antecedent true"


class TestLogicalPath:
    # x - 3 spans [-3, 1] with x in 0..4: M is 3.0, and 3.00001 where EPS pushes against it.
    @pytest.mark.parametrize("op, reification", [
        (">=", ["model.addConstr(x - 3 >= -3.0 * (1 - cmp_b1_c0), name='c0_aux_ge_cmp_b1_c0')",
                "model.addConstr(x - 3 <= -1 + 4.0 * cmp_b1_c0, name='c0_aux_ge_relax_cmp_b1_c0')"]),
        (">", ["model.addConstr(x - 3 >= 1 - 4.0 * (1 - cmp_b1_c0), name='c0_aux_gt_cmp_b1_c0')",
               "model.addConstr(x - 3 <= 3.0 * cmp_b1_c0, name='c0_aux_gt_relax_cmp_b1_c0')"]),
        ("<=", ["model.addConstr(x - 3 <= 3.0 * (1 - cmp_b1_c0), name='c0_aux_le_cmp_b1_c0')",
                "model.addConstr(x - 3 >= 1 - 4.0 * cmp_b1_c0, name='c0_aux_le_relax_cmp_b1_c0')"]),
        ("<", ["model.addConstr(x - 3 <= -1 + 4.0 * (1 - cmp_b1_c0), name='c0_aux_lt_cmp_b1_c0')",
               "model.addConstr(x - 3 >= 0 - 3.0 * cmp_b1_c0, name='c0_aux_lt_relax_cmp_b1_c0')"]),
        ("==", ["model.addConstr(x - 3 <= 1e-06 + 3.0 * (1 - cmp_b1_c0), name='c0_aux_eq1_cmp_b1_c0')",
                "model.addConstr(3 - x <= 1e-06 + 3.0 * (1 - cmp_b1_c0), name='c0_aux_eq2_cmp_b1_c0')",
                "model.addConstr(x - 3 >= -1e-06 - 3.0 * (1 - cmp_b1_c0), name='c0_aux_eq3_cmp_b1_c0')",
                "model.addConstr(3 - x >= -1e-06 - 3.0 * (1 - cmp_b1_c0), name='c0_aux_eq4_cmp_b1_c0')",
                "cmp_b1_c0_side = model.addVar(vtype=GRB.BINARY, name='cmp_b1_c0_side')"
                "  # sign of (x - 3) when cmp_b1_c0 is 0",
                "model.addConstr(x - 3 >= 1 - 4.0 * (cmp_b1_c0 + 1 - cmp_b1_c0_side), "
                "name='c0_aux_eq5_cmp_b1_c0')",
                "model.addConstr(3 - x >= 1 - 4.0 * (cmp_b1_c0 + cmp_b1_c0_side), name='c0_aux_eq6_cmp_b1_c0')"]),
    ])
    def test_each_comparison_is_reified_both_ways(self, op, reification):
        written = lines(not_(bexpr(op, "x", 3)), le("y", 2))
        assert written[0] == "cmp_b1_c0 = model.addVar(vtype=GRB.BINARY, name='cmp_b1_c0')"
        assert written[1:1 + len(reification)] == reification
        assert written[1 + len(reification):] == [
            "not_b2_c0 = model.addVar(vtype=GRB.BINARY, name='not_b2_c0')",
            "model.addConstr(not_b2_c0 + cmp_b1_c0 == 1, name='c0_notlink_not_b2_c0' )",
            "cmp_b3_c0 = model.addVar(vtype=GRB.BINARY, name='cmp_b3_c0')",
            "model.addConstr(y - 2 <= 2.0 * (1 - cmp_b3_c0), name='c0_aux_le_cmp_b3_c0')",
            "model.addConstr(y - 2 >= 1 - 3.0 * cmp_b3_c0, name='c0_aux_le_relax_cmp_b3_c0')",
            "model.addConstr(not_b2_c0 <= cmp_b3_c0, name='c0_impl_bin')"]

    def test_and_writes_operands_first_and_the_counter_runs_on(self):
        gen = make()
        written = lines(and_(bexpr(">=", "x", 3), bexpr("<=", "y", 1)), ge("z", 2), gen=gen)
        declared = [line.split(" = ")[0] for line in written if "addVar" in line]
        assert declared == ["cmp_b1_c0", "cmp_b2_c0", "and_b3_c0", "cmp_b4_c0"]
        start = written.index("and_b3_c0 = model.addVar(vtype=GRB.BINARY, name='and_b3_c0')")
        assert written[start + 1:start + 4] == [
            "model.addConstr(and_b3_c0 <= cmp_b1_c0, name='c0_and1_and_b3_c0' )",
            "model.addConstr(and_b3_c0 <= cmp_b2_c0, name='c0_and2_and_b3_c0' )",
            "model.addConstr(and_b3_c0 >= cmp_b1_c0 + cmp_b2_c0 - 1, name='c0_and3_and_b3_c0' )"]
        assert written[-1] == "model.addConstr(and_b3_c0 <= cmp_b4_c0, name='c0_impl_bin')"
        assert gen._bool_aux_counter == 4
        more = lines(ge("x", 1), or_(true(), false()), gen=gen, prefix="c7")[len(written):]
        assert more[:2] == ["cmp_b5_c7 = model.addVar(vtype=GRB.BINARY, name='cmp_b5_c7')",
                            "model.addConstr(x - 1 >= -3.0 * (1 - cmp_b5_c7), name='c7_aux_ge_cmp_b5_c7')"]
        assert more[3:] == [
            "lit_b6_c7 = model.addVar(vtype=GRB.BINARY, name='lit_b6_c7')",
            "model.addConstr(lit_b6_c7 == 1, name='c7_lit_lit_b6_c7' )",
            "lit_b7_c7 = model.addVar(vtype=GRB.BINARY, name='lit_b7_c7')",
            "model.addConstr(lit_b7_c7 == 0, name='c7_lit_lit_b7_c7' )",
            "or_b8_c7 = model.addVar(vtype=GRB.BINARY, name='or_b8_c7')",
            "model.addConstr(or_b8_c7 >= lit_b6_c7, name='c7_or1_or_b8_c7' )",
            "model.addConstr(or_b8_c7 >= lit_b7_c7, name='c7_or2_or_b8_c7' )",
            "model.addConstr(or_b8_c7 <= lit_b6_c7 + lit_b7_c7, name='c7_or3_or_b8_c7' )",
            "model.addConstr(cmp_b5_c7 <= or_b8_c7, name='c7_impl_bin')"]

    def test_the_counter_starts_with_the_first_implication(self):
        gen = make()
        assert not hasattr(gen, "_bool_aux_counter")
        lines(ge("x", 1), le("y", 1), gen=gen)
        assert gen._bool_aux_counter == 0

    def test_without_bounds_m_is_the_default_also_with_a_margin(self):
        assert lines(not_(bexpr(">", "z", 3)), true())[1:3] == [
            "model.addConstr(z - 3 >= 1 - 1000000.0 * (1 - cmp_b1_c0), name='c0_aux_gt_cmp_b1_c0')",
            "model.addConstr(z - 3 <= 1000000.0 * cmp_b1_c0, name='c0_aux_gt_relax_cmp_b1_c0')"]

    @pytest.mark.parametrize("side", [
        paren(paren(bexpr(">=", "x", 3))),
        cons(">=", "x", 3),
    ], ids=["parenthesized", "constraint"])
    def test_comparison_shapes(self, side):
        written = lines(and_(side, true()), le("y", 2))
        assert written[1] == "model.addConstr(x - 3 >= -3.0 * (1 - cmp_b1_c0), name='c0_aux_ge_cmp_b1_c0')"

    @pytest.mark.parametrize("antecedent, composite", [
        (paren(not_(bexpr(">=", "x", 3))), True),
        (eq(and_(bexpr(">=", "x", 1), bexpr(">=", "y", 1)), false()), True),
        ({"type": "constraint", "op": "==", "left": or_(bexpr(">=", "x", 1), bexpr(">=", "y", 1)), "right": 1}, True),
        (eq(or_(bexpr(">=", "x", 1), bexpr(">=", "y", 1)), 1), False),
        (eq(and_(bexpr(">=", "x", 1), bexpr(">=", "y", 1)), "y"), False),
        (ge("x", 1), False),
    ])
    def test_which_sides_count_as_logical(self, antecedent, composite):
        gen = make(cls=NoTranslation)
        gen._constraint_implication_constraint(implication(antecedent, le("y", 2)), "c0", {})
        assert gen.gurobi_code_lines[-1].endswith("name='c0_impl_bin')") == composite

    @pytest.mark.parametrize("side, message", [
        ({"type": "sum"}, "Unsupported boolean expression type for auxiliary binary: sum"),
        ("x", "Unsupported boolean expression type for auxiliary binary: None"),
        (binop("+", "x", 1), "Unsupported boolean expression type for auxiliary binary: binop"),
    ])
    def test_unsupported_conditions(self, side, message):
        written = fails(ValueError, message, and_(bexpr(">=", "x", 1), side), le("y", 1))
        assert written[0] == "cmp_b1_c0 = model.addVar(vtype=GRB.BINARY, name='cmp_b1_c0')" and len(written) == 3

    @pytest.mark.parametrize("comparison", [cons("<>", "x", 1), bexpr("+", "x", 1)])
    def test_unsupported_comparison_operator_after_its_binary(self, comparison):
        written = fails(ValueError, f"Unsupported comparison operator in boolean linearization: {comparison['op']}",
                        not_(comparison), le("y", 1))
        assert written == ["cmp_b1_c0 = model.addVar(vtype=GRB.BINARY, name='cmp_b1_c0')"]

    def test_deep_nesting_raises_recursion_error(self):
        deep = bexpr(">=", "x", 1)
        for _ in range(100000):
            deep = not_(deep)
        with pytest.raises(RecursionError):
            make()._constraint_implication_constraint(implication(deep, le("y", 1)), "c0", {})
        deep = bexpr(">=", "x", 1)
        for _ in range(100000):
            deep = paren(deep)
        with pytest.raises(RecursionError):
            make()._constraint_implication_constraint(implication(deep, le("y", 1)), "c0", {})


class NoTranslation(GurobiCodeGenerator):
    """Operands written as placeholders, for looking at the choice of encoding alone."""

    def _traverse_expression(self, node, current_iterators, symbolic=False):
        return "e"


class TestContrapositiveIndicator:
    @pytest.mark.parametrize("antecedent, consequent, line", [
        (ge("x", 5), eq("b", 1), "model.addGenConstrIndicator(b, 0, x <= 4.99999, name='c0_indicator_contra_ge')"),
        (ge("x", 2.5), eq("b", true()), "model.addGenConstrIndicator(b, 0, x <= 2.49999, name='c0_indicator_contra_ge')"),
        (cons(">", "x", 5), eq(idx("bs", 2), 1),
         "model.addGenConstrIndicator(bs[2], 0, x <= 5, name='c0_indicator_contra')"),
        (cons(">", binop("+", "x", "y"), 5), eq("b", 1),
         "model.addGenConstrIndicator(b, 0, (x + y) <= 5, name='c0_indicator_contra')"),
    ])
    def test_lines(self, antecedent, consequent, line):
        assert lines(antecedent, consequent) == [line]

    @pytest.mark.parametrize("antecedent, consequent", [
        (cons("<", "x", 5), eq("b", 1)),   # no contrapositive form for < and <=
        (ge("x", "y"), eq("b", 1)),        # the threshold must be a literal
        (ge("x", 5), eq("b", 0)),          # only b == 1 is fixed
        (ge("x", 5), eq("b", false())),
        (ge("x", 5), eq("y", 1)),          # y is not binary
        (ge("x", 5), ge("b", 1)),
    ])
    def test_other_shapes_take_the_general_path(self, antecedent, consequent):
        assert lines(antecedent, consequent)[0] == FLAG

    def test_a_threshold_that_is_not_a_number_is_written_as_text(self):
        class NoBounds(GurobiCodeGenerator):
            def _linear_bounds_safe(self, node):
                return None

        assert lines(ge("x", num("k")), eq("b", 1.0), gen=make(cls=NoBounds)) == [
            "model.addGenConstrIndicator(b, 0, x <= (k - 1e-05), name='c0_indicator_contra_ge')"]

    def test_a_consequent_literal_that_is_not_a_number_fails(self):
        with pytest.raises(ValueError, match="could not convert string to float: 'k'"):
            lines(ge("x", 5), eq("b", num("k")))


class TestDirectIndicator:
    @pytest.mark.parametrize("antecedent, value", [
        (eq("b", 1), 1), (eq("b", 0), 0), (eq("b", 1.0), 1), (ge("b", 1), 1), (le("b", 0), 0),
        (eq(idx("bs", 3), 1), 1),
    ])
    @pytest.mark.parametrize("op, relation", [
        ("<=", "x <= 3"), (">=", "x >= 3"), ("==", "x == 3"), (">", "x >= (3) + 1e-05"), ("<", "x <= (3) - 1e-05"),
    ])
    def test_lines(self, antecedent, value, op, relation):
        binary = "bs[3]" if antecedent["left"]["type"] == "indexed_name" else "b"
        assert lines(antecedent, cons(op, "x", 3)) == [
            f"model.addGenConstrIndicator({binary}, {value}, {relation}, name='c0_indicator')"]

    @pytest.mark.parametrize("antecedent", [
        eq("b", 2), ge("b", 0), le("b", 1), cons(">", "b", 0), eq("b", "y"), eq("x", 1), eq("k", 1),
    ])
    def test_other_tests_take_the_general_path(self, antecedent):
        assert lines(antecedent, le("x", 3))[0] == FLAG

    def test_a_line_that_fails_to_write_falls_back_to_the_general_path(self):
        class FailingName(GurobiCodeGenerator):
            def _format_name_expr(self, base_prefix, suffix=""):
                if suffix == "_indicator":
                    raise LookupError("no name")
                return super()._format_name_expr(base_prefix, suffix)

        assert lines(eq("b", 1), le("x", 3), gen=make(cls=FailingName))[0] == FLAG

    def test_an_unknown_consequent_operator_fails_after_the_antecedent_lines(self):
        written = fails(ValueError, "Unsupported consequent operator in implication: <>", eq("b", 1),
                        cons("<>", "x", 3))
        assert written[0] == FLAG and len(written) == 8 and written[-1].endswith("name='c0_ant_eq6')")


class TestGeneralPath:
    @pytest.mark.parametrize("op, link", [
        (">=", ["model.addGenConstrIndicator(implication_flag_c0, 1, (x - 3) >= -1e-05, name='c0_ant_ge_ind1')",
                "model.addGenConstrIndicator(implication_flag_c0, 0, (x - 3) <= -2e-05, name='c0_ant_ge_ind0')"]),
        (">", ["model.addGenConstrIndicator(implication_flag_c0, 1, (x - 3) >= 1e-05, name='c0_ant_gt_ind1')",
               "model.addGenConstrIndicator(implication_flag_c0, 0, (x - 3) <= 0.0, name='c0_ant_gt_ind0')"]),
        ("<=", ["model.addGenConstrIndicator(implication_flag_c0, 1, (x - 3) <= 1e-05, name='c0_ant_le_ind1')",
                "model.addGenConstrIndicator(implication_flag_c0, 0, (x - 3) >= 2e-05, name='c0_ant_le_ind0')"]),
        ("<", ["model.addGenConstrIndicator(implication_flag_c0, 1, (x - 3) <= -1e-05, name='c0_ant_lt_ind1')",
               "model.addGenConstrIndicator(implication_flag_c0, 0, (x - 3) >= 0.0, name='c0_ant_lt_ind0')"]),
        ("==", ["model.addConstr((x - 3) <= 1e-06 + 3.0 * (1 - implication_flag_c0), name='c0_ant_eq1')",
                "model.addConstr(-(x - 3) <= 1e-06 + 3.0 * (1 - implication_flag_c0), name='c0_ant_eq2')",
                "model.addConstr((x - 3) >= -1e-06 - 3.0 * (1 - implication_flag_c0), name='c0_ant_eq3')",
                "model.addConstr(-(x - 3) >= -1e-06 - 3.0 * (1 - implication_flag_c0), name='c0_ant_eq4')",
                "implication_flag_c0_side = model.addVar(vtype=GRB.BINARY, name='implication_flag_c0_side')"
                "  # sign of (x - 3) when implication_flag_c0 is 0",
                "model.addConstr((x - 3) >= 1 - 4.0 * (implication_flag_c0 + 1 - implication_flag_c0_side), "
                "name='c0_ant_eq5')",
                "model.addConstr(-(x - 3) >= 1 - 4.0 * (implication_flag_c0 + implication_flag_c0_side), "
                "name='c0_ant_eq6')"]),
    ])
    def test_antecedent_links(self, op, link):
        assert lines(cons(op, "x", 3), le("y", 2)) == [
            FLAG, *link, "model.addConstr(y - 2 <= 2.0 * (1 - implication_flag_c0), name='c0_cons_le')"]

    # y - 1 spans [-1, 3]: M is 3.0, and 3.00001 where EPS pushes against it.
    @pytest.mark.parametrize("op, enforcement", [
        # integer sides are held equal exactly
        ("==", ["model.addConstr(y - 1 <= 3.0 * (1 - implication_flag_c0), name='c0_cons_eq1')",
                "model.addConstr(y - 1 >= -3.0 * (1 - implication_flag_c0), name='c0_cons_eq2')"]),
        (">=", ["model.addConstr(y - 1 >= -3.0 * (1 - implication_flag_c0), name='c0_cons_ge')"]),
        (">", ["model.addConstr(y - 1 >= 1 - 4.0 * (1 - implication_flag_c0), name='c0_cons_gt')"]),
        ("<=", ["model.addConstr(y - 1 <= 3.0 * (1 - implication_flag_c0), name='c0_cons_le')"]),
        ("<", ["model.addConstr(y - 1 <= -1 + 4.0 * (1 - implication_flag_c0), name='c0_cons_lt')"]),
    ])
    def test_consequent_lines(self, op, enforcement):
        assert lines(cons(">", "x", 3), cons(op, "y", 1))[3:] == enforcement

    def test_an_equality_with_a_fractional_side_holds_within_the_tolerance(self):
        assert lines(cons(">", "x", 3), cons("==", "y", 0.5))[3:] == [
            "model.addConstr(y - 0.5 <= 1e-06 + 3.5 * (1 - implication_flag_c0), name='c0_cons_eq1')",
            "model.addConstr(0.5 - y <= 1e-06 + 3.5 * (1 - implication_flag_c0), name='c0_cons_eq2')",
            "model.addConstr(y - 0.5 >= -1e-06 - 3.5 * (1 - implication_flag_c0), name='c0_cons_eq3')",
            "model.addConstr(0.5 - y >= -1e-06 - 3.5 * (1 - implication_flag_c0), name='c0_cons_eq4')"]

    @pytest.mark.parametrize("antecedent", [
        bexpr(">=", "x", 3),
        cons("==", paren(bexpr(">=", "x", 3)), true()),   # the constraint stands for its condition
    ], ids=["binop", "parenthesized condition"])
    def test_comparison_shapes(self, antecedent):
        assert lines(antecedent, le("y", 2)) == lines(ge("x", 3), le("y", 2))

    @pytest.mark.parametrize("consequent, m", [
        (le("z", 7), "1000000.0"),   # no bounds for z
        (le("b", 7), "7.0"),         # |0 - 7| against |1 - 7|
        (le("y", 4), "4.0"),
    ])
    def test_m_from_bounds(self, consequent, m):
        assert lines(ge("x", 3), consequent)[-1].split(" <= ")[1].startswith(m + " * ")

    def test_a_single_point_interval_gives_the_floor(self):
        gen = make(bounds=(ge("x", 3), le("x", 3)))
        assert lines(ge("y", 1), le("x", 3), gen=gen)[-1] == (
            "model.addConstr(x - 3 <= 1e-09 * (1 - implication_flag_c0), name='c0_cons_le')")

    def test_inside_a_loop_the_flags_are_left_unnamed(self):
        written = lines(eq(idx("bs", "i"), 2), cons("<", "y", "i"), prefix="c0_i", iterators={"i": "i"})
        assert [line for line in written if "addVar" in line] == [
            "implication_flag_c0_i = model.addVar(vtype=GRB.BINARY)  # 1 if antecedent true (auto-named inside loop)",
            "implication_flag_c0_i_side = model.addVar(vtype=GRB.BINARY)"
            "  # sign of (bs[i] - 2) when implication_flag_c0_i is 0 (auto-named inside loop)"]
        assert written[-1] == ("model.addConstr(y - i <= -1e-05 + 1000000.0 * (1 - implication_flag_c0_i), "
                               "name='c0_i_cons_lt')")

    def test_literal_sides_compare_with_true(self):
        written = lines(true(), le("y", 1))
        # A literal is the number 1 or 0, so its interval is known and M stays small.
        assert written[1] == "model.addConstr((1 - 1) <= 1e-06 + 1e-09 * (1 - implication_flag_c0), name='c0_ant_eq1')"
        assert lines(ge("x", 1), false())[3] == (
            "model.addConstr(0 - 1 <= 1.0 * (1 - implication_flag_c0), name='c0_cons_eq1')")

    def test_a_label_names_every_line(self):
        gen = make()
        gen._generate_constraints([implication(ge("x", 3), le("y", 2), label="lim")])
        assert gen.gurobi_code_lines[1:-1] == [
            FLAG,
            "model.addGenConstrIndicator(implication_flag_c0, 1, (x - 3) >= -1e-05, name=('lim' + '_ant_ge_ind1'))",
            "model.addGenConstrIndicator(implication_flag_c0, 0, (x - 3) <= -2e-05, name=('lim' + '_ant_ge_ind0'))",
            "model.addConstr(y - 2 <= 2.0 * (1 - implication_flag_c0), name=('lim' + '_cons_le'))"]

    def test_inside_a_forall(self):
        gen = make()
        gen._generate_constraints([forall([it("i", rng(1, 3))], implication(ge(idx("bs", "i"), 1), le("y", "i")))])
        assert gen.gurobi_code_lines[1:-1] == [
            "for i in range(1, 3 + 1):",
            "    model.addGenConstrIndicator(bs[i], 1, y <= i, name='c0_i_indicator')"]

    def test_unknown_antecedent_operator_fails_after_the_flag(self):
        assert fails(ValueError, "Unsupported antecedent operator in implication: <>", cons("<>", "x", 3),
                     le("y", 1)) == [FLAG]

    @pytest.mark.parametrize("antecedent, consequent", [
        ({"type": "name", "value": "b"}, le("y", 1)),
        (ge("x", 1), {"type": "indexed_name", "name": "bs", "dimensions": []}),
        (ge("x", 1), "y"),
    ])
    def test_sides_must_be_comparisons(self, antecedent, consequent):
        assert fails(ValueError, "Implication constraints must be between constraints or binops.", antecedent,
                     consequent) == []

    def test_missing_sides_and_arguments(self):
        gen = make()
        with pytest.raises(KeyError):
            gen._constraint_implication_constraint({"antecedent": ge("x", 1)}, "c0", {})
        with pytest.raises(TypeError):
            gen._constraint_implication_constraint(implication(ge("x", 1), le("y", 1)), "c0")
