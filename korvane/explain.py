"""Why a model is infeasible: a small conflicting subset of its constraints, in the user's names.

The model is instantiated into sparse rows whose origins (constraint, loop indices, line) the
generator records. The search first keeps only the smallest independent part of the model that is
infeasible and, when the LP relaxation is infeasible, the rows an elastic LP's duals point at; it
then runs a deletion search (QuickXplain-style bisection) over members at three levels of detail:
whole constraint statements and declarations first, then their instances, then single rows,
bounds and integrality requirements. Each test re-solves the model restricted to the members in
hand with HiGHS; the LP relaxation is used while it is infeasible on its own, which is much
cheaper than a MIP.
"""
import json
import math
import re
import time

import numpy as np
from scipy.optimize import Bounds, LinearConstraint, linprog, milp
from scipy.sparse import bmat, csc_matrix, csr_matrix, hstack, identity, vstack
from scipy.sparse.csgraph import connected_components

from .oplparse import parse_files

# Member kinds: a row of A_ub, a row of A_eq, a row that became a column bound, a declared lower or
# upper bound of a column, and a column's integrality.
UB, EQ, BOUND, DECL_LB, DECL_UB, INTEGER = range(6)
_MAX_TERMS_SHOWN = 12
_MAX_DATA_CHARS = 200  # a parameter's whole data are shown up to this length
_MAX_PARTS_TRIED = 64  # a model of more independent parts goes to the search whole
_ELASTIC_MIN_ROWS = 100  # below this many rows the search alone is as quick


def explain_infeasible(model_file, data_file=None, time_limit=None):
    """Explain why a model is infeasible.

    Returns a dict: `infeasible` (True, False, or None when the model could not be decided in
    time), `message`, and for an infeasible model `conflict` (the members: constraint name, label,
    loop indices, .mod line, rows as text, data values), `irreducible` (True when removing any
    member was shown to make the rest feasible; False when the search stopped at its time limit)
    and `solves` (how many restricted models were solved)."""
    tree, data = parse_files(model_file, data_file)
    dat_text = _read(data_file)
    mod_lines = (_read(model_file) or "").splitlines()
    return explain_parsed(tree, data, time_limit=time_limit, mod_lines=mod_lines, dat_text=dat_text)


def explain_parsed(tree, data, time_limit=None, mod_lines=(), dat_text=None):
    """explain_infeasible() for a model tree and data dictionary already in hand."""
    from .lpwrightsparse import SciPyCSCCodeGenerator

    deadline = None if time_limit is None else time.monotonic() + float(time_limit)
    generator = SciPyCSCCodeGenerator(tree, data)
    generator.build_matrices()
    problem = _Problem(generator, deadline)
    everything = np.ones(problem.member_count, dtype=bool)
    verdict = problem.infeasible(everything, relaxed=False)
    if verdict is None:
        return {"infeasible": None, "message": "The solver could not decide feasibility within the time limit.",
                "conflict": [], "irreducible": False, "solves": problem.solves}
    if not verdict:
        return {"infeasible": False, "message": "The model is feasible: there is nothing to explain.",
                "conflict": [], "irreducible": True, "solves": problem.solves}
    members, proven = problem.conflict()
    report = _Report(generator, tree, data, mod_lines, dat_text)
    conflict = report.describe(problem, members)
    return {"infeasible": True, "message": _summary(conflict, proven), "conflict": conflict,
            "irreducible": proven, "solves": problem.solves}


def format_explanation(result, max_entries=30):
    """The explanation as text for a person or a language model, with at most `max_entries`
    members in full."""
    lines = [result["message"]]
    conflict = result.get("conflict", [])
    for entry in conflict[:max_entries]:
        where = f" (line {entry['line']})" if entry.get("line") else ""
        lines.append(f"- {entry['name']}{where}")
        if entry.get("source"):
            lines.append(f"    source: {entry['source']}")
        lines.extend(f"    {row}" for row in entry["rows"])
        for value in entry.get("data", []):
            at = f" (.dat line {value['dat_line']})" if value.get("dat_line") else ""
            lines.append(f"    data: {value['text']}{at}")
    if len(conflict) > max_entries:
        lines.append(f"- ... and {len(conflict) - max_entries} more")
    return "\n".join(lines)


