// Loops of the generated script: their headers, the iterables of named ranges and sets, and the
// record of which loops are open at the line being written.
//
// A loop variable of the script is bound only inside the loop that binds it. While the lines of a
// loop body are written, the loop is recorded as open in the instance attribute
// _open_loop_frames: a tuple of frames, innermost last, each a pair (serial, loop variable names).
// Translation relies on it twice: an iterator whose loop is open is a current loop variable, used
// as it is and never looped over again (a nested loop over it would rebind it for the rest of the
// enclosing body); and auxiliaries built inside open loops may only be read again while those
// same loops are still open (the same frames, not merely loops over the same names).
#pragma once

#include "generator.hpp"

namespace mipwright {

// The text of a str, refusing other objects as Python's "..." + s would.
inline std::string str_text(Handle s) {
  return std::string(utf8(s));
}

inline Ref open_loop_frames(const Gen& g) {
  Ref none_open = check(PyTuple_New(0));
  return getattr(g.self(), K::open_loop_frames, none_open);
}

inline bool is_open_loop(const Gen& g, Handle name) {
  for (Ref& frame : Iterate(open_loop_frames(g))) {
    if (contains(item(frame, 1), name)) return true;
  }
  return false;
}

// True while every loop that was open when `recorded` was read from open_loop_frames is open.
inline bool loops_still_open(const Gen& g, Handle recorded) {
  Ref current = open_loop_frames(g);
  Py_ssize_t n = len(recorded);
  if (len(current) < n) return false;
  Ref prefix = check(PySequence_GetSlice(current.get(), 0, n));
  return eq(prefix, recorded);
}

// Runs `body` (which writes the body of loops over `names`) with those loops recorded as open.
template <class Body>
auto with_open_loops(const Gen& g, Handle names, Body&& body) -> decltype(body()) {
  Ref frames = open_loop_frames(g);
  Ref zero = py_int(0);
  Ref one = py_int(1);
  Ref serial = check(PyNumber_Add(getattr(g.self(), K::loop_frame_counter, zero).get(), one.get()));
  g.set(K::loop_frame_counter, serial);
  Ref frame = tuple_of(serial, as_tuple(names));
  Ref opened = check(PySequence_Concat(frames.get(), tuple_of(frame).get()));
  return with_attr_restored(g, K::open_loop_frames, frames, [&] {
    g.set(K::open_loop_frames, opened);
    return body();
  });
}

// A new map of _active_iterator_ranges (iterator to range text) extended with loops over `names`
// in `ranges`.
inline Ref ranges_inside(Handle active_ranges, Handle names, Handle ranges) {
  Ref inside = dict_copy(active_ranges);
  Py_ssize_t n = len(names);
  for (Py_ssize_t i = 0; i < n; ++i) set_item(inside, item(names, i), item(ranges, i));
  return inside;
}

// The entries of `ranges` (iterator to range text) for the iterators in `kept`.
inline Ref ranges_of(Handle ranges, Handle kept) {
  Ref out = new_dict();
  for (Ref& pair : Iterate(call_method(ranges, K::items))) {
    if (contains(kept, item(pair, 0))) set_item(out, item(pair, 0), item(pair, 1));
  }
  return out;
}

// The header line of a loop over `names` in `ranges`, both lists of str; several names loop over
// the product of their ranges, and the import that needs is written first, where the loop is.
inline std::string loop_header(const Gen& g, Handle names, Handle ranges) {
  if (len(names) == 1) return "for " + str_text(item(names, 0)) + " in " + str_text(item(ranges, 0)) + ":";
  g.emit("import itertools  # needed for multi-index forall");
  return "for " + str_text(join_str(", ", names)) + " in itertools.product(" + str_text(join_str(", ", ranges)) + "):";
}

// Opens script loops over `names` in `ranges`, runs `body` inside them and closes them.
template <class Body>
void in_script_loops(const Gen& g, Handle names, Handle ranges, Body&& body) {
  g.emit(loop_header(g, names, ranges));
  g.indent(1);
  with_open_loops(g, names, body);
  g.indent(-1);
}

// The iterable text of a range node that names a declared range or set (a named range may also
// name a set); nothing for the other range types.
inline std::optional<std::string> named_iterable(const Gen& g, Handle rng, Handle iterators) {
  Ref type = item(rng, K::type);
  bool range_or_set = str_is(type, "named_range");
  if (!range_or_set && !str_in(type, {"named_set", "named_set_dimension"})) return std::nullopt;
  Ref name = item(rng, K::name);
  if (range_or_set) {
    std::optional<Ref> range = catching(g.global(K::SemanticError), [&] {
      return call_method(g.self(), K::emit_range_from_declaration, name, iterators, Py_True);
    });
    if (range) return text(*range);
  }
  Ref set_name = call_method(g.self(), K::emit_set_name_if_declared, name);
  if (truthy(set_name)) return text(set_name);
  if (range_or_set) raise(PyExc_ValueError, "Range or set '" + text(name) + "' not found in declarations.");
  raise(PyExc_ValueError, "Set '" + text(name) + "' not found in declarations.");
}

}  // namespace mipwright
