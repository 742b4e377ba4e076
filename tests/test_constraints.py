"""The constraint section: dispatch, names and labels, forall loops, range texts and index filters."""
import pytest
from trees import (add, binop, eq, forall, idx, it, le, name, named_range, named_set, num, paren,
                   range_decl, rng, sum_, template, typed_set)

from korvane.faultlore import SemanticError
from korvane.mipwright import GurobiCodeGenerator

DECLS = [
    {"type": "parameter_inline", "name": "n", "value": 3},
    range_decl("R", 1, "n"),
    typed_set("S"),
    {"type": "dvar_indexed", "name": "x", "var_type": "int+", "dimensions": [{"type": "range_index", "start": num(1), "end": num(3)}]},
    {"type": "dvar", "name": "y", "var_type": "int+"},
    {"type": "parameter_external_indexed", "name": "p", "dimensions": [{"type": "range_index", "start": num(1), "end": num(3)}]},
]
DATA = {"S": ["a", "b"], "p": [1, 2, 3]}
I = it("i", rng(1, "n"))
J = it("j", rng(1, 2))


def make(cls=GurobiCodeGenerator, declarations=DECLS):
    gen = cls({"declarations": declarations}, dict(DATA))
    gen.gurobi_var_map.update(x="x", y="y")
    return gen


def section(constraints, gen=None):
    """The constraint lines, between the section header and its closing blank line."""
    gen = gen or make()
    gen._generate_constraints(constraints)
    lines = gen.gurobi_code_lines
    assert lines[0] == "# Constraints" and lines[-1] == ""
    compile("\n".join(lines), "<constraints>", "exec")
    return lines[1:-1]


class Recording(GurobiCodeGenerator):
    """Writes one line per comparison constraint showing its name expression and iterators."""

    def _constraint_constraint(self, node, prefix, iterators):
        self._add_code_line(f"ct({self._format_name_expr(prefix)}, {sorted(iterators)!r})")


def recorded(constraints, gen=None):
    return section(constraints, gen or make(Recording))


class TestSection:
    def test_top_level_names_by_position_and_fresh_iterators(self):
        assert recorded([le("y", 1), le("y", 2)]) == ["ct('c0', [])", "ct('c1', [])"]

    def test_each_top_level_constraint_gets_its_own_empty_map(self):
        seen = []

        class Spy(GurobiCodeGenerator):
            def _generate_single_constraint(self, node, prefix, iterators):
                seen.append((prefix, iterators))
                iterators["leak"] = 1

        make(Spy)._generate_constraints([le("y", 1), le("y", 2)])
        assert seen == [("c0", {"leak": 1}), ("c1", {"leak": 1})]
        assert seen[0][1] is not seen[1][1]


class TestDispatch:
    def test_unknown_type(self):
        with pytest.raises(NotImplementedError) as err:
            make()._generate_single_constraint({"type": "mystery"}, "c0", {})
        assert str(err.value) == "Constraint type 'mystery' is not supported by the Gurobi code generator."

    def test_missing_type(self):
        with pytest.raises(KeyError):
            make()._generate_single_constraint({"op": "<="}, "c0", {})

    def test_implications_reach_their_emitter_by_name(self):
        calls = []

        class WithImplications(GurobiCodeGenerator):
            def _constraint_implication_constraint(self, node, prefix, iterators):
                calls.append((node["tag"], prefix, iterators))

        node = {"type": "implication_constraint", "tag": 7}
        make(WithImplications)._generate_single_constraint(node, "c4", {"i": "i"})
        assert calls == [(7, "c4", {"i": "i"})]

    def test_an_instance_attribute_replaces_an_emitter(self):
        gen = make()
        gen._constraint_constraint = lambda node, prefix, iterators: gen._add_code_line("pass  # patched " + prefix)
        assert section([le("y", 1)], gen) == ["pass  # patched c0"]

    def test_label_names_the_constraint_and_is_restored(self):
        gen = make()
        assert section([le("y", 1, label="cap"), le("y", 2)], gen) == [
            "model.addConstr(y <= 1, name='cap')", "model.addConstr(y <= 2, name='c1')"]
        assert gen._active_label_name_expr is None

    @pytest.mark.parametrize("node", [{"type": "mystery", "label": "l"}, le("y", "undeclared", label="l")])
    def test_label_restored_on_failure(self, node):
        gen = make()
        with pytest.raises((NotImplementedError, ValueError)):
            gen._generate_single_constraint(node, "c0", {})
        assert gen._active_label_name_expr is None

    def test_an_active_label_wins_over_a_nodes_own(self):
        gen = make(Recording)
        gen._active_label_name_expr = "'outer'"
        gen._generate_single_constraint(le("y", 1, label="inner"), "c0", {})
        assert gen.gurobi_code_lines == ["ct('outer', [])"]
        assert gen._active_label_name_expr == "'outer'"