def _summary(conflict, proven):
    names = ", ".join(entry["name"] for entry in conflict)
    kind = "an irreducible" if proven else "a (possibly reducible: the search stopped at its time limit)"
    return f"The model is infeasible; {kind} conflicting set of {len(conflict)} member(s): {names}."


def _read(path):
    if path is None:
        return None
    with open(path, encoding="utf-8") as handle:
        return handle.read()


class _Problem:
    """The instantiated model as members that a test switches on and off."""

    def __init__(self, generator, deadline):
        self.deadline = deadline
        self.solves = 0
        origins = generator.row_origins
        n = len(generator.c)
        self.n_columns = n
        self.model_columns = generator.model_var_count
        self.names = generator.var_names
        self.a_ub = _csr(generator.A_ub)
        self.b_ub = np.asarray(generator.b_ub, dtype=float)
        self.a_eq = _csr(generator.A_eq)
        self.b_eq = np.asarray(generator.b_eq, dtype=float)
        self.ub_flipped = np.asarray(origins["ub_flipped"], dtype=bool)
        bounds = origins["bounds"]
        self.bound_column = np.asarray(bounds["column"], dtype=np.int64)
        self.bound_lower = np.asarray(bounds["lower"], dtype=float)
        self.bound_upper = np.asarray(bounds["upper"], dtype=float)
        lower, upper = (np.asarray(side, dtype=float) for side in generator.bounds)
        self.declared_lower, self.declared_upper = lower.copy(), upper.copy()
        # A column's declared bounds are those it had before the first row that tightened it.
        columns, first = np.unique(self.bound_column, return_index=True)
        self.declared_lower[columns] = np.asarray(bounds["before_lower"], dtype=float)[first]
        self.declared_upper[columns] = np.asarray(bounds["before_upper"], dtype=float)[first]
        self.integrality = np.asarray(generator.integrality, dtype=np.uint8)
        self._members(origins)

    def _members(self, origins):
        """Member tables: kind, index within its kind, and the two group levels above it."""
        m = self.model_columns
        model_cols = np.arange(m)
        kinds = [
            (UB, np.arange(self.a_ub.shape[0]), np.asarray(origins["ub"], dtype=np.int64)),
            (EQ, np.arange(self.a_eq.shape[0]), np.asarray(origins["eq"], dtype=np.int64)),
            (BOUND, np.arange(len(self.bound_column)), np.asarray(origins["bounds"]["origin"], dtype=np.int64)),
            (DECL_LB, model_cols[np.isfinite(self.declared_lower[:m])], None),
            (DECL_UB, model_cols[np.isfinite(self.declared_upper[:m])], None),
            (INTEGER, model_cols[self.integrality[:m] == 1], None),
        ]
        origin_constraint = np.asarray(origins["origins"]["constraint"], dtype=np.int64)
        family = _families(self, m)
        self.background = {}  # rows of no constraint, kept in every test
        kind_list, index_list, statement_list, instance_list = [], [], [], []
        for kind, index, origin in kinds:
            if origin is not None:
                keep = origin >= 0
                self.background[kind] = index[~keep]
                index, origin = index[keep], origin[keep]
                statement = origin_constraint[origin]
                instance = origin
            else:
                # Declarations and integrality group by variable family, then by column.
                statement = -1 - (kind * (m + 1) + family[index])
                instance = -1 - (kind * (m + 1) + index)
            kind_list.append(np.full(len(index), kind))
            index_list.append(index)
            statement_list.append(statement)
            instance_list.append(instance)
        self.kind = np.concatenate(kind_list).astype(np.int64)
        self.index = np.concatenate(index_list).astype(np.int64)
        self.statement = np.concatenate(statement_list).astype(np.int64)
        self.instance = np.concatenate(instance_list).astype(np.int64)
        self.member_count = len(self.kind)

    # ---- one test ----

    def infeasible(self, active, relaxed):
        """True when the members in `active` admit no point, False when they do, None when the
        solver ran out of time."""
        chosen = {kind: self.index[active & (self.kind == kind)] for kind in range(6)}
        lower, upper = self._bounds(chosen)
        if np.any(lower > upper + 1e-9):
            return True
        integrality = np.zeros(self.n_columns, dtype=np.uint8)
        if not relaxed:
            integrality[self.model_columns:] = self.integrality[self.model_columns:]
            integrality[chosen[INTEGER]] = 1
        integer = integrality == 1
        if np.any(np.ceil(lower[integer] - 1e-9) > np.floor(upper[integer] + 1e-9)):
            return True
        ub_rows = np.concatenate([chosen[UB], self.background[UB]])
        eq_rows = np.concatenate([chosen[EQ], self.background[EQ]])
        a_ub, b_ub, a_eq, b_eq = self.a_ub[ub_rows], self.b_ub[ub_rows], self.a_eq[eq_rows], self.b_eq[eq_rows]
        # Columns in no row only need their bounds, checked above: the solver sees the others.
        used = np.unique(np.concatenate([a_ub.indices, a_eq.indices]))
        if not len(used):
            return bool(np.any(b_ub < -1e-9) or np.any(np.abs(b_eq) > 1e-9))
        return self._solve(a_ub[:, used], b_ub, a_eq[:, used], b_eq, lower[used], upper[used], integrality[used])

    def _bounds(self, chosen):
        """Column bounds from the chosen declarations and bound rows."""
        lower = np.where(self._declared_mask(chosen[DECL_LB]), self.declared_lower, -np.inf)
        upper = np.where(self._declared_mask(chosen[DECL_UB]), self.declared_upper, np.inf)
        bound_rows = np.concatenate([chosen[BOUND], self.background[BOUND]])
        np.maximum.at(lower, self.bound_column[bound_rows], self.bound_lower[bound_rows])
        np.minimum.at(upper, self.bound_column[bound_rows], self.bound_upper[bound_rows])
        return lower, upper

    def _elastic_support(self, members):
        """For an infeasible LP: the rows that a cheapest repair needs to violate, found by one
        solve with a non-negative slack on every row (minimising their sum). The rows with a
        non-zero dual value, with every bound, are infeasible together (the duals are a Farkas
        certificate), and usually few. All members when this does not apply."""
        everything = np.ones(self.member_count, dtype=bool)
        chosen = {kind: self.index[members & (self.kind == kind)] for kind in range(6)}
        if len(chosen[UB]) + len(chosen[EQ]) < _ELASTIC_MIN_ROWS:
            return everything
        lower, upper = self._bounds(chosen)
        a_ub, a_eq = self.a_ub[chosen[UB]], self.a_eq[chosen[EQ]]
        m_ub, m_eq = a_ub.shape[0], a_eq.shape[0]
        eye_ub, eye_eq = identity(m_ub, format="csr"), identity(m_eq, format="csr")
        elastic_ub = hstack([a_ub, -eye_ub, csr_matrix((m_ub, 2 * m_eq))]).tocsr()
        elastic_eq = hstack([a_eq, csr_matrix((m_eq, m_ub)), -eye_eq, eye_eq]).tocsr()
        slacks = m_ub + 2 * m_eq
        cost = np.concatenate([np.zeros(self.n_columns), np.ones(slacks)])
        bounds = np.column_stack((np.concatenate([lower, np.zeros(slacks)]),
                                  np.concatenate([upper, np.full(slacks, np.inf)])))
        self.solves += 1
        result = linprog(cost, A_ub=elastic_ub if m_ub else None, b_ub=self.b_ub[chosen[UB]] if m_ub else None,
                         A_eq=elastic_eq if m_eq else None, b_eq=self.b_eq[chosen[EQ]] if m_eq else None,
                         bounds=bounds, method="highs")
        if result.status != 0 or result.fun <= 1e-7:
            return everything
        support = members & ~np.isin(self.kind, (UB, EQ))
        for kind, rows, duals in ((UB, chosen[UB], result.ineqlin.marginals if m_ub else ()),
                                  (EQ, chosen[EQ], result.eqlin.marginals if m_eq else ())):
            needed = rows[np.abs(np.asarray(duals)) > 1e-9]
            support |= (self.kind == kind) & np.isin(self.index, needed)
        return support if self.infeasible(support, relaxed=True) is True else everything

    def _declared_mask(self, columns):
        mask = np.zeros(self.n_columns, dtype=bool)
        mask[self.model_columns:] = True  # auxiliary columns keep their bounds
        mask[columns] = True
        return mask

    def _solve(self, a_ub, b_ub, a_eq, b_eq, lower, upper, integrality):
        verdict = self._solve_once(a_ub, b_ub, a_eq, b_eq, lower, upper, integrality, {})
        if verdict == "error":
            # HiGHS's presolve fails outright on some restricted models (free columns, no
            # objective) that it solves at once without it.
            verdict = self._solve_once(a_ub, b_ub, a_eq, b_eq, lower, upper, integrality, {"presolve": False})
        return verdict if isinstance(verdict, bool) else None

    def _solve_once(self, a_ub, b_ub, a_eq, b_eq, lower, upper, integrality, options):
        if self.deadline is not None:
            left = self.deadline - time.monotonic()
            if left <= 0:
                return None
            options["time_limit"] = left
        self.solves += 1
        cost = np.zeros(len(lower))
        if integrality.any():
            constraints = []
            if a_ub.shape[0]:
                constraints.append(LinearConstraint(a_ub, -np.inf, b_ub))
            if a_eq.shape[0]:
                constraints.append(LinearConstraint(a_eq, b_eq, b_eq))
            result = milp(cost, integrality=integrality, bounds=Bounds(lower, upper), constraints=constraints,
                          options=options)
        else:
            result = linprog(cost, A_ub=a_ub if a_ub.shape[0] else None, b_ub=b_ub if a_ub.shape[0] else None,
                             A_eq=a_eq if a_eq.shape[0] else None, b_eq=b_eq if a_eq.shape[0] else None,
                             bounds=np.column_stack((lower, upper)), method="highs", options=options)
        if result.status == 2:
            return True
        if result.status == 0:
            return False
        return "error" if result.status == 4 else None

    # ---- the search ----

    def conflict(self):
        """(member ids of a conflicting subset, whether it is proven irreducible)."""
        everything = np.ones(self.member_count, dtype=bool)
        relaxed = self.infeasible(everything, relaxed=True) is True
        if relaxed:
            everything &= self.kind != INTEGER  # the relaxation conflicts without integrality
        self.complete = True
        everything &= self._infeasible_component(everything, relaxed)
        if relaxed:
            everything &= self._elastic_support(everything)
        chosen = np.flatnonzero(everything)
        for level in (self.statement, self.instance, np.arange(self.member_count)):
            groups = [chosen[level[chosen] == key] for key in _unique_in_order(level[chosen])]
            # Small groups first: the bisection tests the first half alone before it looks at the
            # second, so a conflict among small groups is found without solving the big ones.
            groups.sort(key=len)
            kept = self._quickxplain([], groups, relaxed)
            chosen = np.sort(np.concatenate(kept)) if kept else chosen[:0]
        if relaxed and np.any(self.integrality[self.model_columns:]):
            # Irreducible for the relaxation; with the linearisations' binaries integral, a
            # member may turn out to be unnecessary.
            chosen = self._deletion_filter(chosen)
        return chosen, self.complete

    def _infeasible_component(self, members, relaxed):
        """The members of the smallest connected part of the model (rows linked by the columns they
        share) that is infeasible on its own: a conflict never spans two parts. All members when
        the model is one part, or has too many to try each."""
        parts = self._parts()
        labels, sizes = np.unique(parts[members], return_counts=True)
        if len(labels) < 2 or len(labels) > _MAX_PARTS_TRIED:
            return np.ones(self.member_count, dtype=bool)
        for label in labels[np.argsort(sizes, kind="stable")]:
            if self.infeasible(members & (parts == label), relaxed) is True:
                return parts == label
        return np.ones(self.member_count, dtype=bool)

    def _parts(self):
        """The connected part of each member, from the graph of rows and the columns they hold."""
        rows = vstack([self.a_ub, self.a_eq]).tocsr()
        graph = bmat([[None, rows], [rows.T, None]])
        _, labels = connected_components(graph, directed=False)
        n_rows, n_ub = rows.shape[0], self.a_ub.shape[0]
        column_part = labels[n_rows:]
        part = np.empty(self.member_count, dtype=np.int64)
        for kind in range(6):
            here = self.kind == kind
            index = self.index[here]
            if kind == UB:
                part[here] = labels[index]
            elif kind == EQ:
                part[here] = labels[n_ub + index]
            elif kind == BOUND:
                part[here] = column_part[self.bound_column[index]]
            else:
                part[here] = column_part[index]
        return part

    def _test(self, groups, relaxed):
        active = np.zeros(self.member_count, dtype=bool)
        for group in groups:
            active[group] = True
        verdict = self.infeasible(active, relaxed)
        if verdict is None:
            self.complete = False
        return verdict is True

    def _quickxplain(self, background, candidates, relaxed, background_changed=False):
        """A minimal list of `candidates` that conflicts together with `background`."""
        if background_changed and self._test(background, relaxed):
            return []
        if len(candidates) <= 1:
            return list(candidates)
        half = len(candidates) // 2
        first, second = candidates[:half], candidates[half:]
        needed_second = self._quickxplain(background + first, second, relaxed, True)
        needed_first = self._quickxplain(background + needed_second, first, relaxed, bool(needed_second))
        return needed_first + needed_second

    def _deletion_filter(self, chosen):
        kept = list(chosen)
        for member in list(kept):
            rest = [m for m in kept if m != member]
            if self._test([np.array(rest, dtype=np.int64)], relaxed=False):
                kept = rest
        return np.array(kept, dtype=np.int64)


