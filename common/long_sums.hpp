// Long explicit sums, regrouped. A parser reads x1 + x2 + ... + xn as a left-deep chain n - 1
// levels deep: every recursive walk over it, and the fully parenthesised text a generator writes
// for it, would pass the interpreter's recursion limit and Python's limit of nested parentheses
// long before n reaches the thousands. Regrouped as a balanced tree, the same sum is about
// log2(n) levels deep.
#pragma once

#include <unordered_map>
#include <utility>
#include <vector>

#include "access.hpp"
#include "tree_keys.hpp"

namespace kv {

namespace detail {

inline bool is_additive(Handle node) {
  if (!PyDict_CheckExact(node.get())) return false;
  Ref type = get(node, tree::type), op = get(node, tree::op);
  return PyUnicode_Check(type.get()) && PyUnicode_CompareWithASCIIString(type.get(), "binop") == 0 &&
         PyUnicode_Check(op.get()) &&
         (PyUnicode_CompareWithASCIIString(op.get(), "+") == 0 || PyUnicode_CompareWithASCIIString(op.get(), "-") == 0);
}

inline Ref sum_node(bool subtract, Handle left, Handle right) {
  Ref node = new_dict();
  set_item(node, tree::type, tree::binop);
  set_item(node, tree::op, py_str(subtract ? "-" : "+"));
  set_item(node, tree::left, left);
  set_item(node, tree::right, right);
  return node;
}

// Terms (negated, node) grouped pairwise, level by level: (-a) + (-b) is -(a + b), (-a) + b is
// -(a - b), and so on; the first term is never negated.
inline Ref balanced_sum(std::vector<std::pair<bool, Ref>> terms) {
  while (terms.size() > 1) {
    std::vector<std::pair<bool, Ref>> grouped;
    for (std::size_t i = 0; i < terms.size(); i += 2) {
      if (i + 1 == terms.size()) {
        grouped.push_back(std::move(terms[i]));
        continue;
      }
      auto& [left_negated, left] = terms[i];
      auto& [right_negated, right] = terms[i + 1];
      grouped.emplace_back(left_negated, sum_node(left_negated != right_negated, left, right));
    }
    terms = std::move(grouped);
  }
  return std::move(terms.front().second);
}

}  // namespace detail

// Replaces, in a tree of exact dicts and lists without cycles, every chain of more than `longest` terms joined by
// binop "+" and "-" nodes down their left operands with a balanced tree of the same sum. Walks
// with its own stack, so a chain of any length is regrouped without recursion.
inline void regroup_long_sums(Handle root, std::size_t longest) {
  std::vector<Ref> pending;
  pending.push_back(Ref::borrow(root));
  // The chain that starts at `head`: its regrouped form when long; its terms go on the stack.
  auto chain = [&](Handle head) -> Ref {
    std::vector<Ref> spine;  // outermost first
    Ref link = Ref::borrow(head);
    while (detail::is_additive(link)) {
      spine.push_back(link.copy());
      link = item(link, tree::left);
    }
    pending.push_back(link.copy());
    for (const Ref& node : spine) pending.push_back(item(node, tree::right));
    if (spine.size() < longest) return Ref::borrow(head);
    std::vector<std::pair<bool, Ref>> terms;
    terms.emplace_back(false, std::move(link));
    for (auto it = spine.rbegin(); it != spine.rend(); ++it) {
      Ref op = item(*it, tree::op);
      terms.emplace_back(PyUnicode_CompareWithASCIIString(op.get(), "-") == 0, item(*it, tree::right));
    }
    return detail::balanced_sum(std::move(terms));
  };
  std::unordered_map<PyObject*, Ref> visited;  // shared parts are walked once (and held meanwhile)
  while (!pending.empty()) {
    Ref container = std::move(pending.back());
    pending.pop_back();
    if (!PyList_CheckExact(container.get()) && !PyDict_CheckExact(container.get())) continue;
    if (!visited.try_emplace(container.get(), container.copy()).second) continue;
    if (PyList_CheckExact(container.get())) {
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(container.get()); ++i) {
        Ref child = Ref::borrow(PyList_GET_ITEM(container.get(), i));
        if (!detail::is_additive(child)) {
          pending.push_back(std::move(child));
          continue;
        }
        Ref regrouped = chain(child);
        if (regrouped.get() != child.get()) check_status(PyList_SetItem(container.get(), i, regrouped.release()));
      }
    } else if (PyDict_CheckExact(container.get())) {
      Ref items = check(PyDict_Items(container.get()));  // a snapshot: values are replaced while walking
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        Ref key = Ref::borrow(PyTuple_GET_ITEM(pair, 0)), child = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
        if (!detail::is_additive(child)) {
          pending.push_back(std::move(child));
          continue;
        }
        Ref regrouped = chain(child);
        if (regrouped.get() != child.get()) set_item(container, key, regrouped);
      }
    }
  }
}

}  // namespace kv
