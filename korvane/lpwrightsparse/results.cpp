// The generator's attributes after a build. The large ones (bounds, c, integrality, the matrices,
// the right-hand sides, row_origins) are made when first read, from the model the generator keeps
// until then: a script written straight after the build encodes the model's own vectors, and a
// caller that never reads an array never pays for a Python copy of it. Once every one of them has
// been read (or deleted, or the generator is copied or pickled) the model is let go.
#include "results.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace lpsparse {

namespace {

Key kBuilt{"_built"};
Key kVarIndices{"var_indices"};
Key kRowOrigins{"row_origins"};
Key kTupleTypes{"tuple_types"};
Key kGetattr{"__getattr__"};
Key kGetattribute{"__getattribute__"};
Key kDelattr{"__delattr__"};
Key kReduceEx{"__reduce_ex__"};

constexpr const char* kCapsuleName = "korvane.lpwrightsparse.built";

// A new array.array of `count` elements whose buffer C++ code fills in place.
class ArrayBuffer {
 public:
  ArrayBuffer(PyObject* module, const char* typecode, std::size_t count) {
    Ref array_type = attr(global(module, kArrayModule), "array");
    Ref one = call(array_type, py_str(typecode), check(Py_BuildValue("[i]", 0)));
    array_ = check(PySequence_Repeat(one.get(), static_cast<Py_ssize_t>(count)));
    check_status(PyObject_GetBuffer(array_.get(), &view_, PyBUF_WRITABLE));
  }
  ~ArrayBuffer() { PyBuffer_Release(&view_); }
  ArrayBuffer(const ArrayBuffer&) = delete;
  ArrayBuffer& operator=(const ArrayBuffer&) = delete;

  template <class T>
  T* data() {
    return static_cast<T*>(view_.buf);
  }
  Ref release() {
    PyBuffer_Release(&view_);
    view_.obj = nullptr;
    return std::move(array_);
  }