def _unique_in_order(keys):
    _, first = np.unique(keys, return_index=True)
    return keys[np.sort(first)]


def _csr(matrix):
    parts = tuple(np.asarray(matrix[key]) for key in ("data", "indices", "indptr"))
    return csc_matrix(parts, shape=matrix["shape"]).tocsr()


def _families(problem, m):
    """The variable family of each declared column, as a small integer."""
    names = {}
    return np.array([names.setdefault(_family_name(problem.names[col]), len(names)) for col in range(m)],
                    dtype=np.int64) if m else np.zeros(0, dtype=np.int64)


def _family_name(column_name):
    return column_name.split("[", 1)[0]


class _Report:
    """The members of a conflict in the user's terms."""

    def __init__(self, generator, tree, data, mod_lines, dat_text):
        self.origins = generator.row_origins
        self.names = generator.var_names
        self.tree, self.data = tree, data
        self.mod_lines, self.dat_text = list(mod_lines), dat_text
        self.declarations = {d.get("name"): d for d in tree.get("declarations", []) if isinstance(d, dict)}
        self.nodes = _constraint_nodes(tree.get("constraints") or [])

    def describe(self, problem, members):
        entries = {}
        for member in members:
            # A declaration is one entry for all its columns; a constraint one per instance.
            declared = problem.kind[member] in (DECL_LB, DECL_UB, INTEGER)
            key = ("declaration", int(problem.statement[member])) if declared else int(problem.instance[member])
            entry = entries.get(key)
            if entry is None:
                entry = entries[key] = self._entry(problem, member)
            entry["rows"].append(self._row_text(problem, member))
        return sorted(entries.values(), key=lambda entry: entry["line"] or 0)

    def _entry(self, problem, member):
        kind, index = int(problem.kind[member]), int(problem.index[member])
        if kind in (DECL_LB, DECL_UB, INTEGER):
            family = _family_name(self.names[index])
            line = self.declarations.get(family, {}).get("lineno")
            what = "integrality" if kind == INTEGER else "bounds"
            return self._finish({"name": f"{what} of {family} (declaration)", "label": None, "indices": {},
                                 "line": line, "rows": []}, None)
        origin = int(problem.instance[member])
        constraint = self.origins["origins"]["constraint"][origin]
        start, stop = self.origins["origins"]["start"][origin], self.origins["origins"]["start"][origin + 1]
        info = self.origins["constraints"][constraint]
        table = self.origins["origins"]
        values = [table["value_table"][v] for v in table["values"][start:stop]]
        indices = dict(zip(info["iterators"], values))
        name = info["label"]
        if name is None:
            name = f"constraint at line {info['lineno']}"
            if indices:
                name += " for " + ", ".join(f"{k} = {_value_text(v)}" for k, v in indices.items())
        elif info["label_iterators"]:
            name += "[" + ",".join(_value_text(indices.get(i)) for i in info["label_iterators"]) + "]"
        entry = {"name": name, "label": info["label"], "indices": indices, "line": info["lineno"], "rows": []}
        node = self.nodes[constraint] if constraint < len(self.nodes) else None
        if node is not None and node.get("lineno") != info["lineno"]:
            node = None
        return self._finish(entry, node)

    def _finish(self, entry, node):
        line = entry["line"]
        if line and 0 < line <= len(self.mod_lines):
            entry["source"] = self.mod_lines[line - 1].strip()
        entry["data"] = self._data_values(node, entry["indices"]) if node is not None else []
        return entry

    def _row_text(self, problem, member):
        kind, index = int(problem.kind[member]), int(problem.index[member])
        if kind == INTEGER:
            return f"{self.names[index]} integer"
        if kind == DECL_LB:
            return f"{self.names[index]} >= {_number(problem.declared_lower[index])}"
        if kind == DECL_UB:
            return f"{self.names[index]} <= {_number(problem.declared_upper[index])}"
        if kind == BOUND:
            column = self.names[problem.bound_column[index]]
            low, high = problem.bound_lower[index], problem.bound_upper[index]
            if low == high:
                return f"{column} == {_number(low)}"
            return f"{column} >= {_number(low)}" if math.isfinite(low) else f"{column} <= {_number(high)}"
        matrix, rhs = (problem.a_ub, problem.b_ub) if kind == UB else (problem.a_eq, problem.b_eq)
        row = matrix[index]
        sign, sense = (-1.0, ">=") if kind == UB and problem.ub_flipped[index] else (1.0, "<=")
        if kind == EQ:
            sense = "=="
        terms = sorted(zip(row.indices.tolist(), (sign * row.data).tolist()))
        return f"{_linear_text([(self.names[c], v) for c, v in terms])} {sense} {_number(sign * rhs[index])}"

    def _data_values(self, node, indices):
        values, seen = [], set()
        for name, subscripts in _parameter_references(node, self.declarations):
            value, key = self._lookup(name, subscripts, indices)
            text = name + ("" if key is None else "[" + ",".join(_value_text(k) for k in key) + "]")
            if text in seen:
                continue
            seen.add(text)
            shown = f"{text} = {_value_text(value)}" if value is not None else self._whole(name)
            values.append({"name": name, "index": key, "value": value, "text": shown, "dat_line": self._dat_line(name)})
        return values

    def _whole(self, name):
        """A parameter indexed inside the row (by a sum's iterator): all its values when they are
        few."""
        text = json.dumps(self.data.get(name), ensure_ascii=False, default=str)
        return f"{name} = {text}" if len(text) <= _MAX_DATA_CHARS else f"{name} (indexed inside the row)"

    def _lookup(self, name, subscripts, indices):
        """(value, key) of a parameter reference at the instance's indices; value None when a
        subscript is not known at the instance level (a sum's iterator)."""
        value = self.data.get(name)
        if subscripts is None:
            return value, None
        key = []
        for subscript in subscripts:
            if not isinstance(subscript, dict):
                return None, None
            if subscript.get("type") == "name_reference_index" and subscript.get("name") in indices:
                key.append(indices[subscript["name"]])
            elif "value" in subscript and subscript.get("type") != "name_reference_index":
                key.append(subscript["value"])
            else:
                return None, None
        dimensions = self.declarations.get(name, {}).get("dimensions") or []
        for depth, part in enumerate(key):
            if isinstance(value, dict):
                value = value.get(part) if part in value else value.get(tuple(key[depth:]))
                if not isinstance(value, (dict, list)):
                    break
            elif isinstance(value, list) and depth < len(dimensions):
                position = self._position(dimensions[depth], part)
                value = value[position] if position is not None and 0 <= position < len(value) else None
            else:
                return None, key
        return (value if isinstance(value, (int, float, str)) else None), key

    def _position(self, dimension, part):
        elements = self.data.get(dimension.get("name")) if dimension.get("type") == "named_set_dimension" else None
        if isinstance(elements, list) and part in elements:
            return elements.index(part)
        return None

    def _dat_line(self, name):
        if not self.dat_text:
            return None
        found = re.search(r"^[ \t]*" + re.escape(name) + r"\s*=", self.dat_text, re.MULTILINE)
        return self.dat_text.count("\n", 0, found.start()) + 1 if found else None


