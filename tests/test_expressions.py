"""Expression translation: dispatch, operators, literals, names, subscripts and field access."""
import pytest
from trees import binop, name, num

from korvane.mipwright import GurobiCodeGenerator


def indexed(n, *dims):
    return {"type": "indexed_name", "name": n, "dimensions": list(dims)}


def lit(v):
    return {"type": "number_literal_index", "value": v}


def ref(n):
    return {"type": "name_reference_index", "name": n}


def tup(*elements):
    return {"type": "tuple_literal", "elements": list(elements)}


def cmp(op="<=", left=None, right=None):
    return binop(op, left or num(1), right or num(2))


def rng(start, end=9):
    return {"type": "range_index", "start": num(start), "end": num(end)}


BOOL_TRUE = {"type": "boolean_literal", "value": True}
SET_S = {"type": "set_of_tuples", "name": "S", "tuple_type": "T"}


def make(declarations=(), data=None, variables=(), cls=GurobiCodeGenerator):
    gen = cls({"declarations": list(declarations)}, data)
    for v in variables:
        gen.gurobi_var_map[v] = v
    return gen


def translate(node, iterators=None, symbolic=False, gen=None, **setup):
    text = (gen or make(**setup))._traverse_expression(node, iterators or {}, symbolic)
    compile(str(text), "<expression>", "eval")
    return text


class TestDispatch:
    @pytest.mark.parametrize("kind", ["constraint", "tuple_literal", "min_agg", "max_agg", "nope"])
    def test_types_without_a_handler(self, kind):
        with pytest.raises(NotImplementedError) as err:
            make()._traverse_expression({"type": kind}, {})
        assert str(err.value) == f"Expression type '{kind}' is not supported by the Gurobi code generator."

    def test_missing_type(self):
        with pytest.raises(KeyError):
            make()._traverse_expression({"value": 1}, {})

    def test_handlers_found_by_name_with_arguments_unchanged(self):
        class WithSum(GurobiCodeGenerator):
            def _expr_sum(self, node, iterators, symbolic):
                return f"sum:{node['tag']}:{sorted(iterators)}:{symbolic!r}"

        gen = make(cls=WithSum)
        node = binop("+", {"type": "sum", "tag": 7}, num(1))
        assert gen._traverse_expression(node, {"i": "i"}) == "(sum:7:['i']:False + 1)"
        assert gen._traverse_expression({"type": "sum", "tag": 1}, {}, "mode") == "sum:1:[]:'mode'"
        gen._expr_number = lambda node, iterators, symbolic: "N"
        assert gen._traverse_expression(binop("*", num(1), num(2)), {}) == "(N * N)"

    @pytest.mark.parametrize("wrap, call", [
        (lambda n: {"type": "uminus", "value": n}, lambda g, n: g._traverse_expression(n, {})),
        (lambda n: {"type": "uminus", "value": n}, lambda g, n: g._traverse_expression(indexed("x", n), {})),
        (lambda n: {"type": "parenthesized_expression", "expression": n}, lambda g, n: g._traverse_expression(binop("+", n, n), {})),
        (lambda n: {"type": "not", "value": n}, lambda g, n: g._expr_depends_on_decision_var(n)),
    ])
    def test_deep_input_raises_recursion_error(self, wrap, call):
        node = num(1)
        for _ in range(100000):
            node = wrap(node)
        with pytest.raises(RecursionError):
            call(make(variables=["x"]), node)