 private:
  Ref array_;
  Py_buffer view_{};
};

template <class T>
Ref array_of(PyObject* module, const char* typecode, const BigVector<T>& v) {
  ArrayBuffer out(module, typecode, v.size());
  if (!v.empty()) std::memcpy(out.data<T>(), v.data(), v.size() * sizeof(T));
  return out.release();
}

// {"data": array('d'), "indices": array('i'), "indptr": array('i'), "shape": (rows, columns)}
Ref matrix(PyObject* module, const RowStore& rows, std::size_t columns) {
  std::size_t nnz = rows.idx.size();
  ArrayBuffer indptr(module, "i", columns + 1), data(module, "d", nnz), indices(module, "i", nnz);
  auto* values = data.data<double>();
  transpose(rows, columns, indptr.data<std::int32_t>(), indices.data<std::int32_t>(),
            [&](std::int32_t pos, std::int64_t k) { values[pos] = rows.val[static_cast<std::size_t>(k)]; });
  Ref d = new_dict();
  set_item(d, kData, data.release());
  set_item(d, kIndices, indices.release());
  set_item(d, kIndptr, indptr.release());
  set_item(d, kShape, tuple_of(py_int(static_cast<long long>(rows.rows())), py_int(static_cast<long long>(columns))));
  return d;
}

struct LazyAttribute {
  Key* name;
  Ref (*make)(PyObject* module, const Model& m);
};

const LazyAttribute kLazy[] = {
    {&kBounds, [](PyObject* module, const Model& m) { return tuple_of(array_of(module, "d", m.lb), array_of(module, "d", m.ub)); }},
    {&kC, [](PyObject* module, const Model& m) { return array_of(module, "d", m.cost); }},
    {&kIntegrality, [](PyObject* module, const Model& m) { return array_of(module, "B", m.integral); }},
    {&kAUb, [](PyObject* module, const Model& m) { return matrix(module, m.ub_rows, m.column_names.size()); }},
    {&kBUb, [](PyObject* module, const Model& m) { return array_of(module, "d", m.ub_rows.rhs); }},
    {&kAEq, [](PyObject* module, const Model& m) { return matrix(module, m.eq_rows, m.column_names.size()); }},
    {&kBEq, [](PyObject* module, const Model& m) { return array_of(module, "d", m.eq_rows.rhs); }},
    {&kRowOrigins, [](PyObject* module, const Model& m) { return row_origins(module, m); }},
    // The names separated by NUL bytes, from which var_names and var_indices are made.
    {&kColumnNames, [](PyObject*, const Model& m) {
       std::string_view joined = m.column_names.joined();
       return check(PyBytes_FromStringAndSize(joined.data(), static_cast<Py_ssize_t>(joined.size())));
     }},
};
constexpr std::size_t kLazyCount = std::size(kLazy);

// The model of the last build and which of the lazy attributes have not been made yet.
struct Built {
  std::unique_ptr<Model> model;
  bool pending[kLazyCount];
};

void destroy_built(PyObject* capsule) {
  delete static_cast<Built*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

Built* built_of(Handle capsule) {
  if (!PyCapsule_IsValid(capsule, kCapsuleName)) return nullptr;
  return static_cast<Built*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

int lazy_index(Handle name) {
  for (std::size_t i = 0; i < kLazyCount; ++i) {
    if (eq(name, *kLazy[i].name)) return static_cast<int>(i);
  }
  return -1;
}

Ref instance_dict(Handle self) {
  return check(PyObject_GenericGetDict(self, nullptr));
}

// Lets the model go once nothing is left to make from it.
void drop_if_done(Handle dict, const Built& b) {
  if (std::none_of(std::begin(b.pending), std::end(b.pending), [](bool p) { return p; })) {
    check_status(PyDict_DelItem(dict.get(), kBuilt.get()));
  }
}

// The lazy attribute `name` of `self` while it is still to be made.
struct Lookup {
  Lookup(Handle self, Handle name)
      : dict(instance_dict(self)), capsule(get(dict, kBuilt)), built(built_of(capsule)), index(lazy_index(name)) {}
  explicit operator bool() const { return built != nullptr && index >= 0 && built->pending[index]; }
  // It is made or deleted: nothing more to make of it.
  void forget() {
    built->pending[index] = false;
    drop_if_done(dict, *built);
  }

  Ref dict, capsule;
  Built* built;
  int index;
};

// Whether the type of `self` reads attributes as this module's class does: no subclass defines
// `name` or its own attribute lookup.
bool plain_lookup(Handle self, Handle name) {
  PyTypeObject* type = Py_TYPE(self.get());
  if (_PyType_Lookup(type, name.get()) != nullptr) return false;
  if (_PyType_Lookup(type, kGetattribute.get()) != _PyType_Lookup(&PyBaseObject_Type, kGetattribute.get())) return false;
  PyObject* getattr = _PyType_Lookup(type, kGetattr.get());
  if (getattr == nullptr || !PyInstanceMethod_Check(getattr)) return false;
  PyObject* function = PyInstanceMethod_GET_FUNCTION(getattr);
  return PyCFunction_Check(function) &&
         PyCFunction_GET_FUNCTION(function) == reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&kv::entry<lazy_attribute>));
}

Ref parent_of(const Call& c, Handle self) {
  return call(reinterpret_cast<PyObject*>(&PySuper_Type), global(c.module, kSciPyCSCCodeGenerator), self);
}

// var_names and var_indices of a built model, made on first read from the NUL-separated names:
// half a million name objects and their dictionary would otherwise cost more than the whole
// instantiation, for callers that never read them.
Ref names_attribute(Handle self, Handle name, Handle dict) {
  bool names = eq(name, kVarNames) || eq(name, kVarIndices);
  Ref joined = names ? getattr(self, kColumnNames, Py_None) : none();
  if (!names || !PyBytes_Check(joined.get())) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", Py_TYPE(self.get())->tp_name, name.get());
    throw PyErrorSet{};
  }
  char* data = PyBytes_AS_STRING(joined.get());
  Py_ssize_t size = PyBytes_GET_SIZE(joined.get());
  Ref list = new_list();
  Ref indices = new_dict();
  for (Py_ssize_t begin = 0, index = 0; size > 0 && begin <= size; ++index) {
    const char* end = static_cast<const char*>(std::memchr(data + begin, '\0', static_cast<std::size_t>(size - begin)));
    Py_ssize_t stop = end == nullptr ? size : end - data;
    Ref text = check(PyUnicode_DecodeUTF8(data + begin, stop - begin, "strict"));
    append(list, text);
    set_item(indices, text, py_int(index));
    begin = stop + 1;
  }
  set_item(dict, kVarNames, list);
  set_item(dict, kVarIndices, indices);
  return eq(name, kVarNames) ? std::move(list) : std::move(indices);
}

}  // namespace

