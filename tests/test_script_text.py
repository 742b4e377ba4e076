"""The final rewrite of bare true/false into True/False."""
import json
import random
import re

import pytest

from korvane.mipwright import GurobiCodeGenerator

TRUE = re.compile(r'(?<![\w"\'\\])true(?![\w"\'\\])')
FALSE = re.compile(r'(?<![\w"\'\\])false(?![\w"\'\\])')


def rewrite(*lines):
    """Runs lines through generate_code and returns the rewritten lines between the sections."""

    class OneLine(GurobiCodeGenerator):
        def _generate_data_declarations(self, data_dict):
            pass

        def _generate_declarations(self, declarations):
            pass

        def _generate_objective(self, objective):
            self._add_code_line("#<<")
            for line in lines:
                self._add_code_line(line)
            self._add_code_line("#>>")

        def _collect_variable_bounds(self, constraints):
            pass

        def _generate_constraints(self, constraints):
            pass

    text = OneLine({"declarations": [], "objective": None, "constraints": []}).generate_code()
    return text[text.index("#<<\n") + 4:text.index("\n#>>")]


@pytest.mark.parametrize(
    "line, expected",
    [
        ("x == true", "x == True"),
        ("(false) or true", "(False) or True"),
        ("true_value untrue is_false false1 _true", "true_value untrue is_false false1 _true"),
        ("'true' \"false\" \\true", "'true' \"false\" \\true"),
        ("# a comment says true", "# a comment says True"),
        ("étrue trueé true.x", "étrue trueé True.x"),
        ("x = {'a': true}", "x = {'a': True}"),
        ("truetrue", "truetrue"),
    ],
)
def test_bare_words(line, expected):
    assert rewrite(line) == expected


class TestStringLiteralsAreData:
    def test_repr_strings_keep_their_words(self):
        data = {"label": "it is true", "other": "false alarm", "q": "don't say true"}
        line = "d = " + repr(data)
        assert rewrite(line) == line

    def test_json_strings_keep_their_words(self):
        line = "d = " + json.dumps([{"a": "is true", "b": True, "c": "x\"true\" y"}])
        assert rewrite(line) == line.replace('"b": true', '"b": True')

    def test_escaped_quotes_do_not_end_a_literal(self):
        assert rewrite(r"s = 'it\'s true' + true") == r"s = 'it\'s true' + True"
        assert rewrite(r's = "a \\" + true') == r's = "a \\" + True'

    def test_code_after_a_string_and_across_lines(self):
        assert rewrite("f('a') if true else 'b true'", "x = true") == "f('a') if True else 'b true'\nx = True"

    def test_unclosed_quote_ends_at_the_line(self):
        assert rewrite("# it's a note", "y = true") == "# it's a note\ny = True"


def test_agrees_with_the_regex_outside_string_literals():
    rng = random.Random(7)
    atoms = ["true", "false", "True", "x", "_", "1", " ", "(", ")", "\\", "é", "\n", "#", ".", "true_", "ftrue"]
    for _ in range(500):
        line = "".join(rng.choice(atoms) for _ in range(rng.randint(1, 25)))
        expected = FALSE.sub("False", TRUE.sub("True", line))
        assert rewrite(line) == expected, line


def test_large_text_without_words_is_returned_whole():
    line = "v = [" + ", ".join(["1.5"] * 10000) + "]"
    assert rewrite(line) == line