class TestLiteralsAndOperators:
    def test_numbers_and_booleans_stay_numbers(self):
        gen = make()
        assert type(gen._expr_number(num(3), {}, False)) is int
        assert gen._expr_number(num(2.5), {}, False) == 2.5
        assert [gen._expr_boolean_literal({"type": "boolean_literal", "value": v}, {}, False) for v in (True, [], 2)] == [1, 0, 1]
        assert type(gen._expr_boolean_literal(BOOL_TRUE, {}, False)) is int

    @pytest.mark.parametrize("value", ["a", "it's", 'say "hi"', "both ' and \"", "back\\slash"])
    def test_string_literal_is_the_python_literal(self, value):
        assert translate({"type": "string_literal", "value": value}) == repr(value)

    @pytest.mark.parametrize("node, text", [
        ({"type": "parenthesized_expression", "expression": name("a")}, "(a)"),
        ({"type": "uminus", "value": num(2.5)}, "-(2.5)"),
        ({"type": "not", "value": BOOL_TRUE}, "not (1)"),
        ({"type": "and", "left": name("a"), "right": BOOL_TRUE}, "((a) and (1))"),
        ({"type": "or", "left": num(0), "right": name("a")}, "((0) or (a))"),
        (binop("/", num(1), binop("-", name("a"), num(2))), "(1 / (a - 2))"),
        (binop("!=", name("a"), num(2)), "(a != 2)"),
        ({"type": "minl", "args": [num(1), name("a"), num(2.5)]}, "min(1, a, 2.5)"),
        ({"type": "maxl", "args": [BOOL_TRUE, name("a")]}, "max(1, a)"),
        ({"type": "funcall", "name": "sqrt", "args": [num(4)]}, "math.sqrt(4)"),
        ({"type": "conditional", "condition": cmp(">"), "then": num(1), "else": name("a")}, "1 if (1 > 2) else a"),
    ])
    def test_translations(self, node, text):
        assert translate(node, data={"a": 1}) == text

    @pytest.mark.parametrize("condition, kept", [
        (name("a"), "a"),
        ({"type": "parenthesized_expression", "expression": cmp()}, "(1 <= 2)"),
        ({"type": "and", "left": name("a"), "right": name("a")}, "(a) and (a)"),
    ])
    def test_conditional_strips_one_pair_of_parentheses(self, condition, kept):
        node = {"type": "conditional", "condition": condition, "then": num(1), "else": num(0)}
        assert translate(node, data={"a": 1}) == f"1 if ({kept}) else 0"

    @pytest.mark.parametrize("node", [
        {"type": "parenthesized_expression", "expression": name("z")},
        {"type": "uminus", "value": name("z")},
        {"type": "not", "value": name("z")},
        {"type": "and", "left": num(1), "right": name("z")},
        {"type": "or", "left": name("z"), "right": num(1)},
        {"type": "field_access", "base": name("z"), "field": "f"},
    ])
    def test_operands_translated_outside_symbolic_mode(self, node):
        with pytest.raises(ValueError, match="^Undeclared variable or unhandled context: z$"):
            make()._traverse_expression(node, {}, True)

    def test_symbolic_mode_passed_on(self):
        node = {"type": "conditional", "condition": binop("<", name("z"), num(1)),
                "then": {"type": "minl", "args": [name("z")]},
                "else": {"type": "funcall", "name": "sqrt", "args": [{"type": "maxl", "args": [name("n")]}]}}
        assert translate(node, symbolic=True) == "min(z) if (z < 1) else math.sqrt(max(n))"

    @pytest.mark.parametrize("fn, args", [("sqrt", []), ("sqrt", [num(1), num(2)]), ("abs", [num(1)]), (None, [])])
    def test_unsupported_function(self, fn, args):
        node = {"type": "funcall", "args": args} if fn is None else {"type": "funcall", "name": fn, "args": args}
        with pytest.raises(NotImplementedError) as err:
            make()._traverse_expression(node, {})
        assert str(err.value) == f"Unsupported function call '{fn}' in expression."


class Reifying(GurobiCodeGenerator):
    """Stands in for the comparison reification that the sums concern provides."""

    def _reify_scoped_comparison(self, node, iterators):
        self.reified = getattr(self, "reified", []) + [(node, iterators)]
        return f"cmp{len(self.reified)}"


class TestComparisonsInArithmetic:
    def test_comparison_terms_are_reified_left_first(self):
        gen = make(cls=Reifying)
        left, right = {"type": "parenthesized_expression", "expression": cmp(">=")}, {"type": "constraint", "op": "==", "left": num(1), "right": num(1)}
        iterators = {"i": "i"}
        assert translate(binop("+", left, right), iterators, gen=gen) == "(cmp1 + cmp2)"
        assert gen.reified == [(left, iterators), (right, iterators)]

    @pytest.mark.parametrize("op, operand, symbolic", [("+", cmp("<"), True), ("+", cmp("!="), False), ("<=", cmp("<"), False), ("and", cmp(), False)])
    def test_plain_comparisons(self, op, operand, symbolic):
        gen = make(cls=Reifying)
        text = translate(binop(op, operand, num(1)), symbolic=symbolic, gen=gen)
        assert text == f"((1 {operand['op']} 2) {op} 1)"
        assert not hasattr(gen, "reified")


class TestNames:
    def test_resolution_order(self):
        gen = make([{"type": "dvar", "name": "x"}], data={"x": 1, "d": 2})
        gen.gurobi_var_map["x"] = "x_var"
        assert translate(name("x"), gen=gen) == "x_var"
        assert translate(name("x"), {"x": "x"}, gen=gen) == "x"  # the loop variable shadows the model name
        assert translate(name("d"), gen=gen) == "d"
        assert translate(name("undeclared"), symbolic=True, gen=gen) == "undeclared"
        with pytest.raises(ValueError, match="^Undeclared variable or unhandled context: undeclared$"):
            gen._traverse_expression(name("undeclared"), {})

    def test_inline_parameter_without_data(self):
        gen = make([{"type": "parameter_inline", "name": "p", "value": 3}])
        gen.data_dict.clear()
        assert translate(name("p"), gen=gen) == "p"

    @pytest.mark.parametrize("kind", ["parameter_external", "parameter_external_indexed", "parameter_external_explicit",
                                      "parameter_external_explicit_indexed"])
    def test_external_parameter_without_data(self, kind):
        with pytest.raises(ValueError) as err:
            make([{"type": kind, "name": "p"}])._traverse_expression(name("p"), {})
        assert str(err.value) == "Parameter 'p' is declared as external in the model but no value was provided in the data file."


