// Access to the model tree shared by every concern: the declaration lookup.
#include "generator.hpp"

namespace mipwright {
namespace {

// The first declaration named `name` (and, when `types` is given, of one of those types).
Ref find_declaration_by_name(const Call& c) {
  auto [self, name, types] =
      c.bind(Params<3>{"GurobiCodeGenerator._find_declaration_by_name", {"self", "name", "types"}, 2});
  Gen g(c.module, self);
  Ref empty = new_list();
  for (Ref& decl : Iterate(get(g.attr(K::ast), K::declarations, empty))) {
    if (!eq(get(decl, K::name), name)) continue;
    if (types == nullptr || is_none(types) || contains(types, get(decl, K::type))) return std::move(decl);
  }
  return none();
}

PyMethodDef kMethods[] = {
    KV_FUNCTION("_find_declaration_by_name", find_declaration_by_name, nullptr),
};

}  // namespace

std::span<PyMethodDef> tree_methods{kMethods};

}  // namespace mipwright