void store_results(Handle self, std::unique_ptr<Model> m) {
  Ref dict = instance_dict(self);
  for (Key* key : {&kVarNames, &kVarIndices}) {
    if (contains(dict, *key)) check_status(PyDict_DelItem(dict.get(), key->get()));
  }
  for (const LazyAttribute& lazy : kLazy) {
    if (contains(dict, *lazy.name)) check_status(PyDict_DelItem(dict.get(), lazy.name->get()));
  }
  setattr(self, kObjectiveSense, py_str(m->maximize ? "maximize" : "minimize"));
  setattr(self, kObjectiveConstant, py_float(m->objective_constant));
  setattr(self, kModelVarCount, py_int(static_cast<long long>(m->model_columns)));
  Ref types = new_dict();
  for (const TupleType& t : m->tuple_types) {
    Ref fields = new_list();
    for (const std::string& f : t.fields) append(fields, py_str(f));
    set_item(types, py_str(t.name), fields);
  }
  setattr(self, kTupleTypes, types);
  auto built = std::make_unique<Built>();
  built->model = std::move(m);
  std::fill(std::begin(built->pending), std::end(built->pending), true);
  Ref capsule = check(PyCapsule_New(built.get(), kCapsuleName, destroy_built));
  built.release();
  set_item(dict, kBuilt, capsule);
}

const Model* unread(Handle self, Handle name, Ref& keep) {
  if constexpr (std::endian::native != std::endian::little) return nullptr;  // the script wants little-endian bytes
  Lookup found(self, name);
  if (!found || contains(found.dict, name) || !plain_lookup(self, name)) return nullptr;
  keep = std::move(found.capsule);
  return found.built->model.get();
}

Ref lazy_attribute(const Call& c) {
  auto [self, name] = c.bind(Params<2>{"SciPyCSCCodeGenerator.__getattr__", {"self", "name"}, 2});
  Lookup found(self, name);
  if (!found) return names_attribute(self, name, found.dict);
  Ref value = kLazy[found.index].make(c.module, *found.built->model);
  set_item(found.dict, name, value);
  found.forget();
  return value;
}

// Deleting an attribute not made yet only forgets it.
Ref delete_attribute(const Call& c) {
  auto [self, name] = c.bind(Params<2>{"SciPyCSCCodeGenerator.__delattr__", {"self", "name"}, 2});
  Lookup found(self, name);
  if (!found) return call_method(parent_of(c, self), kDelattr, name);
  if (contains(found.dict, name)) check_status(PyDict_DelItem(found.dict.get(), name));
  found.forget();
  return none();
}

// Copies and pickles see every attribute made, and no model.
Ref reduce_ex(const Call& c) {
  auto [self, protocol] = c.bind(Params<2>{"SciPyCSCCodeGenerator.__reduce_ex__", {"self", "protocol"}, 2});
  Ref dict = instance_dict(self);
  Ref capsule = get(dict, kBuilt);
  if (Built* b = built_of(capsule)) {
    for (std::size_t i = 0; i < kLazyCount; ++i) {
      if (b->pending[i] && !contains(dict, *kLazy[i].name)) set_item(dict, *kLazy[i].name, kLazy[i].make(c.module, *b->model));
      b->pending[i] = false;
    }
    drop_if_done(dict, *b);
  }
  return call_method(parent_of(c, self), kReduceEx, protocol);
}

}  // namespace lpsparse
