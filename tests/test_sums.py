"""Sums, sums of comparisons and reified comparisons: texts, written lines, reuse and scoping."""
import logging

import pytest
from trees import (add, binop, cons, dvars, forall, ge, idx, it, le, mul, name, named_range, named_set, num, paren,
                   range_decl, range_dim, rng, sum_, typed_set)

from korvane.mipwright import GurobiCodeGenerator

DECLS = [
    {"type": "parameter_inline", "name": "n", "value": 3},
    range_decl("R", 1, "n"),
    typed_set("S"),
    dvars("x", "int+", range_dim(1, 3)),
    dvars("y", "int+", range_dim(1, 3), range_dim(1, 3)),
    {"type": "parameter_inline_indexed", "name": "c", "value": [1, 2, 3]},
]
I = it("i", rng(1, "n"))
J = it("j", rng(1, 2))
X_UP_TO_4 = forall([it("i", rng(1, 3))], le(idx("x", "i"), 4))


def make(bounds=(X_UP_TO_4,), cls=GurobiCodeGenerator):
    gen = cls({"declarations": DECLS}, {"S": ["a", "b"]})
    gen.gurobi_var_map.update(x="x", y="y")
    gen._collect_variable_bounds(list(bounds))
    return gen


def translate(node, gen, iterators=None, symbolic=False):
    text = gen._expr_sum(node, iterators or {}, symbolic)
    compile(text, "<sum>", "eval")
    return text


def written(gen):
    compile("\n".join(gen.gurobi_code_lines), "<lines>", "exec")
    return gen.gurobi_code_lines


def reify_lines(op, left, right, aux="a", gen=None, left_node=None, right_node=None):
    gen = gen or make()
    text = gen._emit_reify_comparison(left_node or idx("x", "i"), right_node or num(1), left, right, op, aux)
    assert gen.gurobi_code_lines == []
    return text.split("\n")


class TestPlainSums:
    def test_one_iterator(self):
        gen = make()
        node = sum_([I], mul(idx("c", "i"), idx("x", "i")))
        assert translate(node, gen) == "gp.quicksum((c[((i) - 1)] * x[i]) for i in range(1, n + 1))"
        assert gen.gurobi_code_lines == []

    def test_two_iterators_and_a_filter(self):
        node = sum_([I, J], idx("y", "i", "j"), where=binop("!=", "i", "j"))
        assert translate(node, make()) == "gp.quicksum(y[(i, j)] for i in range(1, n + 1) for j in range(1, 2 + 1) if (i != j))"

    def test_ranges_see_earlier_iterators_and_the_callers(self):
        node = sum_([it("j", rng("k", "n")), it("m", rng("j", "k"))], idx("y", "j", "m"))
        assert translate(node, make(), {"k": "k"}) == "gp.quicksum(y[(j, m)] for j in range(k, n + 1) for m in range(j, k + 1))"

    def test_range_bounds_use_the_callers_mode(self):
        node = sum_([it("j", rng(1, "undeclared"))], idx("x", "j"))
        assert translate(node, make(), symbolic=True) == "gp.quicksum(x[j] for j in range(1, undeclared + 1))"
        with pytest.raises(ValueError):
            translate(node, make())

    @pytest.mark.parametrize("range_node, text", [
        (named_range("R"), "range(1, n + 1)"),
        (named_range("S"), "S"),
        (named_set("S"), "S"),
        ({"type": "named_set_dimension", "name": "S"}, "S"),
    ])
    def test_named_ranges_and_sets(self, range_node, text):
        assert translate(sum_([it("i", range_node)], idx("x", "i")), make()) == f"gp.quicksum(x[i] for i in {text})"

    @pytest.mark.parametrize("range_node, message", [
        (named_range("Q"), "Range or set 'Q' not found in declarations."),
        (named_set("R"), "Set 'R' not found in declarations."),
        ({"type": "odd"}, "Unsupported range type for sum: odd"),
    ])
    def test_unknown_ranges(self, range_node, message):
        with pytest.raises(ValueError) as err:
            make()._expr_sum(sum_([it("i", range_node)], 1), {}, False)
        assert str(err.value) == message

    def test_reached_through_expression_translation(self):
        assert make()._traverse_expression(add(sum_([I], idx("x", "i")), 1), {}) == (
            "(gp.quicksum(x[i] for i in range(1, n + 1)) + 1)")

    def test_active_ranges_extended_during_the_summand_and_restored(self):
        seen = []

        class Spy(GurobiCodeGenerator):
            def _expr_string_literal(self, node, iterators, symbolic):
                seen.append(dict(self._active_iterator_ranges))
                return "1"

        gen = make(cls=Spy)
        gen._active_iterator_ranges = {"k": "K"}
        translate(sum_([I], sum_([J], {"type": "string_literal", "value": "t"})), gen)
        assert seen[-1] == {"k": "K", "i": "range(1, n + 1)", "j": "range(1, 2 + 1)"}
        assert gen._active_iterator_ranges == {"k": "K"}
        with pytest.raises(ValueError):
            translate(sum_([I], name("undeclared")), gen)
        assert gen._active_iterator_ranges == {"k": "K"}

    def test_debug_lines(self, caplog):
        caplog.set_level(logging.DEBUG, logger="korvane.mipwright")
        node = sum_([I], idx("x", "i"), where=binop(">", "i", 1))
        translate(node, make())
        assert [r.getMessage() for r in caplog.records] == [
            f"[GurobiCodeGen] SUM: iterators={node['iterators']}, index_constraint={node['index_constraint']}, "
            f"inner_expression={node['expression']}",
            f"[GurobiCodeGen] SUM iterator: {I}",
            "[GurobiCodeGen] SUM loop_vars=['i'], loop_ranges=['range(1, n + 1)']",
            "[GurobiCodeGen] SUM inner_expr_str: x[i]",
            "[GurobiCodeGen] SUM cond_str: (i > 1)",
            "[GurobiCodeGen] SUM generated quicksum: gp.quicksum(x[i] for i in range(1, n + 1) if (i > 1))",
        ]


