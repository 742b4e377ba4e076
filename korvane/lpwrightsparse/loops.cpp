// Loops of foralls and sums, and the equalities of their filters that select elements through an
// index instead of a scan.
//
// A filter such as `a.p == p`, `i == k` or `a.p == p && a.m == m && cost[a] > 0` holds equalities
// between a field of an iterator (or the iterator itself) and values bound before it. Each such
// equality becomes a key of its iterator: the loop evaluates the keys once per visit of that
// level and walks only the matching elements, in the domain's order, and the remaining filter
// is evaluated as before. The index from key values to elements is built once per (set, fields)
// and serves every loop that asks for the same grouping.
#include <algorithm>

#include "model.hpp"

namespace lpsparse {

namespace {

constexpr std::size_t kMaxKeys = 16;

// The operands of a chain of `&&`, in evaluation order.
void conjuncts_of(const Model& m, int e, std::vector<int>& out) {
  RecursionGuard guard(" while planning a filter");
  const Expr& x = m.exprs[e];
  if (x.op != Op::And) return out.push_back(e);
  conjuncts_of(m, x.a, out);
  conjuncts_of(m, x.b, out);
}

// Whether `e` reads one of `slots`, anywhere below it (nested sums included).
bool mentions(const Model& m, int e, const std::vector<int>& slots) {
  RecursionGuard guard(" while planning a filter");
  const Expr& x = m.exprs[e];
  if (x.op == Op::Slot) return std::find(slots.begin(), slots.end(), x.ref) != slots.end();
  for (int child : {x.a, x.b, x.c}) {
    if (child >= 0 && mentions(m, child, slots)) return true;
  }
  for (int child : x.args) {
    if (mentions(m, child, slots)) return true;
  }
  if (x.op == Op::Sum) {
    const Loop& inner = m.loops[x.loop];
    for (const Iter& it : inner.iters) {
      for (int bound : {it.start, it.end}) {
        if (bound >= 0 && mentions(m, bound, slots)) return true;
      }
    }
    if (inner.filter >= 0 && mentions(m, inner.filter, slots)) return true;
  }
  return false;
}

// Conjuncts that never raise an error: skipping the elements an equality rules out before them
// then changes nothing but the time taken.
bool infallible(const Model& m, int e) {
  RecursionGuard guard(" while planning a filter");
  const Expr& x = m.exprs[e];
  switch (x.op) {
    case Op::Const:
    case Op::Slot:
      return true;
    case Op::Cmp:
      return (x.cmp == Cmp::Eq || x.cmp == Cmp::Ne) && infallible(m, x.a) && infallible(m, x.b);
    case Op::And:
    case Op::Or:
      return infallible(m, x.a) && infallible(m, x.b);
    case Op::Not:
      return infallible(m, x.a);
    default:
      return false;
  }
}

// `side` as an iterator of `loop` over a fixed domain (level and field read, "" for the element
// itself), when every later iterator of the loop runs over a fixed domain too: skipping an
// element then skips no evaluation of a later range's bounds.
std::optional<std::pair<std::size_t, std::string>> keyed_side(const Model& m, const Loop& loop, int side) {
  const Expr& x = m.exprs[side];
  int slot = -1;
  std::string field;
  if (x.op == Op::Slot) {
    slot = x.ref;
  } else if (x.op == Op::Field && m.exprs[x.a].op == Op::Slot && !x.text.empty()) {
    slot = m.exprs[x.a].ref;
    field = x.text;
  } else {
    return std::nullopt;
  }
  for (std::size_t k = 0; k < loop.iters.size(); ++k) {
    if (loop.iters[k].slot != slot) continue;
    for (std::size_t later = k; later < loop.iters.size(); ++later) {
      if (!loop.iters[later].fixed) return std::nullopt;
    }
    // Fields of integers fail for every element: the scan reports that.
    if (!field.empty() && loop.iters[k].fixed->set == nullptr) return std::nullopt;
    if (loop.iters[k].key_exprs.size() >= kMaxKeys) return std::nullopt;
    return std::pair{k, field};
  }
  return std::nullopt;
}

// Makes `conjunct` a key of one of the loop's iterators when it is an equality between that
// iterator (or its field) and an expression bound before it.
bool select_by_key(Model& m, Loop& loop, int conjunct) {
  const Expr& x = m.exprs[conjunct];
  if (x.op != Op::Cmp || x.cmp != Cmp::Eq) return false;
  for (auto [side, other] : {std::pair{x.a, x.b}, std::pair{x.b, x.a}}) {
    auto keyed = keyed_side(m, loop, side);
    if (!keyed) continue;
    std::vector<int> unbound;
    for (std::size_t k = keyed->first; k < loop.iters.size(); ++k) unbound.push_back(loop.iters[k].slot);
    if (mentions(m, other, unbound)) continue;
    Iter& it = loop.iters[keyed->first];
    it.key_fields.push_back(std::move(keyed->second));
    it.key_exprs.push_back(other);
    return true;
  }
  return false;
}

}  // namespace

// Splits the filter into the equalities its iterators select by and the residual filter. An
// equality after a conjunct that may fail stays in the residual, so that every error the scan
// would raise is still raised.
void Model::plan_filter(Loop& loop) {
  loop.use = Loop::Use::Scan;
  if (loop.filter < 0) return;
  std::vector<int> conjuncts, rest;
  conjuncts_of(*this, loop.filter, conjuncts);
  bool keys_allowed = true;
  for (int c : conjuncts) {
    if (keys_allowed && select_by_key(*this, loop, c)) continue;
    rest.push_back(c);
    keys_allowed = keys_allowed && infallible(*this, c);
  }
  if (rest.size() == conjuncts.size()) return;
  loop.use = Loop::Use::Unplanned;
  for (int c : rest) {
    if (loop.residual < 0) {
      loop.residual = c;
      continue;
    }
    Expr both;
    both.op = Op::And;
    both.a = loop.residual;
    both.b = c;
    exprs.push_back(std::move(both));
    loop.residual = static_cast<int>(exprs.size()) - 1;
  }
}

int Model::field_position(int tuple_type, const std::string& field) const {
  const std::vector<std::string>& fields = tuple_types[tuple_type].fields;
  auto it = std::find(fields.begin(), fields.end(), field);
  return it == fields.end() ? -1 : static_cast<int>(it - fields.begin());
}

// ---- the index ----

void ElementIndex::add(std::span<const Value> key, std::uint32_t position) {
  auto it = groups_.find(key);
  if (it == groups_.end()) {
    it = groups_.emplace(std::vector<Value>(key.begin(), key.end()), static_cast<std::uint32_t>(groups_.size())).first;
  }
  if (group_of_.size() <= position) group_of_.resize(position + 1, UINT32_MAX);
  group_of_[position] = it->second;
}

void ElementIndex::seal() {
  starts_.assign(groups_.size() + 1, 0);
  for (std::uint32_t g : group_of_) {
    if (g != UINT32_MAX) ++starts_[g + 1];
  }
  for (std::size_t g = 0; g < groups_.size(); ++g) starts_[g + 1] += starts_[g];
  members_.resize(starts_.back());
  std::vector<std::uint32_t> next(starts_.begin(), starts_.end() - 1);
  for (std::size_t position = 0; position < group_of_.size(); ++position) {
    if (group_of_[position] != UINT32_MAX) members_[next[group_of_[position]]++] = static_cast<std::uint32_t>(position);
  }
  group_of_ = {};
}

std::span<const std::uint32_t> ElementIndex::matches(std::span<const Value> key) const {
  auto it = groups_.find(key);
  if (it == groups_.end()) return {};
  return {members_.data() + starts_[it->second], starts_[it->second + 1] - starts_[it->second]};
}

const ElementIndex& Model::element_index(const Domain& d, const std::vector<std::string>& fields) {
  auto& slot = indexes_[{d.set, fields}];
  if (slot) return *slot;
  slot = std::make_unique<ElementIndex>();
  ElementIndex& index = *slot;
  // Field positions per tuple type, resolved once: -2 not yet known, -1 absent.
  std::vector<int> resolved(tuple_types.size() * fields.size(), -2);
  std::vector<Value> key(fields.size());
  for (std::size_t i = 0; i < d.size() && index.complete; ++i) {
    Value v = d.at(i);
    for (std::size_t f = 0; f < fields.size() && index.complete; ++f) {
      if (fields[f].empty()) {
        key[f] = v;
        continue;
      }
      int type = v.kind == Value::Kind::Tup ? interner.type_of(v) : -1;
      if (type < 0) {
        index.complete = false;
        break;
      }
      int& at = resolved[static_cast<std::size_t>(type) * fields.size() + f];
      if (at == -2) at = field_position(type, fields[f]);
      const std::vector<Value>& items = interner.items_of(v);
      if (at < 0 || static_cast<std::size_t>(at) >= items.size()) {
        index.complete = false;
        break;
      }
      key[f] = items[static_cast<std::size_t>(at)];
    }
    if (index.complete) index.add(key, static_cast<std::uint32_t>(i));
  }
  index.seal();
  return index;
}

// On a loop's first run: the indexes its keys need. A domain with an element that lacks a key's
// field makes the whole loop scan, so that the element's error is raised where the scan raises it,
// and so does an empty domain, under which the scan never evaluates the keys' expressions.
void Model::prepare_keys(Loop& loop) {
  loop.use = Loop::Use::Scan;
  for (const Iter& it : loop.iters) {
    if (it.fixed && it.fixed->size() == 0) return;
  }
  loop.use = Loop::Use::Keys;
  for (Iter& it : loop.iters) {
    bool by_field = std::any_of(it.key_fields.begin(), it.key_fields.end(), [](const auto& f) { return !f.empty(); });
    if (!by_field) continue;
    it.index = &element_index(*it.fixed, it.key_fields);
    if (!it.index->complete) {
      loop.use = Loop::Use::Scan;
      return;
    }
  }
}

// ---- running a loop ----

void Model::bind(int slot, const Domain& d, std::size_t position) {
  slots[slot] = d.at(position);
  slot_domain_[slot] = &d;
  slot_pos_[slot] = static_cast<std::uint32_t>(position);
}

// A value for a slot bound outside for_each (data computed by the front end): no position is
// remembered for it, so a subscript by it is looked up.
void Model::assign_slot(int slot, const Value& v) {
  auto n = static_cast<std::size_t>(std::max(slot_count, slot + 1));
  if (slots.size() < n) slots.resize(n);
  slots[slot] = v;
  if (static_cast<std::size_t>(slot) < slot_domain_.size()) slot_domain_[slot] = nullptr;
}

long long Model::position_in(const Domain& d, int subscript) {
  const Expr& x = exprs[subscript];
  if (x.op == Op::Slot && static_cast<std::size_t>(x.ref) < slot_domain_.size()) {
    const Domain* bound = slot_domain_[x.ref];
    if (bound != nullptr && bound->same_as(d)) {
      return slot_pos_[x.ref];
    }
  }
  return d.position(eval(subscript));
}

void Model::prepare_slots() {
  if (slot_domain_.size() < static_cast<std::size_t>(slot_count)) {
    slots.resize(std::max(slots.size(), static_cast<std::size_t>(slot_count)));
    slot_domain_.resize(static_cast<std::size_t>(slot_count), nullptr);
    slot_pos_.resize(static_cast<std::size_t>(slot_count), 0);
  }
}

template <class Body>
void Model::each_level(Loop& loop, std::size_t level, Body& body) {
  if (level == loop.iters.size()) {
    int filter = loop.use == Loop::Use::Keys ? loop.residual : loop.filter;
    if (filter < 0 || truth(filter)) body();
    return;
  }
  const Iter& it = loop.iters[level];
  if (!it.fixed) {
    long long first = loop_bound(it.start);
    long long last = loop_bound(it.end);
    if (last >= first) count_iterations(static_cast<std::size_t>(last - first) + 1);
    slot_domain_[it.slot] = nullptr;
    for (long long v = first; v <= last; ++v) {
      slots[it.slot] = Value::integer(v);
      each_level(loop, level + 1, body);
    }
    return;
  }
  const Domain& d = *it.fixed;
  std::size_t n = d.size();
  if (loop.use != Loop::Use::Keys || it.key_exprs.empty() || n == 0) {
    count_iterations(n);
    for (std::size_t i = 0; i < n; ++i) {
      bind(it.slot, d, i);
      each_level(loop, level + 1, body);
    }
    return;
  }
  Value key[kMaxKeys];
  std::size_t keys = it.key_exprs.size();
  for (std::size_t j = 0; j < keys; ++j) key[j] = eval(it.key_exprs[j]);
  if (it.index == nullptr) {  // every key is the element itself: at most one element matches
    long long p = d.position(key[0]);
    if (p < 0 || !std::all_of(key + 1, key + keys, [&](const Value& v) { return v == key[0]; })) return;
    bind(it.slot, d, static_cast<std::size_t>(p));
    each_level(loop, level + 1, body);
    return;
  }
  std::span<const std::uint32_t> matches = it.index->matches({key, keys});
  count_iterations(matches.size());
  for (std::uint32_t p : matches) {
    bind(it.slot, d, p);
    each_level(loop, level + 1, body);
  }
}

void Model::for_each(int loop_index, const std::function<void()>& body) {
  prepare_slots();
  Loop& loop = loops[loop_index];
  if (loop.use == Loop::Use::Unplanned) prepare_keys(loop);
  // A scan visits every combination before its filter can drop one; a keyed loop visits matches only.
  if (loop.use == Loop::Use::Scan && loop.iters.size() > 1) check_loop_size(loop);
  each_level(loop, 0, body);
}

// for_each(loop, [&] { lin(body, scale, out); }) with the body's plan run in place.
void Model::for_each_term(int loop_index, TermPlan& body_plan, double scale, LinExpr& out) {
  prepare_slots();
  Loop& loop = loops[loop_index];
  if (loop.use == Loop::Use::Unplanned) prepare_keys(loop);
  if (loop.use == Loop::Use::Scan && loop.iters.size() > 1) check_loop_size(loop);
  if (add_affine_terms(loop, body_plan, scale, out)) return;
  auto body = [&] { add_terms(body_plan, scale, out); };
  each_level(loop, 0, body);
}

}  // namespace lpsparse