class TestNames:
    @pytest.mark.parametrize("label, args, expected", [
        (None, ("c3",), "'c3'"),
        (None, ("c3", "_card"), "'c3_card'"),
        ("'cap'", ("c3",), "'cap'"),
        ("'cap'", ("c3", ""), "'cap'"),
        ("'cap'", ("c3", "_card"), "('cap' + '_card')"),
        ("", ("c3", "_x"), "'c3_x'"),
    ])
    def test_format_name_expr(self, label, args, expected):
        gen = make()
        gen._active_label_name_expr = label
        assert gen._format_name_expr(*args) == expected

    def test_missing_label_attribute_reads_as_none(self):
        gen = make()
        del gen._active_label_name_expr
        assert gen._format_name_expr("c0", suffix="_neq1") == "'c0_neq1'"

    @pytest.mark.parametrize("label_template, expected, value", [
        ({"name": "cap", "iterators": ["i", "j"]}, "('cap' + '[' + ','.join(str(v) for v in [i, j]) + ']')", "cap[1,2]"),
        ({"iterators": ["i"]}, "('ct' + '[' + ','.join(str(v) for v in [i]) + ']')", "ct[1]"),
        ({"name": "cap", "iterators": []}, "'cap'", "cap"),
        ({"name": "cap"}, "'cap'", "cap"),
        ({}, "'ct'", "ct"),
    ])
    def test_label_expressions_evaluate_per_loop_pass(self, label_template, expected, value):
        text = make()._compute_label_expr(label_template)
        assert text == expected
        assert eval(text, {"i": 1, "j": 2}) == value

    def test_label_template_must_be_a_dict(self):
        with pytest.raises(TypeError):
            make()._compute_label_expr(["i"])


class TestForall:
    def test_one_iterator(self):
        assert section([forall([I], le(idx("x", "i"), 10))]) == [
            "for i in range(1, n + 1):",
            "    model.addConstr(x[i] <= 10, name='c0_i')",
        ]

    def test_two_iterators_loop_over_the_product(self):
        assert section([le("y", 5), le("y", 6), forall([I, J], le(idx("x", "i"), "j"))]) [2:] == [
            "import itertools  # needed for multi-index forall",
            "for i, j in itertools.product(range(1, n + 1), range(1, 2 + 1)):",
            "    model.addConstr(x[i] <= j, name='c2_i_j')",
        ]

    def test_list_of_constraints_numbered(self):
        assert recorded([forall([I], [le("y", 1), le("y", 2)])]) == [
            "for i in range(1, n + 1):",
            "    ct('c0_i_0', ['i'])",
            "    ct('c0_i_1', ['i'])",
        ]

    def test_index_filter_and_nested_forall(self):
        inner = forall([J], le(idx("x", "i"), "j"), where=binop("!=", "i", "j"))
        assert section([forall([I], inner, where=binop(">", "i", 1))]) == [
            "for i in range(1, n + 1):",
            "    if (i > 1):",
            "        for j in range(1, 2 + 1):",
            "            if (i != j):",
            "                model.addConstr(x[i] <= j, name='c0_i_j')",
        ]

    def test_ranges_read_in_the_enclosing_scope(self):
        seen = []

        class Spy(Recording):
            def _forall_range_expr(self, rng, current_iterators):
                seen.append(dict(current_iterators))
                return GurobiCodeGenerator._forall_range_expr(self, rng, current_iterators)

        inner = forall([it("j", rng(1, "i")), it("k", rng("i", 3))], le("y", 1))
        recorded([forall([I], inner)], make(Spy))
        assert seen == [{}, {"i": "i"}, {"i": "i"}]

    def test_iterators_passed_to_nested_constraints(self):
        assert recorded([forall([I], forall([J], le("y", 1)))])[-1] == "        ct('c0_i_j', ['i', 'j'])"

    def test_missing_constraint_keys(self):
        with pytest.raises(ValueError) as err:
            section([{"type": "forall_constraint", "iterators": [I]}])
        assert str(err.value) == "Forall constraint node missing 'constraint' or 'constraints' key."

    def test_missing_iterators(self):
        with pytest.raises(KeyError):
            section([{"type": "forall_constraint", "constraint": le("y", 1)}])

    def test_loop_state_restored_after_and_on_failure(self):
        gen = make()
        states = []

        class Spy(GurobiCodeGenerator):
            def _constraint_constraint(self, node, prefix, iterators):
                states.append((dict(self._active_iterator_ranges), self._materialized_loop_depth))
                self._add_code_line("pass")
                if node.get("fail"):
                    raise ValueError("boom")

        gen = make(Spy)
        gen._active_iterator_ranges = {"q": "Q"}
        section([forall([I], forall([J], le("y", 1)))], gen)
        assert states == [({"q": "Q", "i": "range(1, n + 1)", "j": "range(1, 2 + 1)"}, 2)]
        assert gen._active_iterator_ranges == {"q": "Q"} and gen._materialized_loop_depth == 0
        with pytest.raises(ValueError):
            gen._generate_constraints([forall([I], le("y", 1, fail=True))])
        assert gen._active_iterator_ranges == {"q": "Q"} and gen._materialized_loop_depth == 0
        # The indentation of the failed loop is not taken back: the run ends with the error.
        assert gen.indent_level == 1

    def test_deep_nesting_raises_recursion_error(self):
        node = le("y", 1)
        for _ in range(100000):
            node = forall([I], node)
        with pytest.raises(RecursionError):
            make()._generate_constraints([node])

    def test_loop_state_created_when_absent(self):
        gen = make()
        section([forall([I], le("y", 1))], gen)
        assert gen._active_iterator_ranges == {} and gen._materialized_loop_depth == 0


