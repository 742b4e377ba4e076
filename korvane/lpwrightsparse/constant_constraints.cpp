// Constraints without decision variables. Their truth is known as soon as the data is: one that
// holds constrains nothing and is dropped; one that fails makes the model impossible whatever the
// solver does, and the user hears which constraint it is instead of reading INFEASIBLE.
#include "model.hpp"

namespace lpsparse {
namespace {

const char* symbol(Cmp op) {
  switch (op) {
    case Cmp::Eq: return "==";
    case Cmp::Ne: return "!=";
    case Cmp::Le: return "<=";
    case Cmp::Ge: return ">=";
    case Cmp::Lt: return "<";
    case Cmp::Gt: return ">";
  }
  return "?";
}

// As the script's Python orders the two numbers.
bool compare(double l, Cmp op, double r) {
  switch (op) {
    case Cmp::Le: return l <= r;
    case Cmp::Ge: return l >= r;
    case Cmp::Lt: return l < r;
    case Cmp::Gt: return l > r;
    default: return false;
  }
}

}  // namespace

bool Model::is_constant_constraint(const Constraint& k) const {
  return (k.kind == CKind::Compare || k.kind == CKind::NotEqual) && !exprs[k.left].has_var && !exprs[k.right].has_var;
}

void Model::check_constant_constraint(const Constraint& k) {
  Cmp op = k.kind == CKind::NotEqual ? Cmp::Ne : k.cmp;
  bool equality = op == Cmp::Eq || op == Cmp::Ne;
  // Equalities compare any values (strings too); orderings need numbers.
  Value left = equality ? eval(k.left) : numeric(k.left);
  Value right = equality ? eval(k.right) : numeric(k.right);
  bool holds = equality ? (left == right) == (op == Cmp::Eq) : compare(left.num, op, right.num);
  if (holds) return;
  fail(site_text() + " can never hold: it has no decision variables, and " + value_text(left) + " " + symbol(op) +
       " " + value_text(right) + " is false");
}

}  // namespace lpsparse
