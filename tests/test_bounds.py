"""Bounds analysis: collected bound constraints, declared domains and intervals of expressions."""
import pytest
from trees import (add, binop, cons, dvar, dvars, forall, ge, idx, it, le, mul, name, named_range, named_set, num,
                   range_decl, range_dim, range_name_dim, rng, set_dim, sub, sum_)

from korvane.mipwright import GurobiCodeGenerator

DECLS = [
    dvar("b", "boolean"), dvar("b2", "boolean"), dvar("k", "int+"), dvar("f", "float+"), dvar("z", "int"),
    dvar("g", "float"), dvar("odd", "mystery"), {"type": "dvar", "name": "notype"},
    dvars("x", "int+", range_dim(1, 3)),
    dvars("w", "int+", range_name_dim("R"), set_dim("S")),
    range_decl("R", 1, 4),
    {"type": "parameter_external", "name": "p"},
]
I = it("i", rng(1, 3))


def collected(constraints, gen=None):
    gen = gen or GurobiCodeGenerator({"declarations": DECLS})
    gen._collect_variable_bounds(constraints)
    return gen


class TestCollection:
    def test_attributes_created_by_the_first_run_and_accumulated(self):
        gen = GurobiCodeGenerator({"declarations": DECLS})
        assert not hasattr(gen, "_collected_lbs")
        gen._collect_variable_bounds([])
        assert gen._collected_lbs == {} and gen._collected_ubs == {}
        gen._collect_variable_bounds([ge("k", 3)])
        gen._collect_variable_bounds([ge("k", 1)])
        assert gen._collected_lbs == {"k": 1.0}

    @pytest.mark.parametrize("constraints, lbs, ubs", [
        ([ge("k", 3), ge("k", 5)], {"k": 3.0}, {}),
        ([ge(5, "k")], {}, {"k": 5.0}),
        ([le(5, "k")], {"k": 5.0}, {}),
        ([cons("==", "k", 4)], {"k": 4.0}, {"k": 4.0}),
        ([le(idx("x", "i"), 10), le(idx("x", 2), 20)], {}, {"x": 20.0}),
        ([le("k", num(True))], {}, {"k": 1.0}),
        ([ge(add("k", "z"), 3), ge("k", "z"), le(3, 4), ge("k", num("abc")), le("k", {"type": "number"})], {}, {}),
        ([cons("<", "k", 3), cons(">", "k", 3), cons("!=", "k", 3)], {}, {}),
        ([{"type": "constraint", "op": ">=", "left": "k", "right": 3}, {"type": "constraint", "op": ">="}], {}, {}),
        ([{"type": "implication_constraint", "antecedent": ge("k", 1), "consequent": le("k", 2)}, 7, None], {}, {}),
        ([forall([I], [le("k", 7), forall([I], ge("k", 2))], where=name("c")) | {"constraint": le("z", 1)}],
         {"k": 2.0}, {"k": 7.0, "z": 1.0}),
    ])
    def test_collected_values_are_the_loosest(self, constraints, lbs, ubs):
        gen = collected(constraints)
        assert gen._collected_lbs == lbs and gen._collected_ubs == ubs
        assert all(type(v) is float for v in [*lbs.values(), *ubs.values()])


class TestDeclaredDomains:
    @pytest.mark.parametrize("node, expected", [
        (name("b"), (0.0, 1.0)),
        (idx("x", "i"), (0.0, None)),
        (name("f"), (0.0, None)),
        (name("z"), (None, None)),
        (name("g"), (None, None)),
        (name("odd"), (None, None)),
        (name("notype"), (None, None)),
        (name("p"), (None, None)),
        (name("nowhere"), (None, None)),
        (num(3), (None, None)),
        ("b", (None, None)),
    ])
    def test_domain_bounds(self, node, expected):
        assert GurobiCodeGenerator({"declarations": DECLS})._var_bounds_safe(node) == expected

    def test_explicit_bounds_of_a_declaration_are_not_read(self):
        decl = dvar("k", "int+") | {"lb": 2, "ub": 9}
        assert GurobiCodeGenerator({"declarations": [decl]})._var_bounds_safe(name("k")) == (0.0, None)


