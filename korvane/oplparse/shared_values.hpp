// Objects shared by the values of one .dat file. Data repeats itself: the same names (plants,
// markets, cities) appear in every arc that mentions them. Reading each distinct name into one
// str object that every occurrence refers to saves an allocation and a copy per occurrence and
// keeps the data compact for the stages that walk it afterwards.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/prefault.hpp"
#include "common/ref.hpp"

namespace oplparse {

// A 64-bit hash of a short byte string: eight bytes at a time, each folded in with a multiply.
inline std::uint64_t text_hash(std::string_view text) {
  constexpr std::uint64_t kMultiplier = 0x9e3779b97f4a7c15ULL;
  std::uint64_t h = text.size() * kMultiplier;
  const char* p = text.data();
  std::size_t left = text.size();
  for (; left >= 8; p += 8, left -= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, 8);
    h = (h ^ word) * kMultiplier;
    h ^= h >> 32;
  }
  if (left > 0) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, left);
    h = (h ^ word) * kMultiplier;
    h ^= h >> 32;
  }
  return h * kMultiplier ^ (h >> 29);
}

// ASCII str objects by their text: one object per distinct text, in an open-addressing table
// whose slots hold the text's hash and the object (the object's own bytes are the key).
class SharedStrings {
 public:
  // A new reference to the str of `text`, which must be ASCII.
  kv::Ref get(std::string_view text) {
    if (4 * (count_ + 1) > 3 * slots_.size()) grow();
    std::uint64_t hash = text_hash(text);
    std::size_t mask = slots_.size() - 1, i = hash & mask;
    for (; slots_[i].object; i = (i + 1) & mask) {
      if (slots_[i].hash == hash && same_text(slots_[i].object.get(), text)) return slots_[i].object.copy();
    }
    slots_[i] = {hash, ascii(text)};
    ++count_;
    return slots_[i].object.copy();
  }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    kv::Ref object;
  };

  static bool same_text(PyObject* s, std::string_view text) {
    return static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)) == text.size() &&
           std::memcmp(PyUnicode_1BYTE_DATA(s), text.data(), text.size()) == 0;
  }

  static kv::Ref ascii(std::string_view text) {
    kv::Ref s = kv::check(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(s.get()), text.data(), text.size());
    return s;
  }

  void grow() {
    kv::PopulatedVector<Slot> old(std::max<std::size_t>(64, slots_.size() * 2));
    old.swap(slots_);
    std::size_t mask = slots_.size() - 1;
    for (Slot& s : old) {
      if (!s.object) continue;
      std::size_t i = s.hash & mask;
      while (slots_[i].object) i = (i + 1) & mask;
      slots_[i] = std::move(s);
    }
  }

  kv::PopulatedVector<Slot> slots_;
  std::size_t count_ = 0;
};

}  // namespace oplparse
