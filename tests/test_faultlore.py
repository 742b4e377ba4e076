"""SemanticError and the repair-hint table."""
import pickle

import pytest

from korvane import faultlore
from korvane.faultlore import SemanticError, _with_repair_hint

H_DAT_EOF = "Hint: the .dat file is likely missing a closing delimiter such as ';', '}', ']', or ')'. Check the most recent assignment."
H_DAT_TOKEN = "Hint: .dat files must contain plain data assignments such as 'x = 3;', 'S = { ... };', or 'A = [ ... ];' (no 'dvar', 'param', 'minimize', or 'subject to')."
H_TOKEN = "Hint: rewrite the construct using simpler supported Korvane syntax. In particular, avoid filtered declarations, advanced inline indexing, and OPL-only shorthand that is not part of this implementation."
H_EOF = "Hint: the model or data is likely missing a closing delimiter such as ';', '}', ']', or ')'. Check the most recent declaration or constraint block."
H_ILLEGAL = "Hint: use plain Korvane .dat syntax, not escaped JSON text or unsupported OPL-specific formatting."
H_INDEX = "Hint: precompute the needed lookup table in the model/data and index it directly with iterator variables instead of indexing one indexed expression with another."
H_SYMBOL = "Hint: declare the symbol explicitly in the model or provide matching data with the expected name and index structure."
H_INT_RANGE = "Hint: use integer-valued literals, parameters, or expressions for all range bounds."
H_NEG = "Hint: rewrite the index or range using non-negative bounds supported by this compiler."
H_TYPE = "Hint: make both sides type-compatible before combining them. Do not mix strings, booleans, and numeric expressions in the same arithmetic or comparison context."
H_FUNC = "Hint: use only the functions supported by this implementation, or precompute the value in data or an auxiliary parameter."
H_BOOL = "Hint: boolean comparisons cannot be used as arithmetic values. Rewrite them as explicit constraints or binary-variable linkages."
H_DIV = "Hint: guard the denominator or rewrite the expression so the divisor is guaranteed nonzero at compile time."
H_UNSUPPORTED = "Hint: rewrite this construct using the supported Korvane subset implemented by this compiler."


@pytest.mark.parametrize(
    "message, hint",
    [
        ("Syntax error in .dat file at end of file", H_DAT_EOF),
        ("Syntax error in .dat file at or near token ';'", H_DAT_TOKEN),
        ("Syntax error at or near token 'dvar'", H_TOKEN),
        ("Syntax error at end of file", H_EOF),
        ("Illegal character in .dat file: '$'", H_ILLEGAL),
        ("Unsupported index expression type: binop", H_INDEX),
        ("Undeclared symbol 'x'", H_SYMBOL),
        ("Unknown name y", H_SYMBOL),
        ("oops: Unknown symbol z", H_SYMBOL),
        ("name q not found in environment", H_SYMBOL),
        ("Parameter 'cost' not found", H_SYMBOL),
        ("AST parameter 'd' with indices (1, 2) not found", H_SYMBOL),
        ("Range bounds must be integer-valued", H_INT_RANGE),
        ("Index range bounds must be integer-valued", H_INT_RANGE),
        ("Range bound must be integer-valued", H_INT_RANGE),
        ("Range bounds must be non-negative literals", H_NEG),
        ("Negative literal indices are not allowed", H_NEG),
        ("Type mismatch in arithmetic", H_TYPE),
        ("Type mismatch in comparison", H_TYPE),
        ("Unsupported function 'abs'", H_FUNC),
        ("Non-ground boolean", H_BOOL),
        ("Condition does not evaluate to boolean", H_BOOL),
        ("Division by zero in constraint c3", H_DIV),
        ("Unsupported range type for forall", H_UNSUPPORTED),
    ],
)
def test_each_pattern_appends_its_hint(message, hint):
    assert _with_repair_hint(message) == message + " " + hint