def _constraint_nodes(nodes):
    """Constraint nodes in the generator's numbering: children before the forall that holds them."""
    out = []

    def visit(node):
        if not isinstance(node, dict):
            return
        if node.get("type") == "forall_constraint":
            if isinstance(node.get("constraint"), dict):
                visit(node["constraint"])
            for child in node.get("constraints") or []:
                visit(child)
        out.append(node)

    for node in nodes:
        visit(node)
    return out


def _parameter_references(node, declarations):
    """(name, subscripts or None) of each data parameter a constraint node mentions."""
    found = []

    def walk(value):
        if isinstance(value, dict):
            kind, name = value.get("type"), value.get("name")
            if kind == "indexed_name" and _is_parameter(declarations.get(name)):
                found.append((name, value.get("dimensions") or []))
            elif kind == "name" and _is_parameter(declarations.get(value.get("value"))):
                found.append((value["value"], None))
            for child in value.values():
                walk(child)
        elif isinstance(value, list):
            for child in value:
                walk(child)

    walk(node)
    return found


def _is_parameter(declaration):
    return isinstance(declaration, dict) and str(declaration.get("type", "")).startswith("parameter")


def _value_text(value):
    if isinstance(value, str):
        return json.dumps(value)
    if isinstance(value, tuple):
        return "<" + ",".join(_value_text(v) for v in value) + ">"
    if isinstance(value, float):
        return _number(value)
    return str(value)


def _number(value):
    value = float(value)
    if math.isfinite(value) and value == int(value) and abs(value) < 1e15:
        return str(int(value))
    return repr(value)


def _linear_text(terms):
    shown = terms[:_MAX_TERMS_SHOWN]
    text = ""
    for name, coef in shown:
        magnitude = abs(coef)
        factor = "" if magnitude == 1 else f"{_number(magnitude)}*"
        if not text:
            text = ("-" if coef < 0 else "") + factor + name
        else:
            text += (" - " if coef < 0 else " + ") + factor + name
    if len(terms) > len(shown):
        text += f" + ... ({len(terms) - len(shown)} more terms)"
    return text or "0"