class TestLabels:
    def test_label_template_names_each_pass(self):
        lines = section([forall([I, J], le(idx("x", "i"), "j", label_template=template("cap", "i", "j")))])
        assert lines[-1] == "    model.addConstr(x[i] <= j, name=('cap' + '[' + ','.join(str(v) for v in [i, j]) + ']'))"

    def test_labelled_forall_names_every_constraint_and_ignores_inner_labels(self):
        node = forall([I], [le("y", 1, label="inner"), le("y", 2)], label="outer")
        assert recorded([node]) == ["for i in range(1, n + 1):", "    ct('outer', ['i'])", "    ct('outer', ['i'])"]

    def test_template_replaces_the_outer_label_for_its_constraint_only(self):
        node = forall([I], [le("y", 1, label_template=template("t", "i")), le("y", 2)], label="outer")
        gen = make(Recording)
        assert recorded([node], gen)[1:] == [
            "    ct(('t' + '[' + ','.join(str(v) for v in [i]) + ']'), ['i'])", "    ct('outer', ['i'])"]
        assert gen._active_label_name_expr is None

    def test_companion_constraints_append_their_suffix_to_the_label(self):
        not_equal = {"type": "constraint", "op": "!=", "left": idx("x", "i"), "right": name("y")}
        lines = section([forall([I], not_equal, label="cap")])
        assert lines[-2].endswith("name=('cap' + '_neq1'))") and lines[-1].endswith("name=('cap' + '_neq2'))")

    def test_label_restored_when_a_templated_constraint_fails(self):
        gen = make()
        with pytest.raises(ValueError):
            gen._generate_constraints([forall([I], le("y", "undeclared", label_template=template("t", "i")))])
        assert gen._active_label_name_expr is None


class TestRanges:
    @pytest.mark.parametrize("range_node, expected", [
        (rng(1, "n"), "range(1, n + 1)"),
        (rng(0, add("n", 1)), "range(0, (n + 1) + 1)"),
        (named_range("R"), "range(1, n + 1)"),
        (named_range("S"), "S"),
        (named_set("S"), "S"),
        ({"type": "named_set_dimension", "name": "S"}, "S"),
    ])
    def test_range_texts(self, range_node, expected):
        assert make()._forall_range_expr(range_node, {}) == expected

    def test_range_bounds_are_symbolic(self):
        assert make()._forall_range_expr(rng("lo", "hi"), {}) == "range(lo, hi + 1)"

    @pytest.mark.parametrize("range_node, message", [
        (named_range("Q"), "Range or set 'Q' not found in declarations."),
        (named_set("Q"), "Set 'Q' not found in declarations."),
        ({"type": "named_set_dimension", "name": "R"}, "Set 'R' not found in declarations."),
        ({"type": "interval", "name": "R"}, "Unsupported range type for forall: interval"),
    ])
    def test_unknown_ranges(self, range_node, message):
        with pytest.raises(ValueError) as err:
            make()._forall_range_expr(range_node, {})
        assert str(err.value) == message

    def test_only_the_semantic_error_of_a_range_lookup_falls_back_to_sets(self):
        class Broken(GurobiCodeGenerator):
            def _emit_range_from_declaration(self, name, current_iterators, symbolic):
                raise KeyError(name)

        with pytest.raises(KeyError):
            make(Broken)._forall_range_expr(named_range("S"), {})

        class Missing(GurobiCodeGenerator):
            def _emit_range_from_declaration(self, name, current_iterators, symbolic):
                assert symbolic is True
                raise SemanticError("no range")

        assert make(Missing)._forall_range_expr(named_range("S"), {"i": "i"}) == "S"

    def test_extract_forall_loops(self):
        loops = make()._extract_forall_loops([I, it("s", named_set("S"))], {})
        assert loops == (["i", "s"], ["range(1, n + 1)", "S"])

    def test_loop_headers(self):
        gen = make()
        assert gen._construct_loop_header(["i"], ["R"]) == "for i in R:"
        assert gen.gurobi_code_lines == []
        assert gen._construct_loop_header(["i", "j"], ["R", "S"]) == "for i, j in itertools.product(R, S):"
        assert gen.gurobi_code_lines == ["import itertools  # needed for multi-index forall"]