UNSCOPED = [
    "_cmp_sum_list_1 = []  # auxiliaries for sum of comparisons",
    "for i in range(1, n + 1):",
    "    cmp_aux_1_i = model.addVar(vtype=GRB.BINARY)  # reified (x[i] >= 1)",
    "    # Reify (x[i] >= 1) -> cmp_aux_1_i with M=3.0",
    "    model.addConstr(x[i] - 1 >= 0 - 3.0 * (1 - cmp_aux_1_i), name='aux_reify_ge1_cmp_aux_1_i' )",
    "    model.addConstr(x[i] - 1 <= -1e-05 + 3.00001 * cmp_aux_1_i, name='aux_reify_ge2_cmp_aux_1_i' )",
    "    _cmp_sum_list_1.append(cmp_aux_1_i)",
    "_cmp_sum_list_1_len = len(_cmp_sum_list_1)  # cardinality of comparison terms",
]


class TestSumsOfComparisons:
    def test_unscoped_list(self):
        gen = make()
        node = sum_([I], paren(ge(idx("x", "i"), 1)))
        assert translate(node, gen) == "gp.quicksum(_cmp_sum_list_1)"
        assert written(gen) == UNSCOPED
        meta = gen._comparison_sum_meta[id(node)]
        assert {k: meta[k] for k in ("list_name", "len_var", "len_name", "scope_vars")} == {
            "list_name": "_cmp_sum_list_1", "len_var": "_cmp_sum_list_1_len", "len_name": None, "scope_vars": ()}

    def test_binop_comparisons_several_iterators_and_a_filter(self):
        gen = make()
        node = sum_([I, J], binop("<", idx("y", "i", "j"), "j"), where=binop("!=", "i", "j"))
        assert translate(node, gen) == "gp.quicksum(_cmp_sum_list_1)"
        assert written(gen)[:5] == [
            "_cmp_sum_list_1 = []  # auxiliaries for sum of comparisons",
            "import itertools  # needed for multi-index forall",
            "for i, j in itertools.product(range(1, n + 1), range(1, 2 + 1)):",
            "    if (i != j):",
            "        cmp_aux_1_i_j = model.addVar(vtype=GRB.BINARY)  # reified (y[(i, j)] < j)",
        ]
        assert gen.gurobi_code_lines[-2:] == ["        _cmp_sum_list_1.append(cmp_aux_1_i_j)",
                                              "_cmp_sum_list_1_len = len(_cmp_sum_list_1)  # cardinality of comparison terms"]

    def test_same_node_written_once(self):
        gen = make()
        node = sum_([I], ge(idx("x", "i"), 1))
        assert translate(node, gen) == translate(node, gen) == "gp.quicksum(_cmp_sum_list_1)"
        assert written(gen) == UNSCOPED

    def test_equal_sums_share_one_list(self):
        gen = make()
        first = translate(sum_([I], ge(idx("x", "i"), 1)), gen)
        assert translate(sum_([I], ge(idx("x", "i"), 1)), gen) == first
        assert written(gen) == UNSCOPED and gen._sum_cmp_counter == 1

    @pytest.mark.parametrize("other", [
        sum_([it("i", rng(1, 2))], ge(idx("x", "i"), 1)),
        sum_([I], ge(idx("x", "i"), 2)),
        sum_([I], binop(">", idx("x", "i"), 1)),
        sum_([I], ge(idx("x", "i"), 1), where=binop(">", "i", 1)),
    ])
    def test_different_sums_get_their_own_lists(self, other):
        gen = make()
        translate(sum_([I], ge(idx("x", "i"), 1)), gen)
        assert translate(other, gen) == "gp.quicksum(_cmp_sum_list_2)"

    def test_scoped_over_an_enclosing_sum(self):
        gen = make()
        node = sum_([I], sum_([J], ge(idx("y", "i", "j"), 1)))
        assert translate(node, gen) == "gp.quicksum(gp.quicksum(_cmp_sum_list_1[(i,)]) for i in range(1, n + 1))"
        assert written(gen) == [
            "_cmp_sum_list_1 = {}  # scoped auxiliaries for sum of comparisons",
            "_cmp_sum_list_1_len = {}",
            "for i in range(1, n + 1):",
            "    _cmp_sum_list_1[(i,)] = []",
            "    for j in range(1, 2 + 1):",
            "        cmp_aux_1_j = model.addVar(vtype=GRB.BINARY)  # reified (y[(i, j)] >= 1)",
            "        # Reify (y[(i, j)] >= 1) -> cmp_aux_1_j with M=1000000.0",
            "        model.addConstr(y[(i, j)] - 1 >= 0 - 1000000.0 * (1 - cmp_aux_1_j), name='aux_reify_ge1_cmp_aux_1_j' )",
            "        model.addConstr(y[(i, j)] - 1 <= -1e-05 + 1000000.0 * cmp_aux_1_j, name='aux_reify_ge2_cmp_aux_1_j' )",
            "        _cmp_sum_list_1[(i,)].append(cmp_aux_1_j)",
            "    _cmp_sum_list_1_len[(i,)] = len(_cmp_sum_list_1[(i,)])  # cardinality of comparison terms",
        ]
        meta = gen._comparison_sum_meta[id(node["expression"])]
        assert meta["scope_vars"] == ("i",) and meta["len_name"] == "_cmp_sum_list_1_len" and meta["len_var"] is None

    def test_scoped_over_two_enclosing_sums(self):
        gen = make()
        node = sum_([I], sum_([J], sum_([it("k", rng(1, 2))], ge(idx("y", "i", "k"), "j"))))
        translate(node, gen)
        assert written(gen)[2:4] == ["import itertools  # needed for multi-index forall",
                                     "for i, j in itertools.product(range(1, n + 1), range(1, 2 + 1)):"]
        assert gen.gurobi_code_lines[4] == "    _cmp_sum_list_1[(i, j)] = []"

    def test_inside_a_forall_the_loop_variable_is_used_as_it_is(self):
        gen = make()
        gen._generate_constraints([forall([it("i", rng(1, 3))], ge(sum_([J], ge(idx("y", "i", "j"), 1)), 2))])
        assert written(gen)[1:5] == [
            "for i in range(1, 3 + 1):",
            "    _cmp_sum_list_1 = []  # auxiliaries for sum of comparisons",
            "    for j in range(1, 2 + 1):",
            "        cmp_aux_1_j = model.addVar(vtype=GRB.BINARY)  # reified (y[(i, j)] >= 1)",
        ]
        assert gen.gurobi_code_lines[-3:-1] == [
            "    _cmp_sum_list_1_len = len(_cmp_sum_list_1)  # cardinality of comparison terms",
            "    model.addConstr(gp.quicksum(_cmp_sum_list_1) >= 2, name='c0_i_card')",
        ]

    def test_lists_built_in_a_loop_are_not_read_after_it(self):
        gen = make()
        count = ge(sum_([J], ge(idx("y", "i", "j"), 1)), 2)
        gen._generate_constraints([forall([it("i", rng(1, 3))], count), forall([it("i", rng(1, 3))], count)])
        text = "\n".join(written(gen))
        assert "_cmp_sum_list_2 = []" in text and "gp.quicksum(_cmp_sum_list_2) >= 2, name='c1_i_card'" in text

    def test_lists_built_in_a_loop_are_shared_within_the_same_pass(self):
        gen = make()
        count = sum_([J], ge(idx("y", "i", "j"), 1))
        gen._generate_constraints([forall([it("i", rng(1, 3))], [ge(count, 1), le(dict(count), 2)])])
        assert gen._sum_cmp_counter == 1
        assert written(gen)[-2] == "    model.addConstr(gp.quicksum(_cmp_sum_list_1) <= 2, name='c0_i_1_card')"

    def test_comparison_inside_a_materialised_term_uses_the_open_loops(self):
        gen = make()
        node = sum_([I], ge(add(idx("x", "i"), paren(ge(idx("x", "i"), 2))), 1))
        translate(node, gen)
        assert written(gen)[1:4] == [
            "for i in range(1, n + 1):",
            "    _cmp_expr_1 = model.addVar(vtype=GRB.BINARY)",
            "    # Reify (x[i] >= 2) -> _cmp_expr_1 with M=2.0",
        ]

    def test_a_failed_list_is_not_registered(self):
        gen = make()
        node = sum_([I], ge(idx("x", "i"), name("undeclared")))
        with pytest.raises(ValueError):
            translate(node, gen)
        assert gen._sum_cmp_counter == 1
        assert id(node) not in getattr(gen, "_comparison_sum_meta", {})