class TestSubscripts:
    @pytest.mark.parametrize("index, text", [
        (lit(3), "x[3]"),
        (ref("i"), "x[i]"),
        ({"type": "string_literal", "value": "a"}, "x['a']"),
        ({"type": "binop", "op": "+", "left": ref("i"), "right": {"type": "uminus", "value": lit(1)}}, "x[(i + -(1))]"),
        ({"type": "parenthesized_expression", "expression": ref("i")}, "x[(i)]"),
        (tup(num(1)), "x[(1,)]"),
        (tup("a", 2.5, BOOL_TRUE, name("i")), "x[('a', 2.5, True, i)]"),
        ({"type": "field_access_index", "base": name("i"), "field": "f"}, "x[i['f']]"),
        ({"type": "name", "value": "k"}, "x[k]"),
        ({"type": "other", "name": "k"}, "x[k]"),
    ])
    def test_index_forms_on_a_decision_variable(self, index, text):
        assert translate(indexed("x", index), {"i": "i"}, variables=["x"]) == text

    def test_several_subscripts_on_a_decision_variable(self):
        assert translate(indexed("x", ref("i"), lit(2)), {"i": "i"}, variables=["x"]) == "x[(i, 2)]"

    def test_unsupported_index(self):
        with pytest.raises(ValueError, match="^Unsupported index expr type: weird$"):
            make(variables=["x"])._traverse_expression(indexed("x", {"type": "weird"}), {})

    TUPLE_INDEXED = [SET_S, {"type": "parameter_external", "name": "p", "dimensions": [{"type": "named_set_dimension", "name": "S"}]}]

    @pytest.mark.parametrize("index, text", [
        (ref("t"), "p[t]"),
        (tup(num(1), num(2)), "(p[(1, 2)] if isinstance(p, dict) else p[((1) - 1)][((2) - 1)])"),
        (tup(BOOL_TRUE), "(p[(True,)] if isinstance(p, dict) else p[((1) - 1)])"),
        (tup("a"), "(p[('a',)] if isinstance(p, dict) else p[(('a') - 1)])"),
    ])
    def test_tuple_indexed_array(self, index, text):
        assert translate(indexed("p", index), declarations=self.TUPLE_INDEXED) == text

    def test_tuple_indexed_array_rejects_other_subscripts(self):
        with pytest.raises(ValueError, match="^Unsupported index expr type: number_literal_index$"):
            make(self.TUPLE_INDEXED)._traverse_expression(indexed("p", lit(1)), {})

    def test_tuple_array(self):
        decls = [{"type": "tuple_array", "name": "a"}]
        assert translate(indexed("a", ref("i"), lit(2)), {"i": "i"}, declarations=decls) == "a[i][2]"

    @pytest.mark.parametrize("dims, text", [
        ([rng(1)], "c[((3) - 1)]"),
        ([rng(0)], "c[((3) - (0))]"),
        ([rng(2)], "c[((3) - (2))]"),
        ([{"type": "range_index", "start": binop("-", name("m"), num(1)), "end": num(9)}], "c[((3) - ((m - 1)))]"),
        ([{"type": "named_range_dimension", "name": "R", "start": num(0)}], "c[((3) - (0))]"),
        ([{"type": "named_range_dimension", "name": "R"}], "c[((3) - (0))]"),
        ([{"type": "named_range_dimension", "name": "Q"}], "c[((3) - 1)]"),
        ([{"type": "named_range_dimension", "name": "U"}], "c[((3) - 1)]"),
        ([{"type": "named_set_dimension", "name": "K"}], "c[K_index[3]]"),
        (None, "c[((3) - 1)]"),
    ])
    def test_list_data_positions(self, dims, text):
        decls = [{"type": "range_declaration_inline", "name": "R", "start": num(0), "end": num(2)},
                 {"type": "range_declaration_inline", "name": "Q", "start": num(1), "end": num(2)}]
        if dims is not None:
            decls.append({"type": "parameter_external", "name": "c", "dimensions": dims})
        assert translate(indexed("c", lit(3)), declarations=decls, data={"c": [1, 2, 3, 4]}) == text

    def test_zero_based_list_reads_the_right_element(self):
        decls = [{"type": "parameter_inline_indexed", "name": "c", "value": [10, 20, 30], "dimensions": [rng(0, 2)]}]
        gen = make(decls)
        assert [eval(translate(indexed("c", lit(i)), gen=gen), {"c": [10, 20, 30]}) for i in range(3)] == [10, 20, 30]

    def test_list_data_over_two_dimensions(self):
        decls = [{"type": "parameter_external", "name": "c", "dimensions": [rng(1), rng(0)]}]
        text = "c[((i) - 1)][((j) - (0))]"
        assert translate(indexed("c", ref("i"), ref("j")), declarations=decls, data={"c": []}) == text
        assert translate(indexed("c", tup(name("i"), name("j"))), {"i": "i", "j": "j"}, declarations=decls, data={"c": []}) == text

    def test_dictionary_data_with_one_subscript(self):
        expected = "(c[3] if isinstance(c, dict) else c[((3) - 1)])"
        assert translate(indexed("c", lit(3)), data={"c": {3: 1}}) == expected
        gen = make(data={"c": [1]})
        gen.dict_params = {"c"}
        assert translate(indexed("c", lit(3)), gen=gen) == expected

    @pytest.mark.parametrize("data, dims, text", [
        ({(1, 2): 5}, [lit(3)],
         "(c[(3)] if isinstance(c, dict) and ((3)) in c else (c[3][((3) - 1)] if isinstance(c, dict) and 3 in c and isinstance(c[3], (list,tuple)) else c[((3) - 1)]))"),
        ({1: [5]}, [lit(1), lit(2)],
         "(c[(1, 2)] if isinstance(c, dict) and ((1, 2)) in c else (c[1][((2) - (0))] if isinstance(c, dict) and 1 in c and isinstance(c[1], (list,tuple)) else c[((1) - 1)][((2) - (0))]))"),
    ])
    def test_dictionary_data_three_way_fallback(self, data, dims, text):
        decls = [{"type": "parameter_external", "name": "c", "dimensions": [rng(1), rng(0)]}]
        assert translate(indexed("c", *dims), declarations=decls, data={"c": data}) == text


