"""Builders for model trees written by hand in tests, so a model reads close to its source text.

    forall([it("i", rng(1, "n"))], le(idx("x", "i"), num(10)))   # forall(i in 1..n) x[i] <= 10
"""


def num(value):
    return {"type": "number", "value": value}


def name(value, **extra):
    return {"type": "name", "value": value, **extra}


def _index(subscript):
    """A subscript: a str names a loop variable, an int is a literal, a dict is taken as it is."""
    if isinstance(subscript, str):
        return {"type": "name_reference_index", "name": subscript}
    if isinstance(subscript, int):
        return {"type": "number_literal_index", "value": subscript}
    return subscript


def idx(array, *subscripts):
    return {"type": "indexed_name", "name": array, "dimensions": [_index(s) for s in subscripts]}


def _expr(value):
    """Plain numbers and names are written as such inside expressions."""
    if isinstance(value, bool):
        return {"type": "boolean_literal", "value": value}
    if isinstance(value, (int, float)):
        return num(value)
    if isinstance(value, str):
        return name(value)
    return value


def binop(op, left, right, **extra):
    return {"type": "binop", "op": op, "left": _expr(left), "right": _expr(right), **extra}


def add(left, right):
    return binop("+", left, right)


def sub(left, right):
    return binop("-", left, right)


def mul(left, right):
    return binop("*", left, right)


def paren(expression):
    return {"type": "parenthesized_expression", "expression": _expr(expression)}


def true():
    return {"type": "boolean_literal", "value": True}


def false():
    return {"type": "boolean_literal", "value": False}


def field(base, field_name):
    return {"type": "field_access", "base": _expr(base), "field": field_name}


# ---- ranges and iterators ----

def rng(start, end):
    return {"type": "range_specifier", "start": _expr(start), "end": _expr(end)}


def named_range(range_name):
    return {"type": "named_range", "name": range_name}


def named_set(set_name):
    return {"type": "named_set", "name": set_name}


def it(iterator, range_node):
    return {"iterator": iterator, "range": range_node}


def sum_(iterators, expression, where=None):
    node = {"type": "sum", "iterators": list(iterators), "expression": _expr(expression)}
    if where is not None:
        node["index_constraint"] = where
    return node


# ---- constraints ----

def cons(op, left, right, **extra):
    return {"type": "constraint", "op": op, "left": _expr(left), "right": _expr(right), **extra}


def le(left, right, **extra):
    return cons("<=", left, right, **extra)


def ge(left, right, **extra):
    return cons(">=", left, right, **extra)


def eq(left, right, **extra):
    return cons("==", left, right, **extra)


def forall(iterators, body, where=None, **extra):
    node = {"type": "forall_constraint", "iterators": list(iterators), **extra}
    if isinstance(body, list):
        node["constraints"] = body
    else:
        node["constraint"] = body
    if where is not None:
        node["index_constraint"] = where
    return node


def template(template_name, *iterators):
    return {"name": template_name, "iterators": list(iterators)}


# ---- logical constraints ----

def bexpr(op, left, right):
    """A comparison as the parser writes it inside and/or/not."""
    return binop(op, left, right, sem_type="boolean")


def and_(left, right):
    return {"type": "and", "left": left, "right": right}


def or_(left, right):
    return {"type": "or", "left": left, "right": right}


def not_(value):
    return {"type": "not", "value": value}


def implication(antecedent, consequent, **extra):
    return {"type": "implication_constraint", "antecedent": antecedent, "consequent": consequent, **extra}


# ---- declarations ----

def dvar(var_name, var_type="int+"):
    return {"type": "dvar", "name": var_name, "var_type": var_type}


def range_dim(start, end):
    return {"type": "range_index", "start": _expr(start), "end": _expr(end)}


def range_name_dim(range_name):
    return {"type": "named_range_dimension", "name": range_name}


def set_dim(set_name):
    return {"type": "named_set_dimension", "name": set_name}


def dvars(var_name, var_type, *dimensions):
    return {"type": "dvar_indexed", "name": var_name, "var_type": var_type, "dimensions": list(dimensions)}


def range_decl(range_name, start, end):
    return {"type": "range_declaration_inline", "name": range_name, "start": _expr(start), "end": _expr(end)}


def param(param_name, *dimensions):
    """A parameter whose value comes from the data."""
    if dimensions:
        return {"type": "parameter_external_indexed", "name": param_name, "dimensions": list(dimensions)}
    return {"type": "parameter_external", "name": param_name}


def typed_set(set_name):
    return {"type": "typed_set", "name": set_name}


def model(declarations, constraints, objective, sense="maximize"):
    return {"declarations": list(declarations), "objective": {"type": sense, "expression": _expr(objective)},
            "constraints": list(constraints)}