class TestReification:
    @pytest.mark.parametrize("op, lines", [
        (">=", ["model.addConstr(x[i] - 1 >= 0 - 3.0 * (1 - a), name='aux_reify_ge1_a' )",
                "model.addConstr(x[i] - 1 <= -1e-05 + 3.00001 * a, name='aux_reify_ge2_a' )"]),
        (">", ["model.addConstr(x[i] - 1 >= 1e-05 - 3.00001 * (1 - a), name='aux_reify_gt1_a' )",
               "model.addConstr(x[i] - 1 <= 0 + 3.0 * a, name='aux_reify_gt2_a' )"]),
        ("<=", ["model.addConstr(x[i] - 1 <= 0 + 3.0 * (1 - a), name='aux_reify_le1_a' )",
                "model.addConstr(x[i] - 1 >= 1e-05 - 3.00001 * a, name='aux_reify_le2_a' )"]),
        ("<", ["model.addConstr(x[i] - 1 <= -1e-05 + 3.00001 * (1 - a), name='aux_reify_lt1_a' )",
               "model.addConstr(x[i] - 1 >= 0 - 3.0 * a, name='aux_reify_lt2_a' )"]),
        ("==", ["model.addConstr(x[i] - 1 <= 1e-06 + 3.0 * (1 - a), name='aux_reify_eq1_a' )",
                "model.addConstr(1 - x[i] <= 1e-06 + 3.0 * (1 - a), name='aux_reify_eq2_a' )",
                "model.addConstr(x[i] - 1 >= -1e-06 - 3.0 * (1 - a), name='aux_reify_eq3_a' )",
                "model.addConstr(1 - x[i] >= -1e-06 - 3.0 * (1 - a), name='aux_reify_eq4_a' )",
                "a_side = model.addVar(vtype=GRB.BINARY)  # sign of (x[i] - 1) when a is 0",
                "model.addConstr(x[i] - 1 >= 1e-05 - 3.00001 * (a + 1 - a_side), name='aux_reify_eq5_a' )",
                "model.addConstr(1 - x[i] >= 1e-05 - 3.00001 * (a + a_side), name='aux_reify_eq6_a' )"]),
        ("!=", ["model.addConstr(a == 0, name='aux_reify_unk_a' )"]),
    ])
    def test_lines_per_operator(self, op, lines):
        assert reify_lines(op, "x[i]", "1") == [f"# Reify (x[i] {op} 1) -> a with M=3.0"] + lines

    def test_lines_are_valid_python(self):
        for op in (">=", ">", "<=", "<", "==", "!="):
            compile("\n".join(reify_lines(op, "x[i]", "1", aux="_cmp_expr_1[(i,)]")), "<reify>", "exec")

    def test_keyed_auxiliary_gets_a_plain_side_variable(self):
        assert reify_lines("==", "x[i]", "1", aux="_cmp_expr_4[(i, j)]")[5].startswith("_cmp_expr_4_side = model.addVar(")

    def test_default_big_m_without_bounds(self):
        lines = reify_lines(">", "x[i]", "k", right_node=name("k"))
        assert lines[0] == "# Reify (x[i] > k) -> a with M=1000000.0"
        assert lines[1] == "model.addConstr(x[i] - k >= 1e-05 - 1000000.0 * (1 - a), name='aux_reify_gt1_a' )"
        assert lines[2] == "model.addConstr(x[i] - k <= 0 + 1000000.0 * a, name='aux_reify_gt2_a' )"

    @pytest.mark.parametrize("bounds, expected", [
        (((0, 4), (1, 1)), "3"),
        (((-5.0, 4.0), (1.0, 1.0)), "6.0"),
        (((1.0, 1.0), (1.0, 1.0)), "1e-09"),
        (((0, None), (1, 1)), "1000000.0"),
        ((None, (1, 1)), "1000000.0"),
    ])
    def test_big_m_is_the_span_of_the_difference(self, bounds, expected):
        class Bounded(GurobiCodeGenerator):
            def _linear_bounds_safe(self, node):
                return bounds[0] if node["type"] == "indexed_name" else bounds[1]

        assert reify_lines(">=", "x[i]", "1", gen=make(cls=Bounded))[0].endswith(f"with M={expected}")

    def test_names_follow_the_active_label(self):
        gen = make()
        gen._active_label_name_expr = "'lbl'"
        assert reify_lines(">=", "x[i]", "1", gen=gen)[1].endswith("name=('lbl' + '_reify_ge1_a') )")

    def test_constants_read_when_writing(self, monkeypatch):
        from korvane import mipwright
        monkeypatch.setattr(mipwright, "EPS", 0.5)
        monkeypatch.setattr(mipwright, "EQ_TOL", 0.25)
        lines = reify_lines("==", "x[i]", "1")
        assert lines[1].startswith("model.addConstr(x[i] - 1 <= 0.25 + 3.0 * (1 - a)")
        assert lines[6].startswith("model.addConstr(x[i] - 1 >= 0.5 - 3.5 * (a + 1 - a_side)")