class TestIntervals:
    @pytest.mark.parametrize("node, expected", [
        (name("b"), (0.0, 1.0)),
        (num(4), (4.0, 4.0)),
        ({"type": "number"}, (0.0, 0.0)),
        (add(mul(2, "b"), 3), (3.0, 5.0)),
        (mul(-3, "b"), (-3.0, -0.0)),
        (mul("b", 2), (0.0, 2.0)),
        (sub("b", "b2"), (-1.0, 1.0)),
        (add("b", "z"), (None, None)),
        (mul(2, "z"), (None, None)),
        (mul("k", "b"), None),
        (binop("/", "b", 2), None),
        (mul("p", "b"), None),
        (name("p"), (None, None)),
        (add({"type": "uminus", "value": name("b")}, 1), None),
        ({"type": "parenthesized_expression", "expression": name("b")}, (0.0, 1.0)),
        ({"type": "parenthesized_expression", "expression": binop(">=", "z", 2)}, (0.0, 1.0)),
        (mul(3, {"type": "parenthesized_expression", "expression": binop("!=", "z", 2)}), (0.0, 3.0)),
        (sum_([I], "b"), (0.0, 3.0)),
        (sum_([it("i", rng(1, 10))], "b"), (0.0, 10.0)),
        (sum_([I, it("j", rng(2, 3))], mul(2, "b")), (0.0, 12.0)),
        (sum_([it("i", rng(1, 0))], "b"), (None, None)),
        (sum_([it("i", named_set("S"))], "b"), (None, None)),
        (sum_([it("i", rng(1, "n"))], "b"), (None, None)),
        (sum_([it("i", rng(1, num("x")))], "b"), (None, None)),
        (sum_([I], "z"), (None, None)),
        (sum_([I], "p"), (None, None)),
        (sum_([I], mul("k", "b")), None),
        (sum_([I], "b", where=name("never")), (0.0, 3.0)),
        ({"type": "sum", "expression": name("b")}, (0.0, 1.0)),
        ({"type": "boolean_literal", "value": True}, (1.0, 1.0)),
        (add({"type": "boolean_literal", "value": False}, "b"), (0.0, 1.0)),
        (sum_([I], "b") | {"iterators": [I, 5]}, (None, None)),
        (None, None),
    ])
    def test_interval_rules(self, node, expected):
        result = GurobiCodeGenerator({"declarations": DECLS})._linear_bounds_safe(node)
        assert result == expected
        if expected is not None:
            assert str(result) == str(expected)  # -0.0 stays -0.0

    @pytest.mark.parametrize("constraints, node, expected", [
        ([le("k", 10)], name("k"), (0.0, 10.0)),
        ([ge("f", -5)], name("f"), (0.0, None)),
        ([ge("z", -5), le("z", 5)], add("z", 1), (-4.0, 6.0)),
        ([ge("b", -3), le("b", 7)], name("b"), (0.0, 1.0)),
        ([le("z", 4)], name("z"), (None, 4.0)),
        ([le("z", 4)], mul(2, "z"), (None, None)),
        ([le("k", 4)], name("z"), (None, None)),
    ])
    def test_collected_bounds_meet_declared_domains(self, constraints, node, expected):
        assert collected(constraints)._linear_bounds_safe(node) == expected

    def test_declared_domains_reached_through_the_method(self):
        class Wide(GurobiCodeGenerator):
            def _var_bounds_safe(self, var_node):
                return (-1, 1)

        gen = Wide({"declarations": DECLS})
        assert gen._linear_bounds_safe(add("k", "k")) == (-2, 2)
        gen._collect_variable_bounds([le("k", 0.5)])
        assert gen._linear_bounds_safe(name("k")) == (-1, 0.5)

    def test_deep_expression_raises_recursion_error(self):
        node = name("b")
        for _ in range(100000):
            node = add(node, 1)
        with pytest.raises(RecursionError):
            GurobiCodeGenerator({"declarations": DECLS})._linear_bounds_safe(node)


