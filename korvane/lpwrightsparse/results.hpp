// The generator's results after a build: the attributes made at once, those made on first read
// from the model the generator keeps until then, and the model's arrays for the script.
#pragma once

#include <algorithm>

#include "model.hpp"

namespace lpsparse {

// Names of the generator's class, module globals and attributes.
inline Key kSciPyCSCCodeGenerator{"SciPyCSCCodeGenerator"};
inline Key kArrayModule{"array"};
inline Key kVarNames{"var_names"};
inline Key kColumnNames{"_column_names"};
inline Key kBounds{"bounds"};
inline Key kC{"c"};
inline Key kIntegrality{"integrality"};
inline Key kAUb{"A_ub"};
inline Key kBUb{"b_ub"};
inline Key kAEq{"A_eq"};
inline Key kBEq{"b_eq"};
inline Key kObjectiveSense{"objective_sense"};
inline Key kObjectiveConstant{"objective_constant"};
inline Key kModelVarCount{"model_var_count"};
inline Key kData{"data"};
inline Key kIndices{"indices"};
inline Key kIndptr{"indptr"};
inline Key kShape{"shape"};

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

// The rows, stored row by row as they were generated, transposed into compressed columns by a
// counting sort (row indices come out sorted within each column): the column pointers into
// `indptr` (columns + 1 of them), the row of each entry into `indices`, and put(position, k) for
// the entry k of the rows (in row order) that lands at `position`.
template <class Put>
void transpose(const RowStore& rows, std::size_t columns, std::int32_t* indptr, std::int32_t* indices, Put put) {
  std::fill(indptr, indptr + columns + 1, 0);
  for (std::int32_t col : rows.idx) ++indptr[col + 1];
  for (std::size_t j = 0; j < columns; ++j) indptr[j + 1] += indptr[j];
  std::vector<std::int32_t> next(indptr, indptr + columns);
  for (std::size_t r = 0; r < rows.rows(); ++r) {
    for (auto k = rows.ptr[r]; k < rows.ptr[r + 1]; ++k) {
      std::int32_t pos = next[rows.idx[k]]++;
      indices[pos] = static_cast<std::int32_t>(r);
      put(pos, k);
    }
  }
}

// Stores what the generator shows after a build; keeps `m` for the attributes made on first read.
void store_results(Handle self, std::unique_ptr<Model> m);

// The model behind the attribute `name` of `self` while that attribute is still unread and
// nothing stands in for it (set on the instance, deleted, or defined by a subclass), else
// nullptr. `keep` holds the model alive while the caller reads it.
const Model* unread(Handle self, Handle name, Ref& keep);

// __getattr__, __delattr__ and __reduce_ex__ of the generator.
Ref lazy_attribute(const Call& c);
Ref delete_attribute(const Call& c);
Ref reduce_ex(const Call& c);

}  // namespace lpsparse
