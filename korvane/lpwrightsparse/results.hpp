// The generator's results after a build: the attributes made at once, those made on first read
// from the model the generator keeps until then, and the model's arrays for the script.
#pragma once

#include "model.hpp"

namespace lpsparse {

// A block of `count` elements left uninitialised (every element is written before it is read),
// on huge pages when large.
template <class T>
class Buffer {
 public:
  explicit Buffer(std::size_t count) : count_(count), data_(count ? BigAllocator<T>().allocate(count) : nullptr) {}
  ~Buffer() {
    if (data_ != nullptr) BigAllocator<T>().deallocate(data_, count_);
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  T* data() { return data_; }
  std::string_view bytes() const { return {reinterpret_cast<const char*>(data_), count_ * sizeof(T)}; }

 private:
  std::size_t count_;
  T* data_;
};

// The rows of `rows` as compressed columns.
struct Columns {
  explicit Columns(const RowStore& rows, std::size_t columns);
  Buffer<double> data;
  Buffer<std::int32_t> indices, indptr;
};

// Stores what the generator shows after a build; keeps `m` for the attributes made on first read.
void store_results(PyObject* module, Handle self, std::unique_ptr<Model> m);

// The model behind the attribute `name` of `self` while that attribute is still unread and
// nothing stands in for it (set on the instance, deleted, or defined by a subclass), else
// nullptr. `keep` holds the model alive while the caller reads it.
const Model* unread(Handle self, Handle name, Ref& keep);

// __getattr__, __delattr__ and __reduce_ex__ of the generator.
Ref lazy_attribute(const Call& c);
Ref delete_attribute(const Call& c);
Ref reduce_ex(const Call& c);

}  // namespace lpsparse