class TestBoundsForEveryElement:
    """A collected bound enters an interval only when a bound constraint in that direction holds
    for every element of the variable."""

    def bounds(self, constraints, node):
        return collected(constraints)._linear_bounds_safe(node)

    def test_a_bound_on_one_element_is_not_used_for_the_others(self):
        gen = collected([le(idx("x", 3), 10)])
        assert gen._collected_ubs == {"x": 10.0}
        assert gen._linear_bounds_safe(idx("x", "i")) == (0.0, None)

    @pytest.mark.parametrize("constraints", [
        [forall([I], le(idx("x", "i"), 10))],
        [forall([I], le(idx("x", "i"), 10)), le(idx("x", 2), 7)],
        [forall([I], [le(idx("x", "i"), 10)])],
        [forall([I], {"type": "constraint", "op": "==", "left": idx("x", "i"), "right": num(10)})],
    ])
    def test_a_forall_over_the_declared_range(self, constraints):
        assert self.bounds(constraints, idx("x", 1))[1] == 10.0

    def test_the_loosest_value_is_used_once_some_constraint_covers_every_element(self):
        assert self.bounds([le(idx("x", 2), 20), forall([I], le(idx("x", "i"), 10))], idx("x", 1)) == (0.0, 20.0)

    @pytest.mark.parametrize("constraints", [
        [forall([I], le(idx("x", "i"), 10), where=binop(">", "i", 1))],
        [forall([I], forall([it("j", rng(1, 3))], le(idx("x", "i"), 10)))],
        [forall([I], forall([it("i", rng(1, 3))], le(idx("x", "i"), 10)))],
        [forall([it("i", rng(1, 2))], le(idx("x", "i"), 10))],
        [forall([it("i", rng(0, 3))], le(idx("x", "i"), 10))],
        [forall([it("i", rng(1, "n"))], le(idx("x", "i"), 10))],
        [forall([I], le(idx("x", {"type": "binop", "op": "+", "left": "i", "right": 1}), 10))],
        [forall([I], le(idx("x", "i", "i"), 10))],
        [forall([I], le(idx("y", "i"), 10))],
        [forall([{"iterator": "i"}], le(idx("x", "i"), 10))],
        [forall([I], le(idx("x", "i"), 10)) | {"iterators": "i"}],
        [le(idx("x", "i"), 10)],
    ])
    def test_partial_or_unknown_coverage_is_not_used(self, constraints):
        assert self.bounds(constraints, idx("x", 1)) == (0.0, None)

    def test_a_filtered_forall_does_not_cover_the_other_direction_either(self):
        constraints = [forall([I], ge(idx("x", "i"), 1), where=name("c")), forall([I], le(idx("x", "i"), 9))]
        assert self.bounds(constraints, idx("x", 1)) == (0.0, 9.0)

    def test_named_ranges_and_sets_match_by_name(self):
        w = idx("w", "r", "s")
        covering = forall([it("s", named_set("S")), it("r", named_range("R"))], le(w, 6))
        assert self.bounds([covering], w) == (0.0, 6.0)
        other = forall([it("s", named_set("T")), it("r", named_range("R"))], le(w, 6))
        assert self.bounds([other], w) == (0.0, None)

    def test_scalar_variables(self):
        assert self.bounds([forall([I], le("k", 5))], name("k")) == (0.0, 5.0)
        assert self.bounds([forall([I], le("k", 5), where=name("c"))], name("k")) == (0.0, None)
        # Inside a loop over k, the name k is the loop variable.
        assert self.bounds([forall([it("k", rng(1, 3))], le("k", 5))], name("k")) == (0.0, None)

    def test_sums_use_the_same_rule(self):
        total = sum_([I], idx("x", "i"))
        assert self.bounds([le(idx("x", 1), 2)], total) == (None, None)
        assert self.bounds([forall([I], le(idx("x", "i"), 2))], total) == (0.0, 6.0)