class TestComparisonsAsNumbers:
    def test_not_a_comparison(self):
        gen = make()
        assert gen._reify_scoped_comparison(paren(idx("x", "i")), {"i": "i"}) == "x[i]"
        assert gen._reify_scoped_comparison(binop("!=", idx("x", "i"), 1), {"i": "i"}) == "(x[i] != 1)"
        assert gen.gurobi_code_lines == []

    def test_without_a_decision_variable_the_script_decides(self):
        gen = make()
        assert gen._reify_scoped_comparison(paren(paren(binop(">=", "i", 2))), {"i": "i"}) == "(1 if ((i >= 2)) else 0)"
        assert gen.gurobi_code_lines == []

    def test_one_binary(self):
        gen = make()
        assert gen._reify_scoped_comparison(cons("<=", idx("x", "i"), 2), {"i": "i"}) == "_cmp_expr_1"
        assert written(gen) == [
            "_cmp_expr_1 = model.addVar(vtype=GRB.BINARY)",
            "# Reify (x[i] <= 2) -> _cmp_expr_1 with M=2.0",
            "model.addConstr(x[i] - 2 <= 0 + 2.0 * (1 - _cmp_expr_1), name='aux_reify_le1__cmp_expr_1' )",
            "model.addConstr(x[i] - 2 >= 1e-05 - 2.00001 * _cmp_expr_1, name='aux_reify_le2__cmp_expr_1' )",
        ]
        assert gen._reify_scoped_comparison(cons("<=", idx("x", "i"), 2), {"i": "i"}) == "_cmp_expr_2"

    def test_scoped_over_the_enclosing_sum_inside_a_forall(self):
        gen = make()
        weighted = mul(idx("c", "i"), paren(ge(idx("x", "i"), "k")))
        gen._generate_constraints([forall([it("k", rng(1, 2))], le(sum_([I], weighted), 3))])
        assert written(gen)[1:] == [
            "for k in range(1, 2 + 1):",
            "    _cmp_expr_1 = {}",
            "    for i in range(1, n + 1):",
            "        _cmp_expr_1[(i,)] = model.addVar(vtype=GRB.BINARY)",
            "        # Reify (x[i] >= k) -> _cmp_expr_1[(i,)] with M=1000000.0",
            "        model.addConstr(x[i] - k >= 0 - 1000000.0 * (1 - _cmp_expr_1[(i,)]), "
            "name='aux_reify_ge1__cmp_expr_1[(i,)]' )",
            "        model.addConstr(x[i] - k <= -1e-05 + 1000000.0 * _cmp_expr_1[(i,)], "
            "name='aux_reify_ge2__cmp_expr_1[(i,)]' )",
            "    model.addConstr(gp.quicksum((c[((i) - 1)] * _cmp_expr_1[(i,)]) for i in range(1, n + 1)) <= 3, "
            "name='c0_k')",
            "",
        ]

    def test_nested_translation_sees_only_the_scope_iterators(self):
        seen = []

        class Spy(GurobiCodeGenerator):
            def _expr_indexed_name(self, node, iterators, symbolic):
                seen.append(dict(self._active_iterator_ranges))
                return GurobiCodeGenerator._expr_indexed_name(self, node, iterators, symbolic)

        gen = make(cls=Spy)
        gen.gurobi_var_map.update(x="x", y="y")
        gen._active_iterator_ranges = {"k": "K", "i": "I"}
        assert gen._reify_scoped_comparison(ge(idx("x", "i"), "k"), {"i": "i", "k": "k"}) == "_cmp_expr_1[(k, i)]"
        assert seen == [{"k": "K", "i": "I"}]
        assert gen._active_iterator_ranges == {"k": "K", "i": "I"}
        assert written(gen)[1] == "import itertools  # needed for multi-index forall"