class TestHintRules:
    def test_order_first_match_wins(self):
        # "Unsupported function" is more specific than the catch-all "^Unsupported ".
        assert _with_repair_hint("Unsupported function x").endswith(H_FUNC)
        # The .dat patterns come before the generic syntax patterns.
        assert _with_repair_hint("Syntax error in .dat file at end of file").endswith(H_DAT_EOF)
        assert _with_repair_hint("Syntax error at end of file").endswith(H_EOF)

    def test_anchored_patterns_do_not_match_in_the_middle(self):
        assert _with_repair_hint("error: Unsupported function x") == "error: Unsupported function x"
        assert _with_repair_hint("Unsupported") == "Unsupported"  # the catch-all needs its blank

    def test_case_sensitive_and_literal_dot(self):
        assert _with_repair_hint("division by zero") == "division by zero"
        assert _with_repair_hint("Syntax error in xdat file at end of file") == "Syntax error in xdat file at end of file"

    def test_existing_hint_is_kept(self):
        message = "Division by zero. Hint: mine"
        assert _with_repair_hint(message) is message

    def test_unmatched_message_is_returned_unchanged(self):
        message = "something else"
        assert _with_repair_hint(message) is message

    @pytest.mark.parametrize("bad", [None, 3, b"Division by zero", ["Division by zero"]])
    def test_non_str_is_a_type_error(self, bad):
        with pytest.raises(TypeError):
            _with_repair_hint(bad)

    def test_str_subclass_accepted(self):
        class S(str):
            pass

        assert _with_repair_hint(S("Division by zero")).endswith(H_DIV)


class TestSemanticError:
    def test_class_shape(self):
        assert SemanticError.__bases__ == (Exception,)
        assert SemanticError.__doc__ == "Custom exception for semantic errors."
        assert SemanticError.__module__ == "korvane.faultlore"
        assert issubclass(SemanticError, Exception)

    def test_with_line_number(self):
        err = SemanticError("Unknown name x", 12)
        assert err.lineno == 12
        assert err.message == "Unknown name x " + H_SYMBOL
        assert str(err) == "Semantic Error (Line 12): Unknown name x " + H_SYMBOL
        assert err.args == (str(err),)

    def test_zero_or_missing_line_counts_as_none(self):
        for err in (SemanticError("Unknown name x", 0), SemanticError("Unknown name x"), SemanticError(message="Unknown name x", lineno=None)):
            assert str(err) == "Semantic Error: Unknown name x " + H_SYMBOL
        assert SemanticError("m", 0).lineno == 0

    def test_message_is_converted_with_str(self):
        err = SemanticError(404, lineno="7")
        assert err.message == "404"
        assert str(err) == "Semantic Error (Line 7): 404"

    def test_message_conversion_failure_propagates(self):
        class Bad:
            def __str__(self):
                raise RuntimeError("no text")

        with pytest.raises(RuntimeError, match="no text"):
            SemanticError(Bad())

    def test_hint_supplied_by_caller_is_kept(self):
        assert SemanticError("Division by zero. Hint: x").message == "Division by zero. Hint: x"

    def test_raise_and_catch(self):
        with pytest.raises(SemanticError, match=r"^Semantic Error \(Line 3\): Unsupported range type"):
            raise SemanticError("Unsupported range type for sum: foo", lineno=3)

    def test_subclass_and_patched_hint_function(self, monkeypatch):
        class Mine(SemanticError):
            pass

        assert str(Mine("Unknown name q", 2)).startswith("Semantic Error (Line 2): Unknown name q Hint:")
        monkeypatch.setattr(faultlore, "_with_repair_hint", lambda m: m + "!")
        assert SemanticError("x").message == "x!"

    def test_file_and_column_are_keyword_attributes(self):
        err = SemanticError("Unknown name x", 12, filename="m.mod", col=7)
        assert (err.filename, err.lineno, err.col) == ("m.mod", 12, 7)
        assert str(err) == "Semantic Error (Line 12): Unknown name x " + H_SYMBOL
        plain = SemanticError("Unknown name x", 12)
        assert (plain.filename, plain.col) == (None, None)
        with pytest.raises(TypeError):
            SemanticError("a", 1, "m.mod")

    def test_argument_errors(self):
        with pytest.raises(TypeError):
            SemanticError()
        with pytest.raises(TypeError):
            SemanticError("a", 1, 2)

    def test_picklable_message(self):
        err = pickle.loads(pickle.dumps(SemanticError("plain", 4)))
        assert isinstance(err, SemanticError)