class TestFieldAccess:
    TYPES = {"T": [{"name": "a"}, {"name": "b"}]}

    def gen(self, declarations=(), tuple_types=TYPES):
        gen = make(declarations, data={"t": 1})
        if tuple_types is not None:
            gen.tuple_types = tuple_types
        return gen

    @pytest.mark.parametrize("base, iterators, decls, tuple_types, text", [
        (name("t", sem_type="T"), {}, [], TYPES, "(t['b'] if isinstance(t, dict) else t[1])"),
        (name("i"), {"i": "i"}, [{"type": "set_of_tuples", "name": ""}, SET_S], TYPES, "(i['b'] if isinstance(i, dict) else i[1])"),
        (name("t", sem_type="U"), {}, [SET_S], TYPES, "t['b']"),
        (name("i"), {"i": "i"}, [], TYPES, "i['b']"),
        (name("t", sem_type="T"), {}, [], None, "t['b']"),
        (name("t", sem_type="T"), {}, [], {"T": [{"name": "a"}]}, "t['b']"),
    ])
    def test_field_access(self, base, iterators, decls, tuple_types, text):
        node = {"type": "field_access", "base": base, "field": "b"}
        assert translate(node, iterators, gen=self.gen(decls, tuple_types)) == text


class TestDependsOnDecisionVar:
    DECLS = [{"type": "dvar", "name": "x"}, {"type": "dvar_indexed", "name": "y"}, {"type": "parameter_inline", "name": "p"}]

    @pytest.mark.parametrize("node, expected", [
        (name("x"), True), (name("p"), False), (name("q"), False), (indexed("y"), True), (indexed("p"), False),
        ({"type": "field_access", "base": name("x")}, True),
        ({"type": "parenthesized_expression", "expression": indexed("y")}, True),
        (binop("+", num(1), name("x")), True), ({"type": "constraint", "left": name("p")}, False),
        ({"type": "and", "left": name("x")}, True), ({"type": "or", "right": name("x")}, True),
        ({"type": "not", "value": name("x")}, True), ({"type": "uminus", "value": name("p")}, False),
        ({"type": "conditional", "condition": name("p"), "then": num(1), "else": name("x")}, True),
        ({"type": "sum", "expression": num(1), "index_constraint": name("x")}, True),
        ({"type": "min_agg", "expression": name("y")}, True), ({"type": "max_agg"}, False),
        (tup(1, name("p"), name("x")), True), (tup(), False),
        ({"type": "minl", "args": [name("x")]}, True), ({"type": "funcall", "args": [num(1), name("y")]}, True),
        ({"type": "maxl", "args": [name("p")]}, False), ("x", False), (None, False),
    ])
    def test_classification(self, node, expected):
        assert make(self.DECLS)._expr_depends_on_decision_var(node) is expected