class TestIndexFilters:
    @pytest.mark.parametrize("node, expected", [
        (3, "3"),
        ("txt", "'txt'"),
        ({"type": "boolean_literal", "value": 1}, "True"),
        ({"type": "boolean_literal", "value": 0}, "False"),
        (num(2.5), "2.5"),
        ({"type": "string_literal", "value": "a'b"}, '"a\'b"'),
        (name("i"), "i"),
        (paren(name("i")), "(i)"),
        ({"type": "not", "value": name("i")}, "(not (i))"),
        ({"type": "and", "left": name("i"), "right": name("j")}, "((i) and (j))"),
        ({"type": "or", "left": name("i"), "right": name("j")}, "((i) or (j))"),
        (binop("<=", "i", binop("+", "j", 1)), "(i <= (j + 1))"),
        (idx("p", "i"), "p[((i) - 1)]"),
        ({"type": "field_access", "base": name("t"), "field": "f"}, "t['f']"),
    ])
    def test_condition_texts(self, node, expected):
        assert make()._emit_index_condition(node, {"i": "i", "j": "j", "t": "t"}) == expected

    def test_count_of_passes(self):
        node = sum_([it("k", rng(1, "i")), it("m", named_set("S"))], binop(">", idx("p", "k"), 1),
                    where=binop("!=", "k", "i"))
        assert make()._emit_index_condition(node, {"i": "i"}) == (
            "sum((1 if ((p[((k) - 1)] > 1)) else 0) for k in range(1, i + 1) for m in S if (k != i))")

    def test_count_without_iterators_or_filter(self):
        assert make()._emit_index_condition({"type": "sum", "expression": num(1)}, {}) == "sum((1 if (1) else 0) )"

    def test_count_over_an_unsupported_range(self):
        with pytest.raises(ValueError) as err:
            make()._emit_index_condition(sum_([it("k", {"type": "odd"})], 1), {})
        assert str(err.value) == "Unsupported range type for forall: odd"

    @pytest.mark.parametrize("node", [idx("x", "i"), idx("y"), binop("<", 1, idx("x", "i"))])
    def test_decision_variables_refused(self, node):
        with pytest.raises(ValueError) as err:
            make()._emit_index_condition(node, {"i": "i"})
        assert str(err.value) == "Index constraint may not reference decision variables."

    def test_filter_subscripts_go_through_the_subscript_handler(self):
        calls = []

        class Spy(GurobiCodeGenerator):
            def _expr_indexed_name(self, node, current_iterators, symbolic):
                calls.append(symbolic)
                return "P"

        assert make(Spy)._emit_index_condition(idx("p", "i"), {"i": "i"}) == "P" and calls == [False]

    def test_deep_filter_raises_recursion_error(self):
        node = name("i")
        for _ in range(100000):
            node = {"type": "not", "value": node}
        with pytest.raises(RecursionError):
            make()._emit_index_condition(node, {"i": "i"})

    def test_other_nodes_are_translated_symbolically(self):
        sqrt = {"type": "funcall", "name": "sqrt", "args": [name("i")]}
        assert make()._emit_index_condition(sqrt, {"i": "i"}) == "math.sqrt(i)"
        with pytest.raises(NotImplementedError):
            make()._emit_index_condition(eq("i", 2), {"i": "i"})