class TestAccessorsAndScope:
    @pytest.mark.parametrize("meta, expected", [
        ({"list_name": "L", "len_var": "L_len", "len_name": None, "scope_vars": ()}, ("L", "L_len")),
        ({"list_name": "L", "len_var": None, "len_name": "L_len", "scope_vars": ("i",)}, ("L[(i,)]", "L_len[(i,)]")),
        ({"list_name": "L", "len_var": None, "len_name": None, "scope_vars": ("i", "j")}, ("L[(i, J)]", None)),
    ])
    def test_accessors(self, meta, expected):
        assert make()._comparison_sum_accessors(meta, {"i": "i", "j": "J"}) == expected

    @pytest.mark.parametrize("scope, expected", [(["i"], "(i,)"), (("i", "k"), "(i, K)"), ([], "()")])
    def test_scope_keys(self, scope, expected):
        assert make()._format_scope_key_expr(scope, {"i": "i", "k": "K"}) == expected

    def test_active_scope_iterators(self):
        gen = make()
        assert gen._active_scope_iterators({"i": "i"}, None) == ([], [])
        gen._active_iterator_ranges = {"a": "A", "b": "B", "c": "C"}
        assert gen._active_scope_iterators({"c": "c", "a": "a"}, None) == (["a", "c"], ["A", "C"])
        assert gen._active_scope_iterators({"c": "c", "a": "a"}, ["a"]) == (["c"], ["C"])

    def test_iterators_of_open_loops_are_not_scoped(self):
        seen = []

        class Spy(GurobiCodeGenerator):
            def _constraint_constraint(self, node, prefix, iterators):
                self._active_iterator_ranges = dict(self._active_iterator_ranges, s="S")
                seen.append(self._active_scope_iterators(dict(iterators, s="s"), None))
                self._add_code_line("pass")

        gen = make(cls=Spy)
        gen._generate_constraints([forall([I], forall([J], le("x", 2)))])
        assert seen == [(["s"], ["S"])]
